// Internal block loops of the AES implementation. The instance interface
// runs all ECB and CBC work through these, so a faster implementation can be
// chosen here without changing any caller.
#pragma once
#include <cstddef>
#include <cstdint>

namespace csl_aes {

void ecbEncryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks);
void ecbDecryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks);

// CBC over nblocks with an expanded key. chain holds the IV on entry and the
// last ciphertext block on return. in and out may be the same buffer.
void cbcEncryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks);
void cbcDecryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks);

}  // namespace csl_aes
