// One pass over two files, an old and a new one: both files' sums, the
// new file's checksum per patch window, and ranges of the new file
// compared with ranges of the old.
//
// Each file is read in order and summed on a thread of its own, in chunks
// that stay in the processor's cache while they are used; the comparisons
// are dealt between the threads in parts, each compared as its thread
// reads it, with the other file's bytes read beside it. (Lending chunks
// from one thread to the other, so that no byte is read twice, measured
// slower: the bytes cross between the processor's cores at about the cost
// of reading them again.) The page, which has one thread, runs the two
// parts one after the other.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/FileView.h"
#include "delta/PatchHeader.h"

// A range of the new file and one of the old of the same length.
struct ScanPair {
  int64_t oldAt = 0, newAt = 0, length = 0;
};

// Where a pair's ranges differ: the first and the last offset (within the
// range) at which their bytes differ; -1 when they agree throughout.
struct ScanDifference {
  int64_t first = -1, last = -1;
  bool none() const { return first < 0; }
};

struct TwoFileScan {
  // What to take.
  bool sums = false;            // the files' sums and the window checksums
  std::vector<ScanPair> pairs;  // REQUIRES: each range within its file

  // What was found (by run()).
  vcdiff::FileSum oldSum, newSum;
  std::vector<uint32_t> windowChecksums;    // Adler-32 of the new file's windows of vcdiff::kWindowSize
  std::vector<ScanDifference> differences;  // one per pair, in the same order
  int error = 0;                            // errno of a read that failed ...
  bool newFailed = false;                   // ... of the new file, else of the old

  // Reads the files; false, with `error` set, when one cannot be read.
  bool run(const FileView& olds, const FileView& news);
};
