// Writes files laid out as pieces (see Piece.h), each whole or not at all:
// into a file that has no name until it is complete and on stable storage
// (NewFile), so that neither an error nor the end of the process at any
// moment leaves a partial file, and a file it replaces stays whole until
// then. Every piece is read from a file already open (the archive through
// the reader's own descriptor), never by opening a path again, and every
// file is made in a folder held open (SystemFolder). A file that is read
// is never written over.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/FileIdentity.h"
#include "archive/NewFile.h"
#include "archive/SystemFile.h"
#include "archive/SystemFolder.h"
#include "reader/Piece.h"

// Where the bytes of the pieces come from, all open: the archive for
// pieces of kind archive, and for a piece of kind file i the file files[i]
// from its start (each of the piece's length). None is read through its
// position, so they may be shared (a reader's file, say).
struct PieceSources {
  const SystemFile* archive = nullptr;
  std::vector<const SystemFile*> files;
};

// Where a file is written, and what it may replace there.
struct WriteTarget {
  std::shared_ptr<const SystemFolder> folder;
  std::string name;   // in the folder: no separator
  std::string shown;  // its path, for messages
  bool replace = false;  // replace a file of that name, else fail with EEXIST
  // An update in place: the file the name holds, which must still be
  // there unchanged when it is replaced, and whose permission bits, owner,
  // group and extended attributes (its ACL) the new file takes. Null
  // otherwise. (A file `replace` replaces gives the new one the same.)
  const FileIdentity* replaces = nullptr;
  // A file whose permission bits, owner, group and extended attributes the
  // new one takes (a copy of it kept aside); null otherwise.
  const SystemFile* like = nullptr;

  // The target `path` ('/' separating folders) in a folder opened by that
  // path, links followed (the one a person named); false, with errno set,
  // when that folder cannot be opened.
  static bool at(const std::string& path, bool replace, WriteTarget* target);
};

// Whether `pieces` make exactly the bytes of sources.archive, which is
// `archiveSize` bytes long: ranges of it in their own places need no
// reading, the rest is compared. False also when a read fails.
bool sameAsArchive(const std::vector<Piece>& pieces, const PieceSources& sources, int64_t archiveSize);

class PieceWriter {
 public:
  // Told, now and then, how many bytes of a write are done.
  using Progress = std::function<void(int64_t done)>;

  // Why a write failed.
  enum class Failure {
    none,
    system,     // a call failed: errorNumber() says why (EEXIST: the target exists)
    changed,    // a file read, or the file to be replaced, changed meanwhile
    protected_, // the target is a file being read (see protect)
    notRegular, // the target's name holds a folder, a link, a device, a FIFO or a socket
    cancelled,  // the caller said stop (see setCancel)
  };

  explicit PieceWriter(PieceSources sources) : sources(std::move(sources)) {}

  // Never writes over `file`, whatever replace says: `what` says what it
  // is in a refusal ("the archive being read").
  void protect(const FileIdentity& file, const std::string& what);
  // Called right before a file is replaced in place (the new one complete
  // and on stable storage): where the system replaces no file that is open
  // (Windows), closes what holds the archive; may keep a copy of the old
  // one aside. Returning false fails the write, nothing replaced, after
  // saying why through refuse().
  void setBeforeReplacing(std::function<bool()> before) { beforeReplacing = std::move(before); }

  // Asked now and then while a file is written, and once more right before
  // it is named: true stops the write, nothing named (a script's
  // interrupt, say). Never asked once the file is named.
  void setCancel(std::function<bool()> cancel) { cancelled = std::move(cancel); }

  // Writes `pieces` as the target. False, with nothing written, when
  // anything fails: failure() says what.
  bool write(const std::vector<Piece>& pieces, const WriteTarget& target, const Progress& progress = {});

  // Writes the target's bytes with `produce`, into a new file that becomes
  // the target as write() makes it. The producer returns false after
  // saying why through refuse(), and then nothing is written.
  using Producer = std::function<bool(NewFile& out)>;
  bool writeWith(const WriteTarget& target, const Producer& produce);
  // For a producer: records why the write fails; returns false.
  bool refuse(const std::string& file, Failure kind, int error, const std::string& reason = {}) {
    return fail(file, kind, error, reason);
  }

