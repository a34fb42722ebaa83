// The pass over two files (TwoFileScan) against a byte-by-byte reading, and
// the diff of two archives' files against the diff that reads every block
// it asks about: the same pieces, which make the new archive.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "archive/SystemFile.h"
#include "delta/Adler32.h"
#include "delta/Vcdiff.h"
#include "reader/ArchivePatch.h"
#include "reader/ArchiveReader.h"
#include "reader/TwoFileScan.h"

namespace {

std::string randomBytes(std::mt19937& random, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random() & 0xFF);
  return s;
}

// Where a[0..n) and b[0..n) differ, first and last, one byte at a time.
ScanDifference differenceOf(const char* a, const char* b, int64_t n) {
  ScanDifference d;
  for (int64_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (d.first < 0) d.first = i;
    d.last = i;
  }
  return d;
}

struct OpenFile {
  SystemFile file;
  int64_t size = 0;
  explicit OpenFile(const std::string& path) { EXPECT_TRUE(file.openForReading(path.c_str(), &size)) << path; }
};

TEST(TwoFileScanTest, SumsChecksumsAndDifferencesAgreeWithAPlainReading) {
  // Files over two patch windows, pairs across the chunks and parts the
  // pass is cut into, and changes at a pair's edges and deep inside.
  std::mt19937 random(7);
  const std::size_t size = 17 << 20;
  const std::string olds = randomBytes(random, size);
  std::string news = olds.substr(12) + randomBytes(random, 12);  // the new file: the old one shifted
  for (std::size_t at : {std::size_t{0}, std::size_t{262143}, std::size_t{4 << 20}, std::size_t{9000001},
                         std::size_t{(16 << 20) + 5}}) {
    news[at] = static_cast<char>(news[at] ^ 0x5A);
  }
  ScratchDir dir;
  dir.write("old", olds);
  dir.write("new", news);
  OpenFile oldFile(dir.path("old")), newFile(dir.path("new"));
  const FileView oldView(oldFile.file, oldFile.size), newView(newFile.file, newFile.size);

  struct Case {
    const char* what;
    ScanPair pair;
  };
  const std::vector<Case> cases = {
      {"whole, changes at its first byte and throughout", {12, 0, int64_t{size} - 12}},
      {"within one chunk, unchanged", {100, 88, 1000}},
      {"across chunks, a change at the last byte of a chunk", {262000, 261988, 300}},
      {"a change at its last byte", {(16 << 20) + 17 - 100, (16 << 20) + 5 - 99, 100}},
      {"across parts, one change inside", {(4 << 20) - 1000, (4 << 20) - 1012, 12 << 20}},
      {"of nothing", {5, 5, 0}},
      {"out of order in the new file", {1 << 20, 9 << 20, 3 << 20}},
  };
  for (bool sums : {true, false}) {
    TwoFileScan scan;
    scan.sums = sums;
    for (const Case& c : cases) scan.pairs.push_back(c.pair);
    ASSERT_TRUE(scan.run(oldView, newView)) << scan.error;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const ScanPair& p = cases[i].pair;
      const ScanDifference want = differenceOf(olds.data() + p.oldAt, news.data() + p.newAt, p.length);
      EXPECT_EQ(scan.differences[i].first, want.first) << cases[i].what;
      EXPECT_EQ(scan.differences[i].last, want.last) << cases[i].what;
    }
    if (!sums) continue;
    vcdiff::Summer oldSummer, newSummer;
    oldSummer.update(olds.data(), olds.size());
    newSummer.update(news.data(), news.size());
    EXPECT_EQ(scan.oldSum, oldSummer.sum());
    EXPECT_EQ(scan.newSum, newSummer.sum());
    std::vector<uint32_t> windows;
    for (std::size_t at = 0; at < news.size(); at += vcdiff::kWindowSize) {
      const std::size_t n = std::min<std::size_t>(vcdiff::kWindowSize, news.size() - at);
      windows.push_back(adler32::updatePlain(adler32::kStart, reinterpret_cast<const unsigned char*>(news.data() + at), n));
    }
    EXPECT_EQ(scan.windowChecksums, windows);
  }
}

