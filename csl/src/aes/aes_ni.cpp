// AES block loops on the AES-NI instructions.
#include <immintrin.h>

#include "aes/aes_internal.h"
#include "aes/aes_key_words.h"
#include "csl/wipe.h"


namespace {

constexpr int kMaxRounds = 14;

// The portable schedule holds each round-key column as a big-endian loaded
// word; the instructions want the bytes in memory order.
CSL_TARGET_AES_NI inline void loadSchedule(const uint32_t* rk, int rounds, __m128i* k) {
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    for (int i = 0; i <= rounds; ++i)
        k[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rk + 4 * i)), swap);
}

CSL_TARGET_AES_NI inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
CSL_TARGET_AES_NI inline void store(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

CSL_TARGET_AES_NI inline __m128i encryptOne(const __m128i* k, int rounds, __m128i x) {
    x = _mm_xor_si128(x, k[0]);
    for (int r = 1; r < rounds; ++r) x = _mm_aesenc_si128(x, k[r]);
    return _mm_aesenclast_si128(x, k[rounds]);
}

CSL_TARGET_AES_NI inline __m128i decryptOne(const __m128i* k, int rounds, __m128i x) {
    x = _mm_xor_si128(x, k[0]);
    for (int r = 1; r < rounds; ++r) x = _mm_aesdec_si128(x, k[r]);
    return _mm_aesdeclast_si128(x, k[rounds]);
}

// Eight independent blocks in flight hide the latency of the round
// instructions.
constexpr size_t kWide = 8;

CSL_TARGET_AES_NI inline void encryptWide(const __m128i* k, int rounds, __m128i* x) {
    for (size_t j = 0; j < kWide; ++j) x[j] = _mm_xor_si128(x[j], k[0]);
    for (int r = 1; r < rounds; ++r)
        for (size_t j = 0; j < kWide; ++j) x[j] = _mm_aesenc_si128(x[j], k[r]);
    for (size_t j = 0; j < kWide; ++j) x[j] = _mm_aesenclast_si128(x[j], k[rounds]);
}

CSL_TARGET_AES_NI inline void decryptWide(const __m128i* k, int rounds, __m128i* x) {
    for (size_t j = 0; j < kWide; ++j) x[j] = _mm_xor_si128(x[j], k[0]);
    for (int r = 1; r < rounds; ++r)
        for (size_t j = 0; j < kWide; ++j) x[j] = _mm_aesdec_si128(x[j], k[r]);
    for (size_t j = 0; j < kWide; ++j) x[j] = _mm_aesdeclast_si128(x[j], k[rounds]);
}

// Lanes of one interleaved CBC pass.
template <size_t L>
CSL_TARGET_AES_NI void cbcLaneGroup(const __m128i* k, int rounds, const uint8_t* const* in,
                            uint8_t* const* out, const uint8_t* const* iv, size_t nblocks) {
    __m128i c[L];
    for (size_t l = 0; l < L; ++l) c[l] = load(iv[l]);
    for (size_t i = 0; i < nblocks; ++i) {
        const size_t off = i * 16;
        for (size_t l = 0; l < L; ++l)
            c[l] = _mm_xor_si128(_mm_xor_si128(load(in[l] + off), c[l]), k[0]);
        for (int r = 1; r < rounds; ++r)
            for (size_t l = 0; l < L; ++l) c[l] = _mm_aesenc_si128(c[l], k[r]);
        for (size_t l = 0; l < L; ++l) {
            c[l] = _mm_aesenclast_si128(c[l], k[rounds]);
            store(out[l] + off, c[l]);
        }
    }
}

// SubWord of w (RotWord too when rot is set), by the key-generation
// instruction on register contents: no table is indexed with key bytes.
CSL_TARGET_AES_NI inline uint32_t subWord(uint32_t w, bool rot) {
    const __m128i r = _mm_aeskeygenassist_si128(_mm_set_epi32(0, 0, static_cast<int>(w), 0), 0);
    return static_cast<uint32_t>(rot ? _mm_extract_epi32(r, 1) : _mm_cvtsi128_si32(r));
}

// Round key words as the portable code holds them: big-endian loaded.
CSL_TARGET_AES_NI inline void storeSchedule(const __m128i* k, int rounds, uint32_t* rk) {
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    for (int i = 0; i <= rounds; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rk + 4 * i), _mm_shuffle_epi8(k[i], swap));
}

// One CBC chain: every block waits for the one before, so the time per
// block is the latency of the round instructions, and nothing else may sit
// on that path. The round keys stay in registers (R is a constant), and the
// next block's plaintext and first round key are folded into the last
// round's key: AESENCLAST(x, k[R] ^ p' ^ k[0]) is already the next block's
// state after its first AddRoundKey, with no XOR waiting on the chain. The
// ciphertext comes back off the chain by XOR-ing p' ^ k[0] out again.
template <int R>
CSL_TARGET_AES_NI void cbcEncryptChain(const uint32_t* roundKeys, uint8_t chain[16],
                                       const uint8_t* in, uint8_t* out, size_t nblocks) {
    __m128i k[R + 1];
    loadSchedule(roundKeys, R, k);
    if (nblocks > 0) {
        __m128i x = _mm_xor_si128(_mm_xor_si128(load(in), k[0]), load(chain));
        for (size_t i = 0; i + 1 < nblocks; ++i) {
            const __m128i next = _mm_xor_si128(load(in + 16 * (i + 1)), k[0]);
            const __m128i lastKey = _mm_xor_si128(k[R], next);
            for (int r = 1; r < R; ++r) x = _mm_aesenc_si128(x, k[r]);
            x = _mm_aesenclast_si128(x, lastKey);
            store(out + 16 * i, _mm_xor_si128(x, next));
        }
        for (int r = 1; r < R; ++r) x = _mm_aesenc_si128(x, k[r]);
        x = _mm_aesenclast_si128(x, k[R]);
        store(out + 16 * (nblocks - 1), x);
        store(chain, x);
    }
    csl_wipe(k, sizeof k);
}

}  // namespace

