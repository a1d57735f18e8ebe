// Octet-string conversions for field elements, points and signatures.
#include "csl/convecc.h"

#include "csl/loadstore.h"
#include "csl/wipe.h"

uint32_t swap(uint32_t w) {
    return (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
}

void FE2OSP(uint8_t octets[30], const field_element e) {
    uint8_t buf[32];
    for (int i = 0; i < 8; ++i) csl_store_be32(buf + 4 * i, e[i]);
    for (int i = 0; i < 30; ++i) octets[i] = buf[i + 2];
    csl_wipe(buf, sizeof buf);
}

void OS2FEP(const uint8_t octets[30], field_element e) {
    e[0] = ((static_cast<uint32_t>(octets[0]) << 8) | octets[1]) & FIELD_TOP_MASK;
    for (int i = 1; i < 8; ++i) e[i] = csl_load_be32(octets + 2 + 4 * (i - 1));
}

void FE2IP(const field_element e, bigint_digit* a, int count) {
    if (count > 8) count = 8;
    for (int j = 0; j < count; ++j) a[count - 1 - j] = e[j];
}

void I2FEP(const bigint_digit* a, field_element e, int count) {
    if (count > 8) count = 8;
    poly_null(e);
    for (int j = 0; j < count; ++j) e[j] = a[count - 1 - j];
}

void EC2OSP(const ec_point* P, uint8_t* octets, int length) {
    const int half = length / 2;
    bigint_digit a[8];
    FE2IP(P->x, a, 8);
    I2OSP(octets, half, a, 8);
    FE2IP(P->y, a, 8);
    I2OSP(octets + half, half, a, 8);
}

void OS2ECP(const uint8_t* octets, int length, ec_point* P) {
    const int half = length / 2;
    bigint_digit a[8];
    OS2IP(a, 8, octets, half);
    I2FEP(a, P->x, 8);
    OS2IP(a, 8, octets + half, half);
    I2FEP(a, P->y, 8);
}
