// Certificate layouts, accessors, certificate generation and device data.
// Every buffer is the caller's and is only read or written during the call;
// a certificate buffer must hold the whole certificate its types announce.
// No call ends the process.
#pragma once
#include <cstdint>

#include "es/es.h"

// One certificate layout: a signature header (es.h), then the body fields
// in order; offsets from the start of the certificate.
struct ES_CertLayout {
    uint32_t sigType;
    uint32_t keyType;
    uint32_t size;  // the whole certificate
    uint32_t issuer;
    uint32_t keyTypeOffset;
    uint32_t name;
    uint32_t keyId;
    uint32_t publicKey;
    uint32_t publicKeyBytes;
    uint32_t exponent;  // ES_CERT_EXPONENT_BYTES big-endian; 0 when the key has none
};
constexpr uint32_t ES_CERT_NAME_BYTES = 64;
constexpr uint32_t ES_CERT_EXPONENT_BYTES = 4;
constexpr uint32_t ES_CERT_MAX_BYTES = 1280;  // the largest layout
constexpr uint32_t ES_ECC_PUBKEY_BYTES = 60;

// The layout of a (signature type, key type) pair, or the one whose whole
// size is `size`; null when no layout has it. Read-only records of the
// library, alive for the whole process.
const ES_CertLayout* ES_GetCertLayout(uint32_t sigType, uint32_t keyType);
const ES_CertLayout* ES_GetCertLayoutBySize(uint32_t size);
// Where certificates signed with sigType keep their key type; 0 for an
// unknown signature type.
uint32_t ES_GetCertKeyTypeOffset(uint32_t sigType);
// Bytes of a public key of keyType (512, 256, 60); 0 for an unknown type.
uint32_t ES_GetPubKeyBytes(uint32_t keyType);

// Size of the certificate layout for a signature type and key type (host
// order): 1280, 1024, 768, 576 or 384; ES_ERR_INVALID_PUBKEY_TYPE or
// ES_ERR_INVALID_SIG_TYPE for a pair no layout has.
int32_t ES_GetCertSize(uint32_t sigType, uint32_t keyType);
// Copies the issuer and subject name fields (64 bytes each, zero-filled after
// the text) out of cert; 0, ES_ERR_INVALID_PUBKEY_TYPE, ES_ERR_INVALID_SIG_TYPE.
int32_t ES_GetCertNames(const uint8_t* cert, uint8_t issuerOut[64], uint8_t nameOut[64]);
// Points into cert at its public key (512, 256 or 60 bytes, length in
// lenOut); null when the certificate's types are not recognised.
const uint8_t* ES_GetCertPubKey(const uint8_t* cert, uint32_t* lenOut);

// Builds the certificate of the layout for sigType and keyType in cert
// (which must hold ES_GetCertSize bytes), signature left zero for the signer
// to fill; names of at most 63 characters. 0, ES_ERR_NAME_TOO_LONG,
// ES_ERR_INVALID (missing argument) or the codes of ES_GetCertSize.
int32_t ES_GenerateUnsignedCert(const char* name, const char* issuer, uint32_t sigType,
                                uint32_t keyType, const uint8_t* publicKey,
                                const uint8_t* exponent, int32_t exponentLen, uint32_t keyId,
                                uint8_t* cert);
// ES_GenerateUnsignedCert of a 384-byte ECC-signed certificate of an ECC key.
int32_t ES_GenerateDeviceCert(const char* name, const char* issuer, const uint8_t publicKey[60],
                              uint32_t keyId, uint8_t cert[384]);
// Whether a public key can be trusted with signatures: 0, or
// ES_ERR_UNTRUSTED_PUBKEY for an RSA key whose exponent is 1 (every padded
// digest is then its own signature) or even (no RSA key has one), and for an
// ECC key that is not a point of the curve in the subgroup of prime order
// (CSL_CheckEccPublicKey: the point of order two verifies signatures made
// without a private key). keyType is ES_PUBKEY_*; exponent (RSA only) is
// big-endian, exponentLen bytes; ES_ERR_INVALID_PUBKEY_TYPE for another type,
// ES_ERR_INVALID for a missing buffer or an ECC key not 60 bytes long. The one
// place where these rules live: certification, the PKI checks and every
// verification against a certificate apply them.
int32_t ES_CheckPubKey(uint32_t keyType, const uint8_t* key, uint32_t keyLen,
                       const uint8_t* exponent, uint32_t exponentLen);
// ES_CheckPubKey for the key a certificate holds (the whole certificate, of
// any layout); the codes of ES_GetCertPubKey's layouts otherwise.
int32_t ES_CheckCertPubKey(const uint8_t* cert);
// 0 when the 384-byte device certificate's ECDSA signature verifies under
// signerPublicKey, else ES_ERR_VERIFY_FAILED.
int32_t ES_VerifyDeviceCert(const uint8_t cert[384], const uint8_t signerPublicKey[60]);
// 0 when signature is an ECDSA signature of SHA-1(data) under publicKey,
// else ES_ERR_VERIFY_FAILED.
int32_t ES_VerifyEccSig(const uint8_t publicKey[60], const uint8_t* data, uint32_t dataLen,
                        const uint8_t signature[60]);
// Device data records from a lead block (40 bytes here, 36 for the Yk
// form), extra data (at least 128 or 384 bytes), a 30-byte key and the
// device certificate, written to out (at least 384 or 512 bytes; the Yk form
// is little-endian). 0, ES_ERR_BAD_INPUT_LENGTH, ES_ERR_SHORT_INPUT_BUFFER,
// ES_ERR_SHORT_OUTPUT_BUFFER or ES_ERR_INVALID.
int32_t ES_GenerateMoxDeviceData(const uint8_t* lead, uint32_t leadLen, const uint8_t* extraData,
                                 uint32_t extraLen, const uint8_t keyData[30],
                                 const uint8_t deviceCert[384], const char* authorityName,
                                 uint8_t* out, uint32_t outLen);
int32_t ES_GenerateYkDeviceData(const uint8_t* lead, uint32_t leadLen, const uint8_t* extraData,
                                uint32_t extraLen, const uint8_t keyData[30],
                                const uint8_t deviceCert[384], const char* authorityName,
                                uint8_t* out, uint32_t outLen);
