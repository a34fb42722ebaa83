// Two archives of one dialect compared: what changed, as a person reads it
// (the scenario, data files changed, added, removed), and the new archive
// laid out as pieces over the old one, so that a patch copies whatever the
// old archive already holds. A new data block equal to an old one (the
// block of the same name first, the k-th of a name listed again the k-th,
// then any block of the same size and bytes, found through digests) is a
// copy; a changed block of the same name is a copy of what it shares at its
// start and at its end, and its new middle; the head is copied where it is
// unchanged, else as a block is. Equal archives are one copy of the whole.
// What the new middles repeat of the old archive is for the patch's coder
// to find (likelySources() says where to look first).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/ArchiveIndex.h"
#include "reader/Piece.h"
#include "scenario/Problem.h"

// What the diff needs to know of the archives' bytes. REQUIRES of each
// call: entries of the old and of the new archive, in that order.
class BlockCompare {
 public:
  virtual ~BlockCompare() = default;
  // Whether the two blocks (of one size) hold the same bytes.
  virtual bool same(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry) = 0;
  // How many bytes the two blocks share at their start and at their end
  // (together at most the shorter block's size).
  virtual void common(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry, int64_t* prefix,
                      int64_t* suffix) = 0;
  // A digest of a block's bytes (`isNew`: of the new archive), so that
  // blocks of one size are paired through them rather than each with
  // each; false where none is at hand (each pair is then compared).
  virtual bool digest(const ArchiveEntry& entry, bool isNew, uint64_t* out) {
    static_cast<void>(entry), static_cast<void>(isNew), static_cast<void>(out);
    return false;
  }
  // False, with a reason, when the bytes could not be read.
  virtual bool failed(std::string* why) const = 0;
};

class ArchiveDiff {
 public:
  struct Change {
    enum class Kind { header, scenario, changed, added, removed };
    Kind kind;
    std::string name;  // a data file's name as stored
    int64_t oldSize = 0, newSize = 0;
    // "scenario: changed (4501 -> 4519 bytes)", "door.qvd: added (1024 bytes)", ...
    std::string english() const;
  };

  // Compares the archives of `oldIndex` and `newIndex`, both complete and
  // sound (else problem() says which is damaged), through `compare`.
  ArchiveDiff(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex, BlockCompare& compare);

  // Why the two archives cannot be compared (see problem()); none when they can.
  static Problem check(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex);
  // Each new block's partner, the old block of its name (the k-th of a name
  // listed again the k-th), by their places in the lists; SIZE_MAX for a
  // new block that has none. The diff compares these first.
  static std::vector<std::size_t> partners(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex);
  // The diff of archives whose file `which` ("old" or "new") could not be
  // read: `why`.
  static ArchiveDiff unreadable(const char* which, const std::string& why);

  // Why the archives cannot be compared: of two dialects; one that is no
  // archive, damaged or cannot be read, its `other` then "old" or "new".
  const Problem& problem() const { return problem_; }
  const std::vector<Change>& changes() const { return changes_; }
  // Whether the archives hold the same bytes.
  bool equal() const { return !problem_ && changes_.empty(); }
  // The new archive: ranges of the old (kind archive) and of the new (kind
  // file, file 0), in its order.
  const std::vector<Piece>& pieces() const { return pieces_; }
  // Where in the old archive the new bytes of pieces() most likely come
  // from (offset, length): the head, the old block of each changed one's
  // name, and the old blocks no new one copies (renamed, perhaps).
  const std::vector<std::pair<int64_t, int64_t>>& likelySources() const { return likelySources_; }

 private:
  ArchiveDiff() = default;
  void build(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex, BlockCompare& compare);
  // Appends the new bytes `fresh` (at `at` in the new archive) as a copy of
  // what they share with `old` (at `oldAt`) at both ends, and the rest new.
  void appendShared(int64_t oldAt, int64_t oldLength, int64_t at, int64_t length, int64_t prefix, int64_t suffix);

  Problem problem_;
  std::vector<Change> changes_;
  std::vector<Piece> pieces_;
  std::vector<std::pair<int64_t, int64_t>> likelySources_;
};
