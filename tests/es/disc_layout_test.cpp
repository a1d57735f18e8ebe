#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "es/disk_encrypt.h"
#include "es/disk_layout.h"
#include "es/tmd.h"
#include "es_test_util.h"

namespace {

using tt::Bytes;

constexpr size_t SUPER = DVD_DATA_BYTES_PER_SUPERBLOCK;
const Bytes kKey = tt::fromHex("8f0e1d2c3b4a59687766554433221100");

struct FilePtrCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FilePtrCloser>;

struct Incremental {
    Bytes out;
    Bytes hash;
    Bytes table;  // used slots
};

// The incremental API over `data` cut into random pieces of up to a super
// block (pieces of exactly one super block included).
Incremental runIncremental(const Bytes& data, std::mt19937_64& rng) {
    auto ctx = std::make_unique<DiskEncryptContext>();
    EXPECT_EQ(ES_DiskEncryptContentReset(ctx.get(), 9, kKey.data()), 0);
    Incremental res;
    Bytes out(DVD_BYTES_PER_SUPERBLOCK);
    size_t pos = 0;
    while (pos < data.size()) {
        size_t pick = rng() % 4;
        size_t n = pick == 0 ? SUPER : pick == 1 ? 1 + rng() % 100 : 1 + rng() % SUPER;
        n = std::min(n, data.size() - pos);
        int32_t r = ES_DiskEncryptContentUpdate(ctx.get(), data.data() + pos, static_cast<uint32_t>(n),
                                                out.data(), static_cast<uint32_t>(out.size()));
        EXPECT_TRUE(r == 0 || r == static_cast<int32_t>(DVD_BYTES_PER_SUPERBLOCK)) << r;
        if (r > 0) res.out.insert(res.out.end(), out.begin(), out.begin() + r);
        pos += n;
    }
    res.hash.resize(20);
    int32_t r = ES_DiskEncryptContentFinal(ctx.get(), out.data(), static_cast<uint32_t>(out.size()),
                                           res.hash.data());
    EXPECT_GE(r, 0);
    EXPECT_EQ(r % DVD_BYTES_PER_BLOCK, 0);
    if (r > 0) res.out.insert(res.out.end(), out.begin(), out.begin() + r);
    res.table.assign(ctx->hashTable, ctx->hashTable + ctx->hashTableUsed);
    return res;
}

TEST(DiscLayout, BothPathsMatchAnIndependentRebuild) {
    tt::TempDir tmp;
    est::InDir in(tmp.path());
    std::mt19937_64 rng(2031616);
    const size_t sizes[] = {0, 1, 31744, 31745, SUPER, SUPER + 1, 3 * SUPER + 40000};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const Bytes data = tt::randomBytes(rng, size);
        tt::writeFile(tmp / "plain.bin", data);
        uint8_t hash[20];
        ASSERT_EQ(encryptDiskContent("plain.bin", 0xab, kKey.data(), hash), 0);
        const Bytes app = tt::readFile(tmp / "000000ab.app");
        const Bytes hashFile = tt::readFile(tmp / "000000ab.hash");
        EXPECT_EQ(app.size(), (size + 31743) / 31744 * DVD_BYTES_PER_BLOCK);

        tt::RunResult check = tt::run({tt::pythonPath(), tt::scriptsDir() + "/check_disc_layout.py",
                                       "plain.bin", "000000ab.app", "000000ab.hash", tt::toHex(kKey),
                                       tt::toHex(hash, 20)},
                                      tmp.path());
        EXPECT_EQ(check.status, 0) << check.out << check.err;

        Incremental inc = runIncremental(data, rng);
        EXPECT_EQ(inc.out, app);
        EXPECT_EQ(inc.hash, Bytes(hash, hash + 20));
        // The file-driven table ends with an empty slot on a super-block boundary.
        Bytes incFile = inc.table;
        if (size % SUPER == 0) incFile.resize(incFile.size() + 20, 0);
        EXPECT_EQ(incFile, hashFile);
    }
    EXPECT_EQ(est::listDir(tmp.path()),
              (std::vector<std::string>{"000000ab.app", "000000ab.hash", "plain.bin"}));
}

