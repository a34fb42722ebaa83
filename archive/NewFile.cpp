#include "archive/NewFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Below this a range goes through memory: a kernel copy costs a flush of
// the buffer, which is not worth it for a few kilobytes.
constexpr int64_t kKernelCopyThreshold = int64_t{256} * 1024;

}  // namespace

bool NewFile::create(const SystemFolder& folder, const std::string& name, bool ownerOnly) {
  discard();
  if (!file.createUnnamed(folder, name, ownerOnly)) return false;
  buffer.reset(new char[SystemFile::kCopyBufferSize]);
  used = 0;
  error_ = 0;
  kernelCopyWorks = true;
  return true;
}

bool NewFile::writeAll(const char* p, int64_t n) {
  if (error_ != 0) return false;
  while (n > 0) {
    const int64_t w = file.write(p, n);
    if (w < 0) {
      error_ = errno;
      return false;
    }
    p += w;
    n -= w;
  }
  return true;
}

bool NewFile::flush() {
  const bool ok = writeAll(buffer.get(), static_cast<int64_t>(used));
  used = 0;  // failed bytes are dropped with the file
  return ok;
}

bool NewFile::append(const char* p, int64_t n) {
  if (error_ != 0) return false;
  const int64_t room = static_cast<int64_t>(SystemFile::kCopyBufferSize - used);
  if (n <= room) {
    std::memcpy(buffer.get() + used, p, static_cast<std::size_t>(n));
    used += static_cast<std::size_t>(n);
    return true;
  }
  if (!flush()) return false;
  if (n < static_cast<int64_t>(SystemFile::kCopyBufferSize)) return append(p, n);
  return writeAll(p, n);
}

int64_t NewFile::copyFrom(const SystemFile& from, int64_t offset, int64_t n) {
  int64_t done = 0;
  errno = 0;
  while (done < n && error_ == 0) {
    const int64_t want = n - done;
    if (kernelCopyAllowed && kernelCopyWorks && want >= kKernelCopyThreshold && flush()) {
      int writeError = 0;
      const int64_t r = file.kernelCopyFrom(from, offset + done, want, &writeError);
      if (writeError != 0 && error_ == 0) error_ = writeError;
      if (r > 0) {
        done += r;
        continue;
      }
      // Nothing moved. Some file systems answer the kernel's copy with 0
      // before the end of a file: the rest goes through memory, where an
      // ordinary read tells whether the file really ended.
      if (error_ == 0) kernelCopyWorks = false;
      continue;
    }
    if (error_ != 0) break;
    if (used == SystemFile::kCopyBufferSize && !flush()) break;
    const int64_t room = static_cast<int64_t>(SystemFile::kCopyBufferSize - used);
    const int64_t r = from.readAt(offset + done, buffer.get() + used, std::min(room, want));
    if (r <= 0) {
      if (r == 0) errno = 0;
      return done;
    }
    used += static_cast<std::size_t>(r);
    done += r;
  }
  errno = 0;
  return done;
}

void NewFile::startWriteBack(int64_t offset, int64_t n) {
  if (flush()) file.startWriteBack(offset, n);
}

bool NewFile::sync() {
  if (!flush()) {
    errno = error_;
    return false;
  }
  return file.sync();
}

bool NewFile::link(bool replace, bool synced, const FileIdentity* expected, bool* changed) {
  if (!flush()) {
    const int e = error_;
    discard();
    errno = e;
    return false;
  }
  buffer.reset();
  return file.linkInPlace(replace, synced, expected, changed);
}

void NewFile::discard() {
  const int e = errno;
  file.close();
  buffer.reset();
  used = 0;
  errno = e;
}
