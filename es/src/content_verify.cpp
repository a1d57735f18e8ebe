#include "es/content_verify.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "csl/aes.h"
#include "csl/sha1.h"
#include "csl/wipe.h"
#include "es/disk_layout.h"
#include "io/stream_pipeline.h"

namespace {

using namespace disc_hash_block;
constexpr uint32_t HASH = SHA1_DIGEST_BYTES;
constexpr uint32_t CHUNK_LIST_BYTES = CHUNKS_PER_BLOCK * HASH;  // 620
constexpr uint32_t BLOCK_LIST_BYTES = BLOCKS_PER_GROUP * HASH;  // 160
constexpr uint32_t GROUP_LIST_BYTES = GROUPS_PER_SUPERBLOCK * HASH;
constexpr uint64_t kMaxDiscContent = uint64_t{SUPERBLOCK_HASH_TABLE_ENTRIES} * DVD_DATA_BYTES_PER_SUPERBLOCK;

// Plain pieces: the SHA-1 chain is the slowest step, so a few pieces of
// decrypted plaintext waiting for it are enough. Disc pieces are one
// encrypted super block each, decrypted in place.
constexpr size_t kPlainPieceBytes = size_t{1} << 20;
constexpr size_t kPlainDepth = 8;
// Seven keep four workers (the most the budget gives) busy, and four
// contents checked side by side stay within 64 MiB.
constexpr size_t kDiscDepth = 7;
// Disc blocks read at once by a worker: 256 KiB, within a core's cache.
constexpr uint32_t kReadGroupBlocks = 8;
static_assert(BLOCKS_PER_SUPERBLOCK % kReadGroupBlocks == 0);
// Without a sink a piece holds only the super block's hash blocks and, after
// them, the group being checked.
constexpr size_t kKeptHashBytes = size_t{BLOCKS_PER_SUPERBLOCK} * DVD_HASH_BYTES_PER_BLOCK;
constexpr size_t kCheckOnlyPieceBytes = kKeptHashBytes + size_t{kReadGroupBlocks} * DVD_BYTES_PER_BLOCK;
static_assert(kPlainPieceBytes * kPlainDepth <= (size_t{16} << 20));
static_assert(size_t{DVD_BYTES_PER_SUPERBLOCK} * kDiscDepth * 4 <= (size_t{64} << 20));

// The decryption schedule of the title key, wiped when the check ends.
struct DecryptKey {
    AesKeySchedule schedule{};
    bool ok = false;
    explicit DecryptKey(const uint8_t key[16]) {
        ok = aesMakeKey(&schedule, AES_DIR_DECRYPT, 128, key) == AES_OK;
    }
    ~DecryptKey() { csl_wipe(&schedule, sizeof schedule); }
    DecryptKey(const DecryptKey&) = delete;
    DecryptKey& operator=(const DecryptKey&) = delete;

