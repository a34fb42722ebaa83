#include "scenario/PKervScenario.h"

PKervScenario::PKervScenario(const char* fileName) : Scenario(fileName) { PKervScenario::parseHeader(); }

PKervScenario::PKervScenario(KervInputStream& in, int count) : Scenario(in, count) { PKervScenario::parseHeader(); }

PKervScenario::PKervScenario(const char* bytes, int length) : Scenario(bytes, length) { PKervScenario::parseHeader(); }

void PKervScenario::parseHeader() {
  parseVersion();
  parseSections();
}

int PKervScenario::checkMagic() { return matchMagic(magic, "This file is not for PKERV."); }

void PKervScenario::printInfo() { printVersion("P-Kerv version="); }
