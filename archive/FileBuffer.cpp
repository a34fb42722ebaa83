#include "archive/FileBuffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace {

// Below this a block goes through memory: a kernel copy costs a flush of
// the writer's buffer, which is not worth it for a few kilobytes.
constexpr int64_t kKernelCopyThreshold = int64_t{256} * 1024;

// The kernel's file-to-file copy keeps up with a plain `cat` only where the
// two offsets agree modulo this; elsewhere (the usual case in an archive,
// whose blocks start anywhere) it took 1.5 times as long, and splicing
// through a pipe of kPipeSize was the fastest way (see the README).
constexpr off_t kRangeCopyAlignment = off_t{64} * 1024;
// The largest pipe an unprivileged process may ask for by default; smaller
// pipes took up to 1.6 times as long.
constexpr int kPipeSize = 1024 * 1024;

}  // namespace

FileBuffer::~FileBuffer() { close(); }

bool FileBuffer::openForReading(const char* name, int64_t* size) {
  // O_NONBLOCK keeps a FIFO without a writer from blocking the open; it is
  // refused below as not regular, and means nothing for a regular file.
  int d = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (d < 0) return false;
  struct stat st;
  int e = ::fstat(d, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (e != 0) {
    ::close(d);
    errno = e;
    return false;
  }
  ::fcntl(d, F_SETFL, ::fcntl(d, F_GETFL) & ~O_NONBLOCK);
  buffer.reset(new char[kBufferSize]);
  fd = d;
  setg(buffer.get(), buffer.get(), buffer.get());
  *size = st.st_size;
  return true;
}

bool FileBuffer::createNew(const char* name) {
  int d = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0664);
  if (d < 0) return false;
  buffer.reset(new char[kBufferSize]);
  fd = d;
  setp(buffer.get(), buffer.get() + kBufferSize);
  return true;
}

