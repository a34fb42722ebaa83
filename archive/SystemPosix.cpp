// The process on POSIX systems.
#include <fcntl.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <csignal>
#include <cstring>

#include "archive/Exit.h"
#include "archive/System.h"

namespace {

bool wasClosed[3] = {false, false, false};

}  // namespace

void prepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    wasClosed[fd] = true;
    // The lower descriptors are open, so /dev/null takes this one.
    if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) exitProcess(-1);
  }
}

bool standardStreamWasClosed(int fd) { return fd >= 0 && fd <= 2 && wasClosed[fd]; }

bool resolvedPath(const std::string& path, std::string* out) {
  std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), std::free);
  if (!real) return false;
  *out = real.get();
  return true;
}

std::string programFolder() {
#if defined(__linux__)
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  const std::string program(path, static_cast<std::size_t>(n));
  const std::size_t slash = program.find_last_of('/');
  return slash == std::string::npos ? "" : program.substr(0, slash);
#else
  return "";
#endif
}

void ignoreFileSizeSignal() { static_cast<void>(std::signal(SIGXFSZ, SIG_IGN)); }

char** commandLineArguments(int&, char** argv) { return argv; }

bool terminalWantsUtf8() { return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0; }

bool standardErrorIsTerminal() { return ::isatty(2) == 1; }

int terminalColumns() {
  struct winsize size = {};
  return ::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

bool standardOutputIsConsole() { return false; }

bool writeToConsole(const std::string&) { return false; }
