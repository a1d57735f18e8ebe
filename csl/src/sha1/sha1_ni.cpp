// SHA-1 compression on the SHA extensions.
#include <utility>

#include "sha1/sha1_internal.h"
#include "sha1/sha1_ni.h"

namespace {

using csl_shani_detail::Rounds;

template <int... G>
CSL_TARGET_SHA_NI inline void allGroups(Rounds& s,
                                                              std::integer_sequence<int, G...>) {
    (csl_shani_detail::group<G>(s), ...);
}

template <int... G>
CSL_TARGET_SHA_NI inline void allGroups2(Rounds& s0, Rounds& s1,
                                                               std::integer_sequence<int, G...>) {
    ((csl_shani_detail::group<G>(s0), csl_shani_detail::group<G>(s1)), ...);
}

}  // namespace

namespace csl_sha1_ni {

CSL_TARGET_SHA_NI void compressBlocks(uint32_t h[5], const uint8_t* data,
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

CSL_TARGET_SHA_NI void compressBlocks2(uint32_t h0[5], const uint8_t* data0,
                                                             uint32_t h1[5], const uint8_t* data1,
                                                             size_t nblocks) {
    Rounds s0, s1;
    csl_shani_detail::loadState(h0, s0);
    csl_shani_detail::loadState(h1, s1);
    for (size_t i = 0; i < nblocks; ++i) {
        const __m128i abcd0 = s0.abcd, e0 = s0.e;
        const __m128i abcd1 = s1.abcd, e1 = s1.e;
        csl_shani_detail::begin(s0, data0 + 64 * i);
        csl_shani_detail::begin(s1, data1 + 64 * i);
        allGroups2(s0, s1, std::make_integer_sequence<int, 20>{});
        csl_shani_detail::finish(s0, abcd0, e0);
        csl_shani_detail::finish(s1, abcd1, e1);
    }
    csl_shani_detail::storeState(s0, h0);
    csl_shani_detail::storeState(s1, h1);
}

}  // namespace csl_sha1_ni
