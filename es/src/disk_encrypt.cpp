#include "es/disk_encrypt.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "csl/sha1.h"
#include "es/disk_layout.h"
#include "output_file.h"

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool writePart(int fd, const uint8_t* data, uint32_t len) {
    size_t done = es_detail::writeFully(fd, data, len);
    if (done == len) return true;
    std::fprintf(stderr, "Error: write failed (%d out of %d written) - exit\n",
                 static_cast<int>(done), static_cast<int>(len));
    return false;
}

// Reads one super block from `in`, writes its blocks to `outFd` and stores
// its hash in `slot`. `slot` is null once the table is full: an empty read
// then still ends the content, anything more is refused. 1 when more input
// may follow, 0 at end of file, or a negative result.
int32_t computeSuperBlock(FILE* in, int outFd, uint8_t* slot, const uint8_t key[16],
                          uint8_t* work, uint8_t* blocks) {
    size_t numRead = std::fread(work, 1, DVD_DATA_BYTES_PER_SUPERBLOCK, in);
    // fread stops short only at end of file or on an error; an error must not
    // pass for the end of the content.
    const bool atEnd = numRead < DVD_DATA_BYTES_PER_SUPERBLOCK;
    if (atEnd && std::ferror(in)) {
        std::printf("Error when reading input file - exiting\n");
        return ES_DISK_FATAL;
    }
    if (numRead == 0) return 0;
    if (!slot) return ES_ERR_INVALID;

    uint32_t produced = 0;
    int32_t r = generateSuperBlock(work, static_cast<uint32_t>(numRead), slot, key, blocks,
                                   &produced);
    if (r != 0) return r;

    // Each block goes out as its hash block, then its data.
    for (uint32_t off = 0; off < produced; off += DVD_BYTES_PER_BLOCK) {
        if (!writePart(outFd, blocks + off, DVD_HASH_BYTES_PER_BLOCK) ||
            !writePart(outFd, blocks + off + DVD_HASH_BYTES_PER_BLOCK, DVD_DATA_BYTES_PER_BLOCK))
            return ES_DISK_FATAL;
    }
    return atEnd ? 0 : 1;
}

}  // namespace

int32_t encryptDiskStream(FILE* in, int outFd, const uint8_t key[16], uint8_t* table,
                          uint32_t tableEntries, uint32_t* slotsUsed) {
    if (slotsUsed) *slotsUsed = 0;
    if (!in || outFd < 0 || !key || !table || !slotsUsed) return ES_ERR_INVALID;

    // One super block of plaintext and its encrypted blocks, reused throughout.
    constexpr size_t workBytes = size_t{DVD_DATA_BYTES_PER_SUPERBLOCK} + DVD_BYTES_PER_SUPERBLOCK;
    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[workBytes]);
    if (!work) {
        std::printf("Cannot malloc %u bytes - exit\n", DVD_DATA_BYTES_PER_SUPERBLOCK);
        return ES_DISK_FATAL;
    }
    uint8_t* blocks = work.get() + DVD_DATA_BYTES_PER_SUPERBLOCK;

    for (;;) {
        uint8_t* slot = *slotsUsed < tableEntries ? table + size_t{*slotsUsed} * SHA1_DIGEST_BYTES
                                                  : nullptr;
        int32_t r = computeSuperBlock(in, outFd, slot, key, work.get(), blocks);
        if (r < 0) return r;
        if (slot) ++*slotsUsed;
        if (r == 0) return 0;
    }
}

int32_t encryptDiskContent(const char* path, uint32_t cid, const uint8_t key[16],
                           uint8_t hashOut[20]) {
    if (!path || !key || !hashOut) return ES_ERR_INVALID;
    FilePtr in(std::fopen(path, "rb"));
    if (!in) {
        std::perror("Open of content file failed:");
        return ES_ERR_FILE_OPEN;
    }

    char name[32];
    std::snprintf(name, sizeof name, "%08x.%s", cid, "app");
    es_detail::OutputFile app;
    if (!app.create(name)) return ES_ERR_FILE_OPEN;

    std::array<uint8_t, SUPERBLOCK_HASH_TABLE_BYTES> table{};
    uint32_t slots = 0;
    int32_t r = encryptDiskStream(in.get(), app.fd(), key, table.data(),
                                  SUPERBLOCK_HASH_TABLE_ENTRIES, &slots);
    in.reset();
    if (r == ES_DISK_FATAL) {
        app.discard();
        std::exit(1);
    }
    if (r != 0) return r;
    if (!app.commit()) return ES_ERR_FILE_WRITE;

    std::snprintf(name, sizeof name, "%08x.hash", cid);
    es_detail::OutputFile hashFile;
    if (!hashFile.create(name)) return ES_ERR_FILE_OPEN;
    if (!hashFile.write(table.data(), size_t{slots} * SHA1_DIGEST_BYTES) || !hashFile.commit())
        return ES_ERR_FILE_WRITE;

    csl_sha1(table.data(), SUPERBLOCK_HASH_TABLE_BYTES, hashOut);
    return 0;
}
