// TMD and content-record layouts; TMD construction; the plain layout's
// content encryption; incremental disc-layout encryption. The signature
// header is in es.h, the title key in title_key.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "csl/sha1.h"
#include "es/es.h"
#include "es/title_key.h"

// TMD layout (offsets from the start of the file).
namespace tmd_layout {
constexpr uint32_t SIG_TYPE = 0x000;
constexpr uint32_t SIGNATURE = 0x004;
constexpr uint32_t ISSUER = 0x140;
constexpr uint32_t VERSION = 0x180;
constexpr uint32_t CA_CRL_VERSION = 0x181;
constexpr uint32_t SIGNER_CRL_VERSION = 0x182;
constexpr uint32_t SYS_VERSION = 0x184;
constexpr uint32_t TITLE_ID = 0x18C;
constexpr uint32_t TITLE_TYPE = 0x194;
constexpr uint32_t GROUP_ID = 0x198;
constexpr uint32_t RESERVED = 0x19A;
constexpr uint32_t RESERVED_BYTES = 62;
constexpr uint32_t ACCESS_RIGHTS = 0x1D8;
constexpr uint32_t TITLE_VERSION = 0x1DC;
constexpr uint32_t NUM_CONTENTS = 0x1DE;
constexpr uint32_t BOOT_INDEX = 0x1E0;
constexpr uint32_t CONTENTS = 0x1E4;
constexpr uint32_t HEADER_BYTES = 484;
}  // namespace tmd_layout

// ContentRecord (36 bytes, big-endian fields).
namespace cmd_layout {
constexpr uint32_t CID = 0;
constexpr uint32_t INDEX = 4;
constexpr uint32_t TYPE = 6;
constexpr uint32_t SIZE = 8;
constexpr uint32_t HASH = 16;
}  // namespace cmd_layout

struct ContentRecord {
    uint8_t bytes[36];
};
static_assert(sizeof(ContentRecord) == 36);

constexpr uint32_t ES_CONTENT_RECORD_BYTES = 36;
constexpr uint32_t ES_MAX_CONTENTS = 512;

// Bytes of a TMD with numContents content records: 484 + 36 * numContents.
uint32_t ES_GetTmdSize(uint16_t numContents);
// The largest TMD this library builds (ES_MAX_CONTENTS records), and the
// largest one a record count can describe (65,535 records), the most any
// reader need take in.
constexpr uint32_t ES_TMD_MAX_BYTES = tmd_layout::HEADER_BYTES + ES_CONTENT_RECORD_BYTES * ES_MAX_CONTENTS;
constexpr uint32_t ES_TMD_LARGEST_BYTES = tmd_layout::HEADER_BYTES + ES_CONTENT_RECORD_BYTES * 65535u;

struct ContentParams {
    uint32_t cid;
    uint16_t index;
    uint16_t type;
    uint64_t size;
};

struct TmdParams {
    uint8_t version;
    uint64_t titleId;
    uint32_t titleType;
    uint16_t groupId;
    uint8_t reserved[62];
    uint16_t titleVersion;
    uint16_t numContents;
    ContentParams contents[ES_MAX_CONTENTS];
};

// Whether "<signerIssuer>-<signerName>" fits the 64-byte TMD issuer field
// with its NUL. ES_GenerateUnsignedTmd cuts a longer composition to 63
// characters; callers that must not sign a cut issuer check this first.
bool ES_TmdIssuerFits(const char* signerName, const char* signerIssuer);

// Builds the TMD of params in tmd (ES_GetTmdSize bytes), the content records
// in the order of params->contents with hashes[i], issuer "<signerIssuer>-
// <signerName>"; the signature is left zero for the signer to fill.
// Always 0 for valid arguments; ES_ERR_INVALID when params or tmd is missing,
// hashes is missing for a non-empty list, or numContents exceeds
// ES_MAX_CONTENTS. The names are read for at most 64 bytes each.
int32_t ES_GenerateUnsignedTmd(const TmdParams* params, uint8_t caCrlVersion,
                               uint8_t signerCrlVersion, uint64_t sysVersion,
                               uint32_t accessRights, uint16_t bootIndex,
                               const uint8_t (*hashes)[20], const char* signerName,
                               const char* signerIssuer, uint8_t* tmd);

// Plain-layout content encryption (one AES-128-CBC stream per content, IV the
// content index): Reset, Update any number of times, Final. The context is
// the caller's and borrows the key until Final, which wipes it.
struct ContentEncryptContext {
    uint8_t iv[16];
    SHA1HashState shaContext;
    const uint8_t* key;  // borrowed title key
    uint8_t pending[16];
    uint32_t pendingLen;
};

// The IV of a content in the plain layout: its index big-endian, then zeros.
void ES_ContentIv(uint16_t index, uint8_t iv[16]);
// Starts a content: IV from index, SHA-1 reset, key borrowed. 0 or ES_ERR_INVALID.
int32_t ES_EncryptContentReset(ContentEncryptContext* ctx, uint16_t index, const uint8_t* key);
// Hashes and encrypts inLen more bytes, keeping a partial block for later;
// out (outSize at least 16 and inLen) receives whole blocks. Returns the
// bytes written, or ES_ERR_INVALID.
int32_t ES_EncryptContentUpdate(ContentEncryptContext* ctx, const uint8_t* in, uint32_t inLen,
                                uint8_t* out, uint32_t outSize);
