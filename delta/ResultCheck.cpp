#include "delta/ResultCheck.h"

namespace vcdiff {

bool ResultCheck::window(const Window& w) {
  ++windows;
  if (!w.hasChecksum) windowWithoutChecksum = true;
  return !promise.known() || w.targetStart + w.targetLength <= promise.size;
}

void ResultCheck::bytes(const char* p, std::size_t n) {
  if (promise.known()) sum.update(p, n);
  made_ += static_cast<int64_t>(n);
}

ResultCheck::Verdict ResultCheck::finish() const {
  if (windows == 0) return Verdict::noWindows;
  if (!promise.known()) return Verdict::whole;
  if (made_ > promise.size) return Verdict::longer;
  if (made_ < promise.size) return Verdict::shorter;
  return sum.sum() == promise ? Verdict::whole : Verdict::otherSum;
}

std::string ResultCheck::english(Verdict verdict, const std::string& patch, int64_t made) const {
  const std::string start = patch + " is cut short or damaged: ";
  switch (verdict) {
    case Verdict::whole: return "";
    case Verdict::noWindows:
      if (promise.known()) break;
      return start + "it holds no window, so it makes nothing";
    case Verdict::otherSum:
      return start + "what it makes does not have the XXH3-128 it promises (" + promise.hex() + ")";
    case Verdict::longer:
    case Verdict::shorter: break;
  }
  return start + "it makes " + std::to_string(made) + " bytes where it promises " + std::to_string(promised());
}

}  // namespace vcdiff
