#include "reader/UpdatePlan.h"

#include <memory>
#include <unordered_map>

#include "archive/Container.h"
#include "reader/PackPlan.h"

void appendPiece(std::vector<Piece>& pieces, Piece piece) {
  if (piece.length == 0) return;
  if (!pieces.empty() && pieces.back().kind == piece.kind) {
    Piece& last = pieces.back();
    if (piece.kind == Piece::Kind::bytes) {
      last.bytes += piece.bytes;
      last.length += piece.length;
      return;
    }
    if ((piece.kind == Piece::Kind::archive || (piece.kind == Piece::Kind::file && piece.file == last.file)) &&
        last.offset + last.length == piece.offset) {
      last.length += piece.length;
      return;
    }
  }
  pieces.push_back(std::move(piece));
}

int64_t totalLength(const std::vector<Piece>& pieces) {
  int64_t n = 0;
  for (const Piece& p : pieces) n += p.length;
  return n;
}

UpdatePlan::UpdatePlan(const ArchiveIndex& index, const std::string* scenario,
                       const std::vector<Replacement>& replaced) {
  build(index, scenario, replaced);
}

bool UpdatePlan::unchanged(int64_t archiveSize) const {
  return !problem_ && pieces_.size() == 1 && pieces_[0].kind == Piece::Kind::archive && pieces_[0].offset == 0 &&
         pieces_[0].length == archiveSize;
}

void UpdatePlan::build(const ArchiveIndex& index, const std::string* scenario,
                       const std::vector<Replacement>& replaced) {
  using Code = Problem::Code;
  if (!index.error().empty()) return fail(Problem::named(Code::archiveDamaged, index.error()));
  if (!index.damage().empty()) return fail(Problem::named(Code::archiveDamaged, index.damage().front()));
  const Dialect& dialect = index.dialect();

  // The header as it stands (bytes 3 to 7 may hold anything), then the scenario.
  appendPiece(pieces_, Piece::ofArchive(0, container::kHeaderSize));
  std::vector<std::string> names;
  if (scenario == nullptr || *scenario == index.scenarioText()) {
    appendPiece(pieces_, Piece::ofArchive(container::kHeaderSize, 2 + static_cast<int64_t>(index.scenarioText().size())));
    for (const ArchiveEntry& e : index.entries()) names.push_back(e.name);
  } else {
    const PackPlan plan(scenario->data(), static_cast<int64_t>(scenario->size()));
    if (plan.problem()) return fail(Problem::named(Code::newScenarioWrong, plan.error()));
    if (&plan.dialect() != &dialect) return fail(Problem::named(Code::newScenarioDialect, dialect.name, dialect.scenarioMagic));
    appendPiece(pieces_, Piece::ofBytes(plan.head().substr(container::kHeaderSize)));
    names = plan.names();
  }

  std::unordered_map<std::string, std::size_t> replacement;
  for (std::size_t i = 0; i < replaced.size(); ++i) {
    const Replacement& r = replaced[i];
    if (!replacement.emplace(r.name, i).second) return fail(Problem::named(Code::givenTwice, r.name));
    if (r.size < 0 || r.size > PackPlan::kMaxBlockSize) {
      return fail(Problem::named(Code::dataFileTooLarge, r.name, {}, r.size));
    }
  }
  std::unordered_map<std::string, std::vector<const ArchiveEntry*>> oldBlocks;
  for (const ArchiveEntry& e : index.entries()) oldBlocks[e.name].push_back(&e);

  std::unordered_map<std::string, std::size_t> seen;
  for (const std::string& name : names) {
    const std::size_t k = seen[name]++;
    if (auto r = replacement.find(name); r != replacement.end()) {
      appendPiece(pieces_, Piece::ofBytes(PackPlan::sizeField(replaced[r->second].size)));
      appendPiece(pieces_, Piece::ofFile(r->second, replaced[r->second].size));
    } else if (auto old = oldBlocks.find(name); old != oldBlocks.end()) {
      const ArchiveEntry& e = *old->second[k < old->second.size() ? k : 0];
      appendPiece(pieces_, Piece::ofArchive(e.offset - 4, 4 + int64_t{e.size}));
    } else {
      return fail(Problem::named(Code::listedNotGiven, name));
    }
  }
  for (const Replacement& r : replaced) {
    if (seen.count(r.name) == 0) return fail(Problem::named(Code::noDataFile, r.name, {}, scenario != nullptr));
  }
  // The k-th old block of a name is kept while the new list names it k times or more.
  std::unordered_map<std::string, std::size_t> counted;
  const std::vector<ArchiveEntry>& entries = index.entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string& name = entries[i].name;
    const std::size_t k = counted[name]++;
    const auto listed = seen.find(name);
    if (replacement.count(name) == 0 && (listed == seen.end() || listed->second <= k)) {
      dropped_.push_back({i, name, entries[i].size});
    }
  }
}
