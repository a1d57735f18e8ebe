// File-driven disc-layout encryption: "%08x.app" and "%08x.hash".
#pragma once
#include <cstdint>

int32_t encryptDiskContent(const char* path, uint32_t cid, const uint8_t key[16],
                           uint8_t hashOut[20]);
// As encryptDiskContent; `plainBytes` receives the number of plaintext
// bytes read and encrypted (the content's size, whatever the file system
// reports for the input).
int32_t encryptDiskContentSized(const char* path, uint32_t cid, const uint8_t key[16],
                                uint8_t hashOut[20], uint64_t* plainBytes);
