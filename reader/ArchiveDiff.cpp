#include "reader/ArchiveDiff.h"

#include <algorithm>
#include <cstdint>
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

ArchiveDiff ArchiveDiff::unreadable(const char* which, const std::string& why) {
  ArchiveDiff d;
  d.problem_ = Problem::named(Problem::Code::cannotRead, why, which);
  return d;
}

Problem ArchiveDiff::check(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex) {
  using Code = Problem::Code;
  for (const auto& [index, which] : {std::pair{&oldIndex, "old"}, std::pair{&newIndex, "new"}}) {
    if (index->problem()) {
      Problem p = index->problem();
      p.other = which;
      return p;
    }
    if (!index->damage().empty()) return Problem::named(Code::archiveDamaged, index->damage().front(), which);
  }
  if (&oldIndex.dialect() != &newIndex.dialect()) {
    return Problem::named(Code::differentDialects, oldIndex.dialect().name, newIndex.dialect().name);
  }
  return {};
}

std::vector<std::size_t> ArchiveDiff::partners(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex) {
  std::unordered_map<std::string, std::vector<std::size_t>> oldByName;
  const std::vector<ArchiveEntry>& olds = oldIndex.entries();
  for (std::size_t i = 0; i < olds.size(); ++i) oldByName[olds[i].name].push_back(i);
  std::unordered_map<std::string, std::size_t> seen;
  std::vector<std::size_t> out;
  out.reserve(newIndex.entries().size());
  for (const ArchiveEntry& e : newIndex.entries()) {
    const std::size_t k = seen[e.name]++;
    const auto named = oldByName.find(e.name);
    out.push_back(named != oldByName.end() && k < named->second.size() ? named->second[k] : SIZE_MAX);
  }
  return out;
}

void ArchiveDiff::build(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex, BlockCompare& compare) {
  if ((problem_ = check(oldIndex, newIndex))) return;

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
  // any old block of its size and bytes, else its own bytes. Blocks of one
  // size are paired through their digests where the compare has them, so
  // that many blocks of one size cost one reading each.
  const std::vector<ArchiveEntry>& olds = oldIndex.entries();
  std::unordered_map<int64_t, std::vector<std::size_t>> oldBySize;
  for (std::size_t i = 0; i < olds.size(); ++i) oldBySize[olds[i].size].push_back(i);
  std::unordered_map<int64_t, std::unordered_multimap<uint64_t, std::size_t>> oldByDigest;  // by size, when digested
  std::vector<bool> copied(olds.size(), false);
  const auto equalOld = [&](const ArchiveEntry& e, const ArchiveEntry* partner) -> const ArchiveEntry* {
    const auto sized = oldBySize.find(e.size);
    if (sized == oldBySize.end() || e.size == 0) return nullptr;
    uint64_t digest = 0;
    if (compare.digest(e, true, &digest)) {
      auto known = oldByDigest.find(e.size);
      if (known == oldByDigest.end()) {
        known = oldByDigest.emplace(e.size, std::unordered_multimap<uint64_t, std::size_t>()).first;
        for (std::size_t i : sized->second) {
          uint64_t d = 0;
          if (!compare.digest(olds[i], false, &d)) return nullptr;
          known->second.emplace(d, i);
        }
      }
      // The first in list order, as comparing each with each finds it.
      const auto [from, to] = known->second.equal_range(digest);
      std::vector<std::size_t> candidates;
      for (auto it = from; it != to; ++it) candidates.push_back(it->second);
      std::sort(candidates.begin(), candidates.end());
      for (std::size_t i : candidates) {
        if (&olds[i] != partner && compare.same(olds[i], e)) return &olds[i];
      }
      return nullptr;
    }
    for (std::size_t i : sized->second) {
      if (&olds[i] != partner && compare.same(olds[i], e)) return &olds[i];
    }
    return nullptr;
  };
  const std::vector<std::size_t> partnerOf = partners(oldIndex, newIndex);
  std::unordered_map<std::string, std::size_t> seen;
  likelySources_.push_back({0, static_cast<int64_t>(oldHead.size())});
  for (std::size_t j = 0; j < newIndex.entries().size(); ++j) {
    const ArchiveEntry& e = newIndex.entries()[j];
    ++seen[e.name];
    const ArchiveEntry* partner = partnerOf[j] != SIZE_MAX ? &olds[partnerOf[j]] : nullptr;
    if (partner != nullptr && partner->size == e.size && compare.same(*partner, e)) {
      appendPiece(pieces_, Piece::ofArchive(partner->offset - 4, 4 + int64_t{e.size}));
      copied[partnerOf[j]] = true;
      continue;
    }
    changes_.push_back(partner != nullptr ? Change{Change::Kind::changed, e.name, partner->size, e.size}
                                          : Change{Change::Kind::added, e.name, 0, e.size});
    if (const ArchiveEntry* equal = equalOld(e, partner)) {
      appendPiece(pieces_, Piece::ofArchive(equal->offset - 4, 4 + int64_t{e.size}));
      copied[static_cast<std::size_t>(equal - olds.data())] = true;
    } else if (partner != nullptr) {
      likelySources_.push_back({partner->offset - 4, 4 + int64_t{partner->size}});
      copied[partnerOf[j]] = true;
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
  // The old blocks no new one takes the place of, by name; and those no
  // new one copies, where new bytes may come from too.
  std::unordered_map<std::string, std::size_t> counted;
  for (std::size_t i = 0; i < olds.size(); ++i) {
    const ArchiveEntry& e = olds[i];
    const std::size_t k = counted[e.name]++;
    const auto listed = seen.find(e.name);
    if (listed == seen.end() || listed->second <= k) changes_.push_back({Change::Kind::removed, e.name, e.size, 0});
    if (!copied[i] && e.size > 0) likelySources_.push_back({e.offset, e.size});
  }
}
