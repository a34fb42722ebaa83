#include "reader/PackPlan.h"

#include <memory>

#include "archive/Assert.h"
#include "archive/Container.h"
#include "scenario/LineEnds.h"

namespace {

// The `width` low bytes of v, least significant first.
std::string littleEndian(uint32_t v, int width) {
  std::string out;
  for (int i = 0; i < width; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
  return out;
}

}  // namespace

PackPlan::PackPlan(const char* text, int64_t length) {
  dialect_ = dialectOfScenario(text, static_cast<long>(length));
  if (dialect_ == nullptr) {
    problem_ = Problem::of(Problem::Code::notAScenario);
    return;
  }
  problem_ = lengthProblem(length);
  if (problem_) return;
  std::unique_ptr<Scenario> scenario = dialect_->makeScenario(text, static_cast<int>(length));
  if (const int line = bareLineFeedLine(*scenario); line != 0) {
    problem_ = Problem::of(Problem::Code::bareLineFeed, line);
    return;
  }
  if (const int line = bareCarriageReturnLine(*scenario); line != 0) {
    problem_ = Problem::of(Problem::Code::bareCarriageReturn, line);
    return;
  }
  head_.assign(dialect_->archiveMagic, container::kMagicLength);
  head_.resize(container::kHeaderSize, '\0');
  head_ += littleEndian(static_cast<uint32_t>(length), 2);
  head_.append(text, static_cast<std::size_t>(length));
  while (const char* name = scenario->nextFileName()) names_.emplace_back(name);
}

Problem PackPlan::lengthProblem(int64_t length) {
  if (length <= container::kMaxScenarioSize) return {};
  return Problem::of(Problem::Code::scenarioTooLong, length);
}

std::vector<Piece> PackPlan::pieces(const std::vector<int64_t>& sizes) const {
  KERV_ASSERT(sizes.size() == names_.size(), "sizes.size()==names().size()");
  std::vector<Piece> out;
  appendPiece(out, Piece::ofBytes(head_));
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    appendPiece(out, Piece::ofBytes(sizeField(sizes[i])));
    appendPiece(out, Piece::ofFile(i, sizes[i]));
  }
  return out;
}

std::string PackPlan::sizeField(int64_t size) {
  KERV_ASSERT(0 <= size && size <= kMaxBlockSize, "0<=size && size<=kMaxBlockSize");
  return littleEndian(static_cast<uint32_t>(size), 4);
}
