// The commands of `kerv`, each a name, a usage line, a help text and a
// driver that takes its own arguments (argv[0] is the command's name) and
// returns the exit status.
#pragma once

#include "tools/KervCommon.h"

namespace kerv {

extern const Command listCommand;
extern const Command extractCommand;
extern const Command catCommand;
extern const Command createCommand;
extern const Command updateCommand;
extern const Command scenarioCommand;
extern const Command diffCommand;
extern const Command patchCommand;
extern const Command stringsCommand;
#if KERV_GREP
extern const Command grepCommand;  // where PCRE2 is at hand
#endif
#if KERV_MOUNT
extern const Command mountCommand;  // where libfuse 3 is at hand
#endif

int runList(int argc, char** argv);
int runExtract(int argc, char** argv);
int runCat(int argc, char** argv);
int runCreate(int argc, char** argv);
int runUpdate(int argc, char** argv);
int runScenario(int argc, char** argv);
int runDiff(int argc, char** argv);
int runPatch(int argc, char** argv);
int runStrings(int argc, char** argv);
#if KERV_GREP
int runGrep(int argc, char** argv);
#endif
#if KERV_MOUNT
int runMount(int argc, char** argv);
#endif

}  // namespace kerv

// Runs `kerv COMMAND ...` on the program's argv and returns its status.
int runKerv(int argc, char** argv);
