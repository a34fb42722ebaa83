// Any bytes as an archive for the reader: it must index them, report what
// is wrong, and read every entry it indexed, staying inside its buffers. An
// index fed the same bytes in windows that read ahead must agree with it.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "reader/ArchiveReader.h"

namespace {

std::string path;

// Drives an index over [data..data+size) in windows of `window` bytes or
// more, as the web page reads slices of a Blob.
void indexInWindows(ArchiveIndex& index, const uint8_t* data, int64_t size, int64_t window) {
  for (ArchiveIndex::Range r; (r = index.next()).length > 0;) {
    if (r.offset < 0 || r.length < 0 || r.offset + r.length > size) abort();
    int64_t n = std::min(size - r.offset, std::max(r.length, window));
    index.supply(r.offset, reinterpret_cast<const char*>(data) + r.offset, n);
  }
}

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
  ArchiveIndex windowed(static_cast<int64_t>(size));
  indexInWindows(windowed, data, static_cast<int64_t>(size), size > 0 ? 1 + data[size - 1] % 64 : 1);
  try {
    ArchiveReader reader(path.c_str());
    if (!windowed.error().empty() || windowed.damage() != reader.damage() ||
        windowed.entries().size() != reader.entries().size()) {
      abort();
    }
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
  } catch (const ArchiveError& e) {
    if (e.reason() != windowed.error()) abort();
  }
  return 0;
}
