// Writes files laid out as pieces (see Piece.h), each whole or not at all:
// into a file that has no name until it is complete and on stable storage
// (SystemFile::createUnnamed), so that neither an error nor the end of the
// process at any moment leaves a partial file, and a file it replaces
// stays whole until then. Ranges move inside the kernel where it can.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/FileBuffer.h"
#include "reader/Piece.h"

class PieceWriter {
 public:
  // Told, now and then, how many bytes of a write are done.
  using Progress = std::function<void(int64_t done)>;

  // Ranges of the archive are read from the file `archive` (null when no
  // piece will have one), which must still be `archiveSize` bytes long.
  PieceWriter(const char* archive, int64_t archiveSize);

  // Writes `pieces` as the file `target`: piece of kind file i from the
  // file files[i], which must have the piece's length. With `replace`
  // false a file named `target` is left alone and the write fails with
  // EEXIST; with `replace` true it is replaced in one step (on Windows only
  // when no one has it open: a reader of the archive must be closed
  // first). False, with nothing written, when anything fails: failure()
  // says what.
  bool write(const std::vector<Piece>& pieces, const std::vector<std::string>& files, const char* target,
             bool replace, const Progress& progress = {});

  // What made the last write fail: the file (the target, the archive or a
  // new file) and why, as "<file>: <reason>"; and the errno behind it, 0
  // when a file had changed.
  const std::string& failure() const { return failure_; }
  int errorNumber() const { return error_; }

 private:
  bool fail(const std::string& file, int error, const std::string& reason = {});
  // Moves n bytes of `from`, named `name`, to `to`.
  bool transfer(FileBuffer& from, const std::string& name, FileBuffer& to, int64_t n, int64_t& done,
                const Progress& progress);

  std::string archiveName;
  int64_t archiveSize;
  FileBuffer archive;
  bool archiveOpened = false;
  std::string failure_;
  int error_ = 0;
};
