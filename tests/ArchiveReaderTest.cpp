// The archive reader: its index, its findings of damage, and reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "archive/SystemFolder.h"
#include "reader/ArchiveReader.h"
#include "reader/PackPlan.h"

namespace {

const std::string kText = scenarioText("KERV", {"a.qvd", "=x:|y:\x8a\x43.zpt", "a.qvd", "e.zpt"});
const std::string kSound = archive("KRV", kText, {"AAA", "sea", "again", ""});

TEST(ArchiveReaderTest, IndexesASoundArchive) {
  ScratchDir dir;
  dir.write("s.krv", kSound);
  ArchiveReader reader(dir.path("s.krv").c_str());
  EXPECT_STREQ(reader.dialectName(), "KERV");
  EXPECT_EQ(reader.version(), "1.2000");
  EXPECT_EQ(reader.scenarioText(), kText);
  EXPECT_TRUE(reader.damage().empty());
  // The scenario handed out is parsed, its lists still whole.
  EXPECT_EQ(reader.scenario().getWaitingTime(), 15);
  EXPECT_STREQ(reader.scenario().nextFileName(), "a.qvd");
  EXPECT_EQ(reader.scenario().getPointer(), reader.scenario().getBody());

  const int64_t first = 10 + static_cast<int64_t>(kText.size()) + 4;
  const std::vector<std::pair<std::string, int64_t>> expected = {
      {"a.qvd", first}, {"\x8a\x43.zpt", first + 7}, {"a.qvd", first + 14}, {"e.zpt", first + 23}};
  ASSERT_EQ(reader.entries().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(reader.entries()[i].name, expected[i].first);
    EXPECT_EQ(reader.entries()[i].offset, expected[i].second);
  }
  EXPECT_EQ(reader.find("a.qvd"), &reader.entries()[0]);  // the first of a repeated name
  EXPECT_EQ(reader.find("\x8a\x43.zpt")->size, 3);
  EXPECT_EQ(reader.find("A.QVD"), nullptr);

  char buffer[8];
  const ArchiveEntry& again = reader.entries()[2];
  EXPECT_EQ(reader.read(again, 0, buffer, 8), 5);
  EXPECT_EQ(std::string(buffer, 5), "again");
  EXPECT_EQ(reader.read(again, 3, buffer, 1), 1);
  EXPECT_EQ(buffer[0], 'i');
  EXPECT_EQ(reader.read(again, 5, buffer, 8), 0);
  EXPECT_EQ(reader.read(again, 9, buffer, 8), 0);
  EXPECT_THROW(reader.read(again, -1, buffer, 1), std::invalid_argument);
}

TEST(ArchiveReaderTest, RecordsDamageAndKeepsTheEntriesBeforeIt) {
  const std::string pText = scenarioText("PKERV", {"a.qvd", "e.zpt"});
  const std::string two = scenarioText("KERV", {"a.qvd", "b.qvd"});
  const int64_t end2 = 10 + static_cast<int64_t>(two.size()) + 7;  // after the block "AAA"
  const auto at = [&](int64_t offset) { return "offset " + std::to_string(offset) + ": "; };
  const std::string cut = "b.qvd: no block (the archive ends at offset ";
  struct Case {
    std::string bytes;
    std::size_t entries;
    std::vector<std::string> damage;  // empty: sound
  } cases[] = {
      {archive("PKV", pText, {"AAA", ""}), 2, {}},
      {archive("KRV", pText, {"AAA", ""}), 2, {"offset 10: the scenario is not for KERV: it does not start with KERV"}},
      // A P-KERV scenario laid out as its own dialect has it (one title line):
      // its list is walked as P-KERV, not read as empty.
      {archive("KRV", "PKERV 1.0\r\nTitle\r\n.15\r\na.qvd\r\nb.qvd\r\n.\r\nbgm\r\n.\r\nbody\r\n", {"AAA", "BB"}), 2,
       {"offset 10: the scenario is not for KERV: it does not start with KERV"}},
      // Each listed file past the damage is named.
      {archive("KRV", two, {"AAA"}), 1,
       {at(end2) + "1 of 2 data blocks missing: the archive ends after 1 block", cut + std::to_string(end2) + ")"}},
      {archive("KRV", two, {"AAA"}) + std::string("\1\0", 2), 1,
       {at(end2) + "the archive ends inside the size of data block 2; 1 of 2 data blocks missing",
        cut + std::to_string(end2 + 2) + ")"}},
      {archive("KRV", two, {"AAA"}) + le32(0x80000001u) + "x", 1,
       {at(end2) + "data block 2 has a bad size, 2147483649 (its top bit is set)",
        "b.qvd: no block (data block 2 has a bad size)"}},
      {archive("KRV", two, {"AAA"}) + le32(10) + "short", 1,
       {at(end2) + "data block 2 of 10 bytes runs 5 bytes past the end of the archive",
        cut + std::to_string(end2 + 9) + ")"}},
      {archive("KRV", two, {"AAA", "B"}) + "junk", 2, {at(end2 + 5) + "4 bytes after the last data block"}},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    dir.write("a", c.bytes);
    ArchiveReader reader(dir.path("a").c_str());
    EXPECT_EQ(reader.entries().size(), c.entries) << c.damage.size();
    EXPECT_EQ(reader.damage(), c.damage);
    EXPECT_EQ(reader.archiveIndex().listed().size(), 2u);
    EXPECT_EQ(reader.find("a.qvd"), &reader.entries()[0]);
    char a[3];
    EXPECT_EQ(reader.read(reader.entries()[0], 0, a, 3), 3);
    EXPECT_EQ(std::string(a, 3), "AAA");
  }
}

TEST(ArchiveIndexTest, WindowsThatReadAheadGiveTheSameIndex) {
  const std::string two = scenarioText("KERV", {"a.qvd", "b.qvd", "c.qvd"});
  ScratchDir dir;
  for (const std::string& bytes : {kSound, archive("KRV", two, {"A", "", "CC"}) + "junk",
                                   archive("KRV", two, {"A", "BBBB"}) + le32(7) + "CC", kSound.substr(0, 30)}) {
    dir.write("a", bytes);
    std::vector<std::string> expected;
    try {
      ArchiveReader reader(dir.path("a").c_str());
      for (const ArchiveEntry& e : reader.entries()) expected.push_back(e.name + "@" + std::to_string(e.offset));
      expected.insert(expected.end(), reader.damage().begin(), reader.damage().end());
    } catch (const ArchiveError& e) {
      expected.push_back(e.reason());
    }
    for (int64_t window : {1, 3, 5, 64, 4096}) {
      ArchiveIndex index(static_cast<int64_t>(bytes.size()));
      for (ArchiveIndex::Range r; (r = index.next()).length > 0;) {
        int64_t n = std::min<int64_t>(static_cast<int64_t>(bytes.size()) - r.offset, std::max(window, r.length));
        index.supply(r.offset, bytes.data() + r.offset, n);
      }
      std::vector<std::string> got;
      for (const ArchiveEntry& e : index.entries()) got.push_back(e.name + "@" + std::to_string(e.offset));
      got.insert(got.end(), index.damage().begin(), index.damage().end());
      if (!index.error().empty()) got.push_back(index.error());
      EXPECT_EQ(got, expected) << "window " << window;
    }
  }
}

TEST(ArchiveReaderTest, ThrowsOnWhatIsNoArchive) {
  ScratchDir dir;
  struct Case {
    std::string bytes;  // empty: the name is a folder, or missing
    const char* name;
    std::string what;
    int error;
  } cases[] = {
      {"", "missing", "missing: No such file or directory", ENOENT},
      {"", "", ": Is a directory", EISDIR},
      {"KR", "two", "two: cut short in its header: 2 bytes, where the header has 10", 0},
      {std::string("KRV\0\0", 5), "five", "five: cut short in its header: 5 bytes, where the header has 10", 0},
      {"XYZ whatever", "foreign", "foreign: not a KERV or P-KERV archive: it does not start with KRV or PKV", 0},
      {kSound.substr(0, 40), "cut",
       "cut: cut short in its scenario: 30 bytes at offset 10, where the scenario has " + std::to_string(kText.size()), 0},
      {kSound.substr(0, 10 + kText.size() - 1), "one",
       "one: cut short in its scenario: " + std::to_string(kText.size() - 1) +
           " bytes at offset 10, where the scenario has " + std::to_string(kText.size()), 0},
  };
  for (const Case& c : cases) {
    if (!c.bytes.empty()) dir.write(c.name, c.bytes);
    try {
      ArchiveReader reader(dir.path(c.name).c_str());
      ADD_FAILURE() << c.name << " was accepted";
    } catch (const ArchiveError& e) {
      EXPECT_EQ(e.what(), dir.path(c.what)) << c.name;
      EXPECT_EQ(e.errorNumber(), c.error) << c.name;
    }
  }
}

TEST(ArchiveReaderTest, OffsetsBeyond2GiBAndReadsFromSeveralThreads) {
  // A sparse first block of 2 GiB - 1 puts every later block past 2 GiB.
  ScratchDir dir;
  const std::string text = scenarioText("KERV", {"big.qvd", "b1.qvd", "b2.qvd", "b3.qvd"});
  const int64_t bigAt = 10 + static_cast<int64_t>(text.size()) + 4, big = 0x7FFFFFFF;
  std::string tail;
  for (int i = 1; i <= 3; ++i) tail += le32(100000) + std::string(100000, static_cast<char>('0' + i));
  dir.write("a", archive("KRV", text, {}) + le32(big));
  std::filesystem::resize_file(dir.path("a"), static_cast<std::uintmax_t>(bigAt + big));
  {
    std::ofstream(dir.path("a"), std::ios::binary | std::ios::app) << tail;
  }
  ArchiveReader reader(dir.path("a").c_str());
  ASSERT_TRUE(reader.damage().empty()) << reader.damage()[0];
  ASSERT_EQ(reader.entries().size(), 4u);
  EXPECT_EQ(reader.entries()[3].offset, bigAt + big + 2 * 100004 + 4);

  std::vector<std::string> got(3);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      const ArchiveEntry& e = reader.entries()[static_cast<std::size_t>(i) + 1];
      char buffer[4096];
      for (int64_t at = 0, n; (n = reader.read(e, at, buffer, sizeof buffer)) > 0; at += n) got[i].append(buffer, n);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(got[i], std::string(100000, static_cast<char>('1' + i))) << i;
}

TEST(PackPlanTest, LaysOutTheArchiveOrSaysWhyNot) {
  const std::string pText = scenarioText("PKERV", {"=x:a.qvd", "\x8a\x43.zpt"});
  PackPlan plan(pText.data(), static_cast<int64_t>(pText.size()));
  ASSERT_EQ(plan.error(), "");
  EXPECT_STREQ(plan.dialect().name, "P-KERV");
  EXPECT_EQ(plan.names(), (std::vector<std::string>{"a.qvd", "\x8a\x43.zpt"}));
  EXPECT_EQ(plan.head() + PackPlan::sizeField(3) + "AAA" + PackPlan::sizeField(0), archive("PKV", pText, {"AAA", ""}));
  EXPECT_EQ(PackPlan::sizeField(PackPlan::kMaxBlockSize), le32(0x7FFFFFFF));

  std::string longest = "KERV 1.0 1.0\r\n";
  longest.resize(32767, 'x');
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {longest, ""},
      {longest + "x", "a scenario file holds at most 32767 bytes, this one 32768"},
      {"KER", "not a KERV or P-KERV scenario: it does not start with KERV or PKERV"},
      {"", "not a KERV or P-KERV scenario: it does not start with KERV or PKERV"},
  };
  for (const Case& c : cases) EXPECT_EQ(PackPlan(c.text.data(), static_cast<int64_t>(c.text.size())).error(), c.error);
}

}  // namespace

