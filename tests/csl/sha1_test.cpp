#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include <openssl/evp.h>

#include "csl/sha1.h"
#include "implementations.h"
#include "nist_rsp.h"
#include "sha1/sha1_internal.h"
#include "test_support.h"

namespace {

using tt::Bytes;

Bytes digestOf(const Bytes& msg) {
    uint8_t d[20];
    SHA1HashState st;
    SHA1Reset(&st);
    SHA1Input(&st, msg.data(), static_cast<int32_t>(msg.size()));
    SHA1Result(&st, d);
    return Bytes(d, d + 20);
}

std::string vec(const std::string& name) { return tt::vectorsDir() + "/hashes/SHA1/" + name; }

void checkMessageFile(const std::string& name) {
    TT_NEED_VECTOR_FILE(vec(name));
    const auto recs = rsp::load(vec(name));
    ASSERT_FALSE(recs.empty()) << name;
    int checked = 0;
    for (const auto& r : recs) {
        if (!r.has("Len")) continue;
        const long bits = std::stol(r.at("Len"));
        Bytes msg = tt::fromHex(r.at("Msg"));
        msg.resize(static_cast<size_t>(bits / 8));  // "Len = 0" carries a dummy 00
        EXPECT_EQ(tt::toHex(digestOf(msg)), r.at("MD")) << name << " Len=" << bits;
        ++checked;
    }
    EXPECT_GT(checked, 60);
}

// Every implementation by name ("avx512+shani", "avx512", "shani", "avx2",
// "armv8", "portable"), each with the dispatch restricted to it.
class Sha1Implementation : public tt::ImplementationTest {
protected:
    void SetUp() override {
        tt::ImplementationTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_STREQ(csl_sha1_core::chosen().name, GetParam().name.c_str());
    }
};

TEST_P(Sha1Implementation, NistMessages) {
    checkMessageFile("SHA1ShortMsg.rsp");
    checkMessageFile("SHA1LongMsg.rsp");
}

// Many messages of one length (the disc hash tree's call) against OpenSSL:
// lengths around the padding boundaries and those of the tree, counts that
// leave the sixteen lanes of the widest path, pairs and single messages a
// share each.
TEST_P(Sha1Implementation, ManyMessagesAgainstOpenssl) {
    std::mt19937_64 rng(56);
    for (size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 160u, 620u, 1024u, 3000u}) {
        for (size_t count : {0u, 1u, 2u, 3u, 5u, 16u, 19u, 31u, 35u}) {
            const Bytes data = tt::randomBytes(rng, len * count);
            Bytes got(20 * count), want(20 * count);
            csl_sha1Many(data.data(), len, count, got.data());
            for (size_t i = 0; i < count; ++i)
                EVP_Digest(data.data() + i * len, len, want.data() + 20 * i, nullptr, EVP_sha1(),
                           nullptr);
            EXPECT_EQ(tt::toHex(got), tt::toHex(want)) << len << " x " << count;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ByName, Sha1Implementation,
                         ::testing::ValuesIn(tt::implCases(csl_sha1_core::implementations())),
                         tt::implCaseName);

TEST(Sha1Nist, MonteCarlo) {
    TT_NEED_VECTOR_FILE(vec("SHA1Monte.rsp"));
    const auto recs = rsp::load(vec("SHA1Monte.rsp"));
    Bytes seed;
    int checked = 0;
    for (const auto& r : recs) {
        if (r.has("Seed")) {
            seed = tt::fromHex(r.at("Seed"));
            continue;
        }
        if (!r.has("MD")) continue;
        Bytes m0 = seed, m1 = seed, m2 = seed;
        for (int i = 3; i < 1003; ++i) {
            Bytes cat = m0;
            cat.insert(cat.end(), m1.begin(), m1.end());
            cat.insert(cat.end(), m2.begin(), m2.end());
            m0 = std::move(m1);
            m1 = std::move(m2);
            m2 = digestOf(cat);
        }
        seed = m2;
        ASSERT_EQ(tt::toHex(seed), r.at("MD")) << "COUNT=" << r.at("COUNT");
        ++checked;
    }
    EXPECT_EQ(checked, 100);
}

// Any split of the input, including empty pieces and pieces straddling block
// boundaries, must give the one-shot digest.
TEST(Sha1Streaming, RandomPiecesMatchOneShot) {
    std::mt19937_64 rng(20261209);
    for (size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u, 4097u}) {
        const Bytes msg = tt::randomBytes(rng, len);
        const Bytes want = tt::opensslSha1(msg);
        for (int trial = 0; trial < 20; ++trial) {
            SHA1HashState st;
            SHA1Reset(&st);
            size_t pos = 0;
            while (pos < len) {
                size_t piece = rng() % 150;  // 0 included on purpose
                if (piece > len - pos) piece = len - pos;
                SHA1Input(&st, msg.data() + pos, static_cast<int32_t>(piece));
                pos += piece;
            }
            uint8_t d[20];
            SHA1Result(&st, d);
            ASSERT_EQ(tt::toHex(d, 20), tt::toHex(want)) << "len " << len << " trial " << trial;
        }
    }
}

TEST(Sha1Streaming, InputIsNotModified) {
    std::mt19937_64 rng(7);
    const Bytes msg = tt::randomBytes(rng, 300);
    Bytes copy = msg;
    SHA1HashState st;
    SHA1Reset(&st);
    SHA1Input(&st, copy.data() + 3, 297);
    uint8_t d[20];
    SHA1Result(&st, d);
    EXPECT_EQ(copy, msg);
}

TEST(Sha1Streaming, ConvenienceMatchesOneShot) {
    std::mt19937_64 rng(11);
    const Bytes msg = tt::randomBytes(rng, 10000);
    uint8_t d[20];
    csl_sha1(msg.data(), msg.size(), d);
    EXPECT_EQ(tt::toHex(d, 20), tt::toHex(tt::opensslSha1(msg)));
    csl_sha1(nullptr, 0, d);
    EXPECT_EQ(tt::toHex(d, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1Streaming, BitCountCarriesIntoHighWord) {
    SHA1HashState st;
    SHA1Reset(&st);
    st.bitCountLow = 0xFFFFFF00u;  // 32 bytes waiting; adding 32 bytes wraps
    uint8_t buf[32] = {};
    SHA1Input(&st, buf, 32);
    EXPECT_EQ(st.bitCountLow, 0u);
    EXPECT_EQ(st.bitCountHigh, 1u);
}

TEST(Sha1NoPadding, NoInputGivesInitialValue) {
    SHA1HashState st;
    SHA1Reset(&st);
    SHA1SetNoPadding(&st);
    uint8_t d[20];
    SHA1Result(&st, d);
    EXPECT_EQ(tt::toHex(d, 20), "67452301efcdab8998badcfe10325476c3d2e1f0");
}

TEST(Sha1NoPadding, OnlyCompleteBlocksCount) {
    std::mt19937_64 rng(3);
    Bytes a = tt::randomBytes(rng, 100);
    Bytes b = a;
    for (size_t i = 64; i < b.size(); ++i) b[i] ^= 0xFF;  // differs after the first block

    auto raw = [](const Bytes& m, size_t n) {
        SHA1HashState st;
        SHA1Reset(&st);
        SHA1SetNoPadding(&st);
        SHA1Input(&st, m.data(), static_cast<int32_t>(n));
        uint8_t d[20];
        SHA1Result(&st, d);
        return tt::toHex(d, 20);
    };
    EXPECT_EQ(raw(a, 100), raw(b, 100));
    EXPECT_EQ(raw(a, 100), raw(a, 64));
    EXPECT_NE(raw(a, 64), raw(a, 0));

    SHA1HashState st;
    SHA1Reset(&st);
    SHA1SetNoPadding(&st);
    SHA1Reset(&st);  // must restore the standard finish
    SHA1Input(&st, a.data(), 100);
    uint8_t d[20];
    SHA1Result(&st, d);
    EXPECT_EQ(tt::toHex(d, 20), tt::toHex(tt::opensslSha1(a)));
}

TEST(Sha1Helpers, ByteReverseLeavesTailAlone) {
    uint8_t b[7] = {1, 2, 3, 4, 5, 6, 7};
    byte_reverse(b, 7);
    const uint8_t want[7] = {4, 3, 2, 1, 5, 6, 7};
    EXPECT_EQ(0, std::memcmp(b, want, 7));
}

}  // namespace
