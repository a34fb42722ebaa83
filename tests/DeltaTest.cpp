// VCDIFF patches: Adler-32, the encoder and the decoder in both its forms,
// damaged and cut patches, and the application header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "delta/Adler32.h"
#include "delta/Decoder.h"
#include "delta/Encoder.h"
#include "delta/Matcher.h"
#include "delta/PatchHeader.h"

namespace {

using vcdiff::DecodeError;

std::string randomBytes(std::mt19937& random, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random() & 0xFF);
  return s;
}

// Reads [offset..offset+n) of `s`; false past its end.
vcdiff::ReadAt readerOf(const std::string& s) {
  return [&s](int64_t offset, char* p, std::size_t n) {
    if (offset < 0 || static_cast<uint64_t>(offset) + n > s.size()) return false;
    std::memcpy(p, s.data() + offset, n);
    return true;
  };
}

// Decodes `patch` against `source`: the target made from bytes, and the
// target made from the pieces. Sets *error on failure.
std::string decodeBoth(const std::string& patch, const std::string& source, std::string* fromPieces,
                       DecodeError* error) {
  std::size_t at = 0;
  vcdiff::Decoder decoder([&](char* p, std::size_t n) {
    const std::size_t k = std::min(n, patch.size() - at);
    std::memcpy(p, patch.data() + at, k);
    at += k;
    return static_cast<int64_t>(k);
  });
  std::string target, window;
  fromPieces->clear();
  std::vector<vcdiff::Span> spans;
  if (decoder.readHeader()) {
    for (vcdiff::Window w; decoder.nextWindow(w);) {
      if (!decoder.decode(w, readerOf(source), readerOf(target), window)) break;
      target += window;
      if (!decoder.pieces(w, spans)) break;
      for (const vcdiff::Span& s : spans) {
        if (s.kind == vcdiff::Span::Kind::bytes) {
          *fromPieces += s.bytes;
        } else if (s.kind == vcdiff::Span::Kind::source) {
          *fromPieces += source.substr(static_cast<std::size_t>(s.offset), static_cast<std::size_t>(s.length));
        } else {
          // Made in order: a target range may reach into what it makes.
          for (int64_t k = 0; k < s.length; ++k) *fromPieces += (*fromPieces)[static_cast<std::size_t>(s.offset + k)];
        }
      }
    }
  }
  *error = decoder.error();
  return target;
}

TEST(Adler32Test, TheVectorisedFormAgreesWithThePlainOne) {
  std::mt19937 random(7);
  const std::string bytes = randomBytes(random, 200000);
  const std::string ones(70000, '\xFF');
  for (std::size_t n : {0u, 1u, 31u, 32u, 63u, 64u, 65u, 5551u, 5552u, 5553u, 11104u, 100000u, 200000u}) {
    for (uint32_t start : {1u, 0xFFF0FFF0u, 0x12345678u % 65521u}) {
      const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
      EXPECT_EQ(adler32::update(start, p, n), adler32::updatePlain(start, p, n)) << n;
    }
    const auto* q = reinterpret_cast<const unsigned char*>(ones.data());
    EXPECT_EQ(adler32::update(1, q, std::min<std::size_t>(n, ones.size())),
              adler32::updatePlain(1, q, std::min<std::size_t>(n, ones.size())));
  }
  EXPECT_EQ(adler32::update(1, "Wikipedia", 9), 0x11E60398u);
  const uint32_t a = adler32::update(1, bytes.data(), 1000), b = adler32::update(1, bytes.data() + 1000, 77777);
  EXPECT_EQ(adler32::combine(a, b, 77777), adler32::update(1, bytes.data(), 78777));
}

