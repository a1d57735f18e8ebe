// AES (FIPS 197): block primitives, an instance interface with ECB and CBC
// over whole blocks (lengths in bits), and one-shot AES-128-CBC.
//
// Timing: every call is constant time on every processor: key expansion and
// every block operation take the same time and touch the same memory whatever
// the key and data. They run on the AES instructions where the processor has
// them (csl/cpu.h) and otherwise on bitsliced code, which indexes no table
// and takes no branch on the key or the data.
#pragma once
#include <cstdint>

constexpr int AES_BLOCK_BYTES = 16;

constexpr uint8_t AES_DIR_ENCRYPT = 0;
constexpr uint8_t AES_DIR_DECRYPT = 1;
constexpr uint8_t AES_MODE_ECB = 1;
constexpr uint8_t AES_MODE_CBC = 2;

// Result codes of the instance interface.
constexpr int AES_OK = 1;
constexpr int AES_BAD_KEY_DIR = -1;
constexpr int AES_BAD_KEY_MAT = -2;
constexpr int AES_BAD_KEY_INSTANCE = -3;
constexpr int AES_BAD_CIPHER_MODE = -4;
constexpr int AES_BAD_CIPHER_STATE = -5;

struct AesKeySchedule {
    uint8_t direction;      // 0 encryption, 1 decryption
    int32_t rounds;         // 10, 12 or 14
    uint32_t roundKeys[60];
};

struct AesCipherState {
    int32_t mode;           // 1 ECB, 2 CBC
    uint8_t chainBlock[16];
};

// Block primitives. Every buffer is the caller's; nothing is kept.
// The encryption (or decryption) round keys of a 128-, 192- or 256-bit key;
// returns the number of rounds (10, 12, 14).
int rijndaelKeySetupEnc(uint32_t roundKeys[60], const uint8_t* key, int keyBits);
int rijndaelKeySetupDec(uint32_t roundKeys[60], const uint8_t* key, int keyBits);
// One 16-byte block through the cipher (or its inverse) with those round keys.
// A round count other than 10, 12 or 14 does nothing (out is not written).
void rijndaelEncrypt(const uint32_t* roundKeys, int rounds, const uint8_t in[16], uint8_t out[16]);
void rijndaelDecrypt(const uint32_t* roundKeys, int rounds, const uint8_t in[16], uint8_t out[16]);

// Instance interface: a key schedule and a cipher state, both the caller's.
// Expands keyMaterial (keyBits 128, 192 or 256) for one direction; AES_OK or
// a negative code.
int aesMakeKey(AesKeySchedule* key, uint8_t direction, int keyBits, const uint8_t* keyMaterial);
// Sets the mode (ECB or CBC) and, for CBC, the 16-byte IV; AES_OK or a
// negative code.
int aesCipherInit(AesCipherState* cipher, uint8_t mode, const uint8_t* iv);
// Encrypts (decrypts) inputBits of whole blocks, carrying the CBC chain in
// cipher; returns the number of bits processed or a negative code
// (AES_BAD_CIPHER_STATE also for a key record whose round count is not 10,
// 12 or 14).
int aesBlockEncrypt(AesCipherState* cipher, const AesKeySchedule* key, const uint8_t* input,
                    int inputBits, uint8_t* output);
int aesBlockDecrypt(AesCipherState* cipher, const AesKeySchedule* key, const uint8_t* input,
                    int inputBits, uint8_t* output);

// One-shot AES-128-CBC. The caller's iv is never written; to continue a
// stream, pass the last 16 ciphertext bytes of the previous call as the next
// iv. Returns 0 when the whole length was processed, -1 otherwise. A length
// that is not a multiple of 16 gets its whole blocks processed, the output
// bytes of the trailing partial block left as they were, and -1.
// The length is carried as a bit count in an int, so lengths of
// AES_SW_MAX_LENGTH bytes or more (and negative lengths, or a null key, input
// or output with a non-zero length) are refused with -1 before anything is
// read or written. Length 0 returns 0 and touches nothing.
constexpr int AES_SW_MAX_LENGTH = 1 << 28;
int aes_SwEncrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t* input, int length,
                  uint8_t* output);
int aes_SwDecrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t* input, int length,
                  uint8_t* output);

// Expanded 128-bit decryption key (44 round-key words, host order). 0 or -1.
int aes_HwKeyExpand(const uint8_t key[16], uint8_t out[176]);
