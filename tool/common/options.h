// Helpers of the tool's driver that are worth testing on their own.
#pragma once
#include <cstdint>

namespace tool {

// The platform's unsigned conversion with automatic base at a given width (32
// or 64 bits): leading white space skipped, 0x/0X selects hexadecimal, a
// leading 0 octal, otherwise decimal; conversion stops at the first character
// that does not fit; no digits gives 0; a leading minus negates in unsigned
// arithmetic; a magnitude beyond the width saturates at its maximum.
uint64_t convertUnsigned(const char* text, int bits);

}  // namespace tool
