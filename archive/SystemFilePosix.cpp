// SystemFile on POSIX systems: descriptors, and on Linux the kernel's
// file-to-file copy and splice.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "archive/SystemFile.h"

namespace {

int fdOf(intptr_t handle) { return static_cast<int>(handle); }

// The folder `name` is in: "." for a name without one.
std::string folderOf(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
}

// A hidden name beside `name` that nothing has yet, most likely.
std::string temporaryNameFor(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  const std::size_t start = name.rfind('/') + 1;  // 0 when there is no '/'
  return name.substr(0, start) + "." + name.substr(start, 128) + ".kerv-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter++);
}

// Gives the unnamed file d (O_TMPFILE) the name `name`: through /proc, or,
// where /proc is missing, by the descriptor itself (which needs privilege).
bool linkUnnamed(int d, const char* name) {
#if defined(__linux__)
  const std::string path = "/proc/self/fd/" + std::to_string(d);
  if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != ENOENT || ::access("/proc/self/fd", X_OK) == 0) return false;
  return ::linkat(d, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0;
#else
  static_cast<void>(d), static_cast<void>(name);
  errno = ENOTSUP;  // no unnamed files here
  return false;
#endif
}

// Renames `from` to `to` unless `to` exists (EEXIST).
bool renameNoReplace(const char* from, const char* to) {
#if defined(__linux__)
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  if (::link(from, to) != 0) return false;  // the file system cannot say "unless it exists" otherwise
  ::unlink(from);
  return true;
}

}  // namespace

const std::size_t SystemFile::kCopyBufferSize = 64 * 1024;
const bool SystemFile::kUnicodeNames = false;

bool SystemFile::openForReading(const char* name, int64_t* size) {
  // O_NONBLOCK keeps a FIFO without a writer from blocking the open; it is
  // refused below as not regular, and means nothing for a regular file.
  int d = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (d < 0) return false;
  struct stat st;
  int e = ::fstat(d, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (e != 0) {
    ::close(d);
    errno = e;
    return false;
  }
  ::fcntl(d, F_SETFL, ::fcntl(d, F_GETFL) & ~O_NONBLOCK);
  handle = d;
  *size = st.st_size;
  return true;
}

bool SystemFile::createNew(const char* name) {
  int d = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0664);
  if (d < 0) return false;
  handle = d;
  return true;
}

bool SystemFile::createUnnamed(const char* name) {
  int d = -1;
#if defined(O_TMPFILE)
  d = ::open(folderOf(name).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0664);
  // Without unnamed files the kernel or the file system says one of these.
  if (d < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
#endif
  for (int tries = 0; d < 0 && tries < 100; ++tries) {
    temporary = temporaryNameFor(name);
    d = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0664);
    if (d < 0 && errno != EEXIST) break;
  }
  if (d < 0) {
    temporary.clear();
    return false;
  }
  handle = d;
  target = name;
  return true;
}

bool SystemFile::sync() { return ::fsync(fdOf(handle)) == 0; }

void SystemFile::syncFolder(const char* name) {
  const int folder = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
}

bool SystemFile::linkInPlace(bool replace, bool synced) {
  const int d = fdOf(handle);
  bool ok = synced || sync();
  if (ok && !temporary.empty()) {
    ok = replace ? ::rename(temporary.c_str(), target.c_str()) == 0
                 : renameNoReplace(temporary.c_str(), target.c_str());
    if (ok) temporary.clear();
  } else if (ok && !replace) {
    ok = linkUnnamed(d, target.c_str());
  } else if (ok) {
    // Linked under a hidden name first, then renamed over the old file.
    std::string hidden;
    do {
      hidden = temporaryNameFor(target);
      ok = linkUnnamed(d, hidden.c_str());
    } while (!ok && errno == EEXIST);
    if (ok && ::rename(hidden.c_str(), target.c_str()) != 0) {
      const int e = errno;
      ::unlink(hidden.c_str());
      errno = e;
      ok = false;
    }
  }
  int e = errno;
  if (ok && !synced) syncFolder(folderOf(target).c_str());  // the new name itself on stable storage
  if (!close() && ok) {
    ok = false;
    e = errno;
  }
  errno = e;
  return ok;
}

bool SystemFile::makeFolder(const char* name, bool linkAllowed) {
  struct stat st;
  if (linkAllowed && ::stat(name, &st) == 0 && S_ISDIR(st.st_mode)) return true;
  if (::mkdir(name, 0777) == 0) return true;
  if (errno != EEXIST) return false;
  if (::lstat(name, &st) == 0 && S_ISDIR(st.st_mode)) return true;
  errno = ENOTDIR;
  return false;
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
  if (!temporary.empty()) ::unlink(temporary.c_str());  // never linked in place
  temporary.clear();
  target.clear();
  for (int& end : pipeEnds) {
    if (end >= 0) ::close(end);
    end = -1;
  }
  errno = e;
  return ok;
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

int64_t SystemFile::kernelCopyTo(SystemFile& to, int64_t n, int* writeError) {
  const int in = fdOf(handle), out = fdOf(to.handle);
  off_t from = ::lseek(in, 0, SEEK_CUR), at = ::lseek(out, 0, SEEK_CUR);
  if (from < 0 || at < 0) return -1;
  if (rangeCopyWorks && (from - at) % kRangeCopyAlignment == 0) {
    for (;;) {
      ssize_t r = ::copy_file_range(in, nullptr, out, nullptr, static_cast<std::size_t>(n), 0);
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
    taken = ::splice(in, nullptr, pipeEnds[1], nullptr, static_cast<std::size_t>(std::min<int64_t>(n, kPipeSize)),
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
      if (*writeError == 0 && !writeAll(to, buffer.get(), r)) *writeError = errno;
    }
  }
  return taken;
}

#else

int64_t SystemFile::kernelCopyTo(SystemFile&, int64_t, int*) { return -1; }

#endif

bool SystemFile::makeFolders(const std::string& name, bool linkAllowed) {
  for (std::size_t i = 1; i <= name.size(); ++i) {
    if ((i == name.size() || name[i] == '/') && !makeFolder(name.substr(0, i).c_str(), linkAllowed)) return false;
  }
  return true;
}

bool SystemFile::exists(const char* name) {
  struct stat st;
  return ::lstat(name, &st) == 0;
}

bool SystemFile::timesOf(const char* name, Times* times) {
  struct stat st;
  if (::stat(name, &st) != 0) return false;
  const auto ns = [](const struct timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
  *times = {ns(st.st_atim), ns(st.st_mtim), ns(st.st_ctim)};
  return true;
}
