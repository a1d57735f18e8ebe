// SHA-1 (FIPS 180-1) over a caller-owned streaming state.
//
// Complete blocks are compressed straight from the caller's data, which is
// only ever read; the state keeps the last of them as host-order words. All
// compression, the final padded block included, goes through the block
// functions csl_sha1_core::engine() chooses, so the streaming logic does not
// depend on which one runs.
#include "csl/sha1.h"

#include <cstring>

#include "csl/cpu.h"
#include "csl/loadstore.h"
#include "csl/wipe.h"
#include "sha1/sha1_internal.h"

namespace {

constexpr uint32_t kInitialValue[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                       0xC3D2E1F0u};

constexpr uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The 80 rounds over one block's sixteen message words.
void compressWords(uint32_t h[5], const uint32_t block[16]) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = block[t];
    for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = h[0];
    uint32_t b = h[1];
    uint32_t c = h[2];
    uint32_t d = h[3];
    uint32_t e = h[4];

    auto step = [&](uint32_t f, uint32_t k, uint32_t wt) {
        uint32_t tmp = rotl(a, 5) + f + e + k + wt;
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = tmp;
    };
    for (int t = 0; t < 20; ++t) step((b & c) | (~b & d), 0x5A827999u, w[t]);
    for (int t = 20; t < 40; ++t) step(b ^ c ^ d, 0x6ED9EBA1u, w[t]);
    for (int t = 40; t < 60; ++t) step((b & c) | (b & d) | (c & d), 0x8F1BBCDCu, w[t]);
    for (int t = 60; t < 80; ++t) step(b ^ c ^ d, 0xCA62C1D6u, w[t]);

    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

// The state keeps its last complete block as host-order words (the input
// of SHA1Transform), whichever compression ran.
void keepLastBlock(SHA1HashState* state, const uint8_t* last) {
    if (last != state->block) std::memcpy(state->block, last, SHA1_BLOCK_BYTES);
    byte_reverse(state->block, SHA1_BLOCK_BYTES);
}

// Absorbs nblocks complete 64-byte blocks starting at data, which may be
// state->block itself (a block completed there, or the final padded one).
void compressBlocks(SHA1HashState* state, const uint8_t* data, size_t nblocks) {
    if (nblocks == 0) return;
    csl_sha1_core::engine().compress(state->chainingValue, data, nblocks);
    keepLastBlock(state, data + (nblocks - 1) * SHA1_BLOCK_BYTES);
}

void compressWaitingBlock(SHA1HashState* state) { compressBlocks(state, state->block, 1); }

void addBits(SHA1HashState* state, uint64_t bytes) {
    const uint64_t count = ((uint64_t{state->bitCountHigh} << 32) | state->bitCountLow) + bytes * 8;
    state->bitCountLow = static_cast<uint32_t>(count);
    state->bitCountHigh = static_cast<uint32_t>(count >> 32);
}

}  // namespace

namespace csl_sha1_portable {

void compressBlocks(uint32_t h[5], const uint8_t* data, size_t nblocks) {
    uint32_t w[16];
    for (size_t i = 0; i < nblocks; ++i, data += SHA1_BLOCK_BYTES) {
        for (int t = 0; t < 16; ++t) w[t] = csl_load_be32(data + 4 * t);
        compressWords(h, w);
    }
}

}  // namespace csl_sha1_portable

