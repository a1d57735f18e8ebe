// Multi-precision non-negative integers: arrays of 32-bit digits, least
// significant first, with explicit digit counts.
#pragma once
#include <cstdint>

using bigint_digit = uint32_t;

constexpr int BIGINT_MAX_DIGITS = 129;

void bigint_digit_mult(bigint_digit out[2], bigint_digit x, bigint_digit y);
bigint_digit bigint_add_digit_mult(bigint_digit* a, const bigint_digit* b, bigint_digit x,
                                   const bigint_digit* d, int n);
bigint_digit bigint_sub_digit_mult(bigint_digit* a, const bigint_digit* b, bigint_digit x,
                                   const bigint_digit* d, int n);
int bigint_digit_bits(bigint_digit x);
void bigint_digit_div(bigint_digit* out, const bigint_digit b[2], bigint_digit x);

void bigint_copy(bigint_digit* a, const bigint_digit* b, int n);
void bigint_zero(bigint_digit* a, int n);
bigint_digit bigint_add(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n);
bigint_digit bigint_sub(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n);
int bigint_digits(const bigint_digit* a, int n);
int bigint_iszero(const bigint_digit* a, int n);
int bigint_cmp(const bigint_digit* a, const bigint_digit* b, int n);
bigint_digit bigint_left_shift(bigint_digit* a, const bigint_digit* b, int bits, int n);
bigint_digit bigint_right_shift(bigint_digit* a, const bigint_digit* b, int bits, int n);
void bigint_mult(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n);
void bigint_div(bigint_digit* q, bigint_digit* r, const bigint_digit* c, int cDigits,
                const bigint_digit* d, int dDigits);
void bigint_mod(bigint_digit* r, const bigint_digit* c, int cDigits, const bigint_digit* d,
                int dDigits);
void bigint_mod_mult(bigint_digit* a, const bigint_digit* b, const bigint_digit* c,
                     const bigint_digit* d, int n);
void bigint_mod_exp(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int cDigits,
                    const bigint_digit* d, int dDigits);
void bigint_mod_inv(bigint_digit* a, const bigint_digit* b, const bigint_digit* c, int n);

// Octet-string conversions (big-endian byte strings).
void I2OSP(uint8_t* out, int outLen, const bigint_digit* digits, int digitCount);
void OS2IP(bigint_digit* digits, int digitCount, const uint8_t* in, int inLen);
