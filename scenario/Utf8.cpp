#include "scenario/Utf8.h"

namespace utf8 {

bool next(const char*& p, const char* limit, char32_t* c) {
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  const auto* end = reinterpret_cast<const unsigned char*>(limit);
  const unsigned b = s[0];
  int n;
  char32_t v, least;
  if (b < 0x80) {
    n = 0, v = b, least = 0;
  } else if (b >= 0xC2 && b <= 0xDF) {
    n = 1, v = b & 0x1F, least = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 2, v = b & 0x0F, least = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 3, v = b & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (end - s <= n) return false;
  for (int i = 1; i <= n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return false;
    v = v << 6 | (s[i] & 0x3F);
  }
  if (v < least || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
  *c = v;
  p += n + 1;
  return true;
}

void append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace utf8
