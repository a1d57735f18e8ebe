// The carry-less multipliers poly_mul chooses from, and what they share.
#pragma once
#include <cstdint>
#include <span>

#include "csl/poly_math.h"
#include "impl_list.h"
#include "isa.h"

namespace csl_gf2m {

// Reduces a product on 64-bit limbs, least significant limb first, of degree
// below 512 modulo f into C[0..3]: x^(64i) = x^(64i-233) + x^(64i-159).
// Straight-line shifts and exclusive ors, whatever the value.
inline void reduceLimbsInPlace(uint64_t C[8]) {
    for (int i = 7; i >= 4; --i) {
        const uint64_t t = C[i];
        C[i - 4] ^= t << 23;
        C[i - 3] ^= (t >> 41) ^ (t << 33);
        C[i - 2] ^= t >> 31;
    }
    const uint64_t t = C[3] >> 41;
    C[0] ^= t;
    C[1] ^= t << 10;
    C[2] ^= t >> 54;
    C[3] &= (uint64_t{1} << 41) - 1;
}

// Elements as four 64-bit limbs, least significant first.
inline void toLimbs(const field_element e, uint64_t L[4]) {
    for (int i = 0; i < 4; ++i) L[i] = (uint64_t{e[6 - 2 * i]} << 32) | e[7 - 2 * i];
}

inline void fromLimbs(const uint64_t L[4], field_element e) {
    for (int i = 0; i < 4; ++i) {
        e[7 - 2 * i] = static_cast<uint32_t>(L[i]);
        e[6 - 2 * i] = static_cast<uint32_t>(L[i] >> 32);
    }
}

// out = a * b mod f with the same contract as poly_mul, on the processor's
// 64 x 64-bit carry-less multiply.
#ifdef CSL_ISA_X86
void mulClmul(const field_element a, const field_element b, field_element out);
#endif
#ifdef CSL_ISA_ARMV8
void mulPmull(const field_element a, const field_element b, field_element out);
#endif

// out = a * b mod f, with poly_mul's contract.
using Mul = void (*)(const field_element a, const field_element b, field_element out);

// Every multiplier poly_mul chooses from by name, best first: "clmul",
// "pmull", "portable" (the last needs no processor feature).
std::span<const csl_impl::Impl<Mul>> implementations();
// The first of them the usable processor features allow (csl/cpu.h).
const csl_impl::Impl<Mul>& chosen();

}  // namespace csl_gf2m
