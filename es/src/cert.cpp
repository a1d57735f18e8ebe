#include "es/cert.h"

#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

constexpr size_t NAME_BYTES = ES_CERT_NAME_BYTES;

// The signature header of each signature type: the signature, a zero fill
// (60 bytes after an RSA signature, 64 after an ECC one), the issuer.
constexpr ES_SigLayout SIG_LAYOUTS[] = {
    {ES_SIG_RSA4096, ES_RSA4096_SIG_BYTES, ES_SIG_OFFSET + ES_RSA4096_SIG_BYTES + 60, ES_PUBKEY_RSA4096},
    {ES_SIG_RSA2048, ES_RSA2048_SIG_BYTES, ES_SIG_OFFSET + ES_RSA2048_SIG_BYTES + 60, ES_PUBKEY_RSA2048},
    {ES_SIG_ECC, ES_ECC_SIG_BYTES, ES_SIG_OFFSET + ES_ECC_SIG_BYTES + 64, ES_PUBKEY_ECC},
};

// The certificate layouts, one per admitted (signature type, key type) pair.
// The order matters where a certificate's key type is not consulted: the
// first row of a signature type stands for all of them.
constexpr ES_CertLayout LAYOUTS[] = {
    {ES_SIG_RSA4096, ES_PUBKEY_RSA4096, 1280, 0x240, 0x280, 0x284, 0x2C4, 0x2C8, 512, 0x4C8},
    {ES_SIG_RSA4096, ES_PUBKEY_RSA2048, 1024, 0x240, 0x280, 0x284, 0x2C4, 0x2C8, 256, 0x3C8},
    {ES_SIG_RSA2048, ES_PUBKEY_RSA2048, 768, 0x140, 0x180, 0x184, 0x1C4, 0x1C8, 256, 0x2C8},
    {ES_SIG_RSA2048, ES_PUBKEY_ECC, 576, 0x140, 0x180, 0x184, 0x1C4, 0x1C8, ES_ECC_PUBKEY_BYTES, 0},
    {ES_SIG_ECC, ES_PUBKEY_ECC, 384, 0x080, 0x0C0, 0x0C4, 0x104, 0x108, ES_ECC_PUBKEY_BYTES, 0},
};

constexpr const ES_SigLayout* sigLayout(uint32_t sigType) {
    for (const ES_SigLayout& l : SIG_LAYOUTS)
        if (l.sigType == sigType) return &l;
    return nullptr;
}

// Each layout is its signature header, the body fields in order and the
// fill: 52 bytes after an exponent, 60 after an ECC key.
constexpr bool layoutsConsistent() {
    for (const ES_CertLayout& l : LAYOUTS) {
        const ES_SigLayout* h = sigLayout(l.sigType);
        if (!h || l.issuer != h->signedStart || l.keyTypeOffset != l.issuer + ES_ISSUER_BYTES ||
            l.name != l.keyTypeOffset + 4 || l.keyId != l.name + NAME_BYTES ||
            l.publicKey != l.keyId + 4)
            return false;
        const uint32_t keyEnd = l.publicKey + l.publicKeyBytes;
        if (l.exponent && l.exponent != keyEnd) return false;
        const uint32_t end = keyEnd + (l.exponent ? ES_CERT_EXPONENT_BYTES + 52 : 60);
        if (l.size != end || l.size > ES_CERT_MAX_BYTES) return false;
    }
    return true;
}
static_assert(layoutsConsistent());

const ES_CertLayout* findLayout(uint32_t sigType, uint32_t keyType) {
    for (const ES_CertLayout& l : LAYOUTS)
        if (l.sigType == sigType && l.keyType == keyType) return &l;
    return nullptr;
}

// The offsets every layout of a signature type shares (issuer, key type,
// name): its first row.
const ES_CertLayout* firstLayoutOf(uint32_t sigType) {
    for (const ES_CertLayout& l : LAYOUTS)
        if (l.sigType == sigType) return &l;
    return nullptr;
}

// The layout a certificate's own stored types announce. An ECC-signed
// certificate has one layout, and its key-type field has never been read.
const ES_CertLayout* layoutOfCert(const uint8_t* cert) {
    const uint32_t sigType = es_get_be32(cert);
    const ES_CertLayout* first = firstLayoutOf(sigType);
    if (!first || sigType == ES_SIG_ECC) return first;
    return findLayout(sigType, es_get_be32(cert + first->keyTypeOffset));
}

// Layout lookup result code: 0, -1005 or -1012.
int32_t layoutFor(uint32_t sigType, uint32_t keyType, const ES_CertLayout** out) {
    *out = findLayout(sigType, keyType);
    if (*out) return 0;
    return sigLayout(sigType) ? ES_ERR_INVALID_PUBKEY_TYPE : ES_ERR_INVALID_SIG_TYPE;
}