TEST(VcdiffTest, EncodedPatchesDecodeToTheirTarget) {
  std::mt19937 random(11);
  const std::string source = randomBytes(random, 4 << 20);
  struct Piece {
    char kind;  // 'l' literal, 't' target bytes, 'c' copy
    int64_t offset, length;
  };
  struct Case {
    const char* name;
    std::vector<Piece> pieces;
  } cases[] = {
      {"nothing", {}},
      {"one copy", {{'c', 0, 1 << 20}}},
      {"copies in any order", {{'c', 2 << 20, 1000}, {'c', 5, 7}, {'c', 5, 4}, {'c', 1000, 1}}},
      {"literals with runs", {{'l', 0, 40}, {'l', 100, 200000}, {'t', 0, 10}}},
      {"pairs of ADD and COPY", {{'l', 0, 1}, {'c', 10, 4}, {'l', 1, 4}, {'c', 20, 6}, {'c', 30, 4}, {'l', 5, 1}}},
      // Windows of at most 8 MiB: a copy longer than one, a literal across two.
      {"across windows", {{'c', 0, 3 << 20}, {'c', 0, 3 << 20}, {'c', 1, 3 << 20}, {'t', 0, 1 << 20}, {'l', 0, 9}}},
  };
  for (const bool lzma : {false, true}) {
  if (lzma && !vcdiff::Encoder::lzmaAvailable()) continue;
  for (const Case& c : cases) {
    // The target's own bytes: a literal's bytes, with runs now and then,
    // and a stretch that repeats an earlier one (a copy within the window).
    std::string literalBytes = randomBytes(random, 2 << 20);
    literalBytes.replace(1 << 20, 70000, literalBytes.substr(300000, 70000));
    std::fill(literalBytes.begin() + 100, literalBytes.begin() + 5000, 'z');
    std::string target, expected;
    for (const Piece& p : c.pieces) {
      if (p.kind == 'c') expected += source.substr(static_cast<std::size_t>(p.offset), static_cast<std::size_t>(p.length));
      if (p.kind != 'c') expected += literalBytes.substr(static_cast<std::size_t>(p.offset), static_cast<std::size_t>(p.length));
    }
    target = expected;
    std::string patch;
    int64_t targetAt = 0;
    vcdiff::EncoderOptions options;
    options.lzma = lzma;
    vcdiff::Encoder encoder([&](const char* p, std::size_t n) { return patch.append(p, n), true; }, readerOf(source),
                            readerOf(target), "new//old/", options);
    for (const Piece& p : c.pieces) {
      const bool ok = p.kind == 'c'   ? encoder.copy(p.offset, p.length)
                      : p.kind == 'l' ? encoder.literal(literalBytes.data() + p.offset, p.length)
                                      : encoder.targetBytes(targetAt, p.length);
      EXPECT_TRUE(ok) << c.name << ": " << encoder.error();
      targetAt += p.length;
    }
    ASSERT_TRUE(encoder.finish()) << encoder.error();
    EXPECT_EQ(encoder.patchLength(), static_cast<int64_t>(patch.size()));
    std::string fromPieces;
    DecodeError error;
    EXPECT_EQ(decodeBoth(patch, source, &fromPieces, &error), expected) << c.name;
    EXPECT_FALSE(error) << c.name << ": " << error.english();
    EXPECT_EQ(fromPieces, expected) << c.name;
    if (std::string(c.name) == "one copy" && !lzma) {
      EXPECT_LT(patch.size(), 40u) << "an unchanged megabyte is a few bytes";
    }
    if (std::string(c.name) == "literals with runs") {
      // The repeated 70,000 bytes are a copy, not carried twice.
      EXPECT_LT(patch.size(), 200000u + 9 + 40 + 1000) << lzma;
    }
  }
  }
}

