#include "reader/ArchiveDiff.h"

#include <algorithm>
#include <unordered_map>

#include "archive/Container.h"
#include "scenario/Cp932.h"

namespace {

// A copy costs an instruction and an address: below this, new bytes are
// written as they are.
constexpr int64_t kShortestCopy = 8;

}  // namespace

std::string ArchiveDiff::Change::english() const {
  const std::string shown = cp932::toUtf8(name, cp932::Undecodable::escape);
  switch (kind) {
    case Kind::header: return "header: changed (bytes 3 to 7)";
    case Kind::scenario:
      return "scenario: changed (" + std::to_string(oldSize) + " -> " + std::to_string(newSize) + " bytes)";
    case Kind::changed:
      return shown + ": changed (" + std::to_string(oldSize) + " -> " + std::to_string(newSize) + " bytes)";
    case Kind::added: return shown + ": added (" + std::to_string(newSize) + " bytes)";
    case Kind::removed: return shown + ": removed";
  }
  return "";
}

ArchiveDiff::ArchiveDiff(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex, BlockCompare& compare) {
  build(oldIndex, newIndex, compare);
  std::string why;
  if (!problem_ && compare.failed(&why)) problem_ = Problem::named(Problem::Code::cannotRead, why);
  if (problem_) {
    changes_.clear();
    pieces_.clear();
  }
}

void ArchiveDiff::appendShared(int64_t oldAt, int64_t oldLength, int64_t at, int64_t length, int64_t prefix,
                               int64_t suffix) {
  prefix = std::min({prefix, oldLength, length});
  suffix = std::min({suffix, oldLength - prefix, length - prefix});
  if (prefix < kShortestCopy) prefix = 0;
  if (suffix < kShortestCopy) suffix = 0;
  appendPiece(pieces_, Piece::ofArchive(oldAt, prefix));
  appendPiece(pieces_, Piece::ofFile(0, length - prefix - suffix, at + prefix));
  appendPiece(pieces_, Piece::ofArchive(oldAt + oldLength - suffix, suffix));
}

void ArchiveDiff::build(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex, BlockCompare& compare) {
  using Code = Problem::Code;
  for (const auto& [index, which] : {std::pair{&oldIndex, "old"}, std::pair{&newIndex, "new"}}) {
    if (index->problem()) {
      problem_ = index->problem();
      problem_.other = which;
      return;
    }
    if (!index->damage().empty()) return void(problem_ = Problem::named(Code::archiveDamaged, index->damage().front(), which));
  }
  if (&oldIndex.dialect() != &newIndex.dialect()) {
    return void(problem_ = Problem::named(Code::differentDialects, oldIndex.dialect().name, newIndex.dialect().name));
  }

  // The head: the header and the scenario.
  const std::string oldHead = oldIndex.head() + oldIndex.scenarioText();
  const std::string newHead = newIndex.head() + newIndex.scenarioText();
  if (oldIndex.head().compare(3, 5, newIndex.head(), 3, 5) != 0) changes_.push_back({Change::Kind::header, {}, 8, 8});
  if (oldIndex.scenarioText() != newIndex.scenarioText()) {
    changes_.push_back({Change::Kind::scenario, {}, static_cast<int64_t>(oldIndex.scenarioText().size()),
                        static_cast<int64_t>(newIndex.scenarioText().size())});
  }
  if (oldHead == newHead) {
    appendPiece(pieces_, Piece::ofArchive(0, static_cast<int64_t>(oldHead.size())));
  } else {
    const std::size_t shorter = std::min(oldHead.size(), newHead.size());
    std::size_t prefix = 0, suffix = 0;
    while (prefix < shorter && oldHead[prefix] == newHead[prefix]) ++prefix;
    while (suffix < shorter - prefix && oldHead[oldHead.size() - 1 - suffix] == newHead[newHead.size() - 1 - suffix]) {
      ++suffix;
    }
    appendShared(0, static_cast<int64_t>(oldHead.size()), 0, static_cast<int64_t>(newHead.size()),
                 static_cast<int64_t>(prefix), static_cast<int64_t>(suffix));
  }

  // Each new block: the old block of its name (the k-th of the name), else
  // any old block of its size and bytes, else its own bytes.
  const std::vector<ArchiveEntry>& olds = oldIndex.entries();
  std::unordered_map<std::string, std::vector<std::size_t>> oldByName;
  std::unordered_map<int64_t, std::vector<std::size_t>> oldBySize;
  for (std::size_t i = 0; i < olds.size(); ++i) {
    oldByName[olds[i].name].push_back(i);
    oldBySize[olds[i].size].push_back(i);
  }
  std::unordered_map<std::string, std::size_t> seen;
  for (const ArchiveEntry& e : newIndex.entries()) {
    const std::size_t k = seen[e.name]++;
    const auto named = oldByName.find(e.name);
    const ArchiveEntry* partner =
        named != oldByName.end() && k < named->second.size() ? &olds[named->second[k]] : nullptr;
    if (partner != nullptr && partner->size == e.size && compare.same(*partner, e)) {
      appendPiece(pieces_, Piece::ofArchive(partner->offset - 4, 4 + int64_t{e.size}));
      continue;
    }
    changes_.push_back(partner != nullptr ? Change{Change::Kind::changed, e.name, partner->size, e.size}
                                          : Change{Change::Kind::added, e.name, 0, e.size});
    const ArchiveEntry* equal = nullptr;
    if (const auto sized = oldBySize.find(e.size); sized != oldBySize.end() && e.size > 0) {
      for (std::size_t i : sized->second) {
        if (&olds[i] != partner && compare.same(olds[i], e)) {
          equal = &olds[i];
          break;
        }
      }
    }
    if (equal != nullptr) {
      appendPiece(pieces_, Piece::ofArchive(equal->offset - 4, 4 + int64_t{e.size}));
    } else if (partner != nullptr) {
      int64_t prefix = 0, suffix = 0;
      compare.common(*partner, e, &prefix, &suffix);
      if (partner->size == e.size) {
        appendShared(partner->offset - 4, 4 + int64_t{partner->size}, e.offset - 4, 4 + int64_t{e.size}, prefix + 4,
                     suffix);
      } else {
        appendPiece(pieces_, Piece::ofFile(0, 4, e.offset - 4));  // its new size
        appendShared(partner->offset, partner->size, e.offset, e.size, prefix, suffix);
      }
    } else {
      appendPiece(pieces_, Piece::ofFile(0, 4 + int64_t{e.size}, e.offset - 4));
    }
  }
  // The old blocks no new one takes the place of, by name.
  std::unordered_map<std::string, std::size_t> counted;
  for (const ArchiveEntry& e : olds) {
    const std::size_t k = counted[e.name]++;
    const auto listed = seen.find(e.name);
    if (listed == seen.end() || listed->second <= k) changes_.push_back({Change::Kind::removed, e.name, e.size, 0});
  }
}
