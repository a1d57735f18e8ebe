#include <gtest/gtest.h>

#include <sstream>

#include "csl/integer_math.h"
#include "csl/rsa.h"
#include "csl/sha1.h"
#include "nist_rsp.h"
#include "test_support.h"

namespace {

using tt::Bytes;

Bytes sha1(const Bytes& m) {
    Bytes d(20);
    csl_sha1(m.data(), m.size(), d.data());
    return d;
}

int verify(const Bytes& digest, const Bytes& n, const Bytes& sig, const Bytes& e) {
    const int k = static_cast<int>(n.size());
    const int ne = static_cast<int>(e.size());
    if (k == 256) return CSL_VerifyRsaSig2048(digest.data(), n.data(), sig.data(), e.data(), ne);
    if (k == 512) return CSL_VerifyRsaSig4096(digest.data(), n.data(), sig.data(), e.data(), ne);
    return CSL_VerifyRsaSig(digest.data(), n.data(), sig.data(), e.data(), ne, k);
}

// Big-endian addition of equal-length strings; false on overflow.
bool addBE(Bytes& a, const Bytes& b) {
    unsigned carry = 0;
    for (size_t i = a.size(); i-- > 0;) {
        const unsigned t = a[i] + b[i] + carry;
        a[i] = static_cast<uint8_t>(t);
        carry = t >> 8;
    }
    return carry == 0;
}

TEST(RsaNist, SigGen15Sha1VerifiesAndTamperedCopiesDoNot) {
    const std::string path = tt::vectorsDir() + "/asymmetric/RSA/FIPS_186-2/SigGen15_186-2.rsp";
    TT_NEED_VECTOR_FILE(path);
    const auto recs = rsp::load(path);
    Bytes n, e;
    int checked = 0, sumChecked = 0;
    for (const auto& r : recs) {
        if (r.has("n")) n = tt::fromHex(r.at("n"));
        if (r.has("e")) e = tt::fromHex(r.at("e"));
        if (!r.has("SHAAlg") || r.at("SHAAlg") != "SHA1") continue;
        const Bytes digest = sha1(tt::fromHex(r.at("Msg")));
        const Bytes sig = tt::fromHex(r.at("S"));
        ASSERT_EQ(sig.size(), n.size());
        SCOPED_TRACE(r.section);
        EXPECT_EQ(verify(digest, n, sig, e), CSL_OK);
        // The exponent as its significant bytes only.
        EXPECT_EQ(verify(digest, n, sig, Bytes{0x01, 0x00, 0x01}), CSL_OK);

        Bytes badSig = sig;
        badSig[badSig.size() / 2] ^= 0x10;
        EXPECT_EQ(verify(digest, n, badSig, e), CSL_VERIFY_ERROR);
        Bytes badDigest = digest;
        badDigest[19] ^= 0x01;
        EXPECT_EQ(verify(badDigest, n, sig, e), CSL_VERIFY_ERROR);
        Bytes badN = n;
        badN[badN.size() - 1] ^= 0x02;  // stays odd
        EXPECT_EQ(verify(digest, badN, sig, e), CSL_VERIFY_ERROR);
        EXPECT_EQ(verify(digest, n, sig, Bytes{0x00, 0x00, 0x00, 0x03}), CSL_VERIFY_ERROR);

        // s + n represents the same residue but is not a valid signature
        // representative.
        Bytes sPlusN = sig;
        if (addBE(sPlusN, n)) {
            EXPECT_EQ(verify(digest, n, sPlusN, e), CSL_VERIFY_ERROR);
            ++sumChecked;
        }
        EXPECT_EQ(verify(digest, n, n, e), CSL_VERIFY_ERROR);
        ++checked;
    }
    EXPECT_EQ(checked, 50);  // ten per modulus size, 1024 to 4096 bits
    EXPECT_GT(sumChecked, 0);
}

struct KeyNumbers {
    Bytes n, e, d;
};

KeyNumbers loadKey(const std::string& pem) {
    const auto res = tt::run({tt::pythonPath(), tt::scriptsDir() + "/rsa_key_numbers.py", pem});
    EXPECT_EQ(res.status, 0) << res.err;
    KeyNumbers k;
    std::istringstream in(res.out);
    for (std::string name, hex; in >> name >> hex;) {
        if (name == "n") k.n = tt::fromHex(hex);
        if (name == "e") k.e = tt::fromHex(hex);
        if (name == "d") k.d = tt::fromHex(hex);
    }
    return k;
}

std::string keyPath(int bits) {
    return std::string(TMD_TEST_DATA_DIR) + "/csl_rsa" + std::to_string(bits) + ".pem";
}

// The signature block for a k-byte modulus.
Bytes signatureBlock(const Bytes& digest, size_t k) {
    static const Bytes header = tt::fromHex("003021300906052b0e03021a05000414");
    Bytes block(k, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    std::copy(header.begin(), header.end(), block.end() - 36);
    std::copy(digest.begin(), digest.end(), block.end() - 20);
    return block;
}

Bytes rawSign(const KeyNumbers& key, const Bytes& block) {
    Bytes out(key.n.size());
    EXPECT_EQ(CSL_ComputeRsaSig(out.data(), block.data(), key.n.data(), key.d.data(),
                                static_cast<int>(key.n.size())),
              CSL_OK);
    return out;
}

class RsaOpenssl : public ::testing::TestWithParam<int> {};

// Signatures made by the openssl command line verify; our raw private-key
// operation over the same block gives the same bytes.
TEST_P(RsaOpenssl, CommandLineSignatureVerifies) {
    const int bits = GetParam();
    const KeyNumbers key = loadKey(keyPath(bits));
    ASSERT_EQ(key.n.size(), static_cast<size_t>(bits / 8));
    tt::TempDir dir;
    const Bytes msg = tt::fromHex("000102030405060708090a0b0c0d0e0f1011121314");
    tt::writeFile(dir / "msg", msg);
    const auto res = tt::run({"openssl", "dgst", "-sha1", "-sign", keyPath(bits), "-out",
                              (dir / "sig").string(), (dir / "msg").string()});
    ASSERT_EQ(res.status, 0) << res.err;
    const Bytes sig = tt::readFile(dir / "sig");
    const Bytes digest = sha1(msg);
    EXPECT_EQ(verify(digest, key.n, sig, key.e), CSL_OK);
    EXPECT_EQ(verify(digest, key.n, sig, Bytes{0x01, 0x00, 0x01}), CSL_OK);
    Bytes other = digest;
    other[0] ^= 0x80;
    EXPECT_EQ(verify(other, key.n, sig, key.e), CSL_VERIFY_ERROR);
    EXPECT_EQ(tt::toHex(rawSign(key, signatureBlock(digest, key.n.size()))), tt::toHex(sig));
}

INSTANTIATE_TEST_SUITE_P(Keys, RsaOpenssl, ::testing::Values(2048, 4096));

// Blocks that differ from the expected encoding in one place, signed with
// the private key, must all be rejected.
TEST(RsaBlock, EveryFieldIsChecked) {
    const KeyNumbers key = loadKey(keyPath(2048));
    const size_t k = key.n.size();
    const Bytes digest = sha1(tt::fromHex("cafe"));
    const Bytes good = signatureBlock(digest, k);
    ASSERT_EQ(verify(digest, key.n, rawSign(key, good), key.e), CSL_OK);

    struct Case {
        const char* what;
        size_t index;
        uint8_t value;
    } cases[] = {
        {"leading byte", 0, 0x01},
        {"block type 02", 1, 0x02},
        {"block type 00", 1, 0x00},
        {"FF run one byte shorter", k - 37, 0x00},
        {"first FF", 2, 0xFE},
        {"middle FF", k / 2, 0x7F},
        {"separator", k - 36, 0xFF},
        {"DigestInfo header", k - 30, 0x07},
        {"digest length", k - 21, 0x20},
        {"first digest byte", k - 20, static_cast<uint8_t>(digest[0] ^ 1)},
        {"last digest byte", k - 1, static_cast<uint8_t>(digest[19] ^ 1)},
    };
    for (const auto& c : cases) {
        Bytes block = good;
        block[c.index] = c.value;
        EXPECT_EQ(verify(digest, key.n, rawSign(key, block), key.e), CSL_VERIFY_ERROR) << c.what;
    }
}

TEST(RsaArguments, OutOfRangeLengthsAreRejected) {
    const KeyNumbers key = loadKey(keyPath(2048));
    const Bytes digest = sha1(tt::fromHex("beef"));
    const Bytes sig = rawSign(key, signatureBlock(digest, key.n.size()));
    ASSERT_EQ(verify(digest, key.n, sig, key.e), CSL_OK);

    // A large buffer so that wrong lengths cannot read out of bounds here.
    Bytes big(1024, 0);
    std::copy(key.n.begin(), key.n.end(), big.begin());
    for (int keyLen : {-4, 0, 2, 4, 36, 255, 258, 516, 1024})
        EXPECT_EQ(CSL_VerifyRsaSig(digest.data(), big.data(), big.data(), key.e.data(), 4, keyLen),
                  CSL_VERIFY_ERROR)
            << keyLen;

    const Bytes e8ok = tt::fromHex("0000000000010001");
    const Bytes e8big = tt::fromHex("0000000100010001");  // would truncate to 65537
    EXPECT_EQ(verify(digest, key.n, sig, e8ok), CSL_OK);
    EXPECT_EQ(verify(digest, key.n, sig, e8big), CSL_VERIFY_ERROR);
    for (int eLen : {-1, 0, 257})
        EXPECT_EQ(CSL_VerifyRsaSig2048(digest.data(), key.n.data(), sig.data(), big.data(), eLen),
                  CSL_VERIFY_ERROR)
            << eLen;

    // A zero modulus leaves no residue to compare: never valid.
    const Bytes zero(256, 0);
    EXPECT_EQ(verify(digest, zero, sig, key.e), CSL_VERIFY_ERROR);
    EXPECT_EQ(verify(digest, zero, zero, key.e), CSL_VERIFY_ERROR);

    uint8_t out[4];
    EXPECT_EQ(CSL_ComputeRsaSig(out, big.data(), big.data(), big.data(), 6), -1);
    EXPECT_EQ(CSL_ComputeRsaSig(out, big.data(), big.data(), big.data(), 1024), -1);
}

}  // namespace
