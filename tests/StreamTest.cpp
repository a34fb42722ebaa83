// The measured input stream, the exclusive output stream and block copies.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <climits>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "archive/KervInputStream.h"
#include "archive/KervOutputStream.h"

// The kernel's copy calls of the code under test come here first (the test
// program's definitions take precedence over the C library's): they count
// the calls, and answer 0 when told to.
int rangeCopies = 0;
int splices = 0;
bool kernelAnswersZero = false;

#if defined(__linux__)
extern "C" ssize_t copy_file_range(int in, off64_t* inAt, int out, off64_t* outAt, size_t n, unsigned flags) {
  ++rangeCopies;
  return kernelAnswersZero ? 0 : syscall(SYS_copy_file_range, in, inAt, out, outAt, n, flags);
}

extern "C" ssize_t splice(int in, off64_t* inAt, int out, off64_t* outAt, size_t n, unsigned flags) {
  ++splices;
  return kernelAnswersZero ? 0 : syscall(SYS_splice, in, inAt, out, outAt, n, flags);
}
#endif

namespace {

std::string bytesOf(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

TEST(KervInputStreamTest, ReadsLittleEndianIntegers) {
  ScratchDir dir;
  dir.write("f", bytesOf({0x01, 0x02, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80,
                          0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));
  KervInputStream in(dir.path("f").c_str(), std::ios_base::in);
  EXPECT_EQ(in.getRemaining(), 17);
  EXPECT_EQ(in.get16(), 513);
  EXPECT_EQ(in.get16(), 65535);
  EXPECT_EQ(in.get32(), 65536);
  EXPECT_EQ(in.get32(), INT_MIN);
  EXPECT_EQ(in.get32(), -1);
  EXPECT_EQ(in.get8(), 0x7F);
  EXPECT_EQ(in.getRemaining(), 0);
}

TEST(KervInputStreamTest, CountsEveryByte) {
  ScratchDir dir;
  dir.write("f", "abc");
  KervInputStream in(dir.path("f").c_str(), std::ios_base::in);
  char buffer[3];
  in.read(buffer, 0);
  EXPECT_EQ(in.getRemaining(), 3);
  in.read(buffer, 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_EQ(in.getRemaining(), 0);
  in.require(0);
}

TEST(KervInputStreamDeathTest, EndsTheRunOnAMissingOrShortFile) {
  ScratchDir dir;
  dir.write("three", "abc");
  dir.write("empty", "");
  std::string three = dir.path("three"), empty = dir.path("empty"), missing = dir.path("missing");
  char buffer[8];
  EXPECT_EXIT(KervInputStream(missing.c_str(), std::ios_base::in), testing::ExitedWithCode(kFatalStatus),
              "^Can't open .*missing\\.\n$");
  EXPECT_EXIT(KervInputStream(dir.path("").c_str(), std::ios_base::in), testing::ExitedWithCode(kFatalStatus),
              "Can't open .*\\.\n$");  // a directory is no regular file
  EXPECT_EXIT(KervInputStream(empty.c_str(), std::ios_base::in).get8(), testing::ExitedWithCode(kFatalStatus),
              "^Unexpected end of file\\.\n$");
  EXPECT_EXIT(
      {
        KervInputStream in(three.c_str(), std::ios_base::in);
        for (int i = 0; i < 3; ++i) in.get8();
        in.get8();
      },
      testing::ExitedWithCode(kFatalStatus), "^Unexpected end of file\\.\n$");
  EXPECT_EXIT(KervInputStream(three.c_str(), std::ios_base::in).read(buffer, 4), testing::ExitedWithCode(kFatalStatus),
              "^Unexpected end of file\\.\n$");
  EXPECT_EXIT(KervInputStream(three.c_str(), std::ios_base::in).read(buffer, -1), testing::ExitedWithCode(kFatalStatus),
              "^Unexpected end of file\\.\n$");
  EXPECT_EXIT(KervInputStream(three.c_str(), std::ios_base::in).copyTo(nullptr, 4), testing::ExitedWithCode(kFatalStatus),
              "^Unexpected end of file\\.\n$");
}

TEST(KervOutputStreamTest, WritesLittleEndianIntegers) {
  ScratchDir dir;
  KervOutputStream out(dir.path("f").c_str(), std::ios_base::out);
  out.put16(32767);
  out.put16(-32768);
  out.put16(-2);
  out.put32(2147483647);
  out.put32(-2147483647);
  out.put32(1000);
  out.close();
  EXPECT_FALSE(out.fail());
  EXPECT_EQ(dir.read("f"), bytesOf({0xFF, 0x7F, 0x00, 0x80, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x00,
                                    0x00, 0x80, 0xE8, 0x03, 0x00, 0x00}));
}

TEST(KervOutputStreamDeathTest, IntegerRangesAreAsserted) {
  ScratchDir dir;
  std::string name = dir.path("f");
  EXPECT_DEATH(KervOutputStream(name.c_str(), std::ios_base::out).put16(32768), "data<=32767");
  EXPECT_DEATH(KervOutputStream(name.c_str(), std::ios_base::out).put16(-32769), "-32768<=data");
  EXPECT_DEATH(KervOutputStream(name.c_str(), std::ios_base::out).put32(INT_MIN), "-2147483647<=data");
}

TEST(KervOutputStreamTest, NeverReplacesAnything) {
  ScratchDir dir;
  dir.write("existing", "keep");
  std::vector<const char*> names = {"existing", "missing-dir/f"};
#if !defined(_WIN32)  // making a symbolic link takes a privilege on Windows
  ASSERT_EQ(symlink(dir.path("target").c_str(), dir.path("dangling").c_str()), 0);
  names.push_back("dangling");
#endif
  for (const char* name : names) {
    KervOutputStream out(dir.path(name).c_str(), std::ios_base::out);
    EXPECT_TRUE(out.fail()) << name;
    out.put32(1);
    out.close();
  }
  EXPECT_EQ(dir.read("existing"), "keep");
  EXPECT_FALSE(std::filesystem::exists(dir.path("target")));
}

TEST(KervOutputStreamTest, CreatesWithPermission0664LessTheUmask) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows files have no permission bits";
#else
  ScratchDir dir;
  for (mode_t mask : {002, 022, 077}) {
    std::string name = dir.path("f" + std::to_string(mask));
    mode_t saved = umask(mask);
    KervOutputStream out(name.c_str(), std::ios_base::out);
    umask(saved);
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664 & ~mask) << mask;
  }
#endif
}

#if !defined(_WIN32)
void limitFileSizeTo1000() {
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = 1000;
  setrlimit(RLIMIT_FSIZE, &limit);
}

// Writes 5000 bytes under a file-size limit of 1000; exits 3 when the
// stream reports the failure with EFBIG.
void writePastTheLimit(const std::string& name) {
  limitFileSizeTo1000();
  KervOutputStream out(name.c_str(), std::ios_base::out);
  std::string block(5000, 'x');
  out.write(block.data(), static_cast<std::streamsize>(block.size()));
  out.close();
  std::exit(out.fail() && errno == EFBIG ? 3 : 4);
}

// The same through the file buffer alone, with a flush that fails before
// the close: exits 3 when close() still reports the failed write.
void flushPastTheLimitThenClose(const std::string& name) {
  limitFileSizeTo1000();
  FileBuffer file;
  std::string block(5000, 'x');
  bool flushFailed = file.createNew(name.c_str()) &&
                     file.sputn(block.data(), static_cast<std::streamsize>(block.size())) == 5000 &&
                     file.pubsync() != 0;
  std::exit(flushFailed && !file.close() && errno == EFBIG ? 3 : 4);
}

#endif

TEST(KervOutputStreamDeathTest, AWriteBeyondTheFileSizeLimitFails) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows sets no file-size limit on a process (no RLIMIT_FSIZE, no SIGXFSZ)";
#else
  ScratchDir dir;
  EXPECT_EXIT(writePastTheLimit(dir.path("f")), testing::ExitedWithCode(3), "");
  EXPECT_EXIT(flushPastTheLimitThenClose(dir.path("g")), testing::ExitedWithCode(3), "");
#endif
}

// How blocks may move: through memory only; inside the kernel; or inside a
// kernel that answers its copies with 0 before a file's end, as some file
// systems do.
enum class Kernel { off, on, answersZero };

class BlockCopyTest : public testing::TestWithParam<Kernel> {
 protected:
  void SetUp() override {
#if !defined(__linux__)
    if (GetParam() != Kernel::off) GTEST_SKIP() << "only Linux copies between files inside the kernel";
#endif
    FileBuffer::allowKernelCopy(GetParam() != Kernel::off);
    kernelAnswersZero = GetParam() == Kernel::answersZero;
    rangeCopies = splices = 0;
  }
  void TearDown() override {
    FileBuffer::allowKernelCopy(true);
    kernelAnswersZero = false;
  }
};

INSTANTIATE_TEST_SUITE_P(Kernel, BlockCopyTest, testing::Values(Kernel::off, Kernel::on, Kernel::answersZero));

TEST_P(BlockCopyTest, CopiesAndDropsBlocksOfEverySize) {
  // Blocks small and large, read after a buffered integer so that part of
  // each comes from what the reader has already read ahead. Each copy goes
  // after a prefix that puts it at an offset agreeing with its source's
  // modulo 64 KiB (even blocks: the kernel's file-to-file copy) or not (odd
  // blocks: through a pipe).
  std::vector<int> sizes = {0, 1, 5, 65535, 65536, 65537, 1 << 20, 600000};
  std::string archive;
  std::vector<std::string> blocks;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    std::string block(static_cast<std::size_t>(sizes[i]), '\0');
    for (std::size_t j = 0; j < block.size(); ++j) block[j] = static_cast<char>((j * 7 + i) % 251);
    blocks.push_back(block);
    archive += bytesOf({sizes[i] & 0xFF, (sizes[i] >> 8) & 0xFF, (sizes[i] >> 16) & 0xFF, 0}) + block;
  }
  ScratchDir dir;
  dir.write("archive", archive);
  KervInputStream in(dir.path("archive").c_str(), std::ios_base::in);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    int size = in.get32();
    ASSERT_EQ(size, sizes[i]);
    if (i % 3 == 2) {
      in.copyTo(nullptr, size);
      continue;
    }
    std::string name = dir.path("b" + std::to_string(i));
    std::string prefix(i % 2 == 0 ? (archive.size() - static_cast<std::size_t>(in.getRemaining())) % 65536 : 3, 'p');
    KervOutputStream out(name.c_str(), std::ios_base::out);
    out.write(prefix.data(), static_cast<std::streamsize>(prefix.size()));
    in.copyTo(&out, size);
    out.close();
    EXPECT_FALSE(out.fail());
    EXPECT_EQ(dir.read("b" + std::to_string(i)), prefix + blocks[i]) << sizes[i];
  }
  EXPECT_EQ(in.getRemaining(), 0);
  // The two large blocks went through the kernel, each its own way, unless
  // the kernel answered 0 once: the rest then went through memory.
  const std::pair<bool, bool> used = {rangeCopies > 0, splices > 0};
  EXPECT_EQ(used, std::pair(GetParam() != Kernel::off, GetParam() == Kernel::on));
}

TEST_P(BlockCopyTest, AFileThatShrankAfterItWasMeasuredEndsTheRun) {
  ScratchDir dir;
  dir.write("data", std::string(300000, 'd'));
  std::string data = dir.path("data"), copy = dir.path("copy");
  EXPECT_EXIT(
      {
        KervInputStream in(data.c_str(), std::ios_base::in);
        std::error_code error;
        std::filesystem::resize_file(data, 1000, error);
        if (error) std::exit(9);
        KervOutputStream out(copy.c_str(), std::ios_base::out);
        in.copyTo(&out, in.getRemaining());
      },
      testing::ExitedWithCode(kFatalStatus), "^Unexpected end of file\\.\n$");
}

}  // namespace
