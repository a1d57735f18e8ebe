// Bulk CBC entry points: one key expansion per call, then the best block
// loop the processor supports.
#include "csl/aes_bulk.h"

#include "aes/aes_internal.h"
#include "csl/aes.h"
#include "csl/wipe.h"
#include "sha1/sha1_internal.h"

int csl_aes128CbcEncryptSha1(const uint8_t key[16], uint8_t iv[16], SHA1HashState* sha,
                             const uint8_t* in, size_t length, uint8_t* out) {
    if (length % 16 != 0) return -1;
    if (length == 0) return 0;
    if (!key || !iv || !sha || !in || !out) return -1;

    uint32_t rk[60];
    rijndaelKeySetupEnc(rk, key, 128);
    size_t done = 0;
    const csl_aes::CbcSha1Loop stitched = csl_aes::cbcSha1Loop();
    if (stitched && csl_sha1_core::atBlockBoundary(sha)) {
        const size_t n64 = length / 64;
        if (n64 > 0) {
            csl_sha1_core::compressWith(sha, in, n64, [&](uint32_t h[5]) {
                stitched(rk, iv, h, in, out, n64);
            });
            done = n64 * 64;
        }
    }
    if (done < length) {
        // The plaintext is hashed before it may be overwritten in place.
        csl_sha1_core::absorb(sha, in + done, length - done);
        csl_aes::engine().cbcEncrypt(rk, 10, iv, in + done, out + done, (length - done) / 16);
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
    csl_aes::engine().cbcEncryptLanes(rk, 10, lanes, in, out, iv, length / 16);
    csl_wipe(rk, sizeof rk);
    return 0;
}
