#include "tools/Programs.h"

#include "tools/Reports.h"

const Programs kervPrograms = {
    kervDialect,
    "Usage:krvmake file.ker [file.krv]",
    "Usage:krvdiv file.krv [file.ker]",
    "this file is not for KERV.",
};

const Programs pkervPrograms = {
    pkervDialect,
    "Usage:pkvmake file.psc [file.pkv]",
    "Usage:pkvdiv file.pkv [file.psc]",
    "this file is not for P-KERV.",
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
