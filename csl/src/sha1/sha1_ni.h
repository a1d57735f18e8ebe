// SHA-1 rounds on the SHA extensions, shared by the plain compression and the
// loop that runs it alongside AES-CBC. Include only from files compiled with
// the matching target attributes.
#pragma once
#include <immintrin.h>

#include <cstdint>

#include "isa.h"

namespace csl_shani_detail {

// Working registers of one block: abcd, the E input of the next four rounds,
// the abcd value those rounds will rotate into E, and the message window.
struct Rounds {
    __m128i abcd;
    __m128i e;
    __m128i prevAbcd;
    __m128i w[4];
};

CSL_TARGET_SHA_NI inline __m128i loadMessage(const uint8_t* p) {
    const __m128i swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
}

// Rounds 4G to 4G + 3. The message words W[4G..] enter through w[G % 4];
// once used, that slot is refilled with the words of group G + 4.
template <int G>
CSL_TARGET_SHA_NI inline void group(Rounds& s) {
    __m128i e;
    if constexpr (G == 0)
        e = _mm_add_epi32(s.e, s.w[0]);
    else
        e = _mm_sha1nexte_epu32(s.prevAbcd, s.w[G % 4]);
    s.prevAbcd = s.abcd;
    s.abcd = _mm_sha1rnds4_epu32(s.abcd, e, G / 5);
    if constexpr (G < 16) {
        __m128i t = _mm_sha1msg1_epu32(s.w[G % 4], s.w[(G + 1) % 4]);
        t = _mm_xor_si128(t, s.w[(G + 2) % 4]);
        s.w[G % 4] = _mm_sha1msg2_epu32(t, s.w[(G + 3) % 4]);
    }
}

CSL_TARGET_SHA_NI inline void begin(Rounds& s, const uint8_t* block) {
    for (int i = 0; i < 4; ++i) s.w[i] = loadMessage(block + 16 * i);
}

// After group 19: the new E and the chaining addition.
CSL_TARGET_SHA_NI inline void finish(Rounds& s, __m128i abcdIn,
                                                           __m128i eIn) {
    s.e = _mm_sha1nexte_epu32(s.prevAbcd, eIn);
    s.abcd = _mm_add_epi32(s.abcd, abcdIn);
}

CSL_TARGET_SHA_NI inline void loadState(const uint32_t h[5], Rounds& s) {
    s.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1B);
    s.e = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
}

CSL_TARGET_SHA_NI inline void storeState(const Rounds& s, uint32_t h[5]) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(s.abcd, 0x1B));
    h[4] = static_cast<uint32_t>(_mm_extract_epi32(s.e, 3));
}

}  // namespace csl_shani_detail
