// ECDSA with SHA-1 digests and elliptic-curve key agreement on sect233r1,
// over the point arithmetic and the big integers (modulo the group order).
//
// Scalars (d, k, nonces) are in the field_element shape; integers are 8-digit
// big integers. All functions are safe to call from several threads.
#pragma once
#include <cstdint>

#include "csl/elliptic_math.h"
#include "csl/integer_math.h"

// Begins with the curve fields, so it can be passed wherever a curve is
// expected.
struct ecdsa_params : ec_curve {
    ec_point base_point;
    field_element order;     // n, the order of the base point
    field_element cofactor;  // h = 2 (kept, not used)
};

// A per-signature key: the scalar k reduced modulo n and R = k*G.
struct ecdsa_session_key {
    field_element k;
    ec_point R;
};

extern const field_element ecdsa_order;

// Fills params with the built-in curve; fieldBits must be 233.
void alg_init_233_bit_ECDSA(ecdsa_params* params, int fieldBits);

// sig->x := r, sig->y := s. Returns 0; 7 for a zero nonce; 2 when r or s is
// zero (no retry: the same inputs always give the same result).
int alg_poly_ECDSA_signature(const uint8_t* digest, int digestLength, const ecdsa_params* params,
                             const field_element d, ec_point* sig, const field_element nonce);
// Returns 0 after a full check (*result 0 valid, 1 not), 7 for r or s out of
// [1, n-1], 2 for a sum at infinity (*result 1).
int alg_poly_ECDSA_verify(const uint8_t* digest, int digestLength, const ecdsa_params* params,
                          const ec_point* Q, const ec_point* sig, int* result);

// Q := k*G with the built-in table (G is not read). 0, or 5 when Q is the
// point at infinity or fails the curve equation.
int alg_generate_public_key(const ec_point* G, const ec_curve* curve, const field_element k,
                            ec_point* Q);
// x := the x coordinate of k*P. Returns 0.
int alg_generate_shared_key(const ec_point* G, const ec_curve* curve, const ec_point* P,
                            const field_element k, field_element x);
// table := the four-tooth comb table of P. Returns 0.
int alg_do_precompute_four(const ec_point* P, comb4_table table, const ec_curve* curve);
// x := the x coordinate of k*P, with the comb table of P. Returns 0.
int alg_generate_shared_key_pre(const ec_point* G, const ec_curve* curve, const comb4_table table,
                                const field_element k, field_element x);

// The 20 digest bytes as a 160-bit integer (below n, so never reduced).
int loc_hash_to_integer(const uint8_t* digest, int digestLength, bigint_digit e[8],
                        int fieldBits);
// 1 when 1 <= a <= n - 1, else 0.
int loc_int_po_range(const bigint_digit* a, const bigint_digit* n, int digits);
// 0 and out filled; 7 when the nonce is zero.
int loc_poly_key_gen_primitive(const ecdsa_params* params, ecdsa_session_key* out,
                               const field_element nonce);
// key := SHA-1 of the 30-byte octet form of x.
void post_process_key(const field_element x, uint8_t key[20]);
