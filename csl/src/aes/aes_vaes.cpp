// AES on the VAES instructions (256-bit vectors), two blocks to a register:
// independent CBC chains (the disc layout's 64 blocks per super block are 64
// such chains) and CBC decryption, whose blocks are all independent.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "aes/aes_internal.h"
#include "csl/wipe.h"


namespace {

constexpr int kMaxRounds = 14;

// Chains per pass: four registers of two keep the round units busy. More
// would not help: the disc layout's chains lie 32 KiB apart, so every chain
// of a pass reads and writes the same cache sets, and sixteen of them at
// once ran a third slower than eight.
constexpr size_t kPairs = 4;

CSL_TARGET_VAES inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The portable schedule holds each round-key column as a big-endian loaded
// word; the instructions want the bytes in memory order, in both halves.
CSL_TARGET_VAES inline void loadSchedule(const uint32_t* rk, int rounds, __m256i* k) {
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    for (int i = 0; i <= rounds; ++i)
        k[i] = _mm256_broadcastsi128_si256(
            _mm_shuffle_epi8(load(reinterpret_cast<const uint8_t*>(rk + 4 * i)), swap));
}

// 2 * kPairs chains of nblocks blocks: chain l reads in[l], writes out[l],
// starts from iv[l].
CSL_TARGET_VAES void cbcPairs(const __m256i* k, int rounds, const uint8_t* const* in,
                       uint8_t* const* out, const uint8_t* const* iv, size_t nblocks) {
    __m256i c[kPairs];
    for (size_t p = 0; p < kPairs; ++p)
        c[p] = _mm256_inserti128_si256(_mm256_castsi128_si256(load(iv[2 * p])),
                                       load(iv[2 * p + 1]), 1);
    for (size_t i = 0; i < nblocks; ++i) {
        const size_t off = i * 16;
        for (size_t p = 0; p < kPairs; ++p) {
            const __m256i x = _mm256_inserti128_si256(
                _mm256_castsi128_si256(load(in[2 * p] + off)), load(in[2 * p + 1] + off), 1);
            c[p] = _mm256_xor_si256(_mm256_xor_si256(x, c[p]), k[0]);
        }
        for (int r = 1; r < rounds; ++r)
            for (size_t p = 0; p < kPairs; ++p) c[p] = _mm256_aesenc_epi128(c[p], k[r]);
        for (size_t p = 0; p < kPairs; ++p) {
            c[p] = _mm256_aesenclast_epi128(c[p], k[rounds]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[2 * p] + off),
                             _mm256_castsi256_si128(c[p]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[2 * p + 1] + off),
                             _mm256_extracti128_si256(c[p], 1));
        }
    }
}

CSL_TARGET_VAES inline __m256i load2(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// CBC decryption of 2 * kDecRegs blocks per pass: eight registers in flight
// cover the round instruction's latency at two per cycle.
constexpr size_t kDecRegs = 8;

// Decrypts the whole passes of nblocks from in to out (which may be the
// same), starting from the previous ciphertext block prev; returns the
// blocks done and leaves the last ciphertext block in prev.
CSL_TARGET_VAES size_t cbcDecryptPasses(const uint32_t* roundKeys, int rounds, __m128i& prev,
                                        const uint8_t* in, uint8_t* out, size_t nblocks) {
    // Short inputs (a title key, a single block) go to AES-NI whole, without
    // a schedule loaded and wiped here for nothing.
    if (nblocks < 2 * kDecRegs) return 0;
    __m256i k[kMaxRounds + 1];
    loadSchedule(roundKeys, rounds, k);
    size_t i = 0;
    for (; i + 2 * kDecRegs <= nblocks; i += 2 * kDecRegs) {
        const uint8_t* c = in + 16 * i;
        // Every ciphertext block of the pass is read before any output is
        // written, which keeps decryption in place correct.
        __m256i x[kDecRegs], y[kDecRegs];
        for (size_t j = 0; j < kDecRegs; ++j) x[j] = load2(c + 32 * j);
        y[0] = _mm256_inserti128_si256(_mm256_castsi128_si256(prev), load(c), 1);
        for (size_t j = 1; j < kDecRegs; ++j) y[j] = load2(c + 32 * j - 16);
        prev = load(c + 16 * (2 * kDecRegs - 1));
        for (size_t j = 0; j < kDecRegs; ++j) x[j] = _mm256_xor_si256(x[j], k[0]);
        for (int r = 1; r < rounds; ++r)
            for (size_t j = 0; j < kDecRegs; ++j) x[j] = _mm256_aesdec_epi128(x[j], k[r]);
        for (size_t j = 0; j < kDecRegs; ++j)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * i + 32 * j),
                                _mm256_xor_si256(_mm256_aesdeclast_epi128(x[j], k[rounds]), y[j]));
    }
    csl_wipe(k, sizeof k);
    _mm256_zeroupper();
    return i;
}

}  // namespace

namespace csl_aes_vaes {

CSL_TARGET_VAES void cbcDecryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16],
                                      const uint8_t* in, uint8_t* out, size_t nblocks) {
    __m128i prev = load(chain);
    const size_t done = cbcDecryptPasses(roundKeys, rounds, prev, in, out, nblocks);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), prev);
    csl_aes_ni::cbcDecryptBlocks(roundKeys, rounds, chain, in + 16 * done, out + 16 * done,
                                 nblocks - done);
}

namespace {

CSL_TARGET_VAES size_t pairedLanes(const uint32_t* roundKeys, int rounds, size_t lanes,
                                const uint8_t* const* in, uint8_t* const* out,
                                const uint8_t* const* iv, size_t nblocks) {
    __m256i k[kMaxRounds + 1];
    loadSchedule(roundKeys, rounds, k);
    size_t l = 0;
    for (; l + 2 * kPairs <= lanes; l += 2 * kPairs)
        cbcPairs(k, rounds, in + l, out + l, iv + l, nblocks);
    csl_wipe(k, sizeof k);
    _mm256_zeroupper();
    return l;
}

}  // namespace

void cbcEncryptLanes(const uint32_t* roundKeys, int rounds, size_t lanes, const uint8_t* const* in,
                     uint8_t* const* out, const uint8_t* const* iv, size_t nblocks) {
    const size_t done = pairedLanes(roundKeys, rounds, lanes, in, out, iv, nblocks);
    csl_aes_ni::cbcEncryptLanes(roundKeys, rounds, lanes - done, in + done, out + done, iv + done,
                                nblocks);
}

}  // namespace csl_aes_vaes
