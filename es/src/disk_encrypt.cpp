#include "es/disk_encrypt.h"

#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "csl/sha1.h"
#include "es/disk_layout.h"
#include "io/output_file.h"
#include "io/stream_pipeline.h"
#include "output_path.h"

namespace {

// True when all `len` bytes of a super block's blocks were written; else
// reports the failure for the part (hash block or data) that `done`, the
// count written, stopped in.
bool blocksWritten(size_t done, uint32_t len) {
    if (done == len) return true;
    const size_t inBlock = done % DVD_BYTES_PER_BLOCK;
    const bool inHash = inBlock < DVD_HASH_BYTES_PER_BLOCK;
    const size_t partDone = inHash ? inBlock : inBlock - DVD_HASH_BYTES_PER_BLOCK;
    const uint32_t partLen = inHash ? DVD_HASH_BYTES_PER_BLOCK : DVD_DATA_BYTES_PER_BLOCK;
    std::fprintf(stderr, "Error: write failed (%d out of %d written) - exit\n",
                 static_cast<int>(partDone), static_cast<int>(partLen));
    return false;
}

// Where a stream's blocks go, in order: an output file of this library's,
// which may put them on the device directly (OutputFile::preferDirect), or
// a caller's descriptor, written at its position. Only one thread writes:
// the file system takes a lock on the file for every buffered write, so
// writers side by side would only wait for each other.
struct BlockSink {
    tmd_io::OutputFile* file = nullptr;
    int fd = -1;

    // Writes the encrypted blocks of one super block, each a hash block
    // followed by its data, which lie one after the other in `blocks`.
    bool put(const uint8_t* blocks, uint32_t len) const {
        size_t done = 0;
        if (file)
            (void)file->write(blocks, len, &done);
        else
            done = tmd_io::writeFully(fd, blocks, len);
        return blocksWritten(done, len);
    }
};

// A super block's plaintext, then its encrypted blocks, each part a whole
// number of pages for direct I/O.
constexpr size_t kPieceBytes = size_t{DVD_DATA_BYTES_PER_SUPERBLOCK} + DVD_BYTES_PER_SUPERBLOCK;
static_assert(DVD_DATA_BYTES_PER_SUPERBLOCK % 4096 == 0 && kPieceBytes % 4096 == 0);

// The hash table slot of super block `index`, or null once the table is full.
uint8_t* tableSlot(uint8_t* table, uint32_t tableEntries, uint64_t index) {
    return index < tableEntries ? table + index * SHA1_DIGEST_BYTES : nullptr;
}

// encryptDiskStream into either kind of sink: super blocks are read in order,
// built by workers and written in order. `plainBytes` counts the plaintext
// bytes of the super blocks written. An empty read ends the content, and
// takes a (zero) slot while the table has one; anything read once the table
// is full is refused.
int32_t encryptStreamTo(FILE* in, const BlockSink& out, const uint8_t key[16], uint8_t* table,
                        uint32_t tableEntries, uint32_t* slotsUsed, uint64_t* plainBytes) {
    *slotsUsed = 0;
    *plainBytes = 0;
    tmd_io::StreamSteps steps;
    steps.read = [&](tmd_io::StreamPiece& p) {
        p.size = std::fread(p.buffer, 1, DVD_DATA_BYTES_PER_SUPERBLOCK, in);
        // fread stops short only at end of file or on an error; an error must
        // not pass for the end of the content.
        p.last = p.size < DVD_DATA_BYTES_PER_SUPERBLOCK;
        if (p.last && std::ferror(in)) return ES_DISK_FATAL;
        return p.size > 0 && !tableSlot(table, tableEntries, p.index) ? ES_ERR_INVALID : 0;
    };
    steps.process = [&](tmd_io::StreamPiece& p) {
        p.out = p.buffer + DVD_DATA_BYTES_PER_SUPERBLOCK;
        if (p.size == 0) return 0;
        uint32_t produced = 0;
        const int32_t r = generateSuperBlock(p.buffer, static_cast<uint32_t>(p.size),
                                             tableSlot(table, tableEntries, p.index), key,
                                             p.buffer + DVD_DATA_BYTES_PER_SUPERBLOCK, &produced);
        p.outSize = produced;
        return r;
    };
    steps.write = [&](const tmd_io::StreamPiece& p) {
        if (p.outSize > 0 && !out.put(p.out, static_cast<uint32_t>(p.outSize)))
            return ES_DISK_FATAL;
        *plainBytes += p.size;
        if (tableSlot(table, tableEntries, p.index)) ++*slotsUsed;
        return 0;
    };
    tmd_io::StreamShape shape;
    shape.pieceBytes = kPieceBytes;  // depth and workers from the budget
    const tmd_io::StreamOutcome o = tmd_io::runOrderedStream(shape, steps);
    if (o.stage == tmd_io::StreamStage::Memory)
        std::printf("Cannot malloc %u bytes - exit\n", DVD_DATA_BYTES_PER_SUPERBLOCK);
    else if (o.stage == tmd_io::StreamStage::Read && o.result == ES_DISK_FATAL)
        std::printf("Error when reading input file - exiting\n");
    return o.stage == tmd_io::StreamStage::Memory ? ES_DISK_FATAL : o.result;
}

}  // namespace

