// Helpers of the tool's driver that are worth testing on their own.
#pragma once
#include <cstdint>
#include <functional>

namespace tool {

// The platform's unsigned conversion with automatic base at a given width (32
// or 64 bits): leading white space skipped, 0x/0X selects hexadecimal, a
// leading 0 octal, otherwise decimal; conversion stops at the first character
// that does not fit; no digits gives 0; a leading minus negates in unsigned
// arithmetic; a magnitude beyond the width saturates at its maximum.
uint64_t convertUnsigned(const char* text, int bits);

// Runs work(0) .. work(n - 1) on up to `workers` threads, handing out indexes
// in ascending order. Once failed(i) holds for a finished item i, no item
// above i is started; items below it still run, so the caller can report the
// first failure in order.
void runParallel(int n, unsigned workers, const std::function<void(int)>& work,
                 const std::function<bool(int)>& failed);

}  // namespace tool
