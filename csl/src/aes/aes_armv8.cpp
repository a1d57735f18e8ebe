// AES block loops on the ARMv8 Cryptographic Extension (AESE/AESMC for
// encryption, AESD/AESIMC for decryption).
#include <arm_neon.h>

#include "aes/aes_internal.h"
#include "aes/aes_key_words.h"
#include "csl/wipe.h"

namespace {

constexpr int kMaxRounds = 14;

// Blocks in flight at once, to hide the latency of the round instructions.
constexpr size_t kWide = 4;

// The portable schedule holds each round-key column as a big-endian loaded
// word; the instructions want the bytes in memory order.
CSL_TARGET_ARMV8_CRYPTO inline void loadSchedule(const uint32_t* rk, int rounds, uint8x16_t* k) {
    for (int i = 0; i <= rounds; ++i) k[i] = vrev32q_u8(vreinterpretq_u8_u32(vld1q_u32(rk + 4 * i)));
}

// SubWord of w (RotWord too when rot is set) by AESE with a zero key on four
// copies of w: ShiftRows then only moves bytes between equal columns, so
// every column comes out as SubWord(w). No table is indexed with key bytes.
CSL_TARGET_ARMV8_CRYPTO inline uint32_t subWord(uint32_t w, bool rot) {
    const uint8x16_t x = vreinterpretq_u8_u32(vdupq_n_u32(w));
    const uint32_t s = vgetq_lane_u32(vreinterpretq_u32_u8(vaeseq_u8(x, vdupq_n_u8(0))), 0);
    return rot ? (s >> 8) | (s << 24) : s;
}

// Round key words as the portable code holds them: big-endian loaded.
CSL_TARGET_ARMV8_CRYPTO inline void storeRoundKey(uint8x16_t k, uint32_t* rk) {
    vst1q_u32(rk, vreinterpretq_u32_u8(vrev32q_u8(k)));
}

// AESE adds the round key before SubBytes and ShiftRows, so the rounds are
// offset by one from the standard's: the last key is added on its own.
CSL_TARGET_ARMV8_CRYPTO inline uint8x16_t encryptOne(const uint8x16_t* k, int rounds,
                                                     uint8x16_t x) {
    for (int r = 0; r < rounds - 1; ++r) x = vaesmcq_u8(vaeseq_u8(x, k[r]));
    return veorq_u8(vaeseq_u8(x, k[rounds - 1]), k[rounds]);
}

CSL_TARGET_ARMV8_CRYPTO inline uint8x16_t decryptOne(const uint8x16_t* k, int rounds,
                                                     uint8x16_t x) {
    for (int r = 0; r < rounds - 1; ++r) x = vaesimcq_u8(vaesdq_u8(x, k[r]));
    return veorq_u8(vaesdq_u8(x, k[rounds - 1]), k[rounds]);
}

CSL_TARGET_ARMV8_CRYPTO inline void encryptWide(const uint8x16_t* k, int rounds, uint8x16_t* x) {
    for (int r = 0; r < rounds - 1; ++r)
        for (size_t j = 0; j < kWide; ++j) x[j] = vaesmcq_u8(vaeseq_u8(x[j], k[r]));
    for (size_t j = 0; j < kWide; ++j) x[j] = veorq_u8(vaeseq_u8(x[j], k[rounds - 1]), k[rounds]);
}

CSL_TARGET_ARMV8_CRYPTO inline void decryptWide(const uint8x16_t* k, int rounds, uint8x16_t* x) {
    for (int r = 0; r < rounds - 1; ++r)
        for (size_t j = 0; j < kWide; ++j) x[j] = vaesimcq_u8(vaesdq_u8(x[j], k[r]));
    for (size_t j = 0; j < kWide; ++j) x[j] = veorq_u8(vaesdq_u8(x[j], k[rounds - 1]), k[rounds]);
}

// ECB in groups of kWide, then one at a time.
template <bool Encrypt>
CSL_TARGET_ARMV8_CRYPTO void ecbBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in,
                                       uint8_t* out, size_t nblocks) {
    uint8x16_t k[kMaxRounds + 1];
    loadSchedule(roundKeys, rounds, k);
    size_t i = 0;
    for (; i + kWide <= nblocks; i += kWide) {
        uint8x16_t x[kWide];
        for (size_t j = 0; j < kWide; ++j) x[j] = vld1q_u8(in + 16 * (i + j));
        if constexpr (Encrypt)
            encryptWide(k, rounds, x);
        else
            decryptWide(k, rounds, x);
        for (size_t j = 0; j < kWide; ++j) vst1q_u8(out + 16 * (i + j), x[j]);
    }
    for (; i < nblocks; ++i) {
        const uint8x16_t x = vld1q_u8(in + 16 * i);
        vst1q_u8(out + 16 * i, Encrypt ? encryptOne(k, rounds, x) : decryptOne(k, rounds, x));
    }
    csl_wipe(k, sizeof k);
}

