#include "tools/Dialect.h"

#include "archive/Container.h"
#include "scenario/KervScenario.h"
#include "scenario/PKervScenario.h"
#include "tools/Reports.h"

namespace {

template <class ScenarioClass>
std::unique_ptr<Scenario> make(const char* bytes, int length) {
  return std::make_unique<ScenarioClass>(bytes, length);
}

}  // namespace

const Dialect kervDialect = {
    "Usage:krvmake file.ker [file.krv]",
    "Usage:krvdiv file.krv [file.ker]",
    "krv",
    "ker",
    container::kKervMagic,
    "this file is not for KERV.",
    make<KervScenario>,
};

const Dialect pkervDialect = {
    "Usage:pkvmake file.psc [file.pkv]",
    "Usage:pkvdiv file.pkv [file.psc]",
    "pkv",
    "psc",
    container::kPKervMagic,
    "this file is not for P-KERV.",
    make<PKervScenario>,
};

bool replaceSuffix(const char* name, const char* suffix, std::string& result) {
  result = name;
  if (result.size() < 3) return false;
  result.replace(result.size() - 3, 3, suffix);
  return true;
}

const char* outputName(int argc, char** argv, const char* suffix, const char* usage, std::string& storage) {
  if (argc != 2 && argc != 3) exitWithUsage(usage);
  if (argc == 3) return argv[2];
  if (!replaceSuffix(argv[1], suffix, storage)) exitWithUsage(usage);
  return storage.c_str();
}
