// Links against the title metadata library alone (the crypto support library
// comes with it): the size of a two-content TMD, and a title key encrypted
// under a common key for title ID 0, whose IV is all zero, so the result is
// the published AES-128 answer.
#include <cstdio>
#include <cstring>

#include <es/tmd.h>

int main() {
    static const uint8_t commonKey[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                          0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    static const uint8_t titleKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                         0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    static const uint8_t encrypted[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                          0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
    uint8_t out[16];
    const bool ok = ES_GetTmdSize(2) == 556 && ES_CpEncryptTitleKey(commonKey, 0, titleKey, out) == ES_ERR_OK &&
                    std::memcmp(out, encrypted, 16) == 0;
    std::puts(ok ? "tmd-es: ok" : "tmd-es: wrong result");
    return ok ? 0 : 1;
}
