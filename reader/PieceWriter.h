// Writes files laid out as pieces (see Piece.h), each whole or not at all:
// into a file that has no name until it is complete and on stable storage
// (SystemFile::createUnnamed), so that neither an error nor the end of the
// process at any moment leaves a partial file, and a file it replaces
// stays whole until then. Ranges move inside the kernel where it can.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
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

  // The first part of write(): writes the pieces into `out`, a file that
  // becomes `target` when it is linked in place (FileBuffer::linkInPlace),
  // and starts the disk writing it. False, with `out` closed and gone, when
  // anything fails: failure() says what.
  bool writeUnnamed(const std::vector<Piece>& pieces, const std::vector<std::string>& files, const char* target,
                    FileBuffer& out, const Progress& progress = {});

  // What made the last write fail: the file (the target, the archive or a
  // new file) and why, as "<file>: <reason>"; and the errno behind it, 0
  // when a file had changed.
  const std::string& failure() const { return failure_; }
  int errorNumber() const { return error_; }
  // The two parts of failure(): the file, and why.
  const std::string& failedFile() const { return failedFile_; }
  const std::string& reason() const { return reason_; }

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
  std::string failedFile_;
  std::string reason_;
  int error_ = 0;
};

// Writes many files through a PieceWriter, each whole or not at all, while
// the disk writes each in the background: the files are linked in place
// (and so waited for) `depth` at a time, all put on stable storage before
// any is named, so that a batch costs the disk about one commit.
class BatchWriter {
 public:
  // A link that failed: "<target>: <reason>", the target, and its errno.
  struct Failure {
    std::string message;
    std::string target;
    int error;
  };

  explicit BatchWriter(PieceWriter& writer, std::size_t depth = 64) : writer(writer), depth(depth) {}
  ~BatchWriter();  // links what still waits
  BatchWriter(const BatchWriter&) = delete;
  BatchWriter& operator=(const BatchWriter&) = delete;

  // Writes the file as PieceWriter::write does, but links it later. False
  // when the write failed (the writer's failure() says why); a link that
  // fails later is among finish()'s failures.
  bool add(const std::vector<Piece>& pieces, const std::vector<std::string>& files, const char* target, bool replace,
           const PieceWriter::Progress& progress = {});
  // Links every file that still waits, in the order they were added, and
  // returns the failures of all links so far.
  std::vector<Failure> finish();

 private:
  struct Waiting {
    std::unique_ptr<FileBuffer> file;
    std::string target;
    bool replace;
  };
  void linkAll();

  PieceWriter& writer;
  std::size_t depth;
  std::deque<Waiting> waiting;
  std::vector<Failure> failures;
};
