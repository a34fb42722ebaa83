// Writes a VCDIFF patch (RFC 3284) from a description of the target as
// pieces: bytes given, bytes of the target (read when they are needed),
// and ranges of the source. The patch is read by xdelta3 and by Decoder:
// the default code table, both address caches, windows of at most 8 MiB of
// target each with its Adler-32 (xdelta3's VCD_ADLER32). New bytes that
// repeat bytes given earlier in their window are copies of them (as an LZ77
// coder finds them), a byte repeated is a RUN. Sections are plain, or with
// `lzma` compressed as xdelta3 compresses them (one stream for each kind
// of section across the windows), which xdelta3 -d and Decoder read.
// Memory holds one window at most, whatever the sizes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "delta/Vcdiff.h"

namespace vcdiff {

// Reads the n bytes at `offset` into p; false when it cannot.
using ReadAt = std::function<bool(int64_t offset, char* p, std::size_t n)>;
// Takes the patch's next n bytes; false when they cannot be written.
using Sink = std::function<bool(const char* p, std::size_t n)>;

struct EncoderOptions {
  bool lzma = false;  // compress the sections (REQUIRES: Encoder::lzmaAvailable())
};

class Encoder {
 public:
  using Options = EncoderOptions;
  // Whether this build writes lzma sections (it has liblzma).
  static bool lzmaAvailable();

  // `source` reads the source (for the checksums of copied bytes),
  // `target` the target (for bytes given as targetBytes). An application
  // header is written when `appHeader` is not empty.
  Encoder(Sink out, ReadAt source, ReadAt target, std::string appHeader = {}, Options options = {});
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // The Adler-32 of the target window [start..start+length), where the
  // caller has it (computed while it read the target anyway): the source
  // is then not read for checksums. Windows start at multiples of
  // kWindowSize of the target.
  using Checksum = std::function<uint32_t(int64_t start, int64_t length)>;
  void useChecksums(Checksum checksum) { checksums = std::move(checksum); }

  // The target's next bytes: these n bytes ...
  bool literal(const char* p, int64_t n);
  // ... the target's own n bytes from `offset` on, written as they are ...
  bool targetBytes(int64_t offset, int64_t n);
  // ... or n bytes of the source from `offset` on.
  bool copy(int64_t offset, int64_t n);
  // Writes what is left. False, here or above, when a read or a write
  // failed: error() says which.
  bool finish();

  const std::string& error() const { return error_; }
  // The target's length so far, and the patch's.
  int64_t targetLength() const { return targetLength_; }
  int64_t patchLength() const { return patchLength_; }

 private:
  struct Copy {
    int64_t at;      // where in the window's target it goes
    int64_t offset;  // in the source
    int64_t length;
  };

  bool addLiteral(const char* p, int64_t n);
  bool writeHeader();
  bool flushWindow();
  bool emit(const char* p, std::size_t n);
  bool fail(const std::string& why);
  // Appends an instruction to the window's sections, pairing it with the
  // one before where the code table has the pair.
  void instruction(Type type, int64_t size, int mode);
  // Writes a COPY of `size` bytes from `address` (in the window's address
  // space) made at `at` in the window.
  void copyInstruction(uint64_t address, int64_t size, int64_t at, int64_t segmentLength);
  // Writes the literal bytes p[0..length), made at `at` in the window and
  // held at `held` in `literals`: RUNs, copies of literal bytes made
  // before them in the window, and ADDs.
  void encodeLiteral(const char* p, int64_t length, int64_t at, int64_t held, int64_t segmentLength);
  // The section `kind` (0 data, 1 instructions, 2 addresses) compressed,
  // as xdelta3 writes it; false when the compressor fails.
  bool compress(int kind, std::string& section);

  struct Lzma;

  Sink out;
  ReadAt source, target;
  Options options;
  std::unique_ptr<Lzma> lzma;
  Checksum checksums;
  int64_t windowStart = 0;  // of the window being made, in the target
  std::string appHeader;
  bool headerWritten = false;
  std::string error_;
  int64_t targetLength_ = 0, patchLength_ = 0;

  // The window being made: its literal bytes and copies, in target order.
  std::string literals;
  std::vector<std::pair<int64_t, int64_t>> literalSpans;  // (at, length), in `literals` order
  std::vector<Copy> copies;
  int64_t windowLength = 0;
  // The literal bytes already encoded in this window: where each 4-byte
  // hash last stood (in `literals`, plus 1), and each span's place.
  std::vector<int32_t> seen;
  std::vector<int64_t> spanHeld, spanAt;  // of the spans encoded, in `literals` and in the window

  // Its sections as they are written.
  std::string data, inst, addr;
  int lastCode = -1;         // the code of the last instruction, while it may still be paired
  std::size_t lastCodeAt = 0;
  AddressCache cache;
};

}  // namespace vcdiff
