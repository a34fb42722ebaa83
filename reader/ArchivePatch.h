// Patches between files (VCDIFF, see delta/): made from a description of
// the new file as pieces over the old (an ArchiveDiff's), and applied to a
// file, checking first that it is the file the patch was made from. Both
// read the files through views (FileView): nothing is copied that need
// not be.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/FileView.h"
#include "delta/Decoder.h"
#include "delta/Encoder.h"
#include "delta/PatchHeader.h"
#include "reader/ArchiveDiff.h"
#include "reader/Piece.h"
#include "reader/PieceWriter.h"

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

// Writes, through `out`, the patch that makes the file of `newView` from
// that of `oldView`: `pieces` describe the new file (kind archive: ranges
// of the old; kind file: ranges of the new; bytes). Its header names the
// files (`newName`, `oldName`) and carries both sums; they and each
// window's checksum are taken in one pass over each file, the old one on
// a thread of its own. False, with *error set, on failure.
bool makePatch(const FileView& oldView, const FileView& newView, const std::vector<Piece>& pieces,
               const std::string& newName, const std::string& oldName, const vcdiff::Sink& out, std::string* error);

// Whether the file to be patched is the one the patch was made from.
enum class PatchFit {
  fits,            // its size and sum are those the patch names
  unknown,         // the patch names none (xdelta3's own): it is checked window by window
  otherFile,       // another size or sum
  alreadyPatched,  // it is the file the patch makes
};
// Checks the file of `oldView` against the patch's header.
PatchFit checkPatchSource(const vcdiff::PatchHeader& header, const FileView& oldView);

// Applies the patch that `decoder` reads (its header read) to the file
// `oldFile` (seen through `oldView`), writing the result as `target`
// through `writer`: whole, each window's checksum checked, or not at all.
// A failure of the patch is in *error (decoder's codes); of the files, in
// the writer's failure().
// `progress` is told the bytes written after each window.
bool applyPatch(vcdiff::Decoder& decoder, const SystemFile& oldFile, const FileView& oldView, PieceWriter& writer,
                const WriteTarget& target, vcdiff::DecodeError* error, const PieceWriter::Progress& progress = {});
