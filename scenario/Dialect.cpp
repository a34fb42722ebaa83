#include "scenario/Dialect.h"

#include <cstring>

#include "scenario/KervScenario.h"
#include "scenario/PKervScenario.h"

namespace {

template <class ScenarioClass>
std::unique_ptr<Scenario> make(const char* bytes, int length) {
  return std::make_unique<ScenarioClass>(bytes, length);
}

// The dialect for which the n bytes at `bytes` start with the string
// `magic` (a member of Dialect) names.
const Dialect* dialectByMagic(const char* Dialect::*magic, const char* bytes, long n) {
  for (const Dialect* d : {&kervDialect, &pkervDialect}) {
    std::size_t m = std::strlen(d->*magic);
    if (n >= static_cast<long>(m) && std::memcmp(bytes, d->*magic, m) == 0) return d;
  }
  return nullptr;
}

}  // namespace

const Dialect kervDialect = {"KERV", "KRV", KervScenario::magic, "ker", "krv", make<KervScenario>};
const Dialect pkervDialect = {"P-KERV", "PKV", PKervScenario::magic, "psc", "pkv", make<PKervScenario>};

const Dialect* dialectOfArchive(const char* header, long n) { return dialectByMagic(&Dialect::archiveMagic, header, n); }

const Dialect* dialectOfScenario(const char* text, long n) { return dialectByMagic(&Dialect::scenarioMagic, text, n); }
