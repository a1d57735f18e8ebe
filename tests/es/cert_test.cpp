#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "es/cert.h"
#include "test_support.h"

namespace {

using tt::Bytes;

TEST(CertSize, AdmittedPairsAndRefusals) {
    struct Case {
        uint32_t sig, key;
        int32_t want;
    };
    const Case cases[] = {
        {0x00010000, 0, 1280}, {0x00010000, 1, 1024}, {0x00010000, 2, ES_ERR_INVALID_PUBKEY_TYPE},
        {0x00010001, 1, 768},  {0x00010001, 2, 576},  {0x00010001, 0, ES_ERR_INVALID_PUBKEY_TYPE},
        {0x00010002, 2, 384},  {0x00010002, 1, ES_ERR_INVALID_PUBKEY_TYPE},
        {0x00020001, 1, ES_ERR_INVALID_SIG_TYPE}, {0x00010003, 2, ES_ERR_INVALID_SIG_TYPE},
    };
    for (const Case& c : cases) EXPECT_EQ(ES_GetCertSize(c.sig, c.key), c.want) << c.sig << "/" << c.key;
}

struct Layout {
    uint32_t sig, key, size, issuer, keyType, name, keyId, pubKey, pubKeyLen, exponent, sigBytes, signerKey;
};
const Layout kLayouts[] = {
    {0x00010000, 0, 1280, 576, 640, 644, 708, 712, 512, 1224, 512, 0},
    {0x00010000, 1, 1024, 576, 640, 644, 708, 712, 256, 968, 512, 0},
    {0x00010001, 1, 768, 320, 384, 388, 452, 456, 256, 712, 256, 1},
    {0x00010001, 2, 576, 320, 384, 388, 452, 456, 60, 0, 256, 1},
    {0x00010002, 2, 384, 128, 192, 196, 260, 264, 60, 0, 60, 2},
};

// The published lookups describe the same layouts, by types and by size,
// and nothing for values no layout has.
TEST(Cert, LayoutLookups) {
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.size);
        const ES_CertLayout* c = ES_GetCertLayout(l.sig, l.key);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c, ES_GetCertLayoutBySize(l.size));
        const Layout got = {c->sigType, c->keyType, c->size, c->issuer, c->keyTypeOffset, c->name, c->keyId,
                            c->publicKey, c->publicKeyBytes, c->exponent, l.sigBytes, l.signerKey};
        EXPECT_EQ(std::memcmp(&got, &l, sizeof l), 0);
        EXPECT_EQ(ES_GetCertKeyTypeOffset(l.sig), l.keyType);
        EXPECT_EQ(ES_GetPubKeyBytes(l.key), l.pubKeyLen);
        const ES_SigLayout* s = ES_GetSigLayout(l.sig);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s, ES_GetSigLayoutBySigBytes(l.sigBytes));
        EXPECT_EQ(s->sigBytes, l.sigBytes);
        EXPECT_EQ(s->signedStart, l.issuer);
        EXPECT_EQ(s->signerKeyType, l.signerKey);
    }
    EXPECT_EQ(ES_GetCertLayout(0x00010002, 1), nullptr);
    EXPECT_EQ(ES_GetCertLayoutBySize(700), nullptr);
    EXPECT_EQ(ES_GetCertKeyTypeOffset(0x00010003), 0u);
    EXPECT_EQ(ES_GetPubKeyBytes(3), 0u);
    EXPECT_EQ(ES_GetSigLayout(0x00020001), nullptr);
    EXPECT_EQ(ES_GetSigLayoutBySigBytes(128), nullptr);
}