// A window of the most bytes, made by a copy of one source byte and a copy
// of it that overlaps what it makes: a patch of some forty bytes that must
// cost one step, not one per byte, in both of the decoder's forms.
TEST(VcdiffTest, ACopyThatRepeatsWhatItMakesIsOneStep) {
  const int64_t size = vcdiff::kLargestWindow;
  std::string inst = {static_cast<char>(vcdiff::codeFor(vcdiff::kCopy, 0, 0)), 1,
                      static_cast<char>(vcdiff::codeFor(vcdiff::kCopy, 0, 0))};
  vcdiff::appendInteger(inst, static_cast<uint64_t>(size - 1));
  const std::string addr = {0, 1};  // the source's byte, then the window's first
  std::string encoding;
  vcdiff::appendInteger(encoding, static_cast<uint64_t>(size));
  encoding += '\0';
  vcdiff::appendInteger(encoding, 0);
  vcdiff::appendInteger(encoding, inst.size());
  vcdiff::appendInteger(encoding, addr.size());
  std::string patch(reinterpret_cast<const char*>(vcdiff::kMagic), 4);
  patch += '\0';
  patch += static_cast<char>(vcdiff::kSource);
  vcdiff::appendInteger(patch, 1);
  vcdiff::appendInteger(patch, 0);
  vcdiff::appendInteger(patch, encoding.size() + inst.size() + addr.size());
  patch += encoding + inst + addr;
  EXPECT_LT(patch.size(), 40u);

  std::size_t at = 0;
  vcdiff::Decoder decoder([&](char* p, std::size_t n) {
    const std::size_t k = std::min(n, patch.size() - at);
    std::memcpy(p, patch.data() + at, k);
    at += k;
    return static_cast<int64_t>(k);
  });
  ASSERT_TRUE(decoder.readHeader());
  vcdiff::Window w;
  ASSERT_TRUE(decoder.nextWindow(w));
  std::vector<vcdiff::Span> spans;
  ASSERT_TRUE(decoder.pieces(w, spans));
  EXPECT_LE(spans.size(), 2u) << "one piece an instruction at most";
  std::string out;
  ASSERT_TRUE(decoder.decode(w, readerOf("Q"), readerOf(""), out));
  EXPECT_EQ(out, std::string(static_cast<std::size_t>(size), 'Q'));
}

// What the coder finds of the source in new bytes: a file with bytes
// changed here and there, its ends changed, renamed (another place), or
// nothing of it.
TEST(MatcherTest, NewBytesThatTheSourceHoldsAreCopies) {
  std::mt19937 random(5);
  const std::string source = randomBytes(random, 3 << 20);
  std::string edited = source.substr(1 << 20, 1 << 20);
  for (int k = 0; k < 50; ++k) edited[random() % edited.size()] ^= 0x5A;
  std::string ends = source.substr(0, 500000);
  ends.replace(0, 16, randomBytes(random, 16));
  ends.replace(ends.size() - 16, 16, randomBytes(random, 16));
  struct Case {
    const char* what;
    std::string target;
    int64_t mostNew;  // new bytes the scan may leave
  } cases[] = {
      {"fifty bytes edited", edited, 50 * vcdiff::Matcher::kShortestCopy},
      {"its ends changed", ends, 32 + 2 * vcdiff::Matcher::kShortestCopy},
      {"moved", source.substr(2 << 20, 300000) + source.substr(5, 100), 0},
      {"nothing of it", randomBytes(random, 200000), 200000},
  };
  vcdiff::SourceIndex index;
  ASSERT_TRUE(index.build(readerOf(source), {{0, static_cast<int64_t>(source.size())}}));
  for (const Case& c : cases) {
    vcdiff::Matcher matcher(index, readerOf(source), static_cast<int64_t>(source.size()));
    std::string made;
    int64_t fresh = 0;
    const vcdiff::Matcher::Literal literal = [&](const char* p, int64_t n) {
      made.append(p, static_cast<std::size_t>(n));
      fresh += n;
      return true;
    };
    const vcdiff::Matcher::Copy copy = [&](int64_t offset, int64_t n) {
      made += source.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(n));
      return true;
    };
    // In two scans, as a long target is: a match goes on across them.
    const std::size_t half = c.target.size() / 2;
    ASSERT_TRUE(matcher.scan(c.target.data(), static_cast<int64_t>(half), literal, copy));
    ASSERT_TRUE(matcher.scan(c.target.data() + half, static_cast<int64_t>(c.target.size() - half), literal, copy));
    ASSERT_TRUE(matcher.finish(copy));
    EXPECT_EQ(made, c.target) << c.what;
    EXPECT_LE(fresh, c.mostNew) << c.what;
  }
}

