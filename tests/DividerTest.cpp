// The pure helpers of the drivers: derived names and unsafe entry names.
#include <gtest/gtest.h>

#include <string>

#include "tools/Divider.h"

namespace {

TEST(DialectTest, ReplaceSuffix) {
  struct Case {
    const char* name;
    const char* suffix;
    const char* result;  // null: refused
  } cases[] = {
      {"story.ker", "krv", "story.krv"}, {"readme", "krv", "reakrv"},
      {"dir/story.ker", "krv", "dir/story.krv"}, {"abc", "pkv", "pkv"},
      {"x.bin", "ker", "x.ker"}, {"ab", "krv", nullptr}, {"", "psc", nullptr},
  };
  for (const Case& c : cases) {
    std::string result;
    bool ok = replaceSuffix(c.name, c.suffix, result);
    EXPECT_EQ(ok, c.result != nullptr) << c.name;
    if (ok) {
      EXPECT_EQ(result, c.result) << c.name;
    }
  }
}

TEST(DividerTest, LeavesCurrentDirectory) {
  struct Case {
    const char* name;
    bool leaves;
  } cases[] = {
      {"x.qvd", false},     {"sub/x.qvd", false}, {"..x", false},      {"x..", false},
      {"./x", false},       {"a/.../b", false},   {"", false},         {"../x", true},
      {"..", true},         {"a/../../x", true},  {"a/..", true},      {"/etc/x", true},
      {"a//../x", true},    {"/", true},
  };
  for (const Case& c : cases) EXPECT_EQ(leavesCurrentDirectory(c.name), c.leaves) << c.name;
}

}  // namespace
