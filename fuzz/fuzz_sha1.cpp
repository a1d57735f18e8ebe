// Differential: SHA-1 fed in random pieces (including empty ones) against
// the one-shot call and OpenSSL. The message is the input itself. The
// batch call also hashes the input cut into equal messages.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/sha.h>

#include "csl/sha1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first bytes steer the piece sizes; the whole input is the message.
    FuzzedDataProvider steer(data, std::min<size_t>(size, 64));
    SHA1HashState state;
    SHA1Reset(&state);
    size_t pos = 0;
    while (pos < size) {
        size_t piece = steer.remaining_bytes() ? steer.ConsumeIntegralInRange<size_t>(0, 200) : size - pos;
        piece = std::min(piece, size - pos);
        // An exact-size copy, so a read past the piece is caught.
        std::vector<uint8_t> copy(data + pos, data + pos + piece);
        SHA1Input(&state, copy.empty() ? nullptr : copy.data(), static_cast<int32_t>(piece));
        pos += piece;
    }
    uint8_t pieces[20];
    SHA1Result(&state, pieces);

    uint8_t oneShot[20];
    csl_sha1(data, size, oneShot);
    uint8_t reference[SHA_DIGEST_LENGTH];
    SHA1(data, size, reference);
    if (std::memcmp(pieces, reference, 20) != 0 || std::memcmp(oneShot, reference, 20) != 0)
        std::abort();

    // Equal messages of a length the first byte picks, in an exact-size copy.
    const size_t len = data[0] % 150;
    const size_t count = len ? std::min<size_t>(size / len, 9) : data[1] % 4;
    std::vector<uint8_t> msgs(data, data + len * count);
    std::vector<uint8_t> many(20 * count);
    csl_sha1Many(msgs.data(), len, count, many.data());
    for (size_t i = 0; i < count; ++i) {
        SHA1(msgs.data() + i * len, len, reference);
        if (std::memcmp(many.data() + 20 * i, reference, 20) != 0) std::abort();
    }
    return 0;
}
