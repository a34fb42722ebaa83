// What a write keeps and leaves: a file that replaces another is private
// until it has that one's permissions, the replacement happens only over
// the file expected, and the sweep of temporaries takes only its own.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "TestUtil.h"
#include "archive/NewFile.h"
#include "archive/SystemFolder.h"
#include "archive/Temporaries.h"
#include "reader/PieceWriter.h"

namespace {

#if !defined(_WIN32)

uint32_t modeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

ino_t inodeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(PrivateWriteTest, AFileThatReplacesAnotherIsItsOwnersAloneUntilComplete) {
  ScratchDir dir;
  struct Case {
    const char* what;
    bool exists;       // the target is there
    bool inPlace;      // replaced as an update does (replaces set)
    uint32_t oldMode;  // of what is there
  } cases[] = {
      {"a new file", false, false, 0},
      {"a file replaced with --force", true, false, 0640},
      {"an archive updated in place", true, true, 0604},
  };
  for (const Case& c : cases) {
    const std::string path = dir.path("t");
    std::filesystem::remove(path);
    FileIdentity old;
    if (c.exists) {
      dir.write("t", "old");
      ASSERT_EQ(::chmod(path.c_str(), c.oldMode), 0);
      SystemFile f;
      int64_t size = 0;
      ASSERT_TRUE(f.openForReading(path.c_str(), &size));
      f.identity(&old);
    }
    WriteTarget target;
    ASSERT_TRUE(WriteTarget::at(path, true, &target));
    if (c.inPlace) target.replaces = &old;
    PieceWriter writer({});
    uint32_t whileWritten = 0;
    ASSERT_TRUE(writer.writeWith(target, [&](NewFile& out) {
      struct stat st;
      whileWritten = ::fstat(static_cast<int>(out.written().nativeHandle()), &st) == 0 ? st.st_mode & 07777 : 0;
      return out.append("new", 3);
    })) << c.what << ": " << writer.failure();
    EXPECT_EQ(dir.read("t"), "new") << c.what;
    if (c.exists) {
      EXPECT_EQ(whileWritten, 0600u) << c.what;
      EXPECT_EQ(modeOf(path), c.oldMode) << c.what;
    } else {
      EXPECT_EQ(whileWritten, SystemFile::lessUmask(0664)) << c.what;
      EXPECT_EQ(modeOf(path), SystemFile::lessUmask(0664)) << c.what;
    }
  }
}

TEST(PrivateWriteTest, OnlyARegularFileIsReplaced) {
  ScratchDir dir;
  ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("elsewhere", dir.path("link").c_str()), 0);
  std::filesystem::create_directory(dir.path("folder"));
  for (const char* name : {"fifo", "link", "folder"}) {
    WriteTarget target;
    ASSERT_TRUE(WriteTarget::at(dir.path(name), true, &target));
    PieceWriter writer({});
    EXPECT_FALSE(writer.write({Piece::ofBytes("x")}, target)) << name;
    EXPECT_EQ(writer.failureKind(), PieceWriter::Failure::notRegular) << name;
  }
  struct stat st;
  EXPECT_TRUE(::lstat(dir.path("fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(::lstat(dir.path("link").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}

TEST(PrivateWriteTest, TheReplacementHappensOnlyOverTheFileExpected) {
  ScratchDir dir;
  // The file an update read, then another put in its place meanwhile (a mv).
  dir.write("a.krv", "read");
  SystemFile read;
  int64_t size = 0;
  ASSERT_TRUE(read.openForReading(dir.path("a.krv").c_str(), &size));
  FileIdentity expected;
  read.identity(&expected);
  dir.write("other", "another program's");
  std::filesystem::rename(dir.path("other"), dir.path("a.krv"));
  const ino_t theirs = inodeOf(dir.path("a.krv"));

  SystemFolder folder;
  ASSERT_TRUE(folder.open(dir.path(""), false));
  SystemFile out;
  ASSERT_TRUE(out.createUnnamed(folder, "a.krv", true));
  ASSERT_EQ(out.write("mine", 4), 4);
  bool changed = false;
  EXPECT_FALSE(out.linkInPlace(true, false, &expected, &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(errno, ESTALE);
  EXPECT_EQ(dir.read("a.krv"), "another program's");
  EXPECT_EQ(inodeOf(dir.path("a.krv")), theirs);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("")), {}), 1) << "nothing left beside it";

  // The file expected, unchanged: replaced.
  FileIdentity now;
  SystemFile again;
  ASSERT_TRUE(again.openForReading(dir.path("a.krv").c_str(), &size));
  again.identity(&now);
  SystemFile next;
  ASSERT_TRUE(next.createUnnamed(folder, "a.krv", true));
  ASSERT_EQ(next.write("mine", 4), 4);
  EXPECT_TRUE(next.linkInPlace(true, false, &now, &changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(dir.read("a.krv"), "mine");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("")), {}), 1);
}

TEST(TemporariesTest, OnlyTheExactNamesAWriteOfThatFileGivesAreItsOwn) {
  const long most = 32768;
  struct Case {
    const char* hidden;
    const char* name;
    long pid;  // -1: not a temporary of `name`
  } cases[] = {
      {".a.krv.kerv-123-0", "a.krv", 123},
      {".a.krv.kerv-32768-4294967295", "a.krv", 32768},
      {".a.krv.kerv-32769-0", "a.krv", -1},           // above the largest process number
      {".a.krv.kerv-4000000-2", "a.krv", -1},
      {".a.krv.kerv-0123-0", "a.krv", -1},            // leading zeros are never written
      {".a.krv.kerv-123-01", "a.krv", -1},
      {".a.krv.kerv-123-4294967296", "a.krv", -1},    // N past an unsigned int
      {".a.krv.kerv-0-1", "a.krv", -1},
      {".a.krv.kerv-123-", "a.krv", -1},
      {".a.krv.kerv-123-1x", "a.krv", -1},
      {".a.krv.kerv-123-1", "b.krv", -1},             // another file's
      {".story.kerv-20240601-1", "story", -1},
      {"..kerv-77777-0", "", -1},
      {".thesis.kerv-31000-2", "thesis", 31000},      // the form: whose it is, the sweep asks the file
      {"a.krv.kerv-123-0", "a.krv", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(temporaries::processOf(c.hidden, c.name, most), c.pid) << c.hidden;
  // A name cut to 128 bytes, as nameFor cuts it.
  const std::string longName(200, 'n');
  EXPECT_EQ(temporaries::processOf(temporaries::nameFor(longName, 77, 3), longName, most), 77);
}

TEST(TemporariesTest, TheSweepRemovesALeftoverOfTheFileWrittenAndNothingElse) {
  ScratchDir dir;
  // A process number that no process has: one that ended.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  int status = 0;
  ::waitpid(child, &status, 0);
  const std::string dead = std::to_string(child);
  const std::string alive = std::to_string(::getpid());
  const std::string own = ".a.krv.kerv-" + dead + "-0";
  const std::string kept[] = {
      ".a.krv.kerv-" + alive + "-0",          // its process runs
      ".a.krv.kerv-0" + dead + "-0",          // not a name kerv gives
      ".b.krv.kerv-" + dead + "-0",           // another file's
      ".a.krv.kerv-" + dead + "-1",           // locked by a process that still writes it
      ".a.krv.kerv-99999999-0",               // no process number
      "..kerv-" + dead + "-0",
  };
  dir.write(own, "left by a kill");
  for (const std::string& name : kept) dir.write(name, "not kerv's to remove");
  const int held = ::open(dir.path(kept[3]).c_str(), O_RDWR);
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &lock), 0);

  SystemFolder folder;
  ASSERT_TRUE(folder.open(dir.path(""), false));
  WriteTarget target;
  ASSERT_TRUE(WriteTarget::at(dir.path("a.krv"), true, &target));
  PieceWriter writer({});
  ASSERT_TRUE(writer.write({Piece::ofBytes("new")}, target)) << writer.failure();
  ::close(held);
  EXPECT_FALSE(std::filesystem::exists(dir.path(own)));
  for (const std::string& name : kept) EXPECT_TRUE(std::filesystem::exists(dir.path(name))) << name;
}

#endif

}  // namespace
