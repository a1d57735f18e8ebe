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

// Folds the limb pair T = (limbs i, i + 1), i = 4 or 6, into the pairs below
// it: x^(64i) = x^(64i-233) + x^(64i-159) gives limb i-4 ^= t << 23,
// limb i-3 ^= (t >> 41) ^ (t << 33) and limb i-2 ^= t >> 31. lo holds limbs
// i-4, i-3 and hi limbs i-2, i-1.
CSL_TARGET_CLMUL inline void foldPair(__m128i T, __m128i& lo, __m128i& hi) {
    const __m128i u = _mm_xor_si128(_mm_srli_epi64(T, 41), _mm_slli_epi64(T, 33));
    lo = _mm_xor_si128(lo, _mm_xor_si128(_mm_slli_epi64(T, 23), _mm_slli_si128(u, 8)));
    hi = _mm_xor_si128(hi, _mm_xor_si128(_mm_srli_si128(u, 8), _mm_srli_epi64(T, 31)));
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
    // Reduction in registers, the same folds as reduceLimbsInPlace two limbs
    // at a time: limbs 6 and 7 first, then 4 and 5 (which have received
    // theirs), then bits 233 and up of limb 3.
    foldPair(h1, l1, h0);
    foldPair(h0, l0, l1);
    const __m128i t = _mm_srli_epi64(_mm_srli_si128(l1, 8), 41);  // (limb 3 >> 41, 0)
    l0 = _mm_xor_si128(l0, _mm_xor_si128(t, _mm_slli_si128(_mm_slli_epi64(t, 10), 8)));
    l1 = _mm_xor_si128(l1, _mm_srli_epi64(t, 54));
    l1 = _mm_and_si128(l1, _mm_set_epi64x((1ll << 41) - 1, -1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_shuffle_epi32(l0, 0x1B));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi32(l1, 0x1B));
}

}  // namespace csl_gf2m
