// Multi-precision non-negative integers: arrays of 32-bit digits, least
// significant first, with explicit digit counts.
#pragma once
#include <cstdint>

using bigint_digit = uint32_t;

// Working arrays are sized for a 4096-bit modulus plus one digit. Products
// have up to 2 x BIGINT_MAX_DIGITS digits; division takes a dividend of up to
// that many digits and a divisor of up to BIGINT_MAX_DIGITS significant
// digits; bigint_mod_inv works on at most 8 digits. Calls with larger (or
// negative) counts return without writing anything.
constexpr int BIGINT_MAX_DIGITS = 129;

// Every array is the caller's; outputs may alias inputs unless said otherwise.
// out := x * y as two digits, low first.
void bigint_digit_mult(bigint_digit out[2], bigint_digit x, bigint_digit y);
// a := b + x * d over n digits, returning the carry digit (a is not written
// when x is 0, so callers pass a == b).
bigint_digit bigint_add_digit_mult(bigint_digit* a, const bigint_digit* b, bigint_digit x,
                                   const bigint_digit* d, int n);
// a := b - x * d over n digits, returning the borrow digit (as above for x 0).
bigint_digit bigint_sub_digit_mult(bigint_digit* a, const bigint_digit* b, bigint_digit x,
                                   const bigint_digit* d, int n);
// Number of significant bits of x.
int bigint_digit_bits(bigint_digit x);
// *out := the two-digit b divided by x, which has its top bit set.
void bigint_digit_div(bigint_digit* out, const bigint_digit b[2], bigint_digit x);

// a := b (n digits).
void bigint_copy(bigint_digit* a, const bigint_digit* b, int n);
// a := 0 (n digits).
void bigint_zero(bigint_digit* a, int n);
// a := b + c, returning the carry.
bigint_digit bigint_add(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n);
// a := b - c, returning the borrow.
bigint_digit bigint_sub(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n);
// Number of significant digits of a (0 for zero).
int bigint_digits(const bigint_digit* a, int n);
// 1 when a is zero, else 0.
int bigint_iszero(const bigint_digit* a, int n);
// 1, 0 or -1 as a is above, equal to or below b.
int bigint_cmp(const bigint_digit* a, const bigint_digit* b, int n);
// a := b shifted by bits (0..31), returning the bits shifted out.
bigint_digit bigint_left_shift(bigint_digit* a, const bigint_digit* b, int bits, int n);
bigint_digit bigint_right_shift(bigint_digit* a, const bigint_digit* b, int bits, int n);
// a := b * c, a of 2n digits.
void bigint_mult(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n);
// q (cDigits digits) = c div d, r (dDigits digits) = c mod d. A zero divisor
// writes neither. A dividend with fewer digits than d gives q = 0, r = c.
void bigint_div(bigint_digit* q, bigint_digit* r, const bigint_digit* c, int cDigits,
                const bigint_digit* d, int dDigits);
// r = c mod d; a zero divisor gives r = 0, so results built on it (modular
// multiplication and exponentiation) are always defined.
void bigint_mod(bigint_digit* r, const bigint_digit* c, int cDigits, const bigint_digit* d,
                int dDigits);
void bigint_mod_mult(bigint_digit* a, const bigint_digit* b, const bigint_digit* c,
                     const bigint_digit* d, int n);
// a = b^c mod d; b, d and a have dDigits digits, c has cDigits. An exponent
// of 0 gives 1.
void bigint_mod_exp(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int cDigits,
                    const bigint_digit* d, int dDigits);
// a = b^-1 mod c for gcd(b, c) = 1 (not checked), n <= 8.
void bigint_mod_inv(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n);

// Octet-string conversions (big-endian byte strings).
// out := the integer as outLen big-endian bytes (its low outLen bytes).
void I2OSP(uint8_t* out, int outLen, const bigint_digit* digits, int digitCount);
// digits := the inLen big-endian bytes of in, in digitCount digits.
void OS2IP(bigint_digit* digits, int digitCount, const uint8_t* in, int inLen);
