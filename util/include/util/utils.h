// Whole-file helpers with the tool's failure policy, and signature
// verification of signed objects against their signer's certificate.
#pragma once
#include <cstdint>

// Fill buffer with the first length bytes of path, or end the process
// (status 1) after "file open failed %s" / "file read failed %s".
void utilFread(const char* path, void* buffer, uint32_t length);
// Create or replace path with length bytes of data, or end the process
// (status 1) after "file open failed %s" / "file write failed %s".
void utilFwrite(const char* path, const void* data, uint32_t length);

int32_t utilVerify(const char* certPath, int32_t sigLength, const uint8_t* object,
                   int32_t objectSize);
int32_t utilVerify2(const uint8_t* key, int32_t keySize, int32_t sigLength,
                    const uint8_t* object, int32_t objectSize, int32_t fromCert);
int32_t utilFillEccSig(const char* keyPath, uint8_t* object, int32_t objectSize);
