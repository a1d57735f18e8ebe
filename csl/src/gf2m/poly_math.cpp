// GF(2^233) arithmetic, f(x) = x^233 + x^74 + 1, over word arrays stored
// most significant word first.
#include "csl/poly_math.h"

#include <array>
#include <cstring>

#include "csl/cpu.h"
#include "csl/wipe.h"
#include "gf2m/gf2m_internal.h"

using csl_gf2m::fromLimbs;
using csl_gf2m::reduceLimbsInPlace;
using csl_gf2m::toLimbs;

namespace {

constexpr std::array<uint16_t, 256> makeZeroInserted() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned v = 0;
        for (unsigned k = 0; k < 8; ++k) v |= ((i >> k) & 1u) << (2 * k);
        t[i] = static_cast<uint16_t>(v);
    }
    return t;
}

constexpr std::array<uint8_t, 256> makeShiftBy() {
    std::array<uint8_t, 256> t{};
    t[0] = 8;
    for (unsigned i = 1; i < 256; ++i) {
        unsigned n = 0;
        while (((i >> n) & 1u) == 0) ++n;
        t[i] = static_cast<uint8_t>(n);
    }
    return t;
}

constexpr auto kZeroInserted = makeZeroInserted();
constexpr auto kShiftBy = makeShiftBy();

// Folds a product given least significant word first (L[0..14]) modulo f,
// using x^233 = x^74 + 1, i.e. x^(32k) = x^(32k-233) + x^(32k-159). Words
// are folded from the top so each has received everything from above.
void reduceLowFirst(uint32_t L[15], field_element out) {
    for (int k = 14; k >= 8; --k) {
        const uint32_t t = L[k];
        L[k - 8] ^= t << 23;
        L[k - 7] ^= t >> 9;
        L[k - 5] ^= t << 1;
        L[k - 4] ^= t >> 31;
    }
    const uint32_t t = L[7] >> 9;
    L[0] ^= t;
    L[2] ^= t << 10;
    L[3] ^= t >> 22;
    L[7] &= FIELD_TOP_MASK;
    for (int i = 0; i < 8; ++i) out[i] = L[7 - i];
}

// The square of a 32-bit polynomial: bit k moves to bit 2k, by shifts and
// masks (no table indexed by the operand).
inline uint64_t spreadBits(uint32_t w) {
    uint64_t x = w;
    x = (x | (x << 16)) & 0x0000FFFF0000FFFFull;
    x = (x | (x << 8)) & 0x00FF00FF00FF00FFull;
    x = (x | (x << 4)) & 0x0F0F0F0F0F0F0F0Full;
    x = (x | (x << 2)) & 0x3333333333333333ull;
    x = (x | (x << 1)) & 0x5555555555555555ull;
    return x;
}

// Carry-less 64 x 64 -> 128 bits with integer multiplications, in constant
// time. Each operand is split into five sparse parts (bits i, i + 5, ...);
// the product of two parts has at most 13 terms per bit position, so its
// carries never reach the next position of the same residue modulo 5, and
// the wanted bits are picked out by masks.
inline void clmul64Portable(uint64_t x, uint64_t y, uint64_t& lo, uint64_t& hi) {
    __extension__ typedef unsigned __int128 u128;
    constexpr uint64_t m0 = 0x1084210842108421ull;  // bits 0, 5, 10, ... below 64
    const uint64_t mx[5] = {m0, m0 << 1, m0 << 2, m0 << 3, m0 << 4};
    u128 z[5] = {};
    for (int i = 0; i < 5; ++i) {
        const uint64_t xi = x & mx[i];
        for (int j = 0; j < 5; ++j) z[(i + j) % 5] ^= static_cast<u128>(xi) * (y & mx[j]);
    }
    // Position p of the product belongs to residue p mod 5; 2^64 = 4 (mod 5).
    u128 r = 0;
    for (int k = 0; k < 5; ++k) {
        const uint64_t mlo = m0 << k;
        const uint64_t mhi = m0 << ((k + 1) % 5);
        r |= z[k] & ((static_cast<u128>(mhi) << 64) | mlo);
    }
    lo = static_cast<uint64_t>(r);
    hi = static_cast<uint64_t>(r >> 64);
}

