// Public ECC calls: octet forms in, octet forms out.
#include "csl/ecc.h"

#include <cstring>

#include "csl/algorithms.h"
#include "csl/convecc.h"
#include "csl/sha1.h"
#include "csl/wipe.h"

namespace {

// A point must be finite with reduced coordinates on the curve; anything
// else could never be a key and is turned away before arithmetic.
bool validPublicPoint(const ec_point* P) { return poly_elliptic_on_curve(P, &named_curve); }

// A public key must moreover lie in the subgroup of prime order n. With the
// point T of order 2 as a signer's key, u2*T vanishes whenever u2 is even,
// so signatures made without any private key verify; as a key-agreement peer,
// a point of order 2 or 2n would give away the low bit of the private key.
// The test is the trace of x (cofactor 2), so it costs no multiplication.
bool validPeerPoint(const ec_point* P) {
    return validPublicPoint(P) && poly_elliptic_in_prime_subgroup(P);
}

void finishSharedKey(const field_element x, uint8_t* sharedKey, uint32_t keyLength) {
    uint8_t key[20];
    post_process_key(x, key);
    if (keyLength > 0) std::memcpy(sharedKey, key, keyLength);
    csl_wipe(key, sizeof key);
}

}  // namespace

int CSL_VerifyEccSig(const uint8_t digest[20], const uint8_t publicKey[60],
                     const uint8_t signature[60]) {
    ecdsa_params params;
    alg_init_233_bit_ECDSA(&params, 233);
    ec_point Q, sig;
    OS2ECP(publicKey, ECC_POINT_BYTES, &Q);
    OS2ECP(signature, ECC_POINT_BYTES, &sig);
    if (!validPeerPoint(&Q)) return CSL_ECC_VERIFY_ERROR;
    int result = 1;
    alg_poly_ECDSA_verify(digest, SHA1_DIGEST_BYTES, &params, &Q, &sig, &result);
    return result == 0 ? CSL_ECC_OK : CSL_ECC_VERIFY_ERROR;
}

int CSL_CheckEccPublicKey(const uint8_t publicKey[60]) {
    poly_elliptic_init_233_bit();
    ec_point Q;
    OS2ECP(publicKey, ECC_POINT_BYTES, &Q);
    return validPeerPoint(&Q) ? CSL_ECC_OK : CSL_ECC_BAD_PUBLIC_KEY;
}

int CSL_ComputeEccSig(const uint8_t digest[20], const uint8_t privateKey[30],
                      uint8_t signature[60], const uint8_t nonce[30]) {
    ecdsa_params params;
    alg_init_233_bit_ECDSA(&params, 233);
    field_element d, k;
    OS2FEP(privateKey, d);
    OS2FEP(nonce, k);
    ec_point sig;
    const int code = alg_poly_ECDSA_signature(digest, SHA1_DIGEST_BYTES, &params, d,
                                              &sig, k);
    csl_wipe(d, sizeof d);
    csl_wipe(k, sizeof k);
    if (code != 0) {
        csl_wipe_object(sig);
        return CSL_ECC_SIGN_ERROR;
    }
    EC2OSP(&sig, signature, ECC_POINT_BYTES);
    return CSL_ECC_OK;
}

int CSL_GenerateEccPublicKey(const uint8_t privateKey[30], uint8_t publicKey[60]) {
    poly_elliptic_init_233_bit();
    field_element k;
    OS2FEP(privateKey, k);
    ec_point Q;
    const int code = alg_generate_public_key(&named_point, &named_curve, k, &Q);
    csl_wipe(k, sizeof k);
    EC2OSP(&Q, publicKey, ECC_POINT_BYTES);
    return code;
}

int CSL_GenerateEccKeyPair(const uint8_t random[30], uint8_t privateKey[30],
                           uint8_t publicKey[60]) {
    field_element k;
    OS2FEP(random, k);
    FE2OSP(privateKey, k);
    csl_wipe(k, sizeof k);
    return CSL_GenerateEccPublicKey(privateKey, publicKey);
}

int CSL_GenerateEccSharedKey(const uint8_t privateKey[30], const uint8_t publicKey[60],
                             uint8_t* sharedKey, uint32_t keyLength) {
    if (keyLength > CSL_ECC_MAX_SHARED_KEY) return CSL_ECC_KEY_LENGTH_ERROR;
    poly_elliptic_init_233_bit();
    ec_point P;
    OS2ECP(publicKey, ECC_POINT_BYTES, &P);
    if (!validPeerPoint(&P)) return CSL_ECC_BAD_PUBLIC_KEY;
    field_element k, x;
    OS2FEP(privateKey, k);
    alg_generate_shared_key(&named_point, &named_curve, &P, k, x);
    finishSharedKey(x, sharedKey, keyLength);
    csl_wipe(k, sizeof k);
    csl_wipe(x, sizeof x);
    return CSL_ECC_OK;
}

int CSL_PrecomputeFour(const uint8_t publicKey[60], uint8_t table[960]) {
    poly_elliptic_init_233_bit();
    ec_point P;
    OS2ECP(publicKey, ECC_POINT_BYTES, &P);
    if (!validPeerPoint(&P)) return CSL_ECC_BAD_PUBLIC_KEY;
    comb4_table t;
    alg_do_precompute_four(&P, t, &named_curve);
    for (int i = 0; i < 16; ++i) EC2OSP(&t[i], table + ECC_POINT_BYTES * i, ECC_POINT_BYTES);
    return CSL_ECC_OK;
}

int CSL_GenerateEccSharedKeyPre(const uint8_t privateKey[30], const uint8_t table[960],
                                uint8_t* sharedKey, uint32_t keyLength) {
    if (keyLength > CSL_ECC_MAX_SHARED_KEY) return CSL_ECC_KEY_LENGTH_ERROR;
    poly_elliptic_init_233_bit();
    comb4_table t;
    for (int i = 0; i < 16; ++i) {
        OS2ECP(table + ECC_POINT_BYTES * i, ECC_POINT_BYTES, &t[i]);
        const bool infinity = poly_elliptic_is_infinity(&t[i]);
        if (i == 0 ? !infinity : (i == 1 ? !validPeerPoint(&t[i])
                                         : !infinity && !validPublicPoint(&t[i])))
            return CSL_ECC_BAD_PUBLIC_KEY;
    }
    field_element k, x;
    OS2FEP(privateKey, k);
    alg_generate_shared_key_pre(&named_point, &named_curve, t, k, x);
    finishSharedKey(x, sharedKey, keyLength);
    csl_wipe(k, sizeof k);
    csl_wipe(x, sizeof x);
    return CSL_ECC_OK;
}
