// RSA key pairs in the project's text key-file format, PKCS #1 v1.5 SHA-1
// signing over OpenSSL, and in-place signing of signed objects.
#pragma once
#include <cstdint>
#include <cstdio>

#include <openssl/evp.h>

using RsaKeyPair = EVP_PKEY;

constexpr int RUTIL_MAX_COMPONENT_BYTES = 4096;

RsaKeyPair* RUTIL_GenerateRsaKeyPair(int bits, int exponent);
void RUTIL_FreeRsaKeyPair(RsaKeyPair* key);
int RUTIL_GetPublicKey(const RsaKeyPair* key, uint8_t* out, int* length);
int RUTIL_GetExponent(const RsaKeyPair* key, uint8_t* out, int* length);
int RUTIL_SignData(RsaKeyPair* key, const uint8_t* data, int length, uint8_t* signature);
int RUTIL_VerifyData(RsaKeyPair* key, const uint8_t* data, int length, const uint8_t* signature);
int RUTIL_SaveRsaKeyPair(FILE* file, const char* label, const RsaKeyPair* key);
RsaKeyPair* RUTIL_ReadRsaKeyPair(FILE* file, char* label, size_t labelSize);
int RUTIL_ConvertPem(FILE* pem, FILE* out);

int32_t utilFillSig(const char* keyPath, int32_t sigLength, uint8_t* object,
                    int32_t objectSize);
