// RSA public-key operation and PKCS #1 v1.5 (type 01, SHA-1) signature check
// on the library's own big integers.
#pragma once
#include <cstdint>

constexpr int CSL_OK = 0;
constexpr int CSL_VERIFY_ERROR = 7;

int CSL_VerifyRsaSig(const uint8_t digest[20], const uint8_t* modulus, const uint8_t* signature,
                     const uint8_t* exponent, int exponentLen, int keyLen);
int CSL_VerifyRsaSig2048(const uint8_t digest[20], const uint8_t* modulus,
                         const uint8_t* signature, const uint8_t* exponent, int exponentLen);
int CSL_VerifyRsaSig4096(const uint8_t digest[20], const uint8_t* modulus,
                         const uint8_t* signature, const uint8_t* exponent, int exponentLen);
int CSL_ComputeRsaSig(uint8_t* out, const uint8_t* message, const uint8_t* modulus,
                      const uint8_t* exponent, int keyLen);