// A 64-byte text field copied out as a bounded copy: the characters up to the
// field's NUL, then zeros.
void copyNameField(const uint8_t* field, uint8_t out[NAME_BYTES]) {
    const void* nul = std::memchr(field, 0, NAME_BYTES);
    size_t len = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : NAME_BYTES;
    std::memcpy(out, field, len);
    std::memset(out + len, 0, NAME_BYTES - len);
}

// Number in the last eight characters of a text (within its first 64), as
// base 16. A shorter text is taken whole. Parsed unsigned so that values from
// 0x80000000 keep all 32 bits.
uint32_t hexTail(const char* text, size_t maxLen = NAME_BYTES) {
    if (!text) return 0;
    size_t len = strnlen(text, maxLen);
    size_t start = len > 8 ? len - 8 : 0;
    char digits[9] = {};
    std::memcpy(digits, text + start, len - start);
    return static_cast<uint32_t>(std::strtoull(digits, nullptr, 16));
}

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A device certificate: ECC signature, ECC key.
constexpr const ES_CertLayout& DEVICE = LAYOUTS[4];
static_assert(DEVICE.sigType == ES_SIG_ECC && DEVICE.keyType == ES_PUBKEY_ECC);
constexpr uint32_t DEV_SIGNATURE = ES_SIG_OFFSET;
constexpr uint32_t DEV_ISSUER = DEVICE.issuer;
constexpr uint32_t DEV_NAME = DEVICE.name;
constexpr uint32_t DEV_KEY_ID = DEVICE.keyId;

const char* certText(const uint8_t* cert, uint32_t off) {
    return reinterpret_cast<const char*>(cert + off);
}

}  // namespace

const ES_SigLayout* ES_GetSigLayout(uint32_t sigType) { return sigLayout(sigType); }

const ES_SigLayout* ES_GetSigLayoutBySigBytes(uint32_t sigBytes) {
    for (const ES_SigLayout& l : SIG_LAYOUTS)
        if (l.sigBytes == sigBytes) return &l;
    return nullptr;
}

const ES_CertLayout* ES_GetCertLayout(uint32_t sigType, uint32_t keyType) {
    return findLayout(sigType, keyType);
}

const ES_CertLayout* ES_GetCertLayoutBySize(uint32_t size) {
    for (const ES_CertLayout& l : LAYOUTS)
        if (l.size == size) return &l;
    return nullptr;
}

uint32_t ES_GetCertKeyTypeOffset(uint32_t sigType) {
    const ES_CertLayout* l = firstLayoutOf(sigType);
    return l ? l->keyTypeOffset : 0;
}

uint32_t ES_GetPubKeyBytes(uint32_t keyType) {
    for (const ES_CertLayout& l : LAYOUTS)
        if (l.keyType == keyType) return l.publicKeyBytes;
    return 0;
}

int32_t ES_GetCertSize(uint32_t sigType, uint32_t keyType) {
    const ES_CertLayout* l;
    int32_t r = layoutFor(sigType, keyType, &l);
    return r == 0 ? static_cast<int32_t>(l->size) : r;
}

int32_t ES_GetCertNames(const uint8_t* cert, uint8_t issuerOut[64], uint8_t nameOut[64]) {
    if (!cert || !issuerOut || !nameOut) return ES_ERR_INVALID;
    const uint32_t sigType = es_get_be32(cert);
    if (!sigLayout(sigType)) return ES_ERR_INVALID_SIG_TYPE;
    // Names have always been read from an RSA-4096-signed certificate
    // whatever its key type says; an RSA-2048-signed one must name a layout.
    const ES_CertLayout* l = sigType == ES_SIG_RSA4096 ? firstLayoutOf(sigType) : layoutOfCert(cert);
    if (!l) return ES_ERR_INVALID_PUBKEY_TYPE;
    copyNameField(cert + l->issuer, issuerOut);
    copyNameField(cert + l->name, nameOut);
    return 0;
}

const uint8_t* ES_GetCertPubKey(const uint8_t* cert, uint32_t* lenOut) {
    if (!cert) return nullptr;
    const ES_CertLayout* l = layoutOfCert(cert);
    if (!l) return nullptr;
    if (lenOut) *lenOut = l->publicKeyBytes;
    return cert + l->publicKey;
}

