#include "tools/TerminalText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "archive/System.h"
#include "scenario/ConsoleText.h"
#include "scenario/Cp932.h"

namespace {

void appendEscape(std::string& out, unsigned char b) {
  static const char digits[] = "0123456789ABCDEF";
  out += "\\x";
  out += digits[b >> 4];
  out += digits[b & 0xF];
}

bool isControl(unsigned char b) { return b < 0x20 || b == 0x7F; }
bool isLeadByte(unsigned b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool isTrailByte(unsigned b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

std::string toEucJp(const std::string& sjis) {
  std::string out;
  const auto* s = reinterpret_cast<const unsigned char*>(sjis.data());
  const std::size_t n = sjis.size();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned b = s[i];
    std::size_t width = b >= 0xA1 && b <= 0xDF                                     ? 1
                        : isLeadByte(b) && i + 1 < n && isTrailByte(s[i + 1])     ? 2
                        : b < 0x80 && !isControl(static_cast<unsigned char>(b)) ? 1
                                                                                  : 0;
    if (width == 0) {
      appendEscape(out, static_cast<unsigned char>(b));
      continue;
    }
    char converted[4];
    int k = sjisToEuc(sjis.data() + i, static_cast<int>(width), converted);
    out.append(converted, static_cast<std::size_t>(k));
    i += width - 1;
  }
  return out;
}

}  // namespace

Charset terminalCharset() { return terminalWantsUtf8() ? Charset::utf8 : Charset::eucJp; }

std::string toTerminal(const std::string& sjis, Charset charset) {
  return charset == Charset::utf8 ? cp932::toUtf8(sjis, cp932::Undecodable::escape) : toEucJp(sjis);
}

int TextOutput::ConsoleBuffer::sync() {
  bool ok = str().empty() || writeToConsole(str());
  str("");
  return ok ? 0 : -1;
}

TextOutput::TextOutput() : consoleStream(&console), out(standardOutputIsConsole() ? &consoleStream : &std::cout) {}

int finishOutput(const char* program, int status, std::ostream& out) {
  out.flush();
  std::cout.flush();
  if (!out || !std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::cerr << program << ": write error: " << std::strerror(errno) << std::endl;
    return 2;
  }
  return status;
}
