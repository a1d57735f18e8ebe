// Hardware implementations behind the AES and SHA-1 block loops. Each lives
// in a file named after its instruction set and is compiled for it with
// per-function target attributes; callers check csl_cpu_has() first.
#pragma once
#include <cstddef>
#include <cstdint>

namespace csl_aesni {

// rijndaelKeySetupEnc / rijndaelKeySetupDec on the key-generation and
// inverse-mix-columns instructions: the same round-key words, computed
// without indexing any table with key bytes. keyBits is 128, 192 or 256.
int keySetupEnc(uint32_t roundKeys[60], const uint8_t* key, int keyBits);
int keySetupDec(uint32_t roundKeys[60], const uint8_t* key, int keyBits);

// Same contracts as the csl_aes block loops, on the portable key schedules
// (big-endian loaded words; the decryption schedule already carries
// InvMixColumns, which is what the instruction set's decryption round wants).
void ecbEncryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks);
void ecbDecryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks);
void cbcEncryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks);
void cbcDecryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks);

// `lanes` independent CBC encryptions of nblocks each, interleaved so that
// the cipher units stay busy: lane l reads in[l], writes out[l] and starts
// from iv[l]; outputs overlap no input or IV.
void cbcEncryptLanes(const uint32_t* roundKeys, int rounds, size_t lanes,
                     const uint8_t* const* in, uint8_t* const* out, const uint8_t* const* iv,
                     size_t nblocks);

}  // namespace csl_aesni

namespace csl_vaes {

// csl_aesni::cbcEncryptLanes on 256-bit vectors, for the lanes in whole
// groups of eight; returns how many lanes (from the first) it encrypted.
size_t cbcEncryptLanes(const uint32_t* roundKeys, int rounds, size_t lanes,
                       const uint8_t* const* in, uint8_t* const* out, const uint8_t* const* iv,
                       size_t nblocks);

}  // namespace csl_vaes

namespace csl_shani {

// FIPS 180-1 compression of nblocks 64-byte message blocks (raw bytes,
// big-endian words) into the chaining value h.
void compressBlocks(uint32_t h[5], const uint8_t* data, size_t nblocks);

// Two independent compressions of nblocks blocks each, interleaved so that
// one message's rounds fill the other's instruction latencies.
void compressBlocks2(uint32_t h0[5], const uint8_t* data0, uint32_t h1[5], const uint8_t* data1,
                     size_t nblocks);

}  // namespace csl_shani

namespace csl_avx512 {

// Sixteen independent FIPS 180-1 compressions of nblocks 64-byte blocks each,
// one per 32-bit lane: lane l's blocks lie one after the other from
// base + offsets[l], and its chaining value is h[l], h[16 + l], ..., h[64 + l].
void sha1Compress16(uint32_t h[80], const uint8_t* base, const int32_t offsets[16],
                    size_t nblocks);

}  // namespace csl_avx512

namespace csl_stitched {

// AES-128-CBC encryption of n64 * 64 bytes under roundKeys (10 rounds) from
// chain, updating chain, while the same plaintext is compressed into h. The
// plaintext of each 64 bytes is read before its ciphertext is written, so in
// may equal out.
void cbcEncryptSha1(const uint32_t* roundKeys, uint8_t chain[16], uint32_t h[5],
                    const uint8_t* in, uint8_t* out, size_t n64);

}  // namespace csl_stitched
