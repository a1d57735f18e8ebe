// RSA key pairs in the project's text key-file format, PKCS #1 v1.5 SHA-1
// signing over OpenSSL, and in-place signing of signed objects. Key objects
// are the caller's, released with RUTIL_FreeRsaKeyPair; streams are opened and
// closed by the caller. No call ends the process.
#pragma once
#include <cstdint>
#include <cstdio>

#include <openssl/evp.h>

using RsaKeyPair = EVP_PKEY;

// Largest component the key file holds, in bytes.
constexpr int RUTIL_MAX_COMPONENT_BYTES = 4096;

// A new key of the given size; null for an exponent other than 3, 17 or
// 65537, or when generation fails.
RsaKeyPair* RUTIL_GenerateRsaKeyPair(int bits, int exponent);
// Releases a key object; null is allowed.
void RUTIL_FreeRsaKeyPair(RsaKeyPair* key);
// n as a minimal big-endian byte string (out must hold the modulus size) and
// its length; 0 or -1.
int RUTIL_GetPublicKey(const RsaKeyPair* key, uint8_t* out, int* length);
// The same for the public exponent e.
int RUTIL_GetExponent(const RsaKeyPair* key, uint8_t* out, int* length);
// Signs SHA-1(data) into the modulus-sized signature buffer (cleared first).
// 0, or -1 when the block cannot be built for the key (modulus outside 46..512
// bytes, reported on standard output), the private operation fails, or its
// result does not check with the public key.
int RUTIL_SignData(RsaKeyPair* key, const uint8_t* data, int length, uint8_t* signature);
// 0 when signature is valid for data, -1 otherwise.
int RUTIL_VerifyData(RsaKeyPair* key, const uint8_t* data, int length, const uint8_t* signature);
// Writes the key file (and the label, when given) to the stream; 0, or -1
// with nothing written when a component is missing or too large.
int RUTIL_SaveRsaKeyPair(FILE* file, const char* label, const RsaKeyPair* key);
// Reads a key file; null when it is malformed, short, has a count above the
// limit or inconsistent components. With a label buffer, the trailing label
// word is read into it, cut to labelSize - 1 characters ("" when absent).
RsaKeyPair* RUTIL_ReadRsaKeyPair(FILE* file, char* label, size_t labelSize);
// PEM RSA private key to key file without label; 0, or -1 with nothing
// written when the input holds no RSA private key.
int RUTIL_ConvertPem(FILE* pem, FILE* out);

// Signs object from offset sigLength + 64 to its end with the key file's key
// and writes the signature to object[4 .. sigLength + 3]. 0, or
// ES_ERR_FILE_OPEN (key file cannot be opened, message on standard error),
// ES_ERR_INVALID_SIG_TYPE (sigLength not 256 or 512, or a modulus of another
// size), ES_ERR_INVALID (object shorter than sigLength + 64, unusable key
// file, signing failed). The object is changed only on success.
int32_t utilFillSig(const char* keyPath, int32_t sigLength, uint8_t* object,
                    int32_t objectSize);
