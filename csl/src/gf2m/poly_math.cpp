// GF(2^233) arithmetic, f(x) = x^233 + x^74 + 1, over word arrays stored
// most significant word first.
#include "csl/poly_math.h"

#include "csl/cpu.h"

#include <immintrin.h>

#include <array>
#include <cstring>

#include "csl/wipe.h"

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
    double_element T[16];
    double_null(T[0]);
    single_to_double(b, T[1]);
    double_copy(T[1], T[2]);
    multiply_shift(T[2]);
    double_copy(T[2], T[4]);
    multiply_shift(T[4]);
    double_copy(T[4], T[8]);
    multiply_shift(T[8]);
    double_add(T[1], T[2], T[3]);
    double_add(T[4], T[1], T[5]);
    double_add(T[4], T[2], T[6]);
    double_add(T[6], T[1], T[7]);
    double_add(T[8], T[1], T[9]);
    double_add(T[8], T[2], T[10]);
    double_add(T[10], T[1], T[11]);
    double_add(T[8], T[4], T[12]);
    double_add(T[12], T[1], T[13]);
    double_add(T[12], T[2], T[14]);
    double_add(T[14], T[1], T[15]);

    double_element Z = {};
    for (int j = 7; j >= 0; --j) {
        for (int w = 7; w >= 0; --w) {
            const unsigned u = (a[w] >> (4 * j)) & 0xF;
            for (int i = 0; i < 8; ++i) Z[w + i] ^= T[u][7 + i];
        }
        if (j != 0) {
            for (int i = 0; i < DOUBLE_WORDS - 1; ++i) Z[i] = (Z[i] << 4) | (Z[i + 1] >> 28);
            Z[DOUBLE_WORDS - 1] <<= 4;
        }
    }
    double_copy(Z, out);
}

void poly_sqr(const field_element a, double_element out) {
    uint32_t sq[16];
    for (int i = 7; i >= 0; --i) {
        const uint32_t w = a[i];
        sq[2 * i] = (static_cast<uint32_t>(zero_inserted[w >> 24]) << 16) |
                    zero_inserted[(w >> 16) & 0xFF];
        sq[2 * i + 1] = (static_cast<uint32_t>(zero_inserted[(w >> 8) & 0xFF]) << 16) |
                        zero_inserted[w & 0xFF];
    }
    for (int i = 0; i < DOUBLE_WORDS; ++i) out[i] = sq[i + 1];
}

void poly_reduce(const double_element d, field_element out) {
    uint32_t L[15];
    for (int k = 0; k < 15; ++k) L[k] = d[14 - k];
    reduceLowFirst(L, out);
}

void poly_reduce_element(field_element e) {
    if (e[0] <= FIELD_TOP_MASK) return;
    double_element d;
    single_to_double(e, d);
    poly_reduce(d, e);
}

void poly_mul_portable(const field_element a, const field_element b, field_element out) {
    uint32_t x[FIELD_WORDS], y[FIELD_WORDS];
    poly_copy(a, x);
    poly_copy(b, y);
    poly_reduce_element(x);
    poly_reduce_element(y);
    double_element prod;
    if (poly_equal(x, y))
        poly_sqr(x, prod);
    else
        poly_mul_partial(x, y, prod);
    poly_reduce(prod, out);
}

namespace {

// Carry-less multiplication on 64-bit limbs, least significant limb first.
// Reduces an 8-limb product (degree below 512) modulo f into C[0..3]:
// x^(64i) = x^(64i-233) + x^(64i-159).
inline void reduceLimbsInPlace(uint64_t C[8]) {
    for (int i = 7; i >= 4; --i) {
        const uint64_t t = C[i];
        C[i - 4] ^= t << 23;
        C[i - 3] ^= (t >> 41) ^ (t << 33);
        C[i - 2] ^= t >> 31;
    }
    const uint64_t t = C[3] >> 41;
    C[0] ^= t;
    C[1] ^= t << 10;
    C[2] ^= t >> 54;
    C[3] &= (uint64_t{1} << 41) - 1;
}

// 128 x 128 -> 256 bits by schoolbook on 64-bit halves.
__attribute__((target("pclmul,sse2"))) inline void mul128(__m128i a, __m128i b, __m128i& lo,
                                                          __m128i& hi) {
    const __m128i p00 = _mm_clmulepi64_si128(a, b, 0x00);
    const __m128i p11 = _mm_clmulepi64_si128(a, b, 0x11);
    const __m128i mid =
        _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x01), _mm_clmulepi64_si128(a, b, 0x10));
    lo = _mm_xor_si128(p00, _mm_slli_si128(mid, 8));
    hi = _mm_xor_si128(p11, _mm_srli_si128(mid, 8));
}

}  // namespace

