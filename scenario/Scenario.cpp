#include "scenario/Scenario.h"

#include <cstdint>
#include <iostream>

#include "archive/Exit.h"
#include "archive/KervInputStream.h"
#include "scenario/ConsoleText.h"

Scenario::Scenario(const char* fileName) {
  KervInputStream in(fileName, std::ios_base::in);
  scenarioSize = in.getRemaining();
  scenarioData = new char[static_cast<std::size_t>(scenarioSize)];
  in.read(scenarioData, scenarioSize);
  in.close();
  pt = body = title = scenarioData;
}

Scenario::Scenario(KervInputStream& in, int count) {
  in.require(count);  // before allocating: a bogus count ends the run cleanly
  scenarioSize = count;
  scenarioData = new char[static_cast<std::size_t>(scenarioSize)];
  in.read(scenarioData, scenarioSize);
  pt = body = title = scenarioData;
}

Scenario::Scenario(const char* bytes, int length) {
  scenarioSize = length > 0 ? length : 0;
  scenarioData = new char[static_cast<std::size_t>(scenarioSize)];
  if (scenarioSize > 0) std::memcpy(scenarioData, bytes, static_cast<std::size_t>(scenarioSize));
  pt = body = title = scenarioData;
}

Scenario::~Scenario() { delete[] scenarioData; }

int Scenario::readNumber(char*& position) {
  const char* limit = end();
  while (position < limit && *position != '-' && !isDecimalDigit(*position)) ++position;
  bool negative = position < limit && *position == '-';
  if (negative) ++position;
  uint32_t value = 0;  // unsigned, so that the value wraps as specified
  for (; position < limit && isDecimalDigit(*position); ++position) {
    value = value * 10 + static_cast<uint32_t>(*position - '0');
  }
  return static_cast<int>(negative ? 0u - value : value);
}

void Scenario::parseVersion() {
  pt = scenarioData;
  while (pt < end() && !isDecimalDigit(*pt)) ++pt;
  majorVersion = readNumber(pt);
  if (pt < end()) ++pt;  // the separator, whatever it is
  int minor = readNumber(pt);
  if (minor <= 9) {
    minorVersion = wrapMul(minor, 1000);
  } else if (minor <= 99) {
    minorVersion = minor * 100;
  } else if (minor <= 999) {
    minorVersion = minor * 10;
  } else {
    minorVersion = minor % 10000;
  }
}

void Scenario::closeSection(const char* start) {
  if (pt < end()) ++pt;
  while (pt < end() && !(pt - start >= 3 && pt[-3] == '.' && pt[-2] == '\r' && pt[-1] == '\n')) ++pt;
}

void Scenario::parseSections() {
  toLineStart();

  title = pt;
  titleLength = 0;
  while (pt < end() && !(atLineStart(pt) && *pt == '.')) {
    ++pt;
    ++titleLength;
  }

  if (pt < end()) ++pt;  // the '.'
  waitingTime = pt < end() && isDecimalDigit(*pt) ? readNumber(pt) : 32767;
  toLineStart();

  const auto emptyList = [this](const char* p) {
    return end() - p >= 3 && p[0] == '.' && p[1] == '\r' && p[2] == '\n';
  };
  char* start = pt;
  fileList = pt < end() && !emptyList(pt) ? pt : nullptr;
  closeSection(start);
  start = pt;
  secondList = pt < end() && !emptyList(pt) ? pt : nullptr;
  closeSection(start);
  body = pt;

  // Blank the ';' comments, up to the first backslash outside a comment.
  while (pt < end() && *pt != '\\') {
    if (*pt == ';') {
      *pt = ' ';
      while (end() - pt > 1 && !(end() - pt > 2 && pt[1] == '\r' && pt[2] == '\n')) *++pt = ' ';
    }
    ++pt;
  }
  pt = body;
}

char* Scenario::cutEntry(char*& list) {
  if (list == nullptr) return nullptr;
  char* cr = static_cast<char*>(std::memchr(list, '\r', static_cast<std::size_t>(end() - list)));
  if (cr == nullptr) {  // a line with no CR before the end cannot be cut in place
    list = nullptr;
    return nullptr;
  }
  *cr = '\0';
  char* entry = list;
  stepList(list, cr);
  return entry;
}

void Scenario::stepList(char*& list, char* cr) {
  // The byte after the CR is taken to be the LF.
  list = end() - cr > 2 && cr[2] != '.' ? cr + 2 : nullptr;
}

char* Scenario::nextFileName() {
  char* entry = cutEntry(fileList);
  // Drop "=...:" and "|...:" prefixes; an incomplete one stays in the entry.
  while (entry != nullptr && (*entry == '=' || *entry == '|')) {
    char* colon = std::strchr(entry, ':');
    if (colon == nullptr) break;
    entry = colon + 1;
  }
  return entry;
}

char* Scenario::nextSecondEntry() { return cutEntry(secondList); }

void Scenario::printTitle(int raw) {
  writeText(std::cout, title, titleLength, raw) << std::endl;
}

int Scenario::matchMagic(const char* magic, const char* message) {
  if (startsWith(magic)) return 1;
  std::cerr << message << std::endl;
  return 0;
}

void Scenario::printVersion(const char* label) {
  if (!checkMagic()) exitProcess(-1);
  std::cout << label << majorVersion << "." << minorVersion << std::endl;
  std::cout << "waiting time=" << waitingTime << "(sec.)" << std::endl;
}
