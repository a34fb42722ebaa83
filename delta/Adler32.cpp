#include "delta/Adler32.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define KERV_ADLER_AVX2 1
#include <immintrin.h>
#endif

namespace adler32 {

namespace {

constexpr uint32_t kBase = 65521;
// The most bytes before the sums must be reduced: 255 n (n + 1) / 2 +
// (n + 1) (kBase - 1) stays below 2^32.
constexpr std::size_t kMostBytes = 5552;

#if KERV_ADLER_AVX2

// 32 bytes at a time. Over k chunks of 32 bytes, from (a, b): a gains the
// sum of every byte; b gains 32 times each chunk's starting a (k a plus
// the sums of the chunks before it) and each byte weighted 32 down to 1
// by its place in its chunk.
__attribute__((target("avx2"))) uint32_t updateAvx2(uint32_t value, const unsigned char* p, std::size_t n) {
  uint64_t a = value & 0xFFFF, b = value >> 16;
  const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                                           14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  while (n >= 32) {
    const std::size_t chunks = (n < kMostBytes ? n : kMostBytes) / 32;  // reduced after each block of them
    n -= chunks * 32;
    __m256i sums = zero, weighted = zero, before = zero;
    for (std::size_t j = 0; j < chunks; ++j, p += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      before = _mm256_add_epi32(before, sums);
      sums = _mm256_add_epi32(sums, _mm256_sad_epu8(v, zero));
      weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(v, weights), ones));
    }
    alignas(32) uint32_t s[8], w[8], f[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(s), sums);
    _mm256_store_si256(reinterpret_cast<__m256i*>(w), weighted);
    _mm256_store_si256(reinterpret_cast<__m256i*>(f), before);
    uint64_t sum = 0, weightedSum = 0, beforeSum = 0;
    for (int i = 0; i < 8; ++i) {
      sum += s[i];
      weightedSum += w[i];
      beforeSum += f[i];
    }
    b = (b + 32 * (chunks * a + beforeSum) + weightedSum) % kBase;
    a = (a + sum) % kBase;
  }
  return updatePlain(static_cast<uint32_t>(b << 16 | a), p, n);
}

#endif

}  // namespace

uint32_t updatePlain(uint32_t value, const unsigned char* p, std::size_t n) {
  uint32_t a = value & 0xFFFF, b = value >> 16;
  while (n > 0) {
    const std::size_t k = n < kMostBytes ? n : kMostBytes;
    n -= k;
    for (std::size_t i = 0; i < k; ++i) {
      a += p[i];
      b += a;
    }
    p += k;
    a %= kBase;
    b %= kBase;
  }
  return b << 16 | a;
}

uint32_t update(uint32_t value, const unsigned char* p, std::size_t n) {
#if KERV_ADLER_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2 && n >= 64) return updateAvx2(value, p, n);
#endif
  return updatePlain(value, p, n);
}

uint32_t combine(uint32_t a, uint32_t b, uint64_t lengthOfB) {
  // As zlib's adler32_combine: A's sums advanced over B's length.
  const uint64_t rem = lengthOfB % kBase;
  uint64_t sum1 = a & 0xFFFF;
  uint64_t sum2 = (rem * sum1) % kBase;
  sum1 += (b & 0xFFFF) + kBase - 1;
  sum2 += ((a >> 16) & 0xFFFF) + ((b >> 16) & 0xFFFF) + kBase - rem;
  if (sum1 >= kBase) sum1 -= kBase;
  if (sum1 >= kBase) sum1 -= kBase;
  if (sum2 >= (uint64_t{kBase} << 1)) sum2 -= (uint64_t{kBase} << 1);
  if (sum2 >= kBase) sum2 -= kBase;
  return static_cast<uint32_t>(sum1 | (sum2 << 16));
}

}  // namespace adler32
