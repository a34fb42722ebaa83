// Any bytes as an archive to update, with a new scenario and replacements
// taken from the input: the plan stays inside the old archive, with no
// change it gives the archive back byte for byte, and what it lays out is a
// sound archive whose blocks follow the new list.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "reader/ArchiveIndex.h"
#include "reader/UpdatePlan.h"

namespace {

// The archive the pieces make, with file i filled with the byte 'a' + i.
std::string assemble(const std::vector<Piece>& pieces, const std::string& old) {
  std::string out;
  for (const Piece& p : pieces) {
    switch (p.kind) {
      case Piece::Kind::bytes:
        out += p.bytes;
        break;
      case Piece::Kind::archive:
        if (p.offset < 0 || p.length < 0 || p.offset + p.length > static_cast<int64_t>(old.size())) abort();
        out += old.substr(static_cast<std::size_t>(p.offset), static_cast<std::size_t>(p.length));
        break;
      case Piece::Kind::file:
        out += std::string(static_cast<std::size_t>(p.length), static_cast<char>('a' + p.file));
        break;
    }
  }
  return out;
}

std::unique_ptr<ArchiveIndex> indexOf(const std::string& bytes) {
  auto index = std::make_unique<ArchiveIndex>(static_cast<int64_t>(bytes.size()));
  for (ArchiveIndex::Range r; (r = index->next()).length > 0;) index->supply(0, bytes.data(), static_cast<int64_t>(bytes.size()));
  return index;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string scenario = input.ConsumeRandomLengthString(512);
  const bool withScenario = input.ConsumeBool();
  std::vector<UpdatePlan::Replacement> replaced;
  for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n) {
    replaced.push_back({input.ConsumeRandomLengthString(16), input.ConsumeIntegralInRange<int64_t>(0, 64)});
  }
  const std::string old = input.ConsumeRemainingBytesAsString();
  const std::unique_ptr<ArchiveIndex> index = indexOf(old);

  const UpdatePlan same(*index, nullptr, {});
  if (same.error().empty() && assemble(same.pieces(), old) != old) abort();

  const UpdatePlan plan(*index, withScenario ? &scenario : nullptr, replaced);
  if (!plan.error().empty()) return 0;
  const std::string made = assemble(plan.pieces(), old);
  if (static_cast<int64_t>(made.size()) != plan.size()) abort();
  const std::unique_ptr<ArchiveIndex> again = indexOf(made);
  if (!again->error().empty() || !again->damage().empty()) abort();
  if (withScenario && again->scenarioText() != scenario) abort();
  if (!withScenario && again->entries().size() != index->entries().size()) abort();
  return 0;
}
