#include "tools/Reports.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <new>

#include "archive/Exit.h"
#include "archive/System.h"

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

void prepareProcess() {
  prepareStandardStreams();
  std::set_new_handler(outOfMemory);
  ignoreFileSizeSignal();
}
