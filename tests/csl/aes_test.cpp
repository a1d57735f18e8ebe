#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "aes/aes_internal.h"
#include "csl/aes.h"
#include "csl/aes_bulk.h"
#include "csl/sha1.h"
#include "implementations.h"
#include "nist_rsp.h"
#include "test_support.h"

namespace {

using tt::Bytes;

// Runs one NIST record through the instance interface. Returns the produced
// text in hex.
std::string runInstance(uint8_t mode, bool encrypt, const Bytes& key, const Bytes& iv,
                        const Bytes& in) {
    AesKeySchedule ks;
    AesCipherState cs;
    EXPECT_EQ(aesMakeKey(&ks, encrypt ? AES_DIR_ENCRYPT : AES_DIR_DECRYPT,
                         static_cast<int>(key.size() * 8), key.data()),
              AES_OK);
    EXPECT_EQ(aesCipherInit(&cs, mode, iv.empty() ? nullptr : iv.data()), AES_OK);
    Bytes out(in.size());
    const int bits = static_cast<int>(in.size() * 8);
    const int done = encrypt ? aesBlockEncrypt(&cs, &ks, in.data(), bits, out.data())
                             : aesBlockDecrypt(&cs, &ks, in.data(), bits, out.data());
    EXPECT_EQ(done, bits);
    return tt::toHex(out);
}

std::vector<std::string> nistFiles() {
    std::vector<std::string> v;
    for (const char* mode : {"ECB", "CBC"})
        for (const char* kind : {"GFSbox", "KeySbox", "VarKey", "VarTxt", "MMT"})
            for (const char* bits : {"128", "192", "256"})
                v.push_back(std::string(mode) + kind + bits + ".rsp");
    return v;
}

// Independent cross-check on long random buffers.
const EVP_CIPHER* opensslCipher(bool cbc, size_t keyBytes) {
    if (keyBytes == 16) return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    if (keyBytes == 24) return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
}

Bytes openssl(bool cbc, bool enc, const Bytes& key, const Bytes& iv, const Bytes& in) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                       EVP_CIPHER_CTX_free);
    EVP_CipherInit_ex(ctx.get(), opensslCipher(cbc, key.size()), nullptr, key.data(),
                      cbc ? iv.data() : nullptr, enc ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(in.size() + 16);
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx.get(), out.data() + n, &m);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

Bytes opensslCbc128(bool enc, const Bytes& key, const Bytes& iv, const Bytes& in) {
    return openssl(true, enc, key, iv, in);
}

// Every implementation by name ("vaes", "aesni", "armv8", "bitsliced"), each
// with the dispatch restricted to it: the same known answers through every
// entry point.
class AesImplementation : public tt::ImplementationTest {
protected:
    void SetUp() override {
        tt::ImplementationTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_STREQ(csl_aes::chosen().name, GetParam().name.c_str());
    }
};

TEST_P(AesImplementation, NistVectors) {
    for (const std::string& name : nistFiles()) {
        const bool cbc = name.rfind("CBC", 0) == 0;
        const std::string path =
            tt::vectorsDir() + "/ciphers/AES/" + (cbc ? "CBC/" : "ECB/") + name;
        TT_NEED_VECTOR_FILE(path);
        const auto recs = rsp::load(path);
        ASSERT_FALSE(recs.empty()) << name;
        for (const auto& r : recs) {
            if (!r.has("KEY")) continue;
            const Bytes key = tt::fromHex(r.at("KEY"));
            const Bytes iv = cbc ? tt::fromHex(r.at("IV")) : Bytes{};
            const Bytes pt = tt::fromHex(r.at("PLAINTEXT"));
            const Bytes ct = tt::fromHex(r.at("CIPHERTEXT"));
            const uint8_t mode = cbc ? AES_MODE_CBC : AES_MODE_ECB;
            const bool enc = r.section == "ENCRYPT";
            const std::string where = name + " " + r.at("COUNT");
            if (enc)
                ASSERT_EQ(runInstance(mode, true, key, iv, pt), tt::toHex(ct)) << where;
            else
                ASSERT_EQ(runInstance(mode, false, key, iv, ct), tt::toHex(pt)) << where;
            // The one-shot calls are AES-128-CBC only.
            if (cbc && key.size() == 16) {
                Bytes out(pt.size());
                if (enc)
                    ASSERT_EQ(aes_SwEncrypt(key.data(), iv.data(), pt.data(),
                                            static_cast<int>(pt.size()), out.data()),
                              0);
                else
                    ASSERT_EQ(aes_SwDecrypt(key.data(), iv.data(), ct.data(),
                                            static_cast<int>(ct.size()), out.data()),
                              0);
                ASSERT_EQ(out, enc ? ct : pt) << where;
            }
        }
    }
}

