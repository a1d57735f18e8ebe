// Multi-precision arithmetic on arrays of 32-bit digits, least significant
// digit first. All working storage is on the stack and sized by
// BIGINT_MAX_DIGITS; counts beyond those sizes are refused rather than
// allowed to run past the local arrays.
#include "csl/integer_math.h"

#include <cstring>

namespace {

constexpr int kMaxProductDigits = 2 * BIGINT_MAX_DIGITS;
constexpr int kMaxInvDigits = 8;
constexpr bigint_digit kHalfMask = 0xFFFFu;

inline bigint_digit lowHalf(bigint_digit x) { return x & kHalfMask; }
inline bigint_digit highHalf(bigint_digit x) { return x >> 16; }

// (hi, lo) -= v, for a two-digit value known to stay non-negative.
inline void sub2(bigint_digit& hi, bigint_digit& lo, bigint_digit vhi, bigint_digit vlo) {
    const bigint_digit old = lo;
    lo -= vlo;
    hi -= vhi + (lo > old ? 1u : 0u);
}

}  // namespace

void bigint_digit_mult(bigint_digit out[2], bigint_digit x, bigint_digit y) {
    const uint64_t p = uint64_t{x} * y;
    out[0] = static_cast<bigint_digit>(p);
    out[1] = static_cast<bigint_digit>(p >> 32);
}

bigint_digit bigint_add_digit_mult(bigint_digit* a, const bigint_digit* b, bigint_digit x,
                                   const bigint_digit* d, int n) {
    if (x == 0) return 0;
    bigint_digit carry = 0;
    for (int i = 0; i < n; ++i) {
        const uint64_t t = uint64_t{x} * d[i] + b[i] + carry;  // < 2^64
        a[i] = static_cast<bigint_digit>(t);
        carry = static_cast<bigint_digit>(t >> 32);
    }
    return carry;
}

bigint_digit bigint_sub_digit_mult(bigint_digit* a, const bigint_digit* b, bigint_digit x,
                                   const bigint_digit* d, int n) {
    if (x == 0) return 0;
    bigint_digit borrow = 0;
    for (int i = 0; i < n; ++i) {
        const uint64_t p = uint64_t{x} * d[i] + borrow;
        const bigint_digit plo = static_cast<bigint_digit>(p);
        borrow = static_cast<bigint_digit>(p >> 32);
        const bigint_digit r = b[i] - plo;
        // No overflow: p >> 32 is all ones only when p = 2^64 - 2^32,
        // whose low digit is 0 and so borrows nothing here.
        if (r > b[i]) ++borrow;
        a[i] = r;
    }
    return borrow;
}

int bigint_digit_bits(bigint_digit x) {
    int bits = 0;
    while (x) {
        ++bits;
        x >>= 1;
    }
    return bits;
}

// Divides a two-digit number by a normalised digit (top bit set) with only
// 32-bit divisions, one 16-bit half of the quotient at a time. Each half is
// first underestimated by dividing by (xh + 1) and then corrected upwards.
void bigint_digit_div(bigint_digit* out, const bigint_digit b[2], bigint_digit x) {
    const bigint_digit xh = highHalf(x);
    const bigint_digit xl = lowHalf(x);
    bigint_digit hi = b[1];
    bigint_digit lo = b[0];

    bigint_digit qh = xh == kHalfMask ? highHalf(hi) : hi / (xh + 1);
    // Subtract qh * x * 2^16 = (qh * xl) << 16 + (qh * xh) << 32.
    bigint_digit u = qh * xl;
    sub2(hi, lo, highHalf(u), u << 16);
    hi -= qh * xh;
    while (hi > xh || (hi == xh && lo >= (xl << 16))) {
        sub2(hi, lo, xh, xl << 16);
        ++qh;
    }

    // Now the remainder is below x * 2^16, so hi <= xh.
    bigint_digit ql = xh == kHalfMask ? lowHalf(hi) : ((hi << 16) + highHalf(lo)) / (xh + 1);
    // Subtract ql * x = (ql * xh) << 16 + ql * xl.
    u = ql * xl;
    const bigint_digit v = ql * xh;
    sub2(hi, lo, 0, u);
    sub2(hi, lo, highHalf(v), v << 16);
    while (hi != 0 || lo >= x) {
        sub2(hi, lo, 0, x);
        ++ql;
    }
    *out = (qh << 16) + ql;
}

void bigint_copy(bigint_digit* a, const bigint_digit* b, int n) {
    if (n > 0 && a != b) std::memmove(a, b, static_cast<size_t>(n) * sizeof(bigint_digit));
}

