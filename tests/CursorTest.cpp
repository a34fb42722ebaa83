// The cursor operations a script reader uses on the body.
#include <gtest/gtest.h>

#include <string>

#include "TestUtil.h"
#include "scenario/KervScenario.h"

namespace {

// A scenario whose body is `body`, with no terminator after it.
struct Body {
  explicit Body(const std::string& body)
      : text("KERV 1.05 30.0\r\nt\r\n.7\r\n.\r\n.\r\n" + body), scenario(text.data(), static_cast<int>(text.size())) {}
  std::string text;
  KervScenario scenario;
};

TEST(CursorTest, HeaderValuesAndPositions) {
  Body b("R1\r\n");
  Scenario& s = b.scenario;
  EXPECT_EQ(s.getVersion(), 15000);  // 1.05 reads as 1.5
  EXPECT_EQ(s.getWaitingTime(), 7);
  EXPECT_EQ(s.getSize(), static_cast<int>(b.text.size()));
  EXPECT_EQ(s.getBody(), s.getData() + b.text.size() - 4);
  EXPECT_EQ(s.getBodySize(), 4);
  EXPECT_EQ(s.getPointer(), s.getBody());
  s.skip(3);
  s.rewind();
  EXPECT_EQ(s.getPointer(), s.getBody());
}

TEST(CursorTest, ReadsBytesAtTheCursorAndNothingPastTheEnd) {
  Body b("7r\xA0");
  Scenario& s = b.scenario;
  EXPECT_EQ(s.getChar(0), s.currentChar());
  EXPECT_EQ(s.getChar(2), '\xA0');  // bytes from 0x80 up are negative chars
  EXPECT_LT(s.getChar(2), 0);
  EXPECT_EQ(s.getChar(3), '\0');    // the end itself reads as 0
  EXPECT_TRUE(s.isChar('7'));
  EXPECT_TRUE(s.isDigit());
  s.skip();
  EXPECT_FALSE(s.isDigit());
  s.skip(2);
  EXPECT_TRUE(s.isBeyond(s.getPointer()));
  EXPECT_FALSE(s.isInside(s.getPointer()));
  EXPECT_EQ(s.currentChar(), '\0');
  EXPECT_FALSE(s.isCommandStart());
  EXPECT_TRUE(s.isString(""));
}

TEST(CursorTest, IsCommandStart) {
  for (const char* c : {"7", "0", "R", "@", "K", "O", "P", "F"}) EXPECT_TRUE(Body(c).scenario.isCommandStart()) << c;
  for (const char* c : {"r", " ", "k", "\x80", "\xFF", "A", ":"}) EXPECT_FALSE(Body(c).scenario.isCommandStart()) << c;
}

TEST(CursorTest, IsString) {
  Body b("R12 x");
  EXPECT_TRUE(b.scenario.isString("R12 x"));
  EXPECT_TRUE(b.scenario.isString("R1"));
  EXPECT_FALSE(b.scenario.isString("R2"));
}

TEST(CursorTest, SkipSeparators) {
  struct Case {
    const char* body;
    int result;
    int stop;  // offset in the body afterwards
  } cases[] = {
      {" \\; c\r\nR1", 1, 1},        // a backslash is no separator
      {"\t:\r\nR1", 1, 4},
      {"R1", 1, 0},                  // already on a command: no move
      {" \\x", 1, 1},
      {" : \r\n", 0, 5},             // only separators: the end, and 0
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    Body b(c.body);
    EXPECT_EQ(b.scenario.skipSeparators(), c.result) << c.body;
    EXPECT_EQ(b.scenario.getPointer() - b.scenario.getBody(), c.stop) << c.body;
    EXPECT_EQ(b.scenario.skipSeparators(), c.result) << "a second call does not move: " << c.body;
    EXPECT_EQ(b.scenario.getPointer() - b.scenario.getBody(), c.stop) << c.body;
  }
}

TEST(CursorTest, SkipSeparatorsOverCommentsLeftInTheText) {
  // After a backslash the header parse blanks nothing, so the comments
  // are still there for skipSeparators.
  Body b("\\\r\n ; note\r\nR1 ; last");
  Scenario& s = b.scenario;
  s.skip();
  EXPECT_EQ(s.skipSeparators(), 1);
  EXPECT_TRUE(s.isChar('R'));
  EXPECT_EQ(s.getNumber(), 1);
  EXPECT_EQ(s.skipSeparators(), 0);  // a comment on the last line, no CR LF
  EXPECT_TRUE(s.isBeyond(s.getPointer()));
}

TEST(CursorTest, NumbersFromTheCursor) {
  Body b("@-12 K3");
  Scenario& s = b.scenario;
  EXPECT_EQ(s.getNumber(), -12);
  EXPECT_TRUE(s.isChar(' '));
  EXPECT_EQ(s.getInt(), 3);
  EXPECT_EQ(s.getInt(), 0);  // none left: 0 at the end
  EXPECT_TRUE(s.isBeyond(s.getPointer()));
}

TEST(CursorDeathTest, BoundsAreAsserted) {
  Body b("ab");
  Scenario& s = b.scenario;
  s.skip(2);  // exactly to the end is allowed
  EXPECT_DEATH(s.skip(), "pt\\+c<=scenarioData\\+scenarioSize");
  EXPECT_DEATH(s.getChar(1), "pt\\+offset<=scenarioData\\+scenarioSize");
  s.rewind();
  EXPECT_DEATH(s.isString("abc"), "pt\\+strlen \\(string\\)<=scenarioData\\+scenarioSize");
  EXPECT_DEATH(s.skip(3), "pt\\+c<=scenarioData\\+scenarioSize");
}

}  // namespace
