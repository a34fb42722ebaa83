// The process on POSIX systems.
#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "archive/Exit.h"
#include "archive/System.h"

void prepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open, so /dev/null takes this one.
    if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) exitProcess(-1);
  }
}

void ignoreFileSizeSignal() { static_cast<void>(std::signal(SIGXFSZ, SIG_IGN)); }

char** commandLineArguments(int&, char** argv) { return argv; }

bool terminalWantsUtf8() { return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0; }

bool standardErrorIsTerminal() { return ::isatty(2) == 1; }

bool standardOutputIsConsole() { return false; }

bool writeToConsole(const std::string&) { return false; }
