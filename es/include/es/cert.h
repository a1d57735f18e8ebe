// Certificate layouts, accessors, certificate generation and device data.
#pragma once
#include <cstdint>

#include "es/es.h"

int32_t ES_GetCertSize(uint32_t sigType, uint32_t keyType);
int32_t ES_GetCertNames(const uint8_t* cert, uint8_t issuerOut[64], uint8_t nameOut[64]);
const uint8_t* ES_GetCertPubKey(const uint8_t* cert, uint32_t* lenOut);

int32_t ES_GenerateUnsignedCert(const char* name, const char* issuer, uint32_t sigType,
                                uint32_t keyType, const uint8_t* publicKey,
                                const uint8_t* exponent, int32_t exponentLen, uint32_t keyId,
                                uint8_t* cert);
int32_t ES_GenerateDeviceCert(const char* name, const char* issuer, const uint8_t publicKey[60],
                              uint32_t keyId, uint8_t cert[384]);
int32_t ES_VerifyDeviceCert(const uint8_t cert[384], const uint8_t signerPublicKey[60]);
int32_t ES_VerifyEccSig(const uint8_t publicKey[60], const uint8_t* data, uint32_t dataLen,
                        const uint8_t signature[60]);
int32_t ES_GenerateMoxDeviceData(const uint8_t* lead, uint32_t leadLen, const uint8_t* extraData,
                                 uint32_t extraLen, const uint8_t keyData[30],
                                 const uint8_t deviceCert[384], const char* authorityName,
                                 uint8_t* out, uint32_t outLen);
int32_t ES_GenerateYkDeviceData(const uint8_t* lead, uint32_t leadLen, const uint8_t* extraData,
                                uint32_t extraLen, const uint8_t keyData[30],
                                const uint8_t deviceCert[384], const char* authorityName,
                                uint8_t* out, uint32_t outLen);
