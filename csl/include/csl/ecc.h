// ECDSA (SHA-1 digests) and key agreement on sect233r1, with 30-byte private
// keys and nonces, 60-byte public keys (x then y) and signatures (r then s).
//
// Result codes: 0 success (for CSL_VerifyEccSig: valid); 7 the signature does
// not verify; 2 signing failed; 5 a public key (or table entry) that is the
// point at infinity, has a coordinate of 2^233 or more, or is off the curve;
// 1 a shared-key length above 20.
//
// Every call may be made from several threads at once: the curve data are
// constants and the only cache (for repeated multiplications of one point)
// is kept per thread. Private keys, nonces and shared secrets are wiped from
// the library's own storage before each call returns.
#pragma once
#include <cstdint>

constexpr int CSL_ECC_OK = 0;
constexpr int CSL_ECC_KEY_LENGTH_ERROR = 1;
constexpr int CSL_ECC_SIGN_ERROR = 2;
constexpr int CSL_ECC_BAD_PUBLIC_KEY = 5;
constexpr int CSL_ECC_VERIFY_ERROR = 7;
// The shared key is a SHA-1 digest; longer keys are refused.
constexpr uint32_t CSL_ECC_MAX_SHARED_KEY = 20;

// 0 when signature is a valid signature of digest under publicKey; 7 for
// every kind of failure, including a public key that is not a point of the
// curve or lies outside the subgroup of prime order (see below).
int CSL_VerifyEccSig(const uint8_t digest[20], const uint8_t publicKey[60],
                     const uint8_t signature[60]);
// 0 when publicKey can be trusted as a key: a point of the curve (finite,
// coordinates below 2^233) in the subgroup of prime order n, the subgroup
// every key d*G lies in; else 5. A point outside it (such as (0, sqrt(b)),
// of order 2) would let signatures made without a private key verify.
// Public values only: the check takes variable time.
int CSL_CheckEccPublicKey(const uint8_t publicKey[60]);
// 0 and signature written; 2 (signature untouched) when the low 233 bits of
// the nonce are zero or r or s comes out zero. Deterministic in its inputs.
int CSL_ComputeEccSig(const uint8_t digest[20], const uint8_t privateKey[30],
                      uint8_t signature[60], const uint8_t nonce[30]);
// publicKey := privateKey * G (the key cut to its low 233 bits); written in
// every case. 0, or 5 when the result is the point at infinity.
int CSL_GenerateEccPublicKey(const uint8_t privateKey[30], uint8_t publicKey[60]);
// privateKey := random cut to 233 bits, then as CSL_GenerateEccPublicKey.
int CSL_GenerateEccKeyPair(const uint8_t random[30], uint8_t privateKey[30],
                           uint8_t publicKey[60]);
// sharedKey := the first keyLength bytes of SHA-1 of the 30-byte x coordinate
// of privateKey * publicKey. 0; 1 when keyLength > 20; 5 for a public key
// that is not a point of the curve. Nothing is written on failure.
int CSL_GenerateEccSharedKey(const uint8_t privateKey[30], const uint8_t publicKey[60],
                             uint8_t* sharedKey, uint32_t keyLength);
// table := the 16-point comb table of publicKey (960 bytes). 0; 5 (nothing
// written) for a public key that is not a point of the curve.
int CSL_PrecomputeFour(const uint8_t publicKey[60], uint8_t table[960]);
// As CSL_GenerateEccSharedKey, with the peer's table from CSL_PrecomputeFour.
// 0; 1 when keyLength > 20; 5 when an entry is neither the point at
// infinity nor a point of the curve, entry 0 is not the point at infinity or
// entry 1 (the peer's key) is. Nothing is written on failure.
int CSL_GenerateEccSharedKeyPre(const uint8_t privateKey[30], const uint8_t table[960],
                                uint8_t* sharedKey, uint32_t keyLength);
