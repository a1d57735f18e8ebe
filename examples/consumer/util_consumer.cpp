// Links against the signing and key-file utilities alone (the other two
// libraries and OpenSSL come with them): a refused key exponent and a refused
// signature length, which need no key material.
#include <cstdio>

#include <es/es.h>
#include <util/rsautil.h>
#include <util/utils.h>

int main() {
    RsaKeyPair* key = RUTIL_GenerateRsaKeyPair(1024, 5);
    const uint8_t object[64] = {};
    const bool ok = key == nullptr &&
                    utilVerify2(object, 64, 100, object, 64, 0) == ES_ERR_UNSUPPORTED_SIG_SIZE;
    RUTIL_FreeRsaKeyPair(key);
    std::puts(ok ? "tmd-util: ok" : "tmd-util: wrong result");
    return ok ? 0 : 1;
}