// 128 x 128 -> 256 and 256 x 256 -> 512 bits by Karatsuba, limbs least
// significant first.
inline void mul128Portable(const uint64_t a[2], const uint64_t b[2], uint64_t c[4]) {
    uint64_t l0, l1, h0, h1, m0, m1;
    clmul64Portable(a[0], b[0], l0, l1);
    clmul64Portable(a[1], b[1], h0, h1);
    clmul64Portable(a[0] ^ a[1], b[0] ^ b[1], m0, m1);
    m0 ^= l0 ^ h0;
    m1 ^= l1 ^ h1;
    c[0] = l0;
    c[1] = l1 ^ m0;
    c[2] = h0 ^ m1;
    c[3] = h1;
}

inline void mul256Portable(const uint64_t a[4], const uint64_t b[4], uint64_t c[8]) {
    uint64_t lo[4], hi[4], mid[4];
    const uint64_t as[2] = {a[0] ^ a[2], a[1] ^ a[3]};
    const uint64_t bs[2] = {b[0] ^ b[2], b[1] ^ b[3]};
    mul128Portable(a, b, lo);
    mul128Portable(a + 2, b + 2, hi);
    mul128Portable(as, bs, mid);
    for (int i = 0; i < 4; ++i) mid[i] ^= lo[i] ^ hi[i];
    for (int i = 0; i < 4; ++i) {
        c[i] = lo[i];
        c[4 + i] = hi[i];
    }
    for (int i = 0; i < 4; ++i) c[2 + i] ^= mid[i];
}

bool isOne(const uint32_t* u, int top) {
    for (int i = top; i < 7; ++i)
        if (u[i] != 0) return false;
    return u[7] == 1;
}

// Right shift of words top..7 by t (1..8) bits.
void shiftRightWords(uint32_t* u, int top, unsigned t) {
    for (int i = 7; i > top; --i) u[i] = (u[i] >> t) | (u[i - 1] << (32 - t));
    u[top] >>= t;
}

// Left shift of all 8 words by t (1..8) bits; the cofactors of the
// inversion stay below 2^240, so nothing falls off the top.
void shiftLeftWords(uint32_t* s, unsigned t) {
    for (int i = 0; i < 7; ++i) s[i] = (s[i] << t) | (s[i + 1] >> (32 - t));
    s[7] <<= t;
}

}  // namespace

const field_element poly_prime = {0x200, 0, 0, 0, 0, 0x400, 0, 0x1};
const uint16_t zero_inserted[256] = {
#define ZI(i) kZeroInserted[i]
#define ZI8(i) ZI(i), ZI(i + 1), ZI(i + 2), ZI(i + 3), ZI(i + 4), ZI(i + 5), ZI(i + 6), ZI(i + 7)
#define ZI64(i) ZI8(i), ZI8(i + 8), ZI8(i + 16), ZI8(i + 24), ZI8(i + 32), ZI8(i + 40), \
                ZI8(i + 48), ZI8(i + 56)
    ZI64(0), ZI64(64), ZI64(128), ZI64(192)
#undef ZI64
#undef ZI8
#undef ZI
};
const uint8_t shift_by[256] = {
#define SB(i) kShiftBy[i]
#define SB8(i) SB(i), SB(i + 1), SB(i + 2), SB(i + 3), SB(i + 4), SB(i + 5), SB(i + 6), SB(i + 7)
#define SB64(i) SB8(i), SB8(i + 8), SB8(i + 16), SB8(i + 24), SB8(i + 32), SB8(i + 40), \
                SB8(i + 48), SB8(i + 56)
    SB64(0), SB64(64), SB64(128), SB64(192)
#undef SB64
#undef SB8
#undef SB
};

void poly_null(field_element e) { std::memset(e, 0, sizeof(uint32_t) * FIELD_WORDS); }

void poly_copy(const field_element src, field_element dst) {
    std::memmove(dst, src, sizeof(uint32_t) * FIELD_WORDS);
}

