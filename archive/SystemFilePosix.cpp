// SystemFile on POSIX systems: descriptors, and on Linux the kernel's
// file-to-file copy and splice.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif
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

bool SystemFile::createUnnamed(const SystemFolder& folder, const std::string& name, bool ownerOnly) {
  const int f = ::fcntl(fdOf(folder.nativeHandle()), F_DUPFD_CLOEXEC, 3);
  if (f < 0) return false;
  // What a killed write of this name left behind goes first.
  folder.removeStaleTemporaries(name);
  const mode_t mode = ownerOnly ? 0600 : 0664;
  int d = -1;
#if defined(O_TMPFILE)
  d = ::openat(f, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);  // readable: a patch may copy from what it wrote
  // Without unnamed files the kernel or the file system says one of these.
  if (d < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    const int e = errno;
    ::close(f);
    errno = e;
    return false;
  }
#endif
  for (int tries = 0; d < 0 && tries < 100; ++tries) {
    temporary = temporaries::nameFor(name, static_cast<long>(::getpid()), nextTemporary());
    // Entered before it exists, so that a signal finds it from the start:
    // a name with this process's number is this process's.
    temporarySlot = temporaries::remember(f, temporary.c_str());
    d = ::openat(f, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, mode);
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
  // Locked while it is held, under whatever name it gets, so that no later
  // write takes it for a leftover.
  lockWhole(d, F_WRLCK);
  handle = d;
  folderHandle = f;
  target = name;
  return true;
}

uint32_t SystemFile::lessUmask(uint32_t mode) {
  static const mode_t mask = [] {
    // Read where the kernel shows it; else by setting it, once, before
    // any thread of this library makes a file.
    mode_t m = 0;
    bool found = false;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
      char line[256];
      unsigned value = 0;
      while (!found && std::fgets(line, sizeof line, f) != nullptr) found = std::sscanf(line, "Umask: %o", &value) == 1;
      std::fclose(f);
      m = static_cast<mode_t>(value);
    }
    if (!found) {
      m = ::umask(022);
      ::umask(m);
    }
    return m;
  }();
  return mode & ~static_cast<uint32_t>(mask);
}

bool SystemFile::sync() { return ::fsync(fdOf(handle)) == 0; }

bool SystemFile::keepAttributesOf(const FileIdentity& old, const ExtendedAttributes& attributes, std::string* lost) {
  const int d = fdOf(handle);
  std::string notKept;
  const auto note = [&](const std::string& what, int error) {
    if (!notKept.empty()) notKept += "; ";
    notKept += what + " could not be kept (" + std::strerror(error) + ")";
  };
  bool ownerKept = true;
  if (old.owner >= 0) {
    struct stat st;
    const bool same = ::fstat(d, &st) == 0 && st.st_uid == static_cast<uid_t>(old.owner) &&
                      st.st_gid == static_cast<gid_t>(old.group);
    if (!same && ::fchown(d, static_cast<uid_t>(old.owner), static_cast<gid_t>(old.group)) != 0) {
      ownerKept = false;
      note("its owner and group", errno);
      // The group alone, where the process is a member of it.
      [[maybe_unused]] const int group = ::fchown(d, static_cast<uid_t>(-1), static_cast<gid_t>(old.group));
    }
  }
  // A file that could not keep its owner does not keep set-user-ID or set-group-ID either.
  if (::fchmod(d, static_cast<mode_t>(ownerKept ? old.mode & 07777 : old.mode & 01777)) != 0) {
    note("its permission bits", errno);
  }
#if defined(__linux__)
  // The ACL after the bits, which it refines; then the other attributes.
  std::vector<const std::pair<std::string, std::string>*> ordered;
  for (const auto& item : attributes.items) {
    if (item.first == "system.posix_acl_access") ordered.insert(ordered.begin(), &item);
  }
  for (const auto& item : attributes.items) {
    if (item.first != "system.posix_acl_access") ordered.push_back(&item);
  }
  for (const auto* item : ordered) {
    if (::fsetxattr(d, item->first.c_str(), item->second.data(), item->second.size(), 0) != 0) {
      note(item->first == "system.posix_acl_access" ? "its ACL" : "its attribute " + item->first, errno);
    }
  }
#else
  for (const auto& item : attributes.items) note("its attribute " + item.first, ENOTSUP);
#endif
  *lost = notKept;
  return notKept.empty();
}

bool SystemFile::attributes(ExtendedAttributes* out) const {
  out->items.clear();
#if defined(__linux__)
  const int d = fdOf(handle);
  std::vector<char> names(1024);
  ssize_t n;
  while ((n = ::flistxattr(d, names.data(), names.size())) < 0 && errno == ERANGE) {
    if (names.size() > (std::size_t{1} << 20)) return false;
    names.resize(names.size() * 4);
  }
  if (n < 0) return errno == ENOTSUP;
  for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
    const std::string key(names.data() + at);
    at += key.size() + 1;
    std::string value(256, '\0');
    ssize_t m;
    while ((m = ::fgetxattr(d, key.c_str(), value.data(), value.size())) < 0 && errno == ERANGE) {
      if (value.size() > (std::size_t{1} << 20)) return false;
      value.resize(value.size() * 4);
    }
    if (m < 0) {
      if (errno == ENODATA) continue;
      return false;
    }
    value.resize(static_cast<std::size_t>(m));
    out->items.emplace_back(key, std::move(value));
  }
