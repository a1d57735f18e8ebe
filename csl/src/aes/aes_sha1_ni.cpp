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

// One block of the chain: x is its state after the first AddRoundKey;
// returns the next block's. nextK is the next plaintext block with the first
// round key added (zero after the last block): folded into the last round's
// key it keeps every XOR off the chain, as in the plain CBC loop.
CSL_TARGET_AES_SHA_NI inline __m128i cbcBlock(const __m128i* k, __m128i x, __m128i nextK,
                                              uint8_t* dst) {
    for (int r = 1; r < 10; ++r) x = _mm_aesenc_si128(x, k[r]);
    x = _mm_aesenclast_si128(x, _mm_xor_si128(k[10], nextK));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_xor_si128(x, nextK));
    return x;
}

}  // namespace

namespace csl_aes_sha1_ni {

CSL_TARGET_AES_SHA_NI void cbcEncryptSha1(const uint32_t* roundKeys, uint8_t chain[16], uint32_t h[5],
                                 const uint8_t* in, uint8_t* out, size_t n64) {
    if (n64 == 0) return;
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    __m128i k[11];
    for (int i = 0; i <= 10; ++i)
        k[i] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys + 4 * i)), swap);

    Rounds s;
    csl_shani_detail::loadState(h, s);
    using Five = std::make_integer_sequence<int, 5>;
    const auto loadK = [&](const uint8_t* p) {
        return _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), k[0]);
    };
    __m128i x = _mm_xor_si128(loadK(in), _mm_loadu_si128(reinterpret_cast<const __m128i*>(chain)));
    for (size_t i = 0; i < n64; ++i) {
        const uint8_t* src = in + 64 * i;
        uint8_t* dst = out + 64 * i;
        // The whole group and the next group's first block are read before
        // any of this group's ciphertext is written, for in-place calls.
        __m128i pk[4];
        for (int j = 1; j < 4; ++j) pk[j - 1] = loadK(src + 16 * j);
        pk[3] = i + 1 < n64 ? loadK(src + 64) : _mm_setzero_si128();
        const __m128i abcdIn = s.abcd;
        const __m128i eIn = s.e;
        csl_shani_detail::begin(s, src);

        x = cbcBlock(k, x, pk[0], dst);
        groupsFrom<0>(s, Five{});
        x = cbcBlock(k, x, pk[1], dst + 16);
        groupsFrom<5>(s, Five{});
        x = cbcBlock(k, x, pk[2], dst + 32);
        groupsFrom<10>(s, Five{});
        x = cbcBlock(k, x, pk[3], dst + 48);
        groupsFrom<15>(s, Five{});

        csl_shani_detail::finish(s, abcdIn, eIn);
    }
    // After the last block x is its ciphertext (nothing was folded in).
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), x);
    csl_shani_detail::storeState(s, h);
    csl_wipe(k, sizeof k);
}

}  // namespace csl_aes_sha1_ni
