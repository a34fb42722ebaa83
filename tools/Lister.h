// kervls: lists and checks archives of either dialect in place, without
// extracting anything.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "reader/ArchiveReader.h"
#include "tools/TerminalText.h"

// Writes a first line on the archive (dialect, version, waiting time,
// number of data files) and one line per data block (size, offset, name,
// the name converted for `charset`) to `out`, and one line per finding of
// damage to `err`, each naming `name`. Returns 0 when the archive is sound,
// 1 when it is damaged.
// With `chosen` (one flag per entry), only the chosen blocks are listed.
int listArchive(ArchiveReader& reader, const char* name, Charset charset, std::ostream& out, std::ostream& err,
                const char* program = "kervls", const std::vector<bool>* chosen = nullptr);

// Lists the `count` archives `names` as kervls does, findings and errors
// on standard error after "<program>: ", and returns the status. With
// `patterns`, only the data files they name are listed (see
// entriesMatching), and one that names none in an archive is reported
// there as a missing name is, making the status 1.
int listAll(char** names, int count, const char* program, const std::vector<std::string>& patterns = {});

// Runs kervls on argv and returns its exit status: 0 when every archive is
// sound, 1 when any is damaged or is not an archive, 2 on a usage error or
// a file that cannot be opened as a regular file. The worst case decides.
int listArchives(int argc, char** argv);