bool poly_have_clmul() { return csl_cpu_has(CSL_CPU_CLMUL); }

// Elements move between memory and registers as two 128-bit halves, with
// the four 32-bit words of each half reversed to form the 64-bit limbs.
// Whole-half loads and stores matter: a load that spans several smaller
// recent stores cannot be forwarded and stalls, and the point formulas feed
// every product straight into the next.
__attribute__((target("pclmul,sse2"))) void poly_mul_clmul(const field_element a,
                                                           const field_element b,
                                                           field_element out) {
    uint32_t x[FIELD_WORDS], y[FIELD_WORDS];
    if (a[0] > FIELD_TOP_MASK) {
        poly_copy(a, x);
        poly_reduce_element(x);
        a = x;
    }
    if (b[0] > FIELD_TOP_MASK) {
        poly_copy(b, y);
        poly_reduce_element(y);
        b = y;
    }
    const __m128i a0 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4)), 0x1B);
    const __m128i a1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)), 0x1B);
    __m128i l0, l1, h0, h1;
    if (poly_equal(a, b)) {
        l0 = _mm_clmulepi64_si128(a0, a0, 0x00);
        l1 = _mm_clmulepi64_si128(a0, a0, 0x11);
        h0 = _mm_clmulepi64_si128(a1, a1, 0x00);
        h1 = _mm_clmulepi64_si128(a1, a1, 0x11);
    } else {
        const __m128i b0 =
            _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4)), 0x1B);
        const __m128i b1 =
            _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 0x1B);
        // Karatsuba on the two 128-bit halves.
        __m128i m0, m1;
        mul128(a0, b0, l0, l1);
        mul128(a1, b1, h0, h1);
        mul128(_mm_xor_si128(a0, a1), _mm_xor_si128(b0, b1), m0, m1);
        m0 = _mm_xor_si128(m0, _mm_xor_si128(l0, h0));
        m1 = _mm_xor_si128(m1, _mm_xor_si128(l1, h1));
        l1 = _mm_xor_si128(l1, m0);
        h0 = _mm_xor_si128(h0, m1);
    }
    alignas(16) uint64_t C[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(C), l0);
    _mm_store_si128(reinterpret_cast<__m128i*>(C + 2), l1);
    _mm_store_si128(reinterpret_cast<__m128i*>(C + 4), h0);
    _mm_store_si128(reinterpret_cast<__m128i*>(C + 6), h1);
    reduceLimbsInPlace(C);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4),
                     _mm_shuffle_epi32(_mm_set_epi64x(static_cast<long long>(C[1]),
                                                      static_cast<long long>(C[0])),
                                       0x1B));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi32(_mm_set_epi64x(static_cast<long long>(C[3]),
                                                      static_cast<long long>(C[2])),
                                       0x1B));
}

void poly_mul(const field_element a, const field_element b, field_element out) {
    if (poly_have_clmul())
        poly_mul_clmul(a, b, out);
    else
        poly_mul_portable(a, b, out);
}

void cus_times_u_to_n(const field_element p, unsigned n, field_element out) {
    // Least significant word first; each step adds m * f, where m is the
    // low part of D, so that those low bits become zero and D divides exactly.
    uint32_t L[9] = {};
    for (int i = 0; i < 8; ++i) L[i] = p[7 - i];
    if (L[7] > FIELD_TOP_MASK) {
        field_element r;
        poly_copy(p, r);
        poly_reduce_element(r);
        for (int i = 0; i < 8; ++i) L[i] = r[7 - i];
    }
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

void poly_inv(const field_element a, field_element out) {
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
