#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "es/es.h"
#include "rsa_test_keys.h"
#include "test_support.h"
#include "util/rsautil.h"

namespace fs = std::filesystem;

namespace {

using rt::File;
using rt::Key;
using rt::PemKey;
using rt::convertPem;
using rt::loadKeyFile;
using rt::opensslKey;
using rt::opensslSign;

std::string slurp(const fs::path& p) {
    tt::Bytes b = tt::readFile(p);
    return std::string(b.begin(), b.end());
}

Key readKeyText(const std::string& text, char* label = nullptr, size_t labelSize = 0) {
    File f(fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
    if (text.empty()) f.reset(std::tmpfile());
    return Key(RUTIL_ReadRsaKeyPair(f.get(), label, labelSize));
}

std::string saveKeyText(const RsaKeyPair* key, const char* label = nullptr) {
    File f(std::tmpfile());
    EXPECT_EQ(RUTIL_SaveRsaKeyPair(f.get(), label, key), 0);
    std::string text;
    std::rewind(f.get());
    for (int c; (c = std::getc(f.get())) != EOF;) text += static_cast<char>(c);
    return text;
}

void writePublicPem(const RsaKeyPair* key, const fs::path& path) {
    File f(std::fopen(path.c_str(), "w"));
    ASSERT_TRUE(f);
    ASSERT_EQ(PEM_write_PUBKEY(f.get(), key), 1);
}

// The component lines of a key file: entry 2*i+1 is the count of component
// i, entry 2*i+2 its bytes.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    out.push_back(text.substr(start));
    return out;
}

std::string join(const std::vector<std::string>& parts) {
    std::string s;
    for (size_t i = 0; i < parts.size(); ++i) s += (i ? "\n" : "") + parts[i];
    return s;
}

// Flips the low bit of the first byte of component index (0 = e ... 7 = iqmp).
std::string corruptComponent(const std::string& text, int index) {
    auto l = lines(text);
    std::string& bytes = l[static_cast<size_t>(2 * index + 2)];
    bytes[1] = bytes[1] == '0' ? '1' : '0';
    return join(l);
}

const std::string& smallKeyText() {
    static const std::string text = [] {
        Key key(RUTIL_GenerateRsaKeyPair(1024, 65537));
        return saveKeyText(key.get());
    }();
    return text;
}

}  // namespace

TEST(RsaKeyFile, RoundTripKeepsComponentsAndLabel) {
    Key key(RUTIL_GenerateRsaKeyPair(1024, 65537));
    ASSERT_TRUE(key);
    const std::string text = saveKeyText(key.get(), "cp00000004");

    // e = 65537 leads the file; the label closes it without a newline.
    EXPECT_EQ(text.substr(0, 13), "\n3\n01 00 01 \n");
    ASSERT_GE(text.size(), 11u);
    EXPECT_EQ(text.substr(text.size() - 11), "\ncp00000004");
    EXPECT_EQ(lines(text).size(), 18u);

    char label[32] = "garbage";
    Key back = readKeyText(text, label, sizeof label);
    ASSERT_TRUE(back);
    EXPECT_STREQ(label, "cp00000004");
    EXPECT_EQ(saveKeyText(back.get(), "cp00000004"), text);

    uint8_t n1[512], n2[512];
    int len1 = 0, len2 = 0;
    ASSERT_EQ(RUTIL_GetPublicKey(key.get(), n1, &len1), 0);
    ASSERT_EQ(RUTIL_GetPublicKey(back.get(), n2, &len2), 0);
    EXPECT_EQ(len1, 128);
    EXPECT_EQ(tt::toHex(n1, 128), tt::toHex(n2, static_cast<size_t>(len2)));

    // A long label is cut to the buffer, never past it.
    char shortLabel[5];
    Key again = readKeyText(text, shortLabel, sizeof shortLabel);
    ASSERT_TRUE(again);
    EXPECT_STREQ(shortLabel, "cp00");
}

