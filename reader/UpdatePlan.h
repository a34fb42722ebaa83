// An archive changed: its scenario replaced, or some of its data files, or
// both. The plan lays the new archive out as pieces (see Piece.h) over the
// old one, so that nothing unchanged is read or held, and with no change
// the pieces reproduce the old archive byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/ArchiveIndex.h"
#include "reader/Piece.h"
#include "scenario/Problem.h"

class UpdatePlan {
 public:
  // A data file to replace: the file-list name it goes under (Shift_JIS
  // bytes as stored) and the size of its new contents, which become the
  // piece of kind file whose number is its place in the list given.
  struct Replacement {
    std::string name;
    int64_t size;
  };

  // Plans the archive that `index` (complete and sound) becomes. Without a
  // new scenario (null), each entry whose name is replaced takes its new
  // file, every occurrence of a name listed twice alike. With one, which
  // must be of the archive's dialect, each name of its file list takes its
  // new file, else the old block of that name (the k-th occurrence of a
  // name the k-th old block of it, else the first), else the plan fails
  // naming it. Every replaced name must be one of the list's.
  UpdatePlan(const ArchiveIndex& index, const std::string* scenario, const std::vector<Replacement>& replaced);

  // Why the archive cannot be made; code none when it can. The pieces are
  // valid only then. error() is its English (names in UTF-8, bytes with no
  // character as \xNN); empty when it can.
  const Problem& problem() const { return problem_; }
  std::string error() const { return problem_.english(); }
  const std::vector<Piece>& pieces() const { return pieces_; }
  int64_t size() const { return totalLength(pieces_); }
  // Whether the pieces are the old archive of `archiveSize` bytes, unchanged.
  bool unchanged(int64_t archiveSize) const;

  // The old data blocks that a new scenario no longer lists, and so the new
  // archive leaves out (a block whose name is replaced is not among them).
  struct Dropped {
    std::size_t entry;  // its place among the old entries
    std::string name;   // as stored
    int64_t size;
  };
  const std::vector<Dropped>& dropped() const { return dropped_; }

 private:
  void build(const ArchiveIndex& index, const std::string* scenario, const std::vector<Replacement>& replaced);
  void fail(Problem problem) {
    problem_ = std::move(problem);
    pieces_.clear();
    dropped_.clear();
  }

  Problem problem_;
  std::vector<Piece> pieces_;
  std::vector<Dropped> dropped_;
};
