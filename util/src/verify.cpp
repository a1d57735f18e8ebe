// Verification of a signed object against its signer's certificate, and
// ECDSA signing of an object from a raw private-key file.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "csl/ct.h"
#include "csl/ecc.h"
#include "csl/rsa.h"
#include "csl/sha1.h"
#include "csl/wipe.h"
#include "es/cert.h"
#include "io/small_file.h"
#include "es/es.h"
#include "util/utils.h"

namespace {

constexpr int32_t kEccPrivateKeyBytes = 30;

// A bare RSA-4096 modulus is checked with the usual public exponent 65537.
constexpr uint8_t kBuiltInExponent[3] = {0x01, 0x00, 0x01};

// The layout holding the signer's key. The certificate's size alone names
// it; its own type fields are never read. RSA-4096 keys come from the one
// layout that holds them, whatever the size, and ECC keys only from the
// RSA-2048-signed layout: device certificates have never been signers here.
const ES_CertLayout* signerLayout(const ES_SigLayout& sig, int32_t certSize) {
    if (sig.sigType == ES_SIG_RSA4096) return ES_GetCertLayout(ES_SIG_RSA4096, ES_PUBKEY_RSA4096);
    const ES_CertLayout* l = certSize > 0 ? ES_GetCertLayoutBySize(static_cast<uint32_t>(certSize)) : nullptr;
    if (!l || l->keyType != sig.signerKeyType || l->sigType == ES_SIG_ECC) return nullptr;
    return l;
}

// A certificate's exponent of 1 or an even one makes a signature mean
// nothing (ES_CheckPubKey): such a key verifies nothing.
bool trustedRsaKey(const ES_CertLayout& l, const uint8_t* publicKey, const uint8_t* exponent) {
    return ES_CheckPubKey(l.keyType, publicKey, l.publicKeyBytes, exponent, ES_CERT_EXPONENT_BYTES) ==
           ES_ERR_OK;
}

}  // namespace

int32_t utilVerify(const char* certPath, int32_t sigLength, const uint8_t* object,
                   int32_t objectSize) {
    uint8_t cert[ES_CERT_MAX_BYTES];
    struct stat st {};
    if (stat(certPath, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A missing, unreadable or non-regular file ends in utilFread's own
        // messages; anything that still reads is no certificate we know.
        utilFread(certPath, cert, sizeof cert);
        return ES_ERR_UNSUPPORTED_CERT;
    }
    if (st.st_size > static_cast<off_t>(sizeof cert)) return ES_ERR_UNSUPPORTED_CERT;
    const auto size = static_cast<int32_t>(st.st_size);
    utilFread(certPath, cert, static_cast<uint32_t>(size));
    return utilVerify2(cert, size, sigLength, object, objectSize, 1);
}

int32_t utilVerify2(const uint8_t* key, int32_t keySize, int32_t sigLength,
                    const uint8_t* object, int32_t objectSize, int32_t fromCert) {
    const ES_SigLayout* sig =
        sigLength > 0 ? ES_GetSigLayoutBySigBytes(static_cast<uint32_t>(sigLength)) : nullptr;
    if (!sig) return ES_ERR_UNSUPPORTED_SIG_SIZE;
    const auto signedStart = static_cast<int32_t>(sig->signedStart);
    if (!key || !object || objectSize < signedStart) return ES_ERR_INVALID;

    uint8_t digest[SHA1_DIGEST_BYTES];
    csl_sha1(object + signedStart, static_cast<size_t>(objectSize - signedStart), digest);
    const uint8_t* signature = object + ES_SIG_OFFSET;

    if (sig->sigType == ES_SIG_RSA4096 && !fromCert) {
        if (keySize < sigLength) return ES_ERR_UNSUPPORTED_CERT;
        return CSL_VerifyRsaSig4096(digest, key, signature, kBuiltInExponent,
                                    sizeof kBuiltInExponent);
    }
    const ES_CertLayout* l = signerLayout(*sig, keySize);
    if (!l) {
        if (sig->sigType == ES_SIG_ECC) std::printf("Case Not Handled\n");
        return ES_ERR_UNSUPPORTED_CERT;
    }
    const uint8_t* publicKey = key + l->publicKey;
    const uint8_t* exponent = key + l->exponent;
    switch (sig->sigType) {
        case ES_SIG_RSA4096:
            if (keySize < static_cast<int32_t>(l->exponent + ES_CERT_EXPONENT_BYTES))
                return ES_ERR_UNSUPPORTED_CERT;
            if (!trustedRsaKey(*l, publicKey, exponent)) return CSL_VERIFY_ERROR;
            return CSL_VerifyRsaSig4096(digest, publicKey, signature, exponent, ES_CERT_EXPONENT_BYTES);
        case ES_SIG_RSA2048:
            if (!trustedRsaKey(*l, publicKey, exponent)) return CSL_VERIFY_ERROR;
            return CSL_VerifyRsaSig2048(digest, publicKey, signature, exponent, ES_CERT_EXPONENT_BYTES);
        default:
            return CSL_VerifyEccSig(digest, publicKey, signature);
    }
}

int32_t utilFillEccSig(const char* keyPath, uint8_t* object, int32_t objectSize) {
    const auto signedStart = static_cast<int32_t>(ES_GetSigLayout(ES_SIG_ECC)->signedStart);
    if (!object || objectSize < signedStart) return ES_ERR_INVALID;

    uint8_t privateKey[kEccPrivateKeyBytes];
    utilFread(keyPath, privateKey, sizeof privateKey);
    csl_ct_secret(privateKey, sizeof privateKey);  // for the constant-time check

    uint8_t digest[SHA1_DIGEST_BYTES];
    csl_sha1(object + signedStart, static_cast<size_t>(objectSize - signedStart), digest);

    // A nonce that repeats or can be predicted gives the private key away, so
    // each signature draws its own from the operating system.
    uint8_t nonce[kEccPrivateKeyBytes];
    if (!tmd_io::randomBytes(nonce, sizeof nonce)) {
        csl_wipe_object(privateKey);
        return ES_ERR_INVALID;
    }
    csl_ct_secret(nonce, sizeof nonce);

    uint8_t signature[ES_ECC_SIG_BYTES];
    int32_t r = CSL_ComputeEccSig(digest, privateKey, signature, nonce);
    csl_wipe_object(privateKey);
    csl_wipe_object(nonce);
    if (r == 0) {
        std::memcpy(object + ES_SIG_OFFSET, signature, sizeof signature);
    } else {
        std::printf("CSL_ComputeEccSig failed %d\n", r);
    }
    return r;
}
