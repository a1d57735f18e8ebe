// The rules a public key must meet before any signature is trusted under it.
#include "csl/ecc.h"
#include "es/cert.h"

namespace {

constexpr uint32_t kEccKeyBytes = 60;

// Odd and above 1: a big-endian number whose last byte is odd and that has
// any other bit set.
bool usableExponent(const uint8_t* e, uint32_t len) {
    if (len == 0 || (e[len - 1] & 1u) == 0) return false;
    uint8_t above = static_cast<uint8_t>(e[len - 1] & 0xFEu);
    for (uint32_t i = 0; i + 1 < len; ++i) above |= e[i];
    return above != 0;
}

}  // namespace

int32_t ES_CheckPubKey(uint32_t keyType, const uint8_t* key, uint32_t keyLen,
                       const uint8_t* exponent, uint32_t exponentLen) {
    if (!key) return ES_ERR_INVALID;
    switch (keyType) {
        case ES_PUBKEY_RSA4096:
        case ES_PUBKEY_RSA2048:
            if (!exponent) return ES_ERR_INVALID;
            return usableExponent(exponent, exponentLen) ? ES_ERR_OK : ES_ERR_UNTRUSTED_PUBKEY;
        case ES_PUBKEY_ECC:
            if (keyLen != kEccKeyBytes) return ES_ERR_INVALID;
            return CSL_CheckEccPublicKey(key) == CSL_ECC_OK ? ES_ERR_OK : ES_ERR_UNTRUSTED_PUBKEY;
        default:
            return ES_ERR_INVALID_PUBKEY_TYPE;
    }
}

int32_t ES_CheckCertPubKey(const uint8_t* cert) {
    uint32_t len = 0;
    const uint8_t* key = ES_GetCertPubKey(cert, &len);
    if (!key) return ES_ERR_INVALID_PUBKEY_TYPE;
    // Every RSA layout keeps its 4-byte exponent right after the modulus.
    if (len == kEccKeyBytes) return ES_CheckPubKey(ES_PUBKEY_ECC, key, len, nullptr, 0);
    return ES_CheckPubKey(len == 512 ? ES_PUBKEY_RSA4096 : ES_PUBKEY_RSA2048, key, len, key + len,
                          4);
}