// RFC 3284, section 3: COPY 4,0; ADD 4 wxyz; COPY 4,4; COPY 12,24 (from the
// target, overlapping what it makes); RUN 4 z. Addresses in VCD_SELF. With
// `secondary`, the header names that compressor and the data section is
// marked compressed.
std::string rfcExample(unsigned secondary = 0) {
  const std::string target = "abcdwxyzefghefghefghefghzzzz";
  std::string data = "wxyzz";
  std::string inst = {static_cast<char>(vcdiff::codeFor(vcdiff::kCopy, 4, 0)),
                      static_cast<char>(vcdiff::codeFor(vcdiff::kAdd, 4, 0)),
                      static_cast<char>(vcdiff::codeFor(vcdiff::kCopy, 4, 0)),
                      static_cast<char>(vcdiff::codeFor(vcdiff::kCopy, 12, 0)), 0, 4};
  std::string addr = {0, 4, 24};
  std::string patch(reinterpret_cast<const char*>(vcdiff::kMagic), 4);
  patch += static_cast<char>(secondary != 0 ? vcdiff::kDecompress : 0);
  if (secondary != 0) patch += static_cast<char>(secondary);
  patch += static_cast<char>(vcdiff::kSource);
  vcdiff::appendInteger(patch, 16);
  vcdiff::appendInteger(patch, 0);
  std::string encoding;
  vcdiff::appendInteger(encoding, target.size());
  encoding += static_cast<char>(secondary != 0 ? vcdiff::kDataCompressed : 0);
  for (const std::string* s : {&data, &inst, &addr}) vcdiff::appendInteger(encoding, s->size());
  encoding += data + inst + addr;
  vcdiff::appendInteger(patch, encoding.size());
  return patch + encoding;
}

TEST(VcdiffTest, TheRfcExampleCopiesFromTheTargetItself) {
  const std::string source = "abcdefghijklmnop";
  const std::string target = "abcdwxyzefghefghefghefghzzzz";
  const std::string patch = rfcExample();
  std::string fromPieces;
  DecodeError error;
  EXPECT_EQ(decodeBoth(patch, source, &fromPieces, &error), target);
  EXPECT_FALSE(error) << error.english();
  EXPECT_EQ(fromPieces, target);
}

// The start of a window whose source segment is `length` bytes at `position`.
std::string segmentAt(uint64_t length, uint64_t position) {
  std::string w(1, static_cast<char>(vcdiff::kSource));
  vcdiff::appendInteger(w, length);
  vcdiff::appendInteger(w, position);
  return w + std::string(20, '\0');
}