int32_t ES_GenerateUnsignedCert(const char* name, const char* issuer, uint32_t sigType,
                                uint32_t keyType, const uint8_t* publicKey,
                                const uint8_t* exponent, int32_t exponentLen, uint32_t keyId,
                                uint8_t* cert) {
    if (!name || !issuer || !cert) return ES_ERR_INVALID;
    const size_t nameLen = strnlen(name, NAME_BYTES);
    const size_t issuerLen = strnlen(issuer, NAME_BYTES);
    if (nameLen >= NAME_BYTES || issuerLen >= NAME_BYTES) return ES_ERR_NAME_TOO_LONG;

    // Right-aligned last four bytes of the big-endian exponent.
    uint8_t expField[4] = {};
    if (exponent && exponentLen > 0)
        for (int k = 3; k >= 0; --k) {
            const int32_t src = k + exponentLen - 4;
            if (src >= 0) expField[k] = exponent[src];
        }

    const ES_CertLayout* l;
    int32_t r = layoutFor(sigType, keyType, &l);
    if (r != 0) return r;
    if (!publicKey) return ES_ERR_INVALID;

    std::memset(cert, 0, l->size);
    es_put_be32(cert, sigType);
    std::memcpy(cert + l->issuer, issuer, issuerLen + 1);
    es_put_be32(cert + l->keyTypeOffset, keyType);
    std::memcpy(cert + l->name, name, nameLen + 1);
    es_put_be32(cert + l->keyId, keyId);
    std::memcpy(cert + l->publicKey, publicKey, l->publicKeyBytes);
    if (l->exponent) std::memcpy(cert + l->exponent, expField, ES_CERT_EXPONENT_BYTES);
    return 0;
}

int32_t ES_GenerateDeviceCert(const char* name, const char* issuer, const uint8_t publicKey[60],
                              uint32_t keyId, uint8_t cert[384]) {
    return ES_GenerateUnsignedCert(name, issuer, ES_SIG_ECC, ES_PUBKEY_ECC, publicKey, nullptr, 0,
                                   keyId, cert);
}

int32_t ES_GenerateMoxDeviceData(const uint8_t* lead, uint32_t leadLen, const uint8_t* extraData,
                                 uint32_t extraLen, const uint8_t keyData[30],
                                 const uint8_t deviceCert[384], const char* authorityName,
                                 uint8_t* out, uint32_t outLen) {
    if (leadLen != 40) return ES_ERR_BAD_INPUT_LENGTH;
    if (extraLen < 128) return ES_ERR_SHORT_INPUT_BUFFER;
    if (outLen < 384) return ES_ERR_SHORT_OUTPUT_BUFFER;
    if (!lead || !extraData || !keyData || !deviceCert || !authorityName || !out)
        return ES_ERR_INVALID;

    std::memset(out, 0, outLen);
    std::memcpy(out + 0, lead, 36);
    es_put_be32(out + 36, hexTail(certText(deviceCert, DEV_NAME)));
    std::memcpy(out + 40, keyData, 30);
    std::memcpy(out + 70, extraData, 54);
    std::memcpy(out + 124, lead + 36, 4);
    es_put_be32(out + 128, hexTail(certText(deviceCert, DEV_ISSUER)));
    es_put_be32(out + 132, hexTail(authorityName));
    std::memcpy(out + 136, deviceCert + DEV_KEY_ID, 4);
    std::memcpy(out + 140, deviceCert + DEV_SIGNATURE, ES_ECC_SIG_BYTES);
    return 0;
}

int32_t ES_GenerateYkDeviceData(const uint8_t* lead, uint32_t leadLen, const uint8_t* extraData,
                                uint32_t extraLen, const uint8_t keyData[30],
                                const uint8_t deviceCert[384], const char* authorityName,
                                uint8_t* out, uint32_t outLen) {
    if (leadLen != 36) return ES_ERR_BAD_INPUT_LENGTH;
    if (extraLen < 384) return ES_ERR_SHORT_INPUT_BUFFER;
    if (outLen < 512) return ES_ERR_SHORT_OUTPUT_BUFFER;
    if (!lead || !extraData || !keyData || !deviceCert || !authorityName || !out)
        return ES_ERR_INVALID;

    std::memset(out, 0, outLen);
    std::memcpy(out + 0, lead, 20);
    bool anySet = false;
    for (int i = 0; i < 20; ++i) anySet |= lead[i] != 0;
    if (anySet)
        for (int i = 0; i < 20; ++i) out[20 + i] = static_cast<uint8_t>(~lead[i]);
    std::memcpy(out + 40, lead + 20, 16);
    for (int i = 0; i < 16; ++i) out[56 + i] = static_cast<uint8_t>(~lead[20 + i]);
    const uint32_t nameTail = hexTail(certText(deviceCert, DEV_NAME));
    putLe32(out + 72, nameTail);
    putLe32(out + 76, ~nameTail);
    std::memcpy(out + 80, keyData, 30);
    std::memcpy(out + 110, extraData, 36);
    putLe32(out + 146, hexTail(certText(deviceCert, DEV_ISSUER)));
    putLe32(out + 150, hexTail(authorityName));
    putLe32(out + 154, es_get_be32(deviceCert + DEV_KEY_ID));
    std::memcpy(out + 158, deviceCert + DEV_SIGNATURE, ES_ECC_SIG_BYTES);
    std::memcpy(out + 218, extraData + 90, 294);
    return 0;
}