bool FileBuffer::close() {
  if (fd < 0) return true;
  bool ok = flushPutArea();
  int e = writeError;
  if (::close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  fd = -1;
  for (int& end : pipeEnds) {
    if (end >= 0) ::close(end);
    end = -1;
  }
  setg(nullptr, nullptr, nullptr);
  setp(nullptr, nullptr);
  buffer.reset();
  if (!ok) errno = e;
  return ok;
}

bool FileBuffer::writeAll(const char* p, std::size_t n) {
  if (writeError != 0) return false;
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      writeError = errno;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool FileBuffer::flushPutArea() {
  if (pbase() == nullptr) return writeError == 0;
  bool ok = writeAll(pbase(), static_cast<std::size_t>(pptr() - pbase()));
  setp(buffer.get(), buffer.get() + kBufferSize);  // failed bytes are dropped
  if (!ok) errno = writeError;
  return ok;
}

std::size_t FileBuffer::readSome(char* p, std::size_t n) {
  for (;;) {
    ssize_t r = ::read(fd, p, n);
    if (r >= 0) return static_cast<std::size_t>(r);
    if (errno != EINTR) return 0;
  }
}

FileBuffer::int_type FileBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (fd < 0 || eback() == nullptr) return traits_type::eof();
  std::size_t r = readSome(buffer.get(), kBufferSize);
  setg(buffer.get(), buffer.get(), buffer.get() + r);
  return r == 0 ? traits_type::eof() : traits_type::to_int_type(*gptr());
}

std::streamsize FileBuffer::xsgetn(char* s, std::streamsize n) {
  std::streamsize done = std::min<std::streamsize>(n, egptr() - gptr());
  if (done > 0) {
    std::memcpy(s, gptr(), static_cast<std::size_t>(done));
    gbump(static_cast<int>(done));
  }
  if (fd < 0 || eback() == nullptr) return done;
  while (done < n) {
    std::size_t want = static_cast<std::size_t>(n - done);
    if (want < kBufferSize) {  // small: refill the buffer and copy from it
      if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
      std::streamsize k = std::min<std::streamsize>(n - done, egptr() - gptr());
      std::memcpy(s + done, gptr(), static_cast<std::size_t>(k));
      gbump(static_cast<int>(k));
      done += k;
    } else {  // large: straight into the caller's memory
      std::size_t r = readSome(s + done, want);
      if (r == 0) break;
      done += static_cast<std::streamsize>(r);
    }
  }
  return done;
}

FileBuffer::int_type FileBuffer::overflow(int_type c) {
  if (fd < 0 || pbase() == nullptr || !flushPutArea()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

std::streamsize FileBuffer::xsputn(const char* s, std::streamsize n) {
  if (fd < 0 || pbase() == nullptr || writeError != 0) return 0;
  if (n <= epptr() - pptr()) {
    std::memcpy(pptr(), s, static_cast<std::size_t>(n));
    pbump(static_cast<int>(n));
    return n;
  }
  if (!flushPutArea()) return 0;
  if (n < static_cast<std::streamsize>(kBufferSize)) {
    std::memcpy(pptr(), s, static_cast<std::size_t>(n));
    pbump(static_cast<int>(n));
    return n;
  }
  return writeAll(s, static_cast<std::size_t>(n)) ? n : 0;
}

int FileBuffer::sync() {
  if (pbase() == nullptr) return 0;
  return flushPutArea() ? 0 : -1;
}

int64_t FileBuffer::kernelCopy(FileBuffer* to, int64_t n) {
  if (!kernelCopyAllowed || !kernelCopyWorks || !to->flushPutArea()) return -1;
  off_t from = ::lseek(fd, 0, SEEK_CUR), at = ::lseek(to->fd, 0, SEEK_CUR);
  if (from < 0 || at < 0) return -1;
  if (rangeCopyWorks && (from - at) % kRangeCopyAlignment == 0) {
    for (;;) {
      ssize_t r = ::copy_file_range(fd, nullptr, to->fd, nullptr, static_cast<std::size_t>(n), 0);
      if (r >= 0) return r;
      if (errno != EINTR) break;
    }
    rangeCopyWorks = false;  // unsupported here, or a real error that the pipe will meet too
  }
  return spliceTo(to, n);
}

int64_t FileBuffer::spliceTo(FileBuffer* to, int64_t n) {
  if (pipeEnds[0] < 0) {
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    ::fcntl(pipeEnds[1], F_SETPIPE_SZ, kPipeSize);  // a smaller pipe works too, only slower
  }
  ssize_t in;
  do {
    in = ::splice(fd, nullptr, pipeEnds[1], nullptr, static_cast<std::size_t>(std::min<int64_t>(n, kPipeSize)),
                  SPLICE_F_MOVE);
  } while (in < 0 && errno == EINTR);
  if (in <= 0) return in;

  std::size_t left = static_cast<std::size_t>(in);
  while (left > 0) {
    ssize_t out = ::splice(pipeEnds[0], nullptr, to->fd, nullptr, left, SPLICE_F_MOVE);
    if (out > 0) {
      left -= static_cast<std::size_t>(out);
    } else if (out < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (left > 0) {
    // The writer failed, or takes no splice: what is still in the pipe is
    // written through memory, where a failure is recorded as for any write,
    // and the pipe is empty again. Later blocks go through memory.
    kernelCopyWorks = false;
    setg(buffer.get(), buffer.get(), buffer.get());  // the get area was used up; its room is free
    while (left > 0) {
      ssize_t r = ::read(pipeEnds[0], buffer.get(), std::min(left, kBufferSize));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {  // cannot happen, the pipe holds the bytes; if it did, they are lost to the writer
        if (to->writeError == 0) to->writeError = r < 0 ? errno : EIO;
        break;
      }
      to->writeAll(buffer.get(), static_cast<std::size_t>(r));
      left -= static_cast<std::size_t>(r);
    }
  }
  return in;
}

int64_t FileBuffer::transferTo(FileBuffer* to, int64_t n) {
  // First what this buffer has already read ahead.
  int64_t done = std::min<int64_t>(n, egptr() - gptr());
  if (done > 0) {
    if (to != nullptr) to->xsputn(gptr(), done);
    gbump(static_cast<int>(done));
  }
  if (fd < 0) return done;
  while (done < n) {
    int64_t want = n - done;
    bool writing = to != nullptr && to->fd >= 0 && !to->writeFailed();
    if (writing && want >= kKernelCopyThreshold) {
      int64_t r = kernelCopy(to, want);
      if (r > 0) {
        done += r;
        continue;
      }
      // Nothing moved. Some file systems answer the kernel's copy with 0
      // before the end of a file: the rest goes through memory, where an
      // ordinary read tells whether this file really ended. (A writer that
      // failed drops the rest there too.)
      if (!to->writeFailed()) kernelCopyWorks = false;
    }
    // Through memory: straight into the writer's free space, or into this
    // buffer when the bytes are dropped.
    char* p = buffer.get();
    std::size_t room = kBufferSize;
    writing = writing && !to->writeFailed();
    if (writing) {
      if (to->pptr() == to->epptr() && !to->flushPutArea()) continue;
      p = to->pptr();
      room = static_cast<std::size_t>(to->epptr() - to->pptr());
    }
    std::size_t r = readSome(p, std::min<std::size_t>(room, static_cast<std::size_t>(want)));
    if (r == 0) break;
    if (writing) to->pbump(static_cast<int>(r));
    done += static_cast<int64_t>(r);
  }
  return done;
}
