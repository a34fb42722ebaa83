#include "reader/ArchiveReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/Container.h"

namespace {

constexpr int64_t kScenarioOffset = container::kHeaderSize + 2;

std::string plural(int64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

ArchiveReader::ArchiveReader(const char* path) : path_(path) {
  // O_NONBLOCK: a FIFO without a writer must not block the open; it is
  // refused below as not regular.
  fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw ArchiveError(path_, std::strerror(errno), errno);
  try {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw ArchiveError(path_, std::strerror(errno), errno);
    if (S_ISDIR(st.st_mode)) throw ArchiveError(path_, std::strerror(EISDIR), EISDIR);
    if (!S_ISREG(st.st_mode)) throw ArchiveError(path_, "not a regular file", EINVAL);
    size_ = st.st_size;

    char header[kScenarioOffset];
    int64_t got = std::min<int64_t>(size_, kScenarioOffset);
    readAt(0, header, got, "the header");
    dialect_ = dialectOfArchive(header, static_cast<long>(got));
    if (dialect_ == nullptr && got >= container::kMagicLength) {
      throw ArchiveError(path_, "not a KERV or P-KERV archive: it does not start with KRV or PKV");
    }
    if (got < kScenarioOffset) {
      throw ArchiveError(path_, "cut short in its header: " + plural(size_, "byte") + ", where the header has " +
                                    std::to_string(kScenarioOffset));
    }

    int64_t length = (header[8] & 0xFF) | (header[9] & 0xFF) << 8;
    if (length > size_ - kScenarioOffset) {
      throw ArchiveError(path_, "cut short in its scenario: " + plural(size_ - kScenarioOffset, "byte") +
                                    " at offset " + std::to_string(kScenarioOffset) + ", where the scenario has " + std::to_string(length));
    }
    scenarioText_.resize(static_cast<std::size_t>(length));
    readAt(kScenarioOffset, scenarioText_.data(), length, "the scenario");
    scenario_ = dialect_->makeScenario(scenarioText_.data(), static_cast<int>(length));
    if (!scenario_->startsWith(dialect_->scenarioMagic)) {
      addDamage(kScenarioOffset, std::string("the scenario is not for ") + dialect_->name +
                                     ": it does not start with " + dialect_->scenarioMagic);
    }
    indexBlocks(kScenarioOffset + length);
    for (std::size_t i = 0; i < entries_.size(); ++i) byName.emplace(entries_[i].name, i);  // keeps the first
  } catch (...) {
    ::close(fd);
    throw;
  }
}

ArchiveReader::~ArchiveReader() { ::close(fd); }

void ArchiveReader::indexBlocks(int64_t at) {
  // The walk cuts entries in its scenario's text: it gets a copy of its own,
  // so that scenario() hands out lists that are still whole.
  std::unique_ptr<Scenario> walk = dialect_->makeScenario(scenarioText_.data(), static_cast<int>(scenarioText_.size()));
  std::vector<const char*> names;
  while (const char* name = walk->nextFileName()) names.push_back(name);

  const int64_t total = static_cast<int64_t>(names.size());
  for (int64_t i = 0; i < total; ++i) {
    const int64_t left = size_ - at;
    const std::string block = "data block " + std::to_string(i + 1);
    const std::string missing = std::to_string(total - i) + " of " + plural(total, "data block") + " missing";
    if (left == 0) {
      addDamage(at, missing + ": the archive ends after " + plural(i, "block"));
      return;
    }
    if (left < 4) {
      addDamage(at, "the archive ends inside the size of " + block + "; " + missing);
      return;
    }
    unsigned char field[4];
    readAt(at, reinterpret_cast<char*>(field), 4, "a block size");
    uint32_t size = field[0] | field[1] << 8 | field[2] << 16 | static_cast<uint32_t>(field[3]) << 24;
    if (size & 0x80000000u) {
      addDamage(at, block + " has a bad size, " + std::to_string(size) + " (its top bit is set)");
      return;
    }
    if (size > left - 4) {
      addDamage(at, block + " of " + plural(size, "byte") + " runs " + plural(size - (left - 4), "byte") +
                        " past the end of the archive");
      return;
    }
    entries_.push_back({names[static_cast<std::size_t>(i)], at + 4, static_cast<int32_t>(size)});
    at += 4 + size;
  }
  if (at < size_) addDamage(at, plural(size_ - at, "byte") + " after the last data block");
}

void ArchiveReader::addDamage(int64_t offset, const std::string& what) {
  damage_.push_back("offset " + std::to_string(offset) + ": " + what);
}

std::string ArchiveReader::version() const {
  return std::to_string(scenario_->getMajorVersion()) + "." + std::to_string(scenario_->getMinorVersion());
}

const ArchiveEntry* ArchiveReader::find(const char* name) const {
  auto it = byName.find(name);
  return it == byName.end() ? nullptr : &entries_[it->second];
}

int64_t ArchiveReader::read(const ArchiveEntry& entry, int64_t from, char* buffer, int64_t n) const {
  if (from < 0 || n < 0) throw std::invalid_argument("a read's start and count must not be negative");
  if (from >= entry.size) return 0;
  int64_t count = std::min<int64_t>(n, entry.size - from);
  readAt(entry.offset + from, buffer, count, "a data block");
  return count;
}

void ArchiveReader::readAt(int64_t at, char* p, int64_t n, const char* what) const {
  while (n > 0) {
    // pread takes at most about 2 GiB at a time.
    ssize_t r = ::pread(fd, p, static_cast<std::size_t>(std::min<int64_t>(n, int64_t{1} << 30)), at);
    if (r < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      throw ArchiveError(path_, std::string("cannot read ") + what + ": " + std::strerror(e), e);
    }
    if (r == 0) {
      throw ArchiveError(path_, std::string("the file ends inside ") + what + ": it is shorter than when it was opened");
    }
    p += r;
    at += r;
    n -= r;
  }
}
