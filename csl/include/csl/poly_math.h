// Arithmetic in GF(2^233) in polynomial basis, reduction polynomial
// f(x) = x^233 + x^74 + 1 (the field of sect233r1).
//
// A field_element is 8 words, most significant word first: bit j of word i is
// the coefficient of x^(32*(7-i)+j). Reduced elements have word 0 <= 0x1FF.
// The same shape carries non-negative integers below 2^256 (scalars).
// A double_element is 15 words in the same order (480 bits) and holds
// unreduced products.
//
// Every function here is a pure function of its arguments and constant
// tables: any number of threads may call them at once.
#pragma once
#include <cstdint>

using field_element = uint32_t[8];
using double_element = uint32_t[15];

constexpr int FIELD_WORDS = 8;
constexpr int DOUBLE_WORDS = 15;
constexpr uint32_t FIELD_TOP_MASK = 0x1FF;  // word 0 of a reduced element

extern const field_element poly_prime;     // f itself
extern const uint16_t zero_inserted[256];  // bit k of i moved to bit 2k
extern const uint8_t shift_by[256];        // trailing zeros of i; 8 for 0

void poly_null(field_element e);
void poly_copy(const field_element src, field_element dst);
void double_null(double_element d);
void double_copy(const double_element src, double_element dst);
void double_add(const double_element a, const double_element b, double_element out);
void single_to_double(const field_element e, double_element d);
void double_to_single(const double_element d, field_element e);

// Shifts over the 15 words: d * x, d * x^n (truncated to 480 bits) and
// d / x^n (the quotient, dropping the low n bits). n >= 480 clears d.
void multiply_shift(double_element d);
void multiply_shift_n(double_element d, unsigned n);
void divide_shift_n(double_element d, unsigned n);

void extract_masked_bits(const double_element d, const double_element mask, double_element out);
void zero_masked_bits(double_element d, const double_element mask);
// One reduction fold of the bits selected by mask (x^233 = x^74 + 1).
void shift_and_add(double_element d, const double_element mask);

// Unreduced product and square. Operands must be reduced. Like every
// multiplication here they run in time independent of the operands' values
// and index no table with them.
void poly_mul_partial(const field_element a, const field_element b, double_element out);
void poly_sqr(const field_element a, double_element out);

// out = a * b mod f; poly_mul(a, a, out), one array passed twice, takes the
// squaring path. Operands need not be reduced. out may alias a or b.
// Runs on the processor's carry-less multiply where csl/cpu.h reports
// CSL_CPU_CLMUL, otherwise on poly_mul_portable.
void poly_mul(const field_element a, const field_element b, field_element out);
// The portable comb, with the same contract.
void poly_mul_portable(const field_element a, const field_element b, field_element out);

// out = a^(-1) mod f, by Itoh-Tsujii exponentiation: the same squarings and
// multiplications for every a, so the time does not depend on the value.
// 0 (or a multiple of f when a is not reduced) gives 0. out may alias a.
void poly_inv(const field_element a, field_element out);
// The same result by the almost-inverse algorithm, whose time depends on a:
// several times faster, for public values only.
void poly_inv_vartime(const field_element a, field_element out);
// out = p * x^(-n) mod f. out may alias p.
void cus_times_u_to_n(const field_element p, unsigned n, field_element out);

// Rotates the 233-bit element right by one bit (bit 0 becomes bit 232).
void poly_rot_right(field_element e);

// Helpers beyond the classic set.
// Reduces any 256-bit value modulo f in place.
void poly_reduce_element(field_element e);
// Reduces a 15-word product modulo f.
void poly_reduce(const double_element d, field_element out);
bool poly_is_zero(const field_element e);
bool poly_equal(const field_element a, const field_element b);
void poly_add(const field_element a, const field_element b, field_element out);
