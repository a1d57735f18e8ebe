// Portable table-driven AES (FIPS 197): the round tables, key schedules,
// one-block primitives and the ECB/CBC block loops built on them.
//
// The state, the key and the round keys are handled as big-endian loaded
// 32-bit words (the first byte of a column is the most significant byte), so
// results do not depend on the host's byte order.
#include <array>
#include <cstring>

#include "aes/aes_internal.h"
#include "csl/aes.h"
#include "csl/loadstore.h"
#include "csl/wipe.h"

namespace {

using Table = std::array<uint32_t, 256>;

constexpr uint8_t xtime(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr uint8_t gfMul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

// The S-box from its definition: multiplicative inverse in GF(2^8) followed
// by the affine map. The inverses come from powers of the generator 3:
// x = 3^k has the inverse 3^(255-k).
constexpr std::array<uint8_t, 256> makeSbox() {
    std::array<uint8_t, 256> power{};  // power[k] = 3^k, k < 255
    std::array<uint8_t, 256> logOf{};  // logOf[3^k] = k
    uint8_t p = 1;
    for (int k = 0; k < 255; ++k) {
        power[static_cast<size_t>(k)] = p;
        logOf[p] = static_cast<uint8_t>(k);
        p = static_cast<uint8_t>(p ^ xtime(p));  // p * 3
    }
    std::array<uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) {
        const uint8_t inv =
            x == 0 ? 0 : power[static_cast<size_t>((255 - logOf[static_cast<size_t>(x)]) % 255)];
        uint8_t b = inv;
        uint8_t r = 0x63;
        for (int i = 0; i < 5; ++i) {
            r ^= b;
            b = static_cast<uint8_t>((b << 1) | (b >> 7));
        }
        s[static_cast<size_t>(x)] = r;
    }
    return s;
}

constexpr std::array<uint8_t, 256> kSbox = makeSbox();

constexpr std::array<uint8_t, 256> makeInvSbox() {
    std::array<uint8_t, 256> si{};
    for (int x = 0; x < 256; ++x) si[kSbox[static_cast<size_t>(x)]] = static_cast<uint8_t>(x);
    return si;
}

constexpr std::array<uint8_t, 256> kInvSbox = makeInvSbox();

constexpr uint32_t word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return (uint32_t{b0} << 24) | (uint32_t{b1} << 16) | (uint32_t{b2} << 8) | uint32_t{b3};
}

constexpr uint32_t ror8(uint32_t x, int times) {
    for (int i = 0; i < times; ++i) x = (x >> 8) | (x << 24);
    return x;
}

// Te0[x] is the MixColumns column (2s, s, s, 3s) of s = S[x]; Te1..Te3 are it
// rotated right by one, two and three bytes.
constexpr Table makeTe(int rot) {
    Table t{};
    for (size_t x = 0; x < 256; ++x) {
        const uint8_t s = kSbox[x];
        t[x] = ror8(word(gfMul(s, 2), s, s, gfMul(s, 3)), rot);
    }
    return t;
}

// Td0[x] is the InvMixColumns column (14s, 9s, 13s, 11s) of s = InvS[x].
constexpr Table makeTd(int rot) {
    Table t{};
    for (size_t x = 0; x < 256; ++x) {
        const uint8_t s = kInvSbox[x];
        t[x] = ror8(word(gfMul(s, 14), gfMul(s, 9), gfMul(s, 13), gfMul(s, 11)), rot);
    }
    return t;
}

constexpr Table makeRepeated(const std::array<uint8_t, 256>& box) {
    Table t{};
    for (size_t x = 0; x < 256; ++x) t[x] = word(box[x], box[x], box[x], box[x]);
    return t;
}

constexpr Table Te0 = makeTe(0);
constexpr Table Te1 = makeTe(1);
constexpr Table Te2 = makeTe(2);
constexpr Table Te3 = makeTe(3);
constexpr Table Te4 = makeRepeated(kSbox);
constexpr Table Td0 = makeTd(0);
constexpr Table Td1 = makeTd(1);
constexpr Table Td2 = makeTd(2);
constexpr Table Td3 = makeTd(3);
constexpr Table Td4 = makeRepeated(kInvSbox);

constexpr std::array<uint32_t, 10> rcon = {0x01000000u, 0x02000000u, 0x04000000u, 0x08000000u,
                                           0x10000000u, 0x20000000u, 0x40000000u, 0x80000000u,
                                           0x1B000000u, 0x36000000u};

static_assert(Te4[0x00] == 0x63636363u && Te4[0x53] == 0xEDEDEDEDu);
static_assert(Te0[0x00] == 0xC66363A5u && Td0[0x00] == 0x51F4A750u);

