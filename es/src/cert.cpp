#include "es/cert.h"

#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

constexpr size_t NAME_BYTES = 64;

// Byte layout of one admitted (signature type, key type) pair.
struct CertLayout {
    uint32_t sigType;
    uint32_t keyType;
    uint32_t size;
    uint32_t issuer;
    uint32_t keyTypeOff;
    uint32_t name;
    uint32_t keyId;
    uint32_t publicKey;
    uint32_t publicKeyLen;
    uint32_t exponent;  // 0: no exponent field
};

constexpr CertLayout LAYOUTS[] = {
    {ES_SIG_RSA4096, ES_PUBKEY_RSA4096, 1280, 0x240, 0x280, 0x284, 0x2C4, 0x2C8, 512, 0x4C8},
    {ES_SIG_RSA4096, ES_PUBKEY_RSA2048, 1024, 0x240, 0x280, 0x284, 0x2C4, 0x2C8, 256, 0x3C8},
    {ES_SIG_RSA2048, ES_PUBKEY_RSA2048, 768, 0x140, 0x180, 0x184, 0x1C4, 0x1C8, 256, 0x2C8},
    {ES_SIG_RSA2048, ES_PUBKEY_ECC, 576, 0x140, 0x180, 0x184, 0x1C4, 0x1C8, 60, 0},
    {ES_SIG_ECC, ES_PUBKEY_ECC, 384, 0x080, 0x0C0, 0x0C4, 0x104, 0x108, 60, 0},
};

// Each layout is its header, the body fields in order and the fill.
constexpr bool layoutsConsistent() {
    for (const CertLayout& l : LAYOUTS) {
        const uint32_t sigLen = l.sigType == ES_SIG_RSA4096 ? 512 : l.sigType == ES_SIG_RSA2048 ? 256 : 60;
        const uint32_t fill = l.sigType == ES_SIG_ECC ? 64 : 60;
        if (l.issuer != 4 + sigLen + fill || l.keyTypeOff != l.issuer + 64 ||
            l.name != l.keyTypeOff + 4 || l.keyId != l.name + 64 || l.publicKey != l.keyId + 4)
            return false;
        const uint32_t end = l.publicKey + l.publicKeyLen + (l.exponent ? 4 : 0);
        if (l.exponent && l.exponent != l.publicKey + l.publicKeyLen) return false;
        if (l.size != end + (l.exponent ? 52 : 60)) return false;
    }
    return true;
}
static_assert(layoutsConsistent());

bool knownSigType(uint32_t sigType) {
    return sigType == ES_SIG_RSA4096 || sigType == ES_SIG_RSA2048 || sigType == ES_SIG_ECC;
}

const CertLayout* findLayout(uint32_t sigType, uint32_t keyType) {
    for (const CertLayout& l : LAYOUTS)
        if (l.sigType == sigType && l.keyType == keyType) return &l;
    return nullptr;
}

// Layout lookup result code: 0, -1005 or -1012.
int32_t layoutFor(uint32_t sigType, uint32_t keyType, const CertLayout** out) {
    *out = findLayout(sigType, keyType);
    if (*out) return 0;
    return knownSigType(sigType) ? ES_ERR_INVALID_PUBKEY_TYPE : ES_ERR_INVALID_SIG_TYPE;
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

// Offsets inside a device certificate (ECC signature, ECC key).
constexpr uint32_t DEV_SIGNATURE = 0x004;
constexpr uint32_t DEV_ISSUER = 0x080;
constexpr uint32_t DEV_NAME = 0x0C4;
constexpr uint32_t DEV_KEY_ID = 0x104;

const char* certText(const uint8_t* cert, uint32_t off) {
    return reinterpret_cast<const char*>(cert + off);
}

}  // namespace

int32_t ES_GetCertSize(uint32_t sigType, uint32_t keyType) {
    const CertLayout* l;
    int32_t r = layoutFor(sigType, keyType, &l);
    return r == 0 ? static_cast<int32_t>(l->size) : r;
}

int32_t ES_GetCertNames(const uint8_t* cert, uint8_t issuerOut[64], uint8_t nameOut[64]) {
    if (!cert || !issuerOut || !nameOut) return ES_ERR_INVALID;
    const uint32_t sigType = es_get_be32(cert);
    uint32_t issuer;
    uint32_t name;
    switch (sigType) {
    case ES_SIG_RSA4096:
        issuer = 0x240;
        name = 0x284;
        break;
    case ES_SIG_RSA2048: {
        const uint32_t keyType = es_get_be32(cert + 0x180);
        if (keyType != ES_PUBKEY_RSA2048 && keyType != ES_PUBKEY_ECC)
            return ES_ERR_INVALID_PUBKEY_TYPE;
        issuer = 0x140;
        name = 0x184;
        break;
    }
    case ES_SIG_ECC:
        issuer = 0x080;
        name = 0x0C4;
        break;
    default:
        return ES_ERR_INVALID_SIG_TYPE;
    }
    copyNameField(cert + issuer, issuerOut);
    copyNameField(cert + name, nameOut);
    return 0;
}

const uint8_t* ES_GetCertPubKey(const uint8_t* cert, uint32_t* lenOut) {
    if (!cert) return nullptr;
    const uint32_t sigType = es_get_be32(cert);
    const CertLayout* l = nullptr;
    if (sigType == ES_SIG_ECC) {
        // The key type of an ECC-signed certificate is not consulted.
        l = findLayout(ES_SIG_ECC, ES_PUBKEY_ECC);
    } else if (sigType == ES_SIG_RSA4096 || sigType == ES_SIG_RSA2048) {
        const uint32_t keyTypeOff = sigType == ES_SIG_RSA4096 ? 0x280 : 0x180;
        l = findLayout(sigType, es_get_be32(cert + keyTypeOff));
    }
    if (!l) return nullptr;
    if (lenOut) *lenOut = l->publicKeyLen;
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

    const CertLayout* l;
    int32_t r = layoutFor(sigType, keyType, &l);
    if (r != 0) return r;
    if (!publicKey) return ES_ERR_INVALID;

    std::memset(cert, 0, l->size);
    es_put_be32(cert, sigType);
    std::memcpy(cert + l->issuer, issuer, issuerLen + 1);
    es_put_be32(cert + l->keyTypeOff, keyType);
    std::memcpy(cert + l->name, name, nameLen + 1);
    es_put_be32(cert + l->keyId, keyId);
    std::memcpy(cert + l->publicKey, publicKey, l->publicKeyLen);
    if (l->exponent) std::memcpy(cert + l->exponent, expField, 4);
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
    std::memcpy(out + 140, deviceCert + DEV_SIGNATURE, 60);
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
    std::memcpy(out + 158, deviceCert + DEV_SIGNATURE, 60);
    std::memcpy(out + 218, extraData + 90, 294);
    return 0;
}
