#include "reader/ArchiveIndex.h"

#include <algorithm>

#include "archive/Container.h"

namespace {

constexpr int64_t kScenarioOffset = container::kHeaderSize + 2;

using Code = Problem::Code;

}  // namespace

ArchiveIndex::ArchiveIndex(int64_t size) : size_(size), need{0, std::min<int64_t>(size, kScenarioOffset)} {
  if (need.length == 0) takeHeader(nullptr);
}

void ArchiveIndex::supply(int64_t offset, const char* bytes, int64_t n) {
  while (need.length > 0 && need.offset >= offset && need.offset + need.length <= offset + n) {
    const char* p = bytes + (need.offset - offset);
    switch (step) {
      case Step::header:
        takeHeader(p);
        break;
      case Step::scenario:
        takeScenario(p);
        break;
      case Step::sizeField:
        takeSizeField(reinterpret_cast<const unsigned char*>(p));
        break;
      case Step::done:
        return;
    }
  }
}

const char* ArchiveIndex::nextPart() const {
  return step == Step::header ? "the header" : step == Step::scenario ? "the scenario" : "a block size";
}

void ArchiveIndex::takeHeader(const char* header) {
  const int64_t got = need.length;
  dialect_ = got > 0 ? dialectOfArchive(header, static_cast<long>(got)) : nullptr;
  if (dialect_ == nullptr && got >= container::kMagicLength) return fail(Problem::of(Code::notAnArchive));
  if (got < kScenarioOffset) return fail(Problem::of(Code::cutInHeader, size_));
  head_.assign(header, static_cast<std::size_t>(kScenarioOffset));
  const int64_t length = (header[8] & 0xFF) | (header[9] & 0xFF) << 8;
  if (length > size_ - kScenarioOffset) return fail(Problem::of(Code::cutInScenario, size_ - kScenarioOffset, length));
  step = Step::scenario;
  need = {kScenarioOffset, length};
  if (length == 0) takeScenario(nullptr);
}

void ArchiveIndex::takeScenario(const char* text) {
  scenarioText_.assign(text != nullptr ? text : "", static_cast<std::size_t>(need.length));
  const int length = static_cast<int>(scenarioText_.size());
  scenario_ = dialect_->makeScenario(scenarioText_.data(), length);
  // A scenario of the other dialect is a finding; its lists are still
  // walked as its own dialect lays them out, so that its blocks are found.
  const Dialect* lists = dialect_;
  if (!scenario_->startsWith(dialect_->scenarioMagic)) {
    addDamage(kScenarioOffset, Problem::named(Code::wrongScenario, dialect_->name, dialect_->scenarioMagic));
    if (const Dialect* own = dialectOfScenario(scenarioText_.data(), length)) lists = own;
  }
  // The walk cuts entries in its scenario's text: it gets a copy of its own,
  // so that scenario() hands out lists that are still whole.
  std::unique_ptr<Scenario> walk = lists->makeScenario(scenarioText_.data(), length);
  while (const char* name = walk->nextFileName()) names.emplace_back(name);
  step = Step::sizeField;
  askForSizeField(kScenarioOffset + need.length);
}

void ArchiveIndex::askForSizeField(int64_t at) {
  const int64_t i = static_cast<int64_t>(entries_.size()), total = static_cast<int64_t>(names.size());
  const int64_t left = size_ - at;
  if (i == total) {
    if (left > 0) addDamage(at, Problem::of(Code::bytesAfterBlocks, left));
    return finish();
  }
  if (left == 0) {
    addDamage(at, Problem::of(Code::blocksMissing, total - i, total, i));
    return finish();
  }
  if (left < 4) {
    addDamage(at, Problem::of(Code::endsInSizeField, i + 1, total - i, total));
    return finish();
  }
  need = {at, 4};
}

void ArchiveIndex::takeSizeField(const unsigned char* field) {
  const int64_t at = need.offset, left = size_ - at - 4;
  const int64_t block = static_cast<int64_t>(entries_.size()) + 1;
  const uint32_t size = field[0] | field[1] << 8 | field[2] << 16 | static_cast<uint32_t>(field[3]) << 24;
  if (size & 0x80000000u) {
    addDamage(at, Problem::of(Code::badBlockSize, block, size));
    return finish();
  }
  if (size > left) {
    addDamage(at, Problem::of(Code::blockRunsPast, block, size, size - left));
    return finish();
  }
  const std::string& name = names[entries_.size()];
  byName.emplace(name, entries_.size());  // keeps the first of a repeated name
  entries_.push_back({name, at + 4, static_cast<int32_t>(size)});
  askForSizeField(at + 4 + size);
}

void ArchiveIndex::fail(Problem problem) {
  error_ = problem.english();
  problem_ = std::move(problem);
  finish();
}

void ArchiveIndex::finish() {
  // Each listed data file past the last whole block, by name.
  const int64_t badBlock = !findings_.empty() && findings_.back().code == Problem::Code::badBlockSize
                               ? findings_.back().n[0] : 0;
  for (std::size_t i = entries_.size(); step == Step::sizeField && i < names.size(); ++i) {
    findings_.push_back(Problem::named(Problem::Code::noBlock, names[i], {}, size_));
    findings_.back().n[1] = badBlock;
    damage_.push_back(findings_.back().english());
  }
  step = Step::done;
  need = {0, 0};
}

void ArchiveIndex::addDamage(int64_t offset, Problem finding) {
  finding.offset = offset;
  damage_.push_back(finding.english());
  findings_.push_back(std::move(finding));
}

std::string ArchiveIndex::version() const {
  return std::to_string(scenario_->getMajorVersion()) + "." + std::to_string(scenario_->getMinorVersion());
}

const ArchiveEntry* ArchiveIndex::find(const std::string& name) const {
  auto it = byName.find(name);
  return it == byName.end() ? nullptr : &entries_[it->second];
}
