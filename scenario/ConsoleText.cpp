#include "scenario/ConsoleText.h"

#include <cstddef>
#include <memory>

int sjisToEuc(const char* source, int length, char* destination) {
  const auto* s = reinterpret_cast<const unsigned char*>(source);
  auto* d = reinterpret_cast<unsigned char*>(destination);
  int out = 0;
  for (int i = 0; i < length; ++i) {
    unsigned b = s[i];
    if (b >= 0xA1 && b <= 0xDF) {  // half-width katakana
      d[out++] = 0x8E;
      d[out++] = static_cast<unsigned char>(b);
    } else if (((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) && i + 1 < length) {
      unsigned t = s[++i];
      unsigned e1 = b <= 0x9F ? 2 * b - 0x61 : 2 * b - 0xE1;
      unsigned e2;
      if (t >= 0x9F) {
        e2 = t + 2;
        ++e1;
      } else if (t >= 0x80) {
        e2 = t + 0x60;
      } else {
        e2 = t + 0x61;
      }
      d[out++] = static_cast<unsigned char>(e1);  // both taken modulo 256
      d[out++] = static_cast<unsigned char>(e2);
    } else {
      d[out++] = static_cast<unsigned char>(b);
    }
  }
  return out;
}

std::ostream& writeText(std::ostream& out, const char* text, int length, int raw) {
  if (length <= 0) return out;
  if (raw != 0) return out.write(text, length);
  std::unique_ptr<char[]> converted(new char[2 * static_cast<std::size_t>(length)]);
  int n = sjisToEuc(text, length, converted.get());
  return out.write(converted.get(), n);
}
