// GF(2^233) multiplication on PCLMULQDQ.
#include <immintrin.h>

#include "gf2m/gf2m_internal.h"

namespace csl_gf2m {

namespace {

// 128 x 128 -> 256 bits by schoolbook on 64-bit halves.
CSL_TARGET_CLMUL inline void mul128(__m128i a, __m128i b, __m128i& lo, __m128i& hi) {
    const __m128i p00 = _mm_clmulepi64_si128(a, b, 0x00);
    const __m128i p11 = _mm_clmulepi64_si128(a, b, 0x11);
    const __m128i mid =
        _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x01), _mm_clmulepi64_si128(a, b, 0x10));
    lo = _mm_xor_si128(p00, _mm_slli_si128(mid, 8));
    hi = _mm_xor_si128(p11, _mm_srli_si128(mid, 8));
}

}  // namespace

// Elements move between memory and registers as two 128-bit halves, with
// the four 32-bit words of each half reversed to form the 64-bit limbs.
// Whole-half loads and stores matter: a load that spans several smaller
// recent stores cannot be forwarded and stalls, and the point formulas feed
// every product straight into the next.
CSL_TARGET_CLMUL void mulClmul(const field_element a, const field_element b, field_element out) {
    // Operands need not be reduced: the 512-bit product of any two 256-bit
    // values is folded completely below. Nothing here depends on the values.
    const __m128i a0 =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4)), 0x1B);
    const __m128i a1 =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)), 0x1B);
    __m128i l0, l1, h0, h1;
    if (a == b) {
        // Squaring (the caller passed one array twice).
        l0 = _mm_clmulepi64_si128(a0, a0, 0x00);
        l1 = _mm_clmulepi64_si128(a0, a0, 0x11);
        h0 = _mm_clmulepi64_si128(a1, a1, 0x00);
        h1 = _mm_clmulepi64_si128(a1, a1, 0x11);
    } else {
        const __m128i b0 =
            _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4)), 0x1B);
        const __m128i b1 =
            _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 0x1B);
        // Karatsuba on the two 128-bit halves.
        __m128i m0, m1;
        mul128(a0, b0, l0, l1);
        mul128(a1, b1, h0, h1);
        mul128(_mm_xor_si128(a0, a1), _mm_xor_si128(b0, b1), m0, m1);
        m0 = _mm_xor_si128(m0, _mm_xor_si128(l0, h0));
        m1 = _mm_xor_si128(m1, _mm_xor_si128(l1, h1));
        l1 = _mm_xor_si128(l1, m0);
        h0 = _mm_xor_si128(h0, m1);
    }
    alignas(16) uint64_t C[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(C), l0);
    _mm_store_si128(reinterpret_cast<__m128i*>(C + 2), l1);
    _mm_store_si128(reinterpret_cast<__m128i*>(C + 4), h0);
    _mm_store_si128(reinterpret_cast<__m128i*>(C + 6), h1);
    reduceLimbsInPlace(C);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4),
                     _mm_shuffle_epi32(_mm_set_epi64x(static_cast<long long>(C[1]),
                                                      static_cast<long long>(C[0])),
                                       0x1B));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi32(_mm_set_epi64x(static_cast<long long>(C[3]),
                                                      static_cast<long long>(C[2])),
                                       0x1B));
}

}  // namespace csl_gf2m
