// Where the files of an archive come from and go to, for every surface that
// packs, extracts or updates archives on a file system (kerv, the Python
// module): the names of derived files, the data files a scenario names,
// the entries a name given by a person means, and the files an extraction
// writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/ArchiveReader.h"
#include "reader/PackPlan.h"

// The scenario file an archive extracts to, named after the archive (its
// folder left out): story.krv gives story.ker, a.pkv gives a.psc, and
// another name gets the dialect's suffix appended.
std::string scenarioNameFor(const std::string& archivePath, const Dialect& dialect);
// The archive a scenario packs into, beside it: story.ker gives story.krv,
// another name gets the dialect's suffix appended.
std::string archivePathFor(const std::string& scenarioPath, const Dialect& dialect);

// The entries, of the file-list names `names`, that a name a person gave
// means: those whose name decodes to exactly that UTF-8 text, or, when none
// does, those whose stored bytes are exactly it. In list order.
std::vector<std::size_t> entriesNamed(const std::vector<std::string>& names, const std::string& given);

// A data file of a scenario to pack, as found in a folder.
struct DataFile {
  std::string path;     // where it was found, or where it was looked for last
  int64_t size = 0;     // its size when found
  std::string problem;  // why it cannot be packed; empty when it can
  bool missing = false;
};
// For each name of plan's file list: the file in `folder` whose name is the
// name as stored (as this system names it, see NativeName.h), else its
// UTF-8 name with '\' as a folder separator, so that a folder that an
// extraction wrote packs back to the identical archive.
std::vector<DataFile> findDataFiles(const PackPlan& plan, const std::string& folder);

// A file that an extraction writes: the scenario or a data file.
struct ExtractJob {
  static constexpr std::size_t kScenario = SIZE_MAX;
  std::size_t entry;     // the entry it is made from, or kScenario
  std::string path;      // below the folder, '/' separating its folders
  std::string refusal;   // why it is not written; empty when it is
  std::size_t sameAs;    // an earlier job with the same path (only the first is written), or SIZE_MAX
  Piece piece() const;   // what is written, a range of the archive
  int64_t offset, size;  // that range
};
// The files that extracting the entries `chosen` (one flag per entry) of
// `reader`'s archive writes, and the scenario when `withScenario`: data
// files under their names decoded (or with `raw`, as stored; see
// ExtractName.h), refused by the rules of this system, and refused where
// they would take the scenario file's name.
std::vector<ExtractJob> planExtraction(const ArchiveReader& reader, const std::vector<bool>& chosen, bool raw,
                                       bool withScenario);

// Creates the folders of `path`, a job's path, below `folder` (which is
// created too where it is missing): none of them may be a symbolic link.
bool makeFoldersFor(const std::string& folder, const std::string& path);