namespace csl_aes_ni {

namespace {

// Both schedules from one key expansion. The decryption one is the
// equivalent inverse cipher's: round keys in reverse order, InvMixColumns on
// all but the first and the last.
CSL_TARGET_AES_NI int keySetup(uint32_t roundKeys[60], const uint8_t* key, int keyBits,
                               bool decrypt) {
    uint32_t w[60];
    const int rounds = csl_aes_detail::expandKeyWords(key, keyBits, w, subWord);
    __m128i k[kMaxRounds + 1];
    for (int i = 0; i <= rounds; ++i) {
        const int from = decrypt ? rounds - i : i;
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 4 * from));
        k[i] = (decrypt && i != 0 && i != rounds) ? _mm_aesimc_si128(e) : e;
    }
    storeSchedule(k, rounds, roundKeys);
    csl_wipe(w, sizeof w);
    csl_wipe(k, sizeof k);
    return rounds;
}

}  // namespace

int keySetupEnc(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    return keySetup(roundKeys, key, keyBits, false);
}

int keySetupDec(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    return keySetup(roundKeys, key, keyBits, true);
}

CSL_TARGET_AES_NI void ecbEncryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in,
                                uint8_t* out, size_t nblocks) {
    __m128i k[kMaxRounds + 1];
    loadSchedule(roundKeys, rounds, k);
    size_t i = 0;
    for (; i + kWide <= nblocks; i += kWide) {
        __m128i x[kWide];
        for (size_t j = 0; j < kWide; ++j) x[j] = load(in + 16 * (i + j));
        encryptWide(k, rounds, x);
        for (size_t j = 0; j < kWide; ++j) store(out + 16 * (i + j), x[j]);
    }
    for (; i < nblocks; ++i) store(out + 16 * i, encryptOne(k, rounds, load(in + 16 * i)));
    csl_wipe(k, sizeof k);
}

CSL_TARGET_AES_NI void ecbDecryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in,
                                uint8_t* out, size_t nblocks) {
    __m128i k[kMaxRounds + 1];
    loadSchedule(roundKeys, rounds, k);
    size_t i = 0;
    for (; i + kWide <= nblocks; i += kWide) {
        __m128i x[kWide];
        for (size_t j = 0; j < kWide; ++j) x[j] = load(in + 16 * (i + j));
        decryptWide(k, rounds, x);
        for (size_t j = 0; j < kWide; ++j) store(out + 16 * (i + j), x[j]);
    }
    for (; i < nblocks; ++i) store(out + 16 * i, decryptOne(k, rounds, load(in + 16 * i)));
    csl_wipe(k, sizeof k);
}

CSL_TARGET_AES_NI void cbcEncryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16],
                                        const uint8_t* in, uint8_t* out, size_t nblocks) {
    switch (rounds) {
        case 10: return cbcEncryptChain<10>(roundKeys, chain, in, out, nblocks);
        case 12: return cbcEncryptChain<12>(roundKeys, chain, in, out, nblocks);
        default: return cbcEncryptChain<14>(roundKeys, chain, in, out, nblocks);
    }
}

CSL_TARGET_AES_NI void cbcDecryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16],
                                const uint8_t* in, uint8_t* out, size_t nblocks) {
    __m128i k[kMaxRounds + 1];
    loadSchedule(roundKeys, rounds, k);
    __m128i prev = load(chain);
    size_t i = 0;
    for (; i + kWide <= nblocks; i += kWide) {
        // All ciphertext of the group is loaded before any output is stored,
        // which keeps decryption in place correct.
        __m128i c[kWide], x[kWide];
        for (size_t j = 0; j < kWide; ++j) x[j] = c[j] = load(in + 16 * (i + j));
        decryptWide(k, rounds, x);
        store(out + 16 * i, _mm_xor_si128(x[0], prev));
        for (size_t j = 1; j < kWide; ++j) store(out + 16 * (i + j), _mm_xor_si128(x[j], c[j - 1]));
        prev = c[kWide - 1];
    }
    for (; i < nblocks; ++i) {
        const __m128i c = load(in + 16 * i);
        store(out + 16 * i, _mm_xor_si128(decryptOne(k, rounds, c), prev));
        prev = c;
    }
    store(chain, prev);
    csl_wipe(k, sizeof k);
}

CSL_TARGET_AES_NI void cbcEncryptLanes(const uint32_t* roundKeys, int rounds, size_t lanes,
                               const uint8_t* const* in, uint8_t* const* out,
                               const uint8_t* const* iv, size_t nblocks) {
    __m128i k[kMaxRounds + 1];
    loadSchedule(roundKeys, rounds, k);
    size_t l = 0;
    for (; l + kWide <= lanes; l += kWide)
        cbcLaneGroup<kWide>(k, rounds, in + l, out + l, iv + l, nblocks);
    for (; l < lanes; ++l) cbcLaneGroup<1>(k, rounds, in + l, out + l, iv + l, nblocks);
    csl_wipe(k, sizeof k);
}

}  // namespace csl_aes_ni