TEST(DiscLayout, StreamedContentMatchesARegularFile) {
    // A regular file's output has its space set aside up front; a pipe's
    // size is unknown, so its output grows as the blocks come. Both must
    // give the same files.
    tt::TempDir tmp;
    est::InDir in(tmp.path());
    std::mt19937_64 rng(5);
    for (size_t size : {SUPER - 1, 2 * SUPER, 2 * SUPER + 31745}) {
        SCOPED_TRACE(size);
        const Bytes data = tt::randomBytes(rng, size);
        tt::writeFile(tmp / "plain.bin", data);
        uint8_t fileHash[20], pipeHash[20];
        ASSERT_EQ(encryptDiskContent("plain.bin", 1, kKey.data(), fileHash), 0);
        const Bytes app = tt::readFile(tmp / "00000001.app");
        const Bytes table = tt::readFile(tmp / "00000001.hash");

        ASSERT_EQ(mkfifo("pipe", 0600), 0);
        std::thread feeder([&] {
            FilePtr f(std::fopen("pipe", "wb"));
            if (f) std::fwrite(data.data(), 1, data.size(), f.get());
        });
        const int32_t r = encryptDiskContent("pipe", 2, kKey.data(), pipeHash);
        feeder.join();
        std::filesystem::remove(tmp / "pipe");
        ASSERT_EQ(r, 0);
        EXPECT_EQ(tt::readFile(tmp / "00000002.app"), app);
        EXPECT_EQ(tt::readFile(tmp / "00000002.hash"), table);
        EXPECT_EQ(Bytes(pipeHash, pipeHash + 20), Bytes(fileHash, fileHash + 20));
    }
}

TEST(DiscLayout, BlocksDecryptWithTheOpensslCommandLine) {
    std::mt19937_64 rng(3);
    const Bytes data = tt::randomBytes(rng, 31745);
    auto ctx = std::make_unique<DiskEncryptContext>();
    ASSERT_EQ(ES_DiskEncryptContentReset(ctx.get(), 0, kKey.data()), 0);
    Bytes out(DVD_BYTES_PER_SUPERBLOCK);
    ASSERT_EQ(ES_DiskEncryptContentUpdate(ctx.get(), data.data(), 31745, out.data(), out.size()), 0);
    uint8_t hash[20];
    ASSERT_EQ(ES_DiskEncryptContentFinal(ctx.get(), out.data(), 2 * DVD_BYTES_PER_BLOCK, hash),
              static_cast<int32_t>(2 * DVD_BYTES_PER_BLOCK));

    // Second block: one data byte and zeros; its hash block carries the chunk
    // hashes of that block and the block hashes of its group.
    const uint8_t* blk = out.data() + DVD_BYTES_PER_BLOCK;
    Bytes hb = est::opensslDecrypt(kKey, Bytes(16, 0), Bytes(blk, blk + 1024));
    Bytes plain = est::opensslDecrypt(kKey, Bytes(blk + 976, blk + 992), Bytes(blk + 1024, blk + 32768));
    Bytes want(31744, 0);
    want[0] = data[31744];
    EXPECT_EQ(plain, want);
    EXPECT_EQ(Bytes(hb.begin(), hb.begin() + 20), tt::opensslSha1(Bytes(want.begin(), want.begin() + 1024)));
    EXPECT_EQ(Bytes(hb.begin() + 20, hb.begin() + 40), tt::opensslSha1(Bytes(1024, 0)));
    EXPECT_EQ(Bytes(hb.begin() + 620, hb.begin() + 640), Bytes(20, 0));
    Bytes chunkHashes(hb.begin(), hb.begin() + 620);
    EXPECT_EQ(Bytes(hb.begin() + 660, hb.begin() + 680), tt::opensslSha1(chunkHashes));
    const Bytes firstHb = est::opensslDecrypt(kKey, Bytes(16, 0), Bytes(out.begin(), out.begin() + 1024));
    EXPECT_EQ(Bytes(firstHb.begin() + 640, firstHb.end()), Bytes(hb.begin() + 640, hb.end()));
}

TEST(DiscLayout, IncrementalRefusalsChangeNothing) {
    auto ctx = std::make_unique<DiskEncryptContext>();
    ASSERT_EQ(ES_DiskEncryptContentReset(ctx.get(), 0, kKey.data()), 0);
    EXPECT_EQ(ES_DiskEncryptContentReset(nullptr, 0, kKey.data()), ES_ERR_INVALID);
    EXPECT_EQ(ES_DiskEncryptContentReset(ctx.get(), 0, nullptr), ES_ERR_INVALID);
    Bytes in(SUPER + 1, 1), out(DVD_BYTES_PER_SUPERBLOCK);
    EXPECT_EQ(ES_DiskEncryptContentUpdate(ctx.get(), in.data(), SUPER + 1, out.data(), out.size()), ES_ERR_INVALID);
    EXPECT_EQ(ES_DiskEncryptContentUpdate(ctx.get(), in.data(), 10, out.data(), out.size() - 1), ES_ERR_INVALID);
    EXPECT_EQ(ctx->buffered, 0u);
    ASSERT_EQ(ES_DiskEncryptContentUpdate(ctx.get(), in.data(), 31745, out.data(), out.size()), 0);
    uint8_t hash[20];
    EXPECT_EQ(ES_DiskEncryptContentFinal(ctx.get(), out.data(), 2 * DVD_BYTES_PER_BLOCK - 1, hash), ES_ERR_INVALID);
    EXPECT_EQ(ctx->buffered, 31745u);

    // A full table refuses another super block, complete or final.
    ctx->hashTableUsed = SUPERBLOCK_HASH_TABLE_ENTRIES * 20;
    EXPECT_EQ(ES_DiskEncryptContentUpdate(ctx.get(), in.data(), SUPER - 31745, out.data(), out.size()), ES_ERR_INVALID);
    EXPECT_EQ(ES_DiskEncryptContentFinal(ctx.get(), out.data(), out.size(), hash), ES_ERR_INVALID);
    EXPECT_EQ(ctx->buffered, 31745u);
    ctx->buffered = 0;
    EXPECT_EQ(ES_DiskEncryptContentFinal(ctx.get(), out.data(), out.size(), hash), 0);
}

