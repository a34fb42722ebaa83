// One scenario text held in memory: its header sections, the walks over its
// two lists, and the cursor operations a reader of the script body uses.
//
// A scenario is Shift_JIS text with CR LF lines: a header line that starts
// with the dialect's magic, a title block, a line that starts with '.' (and
// may carry the waiting time), the file list and a second list (each closed
// by a line ending in '.'), then the body. The object owns a copy of exactly
// `scenarioSize` bytes with no terminator; every scan stops at its end.
// Each dialect subclass parses the header when it is constructed.
#pragma once

#include <cstring>

#include "archive/Assert.h"

class KervInputStream;

// The virtual operations are declared in their slot order: parseHeader,
// the destructor, printInfo, checkMagic.
class Scenario {
 protected:
  // Finds the header sections and leaves the cursor at the body. Called
  // once, by each dialect's constructors.
  virtual void parseHeader() = 0;

 public:
  virtual ~Scenario();
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  // Writes the version and waiting-time lines on standard output; ends the
  // process with status -1 (after checkMagic's message) on a wrong magic.
  virtual void printInfo() = 0;
  // 1 when the text starts with the dialect's magic; else writes
  // "This file is not for <dialect>." on standard error and returns 0.
  virtual int checkMagic() = 0;

  // The next entry of the file list, with its "=...:" and "|...:" prefixes
  // dropped, as a NUL-terminated string inside the text (the CR that ended
  // it becomes NUL); null once the list is walked to its end.
  char* nextFileName();
  // The same over the second list, prefixes kept.
  char* nextSecondEntry();

  // Reads an optionally negative decimal number at or after `position`
  // (the first '-' or digit on) and leaves `position` after its last digit.
  // Returns 0 when none is left. The value wraps in 32 bits.
  // REQUIRES: position lies in [getData()..getData()+getSize()].
  int readNumber(char*& position);

  // Writes the title block on standard output (converted to EUC-JP unless
  // raw is non-zero), then a newline.
  void printTitle(int raw);

  // Cursor operations. The cursor `pt` starts at the body. Where the cursor
  // stands at the end of the text, the byte read there is 0.
  int getSize() const { return scenarioSize; }
  char* getData() const { return scenarioData; }
  char* getBody() const { return body; }
  int getBodySize() const { return static_cast<int>(end() - body); }
  int getWaitingTime() const { return waitingTime; }
  // The title block: its first byte and its length, line ends included.
  const char* getTitle() const { return title; }
  int getTitleLength() const { return titleLength; }
  // The header's version as parsed: 1.2 gives 1 and 2000 (see getVersion).
  int getMajorVersion() const { return majorVersion; }
  int getMinorVersion() const { return minorVersion; }
  // 1 when the text starts with `magic`; prints nothing.
  int startsWith(const char* magic) const {
    std::size_t n = std::strlen(magic);
    return static_cast<std::size_t>(scenarioSize) >= n && std::memcmp(scenarioData, magic, n) == 0;
  }
  // majorVersion * 10000 + minorVersion: 1.5 gives 15000, 1.25 gives 12500.
  int getVersion() const { return wrapAdd(wrapMul(majorVersion, 10000), minorVersion); }
  char* getPointer() const { return pt; }
  void rewind() { pt = body; }

  // REQUIRES: the cursor plus c is at or before the end (asserted).
  void skip(int c = 1) {
    KERV_ASSERT(c <= end() - pt, "pt+c<=scenarioData+scenarioSize");
    pt += c;
  }
  char currentChar() const { return byteAt(pt); }
  // REQUIRES: the cursor plus offset is at or before the end (asserted).
  char getChar(int offset) {
    KERV_ASSERT(offset <= end() - pt, "pt+offset<=scenarioData+scenarioSize");
    return byteAt(pt + offset);
  }
  int isChar(char c) const { return currentChar() == c; }
  int isDigit() const { return isDecimalDigit(currentChar()); }
  // A digit or one of R @ K O P F (upper case only).
  int isCommandStart() const {
    char c = currentChar();
    return isDecimalDigit(c) || (c != '\0' && std::strchr("R@KOPF", c) != nullptr);
  }
  // 1 when the text at the cursor starts with `string`.
  // REQUIRES: the string is no longer than the rest of the text (asserted).
  int isString(const char* string) const {
    std::size_t n = std::strlen(string);
    KERV_ASSERT(n <= static_cast<std::size_t>(end() - pt),
                "pt+strlen (string)<=scenarioData+scenarioSize");
    return std::memcmp(pt, string, n) == 0;
  }
  int isInside(const char* p) const { return p < end(); }
  int isBeyond(const char* p) const { return p >= end(); }
  // Moves the cursor past ':', blanks, TAB, CR, LF and ';' comments (to the
  // end of their line). Returns 1 when the cursor is inside the text after.
  int skipSeparators() {
    while (pt < end() && isSeparator(*pt)) {
      if (*pt == ';') {
        ++pt;
        while (pt < end() && !atLineStart(pt)) ++pt;
      } else {
        ++pt;
      }
    }
    return pt < end();
  }
  int getNumber() { return readNumber(pt); }
  int getInt() { return getNumber(); }

 protected:
  // Each takes a copy of the text; the subclass then parses the header.
  // From a file: the whole named file (the process ends if it cannot be read).
  explicit Scenario(const char* fileName);
  // From a stream: the next `count` bytes (the process ends if fewer remain).
  Scenario(KervInputStream& in, int count);
  // From memory: `length` bytes at `bytes`. REQUIRES: length >= 0.
  Scenario(const char* bytes, int length);

  // The header parse shared by the dialects: the magic and the version
  // (major.minor, the minor normalised to four digits) ...
  void parseVersion();
  // ... and, from the end of the header line on, every other section; the
  // body's ';' comments up to the first backslash are blanked.
  void parseSections();

  // printInfo and checkMagic of a dialect, given its magic and names.
  int matchMagic(const char* magic, const char* message);
  void printVersion(const char* label);

  static int isDecimalDigit(char c) { return c >= '0' && c <= '9'; }
  static int wrapAdd(int a, int b) { return static_cast<int>(static_cast<unsigned>(a) + static_cast<unsigned>(b)); }
  static int wrapMul(int a, int b) { return static_cast<int>(static_cast<unsigned>(a) * static_cast<unsigned>(b)); }
  const char* end() const { return scenarioData + scenarioSize; }
  // True when the two bytes before p are CR LF. REQUIRES: p <= end().
  bool atLineStart(const char* p) const {
    return p - scenarioData >= 2 && p[-2] == '\r' && p[-1] == '\n';
  }
  // Moves pt forward to the next line start (or the end of the text).
  void toLineStart() {
    while (pt < end() && !atLineStart(pt)) ++pt;
  }

  int scenarioSize = 0;
  char* scenarioData = nullptr;
  int majorVersion = 0;
  int minorVersion = 0;
  char* title = nullptr;
  int titleLength = 0;
  int waitingTime = 32767;
  char* fileList = nullptr;
  char* secondList = nullptr;
  char* body = nullptr;
  char* pt = nullptr;

 private:
  char byteAt(const char* p) const { return p < end() ? *p : '\0'; }
  static bool isSeparator(char c) {
    return c == ':' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ';';
  }
  // Sets the walk position after the entry whose CR is at cr, or null when
  // the next line starts with '.' or nothing follows.
  void stepList(char*& list, char* cr);
  // Cuts the entry at `list` at its CR; null when the line has none.
  char* cutEntry(char*& list);
  // Moves pt to just after the next line that ends with '.' (a section's
  // closing line), looking only at bytes from `start` on.
  void closeSection(const char* start);
};
