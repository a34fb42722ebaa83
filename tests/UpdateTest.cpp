// The update of an archive laid out as pieces, and the writer that makes a
// file whole or not at all, in a folder held open, over what it may replace.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "TestUtil.h"
#include "archive/NewFile.h"
#include "reader/ArchiveFiles.h"
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

// The target `name` in the scratch folder.
WriteTarget targetIn(const ScratchDir& dir, const std::string& name, bool replace) {
  WriteTarget target;
  EXPECT_TRUE(WriteTarget::at(dir.path(name), replace, &target)) << name;
  return target;
}

TEST(UpdatePlanTest, LaysOutTheNewArchiveOverTheOld) {
  const std::string renamed = scenarioText("KERV", {"a.qvd", "a.qvd", "a.qvd", "c.qvd", "b.zpt"});
  const std::string pkerv = scenarioText("PKERV", {"a.qvd"});
  const std::string shorter = scenarioText("KERV", {"a.qvd"});
  const std::string lf = "KERV 1.2 30.5\ntitle\n.\na.qvd\n.\n.\n";  // line 1 ends in LF alone
  const std::string odd = "KRV\1\2\3\4\5" + kOld.substr(8);  // bytes 3 to 7 are kept as they are
  struct Case {
    std::string old;
    const std::string* scenario;
    std::vector<std::pair<std::string, std::string>> replaced;  // name, new bytes
    std::string expected;                                       // the archive, or a part of the error
    std::vector<std::size_t> dropped;                           // old entries left out
  } cases[] = {
      {kOld, nullptr, {}, kOld, {}},
      {odd, nullptr, {}, odd, {}},
      {kOld, nullptr, {{"b.zpt", "NEW"}}, archive("KRV", kText, {"A1", "NEW", "A2"}), {}},
      {kOld, nullptr, {{"a.qvd", ""}}, archive("KRV", kText, {"", "B", ""}), {}},
      {kOld, &renamed, {{"c.qvd", "C"}}, archive("KRV", renamed, {"A1", "A2", "A1", "C", "B"}), {}},
      {kOld, &kText, {}, kOld, {}},
      // The second a.qvd and b.zpt are no longer listed.
      {kOld, &shorter, {}, archive("KRV", shorter, {"A1"}), {1, 2}},
      {kOld, &shorter, {{"a.qvd", "N"}}, archive("KRV", shorter, {"N"}), {1}},
      {kOld, &renamed, {}, "c.qvd is listed in the new scenario, but is neither in the archive nor given", {}},
      {kOld, nullptr, {{"\x8a\x43.qvd", "x"}}, "no data file \xe6\xb5\xb7.qvd in the archive", {}},
      {kOld, nullptr, {{"b.zpt", "1"}, {"b.zpt", "2"}}, "b.zpt is given twice", {}},
      {kOld, &renamed, {{"b.zpt", "x"}}, "c.qvd is listed", {}},
      {kOld, &pkerv, {}, "the new scenario is not for KERV", {}},
      {kOld, &lf, {}, "the new scenario is line 1 ends in LF alone", {}},
      {kOld + "junk", nullptr, {}, "the archive is damaged: offset 93: 4 bytes after the last data block", {}},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("old.krv", c.old);
    std::vector<UpdatePlan::Replacement> replaced;
    std::vector<std::unique_ptr<SystemFile>> files;
    PieceSources sources;
    for (const auto& [name, bytes] : c.replaced) {
      dir.write(std::to_string(files.size()), bytes);
      files.push_back(std::make_unique<SystemFile>());
      int64_t size = 0;
      ASSERT_TRUE(files.back()->openForReading(dir.path(std::to_string(files.size() - 1)).c_str(), &size));
      sources.files.push_back(files.back().get());
      replaced.push_back({name, size});
    }
    auto reader = std::make_unique<ArchiveReader>(dir.path("old.krv").c_str());
    const UpdatePlan plan(reader->archiveIndex(), c.scenario, replaced);
    if (c.expected.substr(0, 3) != "KRV") {
      EXPECT_NE(plan.error().find(c.expected), std::string::npos) << plan.error();
      continue;
    }
    ASSERT_EQ(plan.error(), "");
    EXPECT_EQ(plan.size(), static_cast<int64_t>(c.expected.size()));
    EXPECT_EQ(plan.unchanged(reader->size()), c.expected == c.old);
    std::vector<std::size_t> dropped;
    for (const UpdatePlan::Dropped& d : plan.dropped()) dropped.push_back(d.entry);
    EXPECT_EQ(dropped, c.dropped);
    FileIdentity old;
    ASSERT_TRUE(reader->file().identity(&old));
    sources.archive = &reader->file();
    PieceWriter writer(sources);
    writer.setBeforeReplacing([&] {
      reader.reset();
      return true;
    });  // Windows replaces no file that is open
    WriteTarget target = targetIn(dir, "old.krv", true);
    target.replaces = &old;
    ASSERT_TRUE(writer.write(plan.pieces(), target)) << writer.failure();
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
  dir.write("long", "1234567");
  const std::vector<Piece> pieces = {Piece::ofBytes("head:"), Piece::ofFile(0, 5)};
  SystemFile data, longer;
  int64_t size = 0;
  ASSERT_TRUE(data.openForReading(dir.path("data").c_str(), &size));
  ASSERT_TRUE(longer.openForReading(dir.path("long").c_str(), &size));
  SystemFile shorter;
  dir.write("short", "123");
  ASSERT_TRUE(shorter.openForReading(dir.path("short").c_str(), &size));
  FileIdentity dataIdentity;
  ASSERT_TRUE(data.identity(&dataIdentity));
  struct Case {
    std::string target;
    bool replace;
    const SystemFile* file;
    PieceWriter::Failure failure;
    int error;
    std::string expected;  // what the target holds afterwards
  } cases[] = {
      {"old", false, &data, PieceWriter::Failure::system, EEXIST, "precious"},
      {"new", false, &shorter, PieceWriter::Failure::changed, 0, ""},  // shorter than planned: it changed
      {"data", true, &data, PieceWriter::Failure::protected_, 0, "12345"},  // never over what is read
      {"new", false, &longer, PieceWriter::Failure::none, 0, "head:12345"},
      {"old", true, &data, PieceWriter::Failure::none, 0, "head:12345"},
  };
  for (const Case& c : cases) {
    PieceWriter writer({nullptr, {c.file}});
    writer.protect(dataIdentity, "a data file being read");
    const bool ok = writer.write(pieces, targetIn(dir, c.target, c.replace));
    EXPECT_EQ(ok, c.failure == PieceWriter::Failure::none) << c.target << ": " << writer.failure();
    EXPECT_EQ(writer.failureKind(), c.failure) << writer.failure();
    if (!ok) {
      EXPECT_EQ(writer.errorNumber(), c.error) << writer.failure();
    }
    if (!c.expected.empty()) {
      EXPECT_EQ(dir.read(c.target), c.expected);
    }
    // Nothing else is ever left in the folder.
    std::set<std::string> expected = {"old", "data", "long", "short"};
    if (c.target == "new" && ok) expected.insert("new");
    EXPECT_EQ(filesIn(dir), expected) << c.target;
    std::filesystem::remove(dir.path("new"));
  }
  WriteTarget missing;
  EXPECT_FALSE(WriteTarget::at(dir.path("missing/x"), true, &missing));
  EXPECT_EQ(errno, ENOENT);
}

TEST(PieceWriterTest, AFileReplacedInPlaceMustStillBeTheOneRead) {
  ScratchDir dir;
  dir.write("a.krv", "old");
  FileIdentity read;
  {
    SystemFile file;
    int64_t size = 0;
    ASSERT_TRUE(file.openForReading(dir.path("a.krv").c_str(), &size));
    ASSERT_TRUE(file.identity(&read));
  }
  // Another program replaced it meanwhile: its change stays.
  std::filesystem::remove(dir.path("a.krv"));
  dir.write("a.krv", "theirs");
  WriteTarget target = targetIn(dir, "a.krv", true);
  target.replaces = &read;
  PieceWriter writer({});
  EXPECT_FALSE(writer.write({Piece::ofBytes("mine")}, target));
  EXPECT_EQ(writer.failureKind(), PieceWriter::Failure::changed);
  EXPECT_EQ(dir.read("a.krv"), "theirs");
  EXPECT_EQ(filesIn(dir), std::set<std::string>{"a.krv"});
}

#if !defined(_WIN32)
TEST(PieceWriterTest, NewFilesHave0664LessTheUmaskAndReplacementsKeepTheOldBits) {
  ScratchDir dir;
  const mode_t mask = ::umask(022);
  struct Case {
    const char* name;
    mode_t old;       // 0: a new file
    mode_t expected;
  } cases[] = {{"new", 0, 0644}, {"private", 0600, 0600}, {"shared", 0660, 0660}, {"read-only", 0444, 0444}};
  for (const Case& c : cases) {
    FileIdentity old;
    WriteTarget target = targetIn(dir, c.name, c.old != 0);
    if (c.old != 0) {
      dir.write(c.name, "old");
      ::chmod(dir.path(c.name).c_str(), c.old);
      ASSERT_TRUE(target.folder->identityOf(c.name, &old));
      target.replaces = &old;
    }
    PieceWriter writer({});
    ASSERT_TRUE(writer.write({Piece::ofBytes("new")}, target)) << writer.failure();
    struct stat st;
    ASSERT_EQ(::stat(dir.path(c.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected) << c.name;
    EXPECT_EQ(writer.note(), "") << c.name;
  }
  ::umask(mask);
}
#endif

TEST(BatchWriterTest, AFileWhoseWriteFailedIsNeverLinked) {
  ScratchDir dir;
  dir.write("short", "12");
  SystemFile shorter;
  int64_t size = 0;
  ASSERT_TRUE(shorter.openForReading(dir.path("short").c_str(), &size));
  PieceWriter writer({&shorter, {}});
  {
    BatchWriter batch(writer);
    EXPECT_TRUE(batch.add({Piece::ofArchive(0, 2)}, targetIn(dir, "whole", false)));
    EXPECT_FALSE(batch.add({Piece::ofArchive(0, 5)}, targetIn(dir, "partial", false)));
    EXPECT_TRUE(batch.finish().empty());
  }
  EXPECT_EQ(filesIn(dir), (std::set<std::string>{"short", "whole"}));
  EXPECT_EQ(dir.read("whole"), "12");
}

TEST(ExtractFoldersTest, FoldersAreMadeBeneathTheTopAndNeverThroughALink) {
  ScratchDir dir;
  dir.write("file", "x");
  std::filesystem::create_directory(dir.path("out"));
  std::filesystem::create_directory(dir.path("elsewhere"));
#if !defined(_WIN32)
  std::filesystem::create_directory_symlink(dir.path("elsewhere"), dir.path("out/link"));
#endif
  auto top = std::make_shared<SystemFolder>();
  ASSERT_TRUE(top->open(dir.path("out"), false));
  ExtractFolders folders(top);
  struct Case {
    std::string path;
    int error;  // 0: the target's folder is made
  } cases[] = {
      {"a.qvd", 0},
      {"sub/deeper/b.qvd", 0},
      {"sub/c.qvd", 0},
#if !defined(_WIN32)
      {"link/d.qvd", ELOOP},
      {"link/new/e.qvd", ELOOP},
#endif
  };
  for (const Case& c : cases) {
    WriteTarget target;
    EXPECT_EQ(folders.targetFor(c.path, false, &target), c.error == 0) << c.path;
    if (c.error != 0) {
      EXPECT_EQ(errno, c.error) << c.path;
      continue;
    }
    PieceWriter writer({});
    ASSERT_TRUE(writer.write({Piece::ofBytes(c.path)}, target)) << writer.failure();
    EXPECT_EQ(dir.read("out/" + c.path), c.path);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path("elsewhere")));
}

}  // namespace
