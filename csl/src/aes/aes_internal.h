// The AES block loops and the one place that chooses between them.
//
// Every implementation works on the same key schedules (big-endian loaded
// words; the decryption schedule already carries InvMixColumns, which is
// what the instruction sets' decryption rounds want) and gives the same
// bytes; every one is constant time. The block primitives, the instance
// interface, the one-shot calls and the bulk entry points all run through
// engine(); the implementations are reached only from there.
//
// Round counts: every loop takes 10, 12 or 14 (validRounds); the public
// calls refuse a caller's schedule with any other count before it gets here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "impl_list.h"
#include "isa.h"

namespace csl_aes {

// The encryption or decryption schedule of a 128-, 192- or 256-bit key (as
// rijndaelKeySetupEnc/Dec); returns the round count.
using KeySetup = int (*)(uint32_t roundKeys[60], const uint8_t* key, int keyBits);
// ECB over nblocks. in and out may be the same buffer.
using EcbLoop = void (*)(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                         size_t nblocks);
// CBC over nblocks. chain holds the IV on entry and the last ciphertext block
// on return. in and out may be the same buffer.
using CbcLoop = void (*)(const uint32_t* roundKeys, int rounds, uint8_t chain[16],
                         const uint8_t* in, uint8_t* out, size_t nblocks);
// `lanes` independent CBC encryptions of nblocks each: lane l reads in[l],
// writes out[l] and starts from iv[l]; outputs overlap no input or IV.
using LanesLoop = void (*)(const uint32_t* roundKeys, int rounds, size_t lanes,
                           const uint8_t* const* in, uint8_t* const* out,
                           const uint8_t* const* iv, size_t nblocks);
// AES-128-CBC encryption of n64 * 64 bytes under roundKeys (10 rounds) from
// chain, updating chain, while the same plaintext is compressed into the
// SHA-1 chaining value h. Each 64 bytes of plaintext are read before their
// ciphertext is written, so in may equal out.
using CbcSha1Loop = void (*)(const uint32_t* roundKeys, uint8_t chain[16], uint32_t h[5],
                             const uint8_t* in, uint8_t* out, size_t n64);

struct Engine {
    KeySetup keySetupEnc;
    KeySetup keySetupDec;
    EcbLoop ecbEncrypt;
    EcbLoop ecbDecrypt;
    CbcLoop cbcEncrypt;
    CbcLoop cbcDecrypt;
    LanesLoop cbcEncryptLanes;
};

constexpr bool validRounds(int rounds) { return rounds == 10 || rounds == 12 || rounds == 14; }

// Every implementation by name, best first: "vaes", "aesni", "armv8",
// "bitsliced" (the last needs no processor feature).
std::span<const csl_impl::Impl<Engine>> implementations();
// The first of them the usable processor features allow (csl/cpu.h).
const csl_impl::Impl<Engine>& chosen();
inline const Engine& engine() { return chosen().table; }

// The loops that encrypt and hash in one pass: "aesni+shani", then
// "separate", whose table is null (the caller hashes and encrypts one after
// the other).
std::span<const csl_impl::Impl<CbcSha1Loop>> cbcSha1Implementations();
CbcSha1Loop cbcSha1Loop();

}  // namespace csl_aes

// The implementations engine() chooses from, each in the file named after it.
#define CSL_AES_BLOCK_LOOPS                                                                    \
    int keySetupEnc(uint32_t roundKeys[60], const uint8_t* key, int keyBits);                 \
    int keySetupDec(uint32_t roundKeys[60], const uint8_t* key, int keyBits);                 \
    void ecbEncryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in,           \
                          uint8_t* out, size_t nblocks);                                       \
    void ecbDecryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in,           \
                          uint8_t* out, size_t nblocks);                                       \
    void cbcEncryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16],           \
                          const uint8_t* in, uint8_t* out, size_t nblocks);                    \
    void cbcDecryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16],           \
                          const uint8_t* in, uint8_t* out, size_t nblocks);                    \
    void cbcEncryptLanes(const uint32_t* roundKeys, int rounds, size_t lanes,                 \
                         const uint8_t* const* in, uint8_t* const* out,                        \
                         const uint8_t* const* iv, size_t nblocks);

namespace csl_aes_bitsliced {
CSL_AES_BLOCK_LOOPS
}

#ifdef CSL_ISA_X86
namespace csl_aes_ni {
CSL_AES_BLOCK_LOOPS
}
namespace csl_aes_vaes {
// Sixteen blocks per pass, the rest on AES-NI.
void cbcDecryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks);
// Lanes in groups of eight, two to a 256-bit register; the rest on AES-NI.
void cbcEncryptLanes(const uint32_t* roundKeys, int rounds, size_t lanes,
                     const uint8_t* const* in, uint8_t* const* out, const uint8_t* const* iv,
                     size_t nblocks);
}
namespace csl_aes_sha1_ni {
void cbcEncryptSha1(const uint32_t* roundKeys, uint8_t chain[16], uint32_t h[5],
                    const uint8_t* in, uint8_t* out, size_t n64);
}
#endif

#ifdef CSL_ISA_ARMV8
namespace csl_aes_armv8 {
CSL_AES_BLOCK_LOOPS
}
#endif

#undef CSL_AES_BLOCK_LOOPS
