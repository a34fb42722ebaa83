#include "archive/FileView.h"

#include <cerrno>
#include <cstring>

const char* FileView::at(int64_t offset, std::size_t n, char* scratch) const {
  if (offset < 0 || static_cast<uint64_t>(offset) + n > static_cast<uint64_t>(size_)) {
    errno = EIO;
    return nullptr;
  }
  if (base != nullptr) return base + offset;
  return read(offset, scratch, n) ? scratch : nullptr;
}

bool FileView::read(int64_t offset, char* p, std::size_t n) const {
  if (base != nullptr && offset >= 0 && static_cast<uint64_t>(offset) + n <= static_cast<uint64_t>(size_)) {
    std::memcpy(p, base + offset, n);
    return true;
  }
  while (n > 0) {
    const int64_t r = file.readAt(offset, p, static_cast<int64_t>(n));
    if (r <= 0) {
      if (r == 0) errno = EIO;
      return false;
    }
    p += r;
    offset += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}
