// The header parse, the list walks, comment blanking and the version report
// of both dialects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestUtil.h"
#include "scenario/KervScenario.h"
#include "scenario/PKervScenario.h"

namespace {

std::string kerv(const std::string& header, const std::string& rest = crlf({"title", ".", ".", ".", "body"})) {
  return "KERV" + header + "\r\n" + rest;
}

KervScenario parse(const std::string& text) { return KervScenario(text.data(), static_cast<int>(text.size())); }

std::string bodyOf(const Scenario& s) { return std::string(s.getBody(), s.getBodySize()); }

std::vector<std::string> files(Scenario& s) {
  std::vector<std::string> names;
  while (char* name = s.nextFileName()) names.push_back(name);
  EXPECT_EQ(s.nextFileName(), nullptr) << "a finished walk stays finished";
  return names;
}

std::vector<std::string> seconds(Scenario& s) {
  std::vector<std::string> names;
  while (char* name = s.nextSecondEntry()) names.push_back(name);
  return names;
}

TEST(KervScenarioTest, HeaderLine) {
  struct Case {
    const char* header;
    int version;  // major * 10000 + minor
    int headerValue;
  } cases[] = {
      {"1.2 30.5", 12000, 3050},           {" 1.05 30.25", 15000, 3025},
      {" 2.125 5.125", 21250, 1012},       {" 1.12345 700.12345", 12345, 60023},
      {" 3.0 0.0", 30000, 1000},           {" 1.9 45.07", 19000, 4570},
      {" 1.5 600.5", 15000, 60050},        {" 1.5 601.5", 15000, 60050},
      {" 1.5 10.5", 15000, 1050},          {" 1.5 9.5", 15000, 1050},
      {" 1.5 0.5", 15000, 1050},           {" 1.5 -5.5", 15000, 1050},
      {" 1.-5 30.5", 5000, 3050},
  };
  for (const Case& c : cases) {
    KervScenario s = parse(kerv(c.header));
    EXPECT_EQ(s.getVersion(), c.version) << c.header;
    EXPECT_EQ(s.getHeaderValue(), c.headerValue) << c.header;
    EXPECT_EQ(bodyOf(s), "body\r\n") << c.header;
  }
}

TEST(KervScenarioTest, SecondNumberMissingIsTakenFromLaterLines) {
  // The whole part comes from the title block, its fraction from the line of
  // the '.'; the title block then starts on the line after that.
  KervScenario s = parse(kerv(" 1.2", crlf({"act 45", ".7", "more", ".30", ".", ".", "x"})));
  EXPECT_EQ(s.getHeaderValue(), 4570);
  EXPECT_EQ(s.getWaitingTime(), 30);
  Capture out(std::cout);
  s.printTitle(1);
  EXPECT_EQ(out.text(), "more\r\n\n");
}

TEST(KervScenarioTest, WaitingTime) {
  struct Case {
    const char* line;
    int seconds;
  } cases[] = {{".30", 30}, {".0", 0}, {".", 32767}, {". 30", 32767}, {".-5", 32767}, {".45 sec", 45}};
  for (const Case& c : cases) {
    KervScenario s = parse(kerv(" 1.0 30.0", crlf({"t", c.line, ".", ".", "b"})));
    EXPECT_EQ(s.getWaitingTime(), c.seconds) << c.line;
  }
}

TEST(KervScenarioTest, TitleBlock) {
  KervScenario two = parse(kerv(" 1.0 30.0", crlf({"line one", "line two", ".", ".", "."})));
  Capture out(std::cout);
  two.printTitle(1);
  KervScenario none = parse(kerv(" 1.0 30.0", crlf({".5", ".", "."})));
  none.printTitle(1);
  EXPECT_EQ(out.text(), "line one\r\nline two\r\n\n\n");
  EXPECT_EQ(none.getWaitingTime(), 5);
}

TEST(KervScenarioTest, ListWalks) {
  struct Case {
    std::vector<std::string> fileList;  // the lines of the section
    std::vector<std::string> fileNames;
    std::vector<std::string> secondList;
    std::vector<std::string> secondEntries;
  } cases[] = {
      {{"."}, {}, {"."}, {}},
      {{"a.qvd", "b.zpt", "."}, {"a.qvd", "b.zpt"}, {"x", "."}, {"x"}},
      {{"=x:file.qvd", "|x:=y:file.zpt", "=x:", "=x:|y:f.qvd", "."},
       {"file.qvd", "file.zpt", "", "f.qvd"},
       {"=x:kept", "."},
       {"=x:kept"}},
      {{"a.qvd", "", "b.qvd", "."}, {"a.qvd", "", "b.qvd"}, {"."}, {}},
      {{"=nocolon", "\\back.qvd", ".x", "."}, {"=nocolon", "\\back.qvd"}, {"."}, {}},
      {{".first", "."}, {".first"}, {"."}, {}},
  };
  for (const Case& c : cases) {
    std::string text = "KERV 1.0 30.0\r\nt\r\n.\r\n";
    for (const std::string& line : c.fileList) text += line + "\r\n";
    for (const std::string& line : c.secondList) text += line + "\r\n";
    text += "body\r\n";
    KervScenario s = parse(text);
    EXPECT_EQ(files(s), c.fileNames) << text;
    EXPECT_EQ(seconds(s), c.secondEntries) << text;
    EXPECT_EQ(bodyOf(s), "body\r\n") << text;
  }
}

TEST(KervScenarioTest, ALineEndingInADotClosesTheSectionButNotTheWalk) {
  // The two lists overlap here, so each walk gets a text of its own.
  std::string text = kerv(" 1.0 30.0", crlf({"t", ".", "abc.", "b.qvd", ".", "body"}));
  KervScenario s = parse(text);
  EXPECT_EQ(bodyOf(s), "body\r\n");  // the second list was b.qvd and '.'
  EXPECT_EQ(files(s), (std::vector<std::string>{"abc.", "b.qvd"}));
  KervScenario t = parse(text);
  EXPECT_EQ(seconds(t), (std::vector<std::string>{"b.qvd"}));
}

TEST(KervScenarioTest, BodyCommentsAreBlankedUpToTheFirstBackslash) {
  struct Case {
    const char* body;
    const char* blanked;
  } cases[] = {
      {"foo ; bar\r\nR1\r\n", "foo      \r\nR1\r\n"},
      {"foo;\r\n", "foo \r\n"},
      {"a;x\\y;z\r\nb;c\r\n", "a      \r\nb  \r\n"},
      {"a\\b;c\r\n", "a\\b;c\r\n"},
      {"a;b;c", "a    "},
      {"a;b\r", "a   "},
  };
  for (const Case& c : cases) {
    std::string head = "KERV 1.0 30.0\r\n;t\r\n.\r\n;a\r\n.\r\n;b\r\n.\r\n";
    KervScenario s = parse(head + c.body);
    EXPECT_EQ(std::string(s.getData(), s.getSize()), head + c.blanked) << c.body;
  }
}

TEST(KervScenarioTest, ReadNumber) {
  struct Case {
    const char* text;
    int value;
    int stop;  // offset of the position afterwards
  } cases[] = {{"abc-12x", -12, 6}, {"--5", 0, 1}, {"007", 7, 3}, {"none", 0, 4},
               {"4294967297", 1, 10}, {"-", 0, 1}};
  for (const Case& c : cases) {
    std::string text = c.text;
    KervScenario s = parse(text);
    char* p = s.getData();
    EXPECT_EQ(s.readNumber(p), c.value) << c.text;
    EXPECT_EQ(p - s.getData(), c.stop) << c.text;
  }
}

TEST(KervScenarioTest, PrintInfo) {
  KervScenario s = parse(kerv("1.2 30.0", crlf({".", ".", "."})));
  Capture out(std::cout);
  s.printInfo();
  EXPECT_EQ(out.text(), "Kerv version=1.2000\nwaiting time=32767(sec.)\n");
}

TEST(ScenarioTest, CheckMagicOfEachDialect) {
  struct Case {
    std::string text;
    int kerv;
    int pkerv;
  } cases[] = {
      {"KERV 1.0 30.0\r\n", 1, 0}, {"PKERV 1.0\r\n", 0, 1}, {"PKERX 1.0\r\n", 0, 0},
      {"KER", 0, 0},               {"PKER", 0, 0},          {"", 0, 0},
  };
  for (const Case& c : cases) {
    Capture err(std::cerr);
    KervScenario k(c.text.data(), static_cast<int>(c.text.size()));
    PKervScenario p(c.text.data(), static_cast<int>(c.text.size()));
    EXPECT_EQ(k.checkMagic(), c.kerv) << c.text;
    EXPECT_EQ(p.checkMagic(), c.pkerv) << c.text;
    std::string expected = std::string(c.kerv ? "" : "This file is not for KERV.\n") +
                           (c.pkerv ? "" : "This file is not for PKERV.\n");
    EXPECT_EQ(err.text(), expected) << c.text;
  }
}

TEST(ScenarioDeathTest, PrintInfoEndsTheRunOnAWrongMagic) {
  std::string text = "PKERV 1.0\r\nt\r\n.\r\n.\r\n.\r\n";
  EXPECT_EXIT(KervScenario(text.data(), static_cast<int>(text.size())).printInfo(),
              testing::ExitedWithCode(kFatalStatus), "This file is not for KERV.");
  text = "KERV 1.0 30.0\r\nt\r\n.\r\n.\r\n.\r\n";
  EXPECT_EXIT(PKervScenario(text.data(), static_cast<int>(text.size())).printInfo(),
              testing::ExitedWithCode(kFatalStatus), "This file is not for PKERV.");
}

TEST(PKervScenarioTest, HeaderLineHoldsOnlyTheVersion) {
  struct Case {
    const char* header;
    int version;
    const char* info;
  } cases[] = {
      {"PKERV 1.0", 10000, "P-Kerv version=1.0\nwaiting time=32767(sec.)\n"},
      {"PKERV 1.5", 15000, "P-Kerv version=1.5000\nwaiting time=32767(sec.)\n"},
      {"PKERV 2.25 300 15", 22500, "P-Kerv version=2.2500\nwaiting time=32767(sec.)\n"},
  };
  for (const Case& c : cases) {
    // A KERV parse would take 45 and 7 from the title block; P-KERV must not.
    std::string text = std::string(c.header) + "\r\n" + crlf({"45.7 title", ".", "a.qvd", ".", ".", "b"});
    PKervScenario s(text.data(), static_cast<int>(text.size()));
    EXPECT_EQ(s.getVersion(), c.version) << c.header;
    Capture out(std::cout);
    s.printTitle(1);
    s.printInfo();
    EXPECT_EQ(out.text(), std::string("45.7 title\r\n\n") + c.info) << c.header;
    EXPECT_STREQ(s.nextFileName(), "a.qvd");
    EXPECT_EQ(s.nextFileName(), nullptr);
  }
}

TEST(ScenarioTest, EveryPrefixOfATextIsParsedWithinItsBounds) {
  // Cut short anywhere, inside any section: each copy is exactly as long as
  // the prefix, so a sanitizer build catches any read or write past it.
  std::string text = kerv(" 1.05 30.25", crlf({"ti;tle", ".15", "=a:x.qvd", "|b:", "y.zpt.", "s1", ".",
                                               "R1 ; c", "@2;", "\\;k"}));
  for (std::size_t n = 0; n <= text.size(); ++n) {
    KervScenario k(text.data(), static_cast<int>(n));
    PKervScenario p(text.data(), static_cast<int>(n));
    for (Scenario* s : {static_cast<Scenario*>(&k), static_cast<Scenario*>(&p)}) {
      files(*s);
      seconds(*s);
      while (s->skipSeparators()) s->skip();
      Capture out(std::cout);
      s->printTitle(0);
    }
  }
}

TEST(ScenarioTest, ConstructsFromAFile) {
  ScratchDir dir;
  std::string text = kerv(" 1.2 30.5", crlf({"t", ".9", "a.qvd", ".", ".", "b"}));
  dir.write("s.ker", text);
  KervScenario s(dir.path("s.ker").c_str());
  EXPECT_EQ(s.getSize(), static_cast<int>(text.size()));
  EXPECT_EQ(s.getWaitingTime(), 9);
  EXPECT_STREQ(s.nextFileName(), "a.qvd");
}

}  // namespace
