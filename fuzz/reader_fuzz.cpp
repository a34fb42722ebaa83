// Any bytes as an archive for the reader: it must index them, report what
// is wrong, and read every entry it indexed, staying inside its buffers.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "reader/ArchiveReader.h"

namespace {

std::string path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  path = std::filesystem::temp_directory_path().string() + "/kerv-reader-fuzz-XXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) abort();
  close(fd);
  std::atexit([] { std::remove(path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  try {
    ArchiveReader reader(path.c_str());
    int64_t total = 0;
    for (const ArchiveEntry& e : reader.entries()) {
      if (e.offset < 0 || e.size < 0 || e.offset + e.size > reader.size()) abort();
      std::vector<char> buffer(static_cast<std::size_t>(e.size) + 1);
      total += reader.read(e, 0, buffer.data(), static_cast<int64_t>(buffer.size()));
      if (reader.find(e.name.c_str()) == nullptr) abort();
    }
    if (reader.damage().empty() && 10 + reader.scenarioText().size() + 4 * reader.entries().size() + total !=
                                       static_cast<uint64_t>(reader.size())) {
      abort();  // a sound archive is exactly its parts
    }
  } catch (const ArchiveError&) {
  }
  return 0;
}