void bigint_zero(bigint_digit* a, int n) {
    if (n > 0) std::memset(a, 0, static_cast<size_t>(n) * sizeof(bigint_digit));
}

bigint_digit bigint_add(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n) {
    bigint_digit carry = 0;
    for (int i = 0; i < n; ++i) {
        const uint64_t t = uint64_t{b[i]} + c[i] + carry;
        a[i] = static_cast<bigint_digit>(t);
        carry = static_cast<bigint_digit>(t >> 32);
    }
    return carry;
}

bigint_digit bigint_sub(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n) {
    bigint_digit borrow = 0;
    for (int i = 0; i < n; ++i) {
        const uint64_t t = uint64_t{b[i]} - c[i] - borrow;
        a[i] = static_cast<bigint_digit>(t);
        borrow = static_cast<bigint_digit>((t >> 32) & 1u);
    }
    return borrow;
}

int bigint_digits(const bigint_digit* a, int n) {
    for (int i = n - 1; i >= 0; --i)
        if (a[i]) return i + 1;
    return 0;
}

int bigint_iszero(const bigint_digit* a, int n) { return bigint_digits(a, n) == 0 ? 1 : 0; }

int bigint_cmp(const bigint_digit* a, const bigint_digit* b, int n) {
    for (int i = n - 1; i >= 0; --i) {
        if (a[i] > b[i]) return 1;
        if (a[i] < b[i]) return -1;
    }
    return 0;
}

bigint_digit bigint_left_shift(bigint_digit* a, const bigint_digit* b, int bits, int n) {
    if (bits < 0 || bits >= 32) return 0;
    if (bits == 0) {  // a shift by 32 - 0 below would be undefined
        bigint_copy(a, b, n);
        return 0;
    }
    bigint_digit carry = 0;
    for (int i = 0; i < n; ++i) {
        const bigint_digit x = b[i];
        a[i] = (x << bits) | carry;
        carry = x >> (32 - bits);
    }
    return carry;
}

bigint_digit bigint_right_shift(bigint_digit* a, const bigint_digit* b, int bits, int n) {
    if (bits < 0 || bits >= 32) return 0;
    if (bits == 0) {
        bigint_copy(a, b, n);
        return 0;
    }
    bigint_digit carry = 0;
    for (int i = n - 1; i >= 0; --i) {
        const bigint_digit x = b[i];
        a[i] = (x >> bits) | carry;
        carry = x << (32 - bits);
    }
    return carry;
}

void bigint_mult(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n) {
    if (n <= 0 || n > BIGINT_MAX_DIGITS) return;
    bigint_digit t[kMaxProductDigits];
    bigint_zero(t, 2 * n);
    const int bDigits = bigint_digits(b, n);
    const int cDigits = bigint_digits(c, n);
    for (int i = 0; i < bDigits; ++i) t[i + cDigits] += bigint_add_digit_mult(&t[i], &t[i], b[i], c, cDigits);
    bigint_copy(a, t, 2 * n);
}

void bigint_div(bigint_digit* q, bigint_digit* r, const bigint_digit* c, int cDigits,
                const bigint_digit* d, int dDigits) {
    if (cDigits < 0 || cDigits > kMaxProductDigits || dDigits <= 0) return;
    const int m = bigint_digits(d, dDigits);
    if (m == 0 || m > BIGINT_MAX_DIGITS) return;

    if (cDigits < m) {
        // The dividend is shorter than the divisor: there is no quotient digit
        // to estimate and the dividend is the remainder.
        bigint_digit keep[BIGINT_MAX_DIGITS];
        bigint_copy(keep, c, cDigits);
        bigint_zero(q, cDigits);
        bigint_zero(r, dDigits);
        bigint_copy(r, keep, cDigits);
        return;
    }

    const int shift = 32 - bigint_digit_bits(d[m - 1]);
    bigint_digit cc[kMaxProductDigits + 1];
    bigint_digit dd[BIGINT_MAX_DIGITS];
    bigint_digit qq[kMaxProductDigits];
    cc[cDigits] = bigint_left_shift(cc, c, shift, cDigits);
    bigint_left_shift(dd, d, shift, m);
    const bigint_digit t = dd[m - 1];
    bigint_zero(qq, cDigits);

    for (int i = cDigits - m; i >= 0; --i) {
        bigint_digit qi;
        if (t == 0xFFFFFFFFu) {
            qi = cc[i + m];
        } else {
            const bigint_digit top[2] = {cc[i + m - 1], cc[i + m]};
            bigint_digit_div(&qi, top, t + 1);
        }
        cc[i + m] -= bigint_sub_digit_mult(&cc[i], &cc[i], qi, dd, m);
        while (cc[i + m] != 0 || bigint_cmp(&cc[i], dd, m) >= 0) {
            ++qi;
            cc[i + m] -= bigint_sub(&cc[i], &cc[i], dd, m);
        }
        qq[i] = qi;
    }

    bigint_copy(q, qq, cDigits);
    bigint_zero(r, dDigits);
    bigint_right_shift(r, cc, shift, m);
}

