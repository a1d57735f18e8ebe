// The title key: the AES-128 key of all contents of a title. It is derived
// from the title ID, or taken from an encrypted title-key file; it leaves a
// run only encrypted under the platform's common key, as the 16 bytes of a
// "%llx.titleKey" file. Every direction of that format is here. Buffers are
// the caller's, who wipes the keys; no call ends the process.
#pragma once
#include <cstdint>

#include "es/es.h"

constexpr uint32_t ES_TITLE_KEY_BYTES = 16;

// The IV under which a title key is encrypted: the title ID big-endian, then
// eight zero bytes.
void ES_TitleKeyIv(uint64_t titleId, uint8_t iv[16]);
// The title key of a title given no title-key file: the MD5 digest of the
// title ID's 16 lower-case hexadecimal digits followed by the salt, so the
// same title ID always gives the same key. 0, or ES_ERR_INVALID when the
// digest cannot be had.
int32_t ES_DeriveTitleKey(uint64_t titleId, uint8_t titleKey[16]);
// titleKey := the encrypted title key (the first 16 bytes of a title-key
// file) decrypted under commonKey with the title's IV. Any 16 bytes decrypt;
// a key of another title or common key shows only in its contents. 0 or
// ES_ERR_INVALID.
int32_t ES_CpDecryptTitleKey(const uint8_t commonKey[16], uint64_t titleId,
                             const uint8_t encrypted[16], uint8_t titleKey[16]);
// out := titleKey encrypted under commonKey with the title's IV, the bytes of
// its title-key file. 0 or ES_ERR_INVALID.
int32_t ES_CpEncryptTitleKey(const uint8_t commonKey[16], uint64_t titleId,
                             const uint8_t titleKey[16], uint8_t out[16]);
