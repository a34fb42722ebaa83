// An archive of either dialect used in place: its scenario, an index of its
// data blocks by the names of the scenario's file list, a check of its
// structure, and positioned reads of single data files.
//
// Opening reads the header, the scenario and the 4-byte size of each block,
// and seeks past the data itself, so an archive of any size opens in a few
// small reads. The reader never prints and never ends the process: an
// archive it cannot use at all throws ArchiveError, and any later damage is
// recorded in damage() while the entries before it stay usable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/SystemFile.h"
#include "reader/ArchiveIndex.h"

// An archive that cannot be used: what() names the archive and the reason.
class ArchiveError : public std::runtime_error {
 public:
  // `error` is the errno of a failed system call, or 0 when the file was
  // read but is not a usable archive.
  ArchiveError(const std::string& path, const std::string& reason, int error = 0)
      : std::runtime_error(path + ": " + reason), path_(path), reason_(reason), error(error) {}
  // The errno behind the failure; 0 when the file is not an archive.
  int errorNumber() const { return error; }
  const std::string& path() const { return path_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string path_;
  std::string reason_;
  int error;
};

class ArchiveReader {
 public:
  // Opens and indexes the archive at `path`. Throws ArchiveError when it
  // cannot be opened or is not a regular file, when it does not start with
  // either dialect's magic, or when its header or scenario is cut short.
  explicit ArchiveReader(const char* path);
  // The same for the open file `descriptor` (a duplicate of it is kept),
  // called `name` in messages.
  ArchiveReader(const std::string& name, int descriptor);
  // Reads at a position: up to n bytes at `offset` into p; the count, 0 at
  // the end, -1 with errno set on failure.
  using ReadAt = std::function<int64_t(int64_t offset, char* p, int64_t n)>;
  // The same for an archive of `size` bytes read only through `readAt`
  // (called from the threads that read; it serialises itself as it needs).
  // file() is then not open: the archive's bytes come from read() alone.
  ArchiveReader(const std::string& name, int64_t size, ReadAt readAt);
  ~ArchiveReader() = default;
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  const Dialect& dialect() const { return index->dialect(); }
  // "KERV" or "P-KERV", from the archive's magic.
  const char* dialectName() const { return index->dialect().name; }

  // The scenario held in the archive, parsed by the archive's dialect, its
  // lists not yet walked and its cursor at the body. Not for concurrent use.
  Scenario& scenario() { return index->scenario(); }
  // The scenario's bytes exactly as stored (the object above blanks its
  // comments and cuts list entries in its own copy).
  const std::string& scenarioText() const { return index->scenarioText(); }
  // The version as the tools print it: "1.2000" for a header's 1.2.
  std::string version() const { return index->version(); }

  // The complete data blocks, in list order.
  const std::vector<ArchiveEntry>& entries() const { return index->entries(); }
  // The first entry whose name is exactly `name`'s bytes; null when absent.
  const ArchiveEntry* find(const char* name) const { return index->find(name); }

  // Copies up to n bytes of `entry`, starting `from` bytes into it, into
  // buffer; returns the count (fewer only at the entry's end, 0 when from
  // is at or past it). Safe to call from several threads at once. Throws
  // ArchiveError when the file cannot be read or has become shorter.
  // REQUIRES: buffer holds n bytes; from >= 0; n >= 0.
  int64_t read(const ArchiveEntry& entry, int64_t from, char* buffer, int64_t n) const;

  // What is wrong with the archive, each finding starting with
  // "offset <n>: " (the first byte it concerns); empty when sound.
  const std::vector<std::string>& damage() const { return index->damage(); }

  // The index the reader made, for plans over the archive (UpdatePlan).
  const ArchiveIndex& archiveIndex() const { return *index; }
  // The open archive file, for positioned reads of one's own (from
  // several threads: SystemFile::readAt).
  const SystemFile& file() const { return file_; }
  // The same, for taking the lock of an update of it (InPlace).
  SystemFile& file() { return file_; }

  // The archive's path as given, and its size in bytes when opened.
  const std::string& path() const { return path_; }
  int64_t size() const { return size_; }

 private:
  // Reads exactly n bytes at offset `at` into p, or throws ArchiveError
  // saying what was being read (`what`) when the file ends first.
  void readAt(int64_t at, char* p, int64_t n, const char* what) const;
  // Reads the index through readAt().
  void makeIndex();

  std::string path_;
  SystemFile file_;
  ReadAt reader_;  // set when the archive is read through a function, not file_
  int64_t size_ = 0;
  std::unique_ptr<ArchiveIndex> index;
};