void bigint_mod(bigint_digit* r, const bigint_digit* c, int cDigits, const bigint_digit* d,
                int dDigits) {
    if (cDigits < 0 || cDigits > kMaxProductDigits) return;
    if (bigint_iszero(d, dDigits)) {
        // No remainder exists; give a defined value instead of leaving the
        // result (often a caller's uninitialised local) as it was.
        bigint_zero(r, dDigits);
        return;
    }
    bigint_digit q[kMaxProductDigits];
    bigint_div(q, r, c, cDigits, d, dDigits);
}

void bigint_mod_mult(bigint_digit* a, const bigint_digit* b, const bigint_digit* c,
                     const bigint_digit* d, int n) {
    if (n <= 0 || n > BIGINT_MAX_DIGITS) return;
    bigint_digit prod[kMaxProductDigits];
    bigint_digit res[BIGINT_MAX_DIGITS];
    bigint_mult(prod, b, c, n);
    bigint_mod(res, prod, 2 * n, d, n);
    bigint_copy(a, res, n);
}

void bigint_mod_exp(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int cDigits,
                    const bigint_digit* d, int dDigits) {
    if (dDigits <= 0 || dDigits > BIGINT_MAX_DIGITS || cDigits < 0) return;
    const int eDigits = bigint_digits(c, cDigits);

    // Only the powers the exponent's 2-bit groups call for are computed, so
    // a short public exponent such as 65537 costs no extra multiplications.
    bool needSquare = false, needCube = false;
    for (int i = 0; i < eDigits; ++i) {
        for (int s = 0; s < 32; s += 2) {
            const bigint_digit g = (c[i] >> s) & 3u;
            if (g >= 2) needSquare = true;
            if (g == 3) needCube = true;
        }
    }
    bigint_digit pw[4][BIGINT_MAX_DIGITS];
    bigint_copy(pw[1], b, dDigits);
    if (needSquare || needCube) bigint_mod_mult(pw[2], pw[1], pw[1], d, dDigits);
    if (needCube) bigint_mod_mult(pw[3], pw[2], pw[1], d, dDigits);

    bigint_digit t[BIGINT_MAX_DIGITS];
    bigint_zero(t, dDigits);
    t[0] = 1;
    for (int i = eDigits - 1; i >= 0; --i) {
        const bigint_digit e = c[i];
        int s = 30;
        if (i == eDigits - 1)
            while (s > 0 && ((e >> s) & 3u) == 0) s -= 2;
        for (; s >= 0; s -= 2) {
            const bigint_digit g = (e >> s) & 3u;
            bigint_mod_mult(t, t, t, d, dDigits);
            bigint_mod_mult(t, t, t, d, dDigits);
            if (g) bigint_mod_mult(t, t, pw[g], d, dDigits);
        }
    }
    bigint_copy(a, t, dDigits);
}

// Extended Euclid on magnitudes only: the coefficient of b alternates in
// sign from one step to the next, so its sign is tracked separately.
void bigint_mod_inv(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n) {
    if (n <= 0 || n > kMaxInvDigits) return;
    bigint_digit s0[kMaxInvDigits], s1[kMaxInvDigits], s2[kMaxInvDigits];
    bigint_digit r0[kMaxInvDigits], r1[kMaxInvDigits], q[kMaxInvDigits], t[kMaxInvDigits];
    bigint_digit prod[2 * kMaxInvDigits];
    bigint_zero(s0, n);
    s0[0] = 1;
    bigint_zero(s1, n);
    bigint_copy(r0, b, n);
    bigint_copy(r1, c, n);
    int sign = 1;
    while (!bigint_iszero(r1, n)) {
        bigint_div(q, t, r0, n, r1, n);
        bigint_mult(prod, q, s1, n);
        bigint_add(s2, s0, prod, n);
        bigint_copy(s0, s1, n);
        bigint_copy(s1, s2, n);
        bigint_copy(r0, r1, n);
        bigint_copy(r1, t, n);
        sign = -sign;
    }
    if (sign < 0)
        bigint_sub(a, c, s0, n);
    else
        bigint_copy(a, s0, n);
}