void double_null(double_element d) { std::memset(d, 0, sizeof(uint32_t) * DOUBLE_WORDS); }

void double_copy(const double_element src, double_element dst) {
    std::memmove(dst, src, sizeof(uint32_t) * DOUBLE_WORDS);
}

void double_add(const double_element a, const double_element b, double_element out) {
    for (int i = 0; i < DOUBLE_WORDS; ++i) out[i] = a[i] ^ b[i];
}

void single_to_double(const field_element e, double_element d) {
    uint32_t t[FIELD_WORDS];
    poly_copy(e, t);
    for (int i = 0; i < 7; ++i) d[i] = 0;
    for (int i = 0; i < FIELD_WORDS; ++i) d[7 + i] = t[i];
}

void double_to_single(const double_element d, field_element e) {
    uint32_t t[FIELD_WORDS];
    for (int i = 0; i < FIELD_WORDS; ++i) t[i] = d[7 + i];
    poly_copy(t, e);
}

void multiply_shift(double_element d) {
    for (int i = 0; i < DOUBLE_WORDS - 1; ++i) d[i] = (d[i] << 1) | (d[i + 1] >> 31);
    d[DOUBLE_WORDS - 1] <<= 1;
}

void multiply_shift_n(double_element d, unsigned n) {
    if (n >= 32u * DOUBLE_WORDS) {
        double_null(d);
        return;
    }
    const unsigned words = n / 32, bits = n % 32;
    for (unsigned i = 0; i < DOUBLE_WORDS; ++i) {
        const unsigned src = i + words;
        uint32_t v = 0;
        if (src < DOUBLE_WORDS) v = d[src] << bits;
        // bits == 0 would need a shift by 32, which is undefined.
        if (bits != 0 && src + 1 < DOUBLE_WORDS) v |= d[src + 1] >> (32 - bits);
        d[i] = v;
    }
}

void divide_shift_n(double_element d, unsigned n) {
    if (n >= 32u * DOUBLE_WORDS) {
        double_null(d);
        return;
    }
    const int words = static_cast<int>(n / 32);
    const unsigned bits = n % 32;
    for (int i = DOUBLE_WORDS - 1; i >= 0; --i) {
        const int src = i - words;
        uint32_t v = 0;
        if (src >= 0) v = d[src] >> bits;
        if (bits != 0 && src - 1 >= 0) v |= d[src - 1] << (32 - bits);
        d[i] = v;
    }
}

void extract_masked_bits(const double_element d, const double_element mask, double_element out) {
    for (int i = 0; i < DOUBLE_WORDS; ++i) out[i] = d[i] & mask[i];
}

void zero_masked_bits(double_element d, const double_element mask) {
    for (int i = 0; i < DOUBLE_WORDS; ++i) d[i] &= ~mask[i];
}

void shift_and_add(double_element d, const double_element mask) {
    double_element t, t2;
    extract_masked_bits(d, mask, t);
    zero_masked_bits(d, mask);
    double_copy(t, t2);
    divide_shift_n(t, 159);
    divide_shift_n(t2, 233);
    double_add(d, t, d);
    double_add(d, t2, d);
}

void poly_mul_partial(const field_element a, const field_element b, double_element out) {
    uint64_t A[4], B[4], C[8];
    toLimbs(a, A);
    toLimbs(b, B);
    mul256Portable(A, B, C);
    // Reduced operands give a product below 2^465, within the 15 words.
    for (int i = 0; i < DOUBLE_WORDS; ++i) {
        const int bit = 32 * (DOUBLE_WORDS - 1 - i);
        out[i] = static_cast<uint32_t>(C[bit / 64] >> (bit % 64));
    }
}

void poly_sqr(const field_element a, double_element out) {
    uint32_t sq[16];
    for (int i = 7; i >= 0; --i) {
        const uint64_t s = spreadBits(a[i]);
        sq[2 * i] = static_cast<uint32_t>(s >> 32);
        sq[2 * i + 1] = static_cast<uint32_t>(s);
    }
    for (int i = 0; i < DOUBLE_WORDS; ++i) out[i] = sq[i + 1];
}

