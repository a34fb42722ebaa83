// SystemFile on POSIX systems: descriptors, and on Linux the kernel's
// file-to-file copy and splice.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "archive/IdentityPosix.h"
#include "archive/SystemFile.h"
#include "archive/SystemFolder.h"
#include "archive/Temporaries.h"

namespace {

int fdOf(intptr_t handle) { return static_cast<int>(handle); }

// Checks what the open descriptor d is; false, with d closed and errno
// set, when it is no regular file (EISDIR for a folder, EINVAL else).
bool keepIfRegular(int d, int64_t* size) {
  struct stat st;
  int e = ::fstat(d, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (e != 0) {
    ::close(d);
    errno = e;
    return false;
  }
  ::fcntl(d, F_SETFL, ::fcntl(d, F_GETFL) & ~O_NONBLOCK);
  *size = st.st_size;
  return true;
}

#if defined(__linux__)
// openat2(2), which glibc 2.36 does not wrap.
int openBeneath(int folder, const char* name, uint64_t flags, uint64_t resolve) {
  struct open_how how = {};
  how.flags = flags;
  how.resolve = resolve;
  return static_cast<int>(::syscall(SYS_openat2, folder, name, &how, sizeof how));
}
#endif

// Gives the unnamed file d (O_TMPFILE) the name `name` in `folder`:
// through /proc, or, where /proc is missing, by the descriptor itself
// (which needs privilege).
bool linkUnnamed(int d, int folder, const char* name) {
#if defined(__linux__)
  const std::string path = "/proc/self/fd/" + std::to_string(d);
  if (::linkat(AT_FDCWD, path.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != ENOENT || ::access("/proc/self/fd", X_OK) == 0) return false;
  return ::linkat(d, "", folder, name, AT_EMPTY_PATH) == 0;
#else
  static_cast<void>(d), static_cast<void>(folder), static_cast<void>(name);
  errno = ENOTSUP;  // no unnamed files here
  return false;
#endif
}

// Renames `from` to `to` in `folder` unless `to` exists (EEXIST).
bool renameNoReplace(int folder, const char* from, const char* to) {
#if defined(__linux__)
  if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  if (::linkat(folder, from, folder, to, 0) != 0) return false;  // the file system cannot say "unless it exists" otherwise
  ::unlinkat(folder, from, 0);
  return true;
}

// A number for the next temporary of this process.
unsigned nextTemporary() {
  static std::atomic<unsigned> counter{0};
  return counter++;
}

// Locks [0..) of d with an open file description lock of `type` (F_RDLCK
// or F_WRLCK), failing at once when another holds a conflicting one.
bool lockWhole(int d, short type) {
#if defined(F_OFD_SETLK)
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return ::fcntl(d, F_OFD_SETLK, &lock) == 0;
#else
  return ::flock(d, (type == F_WRLCK ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
#endif
}

}  // namespace

const std::size_t SystemFile::kCopyBufferSize = 64 * 1024;
const bool SystemFile::kCanReplaceOpenFiles = true;
const bool SystemFile::kUnicodeNames = false;

bool SystemFile::openForReading(const char* name, int64_t* size) {
  // O_NONBLOCK keeps a FIFO without a writer from blocking the open; it is
  // refused below as not regular, and means nothing for a regular file.
  int d = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (d < 0 || !keepIfRegular(d, size)) return false;
  handle = d;
  return true;
}

bool SystemFile::openDuplicate(int descriptor, int64_t* size) {
  const int d = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
  if (d < 0 || !keepIfRegular(d, size)) return false;
  handle = d;
  return true;
}

bool SystemFile::openForReadingIn(const SystemFolder& folder, const std::string& relative, int64_t* size) {
  const int base = fdOf(folder.nativeHandle());
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int d = -1;
#if defined(__linux__)
  d = openBeneath(base, relative.c_str(), kFlags, RESOLVE_BENEATH);
  if (d < 0 && errno == ENOSYS) d = ::openat(base, relative.c_str(), kFlags);
#else
  d = ::openat(base, relative.c_str(), kFlags);
#endif
  if (d < 0 || !keepIfRegular(d, size)) return false;
  handle = d;
  return true;
}

bool SystemFile::openStream(const char* name, int64_t* size) {
  const int d = std::strcmp(name, "-") == 0 ? ::fcntl(0, F_DUPFD_CLOEXEC, 3)
                                             : ::open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (d < 0) return false;
  struct stat st;
  const int e = ::fstat(d, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (e != 0) {
    ::close(d);
    errno = e;
    return false;
  }
  handle = d;
  *size = S_ISREG(st.st_mode) ? st.st_size : -1;
  return true;
}

bool SystemFile::createAnonymous() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  int d = -1;
#if defined(O_TMPFILE)
  d = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (d < 0) {
    std::string name = folder + "/.kerv-scratch-XXXXXX";
    d = ::mkostemp(name.data(), O_CLOEXEC);
    if (d < 0) return false;
    ::unlink(name.c_str());
  }
  handle = d;
  return true;
}

bool SystemFile::createNew(const char* name) {
  int d = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0664);
  if (d < 0) return false;
  handle = d;
  return true;
}

bool SystemFile::createUnnamed(const SystemFolder& folder, const std::string& name) {
  const int f = ::fcntl(fdOf(folder.nativeHandle()), F_DUPFD_CLOEXEC, 3);
  if (f < 0) return false;
  int d = -1;
#if defined(O_TMPFILE)
  d = ::openat(f, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0664);  // readable: a patch may copy from what it wrote
  // Without unnamed files the kernel or the file system says one of these.
  if (d < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    const int e = errno;
    ::close(f);
    errno = e;
    return false;
  }
#endif
  if (d < 0) folder.removeStaleTemporaries();
  for (int tries = 0; d < 0 && tries < 100; ++tries) {
    temporary = temporaries::nameFor(name, static_cast<long>(::getpid()), nextTemporary());
    // Entered before it exists, so that a signal finds it from the start:
    // a name with this process's number is this process's.
    temporarySlot = temporaries::remember(f, temporary.c_str());
    d = ::openat(f, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0664);
    if (d >= 0) break;
    const int e = errno;
    temporaries::forget(temporarySlot);
    temporarySlot = -1;
    errno = e;
    if (e != EEXIST) break;
  }
  if (d < 0) {
    const int e = errno;
    temporary.clear();
    ::close(f);
    errno = e;
    return false;
  }
  if (!temporary.empty()) lockWhole(d, F_WRLCK);  // while it is held, no later write takes the file for a leftover
  handle = d;
  folderHandle = f;
  target = name;
  return true;
}

bool SystemFile::sync() { return ::fsync(fdOf(handle)) == 0; }

bool SystemFile::keepAttributesOf(const FileIdentity& old) {
  const int d = fdOf(handle);
  int e = 0;
  if (old.owner >= 0) {
    struct stat st;
    const bool same = ::fstat(d, &st) == 0 && st.st_uid == static_cast<uid_t>(old.owner) &&
                      st.st_gid == static_cast<gid_t>(old.group);
    if (!same && ::fchown(d, static_cast<uid_t>(old.owner), static_cast<gid_t>(old.group)) != 0) {
      e = errno;
      // The group alone, where the process is a member of it.
      [[maybe_unused]] const int group = ::fchown(d, static_cast<uid_t>(-1), static_cast<gid_t>(old.group));
    }
  }
  // A file that could not keep its owner does not keep set-user-ID or set-group-ID either.
  if (::fchmod(d, static_cast<mode_t>(e != 0 ? old.mode & 01777 : old.mode & 07777)) != 0 && e == 0) e = errno;
  errno = e;
  return e == 0;
}

bool SystemFile::lockForUpdate() {
  const int d = fdOf(handle);
#if defined(__linux__)
  // A lock that excludes every other needs a descriptor open for writing:
  // one of the same file, through /proc, where the file may be written.
  if (lockHandle == kNone) {
    const std::string path = "/proc/self/fd/" + std::to_string(d);
    const int w = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (w >= 0) lockHandle = w;
  }
#endif
  const bool ok = lockHandle != kNone ? lockWhole(fdOf(lockHandle), F_WRLCK) : lockWhole(d, F_RDLCK);
  if (!ok && (errno == EAGAIN || errno == EACCES)) errno = EWOULDBLOCK;
  return ok;
}

bool SystemFile::identity(FileIdentity* id) const {
  struct stat st;
  if (::fstat(fdOf(handle), &st) != 0) return false;
  *id = identityOf(st);
  return true;
}

bool SystemFile::linkInPlace(bool replace, bool synced) {
  const int d = fdOf(handle), f = fdOf(folderHandle);
  bool ok = synced || sync();
  if (ok && !temporary.empty()) {
    ok = replace ? ::renameat(f, temporary.c_str(), f, target.c_str()) == 0
                 : renameNoReplace(f, temporary.c_str(), target.c_str());
    if (ok) {
      temporaries::forget(temporarySlot);
      temporarySlot = -1;
      temporary.clear();
    }
  } else if (ok && !replace) {
    ok = linkUnnamed(d, f, target.c_str());
  } else if (ok) {
    // Linked under a hidden name first, then renamed over the old file.
    std::string hidden;
    do {
      hidden = temporaries::nameFor(target, static_cast<long>(::getpid()), nextTemporary());
      ok = linkUnnamed(d, f, hidden.c_str());
    } while (!ok && errno == EEXIST);
    if (ok && ::renameat(f, hidden.c_str(), f, target.c_str()) != 0) {
      const int e = errno;
      ::unlinkat(f, hidden.c_str(), 0);
      errno = e;
      ok = false;
    }
  }
  int e = errno;
  if (ok && !synced) ::fsync(f);  // the new name itself on stable storage
  if (!close() && ok) {
    ok = false;
    e = errno;
  }
  errno = e;
  return ok;
}

bool SystemFile::seek(int64_t offset) { return ::lseek(fdOf(handle), offset, SEEK_SET) >= 0; }

void SystemFile::startWriteBack(int64_t offset, int64_t n) {
#if defined(__linux__)
  ::sync_file_range(fdOf(handle), offset, n, SYNC_FILE_RANGE_WRITE);  // a hint: a failure shows at the sync
#else
  static_cast<void>(offset), static_cast<void>(n);
#endif
}

int64_t SystemFile::read(char* p, int64_t n) {
  for (;;) {
    ssize_t r = ::read(fdOf(handle), p, static_cast<std::size_t>(std::min<int64_t>(n, int64_t{1} << 30)));
    if (r >= 0 || errno != EINTR) return r;
  }
}

int64_t SystemFile::readAt(int64_t offset, char* p, int64_t n) const {
  for (;;) {
    ssize_t r = ::pread(fdOf(handle), p, static_cast<std::size_t>(std::min<int64_t>(n, int64_t{1} << 30)), offset);
    if (r >= 0 || errno != EINTR) return r;
  }
}

int64_t SystemFile::write(const char* p, int64_t n) {
  for (;;) {
    ssize_t w = ::write(fdOf(handle), p, static_cast<std::size_t>(std::min<int64_t>(n, int64_t{1} << 30)));
    if (w >= 0 || errno != EINTR) return w;
  }
}

bool SystemFile::close() {
  if (handle == kNone) return true;
  bool ok = ::close(fdOf(handle)) == 0;
  int e = errno;
  handle = kNone;
  if (!temporary.empty()) ::unlinkat(fdOf(folderHandle), temporary.c_str(), 0);  // never linked in place
  temporaries::forget(temporarySlot);
  temporarySlot = -1;
  temporary.clear();
  target.clear();
  for (intptr_t* h : {&folderHandle, &lockHandle}) {
    if (*h != kNone) ::close(fdOf(*h));
    *h = kNone;
  }
  for (int& end : pipeEnds) {
    if (end >= 0) ::close(end);
    end = -1;
  }
  errno = e;
  return ok;
}

int64_t SystemFile::kernelCopyFrom(const SystemFile& from, int64_t offset, int64_t n, int* writeError) {
  return kernelCopy(from.handle, &offset, n, writeError);
}

int64_t SystemFile::kernelCopyTo(SystemFile& to, int64_t n, int* writeError) {
  return to.kernelCopy(handle, nullptr, n, writeError);
}

#if defined(__linux__)

namespace {

// The kernel's file-to-file copy keeps up with a plain `cat` only where the
// two offsets agree modulo this; elsewhere (the usual case in an archive,
// whose blocks start anywhere) it took 1.5 times as long, and splicing
// through a pipe of kPipeSize was the fastest way (see the README).
constexpr off_t kRangeCopyAlignment = off_t{64} * 1024;
// The largest pipe an unprivileged process may ask for by default; smaller
// pipes took up to 1.6 times as long.
constexpr int kPipeSize = 1024 * 1024;

// Writes all n bytes at p to `to`; false, with errno set, when a write fails.
bool writeAll(SystemFile& to, const char* p, int64_t n) {
  while (n > 0) {
    int64_t w = to.write(p, n);
    if (w < 0) return false;
    p += w;
    n -= w;
  }
  return true;
}

}  // namespace

int64_t SystemFile::kernelCopy(intptr_t inHandle, int64_t* offset, int64_t n, int* writeError) {
  const int in = fdOf(inHandle), out = fdOf(handle);
  loff_t at = offset != nullptr ? *offset : ::lseek(in, 0, SEEK_CUR);
  const off_t to = ::lseek(out, 0, SEEK_CUR);
  if (at < 0 || to < 0) return -1;
  loff_t* const from = offset != nullptr ? &at : nullptr;
  if (rangeCopyWorks && (at - to) % kRangeCopyAlignment == 0) {
    for (;;) {
      ssize_t r = ::copy_file_range(in, from, out, nullptr, static_cast<std::size_t>(n), 0);
      if (r >= 0) return r;
      if (errno != EINTR) break;
    }
    rangeCopyWorks = false;  // unsupported here, or a real error that the pipe will meet too
  }
  if (!spliceWorks) return -1;
  if (pipeEnds[0] < 0) {
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    ::fcntl(pipeEnds[1], F_SETPIPE_SZ, kPipeSize);  // a smaller pipe works too, only slower
  }
  ssize_t taken;
  do {
    taken = ::splice(in, from, pipeEnds[1], nullptr, static_cast<std::size_t>(std::min<int64_t>(n, kPipeSize)),
                     SPLICE_F_MOVE);
  } while (taken < 0 && errno == EINTR);
  if (taken <= 0) return taken;

  std::size_t left = static_cast<std::size_t>(taken);
  while (left > 0) {
    ssize_t moved = ::splice(pipeEnds[0], nullptr, out, nullptr, left, SPLICE_F_MOVE);
    if (moved > 0) {
      left -= static_cast<std::size_t>(moved);
    } else if (!(moved < 0 && errno == EINTR)) {
      break;
    }
  }
  if (left > 0) {
    // The writer failed, or takes no splice: what is still in the pipe is
    // written through memory, where a failure shows as for any write, and
    // the pipe is empty again. Later blocks go through memory.
    spliceWorks = false;
    std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
    while (left > 0) {
      ssize_t r = ::read(pipeEnds[0], buffer.get(), std::min(left, kCopyBufferSize));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {  // cannot happen, the pipe holds the bytes; if it did, they are lost to the writer
        if (*writeError == 0) *writeError = r < 0 ? errno : EIO;
        break;
      }
      left -= static_cast<std::size_t>(r);
      if (*writeError == 0 && !writeAll(*this, buffer.get(), r)) *writeError = errno;
    }
  }
  return taken;
}

#else

int64_t SystemFile::kernelCopy(intptr_t, int64_t*, int64_t, int*) { return -1; }

#endif

bool SystemFile::timesOf(const char* name, Times* times) {
  struct stat st;
  if (::stat(name, &st) != 0) return false;
  const auto ns = [](const struct timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
  *times = {ns(st.st_atim), ns(st.st_mtim), ns(st.st_ctim)};
  return true;
}
