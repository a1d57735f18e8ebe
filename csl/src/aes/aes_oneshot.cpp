// One-shot AES-128-CBC and the expanded-key export, on the instance interface.
#include <climits>
#include <cstring>

#include "csl/aes.h"
#include "csl/wipe.h"

static_assert(AES_SW_MAX_LENGTH - 1 <= INT_MAX / 8, "length x 8 must fit the bit count");

namespace {

enum class Direction { Encrypt, Decrypt };

int oneShotCbc(Direction dir, const uint8_t key[16], const uint8_t iv[16], const uint8_t* input,
               int length, uint8_t* output) {
    if (length == 0) return 0;
    // The bit count below is length x 8 in an int: refuse anything whose
    // product would not fit before any byte is touched.
    if (!key || !input || !output || length < 0 || length >= AES_SW_MAX_LENGTH) return -1;

    AesKeySchedule ks;
    AesCipherState cs;
    const uint8_t kdir = dir == Direction::Encrypt ? AES_DIR_ENCRYPT : AES_DIR_DECRYPT;
    int rc = -1;
    if (aesMakeKey(&ks, kdir, 128, key) == AES_OK && aesCipherInit(&cs, AES_MODE_CBC, iv) == AES_OK) {
        const int bits = length * 8;
        const int done = dir == Direction::Encrypt ? aesBlockEncrypt(&cs, &ks, input, bits, output)
                                                   : aesBlockDecrypt(&cs, &ks, input, bits, output);
        rc = done == bits ? 0 : -1;
    }
    csl_wipe_object(ks);
    csl_wipe_object(cs);
    return rc;
}

}  // namespace

int aes_SwEncrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t* input, int length,
                  uint8_t* output) {
    return oneShotCbc(Direction::Encrypt, key, iv, input, length, output);
}

int aes_SwDecrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t* input, int length,
                  uint8_t* output) {
    return oneShotCbc(Direction::Decrypt, key, iv, input, length, output);
}

int aes_HwKeyExpand(const uint8_t key[16], uint8_t out[176]) {
    if (!out) return -1;
    AesKeySchedule ks;
    int rc = -1;
    if (aesMakeKey(&ks, AES_DIR_DECRYPT, 128, key) == AES_OK) {
        std::memcpy(out, ks.roundKeys, 44 * sizeof(uint32_t));
        rc = 0;
    }
    csl_wipe_object(ks);
    return rc;
}
