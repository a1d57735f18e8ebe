// GF(2^233) multiplication on the ARMv8 64-bit polynomial multiply (PMULL).
//
// The same straight-line work for every operand: no input reduction step, no
// squaring shortcut, no table. Operands below 2^256 give a product of degree
// below 511, which the limb reduction folds completely.
#include <arm_neon.h>

#include "gf2m/gf2m_internal.h"

namespace {

CSL_TARGET_ARMV8_CRYPTO inline void mul64(uint64_t a, uint64_t b, uint64_t& lo, uint64_t& hi) {
    const uint64x2_t p = vreinterpretq_u64_p128(vmull_p64(a, b));
    lo = vgetq_lane_u64(p, 0);
    hi = vgetq_lane_u64(p, 1);
}

}  // namespace

namespace csl_gf2m {

CSL_TARGET_ARMV8_CRYPTO void mulPmull(const field_element a, const field_element b,
                                      field_element out) {
    uint64_t x[4], y[4];
    toLimbs(a, x);
    toLimbs(b, y);
    uint64_t C[8] = {};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            uint64_t lo, hi;
            mul64(x[i], y[j], lo, hi);
            C[i + j] ^= lo;
            C[i + j + 1] ^= hi;
        }
    reduceLimbsInPlace(C);
    fromLimbs(C, out);
}

}  // namespace csl_gf2m
