// SystemFolder on POSIX systems: a descriptor, and on Linux openat2.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif
#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <csignal>
#include <memory>
#include <mutex>
#include <map>
#include <vector>
#include <cstring>
#include <string>
#include <utility>

#include "archive/IdentityPosix.h"
#include "archive/SystemFolder.h"
#include "archive/Temporaries.h"

namespace {

int fdOf(intptr_t handle) { return static_cast<int>(handle); }

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY;

// Creates the folder `name` (relative to `at`) unless something stands
// there, which is checked when it is opened; *made tells whether it was
// made now.
bool makeFolderAt(int at, const char* name, bool* made) {
  *made = ::mkdirat(at, name, 0777) == 0;
  return *made || errno == EEXIST;
}

// Opens the component `name` of a path beneath the folder `at` as a folder,
// never through a symbolic link. A folder made now is put on stable
// storage in `at`, so that a power cut does not lose its name.
int openComponent(int at, const std::string& name, bool create) {
  bool made = false;
  if (create && !makeFolderAt(at, name.c_str(), &made)) return -1;
  const int d = ::openat(at, name.c_str(), kFolderFlags | O_NOFOLLOW);
  if (d >= 0 && made) ::fsync(at);
  if (d >= 0) return d;
  const int e = errno;
  struct stat st;
  // Some kernels say ENOTDIR for a link that O_NOFOLLOW met; it is a link.
  errno = ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) ? ELOOP : e;
  return -1;
}

}  // namespace

bool SystemFolder::open(const std::string& path, bool create) {
  close();
  const std::string name = path.empty() ? "." : path;
  if (create) {
    // Each folder on the way, links followed: the path is the one given.
    for (std::size_t i = 1; i <= name.size(); ++i) {
      if (i < name.size() && name[i] != '/') continue;
      const std::string part = name.substr(0, i);
      if (::mkdir(part.c_str(), 0777) == 0) {
        // Its name on stable storage in the folder above.
        const std::size_t slash = part.find_last_of('/', part.size() - 1);
        const std::string above = slash == std::string::npos ? "." : slash == 0 ? "/" : part.substr(0, slash);
        const int up = ::open(above.c_str(), kFolderFlags);
        if (up >= 0) {
          ::fsync(up);
          ::close(up);
        }
      } else if (errno != EEXIST) {
        return false;
      }
    }
  }
  const int d = ::open(name.c_str(), kFolderFlags);
  if (d < 0) return false;
  handle = d;
  path_ = full_ = name;
  return true;
}

bool SystemFolder::openBeneath(const SystemFolder& base, const std::string& relative, bool create) {
  close();
  const int top = fdOf(base.handle);
  int d = -1;
#if defined(__linux__)
  struct open_how how = {};
  how.flags = kFolderFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  d = static_cast<int>(::syscall(SYS_openat2, top, relative.c_str(), &how, sizeof how));
  if (d < 0 && (errno == ELOOP || errno == EXDEV)) {
    errno = ELOOP;
    return false;
  }
  if (d < 0 && errno != ENOENT && errno != ENOSYS && errno != EAGAIN && errno != E2BIG) return false;
#endif
  // Missing folders to create, or no openat2: one component at a time.
  if (d < 0) {
    d = ::fcntl(top, F_DUPFD_CLOEXEC, 3);
    for (std::size_t start = 0; d >= 0 && start < relative.size();) {
      std::size_t end = relative.find('/', start);
      if (end == std::string::npos) end = relative.size();
      const int next = openComponent(d, relative.substr(start, end - start), create);
      const int e = errno;
      ::close(d);
      errno = e;
      d = next;
      start = end + 1;
    }
    if (d < 0) return false;
  }
  handle = d;
  path_ = full_ = base.path_ == "." ? relative : base.path_ + (base.path_.back() == '/' ? "" : "/") + relative;
  return true;
}

