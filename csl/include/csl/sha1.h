// SHA-1 (FIPS 180-1) with a caller-owned streaming state.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int SHA1_DIGEST_BYTES = 20;
constexpr int SHA1_BLOCK_BYTES = 64;

struct SHA1HashState {
    uint32_t chainingValue[5];
    uint32_t bitCountLow;   // low 32 bits of the number of message bits absorbed
    uint32_t bitCountHigh;  // high 32 bits of that count
    uint8_t block[64];      // current partial block
    int32_t noPadding;      // 1: SHA1Result reports the raw chaining value
};

// The streaming interface; the state is the caller's. All four return 0.
// Starts a new digest.
int SHA1Reset(SHA1HashState* state);
// Makes SHA1Result report the raw chaining value, without the final padding.
int SHA1SetNoPadding(SHA1HashState* state);
// Absorbs length more bytes.
int SHA1Input(SHA1HashState* state, const uint8_t* data, int32_t length);
// Pads, finishes and writes the 20-byte digest.
int SHA1Result(SHA1HashState* state, uint8_t digest[20]);

// Internal steps, exposed under their own names.
// Compresses the state's full 64-byte block into its chaining value.
void SHA1Transform(SHA1HashState* state);
// Reverses the byte order of each 32-bit word of buffer (length bytes).
void byte_reverse(uint8_t* buffer, int length);

// Convenience: one-shot digest of any length (feeds SHA1Input in pieces).
void csl_sha1(const uint8_t* data, size_t length, uint8_t digest[20]);

// Digests of `count` messages of `length` bytes each, lying one after the
// other from `data`: message i starts at data + i * length and its digest
// goes to digests + 20 * i. The same digests as csl_sha1 on each message;
// several are hashed at once: sixteen with AVX-512, four interleaved streams
// on the SHA instructions (x86-64 and ARMv8), eight with AVX2 where those
// are missing.
void csl_sha1Many(const uint8_t* data, size_t length, size_t count, uint8_t* digests);
