// Differential: the content engine fed in random pieces, with some refused
// calls (output area too small) in between, against OpenSSL's AES-128-CBC
// and SHA-1 over the whole content at once.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "es/tmd.h"

namespace {

std::vector<uint8_t> referenceCipher(const uint8_t key[16], uint16_t index,
                                     const std::vector<uint8_t>& plain) {
    std::vector<uint8_t> padded(plain);
    padded.resize((plain.size() + 15) / 16 * 16, 0);
    uint8_t iv[16] = {};
    es_put_be16(iv, index);
    std::vector<uint8_t> out(padded.size() + 16);
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    int n = 0;
    int m = 0;
    if (!c || !EVP_EncryptInit_ex(c, EVP_aes_128_cbc(), nullptr, key, iv) ||
        !EVP_CIPHER_CTX_set_padding(c, 0) ||
        !EVP_EncryptUpdate(c, out.data(), &n, padded.data(), static_cast<int>(padded.size())) ||
        !EVP_EncryptFinal_ex(c, out.data() + n, &m))
        std::abort();
    EVP_CIPHER_CTX_free(c);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    uint8_t key[16] = {};
    const auto keyBytes = in.ConsumeBytes<uint8_t>(16);
    std::copy(keyBytes.begin(), keyBytes.end(), key);
    const auto index = in.ConsumeIntegral<uint16_t>();
    const auto plainLen = in.ConsumeIntegralInRange<size_t>(0, 70000);
    // Piece sizes come from the input; the content itself is a cheap pattern
    // so that long contents need no long inputs.
    std::vector<uint8_t> plain(plainLen);
    const uint8_t seed = in.ConsumeIntegral<uint8_t>();
    for (size_t i = 0; i < plainLen; ++i) plain[i] = static_cast<uint8_t>(seed + i * 131 + (i >> 8));

    ContentEncryptContext ctx;
    if (ES_EncryptContentReset(&ctx, index, key) != 0) std::abort();
    std::vector<uint8_t> cipher;
    size_t pos = 0;
    uint32_t pending = 0;
    while (pos < plainLen) {
        const auto piece = static_cast<uint32_t>(
            in.ConsumeIntegralInRange<size_t>(0, std::min<size_t>(plainLen - pos, 20000)));
        const uint32_t willWrite = (pending + piece) / 16 * 16;
        const uint32_t needed = std::max({16u, piece, willWrite});
        if (in.ConsumeBool() && needed > 0) {
            // Too small by one byte: refused, nothing consumed.
            std::vector<uint8_t> small(needed - 1);
            if (ES_EncryptContentUpdate(&ctx, plain.data() + pos, piece, small.data(), needed - 1) !=
                ES_ERR_INVALID)
                std::abort();
        }
        std::vector<uint8_t> out(needed);
        const int32_t r = ES_EncryptContentUpdate(&ctx, plain.data() + pos, piece, out.data(), needed);
        if (r < 0 || static_cast<uint32_t>(r) != willWrite) std::abort();
        cipher.insert(cipher.end(), out.begin(), out.begin() + r);
        pending = (pending + piece) % 16;
        pos += piece;
        if (piece == 0 && in.remaining_bytes() == 0) {
            // Out of piece sizes: hand over the rest in one go.
            const auto rest = static_cast<uint32_t>(plainLen - pos);
            const uint32_t w = (pending + rest) / 16 * 16;
            std::vector<uint8_t> big(std::max({16u, rest, w}));
            const int32_t r2 = ES_EncryptContentUpdate(&ctx, plain.data() + pos, rest, big.data(),
                                                       static_cast<uint32_t>(big.size()));
            if (r2 < 0 || static_cast<uint32_t>(r2) != w) std::abort();
            cipher.insert(cipher.end(), big.begin(), big.begin() + r2);
            pending = (pending + rest) % 16;
            pos = plainLen;
        }
    }
    uint8_t tail[16];
    uint8_t digest[20];
    const int32_t f = ES_EncryptContentFinal(&ctx, tail, sizeof tail, digest);
    if (f != (pending ? 16 : 0)) std::abort();
    cipher.insert(cipher.end(), tail, tail + f);

    uint8_t expectedDigest[SHA_DIGEST_LENGTH];
    SHA1(plain.data(), plain.size(), expectedDigest);
    if (cipher != referenceCipher(key, index, plain) ||
        std::memcmp(digest, expectedDigest, sizeof digest) != 0)
        std::abort();
    return 0;
}
