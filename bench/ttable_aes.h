// A plain T-table AES (32-bit round tables that merge SubBytes, ShiftRows
// and MixColumns; two rounds per loop pass), for the benchmarks only: the
// yardstick the constant-time bitsliced code is measured against. It indexes
// its tables with key and data bytes and must never be given a secret.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace bench_ttable {

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

inline uint32_t loadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void storeBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The AES-128 encryption schedule (44 words), and the equivalent inverse
// cipher's: reversed, InvMixColumns on all but the first and last round key.
inline void keySetupEnc128(const uint8_t key[16], uint32_t rk[44]) {
    for (int i = 0; i < 4; ++i) rk[i] = loadBe32(key + 4 * i);
    for (int i = 0; i < 10; ++i, rk += 4) {
        const uint32_t t = rk[3];
        rk[4] = rk[0] ^ (Te4[b1(t)] & 0xFF000000u) ^ (Te4[b2(t)] & 0x00FF0000u) ^
                (Te4[b3(t)] & 0x0000FF00u) ^ (Te4[b0(t)] & 0x000000FFu) ^ rcon[static_cast<size_t>(i)];
        rk[5] = rk[1] ^ rk[4];
        rk[6] = rk[2] ^ rk[5];
        rk[7] = rk[3] ^ rk[6];
    }
}

inline void keySetupDec128(const uint8_t key[16], uint32_t rk[44]) {
    keySetupEnc128(key, rk);
    for (int i = 0, j = 40; i < j; i += 4, j -= 4)
        for (int k = 0; k < 4; ++k) std::swap(rk[i + k], rk[j + k]);
    for (int i = 4; i < 40; ++i) {
        const uint32_t w = rk[i];
        rk[i] = Td0[Te4[b0(w)] & 0xFF] ^ Td1[Te4[b1(w)] & 0xFF] ^ Td2[Te4[b2(w)] & 0xFF] ^
                Td3[Te4[b3(w)] & 0xFF];
    }
}

inline void encryptBlock(const uint32_t* rk, int rounds, const uint8_t in[16], uint8_t out[16]) {
    uint32_t s0 = loadBe32(in) ^ rk[0];
    uint32_t s1 = loadBe32(in + 4) ^ rk[1];
    uint32_t s2 = loadBe32(in + 8) ^ rk[2];
    uint32_t s3 = loadBe32(in + 12) ^ rk[3];
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
    storeBe32(out, s0);
    storeBe32(out + 4, s1);
    storeBe32(out + 8, s2);
    storeBe32(out + 12, s3);
}

inline void decryptBlock(const uint32_t* rk, int rounds, const uint8_t in[16], uint8_t out[16]) {
    uint32_t s0 = loadBe32(in) ^ rk[0];
    uint32_t s1 = loadBe32(in + 4) ^ rk[1];
    uint32_t s2 = loadBe32(in + 8) ^ rk[2];
    uint32_t s3 = loadBe32(in + 12) ^ rk[3];
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
    storeBe32(out, s0);
    storeBe32(out + 4, s1);
    storeBe32(out + 8, s2);
    storeBe32(out + 12, s3);
}


inline void cbcEncrypt(const uint32_t rk[44], uint8_t chain[16], const uint8_t* in, uint8_t* out,
                       size_t nblocks) {
    for (size_t i = 0; i < nblocks; ++i, in += 16, out += 16) {
        uint8_t x[16];
        for (int j = 0; j < 16; ++j) x[j] = static_cast<uint8_t>(in[j] ^ chain[j]);
        encryptBlock(rk, 10, x, out);
        std::memcpy(chain, out, 16);
    }
}

inline void cbcDecrypt(const uint32_t rk[44], uint8_t chain[16], const uint8_t* in, uint8_t* out,
                       size_t nblocks) {
    for (size_t i = 0; i < nblocks; ++i, in += 16, out += 16) {
        uint8_t c[16], t[16];
        std::memcpy(c, in, 16);
        decryptBlock(rk, 10, c, t);
        for (int j = 0; j < 16; ++j) out[j] = static_cast<uint8_t>(t[j] ^ chain[j]);
        std::memcpy(chain, c, 16);
    }
}

}  // namespace bench_ttable
