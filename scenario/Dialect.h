// The two dialects side by side: everything that tells a KERV archive and
// scenario from a P-KERV one. The tools and the archive reader both take
// these from here.
#pragma once

#include <memory>

#include "scenario/Scenario.h"

struct Dialect {
  const char* name;            // "KERV" or "P-KERV"
  const char* archiveMagic;    // "KRV" or "PKV": an archive's bytes 0 to 2
  const char* scenarioMagic;   // "KERV" or "PKERV": the start of a scenario text
  const char* scenarioSuffix;  // "ker" or "psc"
  const char* archiveSuffix;   // "krv" or "pkv"
  // Builds the dialect's scenario object from a copy of [bytes..bytes+length).
  std::unique_ptr<Scenario> (*makeScenario)(const char* bytes, int length);
};

extern const Dialect kervDialect;
extern const Dialect pkervDialect;

// The dialect whose archive magic the n bytes at `header` start with; null
// when they start with neither (or n is less than 3).
const Dialect* dialectOfArchive(const char* header, long n);

// The dialect whose scenario magic the n bytes at `text` start with; null
// when they start with neither.
const Dialect* dialectOfScenario(const char* text, long n);
