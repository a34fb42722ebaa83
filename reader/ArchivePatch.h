// Patches between files (VCDIFF, see delta/): made from the diff of two
// archives (the new one as pieces over the old), and applied to a file,
// checking first that it is the file the patch was made from.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/FileView.h"
#include "delta/Decoder.h"
#include "delta/Encoder.h"
#include "delta/Matcher.h"
#include "delta/PatchHeader.h"
#include "delta/ResultCheck.h"
#include "reader/ArchiveDiff.h"
#include "reader/Piece.h"
#include "reader/PieceWriter.h"
#include "reader/TwoFileScan.h"

// Compares the blocks of two archives through views of their files.
class ViewCompare : public BlockCompare {
 public:
  ViewCompare(const FileView& oldView, const FileView& newView) : olds(oldView), news(newView) {}
  bool same(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry) override;
  void common(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry, int64_t* prefix, int64_t* suffix) override;
  // XXH3 of the block, read once.
  bool digest(const ArchiveEntry& entry, bool isNew, uint64_t* out) override;
  bool failed(std::string* why) const override;

 private:
  const FileView& olds;
  const FileView& news;
  std::map<std::pair<bool, int64_t>, uint64_t> digests;  // by (isNew, offset)
  int error = 0;
};

// Two archives' files compared with one pass over each (TwoFileScan):
// the blocks of one name are compared as the pass reads them; any other
// comparison the diff asks for reads its blocks again.
class FileDiff {
 public:
  // Compares the archives of the indexes, whose files the views show; with
  // `forPatch`, the pass also takes the sums a patch between them needs.
  FileDiff(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex, const FileView& olds, const FileView& news,
           bool forPatch);
  ~FileDiff();

  const ArchiveDiff& diff() const { return *diff_; }

  // Writes, through `out`, the patch that makes the new file from the old:
  // its header names them (`newName`, `oldName`) and carries both sums.
  // The new bytes the diff leaves are searched for in the old archive
  // (vcdiff::Matcher): first where they most likely come from (the diff's
  // likelySources()), then, where much is still new, in all of it.
  // REQUIRES: made forPatch; diff() has no problem. False, with *error set,
  // on failure.
  bool writePatch(const std::string& newName, const std::string& oldName, const vcdiff::Sink& out,
                  std::string* error, const vcdiff::EncoderOptions& options = {}) const;

 private:
  class ScanCompare;

  const FileView& olds;
  const FileView& news;
  TwoFileScan scan;
  std::unique_ptr<ArchiveDiff> diff_;
};

// Whether the file to be patched is the one the patch was made from.
enum class PatchFit {
  fits,            // its size and sum are those the patch names
  unknown,         // the patch names none (xdelta3's own): it is checked window by window
  otherFile,       // another size or sum
  alreadyPatched,  // it is the file the patch makes
};
// Checks the file of `oldView` against the patch's header.
PatchFit checkPatchSource(const vcdiff::PatchHeader& header, const FileView& oldView);
// What a file (`path`, of `size` bytes) that is not the one the patch was
// made from is: "story.krv is not the archive this patch was made from
// (4,498 bytes expected, 4,501 found); it may be another edition, or
// already patched", or "... is already patched: ...".
// REQUIRES: fit is otherFile or alreadyPatched.
std::string patchFitEnglish(PatchFit fit, const std::string& path, int64_t size, const vcdiff::PatchHeader& header);

// What applying a patch came to.
struct PatchOutcome {
  PatchFit fit = PatchFit::unknown;  // the file against the header's sums
  vcdiff::DecodeError error;         // what is wrong with the patch's bytes
  vcdiff::ResultCheck::Verdict verdict = vcdiff::ResultCheck::Verdict::whole;
  int64_t made = 0;                  // the bytes its windows make (those read, where one failed)
  std::string wholeEnglish;          // why the result is not whole: "PATCH is cut short ..."
  bool unchecked = false;            // nothing could tell the right file: no sums, a window without a checksum
  bool unchanged = false;            // the result is the file itself: nothing was written
};

// How a patch may be applied.
struct PatchRules {
  std::string patchName;         // the patch, for messages
  bool allowUnchecked = false;   // apply a patch that cannot tell the right file (else refused)
  bool skipUnchanged = false;    // write nothing where the result is the file itself (in place)
};

