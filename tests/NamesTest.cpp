// The data files a name or a pattern a person types means: as 'kerv list'
// shows it, with '/' for a stored '\', by its bytes, or by a shell-style
// pattern.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/ArchiveFiles.h"
#include "scenario/Wildcard.h"

namespace {

TEST(WildcardTest, MatchesAsShellPatternsDo) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  } cases[] = {
      {"*.qvd", "a.qvd", true},
      {"*.qvd", "データ/声/台詞01.qvd", true},  // '*' crosses folders, as in tar and unzip
      {"*.qvd", "a.qvd.bak", false},
      {"データ/声/*", "データ\\声\\台詞01.qvd", true},  // either separator on either side
      {"データ\\声\\*", "データ/声/台詞01.qvd", true},
      {"データ/声/*", "データ/表紙.zpt", false},
      {"台詞0?.qvd", "台詞01.qvd", true},  // '?' is one character, not one byte
      {"台詞0?.qvd", "台詞010.qvd", false},
      {"?", "", false},
      {"*", "", true},
      {"", "", true},
      {"", "a", false},
      {"[ab]*", "b1", true},
      {"[!ab]*", "b1", false},
      {"[^ab]*", "c1", true},
      {"[a-c]x", "bx", true},
      {"[a-c]x", "dx", false},
      {"[]]", "]", true},  // a ']' first is itself
      {"[*]", "*", true},
      {"[*]", "a", false},
      {"a[b", "a[b", true},  // no ']' closes it: a '[' of its own
      {"*a*b*c*", "xxaxxbxxcxx", true},
      {"*a*b*c*", "xxaxxcxxbxx", false},
      {"a*b", "a\xff" "b", true},  // a byte that is no UTF-8 is a character
      {"a?b", "a\xff" "b", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wildcard::matches(c.pattern, c.name), c.matches) << c.pattern << " against " << c.name;
  }
  EXPECT_TRUE(wildcard::isPattern("a*"));
  EXPECT_TRUE(wildcard::isPattern("[x]"));
  EXPECT_FALSE(wildcard::isPattern("データ\\表紙.zpt"));
}

TEST(WildcardTest, ManyStarsAgainstALongName) {
  // A pattern of many stars against a long name that almost matches: the
  // one-star backtrack makes this quadratic at worst, not exponential.
  const std::string name(4000, 'a');
  std::string pattern;
  for (int i = 0; i < 200; ++i) pattern += "*a";
  EXPECT_FALSE(wildcard::matches(pattern + "b", name));
  EXPECT_TRUE(wildcard::matches(pattern, name));
}

TEST(EntriesTest, ANameMeansWhatListShowsOrWhatExtractWrote) {
  // Shift_JIS: データ\表紙.zpt, データ\声\台詞01.qvd, and a name whose byte 0x85 0x40 has no character.
  const std::string cover = "\x83\x66\x81\x5B\x83\x5E\\\x95\x5C\x8E\x86.zpt";
  const std::string line = "\x83\x66\x81\x5B\x83\x5E\\\x90\xBA\\\x91\xE4\x8E\x8C" "01.qvd";
  const std::string odd = "\x85\x40.qvd";
  const std::vector<std::string> names = {cover, line, odd, "a.qvd", "a.qvd", "a/b", "a\\b"};
  struct Case {
    std::string given;
    std::vector<std::size_t> named, matching;
  } cases[] = {
      {"データ\\表紙.zpt", {0}, {0}},
      {"データ/表紙.zpt", {0}, {0}},
      {"データ/声/台詞01.qvd", {1}, {1}},
      {odd, {2}, {2}},           // by its bytes
      {"a.qvd", {3, 4}, {3, 4}},  // a repeated name: both, in list order
      {"a/b", {5}, {5}},          // the exact name before the one with the other separator
      {"a\\b", {6}, {6}},
      {"*.qvd", {}, {1, 2, 3, 4}},  // an odd name matches as shown, \x85@.qvd
      {"データ/*", {}, {0, 1}},
      {"*.txt", {}, {}},
      {"none", {}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(entriesNamed(names, c.given), c.named) << c.given;
    EXPECT_EQ(entriesMatching(names, c.given), c.matching) << c.given;
  }
}

}  // namespace
