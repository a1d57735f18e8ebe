// ECDSA (SHA-1) and key agreement on sect233r1. Arithmetic modulo the group
// order n is on 8-digit big integers; products are formed over 16 digits.
#include "csl/algorithms.h"

#include <array>

#include "csl/convecc.h"
#include "csl/ecc.h"
#include "csl/loadstore.h"
#include "csl/sha1.h"
#include "csl/wipe.h"
#include "csl/ct.h"

const field_element ecdsa_order = {0x00000100, 0x00000000, 0x00000000, 0x00000000,
                                   0x0013E974, 0xE72F8A69, 0x22031D26, 0x03CFE0D7};

namespace {

constexpr int kDigits = 8;

// a := (b * c) mod n over 16-digit products.
void modMul(bigint_digit a[8], const bigint_digit b[8], const bigint_digit c[8],
            const bigint_digit n[8]) {
    bigint_digit prod[16];
    bigint_mult(prod, b, c, kDigits);
    bigint_mod(a, prod, 16, n, kDigits);
    csl_wipe(prod, sizeof prod);
}

// Arithmetic modulo n on secret values (the nonce, the private key): four
// 64-bit limbs, least significant first, Montgomery multiplication with
// R = 2^256, fixed loop counts and masked final subtractions.
__extension__ typedef unsigned __int128 u128;
using Limbs = std::array<uint64_t, 4>;

constexpr Limbs kN = {0x22031D2603CFE0D7ull, 0x0013E974E72F8A69ull, 0ull, 0x0000010000000000ull};

// -n^-1 mod 2^64 by Newton's iteration.
constexpr uint64_t montConstant() {
    uint64_t inv = 1;
    for (int i = 0; i < 6; ++i) inv *= 2 - kN[0] * inv;
    return ~inv + 1;
}
constexpr uint64_t kN0 = montConstant();

// x - n when that does not borrow, else x; x below 2n (and 2^256).
constexpr Limbs subtractNOnce(const Limbs& x, uint64_t top = 0) {
    Limbs d{};
    uint64_t borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = static_cast<u128>(x[i]) - kN[i] - borrow;
        d[i] = static_cast<uint64_t>(t);
        borrow = static_cast<uint64_t>(t >> 64) & 1u;
    }
    // Keep d unless the subtraction went below zero (a fifth limb `top`
    // of 1 absorbs the borrow).
    const uint64_t keepX = (borrow & ~top & 1u) * ~uint64_t{0};
    Limbs r{};
    for (int i = 0; i < 4; ++i) r[i] = (x[i] & keepX) | (d[i] & ~keepX);
    return r;
}

// 2^512 mod n, for conversion into Montgomery form.
constexpr Limbs montR2() {
    Limbs x = {1, 0, 0, 0};
    for (int i = 0; i < 512; ++i) {
        uint64_t carry = 0;
        for (int j = 0; j < 4; ++j) {
            const uint64_t w = x[j];
            x[j] = (w << 1) | carry;
            carry = w >> 63;
        }
        x = subtractNOnce(x, carry);
    }
    return x;
}
constexpr Limbs kR2 = montR2();

// a * b / 2^256 mod n for a, b below n.
Limbs montMul(const Limbs& a, const Limbs& b) {
    uint64_t t[6] = {};
    for (int i = 0; i < 4; ++i) {
        uint64_t c = 0;
        for (int j = 0; j < 4; ++j) {
            const u128 p = static_cast<u128>(a[j]) * b[i] + t[j] + c;
            t[j] = static_cast<uint64_t>(p);
            c = static_cast<uint64_t>(p >> 64);
        }
        u128 p = static_cast<u128>(t[4]) + c;
        t[4] = static_cast<uint64_t>(p);
        t[5] = static_cast<uint64_t>(p >> 64);
        const uint64_t m = t[0] * kN0;
        p = static_cast<u128>(m) * kN[0] + t[0];
        c = static_cast<uint64_t>(p >> 64);
        for (int j = 1; j < 4; ++j) {
            p = static_cast<u128>(m) * kN[j] + t[j] + c;
            t[j - 1] = static_cast<uint64_t>(p);
            c = static_cast<uint64_t>(p >> 64);
        }
        p = static_cast<u128>(t[4]) + c;
        t[3] = static_cast<uint64_t>(p);
        t[4] = t[5] + static_cast<uint64_t>(p >> 64);
    }
    return subtractNOnce(Limbs{t[0], t[1], t[2], t[3]}, t[4]);
}

