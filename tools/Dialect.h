// Everything that differs between the KERV and the P-KERV tools. Each of
// the four programs is the packer or the divider run with one of these.
#pragma once

#include <memory>
#include <string>

#include "scenario/Scenario.h"

struct Dialect {
  const char* packerUsage;     // "Usage:krvmake file.ker [file.krv]"
  const char* dividerUsage;    // "Usage:krvdiv file.krv [file.ker]"
  const char* archiveSuffix;   // written over an archive name's last three characters
  const char* scenarioSuffix;  // written over a scenario name's last three characters
  const char* archiveMagic;    // header bytes 0 to 2
  const char* wrongArchive;    // the divider's first line about a foreign archive
  // Builds the dialect's scenario object from a copy of [bytes..bytes+length).
  std::unique_ptr<Scenario> (*makeScenario)(const char* bytes, int length);
};

extern const Dialect kervDialect;
extern const Dialect pkervDialect;

// Sets `result` to `name` with its last three characters replaced by
// `suffix` (no dot is looked for: story.ker gives story.krv, notes gives
// nokrv). Returns false when the name is shorter than three characters.
bool replaceSuffix(const char* name, const char* suffix, std::string& result);

// The output name of a run with the command line argv ("input [output]"):
// the second argument when there is one, else the first with its suffix
// replaced, kept in `storage`. Prints `usage` and ends the process with -1
// when argc is not 2 or 3, or the first argument is too short for that.
const char* outputName(int argc, char** argv, const char* suffix, const char* usage, std::string& storage);
