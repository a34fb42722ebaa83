// Prints what the library's code page 932 codec makes of every code, for
// cp932_test.py to compare with Python's codec: first "D CODE CHAR" for
// each byte and each pair of a lead byte with any byte that decodes (CHAR
// in hex), then "E CHAR CODE" for each character that encodes.
#include <cstdio>
#include <string>

#include "archive/System.h"
#include "scenario/Cp932.h"

int main() {
  prepareStandardStreams();
  for (unsigned first = 0; first < 256; ++first) {
    for (unsigned second = 0; second < 257; ++second) {  // 256: the byte alone
      const unsigned char code[2] = {static_cast<unsigned char>(first), static_cast<unsigned char>(second)};
      char32_t c;
      const int n = cp932::decode(code, code + (second == 256 ? 1 : 2), &c);
      if (n == 2) std::printf("D %02X%02X %X\n", first, second, static_cast<unsigned>(c));
      if (n == 1 && second == 256) std::printf("D %02X %X\n", first, static_cast<unsigned>(c));
    }
  }
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    std::string code;
    if (!cp932::encode(c, code)) continue;
    std::printf("E %X ", static_cast<unsigned>(c));
    for (char b : code) std::printf("%02X", static_cast<unsigned char>(b));
    std::printf("\n");
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
