#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <memory>
#include <random>

#include "csl/aes.h"
#include "csl/cpu.h"
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

class AesNist : public ::testing::TestWithParam<std::string> {};

TEST_P(AesNist, InstanceInterface) {
    const std::string name = GetParam();
    const bool cbc = name.rfind("CBC", 0) == 0;
    const std::string path = tt::vectorsDir() + "/ciphers/AES/" + (cbc ? "CBC/" : "ECB/") + name;
    TT_NEED_VECTOR_FILE(path);
    const auto recs = rsp::load(path);
    ASSERT_FALSE(recs.empty()) << name;
    int checked = 0;
    for (const auto& r : recs) {
        if (!r.has("KEY")) continue;
        const Bytes key = tt::fromHex(r.at("KEY"));
        const Bytes iv = cbc ? tt::fromHex(r.at("IV")) : Bytes{};
        const Bytes pt = tt::fromHex(r.at("PLAINTEXT"));
        const Bytes ct = tt::fromHex(r.at("CIPHERTEXT"));
        const uint8_t mode = cbc ? AES_MODE_CBC : AES_MODE_ECB;
        const bool enc = r.section == "ENCRYPT";
        if (enc)
            EXPECT_EQ(runInstance(mode, true, key, iv, pt), tt::toHex(ct)) << name << " " << r.at("COUNT");
        else
            EXPECT_EQ(runInstance(mode, false, key, iv, ct), tt::toHex(pt)) << name << " " << r.at("COUNT");

        // The one-shot calls are AES-128-CBC only.
        if (cbc && key.size() == 16) {
            Bytes out(pt.size());
            if (enc) {
                ASSERT_EQ(aes_SwEncrypt(key.data(), iv.data(), pt.data(), static_cast<int>(pt.size()), out.data()), 0);
                EXPECT_EQ(out, ct);
            } else {
                ASSERT_EQ(aes_SwDecrypt(key.data(), iv.data(), ct.data(), static_cast<int>(ct.size()), out.data()), 0);
                EXPECT_EQ(out, pt);
            }
        }
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

std::vector<std::string> nistFiles() {
    std::vector<std::string> v;
    for (const char* mode : {"ECB", "CBC"})
        for (const char* kind : {"GFSbox", "KeySbox", "VarKey", "VarTxt", "MMT"})
            for (const char* bits : {"128", "192", "256"})
                v.push_back(std::string(mode) + kind + bits + ".rsp");
    return v;
}

INSTANTIATE_TEST_SUITE_P(Files, AesNist, ::testing::ValuesIn(nistFiles()),
                         [](const auto& p) { return p.param.substr(0, p.param.size() - 4); });

// Independent cross-check on long random buffers.
Bytes opensslCbc128(bool enc, const Bytes& key, const Bytes& iv, const Bytes& in) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                       EVP_CIPHER_CTX_free);
    EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data(), enc ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(in.size() + 16);
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx.get(), out.data() + n, &m);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

TEST(AesOneShot, MatchesOpensslOnRandomBuffers) {
    std::mt19937_64 rng(197);
    for (size_t blocks : {1u, 2u, 7u, 64u, 1024u}) {
        const Bytes key = tt::randomBytes(rng, 16), iv = tt::randomBytes(rng, 16);
        const Bytes pt = tt::randomBytes(rng, blocks * 16);
        Bytes ct(pt.size()), back(pt.size());
        ASSERT_EQ(aes_SwEncrypt(key.data(), iv.data(), pt.data(), static_cast<int>(pt.size()), ct.data()), 0);
        EXPECT_EQ(ct, opensslCbc128(true, key, iv, pt));
        ASSERT_EQ(aes_SwDecrypt(key.data(), iv.data(), ct.data(), static_cast<int>(ct.size()), back.data()), 0);
        EXPECT_EQ(back, pt);
    }
}

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

TEST(AesKeySchedule, InstructionPathGivesPortableWords) {
    // The AES-instruction expansion must give the table expansion's words
    // for every key size and both directions.
    std::mt19937 rng(15);
    const uint32_t saved = csl_cpu_features();
    for (const int bits : {128, 192, 256}) {
        for (const bool dec : {false, true}) {
            uint8_t key[32];
            for (auto& b : key) b = static_cast<uint8_t>(rng());
            uint32_t hw[60] = {}, sw[60] = {};
            const auto setup = dec ? rijndaelKeySetupDec : rijndaelKeySetupEnc;
            csl_cpu_set_mask(~0u);
            const int rounds = setup(hw, key, bits);
            csl_cpu_set_mask(0);
            EXPECT_EQ(setup(sw, key, bits), rounds);
            EXPECT_EQ(0, std::memcmp(hw, sw, sizeof hw)) << bits << (dec ? " dec" : " enc");
        }
    }
    csl_cpu_set_mask(saved);
}

}  // namespace
