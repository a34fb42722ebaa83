#include "scenario/LineEnds.h"

int bareLineFeedLine(const Scenario& scenario) {
  const char* const text = scenario.getData();
  int line = 1;
  for (const char* p = text; p < scenario.getBody(); ++p) {
    if (*p != '\n') continue;
    if (p == text || p[-1] != '\r') return line;
    ++line;
  }
  return 0;
}

int bareCarriageReturnLine(const Scenario& scenario) {
  const char* const text = scenario.getData();
  const char* const body = scenario.getBody();
  int line = 1;
  for (const char* p = text; p < body; ++p) {
    if (*p != '\r') continue;
    if (p + 1 >= body || p[1] != '\n') return line;
    ++line;
  }
  return 0;
}
