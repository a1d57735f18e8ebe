// Sixteen SHA-1 compressions side by side, one in each 32-bit lane of the
// AVX-512 registers. Many equal-length messages (the disc layout's chunks and
// block-hash lists) hash several times faster this way than one or two at a
// time on the SHA extensions.
// GCC 12's AVX-512 intrinsics start some results from an undefined vector,
// which its flow analysis then reports as possibly uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "sha1/sha1_internal.h"

namespace {

struct Lanes {
    __m512i a, b, c, d, e;
};

CSL_TARGET_AVX512 __attribute__((always_inline)) inline __m512i add(__m512i x, __m512i y) {
    return _mm512_add_epi32(x, y);
}

// Round T of the 80, on the working variables in their order for this round.
// The message window w holds W[T - 16 .. T - 1] (W[T % 16] is replaced by
// W[T] from round 16 on).
template <int T>
CSL_TARGET_AVX512 __attribute__((always_inline)) inline void round(
    __m512i a, __m512i& b, __m512i c, __m512i d, __m512i& e, __m512i* w) {
    __m512i wt;
    if constexpr (T < 16) {
        wt = w[T];
    } else {
        wt = _mm512_ternarylogic_epi32(w[(T - 3) & 15], w[(T - 8) & 15], w[(T - 14) & 15], 0x96);
        wt = _mm512_rol_epi32(_mm512_xor_si512(wt, w[T & 15]), 1);
        w[T & 15] = wt;
    }
    __m512i f;
    uint32_t k;
    if constexpr (T < 20) {
        f = _mm512_ternarylogic_epi32(b, c, d, 0xCA);  // b ? c : d
        k = 0x5A827999;
    } else if constexpr (T < 40) {
        f = _mm512_ternarylogic_epi32(b, c, d, 0x96);  // b ^ c ^ d
        k = 0x6ED9EBA1;
    } else if constexpr (T < 60) {
        f = _mm512_ternarylogic_epi32(b, c, d, 0xE8);  // majority
        k = 0x8F1BBCDC;
    } else {
        f = _mm512_ternarylogic_epi32(b, c, d, 0x96);
        k = 0xCA62C1D6;
    }
    const __m512i kv = _mm512_set1_epi32(static_cast<int>(k));
    e = add(add(e, _mm512_rol_epi32(a, 5)), add(f, add(wt, kv)));
    b = _mm512_rol_epi32(b, 30);
}

// Rounds T to T + 4: the variables' roles turn once each round.
template <int T>
CSL_TARGET_AVX512 __attribute__((always_inline)) inline void fiveRounds(Lanes& s,
                                                                               __m512i* w) {
    round<T>(s.a, s.b, s.c, s.d, s.e, w);
    round<T + 1>(s.e, s.a, s.b, s.c, s.d, w);
    round<T + 2>(s.d, s.e, s.a, s.b, s.c, w);
    round<T + 3>(s.c, s.d, s.e, s.a, s.b, w);
    round<T + 4>(s.b, s.c, s.d, s.e, s.a, w);
}

template <int... G>
CSL_TARGET_AVX512 __attribute__((always_inline)) inline void allRounds(
    Lanes& s, __m512i* w, std::integer_sequence<int, G...>) {
    (fiveRounds<5 * G>(s, w), ...);
}

// The message words of one block of each lane: w[t] holds word t of all
// sixteen lanes, big-endian as read. Sixteen plain loads and a 16 x 16
// transposition of 32-bit words, which costs a fraction of what sixteen
// gathers do.
CSL_TARGET_AVX512 __attribute__((always_inline)) inline void loadWords(
    const uint8_t* const lane[16], size_t at, __m512i w[16]) {
    // Big-endian message words: the bytes of every 32-bit word reversed.
    const __m512i swap = _mm512_set4_epi32(0x0c0d0e0f, 0x08090a0b, 0x04050607, 0x00010203);
    __m512i t[16];
    for (int i = 0; i < 16; i += 2) {
        const __m512i r0 = _mm512_shuffle_epi8(_mm512_loadu_si512(lane[i] + at), swap);
        const __m512i r1 = _mm512_shuffle_epi8(_mm512_loadu_si512(lane[i + 1] + at), swap);
        t[i] = _mm512_unpacklo_epi32(r0, r1);      // words 0, 1 of each quarter
        t[i + 1] = _mm512_unpackhi_epi32(r0, r1);  // words 2, 3
    }
    // u[4g + j]: word j (and j + 4, j + 8, j + 12, by quarter) of lanes
    // 4g to 4g + 3.
    __m512i u[16];
    for (int g = 0; g < 16; g += 4) {
        u[g] = _mm512_unpacklo_epi64(t[g], t[g + 2]);
        u[g + 1] = _mm512_unpackhi_epi64(t[g], t[g + 2]);
        u[g + 2] = _mm512_unpacklo_epi64(t[g + 1], t[g + 3]);
        u[g + 3] = _mm512_unpackhi_epi64(t[g + 1], t[g + 3]);
    }
    for (int j = 0; j < 4; ++j) {
        const __m512i v0 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0x88);
        const __m512i v1 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0xDD);
        const __m512i v2 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0x88);
        const __m512i v3 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0xDD);
        w[j] = _mm512_shuffle_i32x4(v0, v2, 0x88);
        w[j + 8] = _mm512_shuffle_i32x4(v0, v2, 0xDD);
        w[j + 4] = _mm512_shuffle_i32x4(v1, v3, 0x88);
        w[j + 12] = _mm512_shuffle_i32x4(v1, v3, 0xDD);
    }
}

}  // namespace

namespace csl_sha1_avx512 {

CSL_TARGET_AVX512 void compress16(uint32_t h[80],
                                                               const uint8_t* base,
                                                               const int32_t offsets[16],
                                                               size_t nblocks) {
    const uint8_t* lane[16];
    for (int l = 0; l < 16; ++l) lane[l] = base + offsets[l];
    Lanes s{_mm512_loadu_si512(h), _mm512_loadu_si512(h + 16), _mm512_loadu_si512(h + 32),
            _mm512_loadu_si512(h + 48), _mm512_loadu_si512(h + 64)};
    for (size_t blk = 0; blk < nblocks; ++blk) {
        __m512i w[16];
        loadWords(lane, 64 * blk, w);
        const Lanes in = s;
        allRounds(s, w, std::make_integer_sequence<int, 16>{});
        s.a = add(s.a, in.a);
        s.b = add(s.b, in.b);
        s.c = add(s.c, in.c);
        s.d = add(s.d, in.d);
        s.e = add(s.e, in.e);
    }
    _mm512_storeu_si512(h, s.a);
    _mm512_storeu_si512(h + 16, s.b);
    _mm512_storeu_si512(h + 32, s.c);
    _mm512_storeu_si512(h + 48, s.d);
    _mm512_storeu_si512(h + 64, s.e);
}

}  // namespace csl_sha1_avx512