bool SystemFolder::identityOf(const std::string& name, FileIdentity* id) const {
  struct stat st;
  if (::fstatat(fdOf(handle), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return false;
    *id = FileIdentity();
    return true;
  }
  *id = ::identityOf(st);
  return true;
}

void SystemFolder::sync() const { ::fsync(fdOf(handle)); }

void SystemFolder::removeStaleTemporaries(const std::string& name) const {
  // What the first reading of the folder found that looks like a
  // temporary of kerv's at all; the rest is never looked at again.
  static std::mutex lock;
  std::vector<std::string> candidates;
  {
    const std::lock_guard<std::mutex> held(lock);
    if (!temporariesRead) {
      temporariesRead = true;
      const int d = ::fcntl(fdOf(handle), F_DUPFD_CLOEXEC, 3);
      if (d < 0) return;
      DIR* folder = ::fdopendir(d);
      if (folder == nullptr) {
        ::close(d);
        return;
      }
      while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.' && std::strstr(entry->d_name, ".kerv-") != nullptr) {
          temporariesFound.push_back(entry->d_name);
        }
      }
      ::closedir(folder);
    }
    // Those of this name, taken out of the list: each is looked at once.
    for (auto it = temporariesFound.begin(); it != temporariesFound.end();) {
      if (temporaries::processOf(*it, name, temporaries::largestProcessNumber()) > 0) {
        candidates.push_back(*it);
        it = temporariesFound.erase(it);
      } else {
        ++it;
      }
    }
  }
  const int d = fdOf(handle);
  for (const std::string& hidden : candidates) {
    const long pid = temporaries::processOf(hidden, name, temporaries::largestProcessNumber());
    if (pid == static_cast<long>(::getpid())) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // that process runs here
    const int t = ::openat(d, hidden.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (t < 0) continue;
    struct stat st;
    bool stale = ::fstat(t, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
#if defined(F_OFD_GETLK)
    // Its lock tells whether a process elsewhere (on a shared file system) still writes it.
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    stale = stale && ::fcntl(t, F_OFD_GETLK, &probe) == 0 && probe.l_type == F_UNLCK;
#endif
    // Still the file looked at, when it goes.
    struct stat now;
    if (stale && ::fstatat(d, hidden.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino &&
        now.st_dev == st.st_dev) {
      ::unlinkat(d, hidden.c_str(), 0);
    }
    ::close(t);
  }
}

bool SystemFolder::attributesOf(const std::string& name, ExtendedAttributes* out) const {
  out->items.clear();
#if defined(__linux__)
  // Through the folder's descriptor, without following a link at the end.
  const std::string path = "/proc/self/fd/" + std::to_string(fdOf(handle)) + "/" + name;
  std::vector<char> names(1024);
  ssize_t n;
  while ((n = ::llistxattr(path.c_str(), names.data(), names.size())) < 0 && errno == ERANGE) {
    names.resize(names.size() * 4);
    if (names.size() > (std::size_t{1} << 20)) return false;
  }
  if (n < 0) return errno == ENOTSUP;  // a file system without them: none to keep
  for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
    const std::string key(names.data() + at);
    at += key.size() + 1;
    std::string value(256, '\0');
    ssize_t m;
    while ((m = ::lgetxattr(path.c_str(), key.c_str(), value.data(), value.size())) < 0 && errno == ERANGE) {
      if (value.size() > (std::size_t{1} << 20)) return false;
      value.resize(value.size() * 4);
    }
    if (m < 0) {
      if (errno == ENODATA) continue;  // gone meanwhile
      return false;
    }
    value.resize(static_cast<std::size_t>(m));
    out->items.emplace_back(key, std::move(value));
  }
#else
  static_cast<void>(name);
#endif
  return true;
}

bool SystemFolder::mayWrite(const std::string& name) const {
  return ::faccessat(fdOf(handle), name.c_str(), W_OK, AT_EACCESS) == 0;
}

void SystemFolder::close() {
  if (handle != kNone) ::close(fdOf(handle));
  handle = kNone;
  temporariesRead = false;
  temporariesFound.clear();
  path_.clear();
  full_.clear();
}
