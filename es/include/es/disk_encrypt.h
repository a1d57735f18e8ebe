// File-driven disc-layout encryption: "%08x.app" and "%08x.hash".
#pragma once
#include <cstdint>

// Encrypts the file at path under key into "%08x.app" (cid) in the current
// directory with its super-block hashes in "%08x.hash", and puts the SHA-1 of
// the whole hash table in hashOut. 0, ES_ERR_FILE_OPEN, ES_ERR_FILE_WRITE or
// ES_ERR_INVALID; a read error, short write or allocation failure ends the
// process (status 1) after a message, leaving no partial output.
int32_t encryptDiskContent(const char* path, uint32_t cid, const uint8_t key[16],
                           uint8_t hashOut[20]);
// As encryptDiskContent; `plainBytes` receives the number of plaintext
// bytes read and encrypted (the content's size, whatever the file system
// reports for the input).
int32_t encryptDiskContentSized(const char* path, uint32_t cid, const uint8_t key[16],
                                uint8_t hashOut[20], uint64_t* plainBytes);
// As encryptDiskContentSized, writing into the directory outDir (null or
// empty: the current directory), and returning ES_DISK_FATAL (after its
// message, with no partial output) where that call ends the process.
int32_t encryptDiskContentIn(const char* outDir, const char* path, uint32_t cid,
                             const uint8_t key[16], uint8_t hashOut[20], uint64_t* plainBytes);