TEST(RsaKeyFile, OtherWhiteSpaceLayoutsReadTheSame) {
    const std::string& text = smallKeyText();
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::string perLine = text;
    std::replace(perLine.begin(), perLine.end(), ' ', '\n');
    std::string crlfTabs;
    for (char c : text) crlfTabs += c == '\n' ? std::string("\r\n") : c == ' ' ? "\t" : std::string(1, c);

    for (const std::string* variant : {&upper, &perLine, &crlfTabs}) {
        Key key = readKeyText(*variant);
        ASSERT_TRUE(key);
        EXPECT_EQ(saveKeyText(key.get()), text);
    }
}

TEST(RsaKeyFile, MalformedFilesAreRefused) {
    const std::string& text = smallKeyText();
    const auto l = lines(text);
    auto withLine = [&](size_t i, const std::string& replacement) {
        auto copy = l;
        copy[i] = replacement;
        return join(copy);
    };
    // A component of length zero: its count becomes 0 and its bytes go.
    auto zeroed = [&](size_t component) {
        auto copy = l;
        copy[2 * component + 1] = "0";
        copy.erase(copy.begin() + static_cast<long>(2 * component + 2));
        return join(copy);
    };
    struct Case {
        const char* what;
        std::string text;
    };
    const Case cases[] = {
        {"empty", ""},
        {"only white space", "\n \n"},
        {"count above the limit", withLine(1, "4097") + std::string(4097 * 3, 'a')},
        {"count overflowing an int", withLine(1, "99999999999999999999")},
        {"negative count", withLine(1, "-3")},
        {"count not a number", withLine(1, "three")},
        {"non-hex byte", withLine(2, "01 zz 01 ")},
        {"cut inside the modulus", text.substr(0, 100)},
        {"last component short", text.substr(0, text.size() - 6)},
        {"zero modulus", zeroed(1)},
        {"primes not multiplying to the modulus", corruptComponent(text, 3)},
        {"even exponent", withLine(2, "01 00 02 ")},
        {"zero exponent", zeroed(0)},
    };
    for (const auto& c : cases) EXPECT_FALSE(readKeyText(c.text)) << c.what;
}

