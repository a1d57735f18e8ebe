// Constant-time AES without AES instructions: bitsliced, four blocks per
// pass in eight 64-bit words, and both key schedules on the same circuit.
//
// No table is indexed and no branch is taken on the key or the data: SubBytes
// is a Boolean circuit over the eight bit planes of every state byte (the
// inverse S-box is the same circuit between two affine maps), and ShiftRows
// and MixColumns are shifts and rotations of the planes. A plane word holds
// bit i of all 64 bytes of four blocks, byte (row r, column c) of block b at
// bit 16r + 4c + b, so that the next row of a column is a rotation by 16 bits
// and a row is a 16-bit group.
//
// Four independent blocks fill a pass: ECB, CBC decryption and the side by
// side CBC chains of the disc layout run at full width. A single CBC
// encryption chain can only use one block of each pass, so it is the one
// whose cost is the rounds themselves: it keeps its block in two words
// outside the S-boxes, from one block to the next (encryptPacked), and the
// encryption rounds skip ShiftRows and the S-box's constant (encryptPlanes,
// planeSchedule).
#include <array>
#include <cstring>

#include "aes/aes_internal.h"
#include "csl/aes.h"
#include "csl/wipe.h"

namespace {

constexpr int kMaxRounds = 14;

// --- SubBytes ---------------------------------------------------------------

// The S-box as a circuit of 113 gates (32 AND), input bit i in q[i]: a linear
// layer into GF(2^4) arithmetic, the inversion there, and a linear layer out
// that includes the affine map. Works on any unsigned word, one S-box per bit
// position; the constant-time check below the tables proves it on all 256
// inputs. Without the constant, the affine map's 0x63 is left out: every
// linear layer after it passes all-ones planes through unchanged (MixColumns
// maps a column of equal bytes to itself), so the encryption rounds take it
// from their round keys instead (planeSchedule).
template <class W, bool WithConstant = true>
constexpr void sbox(W* q) {
    const W u0 = q[7], u1 = q[6], u2 = q[5], u3 = q[4];
    const W u4 = q[3], u5 = q[2], u6 = q[1], u7 = q[0];

    const W y14 = u3 ^ u5;
    const W y13 = u0 ^ u6;
    const W y9 = u0 ^ u3;
    const W y8 = u0 ^ u5;
    const W t0 = u1 ^ u2;
    const W y1 = t0 ^ u7;
    const W y4 = y1 ^ u3;
    const W y12 = y13 ^ y14;
    const W y2 = y1 ^ u0;
    const W y5 = y1 ^ u6;
    const W y3 = y5 ^ y8;
    const W t1 = u4 ^ y12;
    const W y15 = t1 ^ u5;
    const W y20 = t1 ^ u1;
    const W y6 = y15 ^ u7;
    const W y10 = y15 ^ t0;
    const W y11 = y20 ^ y9;
    const W y7 = u7 ^ y11;
    const W y17 = y10 ^ y11;
    const W y19 = y10 ^ y8;
    const W y16 = t0 ^ y11;
    const W y21 = y13 ^ y16;
    const W y18 = u0 ^ y16;

    const W t2 = y12 & y15;
    const W t3 = y3 & y6;
    const W t4 = t3 ^ t2;
    const W t5 = y4 & u7;
    const W t6 = t5 ^ t2;
    const W t7 = y13 & y16;
    const W t8 = y5 & y1;
    const W t9 = t8 ^ t7;
    const W t10 = y2 & y7;
    const W t11 = t10 ^ t7;
    const W t12 = y9 & y11;
    const W t13 = y14 & y17;
    const W t14 = t13 ^ t12;
    const W t15 = y8 & y10;
    const W t16 = t15 ^ t12;
    const W t17 = t4 ^ t14;
    const W t18 = t6 ^ t16;
    const W t19 = t9 ^ t14;
    const W t20 = t11 ^ t16;
    const W t21 = t17 ^ y20;
    const W t22 = t18 ^ y19;
    const W t23 = t19 ^ y21;
    const W t24 = t20 ^ y18;

    const W t25 = t21 ^ t22;
    const W t26 = t21 & t23;
    const W t27 = t24 ^ t26;
    const W t28 = t25 & t27;
    const W t29 = t28 ^ t22;
    const W t30 = t23 ^ t24;
    const W t31 = t22 ^ t26;
    const W t32 = t31 & t30;
    const W t33 = t32 ^ t24;
    const W t34 = t23 ^ t33;
    const W t35 = t27 ^ t33;
    const W t36 = t24 & t35;
    const W t37 = t36 ^ t34;
    const W t38 = t27 ^ t36;
    const W t39 = t29 & t38;
    const W t40 = t25 ^ t39;

    const W t41 = t40 ^ t37;
    const W t42 = t29 ^ t33;
    const W t43 = t29 ^ t40;
    const W t44 = t33 ^ t37;
    const W t45 = t42 ^ t41;
    const W z0 = t44 & y15;
    const W z1 = t37 & y6;
    const W z2 = t33 & u7;
    const W z3 = t43 & y16;
    const W z4 = t40 & y1;
    const W z5 = t29 & y7;
    const W z6 = t42 & y11;
    const W z7 = t45 & y17;
    const W z8 = t41 & y10;
    const W z9 = t44 & y12;
    const W z10 = t37 & y3;
    const W z11 = t33 & y4;
    const W z12 = t43 & y13;
    const W z13 = t40 & y5;
    const W z14 = t29 & y2;
    const W z15 = t42 & y9;
    const W z16 = t45 & y14;
    const W z17 = t41 & y8;

    const W t46 = z15 ^ z16;
    const W t47 = z10 ^ z11;
    const W t48 = z5 ^ z13;
    const W t49 = z9 ^ z10;
    const W t50 = z2 ^ z12;
    const W t51 = z2 ^ z5;
    const W t52 = z7 ^ z8;
    const W t53 = z0 ^ z3;
    const W t54 = z6 ^ z7;
    const W t55 = z16 ^ z17;
    const W t56 = z12 ^ t48;
    const W t57 = t50 ^ t53;
    const W t58 = z4 ^ t46;
    const W t59 = z3 ^ t54;
    const W t60 = t46 ^ t57;
    const W t61 = z14 ^ t57;
    const W t62 = t52 ^ t58;
    const W t63 = t49 ^ t58;
    const W t64 = z4 ^ t59;
    const W t65 = t61 ^ t62;
    const W t66 = z1 ^ t63;
    const W s0 = t59 ^ t63;
    const W s6 = t56 ^ t62;
    const W s7 = t48 ^ t60;
    const W t67 = t64 ^ t65;
    const W s3 = t53 ^ t66;
    const W s4 = t51 ^ t66;
    const W s5 = t47 ^ t65;
    const W s1 = t64 ^ s3;
    const W s2 = t55 ^ t67;

    q[7] = s0;
    q[6] = WithConstant ? static_cast<W>(~s1) : s1;
    q[5] = WithConstant ? static_cast<W>(~s2) : s2;
    q[4] = s3;
    q[3] = s4;
    q[2] = s5;
    q[1] = WithConstant ? static_cast<W>(~s6) : s6;
    q[0] = WithConstant ? static_cast<W>(~s7) : s7;
}

// The inverse of the S-box's affine map (with its constant 0x63): bit i of
// the result is bits i+2, i+5 and i+7 of the input, and the constant 0x05.
// InvSubBytes(x) = g(SubBytes(g(x))), since the S-box is the affine map after
// the inversion in GF(2^8) and the inversion is its own inverse.
template <class W>
constexpr void invAffine(W* q) {
    W r[8];
    for (int i = 0; i < 8; ++i) r[i] = q[(i + 2) & 7] ^ q[(i + 5) & 7] ^ q[(i + 7) & 7];
    r[0] = static_cast<W>(~r[0]);
    r[2] = static_cast<W>(~r[2]);
    for (int i = 0; i < 8; ++i) q[i] = r[i];
}

template <class W>
constexpr void invSbox(W* q) {
    invAffine(q);
    sbox(q);
    invAffine(q);
}

// The circuits against the S-box of the standard's definition (the
// multiplicative inverse in GF(2^8), then the affine map), for all 256
// inputs, at compile time: 64 inputs per word, x at bit x % 64 of word x / 64.
namespace check {

constexpr uint8_t xtime(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr uint8_t gfMul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    for (; b; b >>= 1, a = xtime(a))
        if (b & 1) r ^= a;
    return r;
}

constexpr uint8_t sboxByDefinition(uint8_t x) {
    // x^254 is the inverse (and 0 for 0); by squaring, so that every
    // compiler's constant evaluation stays within its step limit.
    uint8_t inv = 1;
    uint8_t base = x;
    for (int e = 254; e; e >>= 1) {
        if (e & 1) inv = gfMul(inv, base);
        base = gfMul(base, base);
    }
    uint8_t r = 0x63;
    for (int i = 0; i < 5; ++i) r ^= static_cast<uint8_t>((inv << i) | (inv >> (8 - i)));
    return r;
}

enum class Circuit { Forward, Inverse, ForwardWithoutConstant };

template <Circuit C>
constexpr bool circuitMatches() {
    std::array<uint8_t, 256> box{}, inv{};
    for (int x = 0; x < 256; ++x) {
        box[static_cast<size_t>(x)] = sboxByDefinition(static_cast<uint8_t>(x));
        inv[box[static_cast<size_t>(x)]] = static_cast<uint8_t>(x);
    }
    for (int base = 0; base < 256; base += 64) {
        uint64_t q[8] = {};
        for (int j = 0; j < 64; ++j)
            for (int i = 0; i < 8; ++i) q[i] |= uint64_t{((base + j) >> i) & 1u} << j;
        if constexpr (C == Circuit::Inverse)
            invSbox(q);
        else
            sbox<uint64_t, C == Circuit::Forward>(q);
        for (int j = 0; j < 64; ++j) {
            int y = 0;
            for (int i = 0; i < 8; ++i) y |= static_cast<int>((q[i] >> j) & 1) << i;
            const auto x = static_cast<size_t>(base + j);
            const int want = C == Circuit::Inverse  ? inv[x]
                             : C == Circuit::Forward ? box[x]
                                                     : box[x] ^ 0x63;
            if (y != want) return false;
        }
    }
    return true;
}

static_assert(circuitMatches<Circuit::Forward>(), "S-box circuit");
static_assert(circuitMatches<Circuit::Inverse>(), "inverse S-box circuit");
static_assert(circuitMatches<Circuit::ForwardWithoutConstant>(), "S-box circuit, no constant");

}  // namespace check

// --- Plane layout -----------------------------------------------------------

constexpr uint64_t kM55 = 0x5555555555555555ull;
constexpr uint64_t kM33 = 0x3333333333333333ull;
constexpr uint64_t kM0F = 0x0F0F0F0F0F0F0F0Full;

inline uint32_t loadLe32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void storeLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// The four bytes of x to the even bytes of a 64-bit word, and back.
inline uint64_t spread(uint32_t x) {
    uint64_t y = x;
    y = (y | (y << 16)) & 0x0000FFFF0000FFFFull;
    return (y | (y << 8)) & 0x00FF00FF00FF00FFull;
}

inline uint32_t gather(uint64_t y) {
    y &= 0x00FF00FF00FF00FFull;
    y = (y | (y >> 8)) & 0x0000FFFF0000FFFFull;
    return static_cast<uint32_t>(y | (y >> 16));
}

inline void swapMove(uint64_t& a, uint64_t& b, uint64_t mask, int s) {
    const uint64_t t = ((a >> s) ^ b) & mask;
    b ^= t;
    a ^= t << s;
}

// Exchanges the word index with the bit-within-byte index: afterwards bit i
// of byte m of word k holds what was bit k of byte m of word i. Its own
// inverse.
inline void transpose(uint64_t* w) {
    for (int j = 0; j < 8; j += 2) swapMove(w[j], w[j + 1], kM55, 1);
    for (int j : {0, 1, 4, 5}) swapMove(w[j], w[j + 2], kM33, 2);
    for (int j = 0; j < 4; ++j) swapMove(w[j], w[j + 4], kM0F, 4);
}

// Block b's columns (little-endian words, row r in byte r) to words b and
// 4 + b before the transposition: columns 0 and 2, then 1 and 3, row r of the
// first in byte 2r and of the second in byte 2r + 1. After the transposition
// byte (r, c) of block b sits at bit 16r + 4c + b of every plane.
inline void putColumns(uint64_t* w, int b, const uint32_t x[4]) {
    w[b] = spread(x[0]) | (spread(x[2]) << 8);
    w[4 + b] = spread(x[1]) | (spread(x[3]) << 8);
}

inline void getColumns(const uint64_t* w, int b, uint32_t x[4]) {
    x[0] = gather(w[b]);
    x[2] = gather(w[b] >> 8);
    x[1] = gather(w[4 + b]);
    x[3] = gather(w[4 + b] >> 8);
}

inline void loadBlock(uint64_t* w, int b, const uint8_t* in) {
    const uint32_t x[4] = {loadLe32(in), loadLe32(in + 4), loadLe32(in + 8), loadLe32(in + 12)};
    putColumns(w, b, x);
}

inline void storeBlock(const uint64_t* w, int b, uint8_t* out) {
    uint32_t x[4];
    getColumns(w, b, x);
    for (int c = 0; c < 4; ++c) storeLe32(out + 4 * c, x[c]);
}

// Up to four blocks into planes (missing ones are zero) and back.
inline void toPlanes(uint64_t* q, const uint8_t* const* in, int count) {
    for (int k = 0; k < 8; ++k) q[k] = 0;
    for (int b = 0; b < count; ++b) loadBlock(q, b, in[b]);
    transpose(q);
}

// Transposes q in place: the planes are gone afterwards.
inline void fromPlanes(uint64_t* q, uint8_t* const* out, int count) {
    transpose(q);
    for (int b = 0; b < count; ++b) storeBlock(q, b, out[b]);
}

template <class W>
inline W invShiftRows(W x);

// The round keys (big-endian column words) in planes, each key in all four
// block positions. For encryption round key i is turned back by i
// ShiftRows (see encryptPlanes), and every key after the first carries the
// S-box constant 0x63 that encryptPlanes' S-boxes leave out.
void planeSchedule(const uint32_t* rk, int rounds, bool encrypt, uint64_t* sk) {
    for (int r = 0; r <= rounds; ++r) {
        uint64_t* q = sk + 8 * r;
        uint32_t x[4];
        for (int c = 0; c < 4; ++c) x[c] = __builtin_bswap32(rk[4 * r + c]);
        for (int k = 0; k < 8; ++k) q[k] = 0;
        putColumns(q, 0, x);
        transpose(q);
        for (int k = 0; k < 8; ++k) {
            q[k] |= q[k] << 1;
            q[k] |= q[k] << 2;
            for (int f = 0; encrypt && f < (r & 3); ++f) q[k] = invShiftRows<uint64_t>(q[k]);
            if (encrypt && r > 0 && ((0x63 >> k) & 1)) q[k] = ~q[k];
        }
    }
}

// --- Rounds -----------------------------------------------------------------

// A plane word: one 64-bit word (four blocks), or two in a vector register
// (eight blocks) where the compiler has one; every operation below is the
// same on each 64-bit lane.
using Pair = uint64_t __attribute__((vector_size(16)));

template <class W>
constexpr int kBlocksPerPass = static_cast<int>(sizeof(W) / 2);

template <class W>
inline W rotr(W x, int n) { return (x >> n) | (x << (64 - n)); }

template <class W>
inline void addRoundKey(W* q, const W* k) {
    for (int i = 0; i < 8; ++i) q[i] ^= k[i];
}

// ShiftRows turns row r right by r columns within its 16 bits. Twice, it
// turns rows 1 and 3 by two columns, which swaps the two bytes of their
// 16-bit groups.
template <class W>
inline W shiftRowsTwice(W x) {
    const W t = (x ^ (x >> 8)) & 0x00FF000000FF0000ull;
    return x ^ t ^ (t << 8);
}

// Turns row r back: rows 1 and 3 by one column, then rows 2 and 3 by two.
template <class W>
inline W invShiftRows(W x) {
    x = (x & 0x0000FFFF0000FFFFull) | ((x << 4) & 0xFFF00000FFF00000ull) |
        ((x >> 12) & 0x000F0000000F0000ull);
    return (x & 0x00000000FFFFFFFFull) | ((x >> 8) & 0x00FF00FF00000000ull) |
           ((x << 8) & 0xFF00FF0000000000ull);
}

// Each output byte is 2a(r) + 3a(r+1) + a(r+2) + a(r+3) of its column;
// a(r+1) is the planes turned by one row. With t = a + a(r+1) that is
// 2t + a(r+1) + t(r+2), and doubling moves every plane up by one with bit 7
// folded back into bits 0, 1, 3 and 4 (x^8 = x^4 + x^3 + x + 1).
template <class W>
inline void mixColumns(W* q) {
    W a1[8], t[8];
    for (int i = 0; i < 8; ++i) {
        a1[i] = rotr(q[i], 16);
        t[i] = q[i] ^ a1[i];
    }
    q[0] = t[7] ^ a1[0] ^ rotr(t[0], 32);
    q[1] = t[0] ^ t[7] ^ a1[1] ^ rotr(t[1], 32);
    q[2] = t[1] ^ a1[2] ^ rotr(t[2], 32);
    q[3] = t[2] ^ t[7] ^ a1[3] ^ rotr(t[3], 32);
    q[4] = t[3] ^ t[7] ^ a1[4] ^ rotr(t[4], 32);
    q[5] = t[4] ^ a1[5] ^ rotr(t[5], 32);
    q[6] = t[5] ^ a1[6] ^ rotr(t[6], 32);
    q[7] = t[6] ^ a1[7] ^ rotr(t[7], 32);
}

// InvMixColumns is MixColumns after a(r) + 4(a(r) + a(r+2)): the circulant
// (14, 11, 13, 9) is (2, 3, 1, 1) times (5, 0, 4, 0). Times four moves the
// planes up by two with bits 6 and 7 folded back (x^8 and x^9 reduced).
template <class W>
inline void invMixColumns(W* q) {
    W u[8];
    for (int i = 0; i < 8; ++i) u[i] = q[i] ^ rotr(q[i], 32);
    q[0] ^= u[6];
    q[1] ^= u[6] ^ u[7];
    q[2] ^= u[0] ^ u[7];
    q[3] ^= u[1] ^ u[6];
    q[4] ^= u[2] ^ u[6] ^ u[7];
    q[5] ^= u[3] ^ u[7];
    q[6] ^= u[4];
    q[7] ^= u[5];
    mixColumns(q);
}

// Every 16-bit row group turned right by n columns.
template <int N, class W>
inline W turnColumns(W x) {
    if constexpr (N % 4 == 0) {
        return x;
    } else {
        constexpr int s = 4 * (N % 4);
        constexpr uint64_t low = 0x0001000100010001ull * (0xFFFFu >> s);
        return ((x >> s) & low) | ((x << (16 - s)) & ~low);
    }
}

// MixColumns on a state that lags K ShiftRows behind (mod 4): the standard
// column c of the byte in row r is stored at column c + K r, so the next
// row's byte of the same column is one row down and K columns on.
template <int K, class W>
inline void mixColumnsLagging(W* q) {
    W a1[8], t[8];
    for (int i = 0; i < 8; ++i) {
        a1[i] = turnColumns<K, W>(rotr(q[i], 16));
        t[i] = q[i] ^ a1[i];
    }
    const auto two = [](W x) { return turnColumns<2 * K, W>(rotr(x, 32)); };
    q[0] = t[7] ^ a1[0] ^ two(t[0]);
    q[1] = t[0] ^ t[7] ^ a1[1] ^ two(t[1]);
    q[2] = t[1] ^ a1[2] ^ two(t[2]);
    q[3] = t[2] ^ t[7] ^ a1[3] ^ two(t[3]);
    q[4] = t[3] ^ t[7] ^ a1[4] ^ two(t[4]);
    q[5] = t[4] ^ a1[5] ^ two(t[5]);
    q[6] = t[5] ^ a1[6] ^ two(t[6]);
    q[7] = t[6] ^ a1[7] ^ two(t[7]);
}

// Encryption without ShiftRows: after round i the state lags i ShiftRows
// behind the standard's (SubBytes works on every byte alike, so it does not
// mind), each MixColumns reaches its column's bytes where they lie, and the
// round keys were turned back to match (planeSchedule). The lag left at the
// end, rounds mod 4 (two for AES-128 and AES-256, none for AES-192), is
// made up once. This saves most of the cost of ShiftRows, which a single
// CBC chain pays on every block.
template <class W>
inline void encryptPlanes(const W* sk, int rounds, W* q) {
    addRoundKey(q, sk);
    for (int r = 1; r < rounds; ++r) {
        sbox<W, false>(q);
        switch (r & 3) {
            case 0: mixColumnsLagging<0, W>(q); break;
            case 1: mixColumnsLagging<1, W>(q); break;
            case 2: mixColumnsLagging<2, W>(q); break;
            default: mixColumnsLagging<3, W>(q); break;
        }
        addRoundKey(q, sk + 8 * r);
    }
    sbox<W, false>(q);
    addRoundKey(q, sk + 8 * rounds);
    if (rounds & 2)
        for (int i = 0; i < 8; ++i) q[i] = shiftRowsTwice(q[i]);
}

// The equivalent inverse cipher: its round keys already carry
// InvMixColumns, so the rounds have the encryption's shape.
template <class W>
inline void decryptPlanes(const W* sk, int rounds, W* q) {
    addRoundKey(q, sk);
    for (int r = 1; r < rounds; ++r) {
        invSbox(q);
        for (int i = 0; i < 8; ++i) q[i] = invShiftRows(q[i]);
        invMixColumns(q);
        addRoundKey(q, sk + 8 * r);
    }
    invSbox(q);
    for (int i = 0; i < 8; ++i) q[i] = invShiftRows(q[i]);
    addRoundKey(q, sk + 8 * rounds);
}

// The round keys in planes for the length of one call, wiped after it.
template <class W>
struct PlaneKeys {
    W sk[8 * (kMaxRounds + 1)];
    PlaneKeys(const uint32_t* rk, int rounds, bool encrypt) {
        uint64_t one[8 * (kMaxRounds + 1)];
        planeSchedule(rk, rounds, encrypt, one);
        for (int i = 0; i < 8 * (rounds + 1); ++i) sk[i] = one[i] + W{};
        csl_wipe(one, sizeof one);
    }
    ~PlaneKeys() { csl_wipe(sk, sizeof sk); }
    PlaneKeys(const PlaneKeys&) = delete;
    PlaneKeys& operator=(const PlaneKeys&) = delete;
};

// Up to kBlocksPerPass blocks into planes (missing ones are zero) and back;
// fromPass destroys the planes.
template <class W>
inline void toPass(W* q, const uint8_t* const* in, int count) {
    if constexpr (sizeof(W) == 8) {
        toPlanes(q, in, count);
    } else {
        uint64_t a[8], b[8];
        toPlanes(a, in, count < 4 ? count : 4);
        toPlanes(b, in + 4, count > 4 ? count - 4 : 0);
        for (int i = 0; i < 8; ++i) q[i] = W{a[i], b[i]};
        csl_wipe(a, sizeof a);
        csl_wipe(b, sizeof b);
    }
}

template <class W>
inline void fromPass(W* q, uint8_t* const* out, int count) {
    if constexpr (sizeof(W) == 8) {
        fromPlanes(q, out, count);
    } else {
        uint64_t a[8], b[8];
        for (int i = 0; i < 8; ++i) {
            a[i] = q[i][0];
            b[i] = q[i][1];
        }
        fromPlanes(a, out, count < 4 ? count : 4);
        fromPlanes(b, out + 4, count > 4 ? count - 4 : 0);
        csl_wipe(a, sizeof a);
        csl_wipe(b, sizeof b);
    }
}

// --- One block in two words --------------------------------------------------

// A single chain fills one slot of a pass, and the planes' rotations in
// MixColumns cost as much for one block as for four. Between S-boxes it
// therefore keeps its block in two words, bit j of byte (r, c) at bit
// 16r + 4c + (j mod 4) of word j / 4: the four slots carry four planes, so
// MixColumns turns two words instead of eight. Only the S-box needs the planes
// apart; it takes them in slot 0 and ignores the other slots.
constexpr uint64_t kSlot0 = 0x1111111111111111ull;

struct Packed {
    uint64_t lo, hi;  // planes 0 to 3, planes 4 to 7
};

// Slot 0 of four planes into one word. The parts share no bit, so a sum
// joins them, which takes one address computation per part on x86.
inline uint64_t packSlot0(const uint64_t* q) {
    return (q[0] & kSlot0) + (q[1] & kSlot0) * 2 + (q[2] & kSlot0) * 4 + (q[3] & kSlot0) * 8;
}

inline Packed pack(const uint64_t* q) { return {packSlot0(q), packSlot0(q + 4)}; }

// The packed words are the block's low and high nibbles, byte (r, c) (at
// 4c + r in the block) in nibble 4r + c. That order is the block's two halves
// with their bytes interleaved (as putColumns interleaves them), v0 from the
// first four bytes of each half and v1 from the last four, and then byte k of
// v0 and of v1 in nibbles 2k and 2k + 1: one block needs no transposition.
constexpr uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0Full;

inline Packed loadPacked(const uint8_t* in) {
    const uint64_t v0 = spread(loadLe32(in)) | (spread(loadLe32(in + 8)) << 8);
    const uint64_t v1 = spread(loadLe32(in + 4)) | (spread(loadLe32(in + 12)) << 8);
    return {(v0 & kLowNibbles) | ((v1 & kLowNibbles) << 4),
            ((v0 >> 4) & kLowNibbles) | (v1 & ~kLowNibbles)};
}

inline void storePacked(const Packed& x, uint8_t* out) {
    const uint64_t v0 = (x.lo & kLowNibbles) | ((x.hi << 4) & ~kLowNibbles);
    const uint64_t v1 = ((x.lo >> 4) & kLowNibbles) | (x.hi & ~kLowNibbles);
    storeLe32(out, gather(v0));
    storeLe32(out + 4, gather(v1));
    storeLe32(out + 8, gather(v0 >> 8));
    storeLe32(out + 12, gather(v1 >> 8));
}

inline void subBytesPacked(Packed& x) {
    uint64_t q[8];
    for (int j = 0; j < 8; ++j) q[j] = (j < 4 ? x.lo : x.hi) >> (j & 3);
    sbox<uint64_t, false>(q);
    x = pack(q);
}

// mixColumnsLagging on the packed block: the same turns on two words, and the
// doubling moves each plane up one slot, plane 3 into slot 0 of the high
// word, with plane 7 folded back into planes 0, 1, 3 and 4.
template <int K>
inline void mixColumnsPacked(Packed& x) {
    const auto one = [](uint64_t w) { return turnColumns<K, uint64_t>(rotr(w, 16)); };
    const auto two = [](uint64_t w) { return turnColumns<2 * K, uint64_t>(rotr(w, 32)); };
    const uint64_t a1lo = one(x.lo), a1hi = one(x.hi);
    const uint64_t tlo = x.lo ^ a1lo, thi = x.hi ^ a1hi;
    const uint64_t t7 = (thi >> 3) & kSlot0, t3 = (tlo >> 3) & kSlot0;
    // t7 into slots 0, 1 and 3 by a sum, as in packSlot0.
    x.lo = ((tlo << 1) & ~kSlot0) ^ (t7 + t7 * 2 + t7 * 8) ^ a1lo ^ two(tlo);
    x.hi = ((thi << 1) & ~kSlot0) ^ t3 ^ t7 ^ a1hi ^ two(thi);
}

// encryptPlanes on the packed block; kp holds the plane schedule packed.
inline void encryptPacked(const uint64_t* kp, int rounds, Packed& x) {
    x.lo ^= kp[0];
    x.hi ^= kp[1];
    for (int r = 1; r < rounds; ++r) {
        subBytesPacked(x);
        switch (r & 3) {
            case 0: mixColumnsPacked<0>(x); break;
            case 1: mixColumnsPacked<1>(x); break;
            case 2: mixColumnsPacked<2>(x); break;
            default: mixColumnsPacked<3>(x); break;
        }
        x.lo ^= kp[2 * r];
        x.hi ^= kp[2 * r + 1];
    }
    subBytesPacked(x);
    x.lo ^= kp[2 * rounds];
    x.hi ^= kp[2 * rounds + 1];
    if (rounds & 2) {
        x.lo = shiftRowsTwice(x.lo);
        x.hi = shiftRowsTwice(x.hi);
    }
}

// --- Key schedule words -----------------------------------------------------

// SubWord on a big-endian word: its four bytes as bit planes of one bit each.
uint32_t subWord(uint32_t w) {
    uint32_t q[8];
    for (int i = 0; i < 8; ++i) q[i] = (w >> i) & 0x01010101u;
    sbox(q);
    uint32_t r = 0;
    for (int i = 0; i < 8; ++i) r |= (q[i] & 0x01010101u) << i;
    csl_wipe(q, sizeof q);
    return r;
}

constexpr uint32_t rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Each byte times x in GF(2^8), by masks.
constexpr uint32_t xtimeBytes(uint32_t w) {
    return ((w & 0x7F7F7F7Fu) << 1) ^ (((w >> 7) & 0x01010101u) * 0x1Bu);
}

// InvMixColumns of one column word (row 0 in the top byte), as in
// invMixColumns above.
constexpr uint32_t invMixColumn(uint32_t w) {
    w ^= xtimeBytes(xtimeBytes(w ^ rotl32(w, 16)));
    const uint32_t a1 = rotl32(w, 8);
    const uint32_t t = w ^ a1;
    return xtimeBytes(t) ^ a1 ^ rotl32(t, 16);
}

static_assert(invMixColumn(0x8e4da1bcu) == 0xdb135345u, "InvMixColumns of the standard's column");

}  // namespace