// Lengths around the groups every implementation takes (4, 8, 16 blocks),
// in place and not, against OpenSSL; the block primitives on the first block.
TEST_P(AesImplementation, RandomBuffersAgainstOpenssl) {
    std::mt19937_64 rng(197);
    for (size_t keyBytes : {16u, 24u, 32u}) {
        for (size_t blocks : {1u, 3u, 4u, 5u, 8u, 9u, 16u, 17u, 33u, 300u}) {
            const Bytes key = tt::randomBytes(rng, keyBytes), iv = tt::randomBytes(rng, 16);
            const Bytes pt = tt::randomBytes(rng, blocks * 16);
            for (bool cbc : {false, true}) {
                const Bytes ct = openssl(cbc, true, key, iv, pt);
                for (bool inPlace : {false, true}) {
                    const uint8_t mode = cbc ? AES_MODE_CBC : AES_MODE_ECB;
                    const std::string where = std::to_string(keyBytes) + "-byte key, " +
                                              std::to_string(blocks) + (cbc ? " CBC" : " ECB") +
                                              (inPlace ? " in place" : "");
                    for (bool enc : {true, false}) {
                        AesKeySchedule ks;
                        AesCipherState cs;
                        ASSERT_EQ(aesMakeKey(&ks, enc ? AES_DIR_ENCRYPT : AES_DIR_DECRYPT,
                                             static_cast<int>(keyBytes * 8), key.data()),
                                  AES_OK);
                        ASSERT_EQ(aesCipherInit(&cs, mode, iv.data()), AES_OK);
                        const Bytes& from = enc ? pt : ct;
                        const Bytes& want = enc ? ct : pt;
                        Bytes buf = from;
                        Bytes out(buf.size());
                        uint8_t* dst = inPlace ? buf.data() : out.data();
                        const int bits = static_cast<int>(buf.size() * 8);
                        ASSERT_EQ(enc ? aesBlockEncrypt(&cs, &ks, buf.data(), bits, dst)
                                      : aesBlockDecrypt(&cs, &ks, buf.data(), bits, dst),
                                  bits);
                        EXPECT_EQ(Bytes(dst, dst + buf.size()), want) << where;
                        if (cbc) {
                            EXPECT_EQ(Bytes(cs.chainBlock, cs.chainBlock + 16),
                                      Bytes(ct.end() - 16, ct.end()))
                                << where;
                        }
                        uint8_t one[16];
                        (enc ? rijndaelEncrypt : rijndaelDecrypt)(ks.roundKeys, ks.rounds,
                                                                  from.data(), one);
                        if (!cbc) {
                            EXPECT_EQ(Bytes(one, one + 16), Bytes(want.begin(), want.begin() + 16))
                                << where;
                        }
                    }
                }
            }
        }
    }
}