TEST(RsaSign, MatchesOpensslAndVerifiesWithIt) {
    const PemKey& k = opensslKey(2048);
    Key key = loadKeyFile(k.keyFile);
    ASSERT_TRUE(key);

    std::mt19937_64 rng(42);
    for (size_t size : {size_t{0}, size_t{1}, size_t{55}, size_t{64}, size_t{1000}}) {
        const tt::Bytes data = tt::randomBytes(rng, size);
        uint8_t sig[256];
        ASSERT_EQ(RUTIL_SignData(key.get(), data.data(), static_cast<int>(size), sig), 0);
        EXPECT_EQ(tt::toHex(sig, 256), tt::toHex(opensslSign(k.pem, data))) << size;
        EXPECT_EQ(RUTIL_VerifyData(key.get(), data.data(), static_cast<int>(size), sig), 0);
    }

    // Verified by openssl against a public key exported from the key object.
    tt::TempDir dir;
    writePublicPem(key.get(), dir / "pub.pem");
    const tt::Bytes data = tt::randomBytes(rng, 300);
    tt::Bytes sig(256);
    ASSERT_EQ(RUTIL_SignData(key.get(), data.data(), 300, sig.data()), 0);
    tt::writeFile(dir / "data", data);
    tt::writeFile(dir / "sig", sig);
    auto r = tt::run({"openssl", "dgst", "-sha1", "-verify", (dir / "pub.pem").string(),
                      "-signature", (dir / "sig").string(), (dir / "data").string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST(RsaVerify, RejectsWrongDataAndOutOfRangeSignatures) {
    Key key = loadKeyFile(opensslKey(2048).keyFile);
    ASSERT_TRUE(key);
    tt::Bytes data(100, 0x5A);
    uint8_t sig[256];
    ASSERT_EQ(RUTIL_SignData(key.get(), data.data(), 100, sig), 0);

    tt::Bytes otherData = data;
    otherData[99] ^= 1;
    EXPECT_EQ(RUTIL_VerifyData(key.get(), otherData.data(), 100, sig), -1);
    EXPECT_EQ(RUTIL_VerifyData(key.get(), data.data(), 99, sig), -1);

    uint8_t bad[256];
    std::copy(sig, sig + 256, bad);
    bad[128] ^= 0x10;
    EXPECT_EQ(RUTIL_VerifyData(key.get(), data.data(), 100, bad), -1);
    // At or above the modulus: the public operation refuses it.
    std::fill(bad, bad + 256, 0xFF);
    EXPECT_EQ(RUTIL_VerifyData(key.get(), data.data(), 100, bad), -1);
    uint8_t n[256];
    int nLen = 0;
    ASSERT_EQ(RUTIL_GetPublicKey(key.get(), n, &nLen), 0);
    ASSERT_EQ(nLen, 256);
    EXPECT_EQ(RUTIL_VerifyData(key.get(), data.data(), 100, n), -1);
    std::fill(bad, bad + 256, 0x00);
    EXPECT_EQ(RUTIL_VerifyData(key.get(), data.data(), 100, bad), -1);
}

TEST(RsaSign, DamagedPrivateComponentsFailInsteadOfSigningWrongly) {
    // With both d and dmp1 wrong the private operation yields a wrong value
    // without complaint; the key still passes the read-time checks.
    const std::string text =
        corruptComponent(corruptComponent(slurp(opensslKey(2048).keyFile), 2), 5);
    Key key = readKeyText(text);
    ASSERT_TRUE(key);
    uint8_t data[40] = {1, 2, 3};
    uint8_t sig[256];
    EXPECT_NE(RUTIL_SignData(key.get(), data, sizeof data, sig), 0);
}

TEST(RsaKeyGen, ExponentsAndSizes) {
    EXPECT_EQ(RUTIL_GenerateRsaKeyPair(1024, 5), nullptr);
    EXPECT_EQ(RUTIL_GenerateRsaKeyPair(1024, 65536), nullptr);
    for (int e : {3, 17}) {
        Key key(RUTIL_GenerateRsaKeyPair(1024, e));
        ASSERT_TRUE(key) << e;
        uint8_t out[8];
        int len = 0;
        ASSERT_EQ(RUTIL_GetExponent(key.get(), out, &len), 0);
        EXPECT_EQ(len, 1);
        EXPECT_EQ(out[0], e);
    }
}

TEST(RsaPem, ConvertRefusesInputWithoutRsaPrivateKey) {
    tt::TempDir dir;
    tt::writeFile(dir / "garbage.pem", std::string("not a key\n"));
    auto r = tt::run({"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                      "ec_paramgen_curve:P-256", "-out", (dir / "ec.pem").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    Key rsa = loadKeyFile(opensslKey(2048).keyFile);
    writePublicPem(rsa.get(), dir / "pub.pem");

    for (const char* name : {"garbage.pem", "ec.pem", "pub.pem"}) {
        const auto out = dir / (std::string(name) + ".rsa");
        EXPECT_EQ(convertPem(dir / name, out), -1) << name;
        EXPECT_EQ(fs::file_size(out), 0u) << name;
    }
}

TEST(RsaKeyFile, SaveRefusesOversizedComponent) {
    // A key object whose modulus needs more bytes than the file format
    // allows; OpenSSL accepts it without checking.
    std::mt19937_64 rng(7);
    tt::Bytes nBytes = tt::randomBytes(rng, 4097);
    nBytes[0] |= 0x80;
    nBytes[4096] |= 1;
    std::unique_ptr<BIGNUM, decltype(&BN_free)> n(BN_bin2bn(nBytes.data(), 4097, nullptr),
                                                  BN_free);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> e(BN_new(), BN_free);
    BN_set_word(e.get(), 65537);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, e.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, e.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, e.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, e.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, e.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, e.get());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* raw = nullptr;
    ASSERT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_fromdata(ctx, &raw, EVP_PKEY_KEYPAIR, params), 1);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    Key key(raw);

    File f(std::tmpfile());
    EXPECT_EQ(RUTIL_SaveRsaKeyPair(f.get(), "label", key.get()), -1);
    EXPECT_EQ(std::ftell(f.get()), 0);

    // Too large to sign into any signature this system carries.
    std::vector<uint8_t> sig(4097, 0xAA);
    testing::internal::CaptureStdout();
    EXPECT_NE(RUTIL_SignData(key.get(), sig.data(), 10, sig.data()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "RSA_padding_add_PKCS1_type_2() error\n");
}

class FillSig : public testing::Test {
protected:
    static tt::Bytes object(size_t size) {
        std::mt19937_64 rng(size);
        return tt::randomBytes(rng, size);
    }
};

TEST_F(FillSig, WritesOnlyTheSignatureOverTheIssuerOnward) {
    const PemKey& k = opensslKey(2048);
    const tt::Bytes original = object(556);
    tt::Bytes obj = original;
    ASSERT_EQ(utilFillSig(k.keyFile.c_str(), 256, obj.data(), 556), 0);

    const tt::Bytes expected = opensslSign(k.pem, tt::Bytes(original.begin() + 320, original.end()));
    EXPECT_EQ(tt::toHex(obj.data() + 4, 256), tt::toHex(expected));
    EXPECT_TRUE(std::equal(obj.begin(), obj.begin() + 4, original.begin()));
    EXPECT_TRUE(std::equal(obj.begin() + 260, obj.end(), original.begin() + 260));

    // The fill between signature and issuer is not covered.
    tt::Bytes other = original;
    std::fill(other.begin() + 260, other.begin() + 320, 0);
    ASSERT_EQ(utilFillSig(k.keyFile.c_str(), 256, other.data(), 556), 0);
    EXPECT_TRUE(std::equal(other.begin() + 4, other.begin() + 260, obj.begin() + 4));
}

TEST_F(FillSig, RsaFourThousandSignsFromOffset576) {
    const PemKey& k = opensslKey(4096);
    const tt::Bytes original = object(1000);
    tt::Bytes obj = original;
    ASSERT_EQ(utilFillSig(k.keyFile.c_str(), 512, obj.data(), 1000), 0);
    const tt::Bytes expected = opensslSign(k.pem, tt::Bytes(original.begin() + 576, original.end()));
    EXPECT_EQ(tt::toHex(obj.data() + 4, 512), tt::toHex(expected));
    EXPECT_TRUE(std::equal(obj.begin() + 516, obj.end(), original.begin() + 516));
}

TEST_F(FillSig, FailuresLeaveTheObjectUnchanged) {
    tt::TempDir dir;
    const std::string key2048 = opensslKey(2048).keyFile.string();
    const std::string key4096 = opensslKey(4096).keyFile.string();
    const std::string missing = (dir / "missing.rsa").string();
    const std::string damaged = (dir / "damaged.rsa").string();
    const std::string text = slurp(key2048);
    tt::writeFile(damaged, text.substr(0, text.size() / 2));
    const std::string oversized = (dir / "oversized.rsa").string();
    tt::writeFile(oversized, "\n4097\n" + std::string(4097 * 3, '1'));

    struct Case {
        const char* what;
        std::string path;
        int32_t sigLength;
        int32_t size;
        int32_t result;
        std::string err;
    };
    const Case cases[] = {
        {"ECC signature length", key2048, 60, 556, ES_ERR_INVALID_SIG_TYPE, ""},
        {"missing key file", missing, 256, 556, ES_ERR_FILE_OPEN,
         "unable to open file " + missing + "\n"},
        {"4096-bit key for a 256-byte signature", key4096, 256, 556, ES_ERR_INVALID_SIG_TYPE, ""},
        {"2048-bit key for a 512-byte signature", key2048, 512, 1000, ES_ERR_INVALID_SIG_TYPE,
         ""},
        {"object ends before the issuer", key2048, 256, 319, ES_ERR_INVALID, ""},
        {"damaged key file", damaged, 256, 556, ES_ERR_INVALID, ""},
        {"component count above the limit", oversized, 256, 556, ES_ERR_INVALID, ""},
    };
    for (const auto& c : cases) {
        const tt::Bytes original = object(static_cast<size_t>(c.size));
        tt::Bytes obj = original;
        testing::internal::CaptureStderr();
        EXPECT_EQ(utilFillSig(c.path.c_str(), c.sigLength, obj.data(), c.size), c.result)
            << c.what;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.what;
        EXPECT_EQ(obj, original) << c.what;
    }
}
