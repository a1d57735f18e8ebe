// Links against the title metadata library alone (the crypto support library
// comes with it): the size of a two-content TMD, and a title key encrypted
// under a common key for title ID 0, whose IV is all zero, so the result is
// the published AES-128 answer.
#include <cstdio>
#include <cstring>

#include <es/tmd.h>

#include "aes_vector.h"

int main() {
    uint8_t out[16];
    const bool ok = ES_GetTmdSize(2) == 556 &&
                    ES_CpEncryptTitleKey(kAesKey, 0, kAesPlain, out) == ES_ERR_OK &&
                    std::memcmp(out, kAesCipher, 16) == 0;
    std::puts(ok ? "tmd-es: ok" : "tmd-es: wrong result");
    return ok ? 0 : 1;
}