    bool cbc(const uint8_t iv[16], uint8_t* data, size_t length) const {
        AesCipherState state;
        if (aesCipherInit(&state, AES_MODE_CBC, iv) != AES_OK) return false;
        const bool done = aesBlockDecrypt(&state, &schedule, data, static_cast<int>(length * 8), data) ==
                          static_cast<int>(length * 8);
        csl_wipe(&state, sizeof state);
        return done;
    }
};

int32_t fail(EsVerifyFailure* f, int32_t code, EsVerifyWhat what, uint64_t actual = 0, uint64_t expected = 0) {
    f->what = what;
    f->actual = actual;
    f->expected = expected;
    return code;
}

// Reads `length` bytes at `offset`; false on an error or an early end (the
// file shrank under us).
bool readAt(int fd, uint8_t* p, size_t length, uint64_t offset) {
    while (length > 0) {
        const ssize_t n = ::pread(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// The content file has exactly the size the record calls for.
int32_t checkFileSize(int fd, uint64_t expected, EsVerifyFailure* f) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return fail(f, ES_ERR_VERIFY_READ, EsVerifyWhat::unreadable);
    const auto actual = static_cast<uint64_t>(st.st_size);
    return actual == expected ? ES_ERR_OK : fail(f, ES_ERR_VERIFY_SIZE, EsVerifyWhat::contentSize, actual, expected);
}

// The failure of a stream that ended early, by the step it ended in.
int32_t streamFailure(const tmd_io::StreamOutcome& o, EsVerifyFailure* f) {
    switch (o.stage) {
        case tmd_io::StreamStage::None: return ES_ERR_OK;
        case tmd_io::StreamStage::Memory: return fail(f, ES_ERR_VERIFY_READ, EsVerifyWhat::noMemory);
        case tmd_io::StreamStage::Read: return fail(f, ES_ERR_VERIFY_READ, EsVerifyWhat::unreadable);
        case tmd_io::StreamStage::Write:
            if (o.result == ES_ERR_VERIFY_SINK) return fail(f, o.result, EsVerifyWhat::sink);
            break;
        case tmd_io::StreamStage::Process: break;
    }
    return o.result;  // the step filled in the failure
}

// Places piece p in a file of `total` bytes cut in pieces of `pieceBytes`:
// sets its size and whether it is the last; returns its offset.
uint64_t placePiece(tmd_io::StreamPiece& p, size_t pieceBytes, uint64_t total) {
    const uint64_t offset = p.index * pieceBytes;
    p.size = static_cast<size_t>(std::min<uint64_t>(pieceBytes, total - offset));
    p.last = offset + p.size == total;
    return offset;
}

// Reads piece p of a file of `total` bytes in pieces of `pieceBytes`.
int32_t readPiece(int fd, tmd_io::StreamPiece& p, size_t pieceBytes, uint64_t total) {
    const uint64_t offset = placePiece(p, pieceBytes, total);
    return readAt(fd, p.buffer, p.size, offset) ? 0 : ES_ERR_VERIFY_READ;
}

// What both checks begin with: the arguments, a recorded size the layout can
// hold (`expected` is 0 when it cannot, unless `size` is) and the file's size.
int32_t checkStart(int fd, const uint8_t* titleKey, const uint8_t* hash, uint64_t size,
                   uint64_t expected, EsVerifyFailure* failure) {
    if (!failure) return ES_ERR_INVALID;
    *failure = EsVerifyFailure{};
    if (fd < 0 || !titleKey || !hash) return ES_ERR_INVALID;
    if (expected == 0 && size != 0) return fail(failure, ES_ERR_VERIFY_SIZE, EsVerifyWhat::impossibleSize);
    return checkFileSize(fd, expected, failure);
}

}  // namespace

uint64_t ES_PlainContentFileSize(uint64_t size) {
    // A size this close to 2^64 has no padded length; the rounding would
    // wrap round to a small one that an empty file matches.
    return size > UINT64_MAX - 15 ? 0 : (size + 15) / 16 * 16;
}

uint64_t ES_DiscContentFileSize(uint64_t size) {
    // The hash table bounds a disc-layout content; anything larger was never
    // written, and the block arithmetic would wrap for it.
    return size > kMaxDiscContent ? 0 : discBlocksFor(size) * DVD_BYTES_PER_BLOCK;
}

int32_t ES_VerifyPlainContent(int fd, const uint8_t titleKey[16], uint16_t index, uint64_t size,
                              const uint8_t hash[20], EsPlainSink sink, void* sinkContext,
                              EsVerifyFailure* failure) {
    const uint64_t expected = ES_PlainContentFileSize(size);
    if (const int32_t r = checkStart(fd, titleKey, hash, size, expected, failure)) return r;
    const DecryptKey key(titleKey);
    if (!key.ok) return ES_ERR_INVALID;

    // Each piece's IV is the last ciphertext block of the piece before it,
    // which the reader sees before the piece is decrypted in place.
    std::array<std::array<uint8_t, 16>, kPlainDepth> ivs{};
    std::array<uint8_t, 16> chain{};
    ES_ContentIv(index, chain.data());
    SHA1HashState sha;
    SHA1Reset(&sha);
    bool paddingZero = true;

    tmd_io::StreamSteps steps;
    steps.read = [&](tmd_io::StreamPiece& p) {
        if (const int32_t r = readPiece(fd, p, kPlainPieceBytes, expected)) return r;
        ivs[p.index % kPlainDepth] = chain;
        if (p.size > 0) std::memcpy(chain.data(), p.buffer + p.size - 16, 16);
        return 0;
    };
    steps.process = [&](tmd_io::StreamPiece& p) {
        return p.size == 0 || key.cbc(ivs[p.index % kPlainDepth].data(), p.buffer, p.size) ? 0 : ES_ERR_INVALID;
    };
    steps.write = [&](const tmd_io::StreamPiece& p) {
        const uint64_t offset = p.index * kPlainPieceBytes;
        const auto plain = static_cast<size_t>(std::min<uint64_t>(p.size, size - std::min(size, offset)));
        SHA1Input(&sha, p.buffer, static_cast<int32_t>(plain));
        for (size_t i = plain; i < p.size; ++i) paddingZero &= p.buffer[i] == 0;
        if (sink && plain > 0 && sink(sinkContext, p.buffer, plain) != 0) return ES_ERR_VERIFY_SINK;
        return 0;
    };
    tmd_io::StreamShape shape;
    shape.pieceBytes = kPlainPieceBytes;
    shape.depth = kPlainDepth;
    const tmd_io::StreamOutcome o = tmd_io::runOrderedStream(shape, steps);
    if (const int32_t r = streamFailure(o, failure)) return r;
    SHA1Result(&sha, failure->digest);
    if (std::memcmp(failure->digest, hash, HASH) != 0)
        return fail(failure, ES_ERR_VERIFY_DATA, EsVerifyWhat::contentHash);
    if (!paddingZero) return fail(failure, ES_ERR_VERIFY_DATA, EsVerifyWhat::padding);
    return ES_ERR_OK;
}

namespace {

// One disc super block, decrypted in place and checked against its hash
// tree. Works only on its arguments and the piece, so super blocks are
// checked side by side.
class SuperBlockCheck {
public:
    // keepPlain: leave the super block's plaintext in the piece for a sink.
    SuperBlockCheck(int fd, const DecryptKey& key, uint64_t size, const uint8_t* table, bool keepPlain)
        : fd_(fd), key_(key), size_(size), table_(table), keepPlain_(keepPlain) {
        // Blocks after the data are not stored; their chunks hash as zeros.
        static const std::array<uint8_t, DVD_CHUNK_BYTES> zeros{};
        csl_sha1(zeros.data(), zeros.size(), zeroChunk_);
    }

    // Plaintext bytes of super block `sb`, and the blocks stored for it.
    uint64_t dataIn(uint64_t sb) const {
        return std::min<uint64_t>(size_ - sb * DVD_DATA_BYTES_PER_SUPERBLOCK, DVD_DATA_BYTES_PER_SUPERBLOCK);
    }

    // Reads super block `sb` into `blocks` and checks it: 0,
    // ES_ERR_VERIFY_DATA or ES_ERR_VERIFY_READ with `f` filled in, or
    // ES_ERR_INVALID.
    int32_t run(uint64_t sb, uint8_t* blocks, EsVerifyFailure* f) const {
        const uint64_t inThis = dataIn(sb);
        const auto stored = static_cast<uint32_t>(discBlocksFor(inThis));
        std::array<uint8_t, CHUNKS_PER_BLOCK * BLOCKS_PER_SUPERBLOCK * HASH> chunks;
        // The blocks are read a group at a time and each is decrypted and
        // its chunks hashed right after, while the group is in the cache:
        // the file's bytes cross memory once, where reading the whole super
        // block first had every pass go out to memory and back. Without a
        // sink the piece is smaller: the groups share one place after the
        // hash blocks, which alone are kept, side by side at the piece's
        // start, for the checks of the tree above.
        uint8_t* const scratch = blocks + kKeptHashBytes;
        uint8_t* group = nullptr;
        for (uint32_t b = 0; b < stored; ++b) {
            if (b % kReadGroupBlocks == 0) {
                group = keepPlain_ ? blocks + size_t{b} * DVD_BYTES_PER_BLOCK : scratch;
                const uint32_t n = std::min(kReadGroupBlocks, stored - b);
                const uint64_t offset = (sb * BLOCKS_PER_SUPERBLOCK + b) * uint64_t{DVD_BYTES_PER_BLOCK};
                if (!readAt(fd_, group, size_t{n} * DVD_BYTES_PER_BLOCK, offset)) {
                    at(f, EsVerifyWhat::unreadable, sb, b);
                    return ES_ERR_VERIFY_READ;
                }
            }
            uint8_t* hashBlock = group + size_t{b % kReadGroupBlocks} * DVD_BYTES_PER_BLOCK;
            uint8_t* data = hashBlock + DVD_HASH_BYTES_PER_BLOCK;
            uint8_t iv[16];
            std::memcpy(iv, hashBlock + DATA_IV, 16);
            static constexpr uint8_t zeroIv[16] = {};
            if (!key_.cbc(iv, data, DVD_DATA_BYTES_PER_BLOCK) ||
                !key_.cbc(zeroIv, hashBlock, DVD_HASH_BYTES_PER_BLOCK))
                return ES_ERR_INVALID;
            const uint64_t dataHere = std::min<uint64_t>(DVD_DATA_BYTES_PER_BLOCK, inThis - uint64_t{b} * DVD_DATA_BYTES_PER_BLOCK);
            if (!allZero(data + dataHere, DVD_DATA_BYTES_PER_BLOCK - dataHere))
                return at(f, EsVerifyWhat::blockPadding, sb, b);
            uint8_t* mine = chunks.data() + size_t{b} * CHUNK_LIST_BYTES;
            csl_sha1Many(data, DVD_CHUNK_BYTES, CHUNKS_PER_BLOCK, mine);
            for (uint32_t c = 0; c < CHUNKS_PER_BLOCK; ++c)
                if (std::memcmp(mine + c * HASH, hashBlock + CHUNK_HASHES + c * HASH, HASH) != 0)
                    return at(f, EsVerifyWhat::chunkHash, sb, b, c);
            if (!allZero(hashBlock + CHUNK_HASHES_END, BLOCK_HASHES - CHUNK_HASHES_END) ||
                !allZero(hashBlock + BLOCK_HASHES_END, GROUP_HASHES - BLOCK_HASHES_END) ||
                !allZero(hashBlock + GROUP_HASHES_END, DVD_HASH_BYTES_PER_BLOCK - GROUP_HASHES_END))
                return at(f, EsVerifyWhat::hashBlockFill, sb, b);
            if (!keepPlain_) std::memcpy(hashBlockOf(blocks, b), hashBlock, DVD_HASH_BYTES_PER_BLOCK);
        }
        for (size_t c = size_t{stored} * CHUNKS_PER_BLOCK; c < CHUNKS_PER_BLOCK * BLOCKS_PER_SUPERBLOCK; ++c)
            std::memcpy(chunks.data() + c * HASH, zeroChunk_, HASH);
        // The tree above the chunks, as the engine builds it.
        std::array<uint8_t, BLOCKS_PER_SUPERBLOCK * HASH> blockHashes;
        std::array<uint8_t, GROUP_LIST_BYTES> groups;
        csl_sha1Many(chunks.data(), CHUNK_LIST_BYTES, BLOCKS_PER_SUPERBLOCK, blockHashes.data());
        csl_sha1Many(blockHashes.data(), BLOCK_LIST_BYTES, GROUPS_PER_SUPERBLOCK, groups.data());
        for (uint32_t b = 0; b < stored; ++b)
            if (std::memcmp(hashBlockOf(blocks, b) + BLOCK_HASHES,
                            blockHashes.data() + (b / BLOCKS_PER_GROUP) * BLOCK_LIST_BYTES, BLOCK_LIST_BYTES) != 0)
                return at(f, EsVerifyWhat::blockHashes, sb, b);
        for (uint32_t b = 0; b < stored; ++b)
            if (std::memcmp(hashBlockOf(blocks, b) + GROUP_HASHES, groups.data(), groups.size()) != 0)
                return at(f, EsVerifyWhat::groupHashes, sb, b);
        uint8_t slot[HASH];
        csl_sha1(groups.data(), groups.size(), slot);
        if (std::memcmp(slot, table_ + sb * HASH, HASH) != 0) return at(f, EsVerifyWhat::superBlockHash, sb, 0);
        return 0;
    }

private:
    // Where block b's decrypted hash block is once the block is checked.
    uint8_t* hashBlockOf(uint8_t* blocks, uint32_t b) const {
        return blocks + size_t{b} * (keepPlain_ ? DVD_BYTES_PER_BLOCK : DVD_HASH_BYTES_PER_BLOCK);
    }
    static bool allZero(const uint8_t* p, size_t n) {
        uint8_t acc = 0;
        for (size_t i = 0; i < n; ++i) acc |= p[i];
        return acc == 0;
    }
    static int32_t at(EsVerifyFailure* f, EsVerifyWhat what, uint64_t sb, uint32_t block, uint32_t chunk = 0) {
        f->what = what;
        f->superBlock = sb;
        f->block = block;
        f->chunk = chunk;
        return ES_ERR_VERIFY_DATA;
    }

    int fd_;
    const DecryptKey& key_;
    uint64_t size_;
    const uint8_t* table_;
    bool keepPlain_;
    uint8_t zeroChunk_[HASH];
};

// The hash file holds one slot per super block and, after a content that
// fills its last super block (or is empty), one zero slot while the table
// has room.
int32_t checkHashFile(uint64_t size, const uint8_t* hashFile, size_t bytes, EsVerifyFailure* f) {
    const uint64_t superBlocks = (size + DVD_DATA_BYTES_PER_SUPERBLOCK - 1) / DVD_DATA_BYTES_PER_SUPERBLOCK;
    const uint64_t slots = std::min<uint64_t>(superBlocks + (size % DVD_DATA_BYTES_PER_SUPERBLOCK == 0 ? 1 : 0),
                                              SUPERBLOCK_HASH_TABLE_ENTRIES);
    if (bytes != slots * HASH) return fail(f, ES_ERR_VERIFY_SIZE, EsVerifyWhat::hashFileSize, bytes, slots * HASH);
    for (size_t i = superBlocks * HASH; i < bytes; ++i)
        if (hashFile[i] != 0) return fail(f, ES_ERR_VERIFY_DATA, EsVerifyWhat::hashFileTrailing);
    return ES_ERR_OK;
}

}  // namespace

int32_t ES_VerifyDiscContent(int fd, const uint8_t titleKey[16], uint64_t size, const uint8_t* hashFile,
                             size_t hashFileBytes, const uint8_t hash[20], EsPlainSink sink, void* sinkContext,
                             EsVerifyFailure* failure) {
    const uint64_t expected = ES_DiscContentFileSize(size);
    if (const int32_t r = checkStart(fd, titleKey, hash, size, expected, failure)) return r;
    if (!hashFile) return fail(failure, ES_ERR_VERIFY_READ, EsVerifyWhat::hashFileMissing);
    if (const int32_t r = checkHashFile(size, hashFile, hashFileBytes, failure)) return r;
    std::array<uint8_t, SUPERBLOCK_HASH_TABLE_BYTES> table{};
    std::memcpy(table.data(), hashFile, hashFileBytes);
    const DecryptKey key(titleKey);
    if (!key.ok) return ES_ERR_INVALID;

    const SuperBlockCheck check(fd, key, size, table.data(), sink != nullptr);
    std::array<EsVerifyFailure, kDiscDepth> failures;
    tmd_io::StreamSteps steps;
    // The workers read their super blocks themselves (SuperBlockCheck::run);
    // the stream only hands out the pieces in order.
    steps.read = [&](tmd_io::StreamPiece& p) {
        placePiece(p, DVD_BYTES_PER_SUPERBLOCK, expected);
        return 0;
    };
    steps.process = [&](tmd_io::StreamPiece& p) {
        return p.size == 0 ? 0 : check.run(p.index, p.buffer, &failures[p.index % kDiscDepth]);
    };
    steps.write = [&](const tmd_io::StreamPiece& p) {
        if (!sink || p.size == 0) return 0;
        const uint64_t inThis = check.dataIn(p.index);
        for (uint64_t done = 0, b = 0; done < inThis; done += DVD_DATA_BYTES_PER_BLOCK, ++b) {
            const uint8_t* data = p.buffer + b * DVD_BYTES_PER_BLOCK + DVD_HASH_BYTES_PER_BLOCK;
            const auto n = static_cast<size_t>(std::min<uint64_t>(DVD_DATA_BYTES_PER_BLOCK, inThis - done));
            if (sink(sinkContext, data, n) != 0) return ES_ERR_VERIFY_SINK;
        }
        return 0;
    };
    tmd_io::StreamShape shape;
    shape.pieceBytes = sink ? DVD_BYTES_PER_SUPERBLOCK : kCheckOnlyPieceBytes;
    shape.depth = kDiscDepth;
    const tmd_io::StreamOutcome o = tmd_io::runOrderedStream(shape, steps);
    if (o.stage == tmd_io::StreamStage::Process &&
        (o.result == ES_ERR_VERIFY_DATA || o.result == ES_ERR_VERIFY_READ)) {
        *failure = failures[(o.pieces) % kDiscDepth];
        return o.result;
    }
    if (const int32_t r = streamFailure(o, failure)) return r;
    csl_sha1(table.data(), table.size(), failure->digest);
    if (std::memcmp(failure->digest, hash, HASH) != 0)
        return fail(failure, ES_ERR_VERIFY_DATA, EsVerifyWhat::contentHash);
    return ES_ERR_OK;
}
