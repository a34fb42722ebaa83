// The divider (krvdiv, pkvdiv): re-creates the scenario file from an
// archive's scenario block, then each data file of the scenario's file list
// from the archive's next block. Nothing that exists is ever overwritten.
#pragma once

#include "archive/KervInputStream.h"
#include "scenario/Scenario.h"
#include "tools/Programs.h"

// Creates `name` and writes [bytes..bytes+length) into it. A file that
// cannot be created or written is reported; the run goes on either way.
void writeScenarioFile(const char* name, const char* bytes, int length);

// For each entry of the scenario's file list, prints `creating "<name>".`
// (the name through writeText with `raw`), reads the next block size and
// block from the archive and creates the file under that name. A file that
// cannot be created is reported and its block dropped; an archive that ends
// early or holds a bad size ends the process with status -1.
void extractDataFiles(Scenario& scenario, KervInputStream& archive, int raw);

// Runs the divider on argv ("file.krv [file.ker]") and returns 0 after a
// complete run, reports about single files included; every fatal failure
// ends the process with status -1.
int divide(const Programs& programs, int argc, char** argv);
