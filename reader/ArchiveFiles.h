// Where the files of an archive come from and go to, for every surface that
// packs, extracts or updates archives on a file system (kerv, the Python
// module): the names of derived files, the data files a scenario names,
// the entries a name given by a person means, and the files an extraction
// writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/FileIdentity.h"
#include "archive/SystemFile.h"
#include "archive/SystemFolder.h"
#include "reader/ArchiveReader.h"
#include "reader/PackPlan.h"
#include "reader/PieceWriter.h"
#include "scenario/Problem.h"

// The scenario file an archive extracts to, named after the archive (its
// folder left out): story.krv gives story.ker, a.pkv gives a.psc, and
// another name gets the dialect's suffix appended.
std::string scenarioNameFor(const std::string& archivePath, const Dialect& dialect);
// The archive a scenario packs into, beside it: story.ker gives story.krv,
// another name gets the dialect's suffix appended.
std::string archivePathFor(const std::string& scenarioPath, const Dialect& dialect);

// The entries, of the file-list names `names`, that a name a person gave
// means: those whose name decodes to exactly that UTF-8 text (as a name:
// see cp932::nameToUtf8Strictly); when none does, those whose name so
// decoded is that text once '\' and '/' are read alike (the name as an
// extraction writes it); when none does, those whose stored bytes are
// exactly it. In list order.
std::vector<std::size_t> entriesNamed(const std::vector<std::string>& names, const std::string& given);
// The entries a name or a pattern a person gave means: entriesNamed, and
// when that finds none and `given` is a pattern (see Wildcard.h), the
// entries whose name as shown (a byte with no character as \xNN) it
// matches. In list order.
std::vector<std::size_t> entriesMatching(const std::vector<std::string>& names, const std::string& given);
// Where the name or pattern `given` finds no entry of `index`'s archive
// but a listed data file whose block is missing: the finding that says so
// ("NAME: no block (...)"); null otherwise.
const Problem* missingBlockOf(const ArchiveIndex& index, const std::string& given);
// Why `given` finds no entry, for a message: that finding's English, or
// "no data file GIVEN".
std::string noDataFileEnglish(const ArchiveIndex& index, const std::string& given);

// A data file of a scenario to pack, as found in a folder.
struct DataFile {
  std::string path;                   // where it was found, or where it was looked for last
  int64_t size = 0;                   // its size when found
  std::shared_ptr<SystemFile> file;   // open, when it was found
  FileIdentity identity;              // of that file
  Problem problem;                    // why it cannot be packed (`name` the list name); none when it can
};
// For each name of plan's file list: the file beneath `folder` whose name
// is the name as stored (as this system names it, see NativeName.h), else
// its UTF-8 name with '\' as a folder separator, so that a folder that an
// extraction wrote packs back to the identical archive. A name that is
// absolute or has a '..' component is refused (packNameProblem) and
// nothing outside the folder is opened for it; two different names that
// find one file are refused, as the archive could not tell them apart.
std::vector<DataFile> findDataFiles(const PackPlan& plan, const SystemFolder& folder);
// What is wrong with a data file, as a line for people ("<name>: ...").
std::string describe(const DataFile& file);

// A file that an extraction writes: the scenario or a data file.
struct ExtractJob {
  static constexpr std::size_t kScenario = SIZE_MAX;
  std::size_t entry;     // the entry it is made from, or kScenario
  std::string path;      // below the folder, '/' separating its folders
  std::string refusal;   // why it is not written (problem's English); empty when it is
  Problem problem;       // the same as a code
  std::size_t sameAs;    // an earlier job with the same path (only the first is written), or SIZE_MAX
  Piece piece() const;   // what is written, a range of the archive
  int64_t offset, size;  // that range
};
// The files that extracting the entries `chosen` (one flag per entry) of
// `reader`'s archive writes, and the scenario when `withScenario`: data
// files under their names decoded (or with `raw`, as stored; see
// ExtractName.h), refused by the rules of this system (the scenario's
// name too, which comes from the archive's), refused where
// they would take the scenario file's name, and refused where a name is a
// file and, for a later or an earlier name, a folder (the later of the two
// is refused).
std::vector<ExtractJob> planExtraction(const ArchiveReader& reader, const std::vector<bool>& chosen, bool raw,
                                       bool withScenario);
// Why the job of an entry whose path an earlier job takes (sameAs) is left
// out although its bytes are another's: "NAME: listed again (data block 3)
// with other bytes: only the first is extracted"; empty where its bytes
// are those written (nothing is lost). REQUIRES: job.sameAs is a job of
// `jobs`.
std::string leftOutEnglish(const ArchiveReader& reader, const std::vector<ExtractJob>& jobs, const ExtractJob& job);

// The folders of an extraction beneath the folder it writes into, each
// opened once (SystemFolder::openBeneath: never through a symbolic link,
// whatever another process does meanwhile).
class ExtractFolders {
 public:
  explicit ExtractFolders(std::shared_ptr<const SystemFolder> top) : top(std::move(top)) {}
  // The target of a job's `path` ('/' separating its folders), its folders
  // created where missing; false, with errno set (ELOOP: a symbolic link
  // among them), when they cannot be opened.
  bool targetFor(const std::string& path, bool replace, WriteTarget* target);
  // What stands at a job's `path` now (type none when nothing, or its
  // folders do not exist yet); false, with errno set, when that cannot be told.
  bool identityOf(const std::string& path, FileIdentity* id);

 private:
  // The folder `relative` beneath the top ("" the top itself), or null.
  std::shared_ptr<const SystemFolder> folder(const std::string& relative, bool create);

  std::shared_ptr<const SystemFolder> top;
  std::unordered_map<std::string, std::shared_ptr<const SystemFolder>> opened;
};
