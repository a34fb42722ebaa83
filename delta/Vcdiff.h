// The VCDIFF format (RFC 3284) as this folder writes and reads it: the
// file header, the window header, integers, the default code table and the
// address cache, plus what xdelta3 adds (an application header, an Adler-32
// of each target window, secondary compressors). Nothing here knows what
// the bytes are.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vcdiff {

// The file header: 'V', 'C', 'D' with their top bits set, and version 0.
constexpr unsigned char kMagic[4] = {0xD6, 0xC3, 0xC4, 0x00};

// Hdr_Indicator.
constexpr unsigned kDecompress = 0x01;  // a secondary compressor's id follows
constexpr unsigned kCodeTable = 0x02;   // a code table of its own follows
constexpr unsigned kAppHeader = 0x04;   // xdelta3: an application header follows

// Win_Indicator.
constexpr unsigned kSource = 0x01;   // COPY addresses below the segment's length are in the source
constexpr unsigned kTarget = 0x02;   // ... in the target decoded so far
constexpr unsigned kAdler32 = 0x04;  // xdelta3: the Adler-32 of the target window follows the section lengths

// Delta_Indicator: which sections are compressed by the secondary compressor.
constexpr unsigned kDataCompressed = 0x01;
constexpr unsigned kInstCompressed = 0x02;
constexpr unsigned kAddrCompressed = 0x04;

// xdelta3's secondary compressors.
constexpr unsigned kDjw = 1;
constexpr unsigned kLzma = 2;
constexpr unsigned kFgk = 16;

// The largest target window this encoder writes, and the largest the
// decoder takes: xdelta3 decodes none larger than 16 MiB.
constexpr int64_t kWindowSize = int64_t{8} << 20;
constexpr int64_t kLargestWindow = int64_t{16} << 20;

// An integer as RFC 3284 writes it: base 128, most significant digit
// first, every byte but the last with its top bit set.
void appendInteger(std::string& out, uint64_t value);
// The bytes appendInteger writes for `value`.
int integerLength(uint64_t value);

// The instructions.
enum Type : uint8_t { kNoop = 0, kAdd = 1, kRun = 2, kCopy = 3 };

// One entry of a code table: up to two instructions, each with a size (0:
// the size follows in the instructions section) and, for COPY, a mode.
struct Code {
  Type type1, type2;
  uint8_t size1, size2;
  uint8_t mode1, mode2;
};
using CodeTable = std::array<Code, 256>;

// RFC 3284's default code table (section 5.6).
const CodeTable& defaultCodeTable();

// Where the default code table has the single instruction `type` of
// `size` (COPY: in `mode`): its index, or -1 when only the form with size 0
// (and the size following) has it.
int codeFor(Type type, int64_t size, int mode);

// The address cache of section 5.1, with the default s_near 4 and s_same 3:
// modes 0 (VCD_SELF), 1 (VCD_HERE), 2 to 5 (near), 6 to 8 (same).
class AddressCache {
 public:
  static constexpr int kNear = 4;
  static constexpr int kSame = 3;
  static constexpr int kModes = 2 + kNear + kSame;

  void reset();
  // Records the address of a COPY just decoded or encoded.
  void update(uint64_t address);

  // The mode that writes `address` in the fewest bytes, from `here` (the
  // current position in the source segment and target), and what it writes
  // (an integer, or for a same mode one byte).
  int encode(uint64_t address, uint64_t here, uint64_t* written) const;
  // The address that `value` in `mode` means; false when the value is no
  // address there (a near or here address below zero).
  bool decode(int mode, uint64_t value, uint64_t here, uint64_t* address) const;

  uint64_t nearAt(int i) const { return near[i]; }
  uint64_t sameAt(std::size_t i) const { return same[i]; }

 private:
  std::array<uint64_t, kNear> near{};
  std::array<uint64_t, kSame * 256> same{};
  int nextSlot = 0;
};

}  // namespace vcdiff
