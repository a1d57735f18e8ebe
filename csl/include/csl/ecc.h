// ECDSA (SHA-1 digests) and key agreement on sect233r1, with 30-byte private
// keys and nonces, 60-byte public keys (x then y) and signatures (r then s).
#pragma once
#include <cstdint>

int CSL_VerifyEccSig(const uint8_t digest[20], const uint8_t publicKey[60],
                     const uint8_t signature[60]);
int CSL_ComputeEccSig(const uint8_t digest[20], const uint8_t privateKey[30],
                      uint8_t signature[60], const uint8_t nonce[30]);
int CSL_GenerateEccPublicKey(const uint8_t privateKey[30], uint8_t publicKey[60]);
int CSL_GenerateEccKeyPair(const uint8_t random[30], uint8_t privateKey[30],
                           uint8_t publicKey[60]);
int CSL_GenerateEccSharedKey(const uint8_t privateKey[30], const uint8_t publicKey[60],
                             uint8_t* sharedKey, uint32_t keyLength);
int CSL_PrecomputeFour(const uint8_t publicKey[60], uint8_t table[960]);
int CSL_GenerateEccSharedKeyPre(const uint8_t privateKey[30], const uint8_t table[960],
                                uint8_t* sharedKey, uint32_t keyLength);