TEST(Cert, GeneratedLayoutsAndAccessorsAgree) {
    std::mt19937_64 rng(5);
    const Bytes key = tt::randomBytes(rng, 512);
    const uint8_t exponent[] = {0x01, 0x00, 0x01};
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.size);
        Bytes cert(l.size + 16, 0xEE);
        ASSERT_EQ(ES_GenerateUnsignedCert("CP00000004", "Root-CA00000003", l.sig, l.key, key.data(),
                                          exponent, 3, 0x01020304, cert.data()),
                  0);
        Bytes want(l.size, 0);
        auto put = [&](uint32_t off, const Bytes& b) { std::memcpy(&want[off], b.data(), b.size()); };
        put(0, Bytes{0, 1, 0, static_cast<uint8_t>(l.sig & 0xFF)});
        put(l.issuer, Bytes{'R', 'o', 'o', 't', '-', 'C', 'A', '0', '0', '0', '0', '0', '0', '0', '3'});
        put(l.keyType, Bytes{0, 0, 0, static_cast<uint8_t>(l.key)});
        put(l.name, Bytes{'C', 'P', '0', '0', '0', '0', '0', '0', '0', '4'});
        put(l.keyId, Bytes{1, 2, 3, 4});
        put(l.pubKey, Bytes(key.begin(), key.begin() + l.pubKeyLen));
        if (l.exponent) put(l.exponent, Bytes{0, 1, 0, 1});
        EXPECT_EQ(Bytes(cert.begin(), cert.begin() + l.size), want);
        EXPECT_EQ(cert[l.size], 0xEE);

        uint8_t issuer[64], name[64];
        ASSERT_EQ(ES_GetCertNames(cert.data(), issuer, name), 0);
        EXPECT_EQ(Bytes(issuer, issuer + 64), Bytes(want.begin() + l.issuer, want.begin() + l.issuer + 64));
        EXPECT_EQ(Bytes(name, name + 64), Bytes(want.begin() + l.name, want.begin() + l.name + 64));
        uint32_t len = 0;
        EXPECT_EQ(ES_GetCertPubKey(cert.data(), &len), cert.data() + l.pubKey);
        EXPECT_EQ(len, l.pubKeyLen);
    }
}

TEST(Cert, AccessorsFollowTheStoredTypes) {
    Bytes rsa2048(768, 0), rsa4096(1280, 0), bad(768, 0), ecc(384, 0);
    const Bytes key(512, 7);
    ASSERT_EQ(ES_GenerateUnsignedCert("n", "i", 0x00010001, 1, key.data(), nullptr, 0, 0, rsa2048.data()), 0);
    ASSERT_EQ(ES_GenerateUnsignedCert("n", "i", 0x00010000, 0, key.data(), nullptr, 0, 0, rsa4096.data()), 0);
    ASSERT_EQ(ES_GenerateUnsignedCert("n", "i", 0x00010002, 2, key.data(), nullptr, 0, 0, ecc.data()), 0);
    rsa2048[0x183] = 3;
    rsa4096[0x283] = 3;
    ecc[0xC3] = 3;
    uint8_t issuer[64], name[64];
    uint32_t len = 99;
    EXPECT_EQ(ES_GetCertNames(rsa2048.data(), issuer, name), ES_ERR_INVALID_PUBKEY_TYPE);
    EXPECT_EQ(ES_GetCertPubKey(rsa2048.data(), &len), nullptr);
    EXPECT_EQ(ES_GetCertNames(rsa4096.data(), issuer, name), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(name), "n");
    EXPECT_EQ(ES_GetCertPubKey(rsa4096.data(), &len), nullptr);
    EXPECT_EQ(len, 99u);
    // An ECC-signed certificate's key type is not consulted.
    EXPECT_EQ(ES_GetCertNames(ecc.data(), issuer, name), 0);
    EXPECT_EQ(ES_GetCertPubKey(ecc.data(), &len), ecc.data() + 264);
    bad[3] = 3;
    EXPECT_EQ(ES_GetCertNames(bad.data(), issuer, name), ES_ERR_INVALID_SIG_TYPE);
    EXPECT_EQ(ES_GetCertPubKey(bad.data(), &len), nullptr);
}

TEST(Cert, NamesAreBoundedCopies) {
    Bytes cert(768, 0);
    const Bytes key(256, 1);
    ASSERT_EQ(ES_GenerateUnsignedCert("CP00000004", "0123456789", 0x00010001, 1, key.data(), nullptr, 0, 0, cert.data()), 0);
    uint8_t out[2][80];
    std::memset(out, 0xFF, sizeof out);
    ASSERT_EQ(ES_GetCertNames(cert.data(), out[0], out[1]), 0);
    Bytes want(64, 0);
    std::memcpy(want.data(), "0123456789", 10);
    EXPECT_EQ(Bytes(out[0], out[0] + 64), want);
    EXPECT_EQ(out[0][64], 0xFF);
    // A field without a NUL comes out whole and unterminated; nothing more.
    std::memset(&cert[0x184], 'N', 64);
    ASSERT_EQ(ES_GetCertNames(cert.data(), out[0], out[1]), 0);
    EXPECT_EQ(Bytes(out[1], out[1] + 64), Bytes(64, 'N'));
    EXPECT_EQ(out[1][64], 0xFF);
}

