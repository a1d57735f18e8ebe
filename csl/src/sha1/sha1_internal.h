// SHA-1 block compression: the implementations, the one place that chooses
// between them, and the state access that a loop hashing alongside other
// work (AES-CBC with SHA-1 in one pass) needs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "csl/sha1.h"
#include "csl/wipe.h"
#include "impl_list.h"
#include "isa.h"

namespace csl_sha1_core {

// FIPS 180-1 compression of nblocks 64-byte message blocks (raw bytes,
// big-endian words) into the chaining value h.
using Compress = void (*)(uint32_t h[5], const uint8_t* data, size_t nblocks);
// N such compressions side by side, one per lane (a vector's 32-bit lane,
// or an interleaved stream): lane l's blocks lie one after the other from
// base + offsets[l], and its chaining value is h[l], h[N + l], ...,
// h[4N + l].
using CompressLanes = void (*)(uint32_t* h, const uint8_t* base, const int32_t* offsets,
                               size_t nblocks);

struct Lanes {
    CompressLanes compress;  // null: none
    size_t count;            // N: 4, 8 or 16
};

struct Engine {
    Compress compress;
    // Many messages at once: batches on `wide`, what is left on `narrow`.
    Lanes wide;
    Lanes narrow;
};

// Every implementation by name, best first: "avx512+shani", "avx512",
// "shani", "avx2", "armv8", "portable" (the last needs no
// processor feature).
std::span<const csl_impl::Impl<Engine>> implementations();
// The first of them the usable processor features allow (csl/cpu.h).
const csl_impl::Impl<Engine>& chosen();
inline const Engine& engine() { return chosen().table; }

// True when no partial block is waiting in the state, so that whole blocks
// can be compressed straight from the caller's data.
bool atBlockBoundary(const SHA1HashState* state);

// Absorbs any number of bytes (SHA1Input in pieces below its int limit).
void absorb(SHA1HashState* state, const uint8_t* data, size_t length);

// Accounts for nblocks (>= 1) whole blocks that were compressed into the
// chaining value outside SHA1Input, as SHA1Input would have; lastBlock is a
// copy of the last of them.
void blocksCompressed(SHA1HashState* state, const uint8_t lastBlock[64], size_t nblocks);

// Lets run(h) compress the nblocks (>= 1) whole blocks at data into the
// state's chaining value h, then accounts for them. The last block is copied
// first, so run may overwrite data. Only at a block boundary.
template <class Run>
void compressWith(SHA1HashState* state, const uint8_t* data, size_t nblocks, Run&& run) {
    uint8_t last[SHA1_BLOCK_BYTES];
    std::memcpy(last, data + (nblocks - 1) * SHA1_BLOCK_BYTES, SHA1_BLOCK_BYTES);
    run(state->chainingValue);
    blocksCompressed(state, last, nblocks);
    csl_wipe(last, sizeof last);
}

}  // namespace csl_sha1_core

// The implementations engine() chooses from, each in the file named after it.
namespace csl_sha1_portable {
void compressBlocks(uint32_t h[5], const uint8_t* data, size_t nblocks);
}

#ifdef CSL_ISA_X86
namespace csl_sha1_ni {
void compressBlocks(uint32_t h[5], const uint8_t* data, size_t nblocks);
void compress4(uint32_t h[20], const uint8_t* base, const int32_t offsets[4], size_t nblocks);
}
namespace csl_sha1_avx2 {
void compress8(uint32_t h[40], const uint8_t* base, const int32_t offsets[8], size_t nblocks);
}
namespace csl_sha1_avx512 {
void compress16(uint32_t h[80], const uint8_t* base, const int32_t offsets[16], size_t nblocks);
}
#endif

#ifdef CSL_ISA_ARMV8
namespace csl_sha1_armv8 {
void compressBlocks(uint32_t h[5], const uint8_t* data, size_t nblocks);
void compress4(uint32_t h[20], const uint8_t* base, const int32_t offsets[4], size_t nblocks);
}
#endif