// The table bound of the file-driven path, with small tables standing in for
// the 4,915-slot one.
TEST(DiscLayout, StreamRefusesContentBeyondItsTable) {
    tt::TempDir tmp;
    struct Case {
        uint32_t entries;
        size_t size;
        int32_t want;
        uint32_t slots;
    };
    const Case cases[] = {
        {0, 0, 0, 0},
        {0, 1, ES_ERR_INVALID, 0},
        {1, SUPER, 0, 1},  // exactly full: the closing empty read takes no slot
        {2, SUPER, 0, 2},  // room left: it takes its all-zero slot
        {1, SUPER + 1, ES_ERR_INVALID, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.entries) + "/" + std::to_string(c.size));
        tt::writeFile(tmp / "in.bin", Bytes(c.size, 0x33));
        FilePtr in(std::fopen((tmp / "in.bin").c_str(), "rb"));
        FilePtr out(std::fopen((tmp / "out.bin").c_str(), "wb"));
        ASSERT_TRUE(in && out);
        // Guard slots after the table must stay untouched.
        Bytes table((c.entries + 2) * 20, 0xCC);
        std::fill(table.begin(), table.begin() + c.entries * 20, 0);
        uint32_t slots = 99;
        EXPECT_EQ(encryptDiskStream(in.get(), fileno(out.get()), kKey.data(), table.data(), c.entries, &slots), c.want);
        EXPECT_EQ(slots, c.slots);
        EXPECT_EQ(Bytes(table.begin() + c.entries * 20, table.end()), Bytes(40, 0xCC));
    }
}

TEST(DiscLayout, ReadErrorIsNotEndOfFile) {
    tt::TempDir tmp;
    FilePtr in(std::fopen(tmp.path().c_str(), "rb"));  // a directory: reads fail
    FilePtr out(std::fopen((tmp / "out.bin").c_str(), "wb"));
    ASSERT_TRUE(in && out);
    Bytes table(40, 0);
    uint32_t slots;
    testing::internal::CaptureStdout();
    int32_t r = encryptDiskStream(in.get(), fileno(out.get()), kKey.data(), table.data(), 2, &slots);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error when reading input file - exiting\n");
    EXPECT_EQ(r, ES_DISK_FATAL);
}

TEST(DiscLayout, FatalFailuresEndTheRunAndLeaveNoPartialFile) {
    tt::TempDir tmp;
    est::InDir in(tmp.path());
    std::filesystem::create_directory(tmp / "adir");
    tt::writeFile(tmp / "big.bin", Bytes(100000, 7));
    const Bytes earlier(50, 5);
    tt::writeFile(tmp / "00000001.app", earlier);
    uint8_t hash[20];
    EXPECT_EXIT(encryptDiskContent("adir", 1, kKey.data(), hash), testing::ExitedWithCode(1), "");
    // Block 1's hash block still fits under the limit, its data only in part.
    EXPECT_EXIT(
        {
            est::limitFileSize(40000);
            encryptDiskContent("big.bin", 1, kKey.data(), hash);
        },
        testing::ExitedWithCode(1), "^Error: write failed \\(6208 out of 31744 written\\) - exit\n$");
    EXPECT_EQ(tt::readFile(tmp / "00000001.app"), earlier);
    EXPECT_EQ(est::listDir(tmp.path()), (std::vector<std::string>{"00000001.app", "adir", "big.bin"}));

    testing::internal::CaptureStderr();
    EXPECT_EQ(encryptDiskContent("missing.bin", 1, kKey.data(), hash), ES_ERR_FILE_OPEN);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Open of content file failed:: No such file or directory\n");
}

}  // namespace
