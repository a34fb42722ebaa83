#include "delta/PatchHeader.h"

#include <memory>
#include <sstream>

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace vcdiff {

#if KERV_XXH3_AVX2
void xxh3UpdateAvx2(void* state, const char* p, std::size_t n);  // Xxh3Avx2.cpp
#endif

namespace {

constexpr char kMark[] = "kerv-patch 1";

std::string field(const char* name, const FileSum& sum) {
  return std::string(name) + " " + std::to_string(sum.size) + " " + sum.hex();
}

bool parseSum(const std::string& text, const char* name, FileSum* sum) {
  std::istringstream in(text);
  std::string word, hex;
  int64_t size = -1;
  if (!(in >> word >> size >> hex) || word != name || size < 0 || hex.size() != 32) return false;
  const auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  for (std::size_t i = 0; i < 16; ++i) {
    const int high = digit(hex[2 * i]), low = digit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    sum->hash[i] = static_cast<unsigned char>(high << 4 | low);
  }
  sum->size = size;
  return true;
}

}  // namespace

std::string FileSum::hex() const {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : hash) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

struct Summer::State {
  XXH3_state_t xxh3;
};

Summer::Summer() : state(new State) { XXH3_128bits_reset(&state->xxh3); }

Summer::~Summer() = default;

void Summer::update(const char* p, std::size_t n) {
#if KERV_XXH3_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    xxh3UpdateAvx2(&state->xxh3, p, n);
    size += static_cast<int64_t>(n);
    return;
  }
#endif
  XXH3_128bits_update(&state->xxh3, p, n);
  size += static_cast<int64_t>(n);
}

FileSum Summer::sum() const {
  FileSum out;
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state->xxh3));
  std::copy(canonical.digest, canonical.digest + 16, out.hash.begin());
  out.size = size;
  return out;
}

bool sumOf(const std::function<bool(int64_t, char*, std::size_t)>& read, int64_t size, FileSum* sum) {
  constexpr std::size_t kStep = std::size_t{256} << 10;  // stays in the processor's cache
  std::unique_ptr<char[]> buffer(new char[kStep]);
  Summer summer;
  for (int64_t at = 0; at < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(size - at, kStep));
    if (!read(at, buffer.get(), n)) return false;
    summer.update(buffer.get(), n);
    at += static_cast<int64_t>(n);
  }
  *sum = summer.sum();
  return true;
}

std::string PatchHeader::encode() const {
  std::string out = newName + "//" + oldName + "/";
  if (oldSum.known() && newSum.known()) {
    out += '\0';
    out += kMark;
    out += '\0' + field("old", oldSum) + '\0' + field("new", newSum);
  }
  return out;
}

PatchHeader PatchHeader::decode(const std::string& appHeader) {
  PatchHeader h;
  const std::string names = appHeader.substr(0, appHeader.find('\0'));
  // xdelta3's fields: target / its compression / source / its compression.
  const std::size_t a = names.find('/'), b = a == std::string::npos ? a : names.find('/', a + 1);
  const std::size_t c = b == std::string::npos ? b : names.find('/', b + 1);
  h.newName = names.substr(0, a);
  if (c != std::string::npos) h.oldName = names.substr(b + 1, c - b - 1);
  // Then the sums, where the patch carries them.
  std::string rest = names.size() < appHeader.size() ? appHeader.substr(names.size() + 1) : "";
  std::size_t next = rest.find('\0');
  if (rest.substr(0, next) != kMark) return h;
  if (next == std::string::npos) {
    h.damaged = true;
    return h;
  }
  rest = rest.substr(next + 1);
  next = rest.find('\0');
  FileSum oldSum, newSum;
  if (next != std::string::npos && parseSum(rest.substr(0, next), "old", &oldSum) &&
      parseSum(rest.substr(next + 1), "new", &newSum)) {
    h.oldSum = oldSum;
    h.newSum = newSum;
  } else {
    h.damaged = true;  // it says it carries the sums, but they cannot be read
  }
  return h;
}

}  // namespace vcdiff
