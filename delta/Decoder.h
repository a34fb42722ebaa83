// Reads a VCDIFF patch (RFC 3284), as xdelta3 and Encoder write it, one
// window at a time: each window is decoded into the target's bytes (its
// Adler-32 checked where the patch has one), or described as pieces
// (bytes, ranges of the source, ranges of the target) without reading the
// source at all. Secondary compression: lzma sections are decompressed
// where the library is built with liblzma (KERV_LZMA), as xdelta3 writes
// them: one stream for each kind of section, running on from window to
// window. djw and fgk, and a code table of the patch's own, are refused
// with a way out. Nothing is trusted: every size, address and length is
// checked against the limits of the window it belongs to, and the work and
// memory of a window are bounded by its size and the patch's bytes (a copy
// that repeats what it makes is one step, not one per byte).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "delta/Vcdiff.h"

namespace vcdiff {

// What is wrong with a patch: a code, where (the window, from 0, and the
// offset in the patch of the part concerned), and a value where one helps.
struct DecodeError {
  enum class Code {
    none,
    read,             // the patch cannot be read (value: errno)
    notVcdiff,        // it does not start with VCDIFF's magic
    appHeader,        // its application header is larger than kLargestAppHeader (value)
    version,          // a VCDIFF version other than 0 (value)
    cut,              // it ends inside a header, window or section
    codeTable,        // it brings a code table of its own
    secondary,        // its sections are compressed by a compressor not read here (value: the compressor's id)
    badSecondary,     // a compressed section does not decompress (value: what it should have held)
    secondaryMemory,  // a compressed section needs more memory than kLzmaMemory to decompress
    badWindow,        // a window's indicator, lengths or sizes are impossible
    tooLarge,         // a window makes more than kLargestWindow bytes (value)
    badInstruction,   // an instruction runs past its window, or past its data
    badAddress,       // a COPY from outside the source segment and the target so far
    sourceRead,       // the source cannot be read where the window needs it
    checksum,         // the window's bytes do not have its Adler-32
  };
  Code code = Code::none;
  int64_t window = -1;
  int64_t offset = -1;
  int64_t value = 0;
  explicit operator bool() const { return code != Code::none; }
  const char* id() const;
  std::string english() const;
};

// One window of a patch, its sections decompressed.
struct Window {
  int64_t number = 0;
  int64_t patchOffset = 0;   // where it starts in the patch
  int64_t targetStart = 0;   // where its bytes start in the target
  unsigned indicator = 0;    // Win_Indicator
  int64_t segmentLength = 0, segmentPosition = 0;
  int64_t targetLength = 0;
  bool hasChecksum = false;
  uint32_t checksum = 0;
  std::string data, inst, addr;
};

// A piece of a target window: its own bytes, or a range of the source or
// of the target (offsets in the whole target). A target range may reach
// into the bytes it makes itself, a pattern repeated: its bytes are made
// in order, each copied from `offset` on as it is made.
struct Span {
  enum class Kind { bytes, source, target };
  Kind kind;
  std::string bytes;
  int64_t offset = 0;
  int64_t length = 0;
};

class Decoder {
 public:
  // Reads up to n of the patch's next bytes into p: the count, 0 at its
  // end, -1 (errno set) on failure.
  using Read = std::function<int64_t(char* p, std::size_t n)>;
  // Reads the n bytes at `offset` into p; false when it cannot.
  using ReadAt = std::function<bool(int64_t offset, char* p, std::size_t n)>;

  // An application header larger than this is no header (xdelta3 writes names).
  static constexpr int64_t kLargestAppHeader = int64_t{1} << 20;
  // The memory an lzma section's stream may take to decompress: enough for
  // the largest dictionary of xdelta3's presets (-9: 64 MiB).
  static constexpr uint64_t kLzmaMemory = uint64_t{80} << 20;

  explicit Decoder(Read patch);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Reads the header; false with error() set when it is no patch this
  // decoder reads.
  bool readHeader();
  const std::string& appHeader() const { return appHeader_; }

  // Reads the next window into `window`: false at the patch's end (error()
  // none) or on failure.
  bool nextWindow(Window& window);

  // The bytes of `window` into `out`: COPYs from the source read through
  // `source`, from a VCD_TARGET segment through `target` (the output so
  // far); the checksum checked. False with error() set on failure.
  bool decode(const Window& window, const ReadAt& source, const ReadAt& target, std::string& out);
  // The same as pieces, reading nothing: a COPY from the source segment is
  // a source range, one from a VCD_TARGET segment or from the window itself
  // a target range; at most one piece for each instruction. The checksum
  // cannot be checked (the source is not read). False with error() set on
  // failure.
  bool pieces(const Window& window, std::vector<Span>& out);

  const DecodeError& error() const { return error_; }
  // The target's length decoded so far (the windows read), and the windows.
  int64_t targetLength() const { return targetLength_; }
  int64_t windows() const { return windows_; }

 private:
  bool fail(DecodeError::Code code, int64_t offset, int64_t value = 0);
  // Reads exactly n bytes, or fails with `cut`.
  bool readExactly(char* p, std::size_t n);
  bool readByte(unsigned* b);
  bool readInteger(uint64_t* value);
  // Decompresses a section (kind 0 data, 1 instructions, 2 addresses)
  // compressed with the header's compressor, to at most `limit` bytes.
  bool decompress(std::string& section, int kind, uint64_t limit, int64_t at);
  // Walks the window's instructions, handing each to `take` (RUN, ADD,
  // COPY with its address in the segment and target space).
  template <class Take>
  bool walk(const Window& window, Take take);

  struct Lzma;

  Read patch;
  int64_t position = 0;  // read from the patch so far
  std::string appHeader_;
  unsigned secondary = 0;
  std::unique_ptr<Lzma> lzma;  // the streams of the sections, once one is compressed
  DecodeError error_;
  int64_t windows_ = 0;   // read so far
  int64_t current = -1;   // the window errors are of (-1: the header)
  int64_t targetLength_ = 0;
};

}  // namespace vcdiff
