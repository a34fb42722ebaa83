// The tools' reports on standard error, and the process set-up they share.
#pragma once

// "can not create <name> : <system's text for errno>".
void reportCannotCreate(const char* name);

// "can not write to <name> : <system's text for errno>", then the line
// "<name> may be broken.".
void reportCannotWrite(const char* name);

// Prints `usage` on standard error and ends the process with status -1.
[[noreturn]] void exitWithUsage(const char* usage);

// Makes failures end the way the tools report them: the standard streams
// are ready (prepareStandardStreams), a failed allocation prints "Out of
// memory." and ends with -1 instead of aborting, and a write past the
// file-size limit fails with an error (reported as a failed write) instead
// of killing the process.
void prepareProcess();