// The key expansion's last words (the standard's appendix keys), which
// every earlier word feeds.
TEST_P(AesImplementation, KeyExpansion) {
    const struct {
        const char* key;
        int rounds;
        uint32_t last;
    } cases[] = {
        {"2b7e151628aed2a6abf7158809cf4f3c", 10, 0xb6630ca6u},
        {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 12, 0x01002202u},
        {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", 14, 0x706c631eu},
    };
    for (const auto& c : cases) {
        const Bytes key = tt::fromHex(c.key);
        uint32_t enc[60], dec[60];
        const int bits = static_cast<int>(key.size() * 8);
        ASSERT_EQ(rijndaelKeySetupEnc(enc, key.data(), bits), c.rounds);
        ASSERT_EQ(rijndaelKeySetupDec(dec, key.data(), bits), c.rounds);
        EXPECT_EQ(enc[4 * c.rounds + 3], c.last) << c.key;
        // The decryption schedule starts with the last round key.
        EXPECT_EQ(0, std::memcmp(dec, enc + 4 * c.rounds, 16)) << c.key;
    }
}

// The side by side chains of the disc layout, around the groups every
// implementation takes, against OpenSSL chain by chain.
TEST_P(AesImplementation, Lanes) {
    std::mt19937_64 rng(31);
    for (size_t lanes : {1u, 3u, 4u, 5u, 8u, 9u, 17u, 64u}) {
        const Bytes key = tt::randomBytes(rng, 16);
        const size_t len = 16 * (lanes % 5 + 1);
        const Bytes data = tt::randomBytes(rng, lanes * len);
        const Bytes ivs = tt::randomBytes(rng, lanes * 16);
        Bytes out(lanes * len);
        std::vector<const uint8_t*> in(lanes), iv(lanes);
        std::vector<uint8_t*> o(lanes);
        for (size_t l = 0; l < lanes; ++l) {
            in[l] = &data[l * len];
            iv[l] = &ivs[l * 16];
            o[l] = &out[l * len];
        }
        ASSERT_EQ(csl_aes128CbcEncryptLanes(key.data(), lanes, in.data(), o.data(), iv.data(), len),
                  0);
        for (size_t l = 0; l < lanes; ++l)
            EXPECT_EQ(Bytes(o[l], o[l] + len),
                      openssl(true, true, key, Bytes(iv[l], iv[l] + 16), Bytes(in[l], in[l] + len)))
                << lanes << " lanes, lane " << l;
    }
}

INSTANTIATE_TEST_SUITE_P(ByName, AesImplementation,
                         ::testing::ValuesIn(tt::implCases(csl_aes::implementations())),
                         tt::implCaseName);

// The loop that encrypts and hashes in one pass ("aesni+shani"), and the
// separate calls where there is none, against OpenSSL's cipher and the
// SHA-1 of the same bytes; in place, and behind bytes already waiting in
// the hash state.
class CbcSha1Implementation : public tt::ImplementationTest {};

TEST_P(CbcSha1Implementation, MatchesSeparateCalls) {
    std::mt19937_64 rng(40);
    for (int trial = 0; trial < 24; ++trial) {
        const Bytes key = tt::randomBytes(rng, 16), iv = tt::randomBytes(rng, 16);
        const Bytes prefix = tt::randomBytes(rng, trial % 4 == 1 ? static_cast<size_t>(1 + trial) : 0);
        const size_t len = 16 * static_cast<size_t>(trial < 12 ? trial : 37 * trial);
        const Bytes data = tt::randomBytes(rng, len);
        SHA1HashState want{}, got{};
        for (SHA1HashState* s : {&want, &got}) {
            SHA1Reset(s);
            SHA1Input(s, prefix.data(), static_cast<int32_t>(prefix.size()));
        }
        SHA1Input(&want, data.data(), static_cast<int32_t>(len));
        Bytes buf = data, out(len);
        uint8_t chain[16];
        std::memcpy(chain, iv.data(), 16);
        uint8_t* dst = trial % 2 ? buf.data() : out.data();
        ASSERT_EQ(csl_aes128CbcEncryptSha1(key.data(), chain, &got, buf.data(), len, dst), 0);
        const Bytes cipher(dst, dst + len);
        EXPECT_EQ(cipher, opensslCbc128(true, key, iv, data)) << trial;
        if (len > 0) {
            EXPECT_EQ(0, std::memcmp(chain, cipher.data() + len - 16, 16)) << trial;
        }
        EXPECT_EQ(0, std::memcmp(&want, &got, sizeof want)) << trial;
    }
}

INSTANTIATE_TEST_SUITE_P(ByName, CbcSha1Implementation,
                         ::testing::ValuesIn(tt::implCases(csl_aes::cbcSha1Implementations())),
                         tt::implCaseName);

TEST(AesOneShot, InPlaceAndIvUntouched) {
    std::mt19937_64 rng(5);
    const Bytes key = tt::randomBytes(rng, 16);
    const Bytes iv0 = tt::randomBytes(rng, 16);
    const Bytes pt = tt::randomBytes(rng, 80);
    Bytes iv = iv0;
    Bytes buf = pt;
    ASSERT_EQ(aes_SwEncrypt(key.data(), iv.data(), buf.data(), 80, buf.data()), 0);
    EXPECT_EQ(iv, iv0);
    EXPECT_EQ(buf, opensslCbc128(true, key, iv0, pt));
    ASSERT_EQ(aes_SwDecrypt(key.data(), iv.data(), buf.data(), 80, buf.data()), 0);
    EXPECT_EQ(iv, iv0);
    EXPECT_EQ(buf, pt);
}

// A stream split over calls, each given the previous call's last ciphertext
// block as its iv, equals the stream in one call.
TEST(AesOneShot, ChainContinuation) {
    std::mt19937_64 rng(9);
    const Bytes key = tt::randomBytes(rng, 16), iv = tt::randomBytes(rng, 16);
    const Bytes pt = tt::randomBytes(rng, 96);
    Bytes whole(96), parts(96), back(96);
    ASSERT_EQ(aes_SwEncrypt(key.data(), iv.data(), pt.data(), 96, whole.data()), 0);
    ASSERT_EQ(aes_SwEncrypt(key.data(), iv.data(), pt.data(), 16, parts.data()), 0);
    ASSERT_EQ(aes_SwEncrypt(key.data(), parts.data(), pt.data() + 16, 80, parts.data() + 16), 0);
    EXPECT_EQ(parts, whole);
    ASSERT_EQ(aes_SwDecrypt(key.data(), iv.data(), whole.data(), 48, back.data()), 0);
    ASSERT_EQ(aes_SwDecrypt(key.data(), whole.data() + 32, whole.data() + 48, 48, back.data() + 48), 0);
    EXPECT_EQ(back, pt);
}

TEST(AesOneShot, PartialTrailingBlockUntouched) {
    const Bytes key(16, 0x11), iv(16, 0x22);
    Bytes pt(20, 0x33);
    for (bool enc : {true, false}) {
        Bytes out(20, 0xEE);
        const int rc = enc ? aes_SwEncrypt(key.data(), iv.data(), pt.data(), 20, out.data())
                           : aes_SwDecrypt(key.data(), iv.data(), pt.data(), 20, out.data());
        EXPECT_EQ(rc, -1);
        const Bytes first = opensslCbc128(enc, key, iv, Bytes(pt.begin(), pt.begin() + 16));
        EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));
        EXPECT_EQ(Bytes(out.begin() + 16, out.end()), Bytes(4, 0xEE));
    }
}

