// The block primitives and the instance interface of the block cipher: key
// and cipher records, ECB and CBC over whole 128-bit blocks, lengths in bits.
#include <cstring>

#include "aes/aes_internal.h"
#include "csl/aes.h"

using csl_aes::validRounds;

int rijndaelKeySetupEnc(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return 0;
    return csl_aes::engine().keySetupEnc(roundKeys, key, keyBits);
}

int rijndaelKeySetupDec(uint32_t roundKeys[60], const uint8_t* key, int keyBits) {
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return 0;
    return csl_aes::engine().keySetupDec(roundKeys, key, keyBits);
}

void rijndaelEncrypt(const uint32_t* roundKeys, int rounds, const uint8_t in[16], uint8_t out[16]) {
    if (validRounds(rounds)) csl_aes::engine().ecbEncrypt(roundKeys, rounds, in, out, 1);
}

void rijndaelDecrypt(const uint32_t* roundKeys, int rounds, const uint8_t in[16], uint8_t out[16]) {
    if (validRounds(rounds)) csl_aes::engine().ecbDecrypt(roundKeys, rounds, in, out, 1);
}

int aesMakeKey(AesKeySchedule* key, uint8_t direction, int keyBits, const uint8_t* keyMaterial) {
    if (!key) return AES_BAD_KEY_INSTANCE;
    if (direction != AES_DIR_ENCRYPT && direction != AES_DIR_DECRYPT) return AES_BAD_KEY_DIR;
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return AES_BAD_KEY_MAT;
    if (!keyMaterial) return AES_BAD_KEY_MAT;
    key->direction = direction;
    key->rounds = direction == AES_DIR_ENCRYPT
                      ? rijndaelKeySetupEnc(key->roundKeys, keyMaterial, keyBits)
                      : rijndaelKeySetupDec(key->roundKeys, keyMaterial, keyBits);
    return AES_OK;
}

int aesCipherInit(AesCipherState* cipher, uint8_t mode, const uint8_t* iv) {
    if (mode != AES_MODE_ECB && mode != AES_MODE_CBC) return AES_BAD_CIPHER_MODE;
    if (!cipher) return AES_BAD_CIPHER_STATE;
    cipher->mode = mode;
    if (iv)
        std::memcpy(cipher->chainBlock, iv, AES_BLOCK_BYTES);
    else
        std::memset(cipher->chainBlock, 0, AES_BLOCK_BYTES);
    return AES_OK;
}

namespace {

// Validates the arguments common to both directions. Returns the number of
// whole blocks to process (0 for nothing to do) or a negative result code.
int blockCount(const AesCipherState* cipher, const AesKeySchedule* key, uint8_t forbiddenDir,
               const uint8_t* input, int inputBits, const uint8_t* output) {
    if (!cipher || !key || key->direction == forbiddenDir || !validRounds(key->rounds))
        return AES_BAD_CIPHER_STATE;
    if (!input || !output || inputBits <= 0) return 0;
    if (cipher->mode != AES_MODE_ECB && cipher->mode != AES_MODE_CBC) return AES_BAD_CIPHER_STATE;
    return inputBits / 128;
}

}  // namespace

int aesBlockEncrypt(AesCipherState* cipher, const AesKeySchedule* key, const uint8_t* input,
                    int inputBits, uint8_t* output) {
    const int n = blockCount(cipher, key, AES_DIR_DECRYPT, input, inputBits, output);
    if (n <= 0) return n;
    const size_t nblocks = static_cast<size_t>(n);
    if (cipher->mode == AES_MODE_ECB)
        csl_aes::engine().ecbEncrypt(key->roundKeys, key->rounds, input, output, nblocks);
    else
        csl_aes::engine().cbcEncrypt(key->roundKeys, key->rounds, cipher->chainBlock, input,
                                     output, nblocks);
    return n * 128;
}

int aesBlockDecrypt(AesCipherState* cipher, const AesKeySchedule* key, const uint8_t* input,
                    int inputBits, uint8_t* output) {
    const int n = blockCount(cipher, key, AES_DIR_ENCRYPT, input, inputBits, output);
    if (n <= 0) return n;
    const size_t nblocks = static_cast<size_t>(n);
    if (cipher->mode == AES_MODE_ECB)
        csl_aes::engine().ecbDecrypt(key->roundKeys, key->rounds, input, output, nblocks);
    else
        csl_aes::engine().cbcDecrypt(key->roundKeys, key->rounds, cipher->chainBlock, input,
                                     output, nblocks);
    return n * 128;
}
