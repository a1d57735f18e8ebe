// RSA public-key operation and PKCS #1 v1.5 (type 01, SHA-1) signature check
// on the library's own big integers.
#pragma once
#include <cstdint>

constexpr int CSL_OK = 0;
constexpr int CSL_VERIFY_ERROR = 7;

// Checks that signature^exponent mod modulus is the block 00 01 FF..FF 00,
// the SHA-1 DigestInfo header and the digest. Returns CSL_OK or
// CSL_VERIFY_ERROR. Also CSL_VERIFY_ERROR, without any arithmetic, when
// keyLen is not a multiple of 4 in 40..512 bytes, when the signature is not
// below the modulus (which includes a zero modulus), or when the exponent
// does not fit one 32-bit digit: exponentLen must be 1..keyLen and any bytes
// before the last four must be zero.
int CSL_VerifyRsaSig(const uint8_t digest[20], const uint8_t* modulus, const uint8_t* signature,
                     const uint8_t* exponent, int exponentLen, int keyLen);
int CSL_VerifyRsaSig2048(const uint8_t digest[20], const uint8_t* modulus,
                         const uint8_t* signature, const uint8_t* exponent, int exponentLen);
int CSL_VerifyRsaSig4096(const uint8_t digest[20], const uint8_t* modulus,
                         const uint8_t* signature, const uint8_t* exponent, int exponentLen);
// out = message^exponent mod modulus, all keyLen-byte big-endian strings;
// the message is the finished block. Returns CSL_OK, or -1 (nothing written)
// when keyLen is not a multiple of 4 in 4..512 or a pointer is null.
int CSL_ComputeRsaSig(uint8_t* out, const uint8_t* message, const uint8_t* modulus,
                      const uint8_t* exponent, int keyLen);
