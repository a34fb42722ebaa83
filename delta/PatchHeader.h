// What a patch says of the two files it joins, in its application header:
// their names as xdelta3 writes them ("NEW//OLD/", which xdelta3 reads back
// for its default file names), then, after a NUL that ends what xdelta3
// reads, each file's size and XXH3-128, so that the file to be patched can
// be checked before anything is written.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vcdiff {

// A file's size and XXH3-128.
struct FileSum {
  int64_t size = -1;
  std::array<unsigned char, 16> hash{};  // big-endian, as XXH3-128's canonical form
  bool known() const { return size >= 0; }
  bool operator==(const FileSum& other) const { return size == other.size && hash == other.hash; }
  std::string hex() const;
};

// A FileSum taken piece by piece.
class Summer {
 public:
  Summer();
  ~Summer();
  Summer(const Summer&) = delete;
  Summer& operator=(const Summer&) = delete;
  void update(const char* p, std::size_t n);
  // The sum of what was given, as a file of that many bytes.
  FileSum sum() const;

 private:
  struct State;
  std::unique_ptr<State> state;
  int64_t size = 0;
};

// The sum of the `size` bytes that `read` reads from offset 0 on, in steps
// of 256 KiB; false when a read fails.
bool sumOf(const std::function<bool(int64_t offset, char* p, std::size_t n)>& read, int64_t size, FileSum* sum);

struct PatchHeader {
  std::string newName, oldName;  // as xdelta3 names them; either may be empty
  FileSum oldSum, newSum;        // unknown in a patch that does not carry them (xdelta3's own)
  bool damaged = false;          // it says it carries the sums, but they cannot be read

  std::string encode() const;
  // Reads an application header; names only when it carries no sums.
  static PatchHeader decode(const std::string& appHeader);
};

}  // namespace vcdiff
