// ECC signature checks of device certificates and buffers. Kept apart from
// the certificate formats so that users of the formats alone do not pull in
// the curve arithmetic.
#include "csl/ecc.h"
#include "csl/sha1.h"
#include "es/cert.h"

int32_t ES_VerifyDeviceCert(const uint8_t cert[384], const uint8_t signerPublicKey[60]) {
    if (!cert || !signerPublicKey) return ES_ERR_VERIFY_FAILED;
    const ES_CertLayout* l = ES_GetCertLayout(ES_SIG_ECC, ES_PUBKEY_ECC);
    uint8_t digest[SHA1_DIGEST_BYTES];
    csl_sha1(cert + l->issuer, l->size - l->issuer, digest);
    return CSL_VerifyEccSig(digest, signerPublicKey, cert + ES_SIG_OFFSET) == 0
               ? 0
               : ES_ERR_VERIFY_FAILED;
}

int32_t ES_VerifyEccSig(const uint8_t publicKey[60], const uint8_t* data, uint32_t dataLen,
                        const uint8_t signature[60]) {
    if (!publicKey || (!data && dataLen > 0) || !signature) return ES_ERR_VERIFY_FAILED;
    uint8_t digest[SHA1_DIGEST_BYTES];
    csl_sha1(data, dataLen, digest);
    return CSL_VerifyEccSig(digest, publicKey, signature) == 0 ? 0 : ES_ERR_VERIFY_FAILED;
}
