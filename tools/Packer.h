// The packer (krvmake, pkvmake): stores a scenario file and then, in the
// order of its file list, every data file it names in one new archive.
#pragma once

#include "archive/KervOutputStream.h"
#include "scenario/Scenario.h"
#include "tools/Programs.h"

// Appends a 32-bit size and the bytes of each file the scenario's file list
// names, printing "now adding <name> size=<n>" before each (the name through
// writeText with `raw`). A file that cannot be opened, or a failed write
// (reported with archiveName), ends the process with status -1; the archive
// then holds every complete block before the failing one.
void appendDataFiles(KervOutputStream& archive, Scenario& scenario, const char* archiveName, int raw);

// Runs the packer on argv ("file.ker [file.krv]") and returns 0 after a
// complete run; every failure ends the process with status -1.
int pack(const Programs& programs, int argc, char** argv);