// A patch applied window by window, wherever the result goes (a file
// that is named only once it is whole, or the page's download): each
// window made in memory (16 MiB at most) with its checksum checked, and
// the checks that tell whether the result may be used.
class PatchApplier {
 public:
  // `decoder` has read the header (`header`); `source` reads the file to
  // patch (`sourceSize` bytes), `made` what was made so far (for windows
  // that copy from it).
  PatchApplier(vcdiff::Decoder& decoder, const vcdiff::PatchHeader& header, vcdiff::ReadAt source,
               int64_t sourceSize, vcdiff::ReadAt made, const PatchRules& rules);

  // Before anything is made: false when the file cannot be the one the
  // patch was made from (another size than it names; outcome().fit says
  // which, after reading the file where it has the size of the result).
  bool start();
  // Makes the next window: its bytes in `bytes`, `window` its header.
  // False at the end of the patch, or when it fails (finish() says why).
  bool next(std::string& bytes, vcdiff::Window& window);
  // After the last window, with the file's sum where it was taken
  // (`sourceSum`, null where it was not): whether the result may be used.
  // Else outcome() says why not, or that it is the file itself
  // (outcome().unchanged, with rules.skipUnchanged).
  bool finish(const vcdiff::FileSum* sourceSum);

  const PatchOutcome& outcome() const { return outcome_; }
  // Whether finish() needs the file's sum: the header names it, or an
  // unchanged result is to be told.
  bool wantsSourceSum() const { return header.oldSum.known() || rules.skipUnchanged; }

 private:
  vcdiff::Decoder& decoder;
  const vcdiff::PatchHeader& header;
  vcdiff::ReadAt source, made;
  int64_t sourceSize;
  PatchRules rules;
  vcdiff::ResultCheck result;
  vcdiff::Summer resultSum;  // where an unchanged result is to be told
  PatchOutcome outcome_;
  bool longer = false;
};

// Applies the patch that `decoder` reads (its header read already:
// `header`) to the file of `oldView`, writing the result as `target`
// through `writer`: whole or not at all (PatchApplier), the file's sum
// taken on a thread of its own meanwhile. With rules.skipUnchanged a patch
// between equal files writes nothing once the file is found to be the one.
// The outcome says what went wrong (or that nothing changed); a failure of
// the files is in the writer's failure(). `progress` is told the bytes made
// after each window.
bool applyPatch(vcdiff::Decoder& decoder, const vcdiff::PatchHeader& header, const FileView& oldView,
                PieceWriter& writer, const WriteTarget& target, const PatchRules& rules, PatchOutcome* outcome,
                const PieceWriter::Progress& progress = {});

// Why a patch was not applied, for `path` (the file, of `size` bytes) and
// the patch, in the order a person needs it: the wrong file first, then a
// damaged patch, then a result that is not whole, then one that could not
// be checked. Empty when the outcome names none of these (the writer's
// failure() then says what failed).
std::string patchOutcomeEnglish(const PatchOutcome& outcome, const std::string& path, int64_t size,
                                const std::string& patchPath, const vcdiff::PatchHeader& header);

// A file patched, as `kerv patch` and Python's apply_patch do it: the
// patch read, the file checked against it, the result written into `out`
// or in place (under the rules of InPlace: locked, its attributes kept,
// read-only and linked files refused unless `force`), with `backup` the
// original kept beside it as PATH.orig first.
struct PatchRequest {
  std::string path;       // the file to patch
  std::string patchPath;  // the patch ("-": standard input)
  std::string out;        // where the result goes; empty: in place
  bool force = false;     // replace a regular `out`, patch a read-only or linked file, apply an unchecked patch in place
  bool backup = false;    // in place: keep the original as PATH.orig
  std::string forceName = "--force";  // how the caller's force is spelt, for messages
};

struct PatchReport {
  enum class Status {
    done,       // the result is written
    unchanged,  // the result is the file itself: nothing written
    refused,    // the file, the patch or a target is not what it must be (message)
    trouble,    // a file cannot be opened, read or written (message, error, errorPath)
  };
  Status status = Status::done;
  std::string message;             // why it was not written, for a person
  int error = 0;                   // errno of a trouble (or EEXIST of a refusal: the target exists)
  std::string errorPath;           // the file it is of
  std::vector<std::string> notes;  // what the user should know of a write that was done
  bool unchecked = false;          // the patch could not tell the right file (applied all the same)
};

// Patches as `request` says; `progress` is told the bytes made and the
// bytes to make (where the patch does not say: the file's size) after
// each window.
PatchReport patchFile(const PatchRequest& request,
                      const std::function<void(int64_t done, int64_t total)>& progress = {});
