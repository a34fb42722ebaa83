// A scenario's lines for translators, as PO and CSV files written and read
// back, and translations put into the scenario: lines left alone keep
// their bytes, and every error is found at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestUtil.h"
#include "scenario/Strings.h"

namespace {

// Shift_JIS: 春 is 0x8F 0x74, 海 0x8A 0x43; 0x85 0x40 is no character.
const std::string kScenario = "KERV 1.2 30.5\r\n\x8F\x74\r\n.15\r\na.qvd\r\n.\r\n.\r\nR1 ; \x8A\x43\r\nplain\r\n"
                              "bad \x85\x40 byte\r\n\x8F\x74\r\nlast \x8A\x43";

// kScenario with the line content `from` (its last occurrence) as `to`.
std::string with(const std::string& from, const std::string& to) {
  std::string s = kScenario;
  return s.replace(s.rfind(from), from.size(), to);
}

std::vector<strings::Entry> read(const std::string& file, bool po, std::vector<strings::Error>* errors) {
  std::vector<strings::Entry> entries;
  if (po) {
    strings::readPo(file, &entries, errors);
  } else {
    strings::readCsv(file, &entries, errors);
  }
  return entries;
}

TEST(StringsTest, TheLinesToTranslateComeBackAsTheyWereWithoutATranslation) {
  const std::vector<strings::Line> lines = strings::translatableLines(kScenario);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].number, 2u);
  EXPECT_EQ(lines[0].text, "春");
  EXPECT_EQ(lines[2].text, "bad \xEF\xBF\xBD@ byte");  // U+FFFD, then '@' as kerv scenario shows it
  EXPECT_TRUE(lines[2].undecodable);
  EXPECT_EQ(lines[4].number, 11u);  // the last line, without a line end
  for (const bool po : {true, false}) {
    const std::string file = po ? strings::toPo(lines, "s.ker", "1.0.0") : strings::toCsv(lines);
    std::vector<strings::Error> errors;
    const std::vector<strings::Entry> entries = read(file, po, &errors);
    EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors[0].where());
    ASSERT_EQ(entries.size(), lines.size()) << po;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(entries[i].line, lines[i].number);
      EXPECT_EQ(entries[i].source, lines[i].text);
    }
    std::string out;
    EXPECT_TRUE(strings::applyTranslations(kScenario, entries, &out, &errors));
    EXPECT_EQ(out, kScenario) << po;
  }
}

TEST(StringsTest, TranslationsAreAppliedOrRefusedEveryOneAtOnce) {
  const std::string header = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";
  const auto entry = [](const std::string& line, const std::string& id, const std::string& str,
                        const std::string& flags = "") {
    return flags + "msgctxt \"" + line + "\"\nmsgid " + id + "\nmsgstr " + str + "\n\n";
  };
  struct Case {
    const char* what;
    std::string file;
    bool po;
    std::string expected;                 // the scenario, when applied
    std::vector<std::string> errors;      // where() of each error, when refused
  } cases[] = {
      {"one line", header + entry("2", "\"春\"", "\"Spring\""), true,
       "KERV 1.2 30.5\r\nSpring\r\n" + kScenario.substr(19), {}},
      {"fuzzy and empty translations are not used",
       header + entry("2", "\"春\"", "\"Spring\"", "#, fuzzy\n") + entry("7", "\"R1 ; 海\"", "\"\""), true, kScenario, {}},
      {"escapes and strings continued over lines",
       header + entry("7", "\"R1 ; \"\n\"海\"", "\"\"\n\"R1 ; \\\"sea\\\"\\t\\\\\""), true,
       with("R1 ; \x8A\x43", "R1 ; \"sea\"\t\\"), {}},
      {"a line with a byte that has no character: unchanged only",
       header + entry("9", "\"bad \xEF\xBF\xBD@ byte\"", "\"bad \xEF\xBF\xBD@ byte\"") +
           entry("10", "\"春\"", "\"Spring again\""),
       true, with("\x8F\x74", "Spring again"), {}},
      {"every error at once",
       header + entry("2", "\"夏\"", "\"Summer\"") + entry("7", "\"R1 ; 海\"", "\"R1 ♥ ☃\"") +
           entry("9", "\"bad \xEF\xBF\xBD@ byte\"", "\"good\"") + entry("11", "\"last 海\"", "\"two\\nlines\"") +
           entry("99", "\"x\"", "\"y\""),
       true, "",
       {"4: line 2 of the scenario now reads otherwise", "10:12: U+2665 '♥' has no code in Shift_JIS (code page 932)",
        "10:14: U+2603 '☃' has no code in Shift_JIS (code page 932)",
        "12: line 9 holds a byte with no character: it keeps its bytes and takes no translation",
        "18:12: the translation of line 11 holds a line end; a line is translated by one line",
        "20: the scenario has no line 99"}},
      {"the em dash is JIS X 0208's dash", header + entry("2", "\"春\"", "\"a — b\""), true,
       "KERV 1.2 30.5\r\na \x81\x5C b\r\n" + kScenario.substr(19), {}},
      {"a CSV file, with a byte order mark, quotes and a field over lines",
       "\xEF\xBB\xBFline,source,translation\r\n2,春,\"Spring, \"\"quoted\"\"\"\r\n11,last 海,\"a\nb\"\r\n", false, "",
       {"3:13: the translation of line 11 holds a line end; a line is translated by one line"}},
      {"a CSV file without a byte order mark, its columns in another order",
       "translation,line,source\nSpring,2,春\n", false, "KERV 1.2 30.5\r\nSpring\r\n" + kScenario.substr(19), {}},
      {"no PO", "this is no PO file\n", true, "", {"1:1: not PO here: expected msgctxt, msgid, msgstr, a string or a comment"}},
      {"a CSV file without its columns", "a,b\n1,2\n", false, "",
       {"1: the first row does not name the columns line, source and translation"}},
      {"not UTF-8", header + entry("2", "\"春\"", "\"\x8F\x74\""), true, "", {"6:9: the text is not UTF-8 here"}},
  };
  for (const Case& c : cases) {
    std::vector<strings::Error> errors;
    const std::vector<strings::Entry> entries = read(c.file, c.po, &errors);
    std::string out;
    const bool applied = errors.empty() && strings::applyTranslations(kScenario, entries, &out, &errors);
    std::vector<std::string> said;
    for (const strings::Error& e : errors) said.push_back(e.where());
    EXPECT_EQ(said, c.errors) << c.what;
    EXPECT_EQ(applied, c.errors.empty()) << c.what;
    if (applied) {
      EXPECT_EQ(out, c.expected) << c.what;
    }
  }
}

TEST(StringsTest, AScenarioTranslatedPastWhatOneHoldsIsRefused) {
  const std::string text = "KERV 1.2 30.5\r\n\x8F\x74\r\n.\r\n.\r\n.\r\n";
  strings::Entry e;
  e.line = 2;
  e.source = "春";
  e.translation = std::string(32768, 'x');
  e.fileLine = 3;
  std::string out;
  std::vector<strings::Error> errors;
  EXPECT_FALSE(strings::applyTranslations(text, {e}, &out, &errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].message, "a scenario file holds at most 32767 bytes, this one 32794");
}

}  // namespace
