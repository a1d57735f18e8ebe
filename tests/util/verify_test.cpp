#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "csl/rsa.h"
#include "es/es.h"
#include "rsa_test_keys.h"
#include "test_support.h"
#include "util/rsautil.h"
#include "util/utils.h"

namespace fs = std::filesystem;
using testing::Eq;
using testing::ExitedWithCode;

namespace {

const uint8_t kExponent65537[4] = {0x00, 0x01, 0x00, 0x01};

tt::Bytes modulusOf(const fs::path& keyFile) {
    rt::Key key = rt::loadKeyFile(keyFile);
    EXPECT_TRUE(key);
    tt::Bytes n(512);
    int len = 0;
    EXPECT_EQ(RUTIL_GetPublicKey(key.get(), n.data(), &len), 0);
    n.resize(static_cast<size_t>(len));
    return n;
}

// A certificate of the given total size with the RSA key where its layout
// keeps it; the rest is filler the dispatch must not look at.
tt::Bytes certWithKey(size_t size, size_t keyOffset, const tt::Bytes& modulus, size_t expOffset) {
    std::mt19937_64 rng(size);
    tt::Bytes cert = tt::randomBytes(rng, 1280);
    std::copy(modulus.begin(), modulus.end(), cert.begin() + static_cast<long>(keyOffset));
    std::copy(kExponent65537, kExponent65537 + 4, cert.begin() + static_cast<long>(expOffset));
    cert.resize(size);
    return cert;
}

tt::Bytes signedObject(const fs::path& keyFile, int32_t sigLength, size_t size, uint64_t seed) {
    std::mt19937_64 rng(seed);
    tt::Bytes obj = tt::randomBytes(rng, size);
    EXPECT_EQ(utilFillSig(keyFile.c_str(), sigLength, obj.data(), static_cast<int32_t>(size)), 0);
    return obj;
}

struct Keys {
    tt::Bytes n2048, n4096;
    tt::Bytes cert768, cert1024, cert1280;
    tt::Bytes tmd;    // RSA-2048 signed, 556 bytes
    tt::Bytes obj4k;  // RSA-4096 signed, 900 bytes
};

const Keys& keys() {
    static const Keys k = [] {
        Keys r;
        const auto& k2048 = rt::opensslKey(2048).keyFile;
        const auto& k4096 = rt::opensslKey(4096).keyFile;
        r.n2048 = modulusOf(k2048);
        r.n4096 = modulusOf(k4096);
        r.cert768 = certWithKey(768, 456, r.n2048, 712);
        r.cert1024 = certWithKey(1024, 712, r.n2048, 968);
        r.cert1280 = certWithKey(1280, 712, r.n4096, 1224);
        r.tmd = signedObject(k2048, 256, 556, 1);
        r.obj4k = signedObject(k4096, 512, 900, 2);
        return r;
    }();
    return k;
}

int32_t verify2(const tt::Bytes& key, int32_t keySize, int32_t sigLength, const tt::Bytes& obj,
                int32_t fromCert = 1) {
    return utilVerify2(key.data(), keySize, sigLength, obj.data(),
                       static_cast<int32_t>(obj.size()), fromCert);
}

}  // namespace

