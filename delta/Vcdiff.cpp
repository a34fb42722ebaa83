#include "delta/Vcdiff.h"

namespace vcdiff {

void appendInteger(std::string& out, uint64_t value) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (n > 1) out += static_cast<char>(digits[--n] | 0x80);
  out += digits[0];
}

int integerLength(uint64_t value) {
  int n = 1;
  while (value >>= 7) ++n;
  return n;
}

const CodeTable& defaultCodeTable() {
  static const CodeTable table = [] {
    CodeTable t{};
    const Code noop{kNoop, kNoop, 0, 0, 0, 0};
    t.fill(noop);
    int i = 0;
    t[i++] = {kRun, kNoop, 0, 0, 0, 0};
    for (int size = 0; size <= 17; ++size) t[i++] = {kAdd, kNoop, static_cast<uint8_t>(size), 0, 0, 0};
    for (int mode = 0; mode < AddressCache::kModes; ++mode) {
      t[i++] = {kCopy, kNoop, 0, 0, static_cast<uint8_t>(mode), 0};
      for (int size = 4; size <= 18; ++size) {
        t[i++] = {kCopy, kNoop, static_cast<uint8_t>(size), 0, static_cast<uint8_t>(mode), 0};
      }
    }
    for (int mode = 0; mode <= 5; ++mode) {
      for (int add = 1; add <= 4; ++add) {
        for (int copy = 4; copy <= 6; ++copy) {
          t[i++] = {kAdd, kCopy, static_cast<uint8_t>(add), static_cast<uint8_t>(copy), 0, static_cast<uint8_t>(mode)};
        }
      }
    }
    for (int mode = 6; mode <= 8; ++mode) {
      for (int add = 1; add <= 4; ++add) {
        t[i++] = {kAdd, kCopy, static_cast<uint8_t>(add), 4, 0, static_cast<uint8_t>(mode)};
      }
    }
    for (int mode = 0; mode <= 8; ++mode) t[i++] = {kCopy, kAdd, 4, 1, static_cast<uint8_t>(mode), 0};
    return t;
  }();
  return table;
}

int codeFor(Type type, int64_t size, int mode) {
  switch (type) {
    case kRun:
      return size == 0 ? 0 : -1;
    case kAdd:
      return size >= 0 && size <= 17 ? 1 + static_cast<int>(size) : -1;
    case kCopy:
      if (size == 0) return 19 + 16 * mode;
      return size >= 4 && size <= 18 ? 19 + 16 * mode + static_cast<int>(size) - 3 : -1;
    case kNoop:
      break;
  }
  return -1;
}

void AddressCache::reset() {
  near.fill(0);
  same.fill(0);
  nextSlot = 0;
}

void AddressCache::update(uint64_t address) {
  near[static_cast<std::size_t>(nextSlot)] = address;
  nextSlot = (nextSlot + 1) % kNear;
  same[address % same.size()] = address;
}

int AddressCache::encode(uint64_t address, uint64_t here, uint64_t* written) const {
  // The smallest value wins: the fewest bytes of an integer (RFC 3284, 5.4).
  uint64_t best = address;
  int mode = 0;
  if (here >= address && here - address < best) {
    best = here - address;
    mode = 1;
  }
  for (int i = 0; i < kNear; ++i) {
    if (address >= near[static_cast<std::size_t>(i)] && address - near[static_cast<std::size_t>(i)] < best) {
      best = address - near[static_cast<std::size_t>(i)];
      mode = 2 + i;
    }
  }
  const std::size_t slot = address % same.size();
  if (same[slot] == address && integerLength(best) > 1) {
    best = slot % 256;
    mode = 2 + kNear + static_cast<int>(slot / 256);
  }
  *written = best;
  return mode;
}

bool AddressCache::decode(int mode, uint64_t value, uint64_t here, uint64_t* address) const {
  if (mode == 0) {
    *address = value;
  } else if (mode == 1) {
    if (value > here) return false;
    *address = here - value;
  } else if (mode < 2 + kNear) {
    *address = near[static_cast<std::size_t>(mode - 2)] + value;
  } else if (mode < kModes) {
    if (value > 255) return false;
    *address = same[static_cast<std::size_t>(mode - 2 - kNear) * 256 + value];
  } else {
    return false;
  }
  return true;
}

}  // namespace vcdiff
