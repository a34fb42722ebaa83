#include "delta/Encoder.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

#include "delta/Adler32.h"
#include "delta/LzmaStreams.h"
#if KERV_LZMA_ENCODER
#include <lzma.h>
#endif

namespace vcdiff {

namespace {

// Literal bytes repeated this often or more are written as a RUN.
constexpr int64_t kShortestRun = 8;
// New bytes that repeat this many bytes made before them in the window, or
// more, are a copy of them.
constexpr int64_t kShortestTargetCopy = 6;
// The table of where 4-byte hashes of the window's new bytes stood.
constexpr int kSeenBits = 16;
// xdelta3 leaves sections shorter than this uncompressed.
constexpr std::size_t kShortestCompressed = 10;
// Copies are checksummed through a buffer of this size.
constexpr std::size_t kReadStep = std::size_t{1} << 20;

// The index of the code that holds the pair (first, then second), or -1.
int pairCode(Type t1, int s1, int m1, Type t2, int s2, int m2) {
  static const auto pairs = [] {
    std::map<std::tuple<int, int, int, int, int, int>, int> map;
    const CodeTable& table = defaultCodeTable();
    for (int i = 0; i < 256; ++i) {
      const Code& c = table[static_cast<std::size_t>(i)];
      if (c.type2 != kNoop) map[{c.type1, c.size1, c.mode1, c.type2, c.size2, c.mode2}] = i;
    }
    return map;
  }();
  const auto it = pairs.find({t1, s1, m1, t2, s2, m2});
  return it == pairs.end() ? -1 : it->second;
}

}  // namespace

#if KERV_LZMA_ENCODER
struct Encoder::Lzma : LzmaStreams {};
#else
struct Encoder::Lzma {};
#endif

bool Encoder::lzmaAvailable() {
#if KERV_LZMA_ENCODER
  return true;
#else
  return false;
#endif
}

Encoder::Encoder(Sink out, ReadAt source, ReadAt target, std::string appHeader, Options options)
    : out(std::move(out)),
      source(std::move(source)),
      target(std::move(target)),
      options(options),
      appHeader(std::move(appHeader)) {}

Encoder::~Encoder() = default;

bool Encoder::compress(int kind, std::string& section) {
#if KERV_LZMA_ENCODER
  if (!lzma) lzma = std::make_unique<Lzma>();
  lzma_stream& stream = lzma->streams[kind];
  if (!lzma->started[kind]) {
    // LZMA2 in an xz stream without a check, as xdelta3 makes it; the
    // dictionary no larger than a window's section needs.
    lzma_options_lzma settings;
    if (lzma_lzma_preset(&settings, 6) != 0) return false;
    settings.dict_size = kind == 0 ? uint32_t{8} << 20 : uint32_t{1} << 20;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &settings}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_stream_encoder(&stream, filters, LZMA_CHECK_NONE) != LZMA_OK) return false;
    lzma->started[kind] = true;
  }
  std::string packed;
  appendInteger(packed, section.size());
  stream.next_in = reinterpret_cast<const uint8_t*>(section.data());
  stream.avail_in = section.size();
  char buffer[1 << 16];
  for (;;) {
    stream.next_out = reinterpret_cast<uint8_t*>(buffer);
    stream.avail_out = sizeof buffer;
    const lzma_ret r = lzma_code(&stream, LZMA_SYNC_FLUSH);
    packed.append(buffer, sizeof buffer - stream.avail_out);
    if (r == LZMA_STREAM_END) break;
    if (r != LZMA_OK) return false;
  }
  section = std::move(packed);
  return true;
#else
  static_cast<void>(kind), static_cast<void>(section);
  return false;
#endif
}

bool Encoder::fail(const std::string& why) {
  if (error_.empty()) error_ = why;
  return false;
}

bool Encoder::emit(const char* p, std::size_t n) {
  if (!out(p, n)) return fail("the patch cannot be written");
  patchLength_ += static_cast<int64_t>(n);
  return true;
}

bool Encoder::writeHeader() {
  headerWritten = true;
  std::string header(reinterpret_cast<const char*>(kMagic), 4);
  header += static_cast<char>((appHeader.empty() ? 0 : kAppHeader) | (options.lzma ? kDecompress : 0));
  if (options.lzma) header += static_cast<char>(kLzma);
  if (!appHeader.empty()) {
    appendInteger(header, appHeader.size());
    header += appHeader;
  }
  return emit(header.data(), header.size());
}

