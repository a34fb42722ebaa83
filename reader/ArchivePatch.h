// Patches between files (VCDIFF, see delta/): made from the diff of two
// archives (the new one as pieces over the old), and applied to a file,
// checking first that it is the file the patch was made from.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/FileView.h"
#include "delta/Decoder.h"
#include "delta/Encoder.h"
#include "delta/PatchHeader.h"
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
  bool failed(std::string* why) const override;

 private:
  const FileView& olds;
  const FileView& news;
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
  // REQUIRES: made forPatch; diff() has no problem. False, with *error set,
  // on failure.
  bool writePatch(const std::string& newName, const std::string& oldName, const vcdiff::Sink& out,
                  std::string* error) const;

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

// Applies the patch that `decoder` reads, whose application header was
// `header`, to the file of `oldView`, writing the result as `target`
// through `writer`: whole, each window's checksum checked, or not at all.
// Where the header names the file the patch was made from, the file is
// checked against it (*fit): one of another size before anything is
// written, one of that size on a thread of its own while the patch is
// applied; nothing is written unless it fits. A failure of the patch is in
// *error (decoder's codes); of the files, in the writer's failure().
// `progress` is told the bytes written after each window.
bool applyPatch(vcdiff::Decoder& decoder, const vcdiff::PatchHeader& header, const FileView& oldView,
                PieceWriter& writer, const WriteTarget& target, PatchFit* fit, vcdiff::DecodeError* error,
                const PieceWriter::Progress& progress = {});