namespace csl_aes_bitsliced {

int keySetupEnc(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    const int nk = keyBits / 32;
    const int rounds = nk + 6;
    uint32_t* w = roundKeys;
    for (int i = 0; i < nk; ++i)
        w[i] = (uint32_t{key[4 * i]} << 24) | (uint32_t{key[4 * i + 1]} << 16) |
               (uint32_t{key[4 * i + 2]} << 8) | key[4 * i + 3];
    uint32_t rcon = 1;
    for (int i = nk; i < 4 * (rounds + 1); ++i) {
        uint32_t t = w[i - 1];
        if (i % nk == 0) {
            t = subWord(rotl32(t, 8)) ^ (rcon << 24);
            rcon = (rcon << 1) ^ ((rcon >> 7) * 0x11Bu);
        } else if (nk == 8 && i % 8 == 4) {
            t = subWord(t);
        }
        w[i] = w[i - nk] ^ t;
    }
    return rounds;
}

int keySetupDec(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    const int rounds = keySetupEnc(roundKeys, key, keyBits);
    uint32_t* rk = roundKeys;
    // Equivalent inverse cipher: the round keys in reverse order, all but the
    // first and the last through InvMixColumns.
    for (int i = 0, j = 4 * rounds; i < j; i += 4, j -= 4)
        for (int k = 0; k < 4; ++k) {
            const uint32_t t = rk[i + k];
            rk[i + k] = rk[j + k];
            rk[j + k] = t;
        }
    for (int i = 4; i < 4 * rounds; ++i) rk[i] = invMixColumn(rk[i]);
    return rounds;
}

namespace {

// ECB in passes of eight blocks: every pass reads all its input before it
// writes, so in and out may be the same buffer.
template <bool Encrypt>
void ecbBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
               size_t nblocks) {
    constexpr int kPass = kBlocksPerPass<Pair>;
    const PlaneKeys<Pair> keys(roundKeys, rounds, Encrypt);
    Pair q[8];
    for (size_t i = 0; i < nblocks; i += kPass) {
        const int n = static_cast<int>(nblocks - i < kPass ? nblocks - i : kPass);
        const uint8_t* src[kPass] = {};
        uint8_t* dst[kPass] = {};
        for (int b = 0; b < n; ++b) {
            src[b] = in + 16 * (i + static_cast<size_t>(b));
            dst[b] = out + 16 * (i + static_cast<size_t>(b));
        }
        toPass(q, src, n);
        if constexpr (Encrypt)
            encryptPlanes(keys.sk, rounds, q);
        else
            decryptPlanes(keys.sk, rounds, q);
        fromPass(q, dst, n);
    }
    csl_wipe(q, sizeof q);
}

}  // namespace

void ecbEncryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks) {
    ecbBlocks<true>(roundKeys, rounds, in, out, nblocks);
}

void ecbDecryptBlocks(const uint32_t* roundKeys, int rounds, const uint8_t* in, uint8_t* out,
                      size_t nblocks) {
    ecbBlocks<false>(roundKeys, rounds, in, out, nblocks);
}

// One chain, one block at a time in two words (encryptPacked), which go to
// and from bytes without a transposition.
void cbcEncryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks) {
    uint64_t kp[2 * (kMaxRounds + 1)];
    {
        const PlaneKeys<uint64_t> keys(roundKeys, rounds, true);
        for (int r = 0; r <= rounds; ++r) {
            const Packed k = pack(keys.sk + 8 * r);
            kp[2 * r] = k.lo;
            kp[2 * r + 1] = k.hi;
        }
    }
    Packed c = loadPacked(chain);
    for (size_t i = 0; i < nblocks; ++i) {
        const Packed x = loadPacked(in + 16 * i);
        c.lo ^= x.lo;
        c.hi ^= x.hi;
        encryptPacked(kp, rounds, c);
        storePacked(c, out + 16 * i);
    }
    storePacked(c, chain);
    csl_wipe(kp, sizeof kp);
    csl_wipe(&c, sizeof c);
}