// a * b mod n.
Limbs mulModN(const Limbs& a, const Limbs& b) { return montMul(montMul(a, b), kR2); }

// a^-1 mod n = a^(n-2) (Fermat): a fixed exponent, so the same
// multiplications for every a; 4-bit windows of the public exponent.
Limbs invModN(const Limbs& a) {
    Limbs e = kN;
    e[0] -= 2;  // n is odd and its low limb is far above 2
    Limbs pw[16];
    pw[0] = montMul(Limbs{1, 0, 0, 0}, kR2);
    pw[1] = montMul(a, kR2);
    for (int i = 2; i < 16; ++i) pw[i] = montMul(pw[i - 1], pw[1]);
    Limbs r = pw[0];
    for (int w = 63; w >= 0; --w) {
        for (int i = 0; i < 4; ++i) r = montMul(r, r);
        r = montMul(r, pw[(e[w / 16] >> (4 * (w % 16))) & 0xF]);
    }
    csl_wipe(pw, sizeof pw);
    return montMul(r, Limbs{1, 0, 0, 0});
}

// Scalars in the field_element shape (most significant word first).
Limbs toLimbs(const field_element e) {
    Limbs l{};
    for (int i = 0; i < 4; ++i) l[i] = (uint64_t{e[6 - 2 * i]} << 32) | e[7 - 2 * i];
    return l;
}

void fromLimbs(const Limbs& l, field_element e) {
    for (int i = 0; i < 4; ++i) {
        e[7 - 2 * i] = static_cast<uint32_t>(l[i]);
        e[6 - 2 * i] = static_cast<uint32_t>(l[i] >> 32);
    }
}

bool limbsZero(const Limbs& l) { return (l[0] | l[1] | l[2] | l[3]) == 0; }

}  // namespace

void alg_init_233_bit_ECDSA(ecdsa_params* params, int /*fieldBits*/) {
    poly_elliptic_init_233_bit();
    params->form = named_curve.form;
    poly_copy(named_curve.a, params->a);
    poly_copy(named_curve.b, params->b);
    copy_point(&named_point, &params->base_point);
    poly_copy(ecdsa_order, params->order);
    poly_null(params->cofactor);
    params->cofactor[7] = 2;
}

int loc_hash_to_integer(const uint8_t* digest, int /*digestLength*/, bigint_digit e[8],
                        int /*fieldBits*/) {
    field_element t = {};
    for (int i = 0; i < 5; ++i) t[3 + i] = csl_load_be32(digest + 4 * i);
    FE2IP(t, e, kDigits);
    return 0;
}

int loc_int_po_range(const bigint_digit* a, const bigint_digit* n, int digits) {
    if (bigint_iszero(a, digits)) return 0;
    return bigint_cmp(a, n, digits) < 0 ? 1 : 0;
}

int loc_poly_key_gen_primitive(const ecdsa_params* params, ecdsa_session_key* out,
                               const field_element nonce) {
    // Values below 2^233 < 2n need at most one subtraction of n. Only
    // whether the nonce is zero is made public, as the result code shows it.
    Limbs K = toLimbs(nonce);
    if (csl_ct_declassify(limbsZero(K))) return CSL_ECC_VERIFY_ERROR;
    const Limbs k = subtractNOnce(K);
    fromLimbs(k, out->k);
    poly_elliptic_mul_four(out->k, &params->base_point, &out->R, params);
    csl_wipe(K.data(), sizeof K);
    return 0;
}