int32_t encryptDiskStream(FILE* in, int outFd, const uint8_t key[16], uint8_t* table,
                          uint32_t tableEntries, uint32_t* slotsUsed) {
    if (slotsUsed) *slotsUsed = 0;
    if (!in || outFd < 0 || !key || !table || !slotsUsed) return ES_ERR_INVALID;
    uint64_t plainBytes = 0;
    return encryptStreamTo(in, BlockSink{nullptr, outFd}, key, table, tableEntries, slotsUsed,
                           &plainBytes);
}

int32_t encryptDiskContent(const char* path, uint32_t cid, const uint8_t key[16],
                           uint8_t hashOut[20]) {
    uint64_t plainBytes = 0;
    return encryptDiskContentSized(path, cid, key, hashOut, &plainBytes);
}

int32_t encryptDiskContentSized(const char* path, uint32_t cid, const uint8_t key[16],
                                uint8_t hashOut[20], uint64_t* plainBytes) {
    const int32_t r = encryptDiskContentIn(nullptr, path, cid, key, hashOut, plainBytes);
    if (r == ES_DISK_FATAL) std::exit(1);
    return r;
}

int32_t encryptDiskContentIn(const char* outDir, const char* path, uint32_t cid,
                             const uint8_t key[16], uint8_t hashOut[20], uint64_t* plainBytes) {
    if (plainBytes) *plainBytes = 0;
    if (!path || !key || !hashOut || !plainBytes) return ES_ERR_INVALID;
    tmd_io::FilePtr in(std::fopen(path, "rb"));
    if (!in) {
        std::perror("Open of content file failed:");
        return ES_ERR_FILE_OPEN;
    }

    char name[32];
    std::snprintf(name, sizeof name, "%08x.%s", cid, "app");
    tmd_io::OutputFile app;
    if (!app.create(es_outputPath(outDir, name).c_str())) return ES_ERR_FILE_OPEN;

    // Space for the whole encrypted file up front: every started block of
    // data becomes a full output block.
    struct stat st;
    if (fstat(fileno(in.get()), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        app.reserve(discBlocksFor(static_cast<uint64_t>(st.st_size)) * DVD_BYTES_PER_BLOCK);
    // The encrypted content is written once and not read back here: it goes
    // to the device directly where the file system allows, past the page
    // cache. Filling that cache would cost time and memory (on a virtual
    // machine whose host hands memory out lazily, more than the write
    // itself), and output that is flushed before its rename gains nothing
    // from it; under TMD_SYNC=0 the device still need not flush its own
    // write cache before the run ends.
    app.preferDirect();

    std::array<uint8_t, SUPERBLOCK_HASH_TABLE_BYTES> table{};
    uint32_t slots = 0;
    int32_t r = encryptStreamTo(in.get(), BlockSink{&app, -1}, key, table.data(),
                                SUPERBLOCK_HASH_TABLE_ENTRIES, &slots, plainBytes);
    in.reset();
    if (r != 0) return r;  // the output is discarded with `app`
    if (!app.commit()) return ES_ERR_FILE_WRITE;

    std::snprintf(name, sizeof name, "%08x.hash", cid);
    tmd_io::OutputFile hashFile;
    if (!hashFile.create(es_outputPath(outDir, name).c_str())) return ES_ERR_FILE_OPEN;
    if (!hashFile.write(table.data(), size_t{slots} * SHA1_DIGEST_BYTES) || !hashFile.commit())
        return ES_ERR_FILE_WRITE;

    csl_sha1(table.data(), SUPERBLOCK_HASH_TABLE_BYTES, hashOut);
    return 0;
}
