#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <openssl/evp.h>

#include "es/tmd.h"
#include "es_test_util.h"

namespace {

using tt::Bytes;

const Bytes kKey = tt::fromHex("000102030405060708090a0b0c0d0e0f");

struct EngineResult {
    Bytes cipher;
    Bytes hash;
};

// Runs the engine over `data` cut into the given piece sizes (repeated).
EngineResult runEngine(const Bytes& data, uint16_t index, const std::vector<size_t>& pieces) {
    ContentEncryptContext ctx;
    EXPECT_EQ(ES_EncryptContentReset(&ctx, index, kKey.data()), 0);
    EngineResult res;
    Bytes out(data.size() + 32);
    size_t pos = 0;
    for (size_t i = 0; pos < data.size(); ++i) {
        size_t n = std::min(pieces[i % pieces.size()], data.size() - pos);
        int32_t r = ES_EncryptContentUpdate(&ctx, data.data() + pos, static_cast<uint32_t>(n),
                                            out.data(), static_cast<uint32_t>(out.size()));
        EXPECT_GE(r, 0);
        EXPECT_EQ(r % 16, 0);
        res.cipher.insert(res.cipher.end(), out.begin(), out.begin() + r);
        pos += n;
    }
    res.hash.resize(20);
    int32_t r = ES_EncryptContentFinal(&ctx, out.data(), 16, res.hash.data());
    EXPECT_TRUE(r == 0 || r == 16);
    res.cipher.insert(res.cipher.end(), out.begin(), out.begin() + std::max(r, 0));
    return res;
}

TEST(ContentEngine, PiecesGiveTheSameStreamAsOnePiece) {
    std::mt19937_64 rng(7);
    const Bytes data = tt::randomBytes(rng, 70001);
    const EngineResult whole = runEngine(data, 3, {data.size()});
    ASSERT_EQ(whole.cipher.size(), 70016u);
    EXPECT_EQ(whole.hash, tt::opensslSha1(data));

    std::vector<std::vector<size_t>> splits = {{1}, {15}, {16}, {17}, {1, 15, 16, 17}};
    std::vector<size_t> randomSplit;
    for (int i = 0; i < 64; ++i) randomSplit.push_back(1 + rng() % 5000);
    splits.push_back(randomSplit);
    for (const auto& split : splits) {
        EngineResult pieces = runEngine(data, 3, split);
        EXPECT_EQ(pieces.cipher, whole.cipher) << "first piece " << split[0];
        EXPECT_EQ(pieces.hash, whole.hash) << "first piece " << split[0];
    }
}

TEST(ContentEngine, UpdateReportsOnlyCompletedBlocks) {
    ContentEncryptContext ctx;
    ASSERT_EQ(ES_EncryptContentReset(&ctx, 0, kKey.data()), 0);
    uint8_t in[32] = {};
    uint8_t out[64];
    EXPECT_EQ(ES_EncryptContentUpdate(&ctx, in, 1, out, sizeof out), 0);
    EXPECT_EQ(ES_EncryptContentUpdate(&ctx, in, 14, out, sizeof out), 0);
    EXPECT_EQ(ES_EncryptContentUpdate(&ctx, in, 1, out, sizeof out), 16);
    EXPECT_EQ(ES_EncryptContentUpdate(&ctx, in, 17, out, sizeof out), 16);
    EXPECT_EQ(ctx.pendingLen, 1u);
}

TEST(ContentEngine, RefusesOutputAreasThatAreTooSmall) {
    ContentEncryptContext ctx;
    ASSERT_EQ(ES_EncryptContentReset(&ctx, 0, kKey.data()), 0);
    uint8_t in[64] = {};
    uint8_t out[64];
    EXPECT_EQ(ES_EncryptContentUpdate(&ctx, in, 8, out, 15), ES_ERR_INVALID);
    EXPECT_EQ(ES_EncryptContentUpdate(&ctx, in, 33, out, 32), ES_ERR_INVALID);
    EXPECT_EQ(ES_EncryptContentUpdate(&ctx, in, 8, out, 16), 0);
    // 8 pending + 40 new = 48 bytes to write into an area of 40.
    EXPECT_EQ(ES_EncryptContentUpdate(&ctx, in, 40, out, 40), ES_ERR_INVALID);
    EXPECT_EQ(ctx.pendingLen, 8u);
    uint8_t hash[20];
    EXPECT_EQ(ES_EncryptContentFinal(&ctx, out, 15, hash), ES_ERR_INVALID);
    EXPECT_EQ(ES_EncryptContentFinal(&ctx, out, 16, hash), 16);
    EXPECT_EQ(ES_EncryptContentReset(nullptr, 0, kKey.data()), ES_ERR_INVALID);
    EXPECT_EQ(ES_EncryptContentReset(&ctx, 0, nullptr), ES_ERR_INVALID);
}

TEST(ContentEngine, IndexChangesTheIv) {
    const Bytes data(48, 0x5a);
    EXPECT_NE(runEngine(data, 0, {48}).cipher, runEngine(data, 1, {48}).cipher);
}

// The file-level operation against the openssl command line.
TEST(EncryptContentFile, DecryptsBackToZeroPaddedInput) {
    tt::TempDir tmp;
    est::InDir in(tmp.path());
    std::mt19937_64 rng(11);
    // Small sizes, then sizes around the engine's 256 KiB pieces and its
    // ring of eight: whole pieces go to the device directly, a ragged tail
    // through the page cache, and a last piece that ends its ring slot
    // (8 pieces less one byte) gets its padding block at the slot's very end.
    constexpr size_t kPiece = 256u << 10;
    for (size_t size : {size_t{0}, size_t{17}, size_t{16384}, size_t{16385}, size_t{50000},
                        kPiece - 1, kPiece, kPiece + 1, 8 * kPiece - 1, 8 * kPiece,
                        9 * kPiece + 4101}) {
        SCOPED_TRACE(size);
        const Bytes data = tt::randomBytes(rng, size);
        tt::writeFile(tmp / "content.bin", data);
        uint8_t hash[20];
        const uint16_t index = static_cast<uint16_t>(size % 7 + 0x100);
        uint8_t iv[16];
        ES_ContentIv(index, iv);
        EXPECT_EQ(Bytes(iv, iv + 16), tt::contentIv(index));
        ASSERT_EQ(ES_EncryptContent("content.bin", 0x1f, index, kKey.data(), hash), 0);
        const Bytes cipher = tt::readFile(tmp / "0000001f.app");
        EXPECT_EQ(cipher.size(), (size + 15) / 16 * 16);
        EXPECT_EQ(Bytes(hash, hash + 20), tt::opensslSha1(data));
        if (size > 0) {
            EXPECT_EQ(est::opensslDecrypt(kKey, tt::contentIv(index), cipher), tt::zeroPadded(data));
        }
    }
    EXPECT_EQ(est::listDir(tmp.path()), (std::vector<std::string>{"0000001f.app", "content.bin"}));
}

// Each failure has its code, and none touches an earlier output or leaves a
// temporary behind.
TEST(EncryptContentFile, FailuresKeepAnEarlierOutputAndLeaveNoTemporary) {
    tt::TempDir tmp;
    est::InDir in(tmp.path());
    const Bytes good(100, 1);
    tt::writeFile(tmp / "00000002.app", good);
    tt::writeFile(tmp / "big.bin", Bytes(200000, 3));
    std::filesystem::create_directory(tmp / "adir");
    const struct {
        const char* path;
        size_t sizeLimit;  // 0: none; else writes fail part way, as on a full disk
        int32_t want;
    } cases[] = {
        {"missing.bin", 0, ES_ERR_FILE_OPEN},
        {"adir", 0, ES_ERR_FILE_READ},  // a directory opens, but every read fails
        {"big.bin", 50000, ES_ERR_FILE_WRITE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EXIT(
            {
                if (c.sizeLimit) est::limitFileSize(c.sizeLimit);
                uint8_t hash[20];
                _exit(ES_EncryptContent(c.path, 2, 0, kKey.data(), hash) == c.want ? 0 : 10);
            },
            testing::ExitedWithCode(0), "");
        EXPECT_EQ(tt::readFile(tmp / "00000002.app"), good);
        EXPECT_EQ(est::listDir(tmp.path()), (std::vector<std::string>{"00000002.app", "adir", "big.bin"}));
    }
}

TEST(EncryptContentFile, OutputHasTheModeOfAPlainNewFile) {
    tt::TempDir tmp;
    est::InDir in(tmp.path());
    tt::writeFile(tmp / "c.bin", Bytes(5, 1));
    uint8_t hash[20];
    ASSERT_EQ(ES_EncryptContent("c.bin", 6, 0, kKey.data(), hash), 0);
    mode_t mask = umask(0);
    umask(mask);
    auto perms = std::filesystem::status(tmp / "00000006.app").permissions();
    EXPECT_EQ(static_cast<unsigned>(perms), 0666u & ~static_cast<unsigned>(mask));
}

// Each direction of the title-key format against libcrypto: the derivation
// (MD5 of 16 hex digits and the salt), and decryption and encryption under
// the common key with the title ID as IV.
TEST(TitleKey, DerivesDecryptsAndEncrypts) {
    const Bytes common = tt::fromHex("2b7e151628aed2a6abf7158809cf4f3c");
    for (const uint64_t titleId : {0x0102030405060708ull, 0x500000ABCull}) {
        SCOPED_TRACE(titleId);
        char text[32];
        std::snprintf(text, sizeof text, "%016llxqentor", static_cast<unsigned long long>(titleId));
        Bytes md5(16);
        ASSERT_EQ(EVP_Digest(text, 22, md5.data(), nullptr, EVP_md5(), nullptr), 1);
        uint8_t title[16], out[16], back[16], iv[16];
        ASSERT_EQ(ES_DeriveTitleKey(titleId, title), 0);
        EXPECT_EQ(Bytes(title, title + 16), md5);

        ES_TitleKeyIv(titleId, iv);
        Bytes wantIv(16, 0);
        for (int i = 0; i < 8; ++i) wantIv[static_cast<size_t>(i)] = static_cast<uint8_t>(titleId >> (56 - 8 * i));
        EXPECT_EQ(Bytes(iv, iv + 16), wantIv);
        ASSERT_EQ(ES_CpEncryptTitleKey(common.data(), titleId, title, out), 0);
        EXPECT_EQ(est::opensslDecrypt(common, wantIv, Bytes(out, out + 16)), md5);
        ASSERT_EQ(ES_CpDecryptTitleKey(common.data(), titleId, out, back), 0);
        EXPECT_EQ(Bytes(back, back + 16), md5);
    }
    uint8_t k[16] = {};
    EXPECT_EQ(ES_CpEncryptTitleKey(nullptr, 1, k, k), ES_ERR_INVALID);
    EXPECT_EQ(ES_CpDecryptTitleKey(nullptr, 1, k, k), ES_ERR_INVALID);
    EXPECT_EQ(ES_DeriveTitleKey(1, nullptr), ES_ERR_INVALID);
}

}  // namespace
