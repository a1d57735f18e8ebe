// SHA-1 compression on the ARMv8 Cryptographic Extension.
#include <arm_neon.h>

#include "sha1/sha1_internal.h"

namespace {

// Rounds 4G to 4G + 3. On entry msg[G % 4] holds W[4G..4G+3]; once used,
// that slot is refilled with the words of group G + 4.
CSL_TARGET_ARMV8_CRYPTO inline void group(int g, uint32x4_t& abcd, uint32_t& e, uint32x4_t* msg) {
    static constexpr uint32_t kK[4] = {0x5A827999u, 0x6ED9EBA1u, 0x8F1BBCDCu, 0xCA62C1D6u};
    const uint32x4_t wk = vaddq_u32(msg[g % 4], vdupq_n_u32(kK[g / 5]));
    const uint32_t nextE = vsha1h_u32(vgetq_lane_u32(abcd, 0));
    if (g < 5)
        abcd = vsha1cq_u32(abcd, e, wk);
    else if (g >= 10 && g < 15)
        abcd = vsha1mq_u32(abcd, e, wk);
    else
        abcd = vsha1pq_u32(abcd, e, wk);
    e = nextE;
    if (g < 16)
        msg[g % 4] = vsha1su1q_u32(vsha1su0q_u32(msg[g % 4], msg[(g + 1) % 4], msg[(g + 2) % 4]),
                                   msg[(g + 3) % 4]);
}

}  // namespace

namespace csl_sha1_armv8 {

CSL_TARGET_ARMV8_CRYPTO void compressBlocks(uint32_t h[5], const uint8_t* data, size_t nblocks) {
    uint32x4_t abcd = vld1q_u32(h);
    uint32_t e = h[4];
    for (size_t i = 0; i < nblocks; ++i, data += 64) {
        const uint32x4_t abcdIn = abcd;
        const uint32_t eIn = e;
        uint32x4_t msg[4];
        for (int j = 0; j < 4; ++j)
            msg[j] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16 * j)));
        // The group number is a constant once the loop is unrolled.
#pragma GCC unroll 20
        for (int g = 0; g < 20; ++g) group(g, abcd, e, msg);
        abcd = vaddq_u32(abcd, abcdIn);
        e += eIn;
    }
    vst1q_u32(h, abcd);
    h[4] = e;
}

// Four streams in the lanes' layout (stream l's chaining value is h[l],
// h[4 + l], ..., h[16 + l], its blocks start at base + offsets[l]): one
// stream waits on the latency of each four-round instruction, four
// interleaved keep the unit busy.
CSL_TARGET_ARMV8_CRYPTO void compress4(uint32_t h[20], const uint8_t* base, const int32_t offsets[4],
                                       size_t nblocks) {
    constexpr size_t N = 4;
    uint32x4_t abcd[N];
    uint32_t e[N];
    for (size_t l = 0; l < N; ++l) {
        const uint32_t mine[4] = {h[l], h[N + l], h[2 * N + l], h[3 * N + l]};
        abcd[l] = vld1q_u32(mine);
        e[l] = h[4 * N + l];
    }
    for (size_t i = 0; i < nblocks; ++i) {
        uint32x4_t abcdIn[N], msg[N][4];
        uint32_t eIn[N];
        for (size_t l = 0; l < N; ++l) {
            abcdIn[l] = abcd[l];
            eIn[l] = e[l];
            const uint8_t* block = base + offsets[l] + 64 * i;
            for (int j = 0; j < 4; ++j)
                msg[l][j] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block + 16 * j)));
        }
#pragma GCC unroll 20
        for (int g = 0; g < 20; ++g)
            for (size_t l = 0; l < N; ++l) group(g, abcd[l], e[l], msg[l]);
        for (size_t l = 0; l < N; ++l) {
            abcd[l] = vaddq_u32(abcd[l], abcdIn[l]);
            e[l] += eIn[l];
        }
    }
    for (size_t l = 0; l < N; ++l) {
        uint32_t mine[4];
        vst1q_u32(mine, abcd[l]);
        for (size_t j = 0; j < 4; ++j) h[j * N + l] = mine[j];
        h[4 * N + l] = e[l];
    }
}

}  // namespace csl_sha1_armv8
