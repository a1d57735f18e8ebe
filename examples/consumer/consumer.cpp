// Builds and signs nothing: checks that the installed headers and libraries
// link, by hashing a text, sizing a TMD and encrypting one block.
#include <cstdio>
#include <cstring>

#include "csl/aes.h"
#include "csl/sha1.h"
#include "es/tmd.h"
#include "util/rsautil.h"

int main() {
    const char* text = "abc";
    uint8_t digest[20];
    SHA1HashState st;
    SHA1Reset(&st);
    SHA1Input(&st, reinterpret_cast<const uint8_t*>(text), 3);
    SHA1Result(&st, digest);
    for (uint8_t b : digest) std::printf("%02x", b);
    std::printf("\n%u\n", ES_GetTmdSize(2));
    uint8_t key[16] = {}, iv[16] = {}, block[16] = {}, out[16];
    if (aes_SwEncrypt(key, iv, block, 16, out) != 0) return 1;
    RsaKeyPair* k = RUTIL_GenerateRsaKeyPair(1024, 5);  // refused exponent: no key
    std::printf("%s\n", k ? "unexpected key" : "exponent 5 refused");
    return k ? 1 : 0;
}