// Lanes of one interleaved CBC pass.
template <size_t L>
CSL_TARGET_ARMV8_CRYPTO void cbcLaneGroup(const uint8x16_t* k, int rounds, const uint8_t* const* in,
                                          uint8_t* const* out, const uint8_t* const* iv,
                                          size_t nblocks) {
    uint8x16_t c[L];
    for (size_t l = 0; l < L; ++l) c[l] = vld1q_u8(iv[l]);
    for (size_t i = 0; i < nblocks; ++i) {
        const size_t off = i * 16;
        for (size_t l = 0; l < L; ++l) c[l] = veorq_u8(vld1q_u8(in[l] + off), c[l]);
        for (int r = 0; r < rounds - 1; ++r)
            for (size_t l = 0; l < L; ++l) c[l] = vaesmcq_u8(vaeseq_u8(c[l], k[r]));
        for (size_t l = 0; l < L; ++l) {
            c[l] = veorq_u8(vaeseq_u8(c[l], k[rounds - 1]), k[rounds]);
            vst1q_u8(out[l] + off, c[l]);
        }
    }
}

// One CBC chain: every block waits for the one before, so nothing but the
// round instructions may sit on that path. The round keys stay in registers
// (R is a constant). AESE adds its key first, so the next block's first
// AESE can take k[R] ^ p' ^ k[0] on the previous block's last AESE output y:
// y ^ k[R] is the ciphertext and y ^ k[R] ^ p' ^ k[0] the next state before
// SubBytes, with no EOR waiting on the chain. The ciphertext is y ^ k[R],
// off the chain.
template <int R>
CSL_TARGET_ARMV8_CRYPTO void cbcEncryptChain(const uint32_t* roundKeys, uint8_t chain[16],
                                             const uint8_t* in, uint8_t* out, size_t nblocks) {
    uint8x16_t k[R + 1];
    loadSchedule(roundKeys, R, k);
    if (nblocks > 0) {
        const uint8x16_t kLastFirst = veorq_u8(k[R], k[0]);
        // y: the last AESE output of the block before; the IV stands for
        // the first block's as IV ^ k[R].
        uint8x16_t y = veorq_u8(vld1q_u8(chain), k[R]);
        for (size_t i = 0; i < nblocks; ++i) {
            uint8x16_t x = vaesmcq_u8(vaeseq_u8(y, veorq_u8(vld1q_u8(in + 16 * i), kLastFirst)));
            for (int r = 1; r < R - 1; ++r) x = vaesmcq_u8(vaeseq_u8(x, k[r]));
            y = vaeseq_u8(x, k[R - 1]);
            vst1q_u8(out + 16 * i, veorq_u8(y, k[R]));
        }
        vst1q_u8(chain, veorq_u8(y, k[R]));
    }
    csl_wipe(k, sizeof k);
}

}  // namespace