TEST(VerifyDispatch, ResultCodesForEverySizeCombination) {
    const Keys& k = keys();
    // Key buffers are 1280 bytes long whatever size is claimed, so a claim
    // the dispatch refuses is never what keeps it in bounds.
    tt::Bytes c768 = k.cert768, c1024 = k.cert1024, bare = k.n4096;
    c768.resize(1280);
    c1024.resize(1280);
    bare.resize(1280);
    const tt::Bytes ecc(1280, 0x11);
    const std::string none, notHandled = "Case Not Handled\n";

    struct Case {
        const tt::Bytes& key;
        int32_t keySize;
        int32_t sigLength;
        const tt::Bytes& obj;
        int32_t fromCert;
        int32_t result;
        const std::string& out;
    };
    const Case cases[] = {
        {c768, 768, 256, k.tmd, 1, 0, none},
        {c1024, 1024, 256, k.tmd, 1, 0, none},
        {c768, 1024, 256, k.tmd, 1, CSL_VERIFY_ERROR, none},
        {c1024, 768, 256, k.tmd, 1, CSL_VERIFY_ERROR, none},
        {c768, 576, 256, k.tmd, 1, ES_ERR_UNSUPPORTED_CERT, none},
        {c768, 1280, 256, k.tmd, 1, ES_ERR_UNSUPPORTED_CERT, none},
        {c768, 384, 256, k.tmd, 1, ES_ERR_UNSUPPORTED_CERT, none},
        {c768, 767, 256, k.tmd, 0, ES_ERR_UNSUPPORTED_CERT, none},
        {c768, -1, 256, k.tmd, 1, ES_ERR_UNSUPPORTED_CERT, none},

        {k.cert1280, 1280, 512, k.obj4k, 1, 0, none},
        {k.cert1280, 1228, 512, k.obj4k, 1, 0, none},
        {k.cert1280, 1227, 512, k.obj4k, 1, ES_ERR_UNSUPPORTED_CERT, none},
        {k.cert1280, 1024, 512, k.obj4k, 1, ES_ERR_UNSUPPORTED_CERT, none},
        {k.cert1280, 0, 512, k.obj4k, 1, ES_ERR_UNSUPPORTED_CERT, none},
        {bare, 512, 512, k.obj4k, 0, 0, none},
        {bare, 1280, 512, k.obj4k, 0, 0, none},
        {bare, 511, 512, k.obj4k, 0, ES_ERR_UNSUPPORTED_CERT, none},

        {ecc, 768, 60, k.tmd, 1, ES_ERR_UNSUPPORTED_CERT, notHandled},
        {ecc, 1024, 60, k.tmd, 1, ES_ERR_UNSUPPORTED_CERT, notHandled},
        {ecc, 1280, 60, k.tmd, 1, ES_ERR_UNSUPPORTED_CERT, notHandled},
        {ecc, 384, 60, k.tmd, 1, ES_ERR_UNSUPPORTED_CERT, notHandled},

        {c768, 768, 128, k.tmd, 1, ES_ERR_UNSUPPORTED_SIG_SIZE, none},
        {c768, 768, 0, k.tmd, 1, ES_ERR_UNSUPPORTED_SIG_SIZE, none},
        {c768, 768, -256, k.tmd, 1, ES_ERR_UNSUPPORTED_SIG_SIZE, none},
        {c768, 768, 257, k.tmd, 1, ES_ERR_UNSUPPORTED_SIG_SIZE, none},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        const int32_t r = verify2(c.key, c.keySize, c.sigLength, c.obj, c.fromCert);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, c.result) << "sig " << c.sigLength << " key " << c.keySize << " fromCert "
                               << c.fromCert;
        EXPECT_EQ(out, c.out) << "sig " << c.sigLength << " key " << c.keySize;
    }
}

TEST(VerifyDispatch, SignedRegionStartsAtTheIssuer) {
    const Keys& k = keys();
    // The signature type and the fill after the signature are not signed.
    for (size_t offset : {size_t{0}, size_t{3}, size_t{260}, size_t{319}}) {
        tt::Bytes obj = k.tmd;
        obj[offset] ^= 0x40;
        EXPECT_EQ(verify2(k.cert768, 768, 256, obj), 0) << offset;
    }
    for (size_t offset : {size_t{4}, size_t{259}, size_t{320}, size_t{400}, size_t{555}}) {
        tt::Bytes obj = k.tmd;
        obj[offset] ^= 0x40;
        EXPECT_EQ(verify2(k.cert768, 768, 256, obj), CSL_VERIFY_ERROR) << offset;
        EXPECT_EQ(verify2(k.cert1024, 1024, 256, obj), CSL_VERIFY_ERROR) << offset;
    }
    tt::Bytes obj = k.obj4k;
    obj[576] ^= 1;
    EXPECT_EQ(verify2(k.cert1280, 1280, 512, obj), CSL_VERIFY_ERROR);
    obj = k.obj4k;
    obj[575] ^= 1;
    EXPECT_EQ(verify2(k.cert1280, 1280, 512, obj), 0);
}

