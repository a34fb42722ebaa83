// XXH3's streaming update built for AVX2, beside the baseline build in
// PatchHeader.cpp; called only where the processor has AVX2. The state is
// the same in both builds: only how the accumulators are stepped differs.
#define XXH_INLINE_ALL
#define XXH_VECTOR XXH_AVX2
#include "xxhash.h"

namespace vcdiff {

void xxh3UpdateAvx2(void* state, const char* p, std::size_t n) {
  XXH3_128bits_update(static_cast<XXH3_state_t*>(state), p, n);
}

}  // namespace vcdiff