constexpr uint32_t b0(uint32_t w) { return w >> 24; }
constexpr uint32_t b1(uint32_t w) { return (w >> 16) & 0xFF; }
constexpr uint32_t b2(uint32_t w) { return (w >> 8) & 0xFF; }
constexpr uint32_t b3(uint32_t w) { return w & 0xFF; }

inline void xorBlock(uint8_t* dst, const uint8_t* a, const uint8_t* b) {
    for (int i = 0; i < AES_BLOCK_BYTES; ++i) dst[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

}  // namespace

namespace csl_aes_portable {

int keySetupEnc(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    // Portable expansion: S-box lookups indexed by key bytes (not constant
    // time; see csl/aes.h).
    uint32_t* rk = roundKeys;
    rk[0] = csl_load_be32(key);
    rk[1] = csl_load_be32(key + 4);
    rk[2] = csl_load_be32(key + 8);
    rk[3] = csl_load_be32(key + 12);
    if (keyBits == 128) {
        for (int i = 0;; ++i) {
            const uint32_t t = rk[3];
            rk[4] = rk[0] ^ (Te4[b1(t)] & 0xFF000000u) ^ (Te4[b2(t)] & 0x00FF0000u) ^
                    (Te4[b3(t)] & 0x0000FF00u) ^ (Te4[b0(t)] & 0x000000FFu) ^ rcon[static_cast<size_t>(i)];
            rk[5] = rk[1] ^ rk[4];
            rk[6] = rk[2] ^ rk[5];
            rk[7] = rk[3] ^ rk[6];
            if (i == 9) return 10;
            rk += 4;
        }
    }
    if (keyBits != 192 && keyBits != 256) return 0;
    rk[4] = csl_load_be32(key + 16);
    rk[5] = csl_load_be32(key + 20);
    if (keyBits == 192) {
        for (int i = 0;; ++i) {
            const uint32_t t = rk[5];
            rk[6] = rk[0] ^ (Te4[b1(t)] & 0xFF000000u) ^ (Te4[b2(t)] & 0x00FF0000u) ^
                    (Te4[b3(t)] & 0x0000FF00u) ^ (Te4[b0(t)] & 0x000000FFu) ^ rcon[static_cast<size_t>(i)];
            rk[7] = rk[1] ^ rk[6];
            rk[8] = rk[2] ^ rk[7];
            rk[9] = rk[3] ^ rk[8];
            if (i == 7) return 12;
            rk[10] = rk[4] ^ rk[9];
            rk[11] = rk[5] ^ rk[10];
            rk += 6;
        }
    }
    rk[6] = csl_load_be32(key + 24);
    rk[7] = csl_load_be32(key + 28);
    for (int i = 0;; ++i) {
        uint32_t t = rk[7];
        rk[8] = rk[0] ^ (Te4[b1(t)] & 0xFF000000u) ^ (Te4[b2(t)] & 0x00FF0000u) ^
                (Te4[b3(t)] & 0x0000FF00u) ^ (Te4[b0(t)] & 0x000000FFu) ^ rcon[static_cast<size_t>(i)];
        rk[9] = rk[1] ^ rk[8];
        rk[10] = rk[2] ^ rk[9];
        rk[11] = rk[3] ^ rk[10];
        if (i == 6) return 14;
        t = rk[11];
        rk[12] = rk[4] ^ (Te4[b0(t)] & 0xFF000000u) ^ (Te4[b1(t)] & 0x00FF0000u) ^
                 (Te4[b2(t)] & 0x0000FF00u) ^ (Te4[b3(t)] & 0x000000FFu);
        rk[13] = rk[5] ^ rk[12];
        rk[14] = rk[6] ^ rk[13];
        rk[15] = rk[7] ^ rk[14];
        rk += 8;
    }
}

int keySetupDec(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    const int rounds = keySetupEnc(roundKeys, key, keyBits);
    if (rounds == 0) return 0;
    uint32_t* rk = roundKeys;
    // Equivalent inverse cipher: reverse the round keys ...
    for (int i = 0, j = 4 * rounds; i < j; i += 4, j -= 4) {
        for (int k = 0; k < 4; ++k) {
            const uint32_t t = rk[i + k];
            rk[i + k] = rk[j + k];
            rk[j + k] = t;
        }
    }
    // ... and apply InvMixColumns to all but the first and last.
    for (int r = 1; r < rounds; ++r) {
        rk += 4;
        for (int k = 0; k < 4; ++k) {
            const uint32_t w = rk[k];
            rk[k] = Td0[Te4[b0(w)] & 0xFF] ^ Td1[Te4[b1(w)] & 0xFF] ^ Td2[Te4[b2(w)] & 0xFF] ^
                    Td3[Te4[b3(w)] & 0xFF];
        }
    }
    return rounds;
}

}  // namespace csl_aes_portable

int rijndaelKeySetupEnc(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return 0;
    return csl_aes::engine().keySetupEnc(roundKeys, key, keyBits);
}

int rijndaelKeySetupDec(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return 0;
    return csl_aes::engine().keySetupDec(roundKeys, key, keyBits);
}

void rijndaelEncrypt(const uint32_t* rk, int rounds, const uint8_t in[16], uint8_t out[16]) {
    uint32_t s0 = csl_load_be32(in) ^ rk[0];
    uint32_t s1 = csl_load_be32(in + 4) ^ rk[1];
    uint32_t s2 = csl_load_be32(in + 8) ^ rk[2];
    uint32_t s3 = csl_load_be32(in + 12) ^ rk[3];
    uint32_t t0, t1, t2, t3;
    for (int r = rounds >> 1;;) {
        t0 = Te0[b0(s0)] ^ Te1[b1(s1)] ^ Te2[b2(s2)] ^ Te3[b3(s3)] ^ rk[4];
        t1 = Te0[b0(s1)] ^ Te1[b1(s2)] ^ Te2[b2(s3)] ^ Te3[b3(s0)] ^ rk[5];
        t2 = Te0[b0(s2)] ^ Te1[b1(s3)] ^ Te2[b2(s0)] ^ Te3[b3(s1)] ^ rk[6];
        t3 = Te0[b0(s3)] ^ Te1[b1(s0)] ^ Te2[b2(s1)] ^ Te3[b3(s2)] ^ rk[7];
        rk += 8;
        if (--r == 0) break;
        s0 = Te0[b0(t0)] ^ Te1[b1(t1)] ^ Te2[b2(t2)] ^ Te3[b3(t3)] ^ rk[0];
        s1 = Te0[b0(t1)] ^ Te1[b1(t2)] ^ Te2[b2(t3)] ^ Te3[b3(t0)] ^ rk[1];
        s2 = Te0[b0(t2)] ^ Te1[b1(t3)] ^ Te2[b2(t0)] ^ Te3[b3(t1)] ^ rk[2];
        s3 = Te0[b0(t3)] ^ Te1[b1(t0)] ^ Te2[b2(t1)] ^ Te3[b3(t2)] ^ rk[3];
    }
    // Last round: SubBytes and ShiftRows only.
    s0 = (Te4[b0(t0)] & 0xFF000000u) ^ (Te4[b1(t1)] & 0x00FF0000u) ^ (Te4[b2(t2)] & 0x0000FF00u) ^
         (Te4[b3(t3)] & 0x000000FFu) ^ rk[0];
    s1 = (Te4[b0(t1)] & 0xFF000000u) ^ (Te4[b1(t2)] & 0x00FF0000u) ^ (Te4[b2(t3)] & 0x0000FF00u) ^
         (Te4[b3(t0)] & 0x000000FFu) ^ rk[1];
    s2 = (Te4[b0(t2)] & 0xFF000000u) ^ (Te4[b1(t3)] & 0x00FF0000u) ^ (Te4[b2(t0)] & 0x0000FF00u) ^
         (Te4[b3(t1)] & 0x000000FFu) ^ rk[2];
    s3 = (Te4[b0(t3)] & 0xFF000000u) ^ (Te4[b1(t0)] & 0x00FF0000u) ^ (Te4[b2(t1)] & 0x0000FF00u) ^
         (Te4[b3(t2)] & 0x000000FFu) ^ rk[3];
    csl_store_be32(out, s0);
    csl_store_be32(out + 4, s1);
    csl_store_be32(out + 8, s2);
    csl_store_be32(out + 12, s3);
}

void rijndaelDecrypt(const uint32_t* rk, int rounds, const uint8_t in[16], uint8_t out[16]) {
    uint32_t s0 = csl_load_be32(in) ^ rk[0];
    uint32_t s1 = csl_load_be32(in + 4) ^ rk[1];
    uint32_t s2 = csl_load_be32(in + 8) ^ rk[2];
    uint32_t s3 = csl_load_be32(in + 12) ^ rk[3];
    uint32_t t0, t1, t2, t3;
    for (int r = rounds >> 1;;) {
        t0 = Td0[b0(s0)] ^ Td1[b1(s3)] ^ Td2[b2(s2)] ^ Td3[b3(s1)] ^ rk[4];
        t1 = Td0[b0(s1)] ^ Td1[b1(s0)] ^ Td2[b2(s3)] ^ Td3[b3(s2)] ^ rk[5];
        t2 = Td0[b0(s2)] ^ Td1[b1(s1)] ^ Td2[b2(s0)] ^ Td3[b3(s3)] ^ rk[6];
        t3 = Td0[b0(s3)] ^ Td1[b1(s2)] ^ Td2[b2(s1)] ^ Td3[b3(s0)] ^ rk[7];
        rk += 8;
        if (--r == 0) break;
        s0 = Td0[b0(t0)] ^ Td1[b1(t3)] ^ Td2[b2(t2)] ^ Td3[b3(t1)] ^ rk[0];
        s1 = Td0[b0(t1)] ^ Td1[b1(t0)] ^ Td2[b2(t3)] ^ Td3[b3(t2)] ^ rk[1];
        s2 = Td0[b0(t2)] ^ Td1[b1(t1)] ^ Td2[b2(t0)] ^ Td3[b3(t3)] ^ rk[2];
        s3 = Td0[b0(t3)] ^ Td1[b1(t2)] ^ Td2[b2(t1)] ^ Td3[b3(t0)] ^ rk[3];
    }
    s0 = (Td4[b0(t0)] & 0xFF000000u) ^ (Td4[b1(t3)] & 0x00FF0000u) ^ (Td4[b2(t2)] & 0x0000FF00u) ^
         (Td4[b3(t1)] & 0x000000FFu) ^ rk[0];
    s1 = (Td4[b0(t1)] & 0xFF000000u) ^ (Td4[b1(t0)] & 0x00FF0000u) ^ (Td4[b2(t3)] & 0x0000FF00u) ^
         (Td4[b3(t2)] & 0x000000FFu) ^ rk[1];
    s2 = (Td4[b0(t2)] & 0xFF000000u) ^ (Td4[b1(t1)] & 0x00FF0000u) ^ (Td4[b2(t0)] & 0x0000FF00u) ^
         (Td4[b3(t3)] & 0x000000FFu) ^ rk[2];
    s3 = (Td4[b0(t3)] & 0xFF000000u) ^ (Td4[b1(t2)] & 0x00FF0000u) ^ (Td4[b2(t1)] & 0x0000FF00u) ^
         (Td4[b3(t0)] & 0x000000FFu) ^ rk[3];
    csl_store_be32(out, s0);
    csl_store_be32(out + 4, s1);
    csl_store_be32(out + 8, s2);
    csl_store_be32(out + 12, s3);
}

namespace csl_aes_portable {

void ecbEncryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks) {
    for (size_t i = 0; i < nblocks; ++i) {
        rijndaelEncrypt(roundKeys, rounds, in, out);
        in += AES_BLOCK_BYTES;
        out += AES_BLOCK_BYTES;
    }
}

void ecbDecryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks) {
    for (size_t i = 0; i < nblocks; ++i) {
        rijndaelDecrypt(roundKeys, rounds, in, out);
        in += AES_BLOCK_BYTES;
        out += AES_BLOCK_BYTES;
    }
}

void cbcEncryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks) {
    uint8_t x[AES_BLOCK_BYTES];
    for (size_t i = 0; i < nblocks; ++i) {
        xorBlock(x, in, chain);
        rijndaelEncrypt(roundKeys, rounds, x, out);
        std::memcpy(chain, out, AES_BLOCK_BYTES);
        in += AES_BLOCK_BYTES;
        out += AES_BLOCK_BYTES;
    }
    csl_wipe(x, sizeof x);  // last plaintext block, masked only by the chain
}

void cbcDecryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks) {
    uint8_t saved[AES_BLOCK_BYTES];
    uint8_t t[AES_BLOCK_BYTES];
    for (size_t i = 0; i < nblocks; ++i) {
        // Keep the ciphertext before the output overwrites it (in place).
        std::memcpy(saved, in, AES_BLOCK_BYTES);
        rijndaelDecrypt(roundKeys, rounds, saved, t);
        xorBlock(out, t, chain);
        std::memcpy(chain, saved, AES_BLOCK_BYTES);
        in += AES_BLOCK_BYTES;
        out += AES_BLOCK_BYTES;
    }
    csl_wipe(t, sizeof t);
}

void cbcEncryptLanes(const uint32_t* roundKeys, int rounds, size_t lanes, const uint8_t* const* in,
                     uint8_t* const* out, const uint8_t* const* iv, size_t nblocks) {
    uint8_t chain[AES_BLOCK_BYTES];
    for (size_t l = 0; l < lanes; ++l) {
        std::memcpy(chain, iv[l], AES_BLOCK_BYTES);
        cbcEncryptBlocks(roundKeys, rounds, chain, in[l], out[l], nblocks);
    }
    csl_wipe(chain, sizeof chain);
}

}  // namespace csl_aes_portable
