// Differential: SHA-1 fed in random pieces (including empty ones) against
// the one-shot call and OpenSSL. The message is the input itself.
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
    return 0;
}
