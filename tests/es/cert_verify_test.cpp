#include <gtest/gtest.h>

#include <cstring>

#include "csl/ecc.h"
#include "csl/sha1.h"
#include "es/cert.h"
#include "test_support.h"

namespace {

using tt::Bytes;

struct Signer {
    uint8_t priv[30];
    uint8_t pub[60];
};

Signer makeSigner(std::mt19937_64& rng) {
    Bytes random = tt::randomBytes(rng, 30);
    random[0] = 0;  // below the group order
    Signer s;
    EXPECT_EQ(CSL_GenerateEccKeyPair(random.data(), s.priv, s.pub), 0);
    return s;
}

void sign(const Signer& s, const uint8_t* data, size_t len, uint8_t sig[60], std::mt19937_64& rng) {
    uint8_t digest[20];
    csl_sha1(data, len, digest);
    Bytes nonce = tt::randomBytes(rng, 30);
    nonce[0] = 0;
    nonce[29] |= 1;
    ASSERT_EQ(CSL_ComputeEccSig(digest, s.priv, sig, nonce.data()), 0);
}

TEST(DeviceCertVerify, SignedRegionIsCoveredAndTheRestIsNot) {
    std::mt19937_64 rng(233);
    const Signer ca = makeSigner(rng);
    const Signer other = makeSigner(rng);
    const Signer device = makeSigner(rng);
    Bytes cert(384);
    ASSERT_EQ(ES_GenerateDeviceCert("NG00000001", "Root-CA00000001-MS00000002", device.pub, 7, cert.data()), 0);
    sign(ca, &cert[128], 256, &cert[4], rng);
    EXPECT_EQ(ES_VerifyDeviceCert(cert.data(), ca.pub), 0);
    EXPECT_EQ(ES_VerifyDeviceCert(cert.data(), other.pub), ES_ERR_VERIFY_FAILED);

    struct Case {
        size_t offset;
        int32_t want;
    };
    const Case cases[] = {{4, ES_ERR_VERIFY_FAILED},   {63, ES_ERR_VERIFY_FAILED}, {64, 0},
                          {127, 0},                    {128, ES_ERR_VERIFY_FAILED},
                          {200, ES_ERR_VERIFY_FAILED}, {383, ES_ERR_VERIFY_FAILED}};
    for (const Case& c : cases) {
        Bytes changed = cert;
        changed[c.offset] ^= 0x01;
        EXPECT_EQ(ES_VerifyDeviceCert(changed.data(), ca.pub), c.want) << c.offset;
    }
}

TEST(EccSigVerify, ChecksTheDigestOfTheData) {
    std::mt19937_64 rng(60);
    const Signer s = makeSigner(rng);
    Bytes data = tt::randomBytes(rng, 1000);
    uint8_t sig[60];
    sign(s, data.data(), data.size(), sig, rng);
    EXPECT_EQ(ES_VerifyEccSig(s.pub, data.data(), 1000, sig), 0);
    EXPECT_EQ(ES_VerifyEccSig(s.pub, data.data(), 999, sig), ES_ERR_VERIFY_FAILED);
    data[500] ^= 0x80;
    EXPECT_EQ(ES_VerifyEccSig(s.pub, data.data(), 1000, sig), ES_ERR_VERIFY_FAILED);
}

}  // namespace
