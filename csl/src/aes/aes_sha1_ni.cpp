// AES-128-CBC encryption with SHA-1 of the same plaintext in one pass, on
// AES-NI and the SHA extensions.
//
// The CBC chain is serial: every block waits for the ten rounds of the one
// before it, which leaves most of the core idle. Spreading the SHA-1 rounds
// of the same 64 bytes between the four AES blocks lets the hash run in that
// idle time, so the pair costs little more than the cipher alone.
#include <utility>

#include "aes/aes_internal.h"
#include "csl/wipe.h"
#include "sha1/sha1_ni.h"


namespace {

using csl_shani_detail::Rounds;

template <int First, int... G>
CSL_TARGET_AES_SHA_NI inline void groupsFrom(Rounds& s, std::integer_sequence<int, G...>) {
    (csl_shani_detail::group<First + G>(s), ...);
}

CSL_TARGET_AES_SHA_NI inline __m128i cbcBlock(const __m128i* k, __m128i chain, __m128i p) {
    __m128i x = _mm_xor_si128(_mm_xor_si128(p, chain), k[0]);
    for (int r = 1; r < 10; ++r) x = _mm_aesenc_si128(x, k[r]);
    return _mm_aesenclast_si128(x, k[10]);
}

}  // namespace

namespace csl_aes_sha1_ni {

CSL_TARGET_AES_SHA_NI void cbcEncryptSha1(const uint32_t* roundKeys, uint8_t chain[16], uint32_t h[5],
                                 const uint8_t* in, uint8_t* out, size_t n64) {
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    __m128i k[11];
    for (int i = 0; i <= 10; ++i)
        k[i] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys + 4 * i)), swap);

    Rounds s;
    csl_shani_detail::loadState(h, s);
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chain));
    using Five = std::make_integer_sequence<int, 5>;
    for (size_t i = 0; i < n64; ++i) {
        const uint8_t* src = in + 64 * i;
        uint8_t* dst = out + 64 * i;
        __m128i p[4];
        for (int j = 0; j < 4; ++j)
            p[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * j));
        const __m128i abcdIn = s.abcd;
        const __m128i eIn = s.e;
        csl_shani_detail::begin(s, src);

        c = cbcBlock(k, c, p[0]);
        groupsFrom<0>(s, Five{});
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), c);
        c = cbcBlock(k, c, p[1]);
        groupsFrom<5>(s, Five{});
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), c);
        c = cbcBlock(k, c, p[2]);
        groupsFrom<10>(s, Five{});
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32), c);
        c = cbcBlock(k, c, p[3]);
        groupsFrom<15>(s, Five{});
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 48), c);

        csl_shani_detail::finish(s, abcdIn, eIn);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), c);
    csl_shani_detail::storeState(s, h);
    csl_wipe(k, sizeof k);
}

}  // namespace csl_aes_sha1_ni
