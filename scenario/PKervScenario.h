// The P-KERV dialect: a text that starts with "PKERV" and whose header line
// holds only the version; everything after it on that line is ignored.
#pragma once

#include "scenario/Scenario.h"

class PKervScenario : public Scenario {
 protected:
  void parseHeader() override;

 public:
  static constexpr char magic[] = "PKERV";

  explicit PKervScenario(const char* fileName);
  PKervScenario(KervInputStream& in, int count);
  PKervScenario(const char* bytes, int length);
  ~PKervScenario() override = default;

  // "P-Kerv version=<major>.<minor>" and "waiting time=<seconds>(sec.)".
  void printInfo() override;
  int checkMagic() override;
};
