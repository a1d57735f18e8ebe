#include <array>
#include <cstring>

#include "csl/aes_bulk.h"
#include "csl/sha1.h"
#include "es/disk_layout.h"

namespace {

using namespace disc_hash_block;
constexpr uint32_t CHUNKS_PER_SUPERBLOCK = CHUNKS_PER_BLOCK * BLOCKS_PER_SUPERBLOCK;
constexpr uint32_t HASH = SHA1_DIGEST_BYTES;

static_assert(CHUNKS_PER_BLOCK * DVD_CHUNK_BYTES == DVD_DATA_BYTES_PER_BLOCK);
static_assert(BLOCKS_PER_SUPERBLOCK * DVD_DATA_BYTES_PER_BLOCK == DVD_DATA_BYTES_PER_SUPERBLOCK);
static_assert(DVD_HASH_BYTES_PER_BLOCK + DVD_DATA_BYTES_PER_BLOCK == DVD_BYTES_PER_BLOCK);
static_assert(BLOCKS_PER_SUPERBLOCK * DVD_BYTES_PER_BLOCK == DVD_BYTES_PER_SUPERBLOCK);

}  // namespace

int32_t generateSuperBlock(uint8_t* superBlock, uint32_t numRead, uint8_t slot[20],
                           const uint8_t key[16], uint8_t* out, uint32_t* written) {
    if (written) *written = 0;
    if (!superBlock || !slot || !key || !out || !written ||
        numRead > DVD_DATA_BYTES_PER_SUPERBLOCK)
        return ES_ERR_INVALID;

    std::memset(superBlock + numRead, 0, DVD_DATA_BYTES_PER_SUPERBLOCK - numRead);

    std::array<uint8_t, CHUNKS_PER_SUPERBLOCK * HASH> chunkHashes;
    std::array<uint8_t, BLOCKS_PER_SUPERBLOCK * HASH> blockHashes;
    std::array<uint8_t, GROUPS_PER_SUPERBLOCK * HASH> groupHashes;
    // Each level's messages lie one after the other: the chunks in the data,
    // a block's chunk hashes, a group's block hashes.
    csl_sha1Many(superBlock, DVD_CHUNK_BYTES, CHUNKS_PER_SUPERBLOCK, chunkHashes.data());
    csl_sha1Many(chunkHashes.data(), CHUNKS_PER_BLOCK * HASH, BLOCKS_PER_SUPERBLOCK,
                 blockHashes.data());
    csl_sha1Many(blockHashes.data(), BLOCKS_PER_GROUP * HASH, GROUPS_PER_SUPERBLOCK,
                 groupHashes.data());
    csl_sha1(groupHashes.data(), groupHashes.size(), slot);

    // Blocks past the data are hashed (as zeros) but not written.
    const auto blocksToWrite = static_cast<uint32_t>(discBlocksFor(numRead));
    // Every hash block is assembled where its ciphertext goes, then all
    // blocks' chains run side by side: first the hash blocks (zero IV), then
    // the data, each chained to its own encrypted hash block.
    int32_t result = 0;
    std::array<const uint8_t*, BLOCKS_PER_SUPERBLOCK> in;
    std::array<uint8_t*, BLOCKS_PER_SUPERBLOCK> dst;
    std::array<const uint8_t*, BLOCKS_PER_SUPERBLOCK> iv;
    static constexpr uint8_t zeroIv[16] = {};
    for (uint32_t b = 0; b < blocksToWrite; ++b) {
        uint8_t* hashBlock = out + size_t{b} * DVD_BYTES_PER_BLOCK;
        std::memset(hashBlock, 0, DVD_HASH_BYTES_PER_BLOCK);
        std::memcpy(hashBlock + CHUNK_HASHES, &chunkHashes[b * CHUNKS_PER_BLOCK * HASH],
                    CHUNKS_PER_BLOCK * HASH);
        std::memcpy(hashBlock + BLOCK_HASHES,
                    &blockHashes[(b / BLOCKS_PER_GROUP) * BLOCKS_PER_GROUP * HASH],
                    BLOCKS_PER_GROUP * HASH);
        std::memcpy(hashBlock + GROUP_HASHES, groupHashes.data(), groupHashes.size());
        in[b] = hashBlock;
        dst[b] = hashBlock;
        iv[b] = zeroIv;
    }
    if (csl_aes128CbcEncryptLanes(key, blocksToWrite, in.data(), dst.data(), iv.data(),
                                  DVD_HASH_BYTES_PER_BLOCK) != 0)
        result = ES_ERR_INVALID;
    for (uint32_t b = 0; b < blocksToWrite; ++b) {
        uint8_t* block = out + size_t{b} * DVD_BYTES_PER_BLOCK;
        in[b] = superBlock + size_t{b} * DVD_DATA_BYTES_PER_BLOCK;
        dst[b] = block + DVD_HASH_BYTES_PER_BLOCK;
        iv[b] = block + DATA_IV;
    }
    if (csl_aes128CbcEncryptLanes(key, blocksToWrite, in.data(), dst.data(), iv.data(),
                                  DVD_DATA_BYTES_PER_BLOCK) != 0)
        result = ES_ERR_INVALID;
    if (result != 0) return result;
    *written = blocksToWrite * DVD_BYTES_PER_BLOCK;
    return 0;
}
