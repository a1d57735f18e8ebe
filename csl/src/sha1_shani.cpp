// SHA-1 compression on the SHA extensions.
#include <utility>

#include "aes_hw.h"
#include "sha1_shani.h"

namespace {

using csl_shani_detail::Rounds;

template <int... G>
__attribute__((target(CSL_SHANI_TARGET))) inline void allGroups(Rounds& s,
                                                              std::integer_sequence<int, G...>) {
    (csl_shani_detail::group<G>(s), ...);
}

}  // namespace

namespace csl_shani {

__attribute__((target(CSL_SHANI_TARGET))) void compressBlocks(uint32_t h[5], const uint8_t* data,
                                                            size_t nblocks) {
    Rounds s;
    csl_shani_detail::loadState(h, s);
    for (size_t i = 0; i < nblocks; ++i) {
        const __m128i abcdIn = s.abcd;
        const __m128i eIn = s.e;
        csl_shani_detail::begin(s, data + 64 * i);
        allGroups(s, std::make_integer_sequence<int, 20>{});
        csl_shani_detail::finish(s, abcdIn, eIn);
    }
    csl_shani_detail::storeState(s, h);
}

}  // namespace csl_shani
