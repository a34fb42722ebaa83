#include "reader/ArchiveReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

ArchiveReader::ArchiveReader(const char* path) : path_(path) {
  if (!file_.openForReading(path, &size_)) {
    const int e = errno;
    throw ArchiveError(path_, e == EINVAL ? "not a regular file" : std::strerror(e), e);
  }
  makeIndex();
}

ArchiveReader::ArchiveReader(const std::string& name, int descriptor) : path_(name) {
  if (!file_.openDuplicate(descriptor, &size_)) {
    const int e = errno;
    throw ArchiveError(path_, e == EINVAL ? "not a regular file" : std::strerror(e), e);
  }
  makeIndex();
}

ArchiveReader::ArchiveReader(const std::string& name, int64_t size, ReadAt readAt)
    : path_(name), reader_(std::move(readAt)), size_(size) {
  makeIndex();
}

void ArchiveReader::makeIndex() {
  index = std::make_unique<ArchiveIndex>(size_);
  std::string bytes;
  for (ArchiveIndex::Range r; (r = index->next()).length > 0;) {
    bytes.resize(static_cast<std::size_t>(r.length));
    readAt(r.offset, bytes.data(), r.length, index->nextPart());
    index->supply(r.offset, bytes.data(), r.length);
  }
  if (!index->error().empty()) throw ArchiveError(path_, index->error());
}

int64_t ArchiveReader::read(const ArchiveEntry& entry, int64_t from, char* buffer, int64_t n) const {
  if (from < 0 || n < 0) throw std::invalid_argument("a read's start and count must not be negative");
  if (from >= entry.size) return 0;
  int64_t count = std::min<int64_t>(n, entry.size - from);
  readAt(entry.offset + from, buffer, count, "a data block");
  return count;
}

void ArchiveReader::readAt(int64_t at, char* p, int64_t n, const char* what) const {
  while (n > 0) {
    int64_t r = reader_ ? reader_(at, p, n) : file_.readAt(at, p, n);
    if (r < 0) {
      const int e = errno;
      throw ArchiveError(path_, std::string("cannot read ") + what + ": " + std::strerror(e), e);
    }
    if (r == 0) {
      throw ArchiveError(path_, std::string("the file ends inside ") + what + ": it is shorter than when it was opened");
    }
    p += r;
    at += r;
    n -= r;
  }
}