// Lengths whose bit count would not fit an int, and other bad arguments, are
// refused before anything is read or written.
TEST(AesOneShot, RefusedLengthsTouchNothing) {
    const Bytes key(16, 1), iv(16, 2);
    Bytes in(64, 3);
    struct Case {
        int length;
        int want;
    } cases[] = {{0, 0},
                 {-16, -1},
                 {INT_MIN, -1},
                 {AES_SW_MAX_LENGTH, -1},
                 {AES_SW_MAX_LENGTH + 16, -1},
                 {0x20000000, -1},  // x 8 wraps to 2^32 -> 0 in 32 bits
                 {INT_MAX & ~15, -1}};
    for (const auto& c : cases) {
        Bytes out(64, 0xAB);
        // The buffers are far shorter than the lengths: anything but an
        // up-front refusal would read or write out of bounds.
        EXPECT_EQ(aes_SwEncrypt(key.data(), iv.data(), in.data(), c.length, out.data()), c.want) << c.length;
        EXPECT_EQ(aes_SwDecrypt(key.data(), iv.data(), in.data(), c.length, out.data()), c.want) << c.length;
        EXPECT_EQ(out, Bytes(64, 0xAB)) << c.length;
    }
    Bytes out(16);
    EXPECT_EQ(aes_SwEncrypt(key.data(), iv.data(), nullptr, 16, out.data()), -1);
    EXPECT_EQ(aes_SwDecrypt(nullptr, iv.data(), in.data(), 16, out.data()), -1);
}

