// The AES block loops and the one place that chooses between them.
//
// Every implementation works on the portable key schedules (big-endian loaded
// words; the decryption schedule already carries InvMixColumns, which is
// what the instruction sets' decryption rounds want) and gives the same
// bytes. The instance interface, the one-shot calls and the bulk entry points
// all run through engine(); the instruction-set functions are reached only
// from there.
#pragma once
#include <cstddef>
#include <cstdint>

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

// The best block loops the usable processor features allow (csl/cpu.h),
// portable last.
const Engine& engine();

// The loop that encrypts and hashes in one pass, or null where the processor
// has none (the caller then hashes and encrypts separately).
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

namespace csl_aes_portable {
CSL_AES_BLOCK_LOOPS
}

#ifdef CSL_ISA_X86
namespace csl_aes_ni {
CSL_AES_BLOCK_LOOPS
}
namespace csl_aes_vaes {
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
