// The units of the drivers: derived names, unsafe entry names, and the
// process set-up.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "TestUtil.h"
#include "archive/FileName.h"
#include "tools/KervCommon.h"
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

TEST(FileNameTest, UnsafeNames) {
  struct Case {
    const char* name;
    bool posix;
    bool windows;
  } cases[] = {
      {"x.qvd", false, false},           {"sub/x.qvd", false, false},      {"..x", false, false},
      {"./x", false, false},             {"a/.../b", false, true},         {"", false, false},
      {"../x", true, true},              {"..", true, true},               {"a/../../x", true, true},
      {"a/..", true, true},              {"/etc/x", true, true},           {"a//../x", true, true},
      {"/", true, true},                 {"x..", false, true},             {"a\\..\\x", false, true},
      {"\\x", false, true},            {"\\\\server\\share\\x", false, true},
      {"\\\\?\\C:\\x", false, true}, {"\\\\.\\COM1", false, true}, {"C:\\x", false, true},
      {"C:x", false, true},              {"a.qvd:hidden", false, true},    {"CON", false, true},
      {"con.qvd", false, true},          {"sub/Aux.tar.gz", false, true},  {"NUL .qvd", false, true},
      {"COM1", false, true},             {"lpt9.zpt", false, true},        {"CONIN$", false, true},
      {"conout$.txt", false, true},      {"a.", false, true},              {"a ", false, true},
      {"sub./x", false, true},           {"COM0", false, false},           {"LPT10", false, false},
      {"CONSOLE.qvd", false, false},     {"a.b.c", false, false},          {"x..y", false, false},
      // 表, ソ and 能 end in 0x5C, which is no separator there.
      {"\x95\\.zpt", false, false},     {"\x83\\.qvd", false, false},    {"\x94\\/x.qvd", false, false},
      {"\x94\\\\..", false, true},     {"\x83\\con.qvd", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isUnsafePosixName(c.name), c.posix) << c.name;
    EXPECT_EQ(isUnsafeWindowsName(c.name), c.windows) << c.name;
  }
}

TEST(ProgressBarTest, ALineFitsItsTerminal) {
  struct Case {
    int columns;
    bool bar;  // whether the bar itself fits beside the figures
  } cases[] = {{200, true}, {80, true}, {50, true}, {40, false}, {12, false}, {1, false}};
  const kerv::ProgressBar bar("extracting", int64_t{3} << 30, true);
  for (const Case& c : cases) {
    const std::string line = bar.line(int64_t{1} << 30, c.columns);
    EXPECT_LT(static_cast<int>(line.size()), c.columns) << line;
    EXPECT_EQ(line.find('[') != std::string::npos, c.bar) << line;
    if (c.columns >= 40) {
      EXPECT_NE(line.find("33% 1024/3072 MiB"), std::string::npos) << line;
    }
  }
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
  EXPECT_EXIT(allocateTooMuch(), testing::ExitedWithCode(kFatalStatus), "^Out of memory\\.\n$");
}

}  // namespace
