#include "reader/ArchiveReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

ArchiveReader::ArchiveReader(const char* path) : path_(path) {
  // O_NONBLOCK: a FIFO without a writer must not block the open; it is
  // refused below as not regular.
  fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw ArchiveError(path_, std::strerror(errno), errno);
  try {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw ArchiveError(path_, std::strerror(errno), errno);
    if (S_ISDIR(st.st_mode)) throw ArchiveError(path_, std::strerror(EISDIR), EISDIR);
    if (!S_ISREG(st.st_mode)) throw ArchiveError(path_, "not a regular file", EINVAL);
    size_ = st.st_size;

    index = std::make_unique<ArchiveIndex>(size_);
    std::string bytes;
    for (ArchiveIndex::Range r; (r = index->next()).length > 0;) {
      bytes.resize(static_cast<std::size_t>(r.length));
      readAt(r.offset, bytes.data(), r.length, r.offset == 0 ? "the header" : "the archive's index");
      index->supply(r.offset, bytes.data(), r.length);
    }
    if (!index->error().empty()) throw ArchiveError(path_, index->error());
  } catch (...) {
    ::close(fd);
    throw;
  }
}

ArchiveReader::~ArchiveReader() { ::close(fd); }

int64_t ArchiveReader::read(const ArchiveEntry& entry, int64_t from, char* buffer, int64_t n) const {
  if (from < 0 || n < 0) throw std::invalid_argument("a read's start and count must not be negative");
  if (from >= entry.size) return 0;
  int64_t count = std::min<int64_t>(n, entry.size - from);
  readAt(entry.offset + from, buffer, count, "a data block");
  return count;
}

void ArchiveReader::readAt(int64_t at, char* p, int64_t n, const char* what) const {
  while (n > 0) {
    // pread takes at most about 2 GiB at a time.
    ssize_t r = ::pread(fd, p, static_cast<std::size_t>(std::min<int64_t>(n, int64_t{1} << 30)), at);
    if (r < 0) {
      if (errno == EINTR) continue;
      int e = errno;
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