#endif
  return true;
}

bool SystemFile::lockForUpdate() {
  const int d = fdOf(handle);
  // flock(2) excludes every other whatever the descriptor was opened for.
  bool held = ::flock(d, LOCK_EX | LOCK_NB) == 0;
  if (!held && (errno == EWOULDBLOCK || errno == EAGAIN)) {
    errno = EWOULDBLOCK;
    return false;
  }
  const int flockError = held ? 0 : errno;  // a file system that takes no flock, or only with write access
#if defined(__linux__)
  // The open file description lock kerv 1.0 took, where the file may be
  // written: that version's updates see this one's, and a file system
  // without flock has this one.
  if (lockHandle == kNone) {
    const std::string path = "/proc/self/fd/" + std::to_string(d);
    const int w = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (w >= 0) lockHandle = w;
  }
#endif
  if (lockHandle != kNone) {
    if (lockWhole(fdOf(lockHandle), F_WRLCK)) return true;
    if (errno == EAGAIN || errno == EACCES) {
      errno = EWOULDBLOCK;
      return false;
    }
  }
  if (!held) errno = flockError;
  return held;
}

bool SystemFile::identity(FileIdentity* id) const {
  struct stat st;
  if (::fstat(fdOf(handle), &st) != 0) return false;
  *id = identityOf(st);
  return true;
}

namespace {

#if defined(__linux__) && defined(RENAME_EXCHANGE)
// Whether `name` in `folder` holds the file open as d.
bool holds(int folder, const char* name, int d) {
  struct stat a, b;
  return ::fstatat(folder, name, &a, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(d, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}
#endif

// Whether `name` in `folder` holds the file `expected`, unchanged.
bool stillThere(int folder, const char* name, const FileIdentity& expected) {
  struct stat st;
  return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && identityOf(st).unchangedFrom(expected);
}

// Moves `from` (holding the open file d) over `to` in `folder`; with
// `expected`, only while `to` holds that file: where the file system can,
// the two names are exchanged and what came out is checked, and put back
// if it is another file; elsewhere `to` is checked just before. False,
// with *changed set and errno ESTALE, when `to` held another file; then
// `from` still holds d's file, or (where putting it back failed) the other
// one, and *putBack is false.
bool moveOver(int folder, const char* from, const char* to, int d, const FileIdentity* expected, bool* changed,
              bool* putBack) {
  *changed = false;
  *putBack = true;
#if defined(__linux__) && defined(RENAME_EXCHANGE)
  if (expected != nullptr) {
    if (::renameat2(folder, from, folder, to, RENAME_EXCHANGE) == 0) {
      if (stillThere(folder, from, *expected)) {
        ::unlinkat(folder, from, 0);  // the old file, replaced
        return true;
      }
      *changed = true;
      *putBack = ::renameat2(folder, from, folder, to, RENAME_EXCHANGE) == 0 && holds(folder, from, d);
      errno = ESTALE;
      return false;
    }
    if (errno == ENOENT) {
      *changed = true;
      errno = ESTALE;
      return false;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // No exchange on this file system: checked just before.
  }
#endif
  if (expected != nullptr && !stillThere(folder, to, *expected)) {
    *changed = true;
    errno = ESTALE;
    return false;
  }
  static_cast<void>(d);
  return ::renameat(folder, from, folder, to) == 0;
}

}  // namespace

bool SystemFile::linkInPlace(bool replace, bool synced, const FileIdentity* expected, bool* changed) {
  const int d = fdOf(handle), f = fdOf(folderHandle);
  bool conflict = false;
  bool ok = synced || sync();
  if (ok && !replace) {
    if (!temporary.empty()) {
      ok = renameNoReplace(f, temporary.c_str(), target.c_str());
      if (ok) temporary.clear();
    } else {
      ok = linkUnnamed(d, f, target.c_str());
    }
  } else if (ok) {
    // A name of its own first (the temporary, or a hidden name for an
    // unnamed file), entered for the signal handlers before it exists and
    // locked as the file is; then moved over the old file.
    if (temporary.empty()) {
      do {
        temporary = temporaries::nameFor(target, static_cast<long>(::getpid()), nextTemporary());
        temporarySlot = temporaries::remember(f, temporary.c_str());
        ok = linkUnnamed(d, f, temporary.c_str());
        if (!ok) {
          const int e = errno;
          temporaries::forget(temporarySlot);
          temporarySlot = -1;
          temporary.clear();
          errno = e;
        }
      } while (!ok && errno == EEXIST);
    }
    bool putBack = true;
    if (ok) {
      ok = moveOver(f, temporary.c_str(), target.c_str(), d, expected, &conflict, &putBack);
      // Named in place (or, where the other file could not be put back,
      // the hidden name holds that one): close() must not remove it.
      if (ok || !putBack) temporary.clear();
    }
  }
  int e = errno;
  if (ok && !synced) ::fsync(f);  // the new name itself on stable storage
  if (!close() && ok) {
    ok = false;
    e = errno;
  }
  if (changed != nullptr) *changed = conflict;
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
