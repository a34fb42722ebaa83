#include "scenario/Cp932.h"

#include <array>
#include <cstdint>

#include "scenario/Cp932Table.h"
#include "scenario/Utf8.h"

namespace cp932 {

namespace {

constexpr int kTrailFirst = 0x40;

int leadIndex(unsigned b) { return b <= 0x9F ? static_cast<int>(b) - 0x81 : static_cast<int>(b) - 0xE0 + 31; }

// The code of each character of the Basic Multilingual Plane (no other
// has one), kNone where it has none: the first code of each character in
// code order, then the seven characters taken as their neighbours.
const std::array<uint16_t, 0x10000>& encodingTable() {
  static const std::array<uint16_t, 0x10000> table = [] {
    std::array<uint16_t, 0x10000> t;
    t.fill(kNone);
    for (unsigned b = 0; b < 256; ++b) {
      if (kSingleByte[b] != kNone && t[kSingleByte[b]] == kNone) t[kSingleByte[b]] = static_cast<uint16_t>(b);
    }
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
      if (kSingleByte[lead] != kNone) continue;
      for (int trail = 0; trail < kTrailCount; ++trail) {
        const uint16_t c = kDoubleByte[leadIndex(lead) * kTrailCount + trail];
        if (c != kNone && t[c] == kNone) t[c] = static_cast<uint16_t>(lead << 8 | (trail + kTrailFirst));
      }
    }
    const char32_t neighbours[][2] = {{0x00A2, 0xFFE0}, {0x00A3, 0xFFE1}, {0x00AC, 0xFFE2}, {0x2014, 0x2015},
                                      {0x2016, 0x2225}, {0x2212, 0xFF0D}, {0x301C, 0xFF5E}};
    for (const auto& [c, like] : neighbours) t[c] = t[like];
    return t;
  }();
  return table;
}

void appendEscape(std::string& out, unsigned char b) {
  static const char digits[] = "0123456789ABCDEF";
  out += "\\x";
  out += digits[b >> 4];
  out += digits[b & 0xF];
}

}  // namespace

int decode(const unsigned char* p, const unsigned char* limit, char32_t* c) {
  const uint16_t single = kSingleByte[p[0]];
  if (single != kNone) {
    *c = single;
    return 1;
  }
  if (limit - p < 2 || p[1] < kTrailFirst || p[1] >= kTrailFirst + kTrailCount) return 0;
  const uint16_t pair = kDoubleByte[leadIndex(p[0]) * kTrailCount + (p[1] - kTrailFirst)];
  if (pair == kNone) return 0;
  *c = pair;
  return 2;
}

bool encode(char32_t c, std::string& out) {
  if (c >= 0x10000) return false;
  const uint16_t code = encodingTable()[c];
  if (code == kNone) return false;
  if (code > 0xFF) out += static_cast<char>(code >> 8);
  out += static_cast<char>(code & 0xFF);
  return true;
}

namespace {

std::string decodeAll(std::string_view sjis, Undecodable how, bool name, std::vector<std::size_t>* bad) {
  std::string out;
  out.reserve(sjis.size() * 3 / 2);
  const auto* begin = reinterpret_cast<const unsigned char*>(sjis.data());
  const auto* limit = begin + sjis.size();
  for (const unsigned char* p = begin; p < limit;) {
    char32_t c;
    const int n = name && isInvisibleInName(*p) ? 0 : decode(p, limit, &c);
    if (n == 0 && bad != nullptr) bad->push_back(static_cast<std::size_t>(p - begin));
    if (n == 0 || (how == Undecodable::escape && isControl(c))) {
      if (how == Undecodable::escape) {
        appendEscape(out, *p);
      } else {
        utf8::append(out, 0xFFFD);
      }
      ++p;
    } else {
      utf8::append(out, c);
      p += n;
    }
  }
  return out;
}

}  // namespace

std::string toUtf8(std::string_view sjis, Undecodable how, std::vector<std::size_t>* bad) {
  return decodeAll(sjis, how, how == Undecodable::escape, bad);
}

std::string nameToUtf8(std::string_view sjis, std::vector<std::size_t>* bad) {
  return decodeAll(sjis, Undecodable::replace, true, bad);
}

bool nameToUtf8Strictly(std::string_view sjis, std::string& out) {
  std::vector<std::size_t> bad;
  out = nameToUtf8(sjis, &bad);
  return bad.empty();
}

bool toUtf8Strictly(std::string_view sjis, std::string& out) {
  std::vector<std::size_t> bad;
  out = toUtf8(sjis, Undecodable::replace, &bad);
  return bad.empty();
}

bool fromUtf8(std::string_view text, std::string& sjis, EncodeError* error) {
  const char* p = text.data();
  const char* const limit = p + text.size();
  for (std::size_t index = 0; p < limit; ++index) {
    const char* at = p;
    char32_t c = kNotUtf8;
    if (!utf8::next(p, limit, &c) || !encode(c, sjis)) {
      if (error != nullptr) *error = {static_cast<std::size_t>(at - text.data()), index, c};
      return false;
    }
  }
  return true;
}

}  // namespace cp932
