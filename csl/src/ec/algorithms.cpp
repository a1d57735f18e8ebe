// ECDSA (SHA-1) and key agreement on sect233r1. Arithmetic modulo the group
// order n is on 8-digit big integers; products are formed over 16 digits.
#include "csl/algorithms.h"

#include "csl/convecc.h"
#include "csl/sha1.h"
#include "csl/wipe.h"

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
    for (int i = 0; i < 5; ++i) {
        const uint8_t* p = digest + 4 * i;
        t[3 + i] = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                   (static_cast<uint32_t>(p[2]) << 8) | p[3];
    }
    FE2IP(t, e, kDigits);
    return 0;
}

int loc_int_po_range(const bigint_digit* a, const bigint_digit* n, int digits) {
    if (bigint_iszero(a, digits)) return 0;
    return bigint_cmp(a, n, digits) < 0 ? 1 : 0;
}

int loc_poly_key_gen_primitive(const ecdsa_params* params, ecdsa_session_key* out,
                               const field_element nonce) {
    bigint_digit K[8], n[8], k[8];
    FE2IP(nonce, K, kDigits);
    if (bigint_iszero(K, kDigits)) {
        csl_wipe(K, sizeof K);
        return 7;
    }
    FE2IP(params->order, n, kDigits);
    bigint_mod(k, K, kDigits, n, kDigits);
    I2FEP(k, out->k, kDigits);
    poly_elliptic_mul_four(out->k, &params->base_point, &out->R, params);
    csl_wipe(K, sizeof K);
    csl_wipe(k, sizeof k);
    return 0;
}

int alg_poly_ECDSA_signature(const uint8_t* digest, int digestLength, const ecdsa_params* params,
                             const field_element d, ec_point* sig, const field_element nonce) {
    bigint_digit e[8], n[8], r[8], s[8], dd[8], k[8], kinv[8], t[8], x[8];
    bigint_digit prod[16], sum[16];
    ecdsa_session_key session;
    int code = 0;

    loc_hash_to_integer(digest, digestLength, e, 233);
    code = loc_poly_key_gen_primitive(params, &session, nonce);
    if (code == 0) {
        FE2IP(params->order, n, kDigits);
        FE2IP(session.R.x, x, kDigits);
        bigint_mod(r, x, kDigits, n, kDigits);
        I2FEP(r, sig->x, kDigits);
        if (bigint_iszero(r, kDigits)) {
            code = 2;
        } else {
            FE2IP(d, dd, kDigits);
            bigint_mult(prod, dd, r, kDigits);
            bigint_zero(sum, 16);
            bigint_copy(sum, e, kDigits);
            bigint_add(sum, sum, prod, 16);
            bigint_mod(t, sum, 16, n, kDigits);
            FE2IP(session.k, k, kDigits);
            bigint_mod_inv(kinv, k, n, kDigits);
            modMul(s, kinv, t, n);
            I2FEP(s, sig->y, kDigits);
            if (bigint_iszero(s, kDigits)) code = 2;
        }
    }
    csl_wipe_object(session);
    csl_wipe(dd, sizeof dd);
    csl_wipe(k, sizeof k);
    csl_wipe(kinv, sizeof kinv);
    csl_wipe(t, sizeof t);
    csl_wipe(prod, sizeof prod);
    csl_wipe(sum, sizeof sum);
    return code;
}

int alg_poly_ECDSA_verify(const uint8_t* digest, int digestLength, const ecdsa_params* params,
                          const ec_point* Q, const ec_point* sig, int* result) {
    *result = 1;
    bigint_digit r[8], s[8], n[8], w[8], e[8], u1[8], u2[8], x[8], v[8];
    FE2IP(sig->x, r, kDigits);
    FE2IP(sig->y, s, kDigits);
    FE2IP(params->order, n, kDigits);
    if (!loc_int_po_range(r, n, kDigits) || !loc_int_po_range(s, n, kDigits)) return 7;

    bigint_mod_inv(w, s, n, kDigits);
    loc_hash_to_integer(digest, digestLength, e, 233);
    modMul(u1, e, w, n);
    modMul(u2, r, w, n);

    field_element k1, k2;
    I2FEP(u1, k1, kDigits);
    I2FEP(u2, k2, kDigits);
    ec_point A, B, X;
    poly_elliptic_mul_four(k1, &params->base_point, &A, params);
    poly_elliptic_mul_slow(k2, Q, &B, params);
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
