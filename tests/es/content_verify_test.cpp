// The verification of both layouts against packages the engines made:
// intact, and damaged in each way a reader can meet, each named by what it
// finds first. The portable rerun checks the same on the portable code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <random>

#include "csl/sha1.h"
#include "es/content_verify.h"
#include "es/disk_layout.h"
#include "es/tmd.h"
#include "es_test_util.h"

namespace {

using tt::Bytes;
using W = EsVerifyWhat;

const Bytes kKey = tt::fromHex("00112233445566778899aabbccddeeff");
constexpr size_t kNone = std::numeric_limits<size_t>::max();

struct Package {
    Bytes plain, app, hashFile;
    uint8_t hash[20];
};

// The plain engine over `plain`, in pieces that are not whole blocks.
Package plainPackage(Bytes plain, uint16_t index) {
    Package p;
    ContentEncryptContext ctx;
    EXPECT_EQ(ES_EncryptContentReset(&ctx, index, kKey.data()), 0);
    Bytes out(70000 + 16);
    for (size_t at = 0; at < plain.size(); at += 70000) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(70000, plain.size() - at));
        const int32_t w = ES_EncryptContentUpdate(&ctx, plain.data() + at, n, out.data(), static_cast<uint32_t>(out.size()));
        p.app.insert(p.app.end(), out.begin(), out.begin() + w);
    }
    const int32_t w = ES_EncryptContentFinal(&ctx, out.data(), 16, p.hash);
    p.app.insert(p.app.end(), out.begin(), out.begin() + w);
    p.plain = std::move(plain);
    return p;
}

Package discPackage(Bytes plain) {
    tt::TempDir tmp;
    tt::writeFile(tmp / "in.bin", plain);
    Package p;
    FILE* in = std::fopen((tmp / "in.bin").c_str(), "rb");
    const int out = ::open((tmp / "out.bin").c_str(), O_WRONLY | O_CREAT, 0600);
    Bytes table(SUPERBLOCK_HASH_TABLE_BYTES, 0);
    uint32_t slots = 0;
    EXPECT_EQ(encryptDiskStream(in, out, kKey.data(), table.data(), SUPERBLOCK_HASH_TABLE_ENTRIES, &slots), 0);
    std::fclose(in);
    ::close(out);
    p.app = tt::readFile(tmp / "out.bin");
    p.hashFile.assign(table.begin(), table.begin() + slots * 20);
    csl_sha1(table.data(), table.size(), p.hash);
    p.plain = std::move(plain);
    return p;
}

int collect(void* context, const uint8_t* data, size_t n) {
    auto* b = static_cast<Bytes*>(context);
    b->insert(b->end(), data, data + n);
    return 0;
}
int refuse(void*, const uint8_t*, size_t) { return 1; }

struct Case {
    const char* name;
    bool disc;
    int package;             // which of the packages below
    size_t flipApp = kNone;  // byte of the .app to damage
    size_t flipHashFile = kNone;
    size_t appendApp = 0, appendHashFile = 0;
    bool wrongKey = false, noHashFile = false, wrongHash = false, shortRecord = false, refuseSink = false;
    uint64_t recordSize = 0;  // instead of the plaintext's size, when non-zero
    int32_t result = ES_ERR_OK;
    W what = W::none;
    uint64_t superBlock = 0;
    uint32_t block = 0, chunk = 0;
};