void poly_reduce(const double_element d, field_element out) {
    uint32_t L[15];
    for (int k = 0; k < 15; ++k) L[k] = d[14 - k];
    reduceLowFirst(L, out);
}

void poly_reduce_element(field_element e) {
    // One fold of bits 233..255 (x^233 = x^74 + 1) always suffices; done
    // without testing whether there is anything to fold.
    const uint32_t t = e[0] >> 9;
    e[7] ^= t;
    e[5] ^= t << 10;
    e[4] ^= t >> 22;
    e[0] &= FIELD_TOP_MASK;
}

void poly_mul_portable(const field_element a, const field_element b, field_element out) {
    uint64_t A[4], C[8];
    toLimbs(a, A);
    if (a == b) {
        // Squaring: the product's bits are the operand's, spread apart.
        for (int i = 0; i < 4; ++i) {
            C[2 * i] = spreadBits(static_cast<uint32_t>(A[i]));
            C[2 * i + 1] = spreadBits(static_cast<uint32_t>(A[i] >> 32));
        }
    } else {
        uint64_t B[4];
        toLimbs(b, B);
        mul256Portable(A, B, C);
    }
    reduceLimbsInPlace(C);
    fromLimbs(C, out);
}

namespace csl_gf2m {

namespace {

constexpr csl_impl::Impl<Mul> kImplementations[] = {
#ifdef CSL_ISA_X86
    {"clmul", CSL_CPU_CLMUL, mulClmul},
#else
    {"clmul", csl_impl::kNotBuilt, nullptr},
#endif
#ifdef CSL_ISA_ARMV8
    {"pmull", CSL_CPU_CLMUL, mulPmull},
#else
    {"pmull", csl_impl::kNotBuilt, nullptr},
#endif
    {"portable", 0, poly_mul_portable},
};

}  // namespace

std::span<const csl_impl::Impl<Mul>> implementations() { return kImplementations; }

const csl_impl::Impl<Mul>& chosen() { return csl_impl::best(implementations()); }

}  // namespace csl_gf2m

void poly_mul(const field_element a, const field_element b, field_element out) {
    csl_gf2m::chosen().table(a, b, out);
}

void cus_times_u_to_n(const field_element p, unsigned n, field_element out) {
    // Least significant word first; each step adds m * f, where m is the
    // low part of D, so that those low bits become zero and D divides exactly.
    uint32_t L[9] = {};
    field_element pr;
    poly_copy(p, pr);
    poly_reduce_element(pr);
    for (int i = 0; i < 8; ++i) L[i] = pr[7 - i];
    for (unsigned q = n >> 5; q > 0; --q) {
        const uint32_t m = L[0];
        L[7] ^= m << 9;
        L[8] ^= m >> 23;
        L[2] ^= m << 10;
        L[3] ^= m >> 22;
        for (int i = 0; i < 8; ++i) L[i] = L[i + 1];
        L[8] = 0;
    }
    const unsigned r = n & 31;
    if (r != 0) {
        const uint32_t m = L[0] & ((1u << r) - 1);
        L[0] ^= m;
        L[7] ^= m << 9;
        L[8] ^= m >> 23;
        L[2] ^= m << 10;
        L[3] ^= m >> 22;
        for (int i = 0; i < 8; ++i) L[i] = (L[i] >> r) | (L[i + 1] << (32 - r));
        L[8] = 0;
    }
    for (int i = 0; i < 8; ++i) out[i] = L[7 - i];
}

namespace {

// x := x^(2^n).
void squareTimes(field_element x, int n) {
    for (int i = 0; i < n; ++i) poly_mul(x, x, x);
}

}  // namespace

