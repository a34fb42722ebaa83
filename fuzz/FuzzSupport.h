// Shared by the fuzz targets: fatal ends become exceptions, and console
// output goes nowhere.
#pragma once

#include <iostream>
#include <streambuf>

#include "archive/Exit.h"

// Thrown in place of ending the process, so one input's fatal error does not
// end the fuzzing run.
struct FatalExit {
  int status;
};

// The library's exitProcess is replaced by this one when a fuzz target links.
[[noreturn]] inline void throwFatal(int status) { throw FatalExit{status}; }

// Sends standard output and standard error to a buffer that drops everything.
inline void silenceConsole() {
  static struct : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  } sink;
  std::cout.rdbuf(&sink);
  std::cerr.rdbuf(&sink);
}
