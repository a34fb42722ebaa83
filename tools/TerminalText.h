// Shift_JIS names for the terminal the user has: UTF-8 or EUC-JP, chosen by
// the locale's character set.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

enum class Charset { eucJp, utf8 };

// The character set of the current locale: UTF-8 when its codeset is
// UTF-8, otherwise EUC-JP. REQUIRES: setlocale(LC_ALL, "") has been called.
Charset terminalCharset();

// `sjis` converted for the terminal: to UTF-8 by the code page 932 codec, or
// to EUC-JP as the packer and the divider print names. A byte that does
// not convert, and a control character, is shown as a \xNN escape; no byte
// is dropped.
std::string toTerminal(const std::string& sjis, Charset charset);

// Standard output for text in UTF-8 (or in the terminal's character set):
// std::cout, or on a Windows console a stream that writes it there as
// Unicode text whenever it is flushed.
class TextOutput {
 public:
  TextOutput();
  std::ostream& stream() { return *out; }

 private:
  class ConsoleBuffer : public std::stringbuf {
   protected:
    int sync() override;
  };
  ConsoleBuffer console;
  std::ostream consoleStream;
  std::ostream* out;
};

// Flushes `out` and standard output and returns `status`, or, when what
// was written did not all reach its file, reports "<program>: write error:
// <reason>" on standard error and returns 2: a status must not claim a
// listing that was lost.
int finishOutput(const char* program, int status, std::ostream& out = std::cout);
