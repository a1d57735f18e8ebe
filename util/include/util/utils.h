// Whole-file helpers with the tool's failure policy, and signature
// verification of signed objects against their signer's certificate. All
// buffers are the caller's. utilFread, utilFwrite and utilVerify end the
// process on a file failure; the other calls return codes.
#pragma once
#include <cstdint>

// Fill buffer with the first length bytes of path, or end the process
// (status 1) after "file open failed %s" / "file read failed %s".
void utilFread(const char* path, void* buffer, uint32_t length);
// Create or replace path with length bytes of data, or end the process
// (status 1) after "file open failed %s" / "file write failed %s". The file
// is replaced atomically, a failed write leaving any earlier file as it was:
// a link under the path's last component is replaced, not followed, and so
// is a file with several names; a device, FIFO or socket the path reaches
// (/dev/null, /dev/stdout) is written in place.
void utilFwrite(const char* path, const void* data, uint32_t length);
// The same for `name` (one component), a name the caller derives, in the
// directory open as `dirFd`: nothing under the name is ever written in
// place; a device, FIFO, socket or directory there is refused ("file open
// failed %s").
void utilFwriteAt(int dirFd, const char* name, const void* data, uint32_t length);

// utilVerify2 on the certificate file; ES_ERR_UNSUPPORTED_CERT for a file
// larger than the largest layout (1280 bytes). A missing or unreadable file
// ends the process through utilFread.
int32_t utilVerify(const char* certPath, int32_t sigLength, const uint8_t* object,
                   int32_t objectSize);
// Verifies the signature of object (sigLength 512, 256 or 60) against key, a
// whole certificate of keySize bytes (for sigLength 512 with fromCert zero, a
// bare 512-byte modulus with exponent 65537). 0 valid, 7 invalid;
// ES_ERR_UNSUPPORTED_SIG_SIZE for a sigLength other than
// 512, 256 or 60; ES_ERR_INVALID for an object that ends before its signed
// region; ES_ERR_UNSUPPORTED_CERT when keySize does not fit the signature.
int32_t utilVerify2(const uint8_t* key, int32_t keySize, int32_t sigLength,
                    const uint8_t* object, int32_t objectSize, int32_t fromCert);
// ECDSA-signs object[128 ..) with the 30-byte private key at the start of
// keyPath into object[4 .. 63]; 0, ES_ERR_INVALID (object shorter than 128
// bytes, no random nonce), or the signer's code (object unchanged).
int32_t utilFillEccSig(const char* keyPath, uint8_t* object, int32_t objectSize);
