// Names and scenario text in UTF-8: how the codec shows bytes with no
// character, where an extracted name goes, and an edited scenario back.
#include <gtest/gtest.h>

#include <string>

#include "scenario/Cp932.h"
#include "scenario/ExtractName.h"
#include "scenario/ScenarioText.h"

namespace {

TEST(Cp932Test, ShowsWhatHasNoCharacter) {
  struct Case {
    std::string sjis;
    std::string escaped, replaced;
  } cases[] = {
      {"\x8a\x43.zpt", "\xe6\xb5\xb7.zpt", "\xe6\xb5\xb7.zpt"},
      {"a\x85\x40", "a\\x85@", "a\xef\xbf\xbd@"},       // a lead byte before a byte it makes no code with
      {"\x81\x1b\x81", "\\x81\\x1B\\x81", "\xef\xbf\xbd\x1b\xef\xbf\xbd"},  // a lead byte last
      // In names, the private-use characters that show as nothing are bytes; in text, characters.
      {"\x80\xa0\r\n", "\\x80\\xA0\\x0D\\x0A", "\xc2\x80\xef\xa3\xb0\r\n"},
      {"a\xfd\xfe\xff", "a\\xFD\\xFE\\xFF", "a\xef\xa3\xb1\xef\xa3\xb2\xef\xa3\xb3"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cp932::toUtf8(c.sjis, cp932::Undecodable::escape), c.escaped);
    EXPECT_EQ(cp932::toUtf8(c.sjis, cp932::Undecodable::replace), c.replaced);
    std::string name;
    EXPECT_EQ(cp932::nameToUtf8Strictly(c.sjis, name), c.escaped.find("\\x") == std::string::npos) << c.escaped;
  }
  std::string out;
  cp932::EncodeError e;
  EXPECT_FALSE(cp932::fromUtf8("a\xe6\xb5\xb7\xf0\x9f\x98\x80", out, &e));  // a海😀
  EXPECT_EQ(out, "a\x8a\x43");
  EXPECT_EQ(e.offset, 4u);
  EXPECT_EQ(e.index, 2u);
  EXPECT_EQ(e.c, U'\U0001F600');
  EXPECT_FALSE(cp932::fromUtf8("\xed\xa0\x80", out, &e));  // a surrogate is no UTF-8
  EXPECT_EQ(e.c, cp932::kNotUtf8);
}

TEST(ExtractNameTest, PathsAndRefusals) {
  struct Case {
    std::string stored;
    bool raw, windows;
    std::string path;     // empty: refused
    std::string refusal;  // a part of the reason
  } cases[] = {
      {"sub\\y.qvd", false, false, "sub/y.qvd", ""},
      {"\x95\\.zpt", false, false, "\xe8\xa1\xa8.zpt", ""},  // 表: its 0x5C is no separator
      {"a//./b.qvd", false, false, "a/b.qvd", ""},
      {"sub\\y.qvd", true, false, "sub\\y.qvd", ""},
      {"\x85\x40.qvd", true, false, "\x85\x40.qvd", ""},
      {"\x85\x40.qvd", false, false, "", "byte 0x85 at offset 0 has no character"},
      {"/etc/x", false, false, "", "absolute name"},
      {"\\x.qvd", false, false, "", "absolute name"},
      {"a\\..\\..\\x", false, false, "", "'..'"},
      {"a\x1b.qvd", true, false, "", "control character U+001B"},
      {"a\x80.qvd", false, false, "", "control character U+0080"},
      {"", false, false, "", "empty name"},
      {"sub/", false, false, "", "empty name"},
      {"con.qvd", false, false, "con.qvd", ""},
      {"con.qvd", false, true, "", "device"},
      {"a.qvd:x", false, true, "", "':'"},
      {"x.", false, true, "", "dot or a blank"},
  };
  for (const Case& c : cases) {
    const ExtractName x = extractName(c.stored, c.raw, c.windows);
    EXPECT_EQ(x.path, c.path) << c.stored;
    EXPECT_NE(x.refusal.find(c.refusal), std::string::npos) << c.stored << ": " << x.refusal;
    EXPECT_EQ(x.refusal.empty(), c.refusal.empty()) << c.stored;
  }
}

TEST(ScenarioTextTest, KeepsWhatWasNotEdited) {
  // 0x8790 and 0x81E0 are both U+2252; 0x85 has no character.
  const std::string original = "KERV 1.2\r\n\x87\x90 x\r\n\x85 y\r\nbare\n\x87\x90 x\r\nend";
  // Two lines that read alike but hold different codes.
  const std::string twins = "KERV 1.2\r\n\x87\x90 x\r\n\x81\xe0 x\r\n";
  struct Case {
    const std::string* original;
    std::string text;
    std::string expected;
  } cases[] = {
      {&original, "KERV 1.2\r\n\xe2\x89\x92 x\r\n\xef\xbf\xbd y\r\nbare\n\xe2\x89\x92 x\r\nend", original},
      // An editor's LF line ends, and a byte order mark.
      {&original, "\xef\xbb\xbfKERV 1.2\n\xe2\x89\x92 x\n\xef\xbf\xbd y\nbare\n\xe2\x89\x92 x\nend", original},
      // Edited lines are encoded; the rest keeps its bytes.
      {&original, "KERV 1.2\n\xe2\x89\x92 z\n\xe2\x89\x92 x\nnew\n", "KERV 1.2\r\n\x81\xe0 z\r\n\x87\x90 x\r\nnew\r\n"},
      // The k-th line that reads like an original line gets the k-th such line's bytes.
      {&twins, "KERV 1.2\n\xe2\x89\x92 x\n\xe2\x89\x92 x\n", twins},
      {&twins, "KERV 1.2\n\xe2\x89\x92 x\n\xe2\x89\x92 x\n\xe2\x89\x92 x\n", twins + "\x87\x90 x\r\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    TextError e;
    EXPECT_TRUE(textToScenario(c.text, *c.original, out, &e)) << e.message();
    EXPECT_EQ(out, c.expected);
  }
}

TEST(ScenarioTextTest, ATextBoxKeepsLoneCarriageReturns) {
  // A lone CR, CR CR LF, an LF alone, 0x8790 and 0x81E0 (both U+2252), and no line end at the last line.
  const std::string original = "KERV 1.2\r\na\rb\r\nc\r\r\nbare\n\x87\x90 x\r\n\x81\xe0 x\r\nend\r";
  const std::string shown = "KERV 1.2\na\xe2\x90\x8d" "b\nc\xe2\x90\x8d\nbare\n\xe2\x89\x92 x\n\xe2\x89\x92 x\nend\xe2\x90\x8d";
  EXPECT_EQ(scenarioToEditable(original), shown);
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {shown, original},
      // One line edited: the others keep their bytes, lone CRs included.
      {"KERV 1.2\na\xe2\x90\x8d" "b\nc\xe2\x90\x8d\nBARE\n\xe2\x89\x92 x\n\xe2\x89\x92 x\nend\xe2\x90\x8d",
       "KERV 1.2\r\na\rb\r\nc\r\r\nBARE\r\n\x87\x90 x\r\n\x81\xe0 x\r\nend\r"},
      // A new line with a lone CR typed as the marker.
      {shown + "\nnew\xe2\x90\x8dline\n", original + "\r\nnew\rline\r\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    TextError e;
    EXPECT_TRUE(editableToScenario(c.text, original, out, &e)) << e.message();
    EXPECT_EQ(out, c.expected);
  }
  std::string out;
  TextError e;
  EXPECT_FALSE(editableToScenario("KERV\nx\xe2\x90\x8dy\xf0\x9f\x98\x80\n", original, out, &e));
  EXPECT_EQ(e.message(), "2:4: U+1F600 '\xf0\x9f\x98\x80' has no code in Shift_JIS (code page 932)");
}

TEST(ScenarioTextTest, RefusesWhatHasNoCodeAndWhatIsNoUtf8) {
  struct Case {
    std::string text;
    std::string message;
    std::size_t index;  // characters before it, a byte order mark included
  } cases[] = {
      {"\xef\xbb\xbfKERV\nab\xf0\x9f\x98\x80\n", "2:3: U+1F600 '\xf0\x9f\x98\x80' has no code in Shift_JIS (code page 932)",
       8},
      {"KERV\nx\xc3(\n", "2:2: the text is not UTF-8 here", 6},            // a lead byte before no continuation
      {"KERV\n\xe6\xb5\n", "2:1: the text is not UTF-8 here", 5},          // cut short at the line's end
      {"KERV\n\xe6\x35\xb7\n", "2:1: the text is not UTF-8 here", 5},      // a continuation that is none
      {"KERV\n\xc0\xaf\n", "2:1: the text is not UTF-8 here", 5},          // an overlong form of '/'
      {"KERV\n\xed\xa0\x80\n", "2:1: the text is not UTF-8 here", 5},      // a surrogate
  };
  for (const Case& c : cases) {
    std::string out;
    TextError e;
    EXPECT_FALSE(textToScenario(c.text, "", out, &e)) << c.message;
    EXPECT_EQ(e.message(), c.message);
    EXPECT_EQ(e.index, c.index) << c.message;
  }
}

}  // namespace