namespace csl_sha1_core {

namespace {

using csl_impl::Impl;
using csl_impl::kNotBuilt;

constexpr Impl<Engine> kImplementations[] = {
#ifdef CSL_ISA_X86
    {"avx512+shani", CSL_CPU_AVX512 | CSL_CPU_SHA,
     {csl_sha1_ni::compressBlocks, {csl_sha1_avx512::compress16, 16}, {csl_sha1_ni::compress4, 4}}},
    {"avx512", CSL_CPU_AVX512, {csl_sha1_portable::compressBlocks, {csl_sha1_avx512::compress16, 16}, {}}},
    {"shani", CSL_CPU_SHA, {csl_sha1_ni::compressBlocks, {csl_sha1_ni::compress4, 4}, {}}},
    {"avx2", CSL_CPU_AVX2, {csl_sha1_portable::compressBlocks, {csl_sha1_avx2::compress8, 8}, {}}},
#else
    {"avx512+shani", kNotBuilt, {}},
    {"avx512", kNotBuilt, {}},
    {"shani", kNotBuilt, {}},
    {"avx2", kNotBuilt, {}},
#endif
#ifdef CSL_ISA_ARMV8
    {"armv8", CSL_CPU_SHA, {csl_sha1_armv8::compressBlocks, {csl_sha1_armv8::compress4, 4}, {}}},
#else
    {"armv8", kNotBuilt, {}},
#endif
    {"portable", 0, {csl_sha1_portable::compressBlocks, {}, {}}},
};

}  // namespace

std::span<const Impl<Engine>> implementations() { return kImplementations; }

const Impl<Engine>& chosen() { return csl_impl::best(implementations()); }

bool atBlockBoundary(const SHA1HashState* state) { return ((state->bitCountLow >> 3) & 63u) == 0; }

void absorb(SHA1HashState* state, const uint8_t* data, size_t length) {
    // SHA1Input takes a signed 32-bit length; long inputs go in whole blocks
    // below 2^31 bytes so every piece but the last stays aligned.
    constexpr size_t kPiece = size_t{1} << 30;
    while (length > 0) {
        const size_t n = length < kPiece ? length : kPiece;
        SHA1Input(state, data, static_cast<int32_t>(n));
        data += n;
        length -= n;
    }
}

void blocksCompressed(SHA1HashState* state, const uint8_t lastBlock[64], size_t nblocks) {
    keepLastBlock(state, lastBlock);
    addBits(state, uint64_t{nblocks} * SHA1_BLOCK_BYTES);
}

}  // namespace csl_sha1_core

void byte_reverse(uint8_t* buffer, int length) {
    for (int i = 0; i + 4 <= length; i += 4) {
        uint8_t* p = buffer + i;
        uint8_t t0 = p[0], t1 = p[1];
        p[0] = p[3];
        p[1] = p[2];
        p[2] = t1;
        p[3] = t0;
    }
}

void SHA1Transform(SHA1HashState* state) {
    uint32_t w[16];
    std::memcpy(w, state->block, sizeof w);
    compressWords(state->chainingValue, w);
}

int SHA1Reset(SHA1HashState* state) {
    std::memcpy(state->chainingValue, kInitialValue, sizeof kInitialValue);
    state->bitCountLow = 0;
    state->bitCountHigh = 0;
    state->noPadding = 0;
    return 0;
}

int SHA1SetNoPadding(SHA1HashState* state) {
    state->noPadding = 1;
    return 0;
}

int SHA1Input(SHA1HashState* state, const uint8_t* data, int32_t length) {
    if (length <= 0) return 0;
    const uint32_t ulen = static_cast<uint32_t>(length);
    size_t index = (state->bitCountLow >> 3) & 63u;

    const uint32_t oldLow = state->bitCountLow;
    state->bitCountLow = oldLow + (ulen << 3);
    if (state->bitCountLow < oldLow) ++state->bitCountHigh;
    state->bitCountHigh += ulen >> 29;

    size_t remaining = ulen;
    if (index > 0) {
        const size_t fill = SHA1_BLOCK_BYTES - index;
        if (remaining < fill) {
            std::memcpy(state->block + index, data, remaining);
            return 0;
        }
        std::memcpy(state->block + index, data, fill);
        compressWaitingBlock(state);
        data += fill;
        remaining -= fill;
    }
    const size_t nblocks = remaining / SHA1_BLOCK_BYTES;
    compressBlocks(state, data, nblocks);
    data += nblocks * SHA1_BLOCK_BYTES;
    remaining -= nblocks * SHA1_BLOCK_BYTES;
    if (remaining) std::memcpy(state->block, data, remaining);
    return 0;
}

int SHA1Result(SHA1HashState* state, uint8_t digest[20]) {
    if (!state->noPadding) {
        const uint32_t low = state->bitCountLow;
        const uint32_t high = state->bitCountHigh;
        const size_t index = (low >> 3) & 63u;

        state->block[index] = 0x80;
        if (index >= 56) {
            std::memset(state->block + index + 1, 0, SHA1_BLOCK_BYTES - index - 1);
            compressWaitingBlock(state);
            std::memset(state->block, 0, 56);
        } else {
            std::memset(state->block + index + 1, 0, 55 - index);
        }
        // The 64-bit bit count, big-endian, in the last eight bytes; the swap
        // in the compression turns it into host words 14 (high) and 15 (low).
        csl_store_be32(state->block + 56, high);
        csl_store_be32(state->block + 60, low);
        compressWaitingBlock(state);
    }
    std::memcpy(digest, state->chainingValue, SHA1_DIGEST_BYTES);
    byte_reverse(digest, SHA1_DIGEST_BYTES);
    return 0;
}

