// Whether what a patch made is whole: as many bytes as its header promises
// and their XXH3-128 (where it carries them), at least one window, and
// whether anything at all tied the result to the file it was made from
// (the header's sums, or a checksum in every window). A patch cut short at
// a window's end, or lengthened by windows of another, decodes without a
// fault; only this tells.
#pragma once

#include <cstdint>
#include <string>

#include "delta/Decoder.h"
#include "delta/PatchHeader.h"

namespace vcdiff {

class ResultCheck {
 public:
  enum class Verdict {
    whole,      // the promised size and sum, or a patch that promises none
    noWindows,  // it makes nothing
    longer,     // more bytes than promised
    shorter,    // fewer bytes than promised
    otherSum,   // the promised size, another sum
  };

  explicit ResultCheck(const PatchHeader& header) : promise(header.newSum) {}

  // Before window `w` is decoded: false when it would make more than the
  // header promises (nothing of it need be made).
  bool window(const Window& w);
  // The window's bytes, in order, once made.
  void bytes(const char* p, std::size_t n);
  // After the last window.
  Verdict finish() const;

  // Whether the result can be told right: the header carries the sums, or
  // every window so far carried its checksum.
  bool checked() const { return promise.known() || !windowWithoutChecksum; }
  int64_t made() const { return made_; }
  int64_t promised() const { return promise.size; }  // -1 where it promises nothing

  // "PATCH is cut short or damaged: it makes N bytes where it promises M",
  // and the like, for `patch` (its name). REQUIRES: verdict is not whole.
  // `made` is what the windows make, all of them read.
  std::string english(Verdict verdict, const std::string& patch, int64_t made) const;

 private:
  FileSum promise;  // of the result, where the header carries it
  Summer sum;
  int64_t made_ = 0;
  int64_t windows = 0;
  bool windowWithoutChecksum = false;
};

}  // namespace vcdiff
