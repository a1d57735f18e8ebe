// Verification of stored contents, the reverse of the two content engines:
// an encrypted content is decrypted once, checked against what its TMD
// records (and, in the disc layout, against its whole hash tree), and its
// plaintext handed to an optional sink in order on the way.
//
// Both checks run on the ordered stream of the io library: the plain
// layout's single SHA-1 chain runs alone on the writer thread while workers
// decrypt the pieces ahead of it (CBC decryption needs only the previous
// ciphertext block); the disc layout's super blocks are decrypted and
// hashed by every worker the budget allows. A failure is the one a plain
// loop over the content would meet first, so reports do not depend on the
// number of cores or on the processor path.
#pragma once
#include <cstddef>
#include <cstdint>

#include "es/es.h"

// Results besides ES_ERR_OK and ES_ERR_INVALID (a missing argument).
constexpr int32_t ES_ERR_VERIFY_READ = -1040;  // a file cannot be read, or no memory could be had
constexpr int32_t ES_ERR_VERIFY_SIZE = -1041;  // a file has the wrong size, or the record is impossible
constexpr int32_t ES_ERR_VERIFY_DATA = -1042;  // the bytes are not what was recorded
constexpr int32_t ES_ERR_VERIFY_SINK = -1043;  // the sink refused the plaintext

// What exactly failed, for messages and hints.
enum class EsVerifyWhat : int32_t {
    none,
    impossibleSize,    // the record's size has no file size in this layout
    contentSize,       // the content file: actual, expected
    unreadable,        // read error or short read (the file changed under us)
    noMemory,          // not even one piece's buffer
    sink,              // the sink returned non-zero
    contentHash,       // SHA-1 of the plaintext (plain) or of the table (disc); digest
    padding,           // plain: bytes after the content are not zero
    hashFileMissing,   // disc: no hash file was given (the caller could not read it)
    hashFileSize,      // disc: the hash file; actual, expected
    hashFileTrailing,  // disc: the slot after the last super block is not zero
    blockPadding,      // disc: superBlock, block
    chunkHash,         // disc: superBlock, block, chunk
    hashBlockFill,     // disc: superBlock, block
    blockHashes,       // disc: superBlock, block
    groupHashes,       // disc: superBlock, block
    superBlockHash,    // disc: superBlock (against the hash file)
};

struct EsVerifyFailure {
    EsVerifyWhat what = EsVerifyWhat::none;
    uint64_t superBlock = 0;
    uint32_t block = 0;
    uint32_t chunk = 0;
    uint64_t actual = 0;    // sizes, where they differ
    uint64_t expected = 0;
    uint8_t digest[20] = {};  // the SHA-1 found, for contentHash
};

// Receives the plaintext in order, on one thread; non-zero stops the check
// with ES_ERR_VERIFY_SINK. Only plaintext bytes of the content reach it,
// never padding.
typedef int (*EsPlainSink)(void* context, const uint8_t* data, size_t length);

// Size of a content's encrypted file for a recorded size, or 0 when the size
// is impossible in that layout (and not itself 0).
uint64_t ES_PlainContentFileSize(uint64_t size);
uint64_t ES_DiscContentFileSize(uint64_t size);

// Checks the plain-layout content in the regular file `fd` (read from its
// start, which must be ES_PlainContentFileSize(size) bytes long): decrypted under `titleKey` with the
// IV of content index `index`, its padding zero and its SHA-1 `hash`.
// ES_ERR_OK or one of the codes above, with `failure` filled in.
int32_t ES_VerifyPlainContent(int fd, const uint8_t titleKey[16], uint16_t index, uint64_t size,
                              const uint8_t hash[20], EsPlainSink sink, void* sinkContext,
                              EsVerifyFailure* failure);

// Checks the disc-layout content in the regular file `fd` against the `hashFileBytes`
// bytes of its hash file (null: the caller could not read it, reported once
// the content's own size has been checked) and the content hash `hash` of
// the TMD: every
// block's padding, chunk hashes and zero fill, the block and group hashes of
// every hash block, each super-block hash against the hash file, and the
// hash of the whole table.
int32_t ES_VerifyDiscContent(int fd, const uint8_t titleKey[16], uint64_t size,
                             const uint8_t* hashFile, size_t hashFileBytes, const uint8_t hash[20],
                             EsPlainSink sink, void* sinkContext, EsVerifyFailure* failure);
