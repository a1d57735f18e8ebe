// Octet-string forms of field elements and points (IEEE 1363 names), and the
// word-order conversions between field elements and big integers.
#pragma once
#include <cstdint>

#include "csl/elliptic_math.h"
#include "csl/integer_math.h"

constexpr int ECC_FE_BYTES = 30;     // field element, private key, nonce
constexpr int ECC_POINT_BYTES = 60;  // public key (x then y), signature (r then s)

// The element as a 30-byte big-endian number (its low 240 bits).
void FE2OSP(uint8_t octets[30], const field_element e);
// 30 bytes to an element, keeping only the low 233 bits.
void OS2FEP(const uint8_t octets[30], field_element e);
// x then y, each as length/2 big-endian bytes.
void EC2OSP(const ec_point* P, uint8_t* octets, int length);
// Each half of length/2 bytes becomes a coordinate as it stands (up to 240
// bits); nothing is masked or checked here.
void OS2ECP(const uint8_t* octets, int length, ec_point* P);
// Between the most-significant-word-first element and a least-significant-
// digit-first integer of count (at most 8) digits: element to integer, and
// back.
void FE2IP(const field_element e, bigint_digit* a, int count);
void I2FEP(const bigint_digit* a, field_element e, int count);
// The word with its bytes in reverse order.
uint32_t swap(uint32_t w);