TEST(ContentVerify, PackagesOfTheEnginesAndEachDamage) {
    std::mt19937_64 rng(23);
    constexpr size_t SUPER = DVD_DATA_BYTES_PER_SUPERBLOCK;
    // Plain: several pieces of the stream, the last one partial; disc: two
    // super blocks, the second short, and an empty content.
    Bytes plain = tt::randomBytes(rng, (3 << 20) + 5);
    plain.back() = 0xA5;  // a record one byte short leaves it in the padding
    const Package packages[] = {plainPackage(plain, 7),
                                discPackage(tt::randomBytes(rng, SUPER + 40000)), discPackage({})};
    const Case cases[] = {
        {"PlainIntact", false, 0},
        {"PlainSecondPiece", false, 0, (3 << 19) + 9, kNone, 0, 0, false, false, false, false, false, 0,
         ES_ERR_VERIFY_DATA, W::contentHash},
        {"PlainLongerFile", false, 0, kNone, kNone, 16, 0, false, false, false, false, false, 0, ES_ERR_VERIFY_SIZE,
         W::contentSize},
        {"PlainWrongKey", false, 0, kNone, kNone, 0, 0, true, false, false, false, false, 0, ES_ERR_VERIFY_DATA,
         W::contentHash},
        {"PlainRecordShortOfTheBytes", false, 0, kNone, kNone, 0, 0, false, false, false, true, false, 0,
         ES_ERR_VERIFY_DATA, W::padding},
        {"PlainImpossibleSize", false, 0, kNone, kNone, 0, 0, false, false, false, false, false, UINT64_MAX - 3,
         ES_ERR_VERIFY_SIZE, W::impossibleSize},
        {"PlainSinkRefuses", false, 0, kNone, kNone, 0, 0, false, false, false, false, true, 0, ES_ERR_VERIFY_SINK,
         W::sink},
        {"DiscIntact", true, 1},
        {"DiscEmpty", true, 2},
        {"DiscData", true, 1, DVD_BYTES_PER_SUPERBLOCK + 1024 + 77, kNone, 0, 0, false, false, false, false, false, 0,
         ES_ERR_VERIFY_DATA, W::chunkHash, 1, 0, 0},
        {"DiscPaddingOfTheLastBlock", true, 1, DVD_BYTES_PER_SUPERBLOCK + 32768 + 1024 + 30 * 1024, kNone, 0, 0,
         false, false, false, false, false, 0, ES_ERR_VERIFY_DATA, W::blockPadding, 1, 1},
        {"DiscBlockHashes", true, 1, 32768 * 3 + 700, kNone, 0, 0, false, false, false, false, false, 0,
         ES_ERR_VERIFY_DATA, W::blockHashes, 0, 3},
        {"DiscGroupHashes", true, 1, 32768 * 9 + 850, kNone, 0, 0, false, false, false, false, false, 0,
         ES_ERR_VERIFY_DATA, W::groupHashes, 0, 9},
        {"DiscHashFileEntry", true, 1, kNone, 23, 0, 0, false, false, false, false, false, 0, ES_ERR_VERIFY_DATA,
         W::superBlockHash, 1},
        {"DiscHashFileLonger", true, 1, kNone, kNone, 0, 20, false, false, false, false, false, 0, ES_ERR_VERIFY_SIZE,
         W::hashFileSize},
        {"DiscEmptyTrailingSlot", true, 2, kNone, 5, 0, 0, false, false, false, false, false, 0, ES_ERR_VERIFY_DATA,
         W::hashFileTrailing},
        {"DiscNoHashFile", true, 1, kNone, kNone, 0, 0, false, true, false, false, false, 0, ES_ERR_VERIFY_READ,
         W::hashFileMissing},
        {"DiscShorterFile", true, 1, kNone, kNone, 0, 0, false, false, false, true, false, 0, ES_ERR_VERIFY_SIZE,
         W::contentSize},
        {"DiscWrongKey", true, 1, kNone, kNone, 0, 0, true, false, false, false, false, 0, ES_ERR_VERIFY_DATA,
         W::chunkHash},
        {"DiscTmdHash", true, 1, kNone, kNone, 0, 0, false, false, true, false, false, 0, ES_ERR_VERIFY_DATA,
         W::contentHash},
        {"DiscImpossibleSize", true, 1, kNone, kNone, 0, 0, false, false, false, false, false,
         uint64_t{SUPERBLOCK_HASH_TABLE_ENTRIES} * SUPER + 1, ES_ERR_VERIFY_SIZE, W::impossibleSize},
    };
    tt::TempDir tmp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Package& p = packages[c.package];
        Bytes app = p.app, hashFile = p.hashFile, key = kKey;
        uint8_t hash[20];
        std::memcpy(hash, p.hash, 20);
        if (c.flipApp != kNone) app.at(c.flipApp) ^= 0x10;
        if (c.flipHashFile != kNone) hashFile.at(c.flipHashFile) ^= 0x10;
        app.resize(app.size() + c.appendApp);
        hashFile.resize(hashFile.size() + c.appendHashFile);
        if (c.wrongKey) key[0] ^= 1;
        if (c.wrongHash) hash[19] ^= 1;
        uint64_t size = c.recordSize ? c.recordSize : p.plain.size();
        if (c.shortRecord && c.disc) app.resize(app.size() - DVD_BYTES_PER_BLOCK);
        if (c.shortRecord && !c.disc) {
            // The record claims one byte less, with that shorter content's hash.
            size -= 1;
            csl_sha1(p.plain.data(), size, hash);
        }
        tt::writeFile(tmp / "c.app", app);
        // With a sink and without one (the disc check then keeps no
        // plaintext): the same verdict.
        for (bool withSink : {true, false}) {
            if (c.refuseSink && !withSink) continue;
            SCOPED_TRACE(withSink ? "with a sink" : "without a sink");
            const int fd = ::open((tmp / "c.app").c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            Bytes seen;
            EsVerifyFailure f;
            const EsPlainSink sink = !withSink ? nullptr : c.refuseSink ? refuse : collect;
            const int32_t r =
                c.disc ? ES_VerifyDiscContent(fd, key.data(), size, c.noHashFile ? nullptr : hashFile.data(),
                                              hashFile.size(), hash, sink, &seen, &f)
                       : ES_VerifyPlainContent(fd, key.data(), 7, size, hash, sink, &seen, &f);
            ::close(fd);
            EXPECT_EQ(r, c.result);
            EXPECT_EQ(f.what, c.what);
            EXPECT_EQ(f.superBlock, c.superBlock);
            EXPECT_EQ(f.block, c.block);
            EXPECT_EQ(f.chunk, c.chunk);
            if (c.result == ES_ERR_OK && withSink) {
                EXPECT_TRUE(seen == p.plain) << "the sink saw other bytes";
            }
            if (c.what == W::contentSize) {
                EXPECT_EQ(f.actual, app.size());
            }
        }
    }
}

}  // namespace
