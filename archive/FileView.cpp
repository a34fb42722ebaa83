#include "archive/FileView.h"

#include <cerrno>

bool FileView::read(int64_t offset, char* p, std::size_t n) const {
  if (offset < 0 || static_cast<uint64_t>(offset) + n > static_cast<uint64_t>(size_)) {
    errno = EIO;
    return false;
  }
  if (file == nullptr) return function(offset, p, n);
  while (n > 0) {
    const int64_t r = file->readAt(offset, p, static_cast<int64_t>(n));
    if (r <= 0) {
      if (r == 0) errno = EIO;  // the file became shorter meanwhile
      return false;
    }
    p += r;
    offset += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}
