#include "scenario/KervScenario.h"

KervScenario::KervScenario(const char* fileName) : Scenario(fileName) { KervScenario::parseHeader(); }

KervScenario::KervScenario(KervInputStream& in, int count) : Scenario(in, count) { KervScenario::parseHeader(); }

KervScenario::KervScenario(const char* bytes, int length) : Scenario(bytes, length) { KervScenario::parseHeader(); }

void KervScenario::parseHeader() {
  parseVersion();

  // The second number: from wherever the next '-' or digit stands, even on
  // a later line; one separator byte; then its fraction.
  int whole = getNumber();
  if (pt < end()) ++pt;
  int value = getNumber();
  int fraction;
  if (value <= 9) {
    fraction = wrapMul(value, 10);
  } else if (value <= 99) {
    fraction = value;
  } else if (value <= 999) {
    fraction = value / 10;
  } else {
    fraction = value % 10000 / 100;
  }
  if (whole > 600) whole = 600;
  if (whole <= 9) whole = 10;
  headerValue = wrapAdd(whole * 100, fraction);

  parseSections();
}

int KervScenario::checkMagic() { return matchMagic(magic, "This file is not for KERV."); }

void KervScenario::printInfo() { printVersion("Kerv version="); }
