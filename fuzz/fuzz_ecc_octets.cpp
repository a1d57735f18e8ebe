// ECDSA verification and key agreement on arbitrary 60-byte points,
// signatures and 960-byte tables (run with -timeout: none may hang), plus
// consistency checks on points made from the input's private keys.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "csl/ecc.h"

namespace {

template <size_t N>
std::array<uint8_t, N> take(FuzzedDataProvider& in) {
    std::array<uint8_t, N> a{};
    const auto bytes = in.ConsumeBytes<uint8_t>(N);
    std::copy(bytes.begin(), bytes.end(), a.begin());
    return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto digest = take<20>(in);
    const auto point = take<60>(in);
    const auto signature = take<60>(in);
    const auto priv = take<30>(in);
    const auto nonce = take<30>(in);
    const auto keyLength = in.ConsumeIntegralInRange<uint32_t>(0, 40);
    const auto table = take<960>(in);

    // Hostile octets: any result is acceptable, as long as it comes.
    (void)CSL_VerifyEccSig(digest.data(), point.data(), signature.data());
    std::array<uint8_t, 40> shared{};
    const int direct = CSL_GenerateEccSharedKey(priv.data(), point.data(), shared.data(), keyLength);
    if (keyLength > CSL_ECC_MAX_SHARED_KEY && direct != CSL_ECC_KEY_LENGTH_ERROR) std::abort();
    std::array<uint8_t, 40> sharedPre{};
    (void)CSL_GenerateEccSharedKeyPre(priv.data(), table.data(), sharedPre.data(), keyLength);

    // A table built from an accepted point agrees with the direct product.
    std::array<uint8_t, 960> built{};
    if (CSL_PrecomputeFour(point.data(), built.data()) == CSL_ECC_OK) {
        std::array<uint8_t, 40> viaTable{};
        if (CSL_GenerateEccSharedKeyPre(priv.data(), built.data(), viaTable.data(), keyLength) != direct ||
            viaTable != shared)
            std::abort();
    }

    // A key pair from the input: its public key is a point, signatures made
    // with it verify and fail once the digest changes.
    std::array<uint8_t, 60> pub{};
    if (CSL_GenerateEccPublicKey(priv.data(), pub.data()) != CSL_ECC_OK) return 0;
    std::array<uint8_t, 960> pubTable{};
    if (CSL_PrecomputeFour(pub.data(), pubTable.data()) != CSL_ECC_OK) std::abort();
    std::array<uint8_t, 60> sig{};
    if (CSL_ComputeEccSig(digest.data(), priv.data(), sig.data(), nonce.data()) == CSL_ECC_OK) {
        if (CSL_VerifyEccSig(digest.data(), pub.data(), sig.data()) != CSL_ECC_OK) std::abort();
        auto other = digest;
        other[19] ^= 1;
        if (CSL_VerifyEccSig(other.data(), pub.data(), sig.data()) == CSL_ECC_OK) std::abort();
    }
    // Key agreement is symmetric: d1 * (d2 G) = d2 * (d1 G).
    std::array<uint8_t, 60> pub2{};
    if (CSL_GenerateEccPublicKey(nonce.data(), pub2.data()) == CSL_ECC_OK) {
        std::array<uint8_t, 20> k1{}, k2{};
        if (CSL_GenerateEccSharedKey(priv.data(), pub2.data(), k1.data(), 20) != CSL_ECC_OK ||
            CSL_GenerateEccSharedKey(nonce.data(), pub.data(), k2.data(), 20) != CSL_ECC_OK || k1 != k2)
            std::abort();
    }
    return 0;
}