TEST(CertGeneration, RefusalsWriteNothing) {
    const std::string name63(63, 'a'), name64(64, 'a');
    const Bytes key(512, 1);
    Bytes cert(1280, 0xAB);
    struct Case {
        const char* name;
        const char* issuer;
        uint32_t sig, key;
        int32_t want;
    };
    const Case cases[] = {
        {name64.c_str(), "i", 0x00010002, 2, ES_ERR_NAME_TOO_LONG},
        {"n", name64.c_str(), 0x00010003, 2, ES_ERR_NAME_TOO_LONG},
        {"n", "i", 0x00010000, 2, ES_ERR_INVALID_PUBKEY_TYPE},
        {"n", "i", 0x00010003, 2, ES_ERR_INVALID_SIG_TYPE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ES_GenerateUnsignedCert(c.name, c.issuer, c.sig, c.key, key.data(), nullptr, 0, 0, cert.data()), c.want);
        EXPECT_EQ(cert, Bytes(1280, 0xAB));
    }
    ASSERT_EQ(ES_GenerateUnsignedCert(name63.c_str(), name63.c_str(), 0x00010002, 2, key.data(), nullptr, 0, 0, cert.data()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&cert[196]), 64), name63 + '\0');
}

TEST(CertGeneration, ExponentIsRightAligned) {
    const Bytes key(256, 1);
    const std::pair<Bytes, std::string> cases[] = {
        {{0x01, 0x00, 0x01}, "00010001"},
        {{0x00, 0x00, 0x01, 0x00, 0x01}, "00010001"},
        {{0x03}, "00000003"},
        {{}, "00000000"},
        {{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, "33445566"},
    };
    for (const auto& [exp, want] : cases) {
        Bytes cert(768, 0);
        ASSERT_EQ(ES_GenerateUnsignedCert("n", "i", 0x00010001, 1, key.data(), exp.data(),
                                          static_cast<int32_t>(exp.size()), 0, cert.data()), 0);
        EXPECT_EQ(tt::toHex(&cert[712], 4), want);
    }
}

TEST(CertGeneration, DeviceCertLayout) {
    const Bytes key(60, 0x42);
    Bytes cert(384, 0xFF);
    ASSERT_EQ(ES_GenerateDeviceCert("NG00000001", "Root-CA00000001-MS00000002", key.data(), 0x55667788, cert.data()), 0);
    EXPECT_EQ(tt::toHex(cert.data(), 4), "00010002");
    EXPECT_EQ(Bytes(cert.begin() + 4, cert.begin() + 128), Bytes(124, 0));
    EXPECT_EQ(tt::toHex(&cert[192], 4), "00000002");
    EXPECT_EQ(tt::toHex(&cert[260], 4), "55667788");
    EXPECT_EQ(Bytes(cert.begin() + 264, cert.begin() + 324), key);
    EXPECT_EQ(Bytes(cert.begin() + 324, cert.end()), Bytes(60, 0));
    std::string longName(64, 'x');
    EXPECT_EQ(ES_GenerateDeviceCert(longName.c_str(), "i", key.data(), 0, cert.data()), ES_ERR_NAME_TOO_LONG);
}

// Device data.

struct DeviceInputs {
    Bytes lead, extra, keyData, cert;
};

DeviceInputs deviceInputs(size_t leadLen, const char* name, const char* issuer) {
    std::mt19937_64 rng(leadLen);
    DeviceInputs in{tt::randomBytes(rng, leadLen), tt::randomBytes(rng, 384),
                    tt::randomBytes(rng, 30), Bytes(384, 0)};
    const Bytes key = tt::randomBytes(rng, 60);
    EXPECT_EQ(ES_GenerateDeviceCert(name, issuer, key.data(), 0x0A0B0C0D, in.cert.data()), 0);
    for (int i = 4; i < 64; ++i) in.cert[i] = static_cast<uint8_t>(i);  // a stand-in signature
    return in;
}

Bytes slice(const Bytes& b, size_t off, size_t len) { return Bytes(b.begin() + off, b.begin() + off + len); }

TEST(DeviceData, BigEndianRecord) {
    DeviceInputs in = deviceInputs(40, "NG00000001", "Root-CA00000001-MS8000000a");
    Bytes out(1000, 0xEE);
    ASSERT_EQ(ES_GenerateMoxDeviceData(in.lead.data(), 40, in.extra.data(), 128, in.keyData.data(),
                                       in.cert.data(), "CA1f", out.data(), 1000), 0);
    EXPECT_EQ(slice(out, 0, 36), slice(in.lead, 0, 36));
    EXPECT_EQ(tt::toHex(&out[36], 4), "00000001");
    EXPECT_EQ(slice(out, 40, 30), in.keyData);
    EXPECT_EQ(slice(out, 70, 54), slice(in.extra, 0, 54));
    EXPECT_EQ(slice(out, 124, 4), slice(in.lead, 36, 4));
    EXPECT_EQ(tt::toHex(&out[128], 4), "8000000a");  // all 32 bits kept
    EXPECT_EQ(tt::toHex(&out[132], 4), "0000ca1f");  // a short text is taken whole
    EXPECT_EQ(tt::toHex(&out[136], 4), "0a0b0c0d");
    EXPECT_EQ(slice(out, 140, 60), slice(in.cert, 4, 60));
    EXPECT_EQ(slice(out, 200, 800), Bytes(800, 0));
}

TEST(DeviceData, LittleEndianRecordWithComplements) {
    DeviceInputs in = deviceInputs(36, "NG00000001", "MSfffffffe");
    Bytes out(512, 0xEE);
    ASSERT_EQ(ES_GenerateYkDeviceData(in.lead.data(), 36, in.extra.data(), 384, in.keyData.data(),
                                      in.cert.data(), "XS00000003", out.data(), 512), 0);
    auto complement = [](Bytes b) {
        for (auto& x : b) x = static_cast<uint8_t>(~x);
        return b;
    };
    EXPECT_EQ(slice(out, 0, 20), slice(in.lead, 0, 20));
    EXPECT_EQ(slice(out, 20, 20), complement(slice(in.lead, 0, 20)));
    EXPECT_EQ(slice(out, 40, 16), slice(in.lead, 20, 16));
    EXPECT_EQ(slice(out, 56, 16), complement(slice(in.lead, 20, 16)));
    EXPECT_EQ(tt::toHex(&out[72], 8), "01000000feffffff");
    EXPECT_EQ(slice(out, 80, 30), in.keyData);
    EXPECT_EQ(slice(out, 110, 36), slice(in.extra, 0, 36));
    EXPECT_EQ(tt::toHex(&out[146], 12), "feffffff030000000d0c0b0a");
    EXPECT_EQ(slice(out, 158, 60), slice(in.cert, 4, 60));
    EXPECT_EQ(slice(out, 218, 294), slice(in.extra, 90, 294));

    // A zero first field gets no complement; the second always does.
    std::fill(in.lead.begin(), in.lead.end(), 0);
    ASSERT_EQ(ES_GenerateYkDeviceData(in.lead.data(), 36, in.extra.data(), 384, in.keyData.data(),
                                      in.cert.data(), "XS00000003", out.data(), 512), 0);
    EXPECT_EQ(slice(out, 0, 56), Bytes(56, 0));
    EXPECT_EQ(slice(out, 56, 16), Bytes(16, 0xFF));
}

TEST(DeviceData, LengthChecksComeInOrderAndWriteNothing) {
    DeviceInputs in = deviceInputs(40, "NG00000001", "MS00000002");
    struct Case {
        bool yk;
        uint32_t lead, extra, out;
        int32_t want;
    };
    const Case cases[] = {
        {false, 36, 0, 0, ES_ERR_BAD_INPUT_LENGTH},   {false, 40, 127, 0, ES_ERR_SHORT_INPUT_BUFFER},
        {false, 40, 128, 383, ES_ERR_SHORT_OUTPUT_BUFFER},
        {true, 40, 0, 0, ES_ERR_BAD_INPUT_LENGTH},    {true, 36, 383, 0, ES_ERR_SHORT_INPUT_BUFFER},
        {true, 36, 384, 511, ES_ERR_SHORT_OUTPUT_BUFFER},
    };
    for (const Case& c : cases) {
        Bytes out(600, 0xEE);
        auto fn = c.yk ? ES_GenerateYkDeviceData : ES_GenerateMoxDeviceData;
        EXPECT_EQ(fn(in.lead.data(), c.lead, in.extra.data(), c.extra, in.keyData.data(),
                     in.cert.data(), "A", out.data(), c.out), c.want);
        EXPECT_EQ(out, Bytes(600, 0xEE));
    }
}

}  // namespace
