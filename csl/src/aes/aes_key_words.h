// The key expansion shared by the instruction-set key schedules: FIPS 197's
// word recurrence around a SubWord that an instruction computes on register
// contents, so that no table is indexed with key bytes.
#pragma once
#include <cstdint>
#include <cstring>

namespace csl_aes_detail {

// Expands a 128-, 192- or 256-bit key into 4 (rounds + 1) words held in
// memory byte order (the first key byte in the low byte, as the instructions
// see it on a little-endian processor); returns the round count.
// subWord(w, rot) gives SubWord(w), followed by RotWord when rot is set.
template <class SubWord>
int expandKeyWords(const uint8_t* key, int keyBits, uint32_t w[60], SubWord subWord) {
    const int nk = keyBits / 32;
    const int rounds = nk + 6;
    std::memcpy(w, key, static_cast<size_t>(nk) * 4);
    uint32_t rcon = 1;
    for (int i = nk; i < 4 * (rounds + 1); ++i) {
        uint32_t t = w[i - 1];
        if (i % nk == 0) {
            t = subWord(t, true) ^ rcon;
            rcon = (rcon << 1) ^ ((rcon >> 7) * 0x11Bu);
        } else if (nk == 8 && i % 8 == 4) {
            t = subWord(t, false);
        }
        w[i] = w[i - nk] ^ t;
    }
    return rounds;
}

}  // namespace csl_aes_detail