TEST(VerifyDispatch, ObjectsTooShortForTheSignedRegionAreRefused) {
    const Keys& k = keys();
    const tt::Bytes ecc(1280, 0x11);
    struct Case {
        const tt::Bytes& key;
        int32_t keySize;
        int32_t sigLength;
        int32_t objectSize;
    };
    const Case cases[] = {
        {k.cert768, 768, 256, 319}, {k.cert768, 768, 256, 0},     {k.cert1280, 1280, 512, 575},
        {k.cert1280, 1280, 512, 4}, {ecc, 576, 60, 127},          {ecc, 768, 60, 10},
        {k.cert768, 768, 256, -1},
    };
    for (const auto& c : cases) {
        const tt::Bytes obj(600, 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(utilVerify2(c.key.data(), c.keySize, c.sigLength, obj.data(), c.objectSize, 1),
                  ES_ERR_INVALID)
            << c.sigLength << " " << c.objectSize;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    // An unknown signature length is reported as such before anything else.
    EXPECT_EQ(utilVerify2(k.cert768.data(), 768, 128, k.tmd.data(), 10, 1),
              ES_ERR_UNSUPPORTED_SIG_SIZE);

    // An object that ends right at the issuer signs and verifies an empty
    // region.
    const tt::Bytes empty = signedObject(rt::opensslKey(2048).keyFile, 256, 320, 3);
    EXPECT_EQ(verify2(k.cert768, 768, 256, empty), 0);
}

TEST(VerifyFile, CertificateFileSizes) {
    const Keys& k = keys();
    tt::TempDir dir;
    const auto good = dir / "cp.cert";
    tt::writeFile(good, k.cert768);
    const int32_t size = static_cast<int32_t>(k.tmd.size());
    EXPECT_EQ(utilVerify(good.c_str(), 256, k.tmd.data(), size), 0);

    const auto cert1024 = dir / "cp1024.cert";
    tt::writeFile(cert1024, k.cert1024);
    EXPECT_EQ(utilVerify(cert1024.c_str(), 256, k.tmd.data(), size), 0);

    const auto cert1280 = dir / "ca.cert";
    tt::writeFile(cert1280, k.cert1280);
    EXPECT_EQ(utilVerify(cert1280.c_str(), 512, k.obj4k.data(),
                         static_cast<int32_t>(k.obj4k.size())),
              0);

    // Larger than any layout: refused, never read into the buffer.
    tt::Bytes big = k.cert768;
    big.resize(1281, 0);
    const auto oversized = dir / "big.cert";
    tt::writeFile(oversized, big);
    EXPECT_EQ(utilVerify(oversized.c_str(), 256, k.tmd.data(), size), ES_ERR_UNSUPPORTED_CERT);
    big.resize(100000, 0);
    tt::writeFile(oversized, big);
    EXPECT_EQ(utilVerify(oversized.c_str(), 512, k.obj4k.data(),
                         static_cast<int32_t>(k.obj4k.size())),
              ES_ERR_UNSUPPORTED_CERT);

    const auto empty = dir / "empty.cert";
    tt::writeFile(empty, tt::Bytes{});
    EXPECT_EQ(utilVerify(empty.c_str(), 256, k.tmd.data(), size), ES_ERR_UNSUPPORTED_CERT);
}

TEST(VerifyFileDeathTest, UnreadableCertificateEndsTheProcess) {
    const Keys& k = keys();
    tt::TempDir dir;
    const std::string missing = (dir / "missing.cert").string();
    const std::string directory = dir.path().string();
    const int32_t size = static_cast<int32_t>(k.tmd.size());
    EXPECT_EXIT(utilVerify(missing.c_str(), 256, k.tmd.data(), size), ExitedWithCode(1),
                Eq("file open failed " + missing + "\n"));
    EXPECT_EXIT(utilVerify(directory.c_str(), 256, k.tmd.data(), size), ExitedWithCode(1),
                Eq("file read failed " + directory + "\n"));
}
