// Affine point arithmetic on sect233r1, y^2 + x*y = x^3 + a*x^2 + b over
// GF(2^233), and the scalar multiplications ECDSA and key agreement use.
//
// Thread safety: the curve, the base point and its comb table are constant
// data. The only mutable state is the two-tooth table cache of
// poly_elliptic_mul, which is per thread; every function may be called from
// several threads at once.
#pragma once
#include <cstdint>

#include "csl/poly_math.h"

// Affine point; the point at infinity has both coordinates zero.
struct ec_point {
    field_element x;
    field_element y;
};

struct ec_curve {
    uint16_t form;  // 1: the built-in curve, the only form there is
    field_element a;
    field_element b;
};

// Entry i (bits b3 b2 b1 b0) is (b3*2^192 + b2*2^128 + b1*2^64 + b0) * P.
using comb4_table = ec_point[16];
// Entry i (bits b1 b0) is (b1*2^128 + b0) * P.
using comb2_table = ec_point[4];

extern const ec_curve named_curve;
extern const ec_point named_point;
extern const comb4_table precomputed_bp;

// The built-in records are constants; this only exists so that callers
// written against the set-up call keep working.
void poly_elliptic_init_233_bit();

// dst := src. Every record here is the caller's.
void copy_point(const ec_point* src, ec_point* dst);
// R := P1 + P2, 2P or P1 - P2. R may not be the same record as P1 (sum, sub)
// or P (double).
void poly_elliptic_sum(const ec_point* P1, const ec_point* P2, ec_point* R, const ec_curve* curve);
void poly_elliptic_double(const ec_point* P, ec_point* R, const ec_curve* curve);
void poly_elliptic_sub(const ec_point* P1, const ec_point* P2, ec_point* R, const ec_curve* curve);

// Scalar multiplications. Those taking a secret k (mul_slow, the combs) run
// the same operations and touch the same memory whatever k is: fixed windows
// or comb columns, table entries chosen by masks, and additions that take
// their special cases (a point at infinity, equal or opposite points) without
// a branch. Every one of them uses the curve's a and never its b, so a point
// P that is not on the record's curve still gets the result of the affine
// formulas (it is then a multiple on the curve with P's own b).

// R = k*P by fixed 4-bit windows over all 256 bits of k. P is public.
void poly_elliptic_mul_slow(const field_element k, const ec_point* P, ec_point* R,
                            const ec_curve* curve);
// The same result by signed-digit (NAF) double-and-add, whose time depends
// on k: for public scalars (signature verification) only.
void poly_elliptic_mul_vartime(const field_element k, const ec_point* P, ec_point* R,
                               const ec_curve* curve);
// table := the four-tooth comb table of P.
void do_precompute_four(const ec_point* P, comb4_table table, const ec_curve* curve);
// R = k*P with the four-tooth comb table of P.
void poly_elliptic_mul_precomputed(const field_element k, const comb4_table table, ec_point* R,
                                   const ec_curve* curve);
// R = k*G with precomputed_bp; G is not read.
void poly_elliptic_mul_four(const field_element k, const ec_point* G, ec_point* R,
                            const ec_curve* curve);
// table := the two-tooth comb table of P.
void do_precompute_two(const ec_point* P, comb2_table table, const ec_curve* curve);
// R = k*P with a two-tooth comb whose table for the last P is cached per
// thread. k = 0 gives O without touching the cache.
void poly_elliptic_mul(const field_element k, const ec_point* P, ec_point* R,
                       const ec_curve* curve);

// Copies the calling thread's cache of poly_elliptic_mul: the point whose
// table is held (all bytes 0xFF while empty) and that table.
void poly_elliptic_cached_table(ec_point* signer, comb2_table table);

// True for the point at infinity (both coordinates zero).
bool poly_elliptic_is_infinity(const ec_point* P);
// True when both coordinates are reduced and P satisfies the curve equation
// (the point at infinity does not).
bool poly_elliptic_on_curve(const ec_point* P, const ec_curve* curve);
// For a point on the built-in curve (cofactor 2): true when P lies in the
// subgroup of prime order n, i.e. P = 2Q for some point Q, which holds
// exactly when the trace of x equals the trace of a (1).
bool poly_elliptic_in_prime_subgroup(const ec_point* P);
