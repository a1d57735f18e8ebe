// Links against the crypto support library alone: SHA-1 of "abc" and one
// AES-128 block, checked against the published answers.
#include <cstdio>
#include <cstring>

#include <csl/aes.h>
#include <csl/sha1.h>

#include "aes_vector.h"

int main() {
    static const uint8_t abcDigest[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81,
                                          0x6a, 0xba, 0x3e, 0x25, 0x71, 0x78, 0x50,
                                          0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
    uint8_t digest[20];
    csl_sha1(reinterpret_cast<const uint8_t*>("abc"), 3, digest);

    const uint8_t iv[16] = {};
    uint8_t out[16];
    const bool ok = std::memcmp(digest, abcDigest, 20) == 0 &&
                    aes_SwEncrypt(kAesKey, iv, kAesPlain, 16, out) == 0 &&
                    std::memcmp(out, kAesCipher, 16) == 0;
    std::puts(ok ? "tmd-csl: ok" : "tmd-csl: wrong result");
    return ok ? 0 : 1;
}
