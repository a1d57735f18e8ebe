// Eight SHA-1 compressions side by side, one in each 32-bit lane of the AVX2
// registers: the many-message path (the disc layout's chunks and block-hash
// lists) of processors with neither AVX-512 nor the SHA extensions, where it
// is several times as fast as the plain code one message at a time.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "sha1/sha1_internal.h"

namespace {

struct Lanes {
    __m256i a, b, c, d, e;
};

#define CSL_SHA1_AVX2_INLINE CSL_TARGET_AVX2 __attribute__((always_inline)) inline

CSL_SHA1_AVX2_INLINE __m256i add(__m256i x, __m256i y) { return _mm256_add_epi32(x, y); }

template <int N>
CSL_SHA1_AVX2_INLINE __m256i rol(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, N), _mm256_srli_epi32(x, 32 - N));
}

// Round T of the 80, on the working variables in their order for this round.
// The message window w holds W[T - 16 .. T - 1] (W[T % 16] is replaced by
// W[T] from round 16 on).
template <int T>
CSL_SHA1_AVX2_INLINE void round(__m256i a, __m256i& b, __m256i c, __m256i d, __m256i& e,
                                __m256i* w) {
    __m256i wt;
    if constexpr (T < 16) {
        wt = w[T];
    } else {
        wt = _mm256_xor_si256(_mm256_xor_si256(w[(T - 3) & 15], w[(T - 8) & 15]),
                              _mm256_xor_si256(w[(T - 14) & 15], w[T & 15]));
        wt = rol<1>(wt);
        w[T & 15] = wt;
    }
    __m256i f;
    uint32_t k;
    if constexpr (T < 20) {
        f = _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));  // b ? c : d
        k = 0x5A827999;
    } else if constexpr (T < 40) {
        f = _mm256_xor_si256(_mm256_xor_si256(b, c), d);
        k = 0x6ED9EBA1;
    } else if constexpr (T < 60) {
        f = _mm256_or_si256(_mm256_and_si256(b, c), _mm256_and_si256(d, _mm256_or_si256(b, c)));
        k = 0x8F1BBCDC;
    } else {
        f = _mm256_xor_si256(_mm256_xor_si256(b, c), d);
        k = 0xCA62C1D6;
    }
    const __m256i kv = _mm256_set1_epi32(static_cast<int>(k));
    e = add(add(e, rol<5>(a)), add(f, add(wt, kv)));
    b = rol<30>(b);
}

// Rounds T to T + 4: the variables' roles turn once each round.
template <int T>
CSL_SHA1_AVX2_INLINE void fiveRounds(Lanes& s, __m256i* w) {
    round<T>(s.a, s.b, s.c, s.d, s.e, w);
    round<T + 1>(s.e, s.a, s.b, s.c, s.d, w);
    round<T + 2>(s.d, s.e, s.a, s.b, s.c, w);
    round<T + 3>(s.c, s.d, s.e, s.a, s.b, w);
    round<T + 4>(s.b, s.c, s.d, s.e, s.a, w);
}

template <int... G>
CSL_SHA1_AVX2_INLINE void allRounds(Lanes& s, __m256i* w, std::integer_sequence<int, G...>) {
    (fiveRounds<5 * G>(s, w), ...);
}

// Eight words of each of the eight lanes (row r[l] is lane l's), turned so
// that out[j] holds word j of every lane: an 8 x 8 transposition.
CSL_SHA1_AVX2_INLINE void transpose8(const __m256i r[8], __m256i out[8]) {
    __m256i t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);      // words 0, 1 (4, 5)
        t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);  // words 2, 3 (6, 7)
    }
    for (int g = 0; g < 8; g += 4) {
        u[g] = _mm256_unpacklo_epi64(t[g], t[g + 2]);          // word 0 (4) of 4 lanes
        u[g + 1] = _mm256_unpackhi_epi64(t[g], t[g + 2]);      // word 1 (5)
        u[g + 2] = _mm256_unpacklo_epi64(t[g + 1], t[g + 3]);  // word 2 (6)
        u[g + 3] = _mm256_unpackhi_epi64(t[g + 1], t[g + 3]);  // word 3 (7)
    }
    for (int j = 0; j < 4; ++j) {
        out[j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x20);
        out[j + 4] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x31);
    }
}

// The message words of one block of each lane: w[t] holds word t of all
// eight lanes, big-endian as read.
CSL_SHA1_AVX2_INLINE void loadWords(const uint8_t* const lane[8], size_t at, __m256i w[16]) {
    const __m256i swap = _mm256_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3,
                                         12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    for (int half = 0; half < 2; ++half) {
        __m256i r[8];
        for (int l = 0; l < 8; ++l)
            r[l] = _mm256_shuffle_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lane[l] + at + 32 * half)),
                swap);
        transpose8(r, w + 8 * half);
    }
}

}  // namespace

namespace csl_sha1_avx2 {

CSL_TARGET_AVX2 void compress8(uint32_t h[40], const uint8_t* base, const int32_t offsets[8],
                               size_t nblocks) {
    const uint8_t* lane[8];
    for (int l = 0; l < 8; ++l) lane[l] = base + offsets[l];
    const auto at = [h](int j) { return reinterpret_cast<__m256i*>(h + 8 * j); };
    Lanes s{_mm256_loadu_si256(at(0)), _mm256_loadu_si256(at(1)), _mm256_loadu_si256(at(2)),
            _mm256_loadu_si256(at(3)), _mm256_loadu_si256(at(4))};
    for (size_t blk = 0; blk < nblocks; ++blk) {
        __m256i w[16];
        loadWords(lane, 64 * blk, w);
        const Lanes in = s;
        allRounds(s, w, std::make_integer_sequence<int, 16>{});
        s.a = add(s.a, in.a);
        s.b = add(s.b, in.b);
        s.c = add(s.c, in.c);
        s.d = add(s.d, in.d);
        s.e = add(s.e, in.e);
    }
    _mm256_storeu_si256(at(0), s.a);
    _mm256_storeu_si256(at(1), s.b);
    _mm256_storeu_si256(at(2), s.c);
    _mm256_storeu_si256(at(3), s.d);
    _mm256_storeu_si256(at(4), s.e);
}

}  // namespace csl_sha1_avx2