void cbcDecryptBlocks(const uint32_t* roundKeys, int rounds, uint8_t chain[16], const uint8_t* in,
                      uint8_t* out, size_t nblocks) {
    constexpr int kPass = kBlocksPerPass<Pair>;
    const PlaneKeys<Pair> keys(roundKeys, rounds, false);
    uint8_t saved[kPass][16];
    uint8_t plain[kPass][16];
    Pair q[8];
    const uint8_t* src[kPass];
    uint8_t* dst[kPass];
    for (int b = 0; b < kPass; ++b) {
        src[b] = saved[b];
        dst[b] = plain[b];
    }
    for (size_t i = 0; i < nblocks; i += kPass) {
        const int n = static_cast<int>(nblocks - i < kPass ? nblocks - i : kPass);
        // The ciphertext is kept before the output may overwrite it.
        std::memcpy(saved, in + 16 * i, 16 * static_cast<size_t>(n));
        toPass(q, src, n);
        decryptPlanes(keys.sk, rounds, q);
        fromPass(q, dst, n);
        for (int b = 0; b < n; ++b) {
            const uint8_t* prev = b == 0 ? chain : saved[b - 1];
            for (int j = 0; j < 16; ++j)
                out[16 * (i + static_cast<size_t>(b)) + static_cast<size_t>(j)] =
                    static_cast<uint8_t>(plain[b][j] ^ prev[j]);
        }
        std::memcpy(chain, saved[n - 1], 16);
    }
    csl_wipe(plain, sizeof plain);
    csl_wipe(q, sizeof q);
}

