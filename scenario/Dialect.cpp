#include "scenario/Dialect.h"

#include <cstring>

#include "scenario/KervScenario.h"
#include "scenario/PKervScenario.h"

namespace {

template <class ScenarioClass>
std::unique_ptr<Scenario> make(const char* bytes, int length) {
  return std::make_unique<ScenarioClass>(bytes, length);
}

}  // namespace

const Dialect kervDialect = {"KERV", "KRV", KervScenario::magic, "ker", "krv", make<KervScenario>};
const Dialect pkervDialect = {"P-KERV", "PKV", PKervScenario::magic, "psc", "pkv", make<PKervScenario>};

const Dialect* dialectOfArchive(const char* header, long n) {
  for (const Dialect* d : {&kervDialect, &pkervDialect}) {
    std::size_t m = std::strlen(d->archiveMagic);
    if (n >= static_cast<long>(m) && std::memcmp(header, d->archiveMagic, m) == 0) return d;
  }
  return nullptr;
}
