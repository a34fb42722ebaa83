// The lzma streams of a patch's sections, one for each kind (data,
// instructions, addresses), kept across the windows as xdelta3 keeps them.
// Only where the library is built with liblzma (KERV_LZMA).
#pragma once

#if KERV_LZMA
#include <lzma.h>

namespace vcdiff {

struct LzmaStreams {
  lzma_stream streams[3] = {LZMA_STREAM_INIT, LZMA_STREAM_INIT, LZMA_STREAM_INIT};
  bool started[3] = {false, false, false};
  LzmaStreams() = default;
  LzmaStreams(const LzmaStreams&) = delete;
  LzmaStreams& operator=(const LzmaStreams&) = delete;
  ~LzmaStreams() {
    for (int i = 0; i < 3; ++i) {
      if (started[i]) lzma_end(&streams[i]);
    }
  }
};

}  // namespace vcdiff
#endif
