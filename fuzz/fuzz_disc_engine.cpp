// Differential: the incremental disc layout fed in random pieces (with
// refused calls in between) against the file-driven path over the whole
// content. Contents reach past one and two super blocks.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/sha.h>

#include "es/disk_layout.h"
#include "es/tmd.h"

namespace {

constexpr size_t kSuper = DVD_DATA_BYTES_PER_SUPERBLOCK;

// The file-driven path's output and table for a content held in memory.
bool streamReference(const std::vector<uint8_t>& plain, const uint8_t key[16],
                     std::vector<uint8_t>& out, std::vector<uint8_t>& table) {
    std::vector<uint8_t> copy(plain);
    copy.push_back(0);  // fmemopen needs a non-empty buffer; the size below excludes it
    FILE* in = plain.empty() ? std::fopen("/dev/null", "rb")
                             : fmemopen(copy.data(), plain.size(), "rb");
    const int fd = memfd_create("disc", 0);
    if (!in || fd < 0) std::abort();
    table.assign(SUPERBLOCK_HASH_TABLE_BYTES, 0);
    uint32_t slots = 0;
    const int32_t r = encryptDiskStream(in, fd, key, table.data(), SUPERBLOCK_HASH_TABLE_ENTRIES, &slots);
    std::fclose(in);
    const off_t n = lseek(fd, 0, SEEK_END);
    out.resize(static_cast<size_t>(n));
    if (n > 0 && pread(fd, out.data(), out.size(), 0) != n) std::abort();
    close(fd);
    return r == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    uint8_t key[16] = {};
    const auto keyBytes = in.ConsumeBytes<uint8_t>(16);
    std::copy(keyBytes.begin(), keyBytes.end(), key);
    size_t len;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: len = in.ConsumeIntegralInRange<size_t>(0, 100000); break;
        case 1: len = kSuper - 40000 + in.ConsumeIntegralInRange<size_t>(0, 80000); break;
        case 2: len = 2 * kSuper - 2000 + in.ConsumeIntegralInRange<size_t>(0, 4000); break;
        default: len = kSuper * in.ConsumeIntegralInRange<size_t>(0, 2); break;
    }
    std::vector<uint8_t> plain(len);
    const uint8_t seed = in.ConsumeIntegral<uint8_t>();
    for (size_t i = 0; i < len; ++i) plain[i] = static_cast<uint8_t>(seed ^ (i * 2654435761u >> 13));

    static auto ctx = std::make_unique<DiskEncryptContext>();
    static std::vector<uint8_t> out(DVD_BYTES_PER_SUPERBLOCK);
    if (ES_DiskEncryptContentReset(ctx.get(), 0, key) != 0) std::abort();
    std::vector<uint8_t> cipher;
    size_t pos = 0;
    while (pos < len) {
        size_t piece = in.remaining_bytes() ? in.ConsumeIntegralInRange<size_t>(0, kSuper) : kSuper;
        piece = std::min(piece, len - pos);
        if (in.ConsumeBool()) {
            if (ES_DiskEncryptContentUpdate(ctx.get(), plain.data() + pos, static_cast<uint32_t>(piece),
                                            out.data(), DVD_BYTES_PER_SUPERBLOCK - 1) != ES_ERR_INVALID)
                std::abort();
        }
        const int32_t r = ES_DiskEncryptContentUpdate(ctx.get(), plain.data() + pos,
                                                      static_cast<uint32_t>(piece), out.data(),
                                                      DVD_BYTES_PER_SUPERBLOCK);
        if (r != 0 && r != static_cast<int32_t>(DVD_BYTES_PER_SUPERBLOCK)) std::abort();
        cipher.insert(cipher.end(), out.begin(), out.begin() + r);
        pos += piece;
    }
    uint8_t hash[20];
    const int32_t f = ES_DiskEncryptContentFinal(ctx.get(), out.data(), DVD_BYTES_PER_SUPERBLOCK, hash);
    if (f < 0 || f % DVD_BYTES_PER_BLOCK != 0) std::abort();
    cipher.insert(cipher.end(), out.begin(), out.begin() + f);

    std::vector<uint8_t> expected, table;
    if (!streamReference(plain, key, expected, table)) std::abort();
    uint8_t expectedHash[SHA_DIGEST_LENGTH];
    SHA1(table.data(), table.size(), expectedHash);
    if (cipher != expected || std::memcmp(hash, expectedHash, sizeof hash) != 0 ||
        std::memcmp(ctx->hashTable, table.data(), ctx->hashTableUsed) != 0)
        std::abort();
    return 0;
}
