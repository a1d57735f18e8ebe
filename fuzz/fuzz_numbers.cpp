// Differential: the driver's number conversion against the C library's
// strtoull with automatic base, on arbitrary option text. At 32 bits the
// result must fit and agree with the 64-bit one wherever that fits.
#include <cerrno>
#include <cstdlib>
#include <string>

#include "tool/common/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* s = text.c_str();  // an argument ends at its first NUL, as on a command line
    errno = 0;
    const unsigned long long expected = std::strtoull(s, nullptr, 0);
    if (tool::convertUnsigned(s, 64) != expected) std::abort();

    const uint64_t narrow = tool::convertUnsigned(s, 32);
    if (narrow > UINT32_MAX) std::abort();
    // A plain (unsigned) magnitude that fits 32 bits converts alike at both widths.
    const char* p = s;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    if (*p != '-' && errno != ERANGE && expected <= UINT32_MAX && narrow != expected) std::abort();
    return 0;
}