namespace csl_aes_armv8 {

CSL_TARGET_ARMV8_CRYPTO int keySetupEnc(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    uint32_t w[60];
    const int rounds = csl_aes_detail::expandKeyWords(key, keyBits, w, subWord);
    for (int i = 0; i <= rounds; ++i)
        storeRoundKey(vreinterpretq_u8_u32(vld1q_u32(w + 4 * i)), roundKeys + 4 * i);
    csl_wipe(w, sizeof w);
    return rounds;
}

CSL_TARGET_ARMV8_CRYPTO int keySetupDec(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    uint32_t w[60];
    const int rounds = csl_aes_detail::expandKeyWords(key, keyBits, w, subWord);
    // Equivalent inverse cipher: round keys in reverse order, InvMixColumns
    // on all but the first and the last.
    for (int i = 0; i <= rounds; ++i) {
        uint8x16_t k = vreinterpretq_u8_u32(vld1q_u32(w + 4 * (rounds - i)));
        if (i != 0 && i != rounds) k = vaesimcq_u8(k);
        storeRoundKey(k, roundKeys + 4 * i);
    }
    csl_wipe(w, sizeof w);
    return rounds;
}

void ecbEncryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks) {
    ecbBlocks<true>(roundKeys, rounds, in, out, nblocks);
}

void ecbDecryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks) {
    ecbBlocks<false>(roundKeys, rounds, in, out, nblocks);
}

void cbcEncryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks) {
    switch (rounds) {
        case 10: return cbcEncryptChain<10>(roundKeys, chain, in, out, nblocks);
        case 12: return cbcEncryptChain<12>(roundKeys, chain, in, out, nblocks);
        default: return cbcEncryptChain<14>(roundKeys, chain, in, out, nblocks);
    }
}

CSL_TARGET_ARMV8_CRYPTO void cbcDecryptBlocks(const uint32_t* roundKeys, int rounds,
                                              uint8_t chain[16], const uint8_t* in, uint8_t* out,
                                              size_t nblocks) {
    uint8x16_t k[kMaxRounds + 1];
    loadSchedule(roundKeys, rounds, k);
    uint8x16_t prev = vld1q_u8(chain);
    size_t i = 0;
    for (; i + kWide <= nblocks; i += kWide) {
        // All ciphertext of the group is loaded before any output is stored,
        // which keeps decryption in place correct.
        uint8x16_t c[kWide], x[kWide];
        for (size_t j = 0; j < kWide; ++j) x[j] = c[j] = vld1q_u8(in + 16 * (i + j));
        decryptWide(k, rounds, x);
        vst1q_u8(out + 16 * i, veorq_u8(x[0], prev));
        for (size_t j = 1; j < kWide; ++j) vst1q_u8(out + 16 * (i + j), veorq_u8(x[j], c[j - 1]));
        prev = c[kWide - 1];
    }
    for (; i < nblocks; ++i) {
        const uint8x16_t c = vld1q_u8(in + 16 * i);
        vst1q_u8(out + 16 * i, veorq_u8(decryptOne(k, rounds, c), prev));
        prev = c;
    }
    vst1q_u8(chain, prev);
    csl_wipe(k, sizeof k);
}

CSL_TARGET_ARMV8_CRYPTO void cbcEncryptLanes(const uint32_t* roundKeys, int rounds, size_t lanes,
                                             const uint8_t* const* in, uint8_t* const* out,
                                             const uint8_t* const* iv, size_t nblocks) {
    uint8x16_t k[kMaxRounds + 1];
    loadSchedule(roundKeys, rounds, k);
    size_t l = 0;
    for (; l + kWide <= lanes; l += kWide)
        cbcLaneGroup<kWide>(k, rounds, in + l, out + l, iv + l, nblocks);
    for (; l < lanes; ++l) cbcLaneGroup<1>(k, rounds, in + l, out + l, iv + l, nblocks);
    csl_wipe(k, sizeof k);
}

}  // namespace csl_aes_armv8