TEST(TwoFileScanTest, AFileThatCannotBeReadIsNamed) {
  ScratchDir dir;
  dir.write("old", std::string(1 << 20, 'o'));
  dir.write("new", std::string(1 << 20, 'n'));
  OpenFile oldFile(dir.path("old")), newFile(dir.path("new"));
  // A view longer than its file: the file ended early, as one cut meanwhile.
  for (bool newIsShort : {false, true}) {
    for (bool sums : {false, true}) {
      const FileView oldView(oldFile.file, oldFile.size + (newIsShort ? 0 : 5));
      const FileView newView(newFile.file, newFile.size + (newIsShort ? 5 : 0));
      TwoFileScan scan;
      scan.sums = sums;
      scan.pairs.push_back({0, 0, 1 << 20});
      if (!newIsShort) scan.pairs.push_back({1 << 20, 0, 5});
      if (newIsShort) scan.pairs.push_back({0, 1 << 20, 5});
      EXPECT_FALSE(scan.run(oldView, newView));
      EXPECT_EQ(scan.error, EIO);
      EXPECT_EQ(scan.newFailed, newIsShort) << "sums " << sums;
    }
  }
}

// An archive of `blocks` (name, bytes) whose scenario's title is `title`.
std::string archiveOf(const std::string& title, const std::vector<std::pair<std::string, std::string>>& blocks) {
  std::string text = "KERV 1.0 30.0\r\n" + title + "\r\n.\r\n";
  for (const auto& [name, bytes] : blocks) text += name + "\r\n";
  text += ".\r\n.\r\n";
  std::string out = std::string("KRV") + std::string(5, '\0');
  out += static_cast<char>(text.size() & 0xFF);
  out += static_cast<char>(text.size() >> 8);
  out += text;
  for (const auto& [name, bytes] : blocks) {
    const uint32_t n = static_cast<uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
    out += bytes;
  }
  return out;
}

// The bytes that pieces over `olds` and `news` make.
std::string assemble(const std::vector<Piece>& pieces, const std::string& olds, const std::string& news) {
  std::string out;
  for (const Piece& p : pieces) {
    if (p.kind == Piece::Kind::archive) out += olds.substr(static_cast<std::size_t>(p.offset), p.length);
    else if (p.kind == Piece::Kind::file) out += news.substr(static_cast<std::size_t>(p.offset), p.length);
    else out += p.bytes;
  }
  return out;
}

