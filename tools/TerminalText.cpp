#include "tools/TerminalText.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

#include "scenario/ConsoleText.h"

namespace {

void appendEscape(std::string& out, unsigned char b) {
  static const char digits[] = "0123456789ABCDEF";
  out += "\\x";
  out += digits[b >> 4];
  out += digits[b & 0xF];
}

bool isControl(unsigned char b) { return b < 0x20 || b == 0x7F; }

// ASCII control characters of already converted text become escapes.
std::string escapeControls(const std::string& text) {
  std::string out;
  for (unsigned char b : text) {
    if (isControl(b)) {
      appendEscape(out, b);
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

std::string toUtf8(const std::string& sjis) {
  static iconv_t cd = iconv_open("UTF-8", "CP932");
  std::string out;
  if (cd == reinterpret_cast<iconv_t>(-1)) {  // no table: every byte beyond ASCII is escaped
    for (unsigned char b : sjis) {
      if (b < 0x80 && !isControl(b)) {
        out += static_cast<char>(b);
      } else {
        appendEscape(out, b);
      }
    }
    return out;
  }
  char* in = const_cast<char*>(sjis.data());
  std::size_t inLeft = sjis.size();
  while (inLeft > 0) {
    char buffer[256];
    char* o = buffer;
    std::size_t outLeft = sizeof buffer;
    std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    int error = errno;
    out.append(buffer, static_cast<std::size_t>(o - buffer));
    if (r == static_cast<std::size_t>(-1) && error != E2BIG) {  // EILSEQ, or EINVAL at the end
      appendEscape(out, static_cast<unsigned char>(*in));
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return escapeControls(out);
}

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

Charset terminalCharset() {
  const char* codeset = nl_langinfo(CODESET);
  return std::strcmp(codeset, "UTF-8") == 0 ? Charset::utf8 : Charset::eucJp;
}

std::string toTerminal(const std::string& sjis, Charset charset) {
  return charset == Charset::utf8 ? toUtf8(sjis) : toEucJp(sjis);
}
