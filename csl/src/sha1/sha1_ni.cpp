// SHA-1 compression on the SHA extensions: one stream, and several streams
// interleaved for many messages at once.
#include <utility>

#include "sha1/sha1_internal.h"
#include "sha1/sha1_ni.h"

namespace {

using csl_shani_detail::Rounds;

template <int... G>
CSL_TARGET_SHA_NI inline void allGroups(Rounds& s, std::integer_sequence<int, G...>) {
    (csl_shani_detail::group<G>(s), ...);
}

// Group G of every stream in turn, so that each stream's rounds run while the
// others' wait on their results.
template <int G, size_t N>
CSL_TARGET_SHA_NI __attribute__((always_inline)) inline void groupOfEach(Rounds (&s)[N]) {
    for (size_t j = 0; j < N; ++j) csl_shani_detail::group<G>(s[j]);
}

template <size_t N, int... G>
CSL_TARGET_SHA_NI __attribute__((always_inline)) inline void allGroupsOfEach(
    Rounds (&s)[N], std::integer_sequence<int, G...>) {
    (groupOfEach<G>(s), ...);
}

// N streams in the lanes' layout: stream l's chaining value is h[l],
// h[N + l], ..., h[4N + l], its blocks start at base + offsets[l]. One
// stream waits on the latency of each four-round instruction; four keep the
// unit busy (about 2.4 times one stream's throughput here, 1.3 times two
// streams').
template <size_t N>
CSL_TARGET_SHA_NI void compressStreams(uint32_t* h, const uint8_t* base, const int32_t* offsets,
                                       size_t nblocks) {
    Rounds s[N];
    for (size_t l = 0; l < N; ++l) {
        const uint32_t mine[5] = {h[l], h[N + l], h[2 * N + l], h[3 * N + l], h[4 * N + l]};
        csl_shani_detail::loadState(mine, s[l]);
    }
    for (size_t i = 0; i < nblocks; ++i) {
        __m128i abcdIn[N], eIn[N];
        for (size_t l = 0; l < N; ++l) {
            abcdIn[l] = s[l].abcd;
            eIn[l] = s[l].e;
            csl_shani_detail::begin(s[l], base + offsets[l] + 64 * i);
        }
        allGroupsOfEach(s, std::make_integer_sequence<int, 20>{});
        for (size_t l = 0; l < N; ++l) csl_shani_detail::finish(s[l], abcdIn[l], eIn[l]);
    }
    for (size_t l = 0; l < N; ++l) {
        uint32_t mine[5];
        csl_shani_detail::storeState(s[l], mine);
        for (size_t j = 0; j < 5; ++j) h[j * N + l] = mine[j];
    }
}

}  // namespace

namespace csl_sha1_ni {

CSL_TARGET_SHA_NI void compressBlocks(uint32_t h[5], const uint8_t* data, size_t nblocks) {
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

void compress4(uint32_t h[20], const uint8_t* base, const int32_t offsets[4], size_t nblocks) {
    compressStreams<4>(h, base, offsets, nblocks);
}

}  // namespace csl_sha1_ni
