// The process on POSIX systems.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>

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

bool decodeCp932(const char* p, int n, std::string& utf8) {
  static iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) {  // no table here: only ASCII decodes
    if (n != 1 || static_cast<unsigned char>(*p) >= 0x80) return false;
    utf8 += *p;
    return true;
  }
  char out[8];
  char* in = const_cast<char*>(p);
  char* o = out;
  std::size_t inLeft = static_cast<std::size_t>(n), outLeft = sizeof out;
  bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1) && inLeft == 0;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (ok) utf8.append(out, static_cast<std::size_t>(o - out));
  return ok;
}

bool terminalWantsUtf8() { return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0; }

bool standardOutputIsConsole() { return false; }

bool writeToConsole(const std::string&) { return false; }
