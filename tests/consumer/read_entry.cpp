// Writes one data file of an archive to standard output, found by its
// name through the installed archive reader.
#include <iostream>

#include "reader/ArchiveReader.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  try {
    ArchiveReader archive(argv[1]);
    const ArchiveEntry* entry = archive.find(argv[2]);
    if (entry == nullptr) return 1;
    char buffer[1000];  // smaller than a data file, so that reads go in slices
    for (int64_t at = 0, n; (n = archive.read(*entry, at, buffer, sizeof buffer)) > 0; at += n) std::cout.write(buffer, n);
    return archive.damage().empty() ? 0 : 1;
  } catch (const ArchiveError& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
}
