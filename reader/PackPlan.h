// What an archive of a scenario holds around its data: the head (header,
// scenario length and scenario), the names of the data files in list
// order, and the size field before each block. A packer that has the data
// files at hand (the web page, with the picked files) lays the archive out
// from this: the head, then for each name its size field and its bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/Piece.h"
#include "scenario/Dialect.h"
#include "scenario/Problem.h"

class PackPlan {
 public:
  // Plans the archive of the scenario [text..text+length); its dialect is
  // the one whose magic the text starts with.
  PackPlan(const char* text, int64_t length);

  // Why a scenario of `length` bytes cannot be packed, whatever it holds;
  // empty when its length fits. Lets a caller refuse a file before reading it.
  static Problem lengthProblem(int64_t length);
  static std::string lengthError(int64_t length) { return lengthProblem(length).english(); }

  // Why the scenario cannot be packed: of neither dialect, too long, or
  // with a header line that ends in LF alone (its lists would not be found,
  // and the archive would lose its data files). Nothing else below is
  // valid then. error() is its English; empty when it can be packed.
  const Problem& problem() const { return problem_; }
  std::string error() const { return problem_.english(); }

  const Dialect& dialect() const { return *dialect_; }
  // The header, the scenario's length and the scenario: the archive's
  // first 10 + length bytes.
  const std::string& head() const { return head_; }
  // The entries of the file list, prefixes dropped, as the packer opens them.
  const std::vector<std::string>& names() const { return names_; }

  // The largest data file an archive can hold.
  static constexpr int64_t kMaxBlockSize = INT32_MAX;
  // The 4-byte field before a block of `size` bytes.
  // REQUIRES: 0 <= size <= kMaxBlockSize.
  static std::string sizeField(int64_t size);

  // The archive as pieces, given the size of each listed data file in list
  // order: the head, then for each name its size field and the file of its
  // number. REQUIRES: one size per name, each in [0..kMaxBlockSize].
  std::vector<Piece> pieces(const std::vector<int64_t>& sizes) const;

 private:
  Problem problem_;
  const Dialect* dialect_ = nullptr;
  std::string head_;
  std::vector<std::string> names_;
};
