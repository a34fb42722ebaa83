// Shift_JIS to EUC-JP conversion for the console.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "scenario/ConsoleText.h"

namespace {

std::string convert(const std::string& sjis) {
  // Exactly 2 * length bytes, so a sanitizer build catches any overrun.
  std::string out(2 * sjis.size(), '?');
  int n = sjisToEuc(sjis.data(), static_cast<int>(sjis.size()), out.data());
  out.resize(static_cast<std::size_t>(n));
  return out;
}

TEST(SjisToEucTest, Vectors) {
  struct Case {
    std::string sjis;
    std::string euc;
  } cases[] = {
      {"\x82\xA0", "\xA4\xA2"},            // hiragana a
      {"\x88\x9F", "\xB0\xA1"},            // first kanji
      {"\x81\x40", "\xA1\xA1"},            // ideographic space
      {"\x83\x5C", "\xA5\xBD"},            // trail byte 0x5C, a backslash
      {"\xB1", "\x8E\xB1"},                // half-width katakana
      {"\xA1\xDF", "\x8E\xA1\x8E\xDF"},      // its first and last
      {"abc\r\n", "abc\r\n"},              // ASCII and line ends unchanged
      {"\x82\xA0\x41", "\xA4\xA2\x41"},    // three bytes written
      {"\xE0\x40", "\xDF\xA1"},            // a lead byte from 0xE0 on
      {"\x9F\x40", "\xDD\xA1"},            // the last lead byte below 0xA0
      {"\x8A\x43", "\xB3\xA4"},            // the sea
      {std::string("\x80\xA0\xFD\xFF\x00", 5), std::string("\x80\xA0\xFD\xFF\x00", 5)},
      {"\x82\r", "\xA3\x6E"},              // a CR after a lead byte is its trail
      {"a\x82", "a\x82"},                  // a lead byte in the last position
      {"\xFC\xFC", "\x18\xFE"},            // outside EUC-JP, by the same formulas
  };
  for (const Case& c : cases) EXPECT_EQ(convert(c.sjis), c.euc) << c.sjis;
}

TEST(WriteTextTest, RawAndConverted) {
  std::ostringstream out;
  writeText(out, "\x82\xA0z", 3, 1);
  writeText(out, "\x82\xA0z", 3, 0);
  writeText(out, "ignored", 0, 0);
  writeText(out, std::string("a\0b", 3).data(), 3, 0);
  EXPECT_EQ(out.str(), std::string("\x82\xA0z\xA4\xA2z" "a\0b", 9));
}

}  // namespace
