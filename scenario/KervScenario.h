// The KERV dialect: a text that starts with "KERV", whose header line holds
// the version (major.minor) and a second number (whole.fraction).
#pragma once

#include "scenario/Scenario.h"

class KervScenario : public Scenario {
 protected:
  void parseHeader() override;

 public:
  static constexpr char magic[] = "KERV";

  explicit KervScenario(const char* fileName);
  KervScenario(KervInputStream& in, int count);
  KervScenario(const char* bytes, int length);
  ~KervScenario() override = default;

  // "Kerv version=<major>.<minor>" and "waiting time=<seconds>(sec.)".
  void printInfo() override;
  int checkMagic() override;

  // The header's second number in hundredths, whole part limited to 10..600:
  // 30.5 gives 3050, 45.07 gives 4570 (leading zeros of a fraction are lost).
  int getHeaderValue() const { return headerValue; }

 private:
  int headerValue = 0;
};
