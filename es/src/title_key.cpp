#include "es/title_key.h"

#include <cstdio>

#include <openssl/evp.h>

#include "csl/aes.h"
#include "csl/wipe.h"

namespace {

constexpr char kSalt[] = "qentor";
constexpr int kTitleIdDigits = 16;

}  // namespace

void ES_TitleKeyIv(uint64_t titleId, uint8_t iv[16]) {
    es_put_be64(iv, titleId);
    es_put_be64(iv + 8, 0);
}

int32_t ES_DeriveTitleKey(uint64_t titleId, uint8_t titleKey[16]) {
    if (!titleKey) return ES_ERR_INVALID;
    // The text is as secret as the key it gives.
    char text[kTitleIdDigits + sizeof kSalt];
    std::snprintf(text, sizeof text, "%016llx%s", static_cast<unsigned long long>(titleId), kSalt);
    unsigned int len = 0;
    const bool ok = EVP_Digest(text, kTitleIdDigits + sizeof kSalt - 1, titleKey, &len, EVP_md5(),
                               nullptr) &&
                    len == ES_TITLE_KEY_BYTES;
    csl_wipe(text, sizeof text);
    return ok ? 0 : ES_ERR_INVALID;
}

int32_t ES_CpDecryptTitleKey(const uint8_t commonKey[16], uint64_t titleId,
                             const uint8_t encrypted[16], uint8_t titleKey[16]) {
    if (!commonKey || !encrypted || !titleKey) return ES_ERR_INVALID;
    uint8_t iv[16];
    ES_TitleKeyIv(titleId, iv);
    return aes_SwDecrypt(commonKey, iv, encrypted, static_cast<int>(ES_TITLE_KEY_BYTES), titleKey) == 0 ? 0 : ES_ERR_INVALID;
}

int32_t ES_CpEncryptTitleKey(const uint8_t commonKey[16], uint64_t titleId,
                             const uint8_t titleKey[16], uint8_t out[16]) {
    if (!commonKey || !titleKey || !out) return ES_ERR_INVALID;
    uint8_t iv[16];
    ES_TitleKeyIv(titleId, iv);
    return aes_SwEncrypt(commonKey, iv, titleKey, static_cast<int>(ES_TITLE_KEY_BYTES), out) == 0 ? 0 : ES_ERR_INVALID;
}
