// The disc layout fed piece by piece: the same bytes as the file-driven
// engine, for callers that hold the content in memory.
#include <cstring>

#include "csl/sha1.h"
#include "es/disk_layout.h"
#include "es/tmd.h"

int32_t ES_DiskEncryptContentReset(DiskEncryptContext* ctx, uint16_t /*index*/,
                                   const uint8_t* key) {
    if (!ctx || !key) return ES_ERR_INVALID;
    ctx->key = key;
    ctx->buffered = 0;
    ctx->hashTableUsed = 0;
    std::memset(ctx->hashTable, 0, sizeof ctx->hashTable);
    return 0;
}

namespace {

bool tableFull(const DiskEncryptContext* ctx) {
    return ctx->hashTableUsed + SHA1_DIGEST_BYTES >
           SUPERBLOCK_HASH_TABLE_ENTRIES * SHA1_DIGEST_BYTES;
}

}  // namespace

int32_t ES_DiskEncryptContentUpdate(DiskEncryptContext* ctx, const uint8_t* in, uint32_t inLen,
                                    uint8_t* out, uint32_t outSize) {
    if (!ctx || !ctx->key || (inLen > 0 && !in) || !out ||
        ctx->buffered >= DVD_DATA_BYTES_PER_SUPERBLOCK)
        return ES_ERR_INVALID;
    if (inLen > DVD_DATA_BYTES_PER_SUPERBLOCK || outSize < DVD_BYTES_PER_SUPERBLOCK)
        return ES_ERR_INVALID;
    if (ctx->buffered + inLen < DVD_DATA_BYTES_PER_SUPERBLOCK) {
        std::memcpy(ctx->superBlock + ctx->buffered, in, inLen);
        ctx->buffered += inLen;
        return 0;
    }
    if (tableFull(ctx)) return ES_ERR_INVALID;

    const uint32_t take = DVD_DATA_BYTES_PER_SUPERBLOCK - ctx->buffered;
    std::memcpy(ctx->superBlock + ctx->buffered, in, take);
    uint32_t written = 0;
    int32_t r = generateSuperBlock(ctx->superBlock, DVD_DATA_BYTES_PER_SUPERBLOCK,
                                   ctx->hashTable + ctx->hashTableUsed, ctx->key, out, &written);
    if (r != 0) return r;
    ctx->hashTableUsed += SHA1_DIGEST_BYTES;
    ctx->buffered = inLen - take;
    std::memcpy(ctx->superBlock, in + take, ctx->buffered);
    return static_cast<int32_t>(written);
}

int32_t ES_DiskEncryptContentFinal(DiskEncryptContext* ctx, uint8_t* out, uint32_t outSize,
                                   uint8_t hashOut[20]) {
    if (!ctx || !ctx->key || !hashOut || ctx->buffered >= DVD_DATA_BYTES_PER_SUPERBLOCK)
        return ES_ERR_INVALID;
    uint32_t written = 0;
    if (ctx->buffered > 0) {
        if (!out || outSize < discBlocksFor(ctx->buffered) * DVD_BYTES_PER_BLOCK || tableFull(ctx))
            return ES_ERR_INVALID;
        int32_t r = generateSuperBlock(ctx->superBlock, ctx->buffered,
                                       ctx->hashTable + ctx->hashTableUsed, ctx->key, out,
                                       &written);
        if (r != 0) return r;
        ctx->hashTableUsed += SHA1_DIGEST_BYTES;
        ctx->buffered = 0;
    }
    csl_sha1(ctx->hashTable, SUPERBLOCK_HASH_TABLE_BYTES, hashOut);
    return static_cast<int32_t>(written);
}
