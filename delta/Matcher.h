// Finds, in a target's new bytes, stretches that a source already holds,
// so that a patch copies them instead of carrying them: a sampled index of
// chosen ranges of the source (the hash of the kBlock bytes at every
// stride-th offset, the stride as small as the index's bound allows), and
// a scan of the target that looks up every offset, checks a candidate
// against the source's bytes and extends the match both ways. A stretch
// of kBlock + stride - 1 bytes or more is always found; shorter ones where
// they happen to start at an indexed offset.
//
// Memory: the index (at most kLargestTable slots of 8 bytes) and a cache of
// the source's pages, whatever the sizes. Time: one lookup per target byte
// outside the stretches found, one step per byte inside them.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

namespace vcdiff {

// Reads the n bytes at `offset` into p; false when it cannot.
using ReadAt = std::function<bool(int64_t offset, char* p, std::size_t n)>;

struct Range {
  int64_t offset = 0, length = 0;
};

class SourceIndex {
 public:
  static constexpr int kBlock = 8;
  // The most slots the table takes: 2^23, 64 MiB.
  static constexpr unsigned kLargestTableBits = 23;

  // Indexes `ranges` of the source that `read` reads. False when a read fails.
  bool build(const ReadAt& read, const std::vector<Range>& ranges);

  // The hash of the kBlock bytes at p.
  static uint64_t hashOf(const char* p);
  // A source offset whose kBlock bytes may be those of `hash` (the caller
  // compares the bytes), or -1.
  int64_t find(uint64_t hash) const;

  bool empty() const { return entries == 0; }
  int64_t stride() const { return stride_; }

 private:
  std::vector<uint64_t> table;  // check << 40 | (offset + 1); 0 where empty
  unsigned bits = 0;
  int64_t stride_ = 1;
  int64_t entries = 0;
};

class Matcher {
 public:
  // Stretches shorter than this are left as new bytes: a copy's
  // instruction and address cost about as much.
  static constexpr int64_t kShortestCopy = 12;

  Matcher(const SourceIndex& index, ReadAt source, int64_t sourceSize);

  // What a scan hands on, in the target's order: new bytes, or n bytes to
  // copy from the source at `offset`. False stops the scan.
  using Literal = std::function<bool(const char* p, int64_t n)>;
  using Copy = std::function<bool(int64_t offset, int64_t n)>;

  // Scans the target's bytes [p..p+n), which continue those of the last
  // call (a match may go on across calls). False when a handler said stop
  // or the source could not be read (failed()).
  bool scan(const char* p, int64_t n, const Literal& literal, const Copy& copy);
  // Hands on what is still held back (a match that may have gone on).
  bool finish(const Copy& copy);
  bool failed() const { return failed_; }

 private:
  // The source's byte at `offset` through the page cache; -1 when it
  // cannot be read.
  int byteAt(int64_t offset);
  // The source's bytes from `offset` on that agree with p[0..n): how many.
  int64_t agreeing(int64_t offset, const char* p, int64_t n);
  const char* page(int64_t number);

  static constexpr int kPageBits = 16;
  static constexpr std::size_t kPages = 64;

  const SourceIndex& index;
  ReadAt source;
  int64_t sourceSize;
  bool failed_ = false;
  // A copy whose end met the end of a scan: it may go on in the next.
  int64_t heldOffset = -1, heldLength = 0;
  // The page cache, most recently used first.
  std::list<std::pair<int64_t, std::unique_ptr<char[]>>> pages;
  std::unordered_map<int64_t, decltype(pages)::iterator> pageOf;
};

}  // namespace vcdiff