TEST(VcdiffTest, DamagedAndCutPatchesAreRefusedWithWhereAndWhy) {
  std::mt19937 random(3);
  const std::string source = randomBytes(random, 100000);
  std::string patch;
  std::string target = source.substr(0, 50000) + "CHANGED" + source.substr(50000);
  vcdiff::Encoder encoder([&](const char* p, std::size_t n) { return patch.append(p, n), true; }, readerOf(source),
                          readerOf(target));
  encoder.copy(0, 50000);
  encoder.literal("CHANGED", 7);
  encoder.copy(50000, 50000);
  ASSERT_TRUE(encoder.finish());
  std::string fromPieces;
  DecodeError error;
  // Every cut: refused, never read past.
  for (std::size_t n = 0; n < patch.size(); ++n) {
    decodeBoth(patch.substr(0, n), source, &fromPieces, &error);
    EXPECT_TRUE(n == 5 || error) << n;  // the header alone is a patch of nothing
  }
  const auto with = [&](std::size_t at, char c) {
    std::string p = patch;
    p[at] = c;
    return p;
  };
  const std::string other = source.substr(0, 49999) + "X" + source.substr(50000);
  struct Case {
    std::string patch, source;
    DecodeError::Code code;
    std::string text;
  } cases[] = {
      {"PK\3\4", source, DecodeError::Code::notVcdiff, "not a VCDIFF patch"},
      {with(3, 1), source, DecodeError::Code::version, "version 1"},
      {with(4, vcdiff::kCodeTable), source, DecodeError::Code::codeTable, "xdelta3's default table"},
      {rfcExample(vcdiff::kDjw), "abcdefghijklmnop", DecodeError::Code::secondary,
       "compressed with djw, which this build does not read; remake the patch with 'xdelta3 -S none'"},
      {with(5, 0x7F), source, DecodeError::Code::badWindow, "window 0 (patch offset 5)"},
      {patch, other, DecodeError::Code::checksum, "window 0 (patch offset 5): the bytes made do not have"},
      {patch, source.substr(0, 90000), DecodeError::Code::sourceRead, "cannot be read where the window needs it"},
      {patch + "\x01", source, DecodeError::Code::cut, "window 1 (patch offset " + std::to_string(patch.size() + 1) +
                                                            "): the patch ends here"},
      {patch.substr(0, 5) + segmentAt(uint64_t{1} << 62, uint64_t{1} << 62), source, DecodeError::Code::badWindow,
       "window 0 (patch offset 5): the window's header is damaged"},
      {std::string(reinterpret_cast<const char*>(vcdiff::kMagic), 4) + "\x04\xC0\x80\x80\x01", source,
       DecodeError::Code::appHeader, "application header is 134217729 bytes"},
  };
  for (const Case& c : cases) {
    decodeBoth(c.patch, c.source, &fromPieces, &error);
    EXPECT_EQ(error.code, c.code) << c.text;
    EXPECT_NE(error.english().find(c.text), std::string::npos) << error.english() << " / " << c.text;
  }
}

TEST(PatchHeaderTest, NamesAsXdelta3ReadsThemAndTheSums) {
  vcdiff::PatchHeader h;
  h.newName = "story.krv";
  h.oldName = "story.krv";
  const std::string bytes = "some bytes";
  ASSERT_TRUE(vcdiff::sumOf(readerOf(bytes), 10, &h.oldSum));
  ASSERT_TRUE(vcdiff::sumOf(readerOf(bytes), 4, &h.newSum));
  const std::string encoded = h.encode();
  EXPECT_EQ(encoded.substr(0, encoded.find('\0')), "story.krv//story.krv/");
  const vcdiff::PatchHeader back = vcdiff::PatchHeader::decode(encoded);
  EXPECT_EQ(back.newName, h.newName);
  EXPECT_EQ(back.oldName, h.oldName);
  EXPECT_TRUE(back.oldSum == h.oldSum && back.newSum == h.newSum);
  EXPECT_FALSE(back.oldSum == back.newSum);
  EXPECT_EQ(h.oldSum.hex().size(), 32u);
  // xdelta3's own header: names, no sums.
  // Sums that cannot be read: a damaged header, not one without sums.
  std::string bad = encoded;
  bad[bad.size() - 3] = 'g';
  EXPECT_TRUE(vcdiff::PatchHeader::decode(bad).damaged);
  EXPECT_TRUE(vcdiff::PatchHeader::decode(encoded.substr(0, encoded.rfind('\0'))).damaged);
  EXPECT_FALSE(back.damaged);
  const vcdiff::PatchHeader plain = vcdiff::PatchHeader::decode("new//old/");
  EXPECT_EQ(plain.newName, "new");
  EXPECT_EQ(plain.oldName, "old");
  EXPECT_FALSE(plain.oldSum.known());
}

}  // namespace
