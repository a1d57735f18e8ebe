// RSA public-key operation and the check of PKCS #1 v1.5 type 01 signature
// blocks over SHA-1, on the library's own big integers.
#include "csl/rsa.h"

#include "csl/integer_math.h"
#include "csl/wipe.h"

namespace {

// The zero separator after the FF run, then the DER DigestInfo header of SHA-1.
constexpr uint8_t sha1_sig[16] = {0x00, 0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B,
                                  0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

constexpr int kDigestBytes = 20;
// 00 01, the separator and header, and the digest: the block needs at least
// this many bytes even with an empty FF run.
constexpr int kMinBlockBytes = 2 + 16 + kDigestBytes;

bool keyLenUsable(int keyLen) {
    return keyLen >= kMinBlockBytes && keyLen <= 4 * (BIGINT_MAX_DIGITS - 1) && keyLen % 4 == 0;
}

}  // namespace

int CSL_VerifyRsaSig(const uint8_t digest[20], const uint8_t* modulus, const uint8_t* signature,
                     const uint8_t* exponent, int exponentLen, int keyLen) {
    if (!digest || !modulus || !signature || !exponent) return CSL_VERIFY_ERROR;
    if (!keyLenUsable(keyLen)) return CSL_VERIFY_ERROR;
    // The public exponent is held in one digit. Longer strings are accepted
    // only when the extra leading bytes are zero: silently dropping them
    // would verify under a different (possibly trivial) exponent.
    if (exponentLen <= 0 || exponentLen > keyLen) return CSL_VERIFY_ERROR;
    for (int i = 0; i + 4 < exponentLen; ++i)
        if (exponent[i] != 0) return CSL_VERIFY_ERROR;

    const int k = keyLen / 4;
    bigint_digit n[BIGINT_MAX_DIGITS], s[BIGINT_MAX_DIGITS], m[BIGINT_MAX_DIGITS];
    bigint_digit e[1];
    OS2IP(n, k, modulus, keyLen);
    OS2IP(s, k, signature, keyLen);
    OS2IP(e, 1, exponent, exponentLen);
    // A representative must lie below the modulus; this also refuses a zero
    // modulus, for which no reduction exists.
    if (bigint_cmp(s, n, k) >= 0) return CSL_VERIFY_ERROR;

    bigint_mod_exp(m, s, e, 1, n, k);
    uint8_t em[4 * BIGINT_MAX_DIGITS];
    I2OSP(em, keyLen, m, k);

    // Every byte is examined; the outcome is decided only at the end.
    unsigned diff = em[0] ^ 0x00u;
    diff |= em[1] ^ 0x01u;
    const int ffEnd = keyLen - 36;  // first byte of sha1_sig
    for (int i = 2; i < ffEnd; ++i) diff |= em[i] ^ 0xFFu;
    for (int i = 0; i < 16; ++i) diff |= em[ffEnd + i] ^ sha1_sig[i];
    for (int i = 0; i < kDigestBytes; ++i) diff |= em[keyLen - kDigestBytes + i] ^ digest[i];
    return diff == 0 ? CSL_OK : CSL_VERIFY_ERROR;
}

int CSL_VerifyRsaSig2048(const uint8_t digest[20], const uint8_t* modulus,
                         const uint8_t* signature, const uint8_t* exponent, int exponentLen) {
    return CSL_VerifyRsaSig(digest, modulus, signature, exponent, exponentLen, 256);
}

int CSL_VerifyRsaSig4096(const uint8_t digest[20], const uint8_t* modulus,
                         const uint8_t* signature, const uint8_t* exponent, int exponentLen) {
    return CSL_VerifyRsaSig(digest, modulus, signature, exponent, exponentLen, 512);
}

int CSL_ComputeRsaSig(uint8_t* out, const uint8_t* message, const uint8_t* modulus,
                      const uint8_t* exponent, int keyLen) {
    if (!out || !message || !modulus || !exponent) return -1;
    if (keyLen < 4 || keyLen > 4 * (BIGINT_MAX_DIGITS - 1) || keyLen % 4 != 0) return -1;
    const int k = keyLen / 4;
    bigint_digit msg[BIGINT_MAX_DIGITS], n[BIGINT_MAX_DIGITS], d[BIGINT_MAX_DIGITS],
        r[BIGINT_MAX_DIGITS];
    OS2IP(msg, k, message, keyLen);
    OS2IP(n, k, modulus, keyLen);
    OS2IP(d, k, exponent, keyLen);
    bigint_mod_exp(r, msg, d, k, n, k);
    I2OSP(out, keyLen, r, k);
    csl_wipe(d, sizeof d);
    return CSL_OK;
}
