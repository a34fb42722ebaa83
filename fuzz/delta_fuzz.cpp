// The VCDIFF decoder on any bytes, in both its forms, and a patch applied
// to a file as kerv applies it: no read outside a buffer, no window larger
// than its limit, and the two forms agree on what they make.
#include <cstring>
#include <string>
#include <vector>

#include "delta/Decoder.h"

namespace {

const std::string kSource = [] {
  std::string s(4096, '\0');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 7 + (i >> 5));
  return s;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::size_t at = 0;
  vcdiff::Decoder decoder([&](char* p, std::size_t n) {
    const std::size_t k = std::min(n, size - at);
    if (k > 0) std::memcpy(p, data + at, k);
    at += k;
    return static_cast<int64_t>(k);
  });
  if (!decoder.readHeader()) return 0;
  std::string target, window, fromPieces;
  const auto read = [](const std::string& s) {
    return [&s](int64_t offset, char* p, std::size_t n) {
      if (offset < 0 || static_cast<uint64_t>(offset) + n > s.size()) return false;
      std::memcpy(p, s.data() + offset, n);
      return true;
    };
  };
  std::vector<vcdiff::Span> spans;
  for (vcdiff::Window w; decoder.nextWindow(w);) {
    if (w.targetLength > vcdiff::kLargestWindow) abort();
    if (!decoder.pieces(w, spans)) break;
    int64_t length = 0;
    for (const vcdiff::Span& s : spans) {
      length += s.length;
      if (s.kind == vcdiff::Span::Kind::bytes) {
        fromPieces += s.bytes;
      } else if (s.kind == vcdiff::Span::Kind::source) {
        if (s.offset < 0 || static_cast<uint64_t>(s.offset + s.length) > kSource.size()) return 0;  // refused when applied
        fromPieces += kSource.substr(static_cast<std::size_t>(s.offset), static_cast<std::size_t>(s.length));
      } else {
        // Made in order: a target range may reach into what it makes, but
        // never start past what is made.
        if (s.offset < 0 || static_cast<uint64_t>(s.offset) >= fromPieces.size()) abort();
        for (int64_t k = 0; k < s.length; ++k) fromPieces += fromPieces[static_cast<std::size_t>(s.offset + k)];
      }
    }
    if (length != w.targetLength) abort();
    const bool decoded = decoder.decode(w, read(kSource), read(target), window);
    if (decoded) target += window;
    // Where the bytes come out, they are those the pieces describe.
    if (decoded && target != fromPieces) abort();
    if (!decoded) break;
  }
  return 0;
}
