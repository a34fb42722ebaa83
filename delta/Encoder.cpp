#include "delta/Encoder.h"

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>

#include "delta/Adler32.h"

namespace vcdiff {

namespace {

// Literal bytes repeated this often or more are written as a RUN.
constexpr int64_t kShortestRun = 8;
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

Encoder::Encoder(Sink out, ReadAt source, ReadAt target, std::string appHeader)
    : out(std::move(out)), source(std::move(source)), target(std::move(target)), appHeader(std::move(appHeader)) {}

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
  header += static_cast<char>(appHeader.empty() ? 0 : kAppHeader);
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
      const uint64_t address = static_cast<uint64_t>(c.offset - segmentStart);
      uint64_t value = 0;
      const int mode = cache.encode(address, static_cast<uint64_t>(segmentLength + c.at), &value);
      instruction(kCopy, c.length, mode);
      if (mode >= 2 + AddressCache::kNear) {
        addr += static_cast<char>(value);
      } else {
        appendInteger(addr, value);
      }
      cache.update(address);
      continue;
    }
    const int64_t length = literalSpans[nextLiteral++].second;
    const char* p = literals.data() + literalAt;
    literalAt += length;
    if (!checksums) checksum = adler32::update(checksum, p, static_cast<std::size_t>(length));
    // ADDs, and RUNs where a byte repeats long enough.
    int64_t added = 0;  // bytes of p written so far
    for (int64_t i = 0; i < length;) {
      int64_t j = i + 1;
      while (j < length && p[j] == p[i]) ++j;
      if (j - i >= kShortestRun) {
        if (i > added) {
          instruction(kAdd, i - added, 0);
          data.append(p + added, static_cast<std::size_t>(i - added));
        }
        instruction(kRun, j - i, 0);
        data += p[i];
        added = j;
      }
      i = j;
    }
    if (length > added) {
      instruction(kAdd, length - added, 0);
      data.append(p + added, static_cast<std::size_t>(length - added));
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
  encoding += '\0';  // no section is compressed
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
