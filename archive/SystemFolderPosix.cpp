// SystemFolder on POSIX systems: a descriptor, and on Linux openat2.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <csignal>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "archive/IdentityPosix.h"
#include "archive/SystemFolder.h"
#include "archive/Temporaries.h"

namespace {

int fdOf(intptr_t handle) { return static_cast<int>(handle); }

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY;

// Creates the folder `name` (relative to `at`) unless something stands
// there, which is checked when it is opened.
bool makeFolderAt(int at, const char* name) { return ::mkdirat(at, name, 0777) == 0 || errno == EEXIST; }

// Opens the component `name` of a path beneath the folder `at` as a folder,
// never through a symbolic link.
int openComponent(int at, const std::string& name, bool create) {
  if (create && !makeFolderAt(at, name.c_str())) return -1;
  const int d = ::openat(at, name.c_str(), kFolderFlags | O_NOFOLLOW);
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
      if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
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

void SystemFolder::removeStaleTemporaries() const {
  struct stat self;
  if (::fstat(fdOf(handle), &self) != 0) return;
  static std::mutex lock;
  static std::set<std::pair<dev_t, ino_t>> done;
  {
    const std::lock_guard<std::mutex> held(lock);
    if (!done.insert({self.st_dev, self.st_ino}).second) return;
  }
  const int d = ::fcntl(fdOf(handle), F_DUPFD_CLOEXEC, 3);
  if (d < 0) return;
  DIR* folder = ::fdopendir(d);
  if (folder == nullptr) {
    ::close(d);
    return;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> closer(folder, ::closedir);
  const long me = static_cast<long>(::getpid());
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    const long pid = temporaries::processOf(name);
    if (pid <= 0 || pid == me) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // that process runs here
    // Its lock tells whether a process elsewhere (on a shared file system) still writes it.
    const int t = ::openat(d, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (t < 0) continue;
    struct stat st;
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    bool stale = ::fstat(t, &st) == 0 && S_ISREG(st.st_mode);
#if defined(F_OFD_SETLK)
    stale = stale && (::fcntl(t, F_OFD_SETLK, &probe) == 0 || (errno != EAGAIN && errno != EACCES));
#endif
    if (stale) ::unlinkat(d, name.c_str(), 0);
    ::close(t);
  }
}

void SystemFolder::close() {
  if (handle != kNone) ::close(fdOf(handle));
  handle = kNone;
  path_.clear();
  full_.clear();
}
