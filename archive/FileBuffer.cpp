#include "archive/FileBuffer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace {

// Below this a block goes through memory: a kernel copy costs a flush of
// the writer's buffer, which is not worth it for a few kilobytes.
constexpr int64_t kKernelCopyThreshold = int64_t{256} * 1024;

}  // namespace

FileBuffer::~FileBuffer() { close(); }

bool FileBuffer::openForReading(const char* name, int64_t* size) {
  if (!file.openForReading(name, size)) return false;
  buffer.reset(new char[SystemFile::kCopyBufferSize]);
  setg(buffer.get(), buffer.get(), buffer.get());
  return true;
}

bool FileBuffer::createNew(const char* name) {
  if (!file.createNew(name)) return false;
  buffer.reset(new char[SystemFile::kCopyBufferSize]);
  setp(buffer.get(), buffer.get() + SystemFile::kCopyBufferSize);
  return true;
}

bool FileBuffer::seekTo(int64_t offset) {
  setg(buffer.get(), buffer.get(), buffer.get());
  return file.seek(offset);
}

bool FileBuffer::close() {
  if (!file.isOpen()) return true;
  bool ok = flushPutArea();
  int e = writeError;
  if (!file.close() && ok) {
    ok = false;
    e = errno;
  }
  release();
  if (!ok) errno = e;
  return ok;
}

void FileBuffer::release() {
  setg(nullptr, nullptr, nullptr);
  setp(nullptr, nullptr);
  buffer.reset();
}

bool FileBuffer::writeAll(const char* p, std::size_t n) {
  if (writeError != 0) return false;
  while (n > 0) {
    int64_t w = file.write(p, static_cast<int64_t>(n));
    if (w < 0) {
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
  setp(buffer.get(), buffer.get() + SystemFile::kCopyBufferSize);  // failed bytes are dropped
  if (!ok) errno = writeError;
  return ok;
}

std::size_t FileBuffer::readSome(char* p, std::size_t n) {
  int64_t r = file.read(p, static_cast<int64_t>(n));
  return r > 0 ? static_cast<std::size_t>(r) : 0;
}

FileBuffer::int_type FileBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (!file.isOpen() || eback() == nullptr) return traits_type::eof();
  std::size_t r = readSome(buffer.get(), SystemFile::kCopyBufferSize);
  setg(buffer.get(), buffer.get(), buffer.get() + r);
  return r == 0 ? traits_type::eof() : traits_type::to_int_type(*gptr());
}

std::streamsize FileBuffer::xsgetn(char* s, std::streamsize n) {
  std::streamsize done = std::min<std::streamsize>(n, egptr() - gptr());
  if (done > 0) {
    std::memcpy(s, gptr(), static_cast<std::size_t>(done));
    gbump(static_cast<int>(done));
  }
  if (!file.isOpen() || eback() == nullptr) return done;
  while (done < n) {
    std::size_t want = static_cast<std::size_t>(n - done);
    if (want < SystemFile::kCopyBufferSize) {  // small: refill the buffer and copy from it
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
  if (!file.isOpen() || pbase() == nullptr || !flushPutArea()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

std::streamsize FileBuffer::xsputn(const char* s, std::streamsize n) {
  if (!file.isOpen() || pbase() == nullptr || writeError != 0) return 0;
  if (n <= epptr() - pptr()) {
    std::memcpy(pptr(), s, static_cast<std::size_t>(n));
    pbump(static_cast<int>(n));
    return n;
  }
  if (!flushPutArea()) return 0;
  if (n < static_cast<std::streamsize>(SystemFile::kCopyBufferSize)) {
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
  int error = 0;
  int64_t r = file.kernelCopyTo(to->file, n, &error);
  if (error != 0 && to->writeError == 0) to->writeError = error;
  return r;
}

int64_t FileBuffer::transferTo(FileBuffer* to, int64_t n) {
  // First what this buffer has already read ahead.
  int64_t done = std::min<int64_t>(n, egptr() - gptr());
  if (done > 0) {
    if (to != nullptr) to->xsputn(gptr(), done);
    gbump(static_cast<int>(done));
  }
  if (!file.isOpen()) return done;
  while (done < n) {
    int64_t want = n - done;
    bool writing = to != nullptr && to->file.isOpen() && !to->writeFailed();
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
    std::size_t room = SystemFile::kCopyBufferSize;
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
