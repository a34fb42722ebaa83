// Adler-32 (RFC 1950), the checksum xdelta3 keeps of each target window:
// the update of a running value, and the value of two pieces joined.
#pragma once

#include <cstddef>
#include <cstdint>

namespace adler32 {

constexpr uint32_t kStart = 1;

// The checksum of the bytes checksummed to `value`, followed by [p..p+n).
// Vectorised where the processor has AVX2.
uint32_t update(uint32_t value, const unsigned char* p, std::size_t n);
inline uint32_t update(uint32_t value, const char* p, std::size_t n) {
  return update(value, reinterpret_cast<const unsigned char*>(p), n);
}

// The same, one byte at a time: what the vectorised form must agree with.
uint32_t updatePlain(uint32_t value, const unsigned char* p, std::size_t n);

// The checksum of A followed by B, from that of A, that of B and B's length.
uint32_t combine(uint32_t a, uint32_t b, uint64_t lengthOfB);

}  // namespace adler32