TEST(FileDiffTest, ThePassGivesTheDiffThatReadingEachBlockGives) {
  std::mt19937 random(11);
  const std::string a = randomBytes(random, 300000), b = randomBytes(random, 70000), c = randomBytes(random, 5000);
  std::string aChanged = a, aLonger = a.substr(0, 1000) + "inserted" + a.substr(1000);
  aChanged[150000] = static_cast<char>(aChanged[150000] ^ 1);
  using Blocks = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* what;
    Blocks olds, news;
    std::vector<std::string> changes;
  };
  const std::vector<Case> cases = {
      {"equal", {{"a.qvd", a}, {"b.qvd", b}}, {{"a.qvd", a}, {"b.qvd", b}}, {}},
      {"one byte changed deep inside", {{"a.qvd", a}, {"b.qvd", b}}, {{"a.qvd", aChanged}, {"b.qvd", b}},
       {"a.qvd: changed (300000 -> 300000 bytes)"}},
      {"bytes inserted", {{"a.qvd", a}, {"b.qvd", b}}, {{"a.qvd", aLonger}, {"b.qvd", b}},
       {"a.qvd: changed (300000 -> 300008 bytes)"}},
      {"renamed, reordered, added and removed",
       {{"a.qvd", a}, {"b.qvd", b}, {"c.qvd", c}},
       {{"b.qvd", b}, {"moved.qvd", a}, {"new.qvd", c + "!"}},
       {"moved.qvd: added (300000 bytes)", "new.qvd: added (5001 bytes)", "a.qvd: removed", "c.qvd: removed"}},
      {"a name listed twice", {{"a.qvd", a}, {"a.qvd", b}}, {{"a.qvd", b}, {"a.qvd", a}},
       {"a.qvd: changed (300000 -> 70000 bytes)", "a.qvd: changed (70000 -> 300000 bytes)"}},
  };
  for (const Case& k : cases) {
    for (const bool sameTitle : {true, false}) {
      const std::string olds = archiveOf("story", k.olds), news = archiveOf(sameTitle ? "story" : "story, translated", k.news);
      ScratchDir dir;
      dir.write("old.krv", olds);
      dir.write("new.krv", news);
      const ArchiveReader oldArchive(dir.path("old.krv").c_str()), newArchive(dir.path("new.krv").c_str());
      const FileView oldView(oldArchive.file(), oldArchive.size()), newView(newArchive.file(), newArchive.size());
      ViewCompare reading(oldView, newView);
      const ArchiveDiff wanted(oldArchive.archiveIndex(), newArchive.archiveIndex(), reading);
      const FileDiff got(oldArchive.archiveIndex(), newArchive.archiveIndex(), oldView, newView, true);
      ASSERT_FALSE(got.diff().problem()) << k.what;
      std::vector<std::string> changes;
      for (const ArchiveDiff::Change& c : got.diff().changes()) {
        if (c.kind != ArchiveDiff::Change::Kind::scenario) changes.push_back(c.english());
      }
      EXPECT_EQ(changes, k.changes) << k.what;
      EXPECT_EQ(got.diff().equal(), sameTitle && k.changes.empty()) << k.what;
      ASSERT_EQ(got.diff().pieces().size(), wanted.pieces().size()) << k.what;
      for (std::size_t i = 0; i < wanted.pieces().size(); ++i) {
        const Piece &x = got.diff().pieces()[i], &y = wanted.pieces()[i];
        EXPECT_TRUE(x.kind == y.kind && x.offset == y.offset && x.length == y.length && x.bytes == y.bytes)
            << k.what << ", piece " << i;
      }
      EXPECT_EQ(assemble(got.diff().pieces(), olds, news), news) << k.what;
    }
  }
}

// Many changed blocks of one size: each is read (digested) once, not
// compared with every old block of its size.
TEST(FileDiffTest, BlocksOfOneSizeArePairedThroughDigestsNotEachWithEach) {
  std::mt19937 random(5);
  using Blocks = std::vector<std::pair<std::string, std::string>>;
  Blocks olds, news;
  const int n = 400;
  for (int i = 0; i < n; ++i) {
    olds.push_back({"o" + std::to_string(i) + ".qvd", randomBytes(random, 64)});
    news.push_back({"n" + std::to_string(i) + ".qvd", randomBytes(random, 64)});
  }
  news[7].second = olds[300].second;  // one moved under another name
  ScratchDir dir;
  dir.write("old.krv", archiveOf("story", olds));
  dir.write("new.krv", archiveOf("story", news));
  const ArchiveReader oldArchive(dir.path("old.krv").c_str()), newArchive(dir.path("new.krv").c_str());
  const FileView oldView(oldArchive.file(), oldArchive.size()), newView(newArchive.file(), newArchive.size());
  struct Counting : ViewCompare {
    using ViewCompare::ViewCompare;
    int sames = 0, digests = 0;
    bool same(const ArchiveEntry& o, const ArchiveEntry& e) override {
      ++sames;
      return ViewCompare::same(o, e);
    }
    bool digest(const ArchiveEntry& entry, bool isNew, uint64_t* out) override {
      ++digests;
      return ViewCompare::digest(entry, isNew, out);
    }
  } counting(oldView, newView);
  const ArchiveDiff diff(oldArchive.archiveIndex(), newArchive.archiveIndex(), counting);
  EXPECT_LE(counting.sames, 10);
  EXPECT_LE(counting.digests, 2 * n + 10);
  EXPECT_EQ(std::count_if(diff.pieces().begin(), diff.pieces().end(),
                          [&](const Piece& p) { return p.kind == Piece::Kind::archive && p.length == 68; }),
            1);
}

}  // namespace
