#include "tool/common/options.h"

#include <cctype>

namespace tool {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

}  // namespace

uint64_t convertUnsigned(const char* text, int bits) {
    const uint64_t max = bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digitValue(p[2]) < 16) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; digitValue(*p) < base; ++p) {
        const uint64_t d = static_cast<uint64_t>(digitValue(*p));
        if (value > (max - d) / static_cast<uint64_t>(base)) overflow = true;
        else value = value * static_cast<uint64_t>(base) + d;
    }
    if (overflow) return max;
    if (negative) value = (~value + 1) & max;
    return value;
}

}  // namespace tool