void cbcEncryptLanes(const uint32_t* roundKeys, int rounds, size_t lanes, const uint8_t* const* in,
                     uint8_t* const* out, const uint8_t* const* iv, size_t nblocks) {
    constexpr int kPass = kBlocksPerPass<Pair>;
    const PlaneKeys<Pair> keys(roundKeys, rounds, true);
    Pair c[8], p[8];
    for (size_t l = 0; l < lanes; l += kPass) {
        const int n = static_cast<int>(lanes - l < kPass ? lanes - l : kPass);
        // The chains stay in planes: each step adds the plaintext planes.
        toPass(c, iv + l, n);
        for (size_t i = 0; i < nblocks; ++i) {
            const size_t off = 16 * i;
            const uint8_t* src[kPass] = {};
            uint8_t* dst[kPass] = {};
            for (int b = 0; b < n; ++b) {
                src[b] = in[l + static_cast<size_t>(b)] + off;
                dst[b] = out[l + static_cast<size_t>(b)] + off;
            }
            toPass(p, src, n);
            for (int k = 0; k < 8; ++k) c[k] ^= p[k];
            encryptPlanes(keys.sk, rounds, c);
            std::memcpy(p, c, sizeof p);
            fromPass(p, dst, n);
        }
    }
    csl_wipe(c, sizeof c);
    csl_wipe(p, sizeof p);
}

}  // namespace csl_aes_bitsliced
