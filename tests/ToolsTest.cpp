// The units of the drivers: derived names, unsafe entry names, and the
// process set-up.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "archive/FileName.h"
#include "tools/Programs.h"
#include "tools/Reports.h"

namespace {

TEST(ProgramsTest, ReplaceSuffix) {
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

TEST(FileNameTest, LeavesCurrentDirectory) {
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

char* volatile allocated;  // keeps the allocation from being optimised away

void allocateTooMuch() {
  prepareProcess();
  volatile std::size_t size = std::size_t{1} << 60;
  allocated = new char[size];
}

TEST(ReportsDeathTest, AFailedAllocationEndsTheRunWithAMessage) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator aborts on its own";
#endif
  EXPECT_EXIT(allocateTooMuch(), testing::ExitedWithCode(255), "^Out of memory\\.\n$");
}

}  // namespace
