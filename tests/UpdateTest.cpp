// The update of an archive laid out as pieces, and the writer that makes a
// file whole or not at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TestUtil.h"
#include "reader/ArchiveReader.h"
#include "reader/PieceWriter.h"
#include "reader/UpdatePlan.h"

namespace {

std::set<std::string> filesIn(const ScratchDir& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path(""))) names.insert(e.path().filename().string());
  return names;
}

const std::string kText = scenarioText("KERV", {"a.qvd", "b.zpt", "=x:a.qvd"});
const std::string kOld = archive("KRV", kText, {"A1", "B", "A2"});

TEST(UpdatePlanTest, LaysOutTheNewArchiveOverTheOld) {
  const std::string renamed = scenarioText("KERV", {"a.qvd", "a.qvd", "a.qvd", "c.qvd", "b.zpt"});
  const std::string pkerv = scenarioText("PKERV", {"a.qvd"});
  const std::string odd = "KRV\1\2\3\4\5" + kOld.substr(8);  // bytes 3 to 7 are kept as they are
  struct Case {
    std::string old;
    const std::string* scenario;
    std::vector<std::pair<std::string, std::string>> replaced;  // name, new bytes
    std::string expected;                                       // the archive, or a part of the error
  } cases[] = {
      {kOld, nullptr, {}, kOld},
      {odd, nullptr, {}, odd},
      {kOld, nullptr, {{"b.zpt", "NEW"}}, archive("KRV", kText, {"A1", "NEW", "A2"})},
      {kOld, nullptr, {{"a.qvd", ""}}, archive("KRV", kText, {"", "B", ""})},
      {kOld, &renamed, {{"c.qvd", "C"}}, archive("KRV", renamed, {"A1", "A2", "A1", "C", "B"})},
      {kOld, &kText, {}, kOld},
      {kOld, &renamed, {}, "c.qvd is listed in the new scenario, but is neither in the archive nor given"},
      {kOld, nullptr, {{"\x8a\x43.qvd", "x"}}, "no data file \xe6\xb5\xb7.qvd in the archive"},
      {kOld, nullptr, {{"b.zpt", "1"}, {"b.zpt", "2"}}, "b.zpt is given twice"},
      {kOld, &renamed, {{"b.zpt", "x"}}, "c.qvd is listed"},
      {kOld, &pkerv, {}, "the new scenario is not for KERV"},
      {kOld + "junk", nullptr, {}, "the archive is damaged: offset 93: 4 bytes after the last data block"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("old.krv", c.old);
    std::vector<UpdatePlan::Replacement> replaced;
    std::vector<std::string> files;
    for (const auto& [name, bytes] : c.replaced) {
      files.push_back(dir.path(std::to_string(files.size())));
      dir.write(std::to_string(replaced.size()), bytes);
      replaced.push_back({name, static_cast<int64_t>(bytes.size())});
    }
    auto reader = std::make_unique<ArchiveReader>(dir.path("old.krv").c_str());
    const int64_t size = reader->size();
    const UpdatePlan plan(reader->archiveIndex(), c.scenario, replaced);
    reader.reset();  // Windows replaces no file that is open
    if (c.expected.substr(0, 3) != "KRV") {
      EXPECT_NE(plan.error().find(c.expected), std::string::npos) << plan.error();
      continue;
    }
    ASSERT_EQ(plan.error(), "");
    EXPECT_EQ(plan.size(), static_cast<int64_t>(c.expected.size()));
    PieceWriter writer(dir.path("old.krv").c_str(), size);
    ASSERT_TRUE(writer.write(plan.pieces(), files, dir.path("old.krv").c_str(), true)) << writer.failure();
    EXPECT_EQ(dir.read("old.krv"), c.expected);
  }
}

TEST(UpdatePlanTest, CopiesWhatIsUnchangedInOneRange) {
  ScratchDir dir;
  dir.write("old.krv", kOld);
  ArchiveReader reader(dir.path("old.krv").c_str());
  const UpdatePlan plan(reader.archiveIndex(), nullptr, {{"=x:a.qvd", 1}, {"b.zpt", 1}});
  EXPECT_NE(plan.error(), "");  // prefixes are not part of a name
  const UpdatePlan unchanged(reader.archiveIndex(), nullptr, {});
  ASSERT_EQ(unchanged.pieces().size(), 1u);
  EXPECT_EQ(unchanged.pieces()[0].length, static_cast<int64_t>(kOld.size()));
}

TEST(PieceWriterTest, WritesAFileWholeOrNotAtAll) {
  ScratchDir dir;
  dir.write("old", "precious");
  dir.write("data", "12345");
  const std::vector<Piece> pieces = {Piece::ofBytes("head:"), Piece::ofFile(0, 5)};
  PieceWriter writer(nullptr, 0);
  struct Case {
    std::string target;
    bool replace;
    std::vector<std::string> files;
    int error;  // -1: written
    std::string expected;
  } cases[] = {
      {"old", false, {dir.path("data")}, EEXIST, "precious"},
      {"missing/x", true, {dir.path("data")}, ENOENT, ""},
      {"new", false, {dir.path("nothing")}, ENOENT, ""},
      {"new", false, {dir.path("old")}, 0, ""},  // not of the size planned: it changed
      {"new", false, {dir.path("data")}, -1, "head:12345"},
      {"old", true, {dir.path("data")}, -1, "head:12345"},
  };
  for (const Case& c : cases) {
    const bool ok = writer.write(pieces, c.files, dir.path(c.target).c_str(), c.replace);
    EXPECT_EQ(ok, c.error == -1) << c.target << ": " << writer.failure();
    if (!ok) {
      EXPECT_EQ(writer.errorNumber(), c.error) << writer.failure();
    }
    if (!c.expected.empty()) {
      EXPECT_EQ(dir.read(c.target), c.expected);
    }
    // Nothing else is ever left in the folder.
    std::set<std::string> expected = {"old", "data"};
    if (c.target == "new" && ok) expected.insert("new");
    EXPECT_EQ(filesIn(dir), expected) << c.target;
    std::filesystem::remove(dir.path("new"));
  }
}

}  // namespace
