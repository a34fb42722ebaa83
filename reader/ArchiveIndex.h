// The index of an archive of either dialect, built from the few bytes it
// asks for: the header, the scenario, and the 4-byte size of each data
// block. It reads nothing itself. A driver asks next() which bytes it needs
// and hands them over with supply(): ArchiveReader with positioned reads of
// a file, the web page with slices of a Blob, driven asynchronously. Either
// way the work, and what is found wrong, is the same.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "scenario/Dialect.h"
#include "scenario/Problem.h"
#include "scenario/Scenario.h"

// One complete data block and the file-list entry it belongs to.
struct ArchiveEntry {
  std::string name;  // the file-list entry, prefixes dropped, Shift_JIS bytes as they stand
  int64_t offset;    // where the entry's data starts in the archive
  int32_t size;      // its length in bytes
};

class ArchiveIndex {
 public:
  // A range of the archive's bytes: [offset..offset+length).
  struct Range {
    int64_t offset;
    int64_t length;
  };

  // An index of an archive of `size` bytes, still empty.
  explicit ArchiveIndex(int64_t size);
  ArchiveIndex(const ArchiveIndex&) = delete;
  ArchiveIndex& operator=(const ArchiveIndex&) = delete;

  // The bytes needed next, all inside the archive; length 0 once the index
  // is complete or has failed.
  Range next() const { return need; }
  // What next() is, for a message: "the header", "the scenario" or "a block size".
  const char* nextPart() const;

  // Hands over the archive's bytes [offset..offset+n). The index takes as
  // many steps as they cover, so a driver may read ahead: a window that
  // holds several size fields saves reads. Bytes outside next() are ignored.
  // REQUIRES: [offset..offset+n) contains next().
  void supply(int64_t offset, const char* bytes, int64_t n);

  // Why the bytes are no usable archive: not of either dialect, or cut
  // short in its header or scenario. Empty while the index is usable.
  const std::string& error() const { return error_; }
  // The same as a code and its values.
  const Problem& problem() const { return problem_; }

  // Valid once the scenario has been supplied (and no error is set).
  const Dialect& dialect() const { return *dialect_; }
  // The scenario's bytes exactly as stored.
  const std::string& scenarioText() const { return scenarioText_; }
  // The archive's first 10 bytes: its header (the magic and bytes 3 to 7)
  // and the scenario's length.
  const std::string& head() const { return head_; }
  // The archive's size.
  int64_t size() const { return size_; }
  // The scenario parsed by the archive's dialect, its lists not yet walked
  // and its cursor at the body.
  Scenario& scenario() { return *scenario_; }
  const Scenario& scenario() const { return *scenario_; }
  // The version as the tools print it: "1.2000" for a header's 1.2.
  std::string version() const;

  // The complete data blocks found so far, in list order.
  const std::vector<ArchiveEntry>& entries() const { return entries_; }
  // The first entry whose name is exactly `name`'s bytes; null when absent.
  const ArchiveEntry* find(const std::string& name) const;
  // The file list's names, prefixes dropped, in list order: those of
  // entries() and, in a damaged archive, those past its last whole block.
  const std::vector<std::string>& listed() const { return names; }
  // What is wrong with the archive, each finding starting with
  // "offset <n>: " (the first byte it concerns), then one for each listed
  // data file without a block ("NAME: no block (...)"); empty when sound.
  const std::vector<std::string>& damage() const { return damage_; }
  // The same findings as codes and their values (Problem::offset the first
  // byte each concerns).
  const std::vector<Problem>& findings() const { return findings_; }

 private:
  enum class Step { header, scenario, sizeField, done };

  void takeHeader(const char* bytes);
  void takeScenario(const char* bytes);
  // Takes the size field at need.offset (need.length bytes of it).
  void takeSizeField(const unsigned char* field);
  // Asks for the next size field from `at` on, or records what is missing.
  void askForSizeField(int64_t at);
  void fail(Problem problem);
  void finish();
  void addDamage(int64_t offset, Problem finding);

  int64_t size_;
  Step step = Step::header;
  Range need;
  std::string error_;
  Problem problem_;
  const Dialect* dialect_ = nullptr;
  std::string scenarioText_;
  std::string head_;
  std::unique_ptr<Scenario> scenario_;
  std::vector<std::string> names;  // the file list, walked in a copy of the scenario
  std::vector<ArchiveEntry> entries_;
  std::unordered_map<std::string, std::size_t> byName;
  std::vector<std::string> damage_;
  std::vector<Problem> findings_;
};
