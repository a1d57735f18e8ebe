// Bulk CBC entry points: one key expansion per call, then the best block
// loop the processor supports.
#include "csl/aes_bulk.h"

#include <cstring>

#include "aes/aes_hw.h"
#include "aes/aes_internal.h"
#include "csl/aes.h"
#include "csl/cpu.h"
#include "csl/wipe.h"

namespace {

// SHA1Input takes an int length; its bit count arithmetic is that of a
// 64-bit counter, so the count can be advanced for any length at once.
void addBits(SHA1HashState* sha, size_t bytes) {
    uint64_t count = (uint64_t{sha->bitCountHigh} << 32) | sha->bitCountLow;
    count += uint64_t{bytes} * 8;
    sha->bitCountLow = static_cast<uint32_t>(count);
    sha->bitCountHigh = static_cast<uint32_t>(count >> 32);
}

void sha1Absorb(SHA1HashState* sha, const uint8_t* data, size_t length) {
    constexpr size_t kPiece = size_t{1} << 30;
    while (length > 0) {
        const size_t n = length < kPiece ? length : kPiece;
        SHA1Input(sha, data, static_cast<int32_t>(n));
        data += n;
        length -= n;
    }
}

}  // namespace

int csl_aes128CbcEncryptSha1(const uint8_t key[16], uint8_t iv[16], SHA1HashState* sha,
                             const uint8_t* in, size_t length, uint8_t* out) {
    if (length % 16 != 0) return -1;
    if (length == 0) return 0;
    if (!key || !iv || !sha || !in || !out) return -1;

    uint32_t rk[60];
    rijndaelKeySetupEnc(rk, key, 128);
    const bool waiting = ((sha->bitCountLow >> 3) & 63u) != 0;
    size_t done = 0;
    if (!waiting && csl_cpu_has(CSL_CPU_AES | CSL_CPU_SHA)) {
        const size_t n64 = length / 64;
        if (n64 > 0) {
            done = n64 * 64;
            // SHA1Input leaves the last block in host-order words; taken
            // before an in-place encryption overwrites it.
            std::memcpy(sha->block, in + done - 64, 64);
            csl_stitched::cbcEncryptSha1(rk, iv, sha->chainingValue, in, out, n64);
            byte_reverse(sha->block, 64);
            addBits(sha, done);
        }
    }
    if (done < length) {
        // The plaintext is hashed before it may be overwritten in place.
        sha1Absorb(sha, in + done, length - done);
        csl_aes::cbcEncryptBlocks(rk, 10, iv, in + done, out + done, (length - done) / 16);
    }
    csl_wipe(rk, sizeof rk);
    return 0;
}

int csl_aes128CbcEncryptLanes(const uint8_t key[16], size_t lanes, const uint8_t* const* in,
                              uint8_t* const* out, const uint8_t* const* iv, size_t length) {
    if (length % 16 != 0) return -1;
    if (lanes == 0 || length == 0) return 0;
    if (!key || !in || !out || !iv) return -1;

    uint32_t rk[60];
    rijndaelKeySetupEnc(rk, key, 128);
    if (csl_cpu_has(CSL_CPU_AES)) {
        size_t done = 0;
        if (csl_cpu_has(CSL_CPU_VAES))
            done = csl_vaes::cbcEncryptLanes(rk, 10, lanes, in, out, iv, length / 16);
        csl_aesni::cbcEncryptLanes(rk, 10, lanes - done, in + done, out + done, iv + done,
                                   length / 16);
    } else {
        uint8_t chain[16];
        for (size_t l = 0; l < lanes; ++l) {
            std::memcpy(chain, iv[l], 16);
            csl_aes::cbcEncryptBlocks(rk, 10, chain, in[l], out[l], length / 16);
        }
        csl_wipe(chain, sizeof chain);
    }
    csl_wipe(rk, sizeof rk);
    return 0;
}
