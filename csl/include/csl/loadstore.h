// Big-endian loads and stores of 16-, 32- and 64-bit values at any address:
// the byte order of every stored format and of the hash and cipher words,
// independent of the host's.
#pragma once
#include <cstdint>

inline constexpr uint16_t csl_load_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline constexpr uint32_t csl_load_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline constexpr uint64_t csl_load_be64(const uint8_t* p) {
    return (uint64_t{csl_load_be32(p)} << 32) | csl_load_be32(p + 4);
}

inline constexpr void csl_store_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline constexpr void csl_store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline constexpr void csl_store_be64(uint8_t* p, uint64_t v) {
    csl_store_be32(p, static_cast<uint32_t>(v >> 32));
    csl_store_be32(p + 4, static_cast<uint32_t>(v));
}