bool Encoder::addLiteral(const char* p, int64_t n) {
  while (n > 0) {
    const int64_t room = kWindowSize - windowLength;
    const int64_t take = std::min(n, room);
    if (!literalSpans.empty() && literalSpans.back().first + literalSpans.back().second == windowLength &&
        (copies.empty() || copies.back().at < literalSpans.back().first)) {
      literalSpans.back().second += take;  // joins the literal just before
    } else {
      literalSpans.emplace_back(windowLength, take);
    }
    literals.append(p, static_cast<std::size_t>(take));
    windowLength += take;
    targetLength_ += take;
    p += take;
    n -= take;
    if (windowLength == kWindowSize && !flushWindow()) return false;
  }
  return true;
}

bool Encoder::literal(const char* p, int64_t n) {
  if (!error_.empty()) return false;
  return addLiteral(p, n);
}

bool Encoder::targetBytes(int64_t offset, int64_t n) {
  if (!error_.empty()) return false;
  std::unique_ptr<char[]> buffer(new char[kReadStep]);
  while (n > 0) {
    const int64_t take = std::min<int64_t>(n, static_cast<int64_t>(kReadStep));
    if (!target(offset, buffer.get(), static_cast<std::size_t>(take))) return fail("the target cannot be read");
    if (!addLiteral(buffer.get(), take)) return false;
    offset += take;
    n -= take;
  }
  return true;
}

bool Encoder::copy(int64_t offset, int64_t n) {
  if (!error_.empty()) return false;
  while (n > 0) {
    const int64_t take = std::min(n, kWindowSize - windowLength);
    Copy* last = copies.empty() ? nullptr : &copies.back();
    if (last != nullptr && last->at + last->length == windowLength && last->offset + last->length == offset) {
      last->length += take;  // goes on where the last copy ended, in both
    } else {
      copies.push_back({windowLength, offset, take});
    }
    windowLength += take;
    targetLength_ += take;
    offset += take;
    n -= take;
    if (windowLength == kWindowSize && !flushWindow()) return false;
  }
  return true;
}

void Encoder::instruction(Type type, int64_t size, int mode) {
  const int fixed = codeFor(type, size, mode);
  if (lastCode >= 0 && size <= 255) {
    const Code& last = defaultCodeTable()[static_cast<std::size_t>(lastCode)];
    const int pair = pairCode(last.type1, last.size1, last.mode1, type, static_cast<int>(size), mode);
    if (pair >= 0) {
      inst[lastCodeAt] = static_cast<char>(pair);
      lastCode = -1;  // a pair takes no third
      return;
    }
  }
  if (fixed >= 0 && size > 0) {
    lastCode = fixed;
    lastCodeAt = inst.size();
    inst += static_cast<char>(fixed);
  } else {
    inst += static_cast<char>(codeFor(type, 0, mode));
    appendInteger(inst, static_cast<uint64_t>(size));
    lastCode = -1;  // a size of its own pairs with nothing
  }
}

void Encoder::copyInstruction(uint64_t address, int64_t size, int64_t at, int64_t segmentLength) {
  uint64_t value = 0;
  const int mode = cache.encode(address, static_cast<uint64_t>(segmentLength + at), &value);
  instruction(kCopy, size, mode);
  if (mode >= 2 + AddressCache::kNear) {
    addr += static_cast<char>(value);
  } else {
    appendInteger(addr, value);
  }
  cache.update(address);
}

void Encoder::encodeLiteral(const char* p, int64_t length, int64_t at, int64_t held, int64_t segmentLength) {
  spanHeld.push_back(held);
  spanAt.push_back(at);
  const auto hash4 = [](const char* q) {
    uint32_t v;
    std::memcpy(&v, q, 4);
    return (v * 2654435761u) >> (32 - kSeenBits);
  };
  int64_t added = 0;  // bytes of p written so far
  const auto addUpTo = [&](int64_t end) {
    if (end > added) {
      instruction(kAdd, end - added, 0);
      data.append(p + added, static_cast<std::size_t>(end - added));
    }
    added = end;
  };
  for (int64_t i = 0; i < length;) {
    int64_t j = i + 1;
    while (j < length && p[j] == p[i]) ++j;
    if (j - i >= kShortestRun) {
      addUpTo(i);
      instruction(kRun, j - i, 0);
      data += p[i];
      added = i = j;
      continue;
    }
    if (i + 4 > length) break;
    // The new bytes made last with the same four bytes, in this span
    // (then the copy may run on into what it makes) or an earlier one.
    int32_t& slot = seen[hash4(p + i)];
    const int64_t candidate = int64_t{slot} - 1;
    slot = static_cast<int32_t>(held + i + 1);
    if (candidate >= 0) {
      const std::size_t span = static_cast<std::size_t>(
          std::upper_bound(spanHeld.begin(), spanHeld.end(), candidate) - spanHeld.begin() - 1);
      const bool here = span + 1 == spanHeld.size();
      const int64_t limit = here ? length - i : std::min(length - i, spanHeld[span + 1] - candidate);
      const char* q = literals.data() + candidate;
      int64_t m = 0;
      while (m < limit && q[m] == p[i + m]) ++m;
      if (here) m = std::min(m, length - i);
      if (m >= kShortestTargetCopy) {
        addUpTo(i);
        const uint64_t address =
            static_cast<uint64_t>(segmentLength + spanAt[span] + (candidate - spanHeld[span]));
        copyInstruction(address, m, at + i, segmentLength);
        for (int64_t k = i + 1; k < i + m && k + 4 <= length; ++k) {
          seen[hash4(p + k)] = static_cast<int32_t>(held + k + 1);
        }
        added = i = i + m;
        continue;
      }
    }
    ++i;
  }
  addUpTo(length);
}