  // Whether the target's name may be written now, as a write would find it
  // at its start: false, with failure() saying why, for a name that holds
  // what is no regular file, a file (without target.replace) or a file
  // being read. A write checks again.
  bool mayWrite(const WriteTarget& target);

  // What the target's name held when a write began: the file it replaces.
  struct Existing {
    FileIdentity identity;  // type none when the name was free
  };
  // The first part of write(): writes the pieces into `out`, gives it the
  // attributes it keeps, and starts the disk writing it; it becomes the
  // target once it is on stable storage and placed (place()). False, with
  // `out` discarded, when anything fails.
  bool writeUnnamed(const std::vector<Piece>& pieces, const WriteTarget& target, NewFile& out, Existing* existing,
                    const Progress& progress = {});
  // Names `out` (on stable storage already, its folder synced later by the
  // caller) as the target, where checkTarget() allows it and what is
  // replaced is still what `existing` says. False, with failure() saying
  // why, otherwise.
  bool place(const WriteTarget& target, NewFile& out, const Existing& existing);
  // Whether what the target's name holds now may be replaced (or taken):
  // false, with failure() saying why, when it is a protected file, or not
  // the unchanged file of target.replaces.
  bool checkTarget(const WriteTarget& target);

  // What made the last write fail, as "<file>: <reason>"; its two parts;
  // the kind, and for a system failure the errno.
  const std::string& failure() const { return failure_; }
  const std::string& failedFile() const { return failedFile_; }
  const std::string& reason() const { return reason_; }
  Failure failureKind() const { return kind_; }
  int errorNumber() const { return error_; }
  // What the last write that succeeded could not do as asked (the owner,
  // group, ACL or attributes of a file it replaced not kept); empty otherwise.
  const std::string& note() const { return note_; }

 private:
  bool fail(const std::string& file, Failure kind, int error, const std::string& reason = {});
  // Looks at what the target's name holds and creates `out`: false, with
  // failure() set, when the name may not be written.
  bool begin(const WriteTarget& target, NewFile& out, Existing* existing, bool create = true);
  // Gives `out` the attributes of what it replaces (see WriteTarget).
  void keepAttributes(const WriteTarget& target, NewFile& out, const Existing& existing);
  // Writes `pieces` into `out`, created already.
  bool writePieces(const std::vector<Piece>& pieces, const WriteTarget& target, NewFile& out, const Progress& progress);
  // Appends n bytes of `from` from `offset` on to `out`.
  bool copy(const SystemFile& from, const std::string& name, int64_t offset, int64_t n, NewFile& out,
            const WriteTarget& target, int64_t& done, const Progress& progress);

  struct Protected {
    FileIdentity file;
    std::string what;
  };

  PieceSources sources;
  std::vector<Protected> protected_;
  std::function<bool()> beforeReplacing;
  std::function<bool()> cancelled;
  std::string failure_;
  std::string failedFile_;
  std::string reason_;
  std::string note_;
  Failure kind_ = Failure::none;
  int error_ = 0;
};

// Writes many files through a PieceWriter, each whole or not at all, while
// the disk writes each in the background: the files are linked in place
// (and so waited for) `depth` at a time, all put on stable storage before
// any is named, so that a batch costs the disk about one commit.
class BatchWriter {
 public:
  // A link that failed: "<target>: <reason>", the target, its kind and errno.
  struct Failure {
    std::string message;
    std::string target;
    PieceWriter::Failure kind;
    int error;
  };

  explicit BatchWriter(PieceWriter& writer, std::size_t depth = 64) : writer(writer), depth(depth) {}
  ~BatchWriter();  // links what still waits
  BatchWriter(const BatchWriter&) = delete;
  BatchWriter& operator=(const BatchWriter&) = delete;

  // Writes the file as PieceWriter::write does, but links it later. False
  // when the write failed (the writer's failure() says why); a link that
  // fails later is among finish()'s failures.
  bool add(const std::vector<Piece>& pieces, const WriteTarget& target, const PieceWriter::Progress& progress = {});
  // Links every file that still waits, in the order they were added, and
  // returns the failures of all links so far.
  std::vector<Failure> finish();

 private:
  struct Waiting {
    std::unique_ptr<NewFile> file;
    WriteTarget target;
    PieceWriter::Existing existing;
  };
  void linkAll();

  PieceWriter& writer;
  std::size_t depth;
  std::deque<Waiting> waiting;
  std::vector<Failure> failures;
};
