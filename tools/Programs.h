// What the packer and the divider of each dialect print beside the
// dialect itself, and the output name they derive from their command line.
#pragma once

#include <string>

#include "scenario/Dialect.h"

struct Programs {
  const Dialect& dialect;
  const char* packerUsage;   // "Usage:krvmake file.ker [file.krv]"
  const char* dividerUsage;  // "Usage:krvdiv file.krv [file.ker]"
  const char* wrongArchive;  // the divider's first line about a foreign archive
};

extern const Programs kervPrograms;   // krvmake, krvdiv
extern const Programs pkervPrograms;  // pkvmake, pkvdiv

// Sets `result` to `name` with its last three characters replaced by
// `suffix` (no dot is looked for: story.ker gives story.krv, notes gives
// nokrv). Returns false when the name is shorter than three characters.
bool replaceSuffix(const char* name, const char* suffix, std::string& result);

// The output name of a run with the command line argv ("input [output]"):
// the second argument when there is one, else the first with its suffix
// replaced, kept in `storage`. Prints `usage` and ends the process with -1
// when argc is not 2 or 3, or the first argument is too short for that.
const char* outputName(int argc, char** argv, const char* suffix, const char* usage, std::string& storage);
