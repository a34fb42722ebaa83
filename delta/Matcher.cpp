#include "delta/Matcher.h"

#include <algorithm>
#include <cstring>

namespace vcdiff {

namespace {

// Offsets are kept in 40 bits: a source of 1 TiB is indexed that far.
constexpr int64_t kLargestOffset = (int64_t{1} << 40) - 2;
// The index reads its ranges in steps of this size.
constexpr std::size_t kReadStep = std::size_t{1} << 20;

// Bits the slot (the top ones) does not take, to tell entries of one slot apart.
uint64_t checkOf(uint64_t hash) { return hash >> 16 & 0xFFFFFF; }

}  // namespace

uint64_t SourceIndex::hashOf(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, sizeof x);
  // A full mix (MurmurHash3's finaliser): every bit of the block moves
  // the slot and the check alike.
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

bool SourceIndex::build(const ReadAt& read, const std::vector<Range>& ranges) {
  int64_t total = 0;
  for (const Range& r : ranges) total += std::max<int64_t>(0, r.length - kBlock + 1);
  table.clear();
  entries = 0;
  if (total <= 0) return true;
  // Half the slots at most are filled, so that few entries push out others.
  const int64_t most = int64_t{1} << (kLargestTableBits - 1);
  stride_ = std::max<int64_t>(1, (total + most - 1) / most);
  const int64_t wanted = total / stride_ + 1;
  bits = 10;
  while (bits < kLargestTableBits && (int64_t{1} << bits) < 2 * wanted) ++bits;
  table.assign(std::size_t{1} << bits, 0);
  std::unique_ptr<char[]> buffer(new char[kReadStep + kBlock]);
  for (const Range& r : ranges) {
    const int64_t end = std::min(r.offset + r.length, kLargestOffset);
    // Offsets r.offset, r.offset + stride, ... whose block ends in the range.
    for (int64_t at = r.offset; at + kBlock <= end;) {
      const int64_t n = std::min<int64_t>(end - at, static_cast<int64_t>(kReadStep) + kBlock - 1);
      if (!read(at, buffer.get(), static_cast<std::size_t>(n))) return false;
      int64_t k = 0;
      for (; k + kBlock <= n; k += stride_) {
        const uint64_t hash = hashOf(buffer.get() + k);
        table[hash >> (64 - bits)] = checkOf(hash) << 40 | static_cast<uint64_t>(at + k + 1);
        ++entries;
      }
      at += k;
    }
  }
  return true;
}

int64_t SourceIndex::find(uint64_t hash) const {
  if (table.empty()) return -1;
  const uint64_t entry = table[hash >> (64 - bits)];
  if (entry == 0 || entry >> 40 != checkOf(hash)) return -1;
  return static_cast<int64_t>(entry & ((uint64_t{1} << 40) - 1)) - 1;
}

Matcher::Matcher(const SourceIndex& index, ReadAt source, int64_t sourceSize)
    : index(index), source(std::move(source)), sourceSize(sourceSize) {}

const char* Matcher::page(int64_t number) {
  const auto known = pageOf.find(number);
  if (known != pageOf.end()) {
    pages.splice(pages.begin(), pages, known->second);
    return pages.front().second.get();
  }
  const int64_t start = number << kPageBits;
  const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(sourceSize - start, int64_t{1} << kPageBits));
  std::unique_ptr<char[]> bytes;
  if (pages.size() >= kPages) {
    bytes = std::move(pages.back().second);
    pageOf.erase(pages.back().first);
    pages.pop_back();
  } else {
    bytes.reset(new char[std::size_t{1} << kPageBits]);
  }
  if (!source(start, bytes.get(), n)) {
    failed_ = true;
    return nullptr;
  }
  pages.emplace_front(number, std::move(bytes));
  pageOf[number] = pages.begin();
  return pages.front().second.get();
}

int Matcher::byteAt(int64_t offset) {
  const char* p = page(offset >> kPageBits);
  return p == nullptr ? -1 : static_cast<unsigned char>(p[offset & ((int64_t{1} << kPageBits) - 1)]);
}

int64_t Matcher::agreeing(int64_t offset, const char* p, int64_t n) {
  int64_t done = 0;
  n = std::min(n, sourceSize - offset);
  while (done < n) {
    const int64_t at = offset + done;
    const char* q = page(at >> kPageBits);
    if (q == nullptr) return done;
    const int64_t within = at & ((int64_t{1} << kPageBits) - 1);
    const int64_t m = std::min(n - done, (int64_t{1} << kPageBits) - within);
    q += within;
    int64_t same = 0;
    // Eight bytes at a time, then the byte that differs.
    while (same + 8 <= m && std::memcmp(q + same, p + done + same, 8) == 0) same += 8;
    while (same < m && q[same] == p[done + same]) ++same;
    done += same;
    if (same < m) break;
  }
  return done;
}

bool Matcher::scan(const char* p, int64_t n, const Literal& literal, const Copy& copy) {
  int64_t i = 0, pending = 0;  // the next byte to look at; the first not yet handed on
  if (heldLength > 0) {
    const int64_t more = heldOffset + heldLength < sourceSize ? agreeing(heldOffset + heldLength, p, n) : 0;
    if (failed_) return false;
    heldLength += more;
    if (more == n) return true;
    if (!copy(heldOffset, heldLength)) return false;
    heldLength = 0;
    i = pending = more;
  }
  while (i + SourceIndex::kBlock <= n && !index.empty()) {
    const int64_t at = index.find(SourceIndex::hashOf(p + i));
    if (at >= 0) {
      const int64_t forward = agreeing(at, p + i, n - i);
      if (failed_) return false;
      if (forward >= SourceIndex::kBlock) {
        int64_t back = 0;
        while (back < i - pending && back < at) {
          const int b = byteAt(at - back - 1);
          if (b < 0) return false;
          if (static_cast<char>(b) != p[i - back - 1]) break;
          ++back;
        }
        if (back + forward >= kShortestCopy) {
          if (i - back > pending && !literal(p + pending, i - back - pending)) return false;
          if (i + forward == n) {  // it may go on in the next scan
            heldOffset = at - back;
            heldLength = back + forward;
            return true;
          }
          if (!copy(at - back, back + forward)) return false;
          i = pending = i + forward;
          continue;
        }
      }
    }
    ++i;
  }
  return n == pending || literal(p + pending, n - pending);
}

bool Matcher::finish(const Copy& copy) {
  if (heldLength == 0) return true;
  const int64_t length = heldLength;
  heldLength = 0;
  return copy(heldOffset, length);
}

}  // namespace vcdiff
