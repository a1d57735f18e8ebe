#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "csl/ecc.h"
#include "csl/rsa.h"
#include "es/es.h"
#include "test_support.h"
#include "util/utils.h"

namespace fs = std::filesystem;
using testing::Eq;
using testing::ExitedWithCode;

namespace {

// Independent ECDSA on the same curve: public key of a private key, and the
// check of an r || s signature over a SHA-1 digest.
const char* kPythonEcdsa = R"(
import sys
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, utils
curve = ec.SECT233R1()
if sys.argv[1] == 'public':
    pub = ec.derive_private_key(int(sys.argv[2], 16), curve).public_key().public_numbers()
    print('%060x%060x' % (pub.x, pub.y))
else:
    key, digest, sig = (bytes.fromhex(a) for a in sys.argv[2:5])
    pub = ec.EllipticCurvePublicNumbers(int.from_bytes(key[:30], 'big'),
                                        int.from_bytes(key[30:], 'big'), curve).public_key()
    der = utils.encode_dss_signature(int.from_bytes(sig[:30], 'big'), int.from_bytes(sig[30:], 'big'))
    pub.verify(der, digest, ec.ECDSA(utils.Prehashed(hashes.SHA1())))
    print('ok')
)";

std::string python(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {tt::pythonPath(), "-c", kPythonEcdsa};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = tt::run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(0, r.out.find('\n'));
}

class EccSign : public testing::Test {
protected:
    void SetUp() override {
        std::mt19937_64 rng(233);
        privateKey = tt::randomBytes(rng, 30);
        privateKey[0] = 0;  // below the group order
        keyPath = dir / "device.key";
        tt::writeFile(keyPath, privateKey);
        publicKey = tt::fromHex(python({"public", tt::toHex(privateKey)}));
        ASSERT_EQ(publicKey.size(), 60u);
        cert = tt::randomBytes(rng, 576);
        std::copy(publicKey.begin(), publicKey.end(), cert.begin() + 456);
    }

    tt::Bytes object(size_t size, uint64_t seed) const {
        std::mt19937_64 rng(seed);
        return tt::randomBytes(rng, size);
    }

    tt::Bytes sign(const tt::Bytes& original) const {
        tt::Bytes obj = original;
        EXPECT_EQ(utilFillEccSig(keyPath.c_str(), obj.data(), static_cast<int32_t>(obj.size())),
                  0);
        return obj;
    }

    int32_t verify(const tt::Bytes& obj) const {
        return utilVerify2(cert.data(), 576, 60, obj.data(), static_cast<int32_t>(obj.size()), 1);
    }

    tt::TempDir dir;
    fs::path keyPath;
    tt::Bytes privateKey, publicKey, cert;
};

using EccSignDeathTest = EccSign;

}  // namespace

TEST_F(EccSign, WritesOnlyTheSignatureAndVerifies) {
    const tt::Bytes original = object(300, 1);
    const tt::Bytes obj = sign(original);
    EXPECT_TRUE(std::equal(obj.begin(), obj.begin() + 4, original.begin()));
    EXPECT_TRUE(std::equal(obj.begin() + 64, obj.end(), original.begin() + 64));
    EXPECT_NE(tt::Bytes(obj.begin() + 4, obj.begin() + 64),
              tt::Bytes(original.begin() + 4, original.begin() + 64));

    EXPECT_EQ(verify(obj), 0);
    const tt::Bytes digest = tt::opensslSha1(tt::Bytes(obj.begin() + 128, obj.end()));
    EXPECT_EQ(python({"verify", tt::toHex(publicKey), tt::toHex(digest),
                      tt::toHex(obj.data() + 4, 60)}),
              "ok");

    // Bytes before offset 128 other than the signature are not signed.
    for (size_t offset : {size_t{0}, size_t{64}, size_t{127}}) {
        tt::Bytes changed = obj;
        changed[offset] ^= 0x08;
        EXPECT_EQ(verify(changed), 0) << offset;
    }
    for (size_t offset : {size_t{4}, size_t{63}, size_t{128}, size_t{299}}) {
        tt::Bytes changed = obj;
        changed[offset] ^= 0x08;
        EXPECT_EQ(verify(changed), CSL_VERIFY_ERROR) << offset;
    }
}

TEST_F(EccSign, EverySignatureDrawsAFreshNonce) {
    const tt::Bytes a = object(200, 2), b = object(200, 3);
    const tt::Bytes sa1 = sign(a), sa2 = sign(a), sb = sign(b);
    auto r = [](const tt::Bytes& obj) { return tt::Bytes(obj.begin() + 4, obj.begin() + 34); };
    EXPECT_NE(r(sa1), r(sb));
    EXPECT_NE(r(sa1), r(sa2));
    EXPECT_EQ(verify(sa1), 0);
    EXPECT_EQ(verify(sa2), 0);
    EXPECT_EQ(verify(sb), 0);
}

TEST_F(EccSign, ShortObjectIsRefusedUnchanged) {
    for (int32_t size : {127, 64, 0}) {
        const tt::Bytes original = object(200, 4);
        tt::Bytes obj = original;
        EXPECT_EQ(utilFillEccSig(keyPath.c_str(), obj.data(), size), ES_ERR_INVALID) << size;
        EXPECT_EQ(obj, original);
    }
    // Exactly up to the signed region: an empty region is still signed.
    tt::Bytes obj = sign(object(128, 5));
    EXPECT_EQ(verify(obj), 0);
}

TEST_F(EccSignDeathTest, UnreadableKeyFileEndsTheProcess) {
    const std::string missing = (dir / "missing.key").string();
    const std::string shortKey = (dir / "short.key").string();
    tt::writeFile(shortKey, tt::Bytes(privateKey.begin(), privateKey.begin() + 29));
    tt::Bytes obj = object(200, 6);
    EXPECT_EXIT(utilFillEccSig(missing.c_str(), obj.data(), 200), ExitedWithCode(1),
                Eq("file open failed " + missing + "\n"));
    EXPECT_EXIT(utilFillEccSig(shortKey.c_str(), obj.data(), 200), ExitedWithCode(1),
                Eq("file read failed " + shortKey + "\n"));
}