void poly_inv(const field_element a, field_element out) {
    // Itoh-Tsujii: a^-1 = a^(2^233 - 2) = (a^(2^232 - 1))^2. With
    // b(k) = a^(2^k - 1), b(j + k) = b(j)^(2^k) * b(k); the chain
    // 1 2 3 6 7 14 28 29 58 116 232 takes 10 multiplications and 232
    // squarings for every a, and gives 0 for a = 0.
    field_element b1, b, t;
    poly_copy(a, b1);
    poly_reduce_element(b1);
    poly_copy(b1, b);  // b(1)
    struct Step {
        int shift;     // k: square b(j) k times ...
        bool byFirst;  // ... then multiply by b(1) (k = 1) or by the old b(j)
    };
    static constexpr Step chain[] = {{1, true},   {1, true},  {3, false}, {1, true},
                                     {7, false},  {14, false}, {1, true},  {29, false},
                                     {58, false}, {116, false}};
    for (const Step& st : chain) {
        poly_copy(b, t);
        squareTimes(b, st.shift);
        poly_mul(b, st.byFirst ? b1 : t, b);
    }
    poly_mul(b, b, out);
    csl_wipe(b1, sizeof b1);
    csl_wipe(b, sizeof b);
    csl_wipe(t, sizeof t);
}

void poly_inv_vartime(const field_element a, field_element out) {
    uint32_t U[8], V[8], R[8] = {0, 0, 0, 0, 0, 0, 0, 1}, S[8] = {};
    poly_copy(a, U);
    poly_reduce_element(U);
    if (poly_is_zero(U)) {
        poly_null(out);
        return;
    }
    poly_copy(poly_prime, V);
    unsigned k = 0;
    int top = 0;

    // S is still 0, so only U and k change while U loses its factors x.
    for (;;) {
        const unsigned t = shift_by[U[7] & 0xFF];
        if (t == 0) break;
        k += t;
        shiftRightWords(U, top, t);
    }

    uint32_t* result = R;
    if (!isOne(U, top)) {
        bool lastWasU = true;
        for (;;) {
            while (top < 7 && U[top] == 0 && V[top] == 0) ++top;
            const bool uStep = lastWasU ? !(U[top] < V[top]) : (V[top] < U[top]);
            uint32_t* X = uStep ? U : V;        // the side that absorbs the other
            uint32_t* Y = uStep ? V : U;
            uint32_t* Xc = uStep ? R : S;       // its cofactor
            uint32_t* Yc = uStep ? S : R;
            for (int i = top; i < 8; ++i) X[i] ^= Y[i];
            for (int i = 0; i < 8; ++i) Xc[i] ^= Yc[i];
            if (poly_is_zero(X)) {
                // Only possible when gcd(a, f) != 1, which a reduced non-zero
                // a never has; stop rather than loop.
                poly_null(out);
                csl_wipe(U, sizeof U);
                csl_wipe(V, sizeof V);
                csl_wipe(R, sizeof R);
                csl_wipe(S, sizeof S);
                return;
            }
            for (;;) {
                const unsigned t = shift_by[X[7] & 0xFF];
                if (t == 0) break;
                k += t;
                shiftLeftWords(Yc, t);
                shiftRightWords(X, top, t);
            }
            lastWasU = uStep;
            if (isOne(X, top)) {
                result = Xc;
                break;
            }
        }
    }
    cus_times_u_to_n(result, k, out);
    csl_wipe(U, sizeof U);
    csl_wipe(V, sizeof V);
    csl_wipe(R, sizeof R);
    csl_wipe(S, sizeof S);
}

void poly_rot_right(field_element e) {
    const uint32_t bit0 = e[7] & 1u;
    for (int i = 7; i > 0; --i) e[i] = (e[i] >> 1) | (e[i - 1] << 31);
    e[0] >>= 1;
    e[0] &= FIELD_TOP_MASK;
    e[0] |= bit0 << 8;
}

bool poly_is_zero(const field_element e) {
    uint32_t acc = 0;
    for (int i = 0; i < FIELD_WORDS; ++i) acc |= e[i];
    return acc == 0;
}

bool poly_equal(const field_element a, const field_element b) {
    uint32_t acc = 0;
    for (int i = 0; i < FIELD_WORDS; ++i) acc |= a[i] ^ b[i];
    return acc == 0;
}

void poly_add(const field_element a, const field_element b, field_element out) {
    for (int i = 0; i < FIELD_WORDS; ++i) out[i] = a[i] ^ b[i];
}