void csl_sha1(const uint8_t* data, size_t length, uint8_t digest[20]) {
    SHA1HashState state;
    SHA1Reset(&state);
    csl_sha1_core::absorb(&state, data, length);
    SHA1Result(&state, digest);
    // The input may be a secret (a shared key is hashed this way).
    csl_wipe_object(state);
}

namespace {

// The padded end of a message of `length` bytes whose last `tailBytes`
// (below one block) are at `tail`: one or two blocks, their count returned.
size_t paddedTail(const uint8_t* tail, size_t tailBytes, uint64_t length, uint8_t out[128]) {
    std::memset(out, 0, 128);
    if (tailBytes) std::memcpy(out, tail, tailBytes);
    out[tailBytes] = 0x80;
    const size_t blocks = tailBytes < 56 ? 1 : 2;
    const uint64_t bits = length * 8;
    csl_store_be32(out + blocks * 64 - 8, static_cast<uint32_t>(bits >> 32));
    csl_store_be32(out + blocks * 64 - 4, static_cast<uint32_t>(bits));
    return blocks;
}

void putDigest(const uint32_t h[5], uint8_t* digest) {
    for (int i = 0; i < 5; ++i) csl_store_be32(digest + 4 * i, h[i]);
}

// Up to `set.count` messages of `length` bytes from `data` side by side, one
// in each lane; lanes beyond `count` hash the first message again and are
// dropped. The lanes find their messages through 32-bit offsets: length may
// not exceed kMaxLaneLength.
constexpr size_t kMaxLanes = 16;
constexpr size_t kMaxLaneLength = size_t{1} << 26;

void hashLanes(const csl_sha1_core::Lanes& set, const uint8_t* data, size_t length, size_t count,
               uint8_t* digests) {
    const size_t lanes = set.count;
    uint32_t h[5 * kMaxLanes];
    for (size_t j = 0; j < 5; ++j)
        for (size_t l = 0; l < lanes; ++l) h[lanes * j + l] = kInitialValue[j];
    int32_t offsets[kMaxLanes] = {};
    for (size_t l = 0; l < lanes; ++l) offsets[l] = static_cast<int32_t>(l < count ? l * length : 0);
    const size_t full = length / SHA1_BLOCK_BYTES;
    set.compress(h, data, offsets, full);

    // The last block or two: message bytes and padding per lane, or, when
    // the length is a whole number of blocks, one padding block all share.
    const size_t rest = length % SHA1_BLOCK_BYTES;
    uint8_t tails[kMaxLanes * 128];
    size_t tailBlocks = 0;
    for (size_t l = 0; l < (rest ? lanes : 1); ++l) {
        const size_t m = l < count ? l : 0;
        tailBlocks = paddedTail(data + m * length + full * SHA1_BLOCK_BYTES, rest, length,
                                tails + 128 * l);
    }
    for (size_t l = 0; l < lanes; ++l) offsets[l] = static_cast<int32_t>(rest ? 128 * l : 0);
    set.compress(h, tails, offsets, tailBlocks);

    for (size_t l = 0; l < count; ++l) {
        const uint32_t lane[5] = {h[l], h[lanes + l], h[2 * lanes + l], h[3 * lanes + l],
                                  h[4 * lanes + l]};
        putDigest(lane, digests + 20 * l);
    }
    if (rest) csl_wipe(tails, lanes * 128);
    csl_wipe(h, sizeof h);
}

}  // namespace

void csl_sha1Many(const uint8_t* data, size_t length, size_t count, uint8_t* digests) {
    const csl_sha1_core::Engine& engine = csl_sha1_core::engine();
    size_t i = 0;
    if (length <= kMaxLaneLength) {
        for (const csl_sha1_core::Lanes& set : {engine.wide, engine.narrow}) {
            if (!set.compress) continue;
            for (; i + set.count <= count; i += set.count)
                hashLanes(set, data + i * length, length, set.count, digests + 20 * i);
            // A last batch half full or more still beats the rest on fewer
            // lanes or one at a time.
            if (2 * (count - i) >= set.count) {
                hashLanes(set, data + i * length, length, count - i, digests + 20 * i);
                i = count;
            }
        }
    }
    for (; i < count; ++i) csl_sha1(data + i * length, length, digests + 20 * i);
}