int alg_poly_ECDSA_signature(const uint8_t* digest, int digestLength, const ecdsa_params* params,
                             const field_element d, ec_point* sig, const field_element nonce) {
    // The built-in order only: params->order is n of the built-in curve.
    bigint_digit e32[8];
    ecdsa_session_key session;
    loc_hash_to_integer(digest, digestLength, e32, 233);
    int code = loc_poly_key_gen_primitive(params, &session, nonce);
    if (code == 0) {
        // r is part of the signature: public from here on.
        Limbs r = subtractNOnce(toLimbs(session.R.x));
        csl_ct_public(r.data(), sizeof r);
        fromLimbs(r, sig->x);
        if (limbsZero(r)) {
            code = 2;
        } else {
            field_element ef;
            I2FEP(e32, ef, kDigits);
            const Limbs e = toLimbs(ef);
            const Limbs dn = subtractNOnce(toLimbs(d));
            const Limbs dr = mulModN(dn, r);
            Limbs t{};
            uint64_t carry = 0;
            for (int i = 0; i < 4; ++i) {
                const u128 x = static_cast<u128>(dr[i]) + e[i] + carry;
                t[i] = static_cast<uint64_t>(x);
                carry = static_cast<uint64_t>(x >> 64);
            }
            t = subtractNOnce(t, carry);
            const Limbs k = toLimbs(session.k);
            Limbs s = mulModN(invModN(k), t);
            csl_ct_public(s.data(), sizeof s);
            fromLimbs(s, sig->y);
            if (limbsZero(s)) code = 2;
            Limbs secrets[] = {dn, dr, t, k};
            csl_wipe(secrets, sizeof secrets);
        }
    }
    csl_wipe_object(session);
    return code;
}

int alg_poly_ECDSA_verify(const uint8_t* digest, int digestLength, const ecdsa_params* params,
                          const ec_point* Q, const ec_point* sig, int* result) {
    *result = 1;
    bigint_digit r[8], s[8], n[8], w[8], e[8], u1[8], u2[8], x[8], v[8];
    FE2IP(sig->x, r, kDigits);
    FE2IP(sig->y, s, kDigits);
    FE2IP(params->order, n, kDigits);
    if (!loc_int_po_range(r, n, kDigits) || !loc_int_po_range(s, n, kDigits))
        return CSL_ECC_VERIFY_ERROR;

    bigint_mod_inv(w, s, n, kDigits);
    loc_hash_to_integer(digest, digestLength, e, 233);
    modMul(u1, e, w, n);
    modMul(u2, r, w, n);

    field_element k1, k2;
    I2FEP(u1, k1, kDigits);
    I2FEP(u2, k2, kDigits);
    ec_point A, B, X;
    poly_elliptic_mul_four(k1, &params->base_point, &A, params);
    poly_elliptic_mul_vartime(k2, Q, &B, params);
    poly_elliptic_sum(&A, &B, &X, params);
    if (poly_elliptic_is_infinity(&X)) return 2;

    FE2IP(X.x, x, kDigits);
    bigint_mod(v, x, kDigits, n, kDigits);
    uint32_t diff = 0;
    for (int i = 0; i < kDigits; ++i) diff |= r[i] ^ v[i];
    *result = diff == 0 ? 0 : 1;
    return 0;
}

int alg_generate_public_key(const ec_point* G, const ec_curve* curve, const field_element k,
                            ec_point* Q) {
    poly_elliptic_mul_four(k, G, Q, curve);
    // Q is the public key, written out whatever the result.
    csl_ct_public(Q, sizeof *Q);
    if (poly_elliptic_is_infinity(Q)) return 5;
    return poly_elliptic_on_curve(Q, curve) ? 0 : 5;
}

int alg_generate_shared_key(const ec_point* /*G*/, const ec_curve* curve, const ec_point* P,
                            const field_element k, field_element x) {
    ec_point R;
    poly_elliptic_mul_slow(k, P, &R, curve);
    poly_copy(R.x, x);
    csl_wipe_object(R);
    return 0;
}

int alg_do_precompute_four(const ec_point* P, comb4_table table, const ec_curve* curve) {
    do_precompute_four(P, table, curve);
    return 0;
}

int alg_generate_shared_key_pre(const ec_point* /*G*/, const ec_curve* curve,
                                const comb4_table table, const field_element k,
                                field_element x) {
    ec_point R;
    poly_elliptic_mul_precomputed(k, table, &R, curve);
    poly_copy(R.x, x);
    csl_wipe_object(R);
    return 0;
}

void post_process_key(const field_element x, uint8_t key[20]) {
    uint8_t octets[30];
    FE2OSP(octets, x);
    SHA1HashState state;
    SHA1Reset(&state);
    SHA1Input(&state, octets, sizeof octets);
    SHA1Result(&state, key);
    csl_wipe(octets, sizeof octets);
    csl_wipe_object(state);
}