// Encrypts the zero-padded last partial block into out (16 bytes), puts the
// plaintext's SHA-1 in hashOut and wipes the context. Bytes written (0 or
// 16), or ES_ERR_INVALID.
int32_t ES_EncryptContentFinal(ContentEncryptContext* ctx, uint8_t* out, uint32_t outSize,
                               uint8_t hashOut[20]);
// Encrypts the file at path into "%08x.app" (cid) in the current directory,
// SHA-1 of the plaintext in hashOut; the output appears only when complete.
// 0, ES_ERR_FILE_OPEN, ES_ERR_FILE_READ, ES_ERR_FILE_WRITE or ES_ERR_INVALID.
int32_t ES_EncryptContent(const char* path, uint32_t cid, uint16_t index, const uint8_t key[16],
                          uint8_t hashOut[20]);
// As ES_EncryptContent; `plainBytes` receives the number of plaintext bytes
// read, hashed and encrypted, which is the content's size even when the
// input is a pipe or changes while it is read.
int32_t ES_EncryptContentSized(const char* path, uint32_t cid, uint16_t index,
                               const uint8_t key[16], uint8_t hashOut[20], uint64_t* plainBytes);
// As ES_EncryptContentSized, writing "%08x.app" into the directory outDir
// (null or empty: the current directory).
int32_t ES_EncryptContentSizedIn(const char* outDir, const char* path, uint32_t cid,
                                 uint16_t index, const uint8_t key[16], uint8_t hashOut[20],
                                 uint64_t* plainBytes);

// Disc layout geometry.
constexpr uint32_t DVD_DATA_BYTES_PER_SUPERBLOCK = 2031616;
constexpr uint32_t BLOCKS_PER_SUPERBLOCK = 64;
constexpr uint32_t DVD_DATA_BYTES_PER_BLOCK = 31744;
constexpr uint32_t DVD_CHUNK_BYTES = 1024;
constexpr uint32_t DVD_HASH_BYTES_PER_BLOCK = 1024;
constexpr uint32_t DVD_BYTES_PER_BLOCK = 32768;
constexpr uint32_t DVD_BYTES_PER_SUPERBLOCK = 2097152;
constexpr uint32_t SUPERBLOCK_HASH_TABLE_BYTES = 98304;
constexpr uint32_t SUPERBLOCK_HASH_TABLE_ENTRIES = 4915;

// The hash block in front of every block's data: the hashes of the block's
// chunks, of the blocks of its group and of the groups of its super block,
// each list followed by zero fill. The data is chained to the last 16 bytes
// of the encrypted group-hash area.
namespace disc_hash_block {
constexpr uint32_t CHUNKS_PER_BLOCK = DVD_DATA_BYTES_PER_BLOCK / DVD_CHUNK_BYTES;  // 31
constexpr uint32_t BLOCKS_PER_GROUP = 8;
constexpr uint32_t GROUPS_PER_SUPERBLOCK = BLOCKS_PER_SUPERBLOCK / BLOCKS_PER_GROUP;  // 8
constexpr uint32_t CHUNK_HASHES = 0;
constexpr uint32_t CHUNK_HASHES_END = CHUNK_HASHES + CHUNKS_PER_BLOCK * 20;  // 620
constexpr uint32_t BLOCK_HASHES = 640;
constexpr uint32_t BLOCK_HASHES_END = BLOCK_HASHES + BLOCKS_PER_GROUP * 20;  // 800
constexpr uint32_t GROUP_HASHES = 832;
constexpr uint32_t GROUP_HASHES_END = GROUP_HASHES + GROUPS_PER_SUPERBLOCK * 20;  // 992
constexpr uint32_t DATA_IV = GROUP_HASHES_END - 16;  // 976
static_assert(CHUNK_HASHES_END <= BLOCK_HASHES && BLOCK_HASHES_END <= GROUP_HASHES &&
              GROUP_HASHES_END <= DVD_HASH_BYTES_PER_BLOCK);
}  // namespace disc_hash_block

struct DiskEncryptContext {
    const uint8_t* key;  // borrowed title key
    uint8_t superBlock[DVD_DATA_BYTES_PER_SUPERBLOCK];
    uint32_t buffered;
    uint8_t hashTable[SUPERBLOCK_HASH_TABLE_BYTES];
    uint32_t hashTableUsed;
};

// Incremental disc layout, the same bytes as encryptDiskContent: Reset, Update,
// Final. The context (about 2 MiB, the caller's) borrows the key.

// Starts a content; index is not used. 0 or ES_ERR_INVALID.
int32_t ES_DiskEncryptContentReset(DiskEncryptContext* ctx, uint16_t index, const uint8_t* key);
// Buffers up to one super block of input (inLen at most 2,031,616); when a
// super block is complete, writes its 2 MiB of output to out (outSize at
// least DVD_BYTES_PER_SUPERBLOCK). Bytes written, or ES_ERR_INVALID.
int32_t ES_DiskEncryptContentUpdate(DiskEncryptContext* ctx, const uint8_t* in, uint32_t inLen,
                                    uint8_t* out, uint32_t outSize);
// Writes the last partial super block's blocks to out and puts the SHA-1 of
// the hash table (the content's hash) in hashOut; the table itself stays in
// ctx->hashTable (hashTableUsed bytes). Bytes written, or ES_ERR_INVALID.
int32_t ES_DiskEncryptContentFinal(DiskEncryptContext* ctx, uint8_t* out, uint32_t outSize,
                                   uint8_t hashOut[20]);