TEST(AesInstance, ResultCodes) {
    const Bytes key(32, 0x5A);
    AesKeySchedule ks;
    EXPECT_EQ(aesMakeKey(nullptr, 0, 128, key.data()), AES_BAD_KEY_INSTANCE);
    EXPECT_EQ(aesMakeKey(&ks, 2, 128, key.data()), AES_BAD_KEY_DIR);
    for (int bits : {0, 64, 127, 129, 512, -128})
        EXPECT_EQ(aesMakeKey(&ks, 0, bits, key.data()), AES_BAD_KEY_MAT) << bits;
    for (auto [bits, rounds] : {std::pair{128, 10}, {192, 12}, {256, 14}}) {
        ASSERT_EQ(aesMakeKey(&ks, 1, bits, key.data()), AES_OK);
        EXPECT_EQ(ks.rounds, rounds);
        EXPECT_EQ(ks.direction, 1);
    }

    AesCipherState cs;
    EXPECT_EQ(aesCipherInit(&cs, 0, nullptr), AES_BAD_CIPHER_MODE);
    EXPECT_EQ(aesCipherInit(&cs, 3, nullptr), AES_BAD_CIPHER_MODE);
    ASSERT_EQ(aesCipherInit(&cs, AES_MODE_CBC, nullptr), AES_OK);
    EXPECT_EQ(Bytes(cs.chainBlock, cs.chainBlock + 16), Bytes(16, 0));

    AesKeySchedule enc, dec;
    ASSERT_EQ(aesMakeKey(&enc, 0, 128, key.data()), AES_OK);
    ASSERT_EQ(aesMakeKey(&dec, 1, 128, key.data()), AES_OK);
    uint8_t in[48] = {}, out[48];
    for (uint8_t mode : {AES_MODE_ECB, AES_MODE_CBC}) {
        ASSERT_EQ(aesCipherInit(&cs, mode, nullptr), AES_OK);
        EXPECT_EQ(aesBlockEncrypt(&cs, &dec, in, 128, out), AES_BAD_CIPHER_STATE);
        EXPECT_EQ(aesBlockDecrypt(&cs, &enc, in, 128, out), AES_BAD_CIPHER_STATE);
        // Record checks come before the input check.
        EXPECT_EQ(aesBlockEncrypt(&cs, &dec, nullptr, 0, out), AES_BAD_CIPHER_STATE);
        EXPECT_EQ(aesBlockEncrypt(nullptr, &enc, in, 128, out), AES_BAD_CIPHER_STATE);
        EXPECT_EQ(aesBlockDecrypt(&cs, nullptr, in, 128, out), AES_BAD_CIPHER_STATE);
        EXPECT_EQ(aesBlockEncrypt(&cs, &enc, nullptr, 128, out), 0);
        EXPECT_EQ(aesBlockEncrypt(&cs, &enc, in, 0, out), 0);
        EXPECT_EQ(aesBlockEncrypt(&cs, &enc, in, -128, out), 0);
    }
    // A caller's record with a round count no key size has is refused before
    // any round key is read; the block primitives leave the output alone.
    for (int rounds : {0, 9, 11, 16, 1000, -10}) {
        AesKeySchedule bad = enc;
        bad.rounds = rounds;
        ASSERT_EQ(aesCipherInit(&cs, AES_MODE_CBC, nullptr), AES_OK);
        EXPECT_EQ(aesBlockEncrypt(&cs, &bad, in, 384, out), AES_BAD_CIPHER_STATE) << rounds;
        bad.direction = AES_DIR_DECRYPT;
        EXPECT_EQ(aesBlockDecrypt(&cs, &bad, in, 384, out), AES_BAD_CIPHER_STATE) << rounds;
        uint8_t block[16] = {0x77};
        rijndaelEncrypt(bad.roundKeys, rounds, in, block);
        rijndaelDecrypt(bad.roundKeys, rounds, in, block);
        EXPECT_EQ(block[0], 0x77) << rounds;
    }
    // The mode check comes after the input check.
    cs.mode = 3;
    EXPECT_EQ(aesBlockEncrypt(&cs, &enc, nullptr, 128, out), 0);
    EXPECT_EQ(aesBlockEncrypt(&cs, &enc, in, 128, out), AES_BAD_CIPHER_STATE);
    EXPECT_EQ(aesBlockDecrypt(&cs, &dec, in, 128, out), AES_BAD_CIPHER_STATE);
}

