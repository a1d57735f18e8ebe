// Constant-time discipline helpers.
//
// Secret values (keys, nonces and what is derived from them) must not steer a
// branch or a memory index. A checking build (TMD_CT_CHECK) lets valgrind's
// memcheck verify that: the test programs mark the secrets as undefined
// memory, memcheck reports every branch and address computed from them, and
// the few values that become public anyway (a signature, a result code) are
// declared public here, at the one place where they stop being secret.
// Outside the checking build these compile to nothing.
#pragma once
#include <cstddef>
#include <cstdint>

#ifdef TMD_CT_CHECK
#include <valgrind/memcheck.h>
#endif

// The value in [p, p + n) is public from here on.
inline void csl_ct_public(const void* p, size_t n) {
#ifdef TMD_CT_CHECK
    VALGRIND_MAKE_MEM_DEFINED(p, n);
#else
    (void)p;
    (void)n;
#endif
}

// The value in [p, p + n) is secret (used by the checking programs).
inline void csl_ct_secret(const void* p, size_t n) {
#ifdef TMD_CT_CHECK
    VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#else
    (void)p;
    (void)n;
#endif
}

template <typename T>
inline T csl_ct_declassify(T v) {
    csl_ct_public(&v, sizeof v);
    return v;
}

// All ones when x is zero, else zero; without a branch.
inline uint32_t csl_ct_is_zero_mask(uint32_t x) {
    return static_cast<uint32_t>((static_cast<uint64_t>(x) - 1) >> 32);
}