TEST(ArchiveReaderTest, ReadsThroughADescriptorOrAFunctionAsThroughAPath) {
  ScratchDir dir;
  dir.write("s.krv", kSound);
  const ArchiveReader byPath(dir.path("s.krv").c_str());
  const int64_t size = static_cast<int64_t>(kSound.size());
  std::vector<std::unique_ptr<ArchiveReader>> readers;
#ifndef _WIN32  // a C runtime descriptor there, which these tests do not make
  SystemFile file;
  int64_t opened = 0;
  ASSERT_TRUE(file.openForReading(dir.path("s.krv").c_str(), &opened));
  readers.push_back(std::make_unique<ArchiveReader>("s.krv", static_cast<int>(file.nativeHandle())));
  file.close();  // the reader keeps a duplicate of its own
  SystemFolder folder;
  ASSERT_TRUE(folder.open(dir.path(""), false));
  // A descriptor that is no regular file is refused as a path would be.
  EXPECT_THROW(ArchiveReader("folder", static_cast<int>(folder.nativeHandle())), ArchiveError);
#endif
  int reads = 0;
  readers.push_back(std::make_unique<ArchiveReader>("s.krv", size, [&](int64_t at, char* p, int64_t n) -> int64_t {
    ++reads;
    const int64_t count = std::min<int64_t>(n, size - at);
    std::memcpy(p, kSound.data() + at, static_cast<std::size_t>(count));
    return count;
  }));
  EXPECT_GT(reads, 0);
  for (const auto& r : readers) {
    ASSERT_EQ(r->entries().size(), byPath.entries().size());
    for (std::size_t i = 0; i < r->entries().size(); ++i) {
      const ArchiveEntry& e = r->entries()[i];
      EXPECT_EQ(e.offset, byPath.entries()[i].offset);
      std::string bytes(static_cast<std::size_t>(e.size), '\0');
      EXPECT_EQ(r->read(e, 0, bytes.data(), e.size), e.size);
      EXPECT_EQ(bytes, kSound.substr(static_cast<std::size_t>(e.offset), bytes.size()));
    }
  }
  // A function that fails: the reader's error, with its errno.
  try {
    ArchiveReader failing("s.krv", size, [](int64_t, char*, int64_t) -> int64_t {
      errno = EIO;
      return -1;
    });
    ADD_FAILURE() << "a reader that cannot read opened";
  } catch (const ArchiveError& e) {
    EXPECT_EQ(e.errorNumber(), EIO);
    EXPECT_EQ(e.reason(), std::string("cannot read the header: ") + std::strerror(EIO));
  }
}