TEST(AesInstance, OnlyWholeBlocksAndChainContinues) {
    const Bytes key(16, 0x42), iv(16, 0x24);
    std::mt19937_64 rng(1);
    const Bytes pt = tt::randomBytes(rng, 48);
    AesKeySchedule ks;
    AesCipherState cs;
    ASSERT_EQ(aesMakeKey(&ks, 0, 128, key.data()), AES_OK);

    ASSERT_EQ(aesCipherInit(&cs, AES_MODE_CBC, iv.data()), AES_OK);
    Bytes out(48, 0xCC);
    EXPECT_EQ(aesBlockEncrypt(&cs, &ks, pt.data(), 100, out.data()), 0);
    EXPECT_EQ(out, Bytes(48, 0xCC));
    EXPECT_EQ(Bytes(cs.chainBlock, cs.chainBlock + 16), iv);

    EXPECT_EQ(aesBlockEncrypt(&cs, &ks, pt.data(), 300, out.data()), 256);
    EXPECT_EQ(Bytes(out.begin() + 32, out.end()), Bytes(16, 0xCC));
    EXPECT_EQ(Bytes(cs.chainBlock, cs.chainBlock + 16), Bytes(out.begin() + 16, out.begin() + 32));
    // The same record carries the chain on to the third block.
    EXPECT_EQ(aesBlockEncrypt(&cs, &ks, pt.data() + 32, 128, out.data() + 32), 128);
    EXPECT_EQ(out, opensslCbc128(true, key, iv, pt));

    AesKeySchedule dk;
    ASSERT_EQ(aesMakeKey(&dk, 1, 128, key.data()), AES_OK);
    ASSERT_EQ(aesCipherInit(&cs, AES_MODE_CBC, iv.data()), AES_OK);
    Bytes back = out;
    EXPECT_EQ(aesBlockDecrypt(&cs, &dk, back.data(), 128, back.data()), 128);
    EXPECT_EQ(aesBlockDecrypt(&cs, &dk, back.data() + 16, 256, back.data() + 16), 256);
    EXPECT_EQ(back, pt);
}

TEST(AesHwKeyExpand, ExportsDecryptionSchedule) {
    // FIPS 197 appendix A.1 key; the decryption schedule starts with the
    // last encryption round key and ends with the cipher key itself.
    const Bytes key = tt::fromHex("2b7e151628aed2a6abf7158809cf4f3c");
    uint8_t out[176];
    ASSERT_EQ(aes_HwKeyExpand(key.data(), out), 0);
    uint32_t w[44];
    std::memcpy(w, out, sizeof w);
    EXPECT_EQ(w[0], 0xd014f9a8u);
    EXPECT_EQ(w[3], 0xb6630ca6u);
    EXPECT_EQ(w[40], 0x2b7e1516u);
    EXPECT_EQ(w[43], 0x09cf4f3cu);

    AesKeySchedule ks;
    ASSERT_EQ(aesMakeKey(&ks, 1, 128, key.data()), AES_OK);
    EXPECT_EQ(0, std::memcmp(out, ks.roundKeys, 176));
}

}  // namespace
