// Verification of a signed object against its signer's certificate, and
// ECDSA signing of an object from a raw private-key file.
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "csl/ct.h"
#include "csl/ecc.h"
#include "csl/rsa.h"
#include "csl/sha1.h"
#include "csl/wipe.h"
#include "es/cert.h"
#include "es/es.h"
#include "util/utils.h"

namespace {

// The largest certificate layout (RSA-4096 signed, RSA-4096 key).
constexpr int32_t kMaxCertBytes = 1280;

constexpr int32_t kEccSignedStart = 128;
constexpr int32_t kEccSigBytes = 60;
constexpr int32_t kEccPrivateKeyBytes = 30;

// Where each verifiable certificate layout keeps its public key.
constexpr int32_t kRsa4096KeyOffset = 712;
constexpr int32_t kRsa4096ExpOffset = 1224;
constexpr int32_t kRsa4096CertEnd = kRsa4096ExpOffset + 4;
constexpr int32_t kRsa2048In4096CertKeyOffset = 712;
constexpr int32_t kRsa2048In4096CertExpOffset = 968;
constexpr int32_t kRsa2048In2048CertKeyOffset = 456;
constexpr int32_t kRsa2048In2048CertExpOffset = 712;
constexpr int32_t kEccKeyOffset = 456;

// A bare RSA-4096 modulus is checked with the usual public exponent 65537.
constexpr uint8_t kBuiltInExponent[3] = {0x01, 0x00, 0x01};

int32_t signedStartFor(int32_t sigLength) {
    return sigLength == kEccSigBytes ? kEccSignedStart : sigLength + 64;
}

// Fresh nonce bytes from the operating system's generator.
bool fillRandom(uint8_t* out, size_t length) {
    while (length > 0) {
        ssize_t n = getrandom(out, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int32_t utilVerify(const char* certPath, int32_t sigLength, const uint8_t* object,
                   int32_t objectSize) {
    uint8_t cert[kMaxCertBytes];
    struct stat st {};
    if (stat(certPath, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A missing, unreadable or non-regular file ends in utilFread's own
        // messages; anything that still reads is no certificate we know.
        utilFread(certPath, cert, sizeof cert);
        return ES_ERR_UNSUPPORTED_CERT;
    }
    if (st.st_size > kMaxCertBytes) return ES_ERR_UNSUPPORTED_CERT;
    const auto size = static_cast<int32_t>(st.st_size);
    utilFread(certPath, cert, static_cast<uint32_t>(size));
    return utilVerify2(cert, size, sigLength, object, objectSize, 1);
}

int32_t utilVerify2(const uint8_t* key, int32_t keySize, int32_t sigLength,
                    const uint8_t* object, int32_t objectSize, int32_t fromCert) {
    if (sigLength != 512 && sigLength != 256 && sigLength != kEccSigBytes)
        return ES_ERR_UNSUPPORTED_SIG_SIZE;
    const int32_t signedStart = signedStartFor(sigLength);
    if (!key || !object || objectSize < signedStart) return ES_ERR_INVALID;

    uint8_t digest[SHA1_DIGEST_BYTES];
    csl_sha1(object + signedStart, static_cast<size_t>(objectSize - signedStart), digest);
    const uint8_t* signature = object + 4;

    // A certificate's exponent of 1 or an even one makes a signature mean
    // nothing (ES_CheckPubKey): such a key verifies nothing.
    auto rsa =
        [&](int32_t (*verify)(const uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int),
            uint32_t keyType, int32_t keyOffset, int32_t expOffset) -> int32_t {
        const uint32_t len = keyType == ES_PUBKEY_RSA4096 ? 512 : 256;
        if (ES_CheckPubKey(keyType, key + keyOffset, len, key + expOffset, 4) != ES_ERR_OK)
            return CSL_VERIFY_ERROR;
        return verify(digest, key + keyOffset, signature, key + expOffset, 4);
    };
    switch (sigLength) {
        case 512:
            if (fromCert) {
                if (keySize < kRsa4096CertEnd) return ES_ERR_UNSUPPORTED_CERT;
                return rsa(CSL_VerifyRsaSig4096, ES_PUBKEY_RSA4096, kRsa4096KeyOffset,
                           kRsa4096ExpOffset);
            }
            if (keySize < 512) return ES_ERR_UNSUPPORTED_CERT;
            return CSL_VerifyRsaSig4096(digest, key, signature, kBuiltInExponent,
                                        sizeof kBuiltInExponent);
        case 256:
            if (keySize == 1024)
                return rsa(CSL_VerifyRsaSig2048, ES_PUBKEY_RSA2048, kRsa2048In4096CertKeyOffset,
                           kRsa2048In4096CertExpOffset);
            if (keySize == 768)
                return rsa(CSL_VerifyRsaSig2048, ES_PUBKEY_RSA2048, kRsa2048In2048CertKeyOffset,
                           kRsa2048In2048CertExpOffset);
            return ES_ERR_UNSUPPORTED_CERT;
        default:
            if (keySize == 576) return CSL_VerifyEccSig(digest, key + kEccKeyOffset, signature);
            std::printf("Case Not Handled\n");
            return ES_ERR_UNSUPPORTED_CERT;
    }
}

int32_t utilFillEccSig(const char* keyPath, uint8_t* object, int32_t objectSize) {
    if (!object || objectSize < kEccSignedStart) return ES_ERR_INVALID;

    uint8_t privateKey[kEccPrivateKeyBytes];
    utilFread(keyPath, privateKey, sizeof privateKey);
    csl_ct_secret(privateKey, sizeof privateKey);  // for the constant-time check

    uint8_t digest[SHA1_DIGEST_BYTES];
    csl_sha1(object + kEccSignedStart, static_cast<size_t>(objectSize - kEccSignedStart), digest);

    // A nonce that repeats or can be predicted gives the private key away, so
    // each signature draws its own from the operating system.
    uint8_t nonce[kEccPrivateKeyBytes];
    if (!fillRandom(nonce, sizeof nonce)) {
        csl_wipe_object(privateKey);
        return ES_ERR_INVALID;
    }
    csl_ct_secret(nonce, sizeof nonce);

    uint8_t signature[kEccSigBytes];
    int32_t r = CSL_ComputeEccSig(digest, privateKey, signature, nonce);
    csl_wipe_object(privateKey);
    csl_wipe_object(nonce);
    if (r == 0) {
        std::memcpy(object + 4, signature, sizeof signature);
    } else {
        std::printf("CSL_ComputeEccSig failed %d\n", r);
    }
    return r;
}
