#include "tools/Reports.h"

#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <new>

#include "archive/Exit.h"

namespace {

// Writes `what` and `name`, then the system's text for the errno in force
// when the report began, on the same line.
void reportError(const char* what, const char* name) {
  int error = errno;
  std::cerr << what << name << std::flush;
  errno = error;
  std::perror(" ");
}

void outOfMemory() {
  std::cerr << "Out of memory." << std::endl;
  exitProcess(-1);
}

}  // namespace

void reportCannotCreate(const char* name) { reportError("can not create ", name); }

void reportCannotWrite(const char* name) {
  reportError("can not write to ", name);
  std::cerr << name << " may be broken." << std::endl;
}

void exitWithUsage(const char* usage) {
  std::cerr << usage << std::endl;
  exitProcess(-1);
}

void openStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open, so /dev/null takes this one.
    if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) exitProcess(-1);
  }
}

void prepareProcess() {
  openStandardStreams();
  std::set_new_handler(outOfMemory);
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
}
