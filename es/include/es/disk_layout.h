// Internals of the disc layout, shared by the file-driven and the incremental
// encryption paths and exposed for their tests. Not part of the stable
// interface.
#pragma once
#include <cstdint>
#include <cstdio>

#include "es/tmd.h"

// Result of encryptDiskStream for failures that end the process in
// encryptDiskContent; the diagnostic has already been printed.
constexpr int32_t ES_DISK_FATAL = -1;

// Blocks of output for `dataBytes` of content data: every block that holds
// data goes out whole, behind its hash block.
constexpr uint64_t discBlocksFor(uint64_t dataBytes) {
    return (dataBytes + DVD_DATA_BYTES_PER_BLOCK - 1) / DVD_DATA_BYTES_PER_BLOCK;
}

// Builds one super block from `superBlock` (numRead plaintext bytes, at most
// DVD_DATA_BYTES_PER_SUPERBLOCK; the tail is zero-filled in place): the
// three-level hash tree, the super-block hash into `slot`, and the
// numRead / 31,744 (rounded up) encrypted blocks into `out`, which must hold
// that many DVD_BYTES_PER_BLOCK. `written` receives the bytes produced.
// Works only on its arguments, so super blocks can be built concurrently.
// 0, or ES_ERR_INVALID on a bad argument or cipher failure.
int32_t generateSuperBlock(uint8_t* superBlock, uint32_t numRead, uint8_t slot[20],
                           const uint8_t key[16], uint8_t* out, uint32_t* written);

// Encrypts the stream `in` super block by super block to the file descriptor
// `outFd`, recording one super-block hash per super block into `table`, which
// has room for `tableEntries` hashes. A content whose size is a multiple of a
// super block ends with an empty read that takes an all-zero slot, unless the
// table is already full. `slotsUsed` receives the slots taken.
// 0; ES_ERR_INVALID when the content needs more slots than the table has or
// the cipher fails; ES_DISK_FATAL on a read error, a short write or an
// allocation failure (message printed).
int32_t encryptDiskStream(FILE* in, int outFd, const uint8_t key[16], uint8_t* table,
                          uint32_t tableEntries, uint32_t* slotsUsed);