bool Encoder::flushWindow() {
  if (!headerWritten && !writeHeader()) return false;
  if (windowLength == 0) return true;
  int64_t segmentStart = 0, segmentEnd = 0;
  if (!copies.empty()) {
    segmentStart = copies.front().offset;
    segmentEnd = copies.front().offset + copies.front().length;
    for (const Copy& c : copies) {
      segmentStart = std::min(segmentStart, c.offset);
      segmentEnd = std::max(segmentEnd, c.offset + c.length);
    }
  }
  const int64_t segmentLength = segmentEnd - segmentStart;

  // The window's checksum and sections, its literals and copies in target order.
  uint32_t checksum = adler32::kStart;
  std::unique_ptr<char[]> buffer;
  data.clear();
  inst.clear();
  addr.clear();
  lastCode = -1;
  cache.reset();
  seen.assign(std::size_t{1} << kSeenBits, 0);
  spanHeld.clear();
  spanAt.clear();
  std::size_t nextLiteral = 0, nextCopy = 0;
  int64_t literalAt = 0;  // where the next literal's bytes are in `literals`
  while (nextLiteral < literalSpans.size() || nextCopy < copies.size()) {
    const bool takeCopy = nextLiteral == literalSpans.size() ||
                          (nextCopy < copies.size() && copies[nextCopy].at < literalSpans[nextLiteral].first);
    if (takeCopy) {
      const Copy& c = copies[nextCopy++];
      if (!buffer && !checksums) buffer.reset(new char[kReadStep]);
      for (int64_t done = 0; !checksums && done < c.length;) {
        const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(c.length - done, kReadStep));
        if (!source(c.offset + done, buffer.get(), n)) return fail("the source cannot be read");
        checksum = adler32::update(checksum, buffer.get(), n);
        done += static_cast<int64_t>(n);
      }
      copyInstruction(static_cast<uint64_t>(c.offset - segmentStart), c.length, c.at, segmentLength);
      continue;
    }
    const auto [at, length] = literalSpans[nextLiteral++];
    const char* p = literals.data() + literalAt;
    if (!checksums) checksum = adler32::update(checksum, p, static_cast<std::size_t>(length));
    encodeLiteral(p, length, at, literalAt, segmentLength);
    literalAt += length;
  }

  unsigned compressed = 0;
  if (options.lzma) {
    std::string* sections[3] = {&data, &inst, &addr};
    for (int kind = 0; kind < 3; ++kind) {
      if (sections[kind]->size() < kShortestCompressed) continue;
      if (!compress(kind, *sections[kind])) return fail("the patch's sections cannot be compressed");
      compressed |= 1u << kind;  // kDataCompressed, kInstCompressed, kAddrCompressed
    }
  }

  if (checksums) checksum = checksums(windowStart, windowLength);
  windowStart += windowLength;
  std::string window;
  window += static_cast<char>((copies.empty() ? 0 : kSource) | kAdler32);
  if (!copies.empty()) {
    appendInteger(window, static_cast<uint64_t>(segmentLength));
    appendInteger(window, static_cast<uint64_t>(segmentStart));
  }
  std::string encoding;
  appendInteger(encoding, static_cast<uint64_t>(windowLength));
  encoding += static_cast<char>(compressed);
  appendInteger(encoding, data.size());
  appendInteger(encoding, inst.size());
  appendInteger(encoding, addr.size());
  for (int shift = 24; shift >= 0; shift -= 8) encoding += static_cast<char>(checksum >> shift & 0xFF);
  appendInteger(window, encoding.size() + data.size() + inst.size() + addr.size());
  window += encoding;
  literals.clear();
  literalSpans.clear();
  copies.clear();
  windowLength = 0;
  return emit(window.data(), window.size()) && emit(data.data(), data.size()) && emit(inst.data(), inst.size()) &&
         emit(addr.data(), addr.size());
}

bool Encoder::finish() {
  if (!error_.empty()) return false;
  return flushWindow();
}

}  // namespace vcdiff
