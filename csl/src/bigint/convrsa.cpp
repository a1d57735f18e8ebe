// Octet-string conversions between big-endian byte strings and digit arrays.
#include "csl/integer_math.h"

void I2OSP(uint8_t* out, int outLen, const bigint_digit* digits, int digitCount) {
    int pos = outLen - 1;
    for (int i = 0; i < digitCount && pos >= 0; ++i) {
        bigint_digit d = digits[i];
        for (int k = 0; k < 4 && pos >= 0; ++k) {
            out[pos--] = static_cast<uint8_t>(d);
            d >>= 8;
        }
    }
    while (pos >= 0) out[pos--] = 0;
}

void OS2IP(bigint_digit* digits, int digitCount, const uint8_t* in, int inLen) {
    int pos = inLen - 1;
    for (int i = 0; i < digitCount; ++i) {
        bigint_digit d = 0;
        for (int k = 0; k < 4 && pos >= 0; ++k) d |= bigint_digit{in[pos--]} << (8 * k);
        digits[i] = d;
    }
}
