// RSA key pairs in the text key-file format, SHA-1 signing with the PKCS #1
// type 01 block, and in-place signing of signed objects. OpenSSL supplies the
// key object and the raw modular operations; the block encoding, the key file
// and where a signature goes are ours.
#include "util/rsautil.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "csl/sha1.h"
#include "csl/wipe.h"
#include "es/es.h"
#include "io/output_file.h"

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
struct BnCtxFree {
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
};
struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
};
struct ParamFree {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, ParamFree>;
using tmd_io::FilePtr;

// A byte buffer that may hold key material; wiped before it is released.
class SecretBytes {
public:
    explicit SecretBytes(size_t n = 0) : bytes_(n) {}
    ~SecretBytes() { wipe(); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    void wipe() { csl_wipe(bytes_.data(), bytes_.size()); }
    void resize(size_t n) {
        wipe();
        bytes_.assign(n, 0);
    }
    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    uint8_t& operator[](size_t i) { return bytes_[i]; }

private:
    std::vector<uint8_t> bytes_;
};

// The zero separator of the type 01 block followed by the DER DigestInfo
// header for SHA-1.
constexpr uint8_t RUTIL_sha1_sig[16] = {0x00, 0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B,
                                        0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

constexpr int kDigestBytes = 20;
constexpr int kDigestInfoBytes = 16 + kDigestBytes;
// 00 01, at least eight FF bytes, the DigestInfo and the digest.
constexpr int kMinModulusBytes = 2 + 8 + kDigestInfoBytes;
constexpr int kMaxSignBytes = ES_RSA4096_SIG_BYTES;

// Key-file order of the components, with the parameter names OpenSSL uses.
constexpr const char* kComponentNames[8] = {
    OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_D,
    OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
constexpr int kIndexE = 0;
constexpr int kIndexN = 1;
constexpr int kIndexP = 3;
constexpr int kIndexQ = 4;

bool isRsa(const EVP_PKEY* key) { return key && EVP_PKEY_is_a(key, "RSA"); }

int modulusBytes(const EVP_PKEY* key) { return isRsa(key) ? EVP_PKEY_get_size(key) : 0; }

// The complete signature block of a k-byte modulus for a digest.
bool buildSignatureBlock(const uint8_t digest[kDigestBytes], uint8_t* block, int k) {
    if (k < kMinModulusBytes) return false;
    block[0] = 0x00;
    block[1] = 0x01;
    std::memset(block + 2, 0xFF, static_cast<size_t>(k - 2 - kDigestInfoBytes));
    std::memcpy(block + k - kDigestInfoBytes, RUTIL_sha1_sig, sizeof RUTIL_sha1_sig);
    std::memcpy(block + k - kDigestBytes, digest, kDigestBytes);
    return true;
}

bool digestOf(const uint8_t* data, int length, uint8_t digest[kDigestBytes]) {
    if (length < 0 || (length > 0 && !data)) return false;
    csl_sha1(data, static_cast<size_t>(length), digest);
    return true;
}

// Raw public-key operation: signature^e mod n, k bytes. Fails for s >= n.
bool rawPublic(EVP_PKEY* key, const uint8_t* signature, uint8_t* out, int k) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0)
        return false;
    size_t outLen = static_cast<size_t>(k);
    if (EVP_PKEY_verify_recover(ctx.get(), out, &outLen, signature, static_cast<size_t>(k)) <= 0)
        return false;
    return outLen == static_cast<size_t>(k);
}

// Raw private-key operation: block^d mod n, k bytes.
bool rawPrivate(EVP_PKEY* key, const uint8_t* block, uint8_t* out, int k) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0)
        return false;
    size_t outLen = static_cast<size_t>(k);
    if (EVP_PKEY_sign(ctx.get(), out, &outLen, block, static_cast<size_t>(k)) <= 0) return false;
    return outLen == static_cast<size_t>(k);
}

// All blocks compared in full; the verdict is taken at the end.
bool sameBytes(const uint8_t* a, const uint8_t* b, size_t n) {
    uint8_t diff = 0;
    for (size_t i = 0; i < n; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

int getComponent(const EVP_PKEY* key, int index, SecretBytes& out) {
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(key, kComponentNames[index], &raw)) return -1;
    BnPtr bn(raw);
    int n = BN_num_bytes(bn.get());
    if (n > RUTIL_MAX_COMPONENT_BYTES) return -1;
    out.resize(static_cast<size_t>(n));
    if (n > 0 && BN_bn2bin(bn.get(), out.data()) != n) return -1;
    return 0;
}

int exportComponent(const RsaKeyPair* key, int index, uint8_t* out, int* length) {
    if (!isRsa(key) || !out || !length) return -1;
    SecretBytes bytes;
    if (getComponent(key, index, bytes) != 0) return -1;
    if (bytes.size() > 0) std::memcpy(out, bytes.data(), bytes.size());
    *length = static_cast<int>(bytes.size());
    return 0;
}

// Key-file tokens. Any white space separates them, as with the stdio
// conversions "%d" and "%02x" the format was defined by.
int skipSpace(FILE* f) {
    int c;
    do {
        c = std::getc(f);
    } while (c != EOF && std::isspace(c));
    return c;
}

int hexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A decimal byte count in [0, RUTIL_MAX_COMPONENT_BYTES].
bool readCount(FILE* f, int* count) {
    int c = skipSpace(f);
    if (c == EOF || !std::isdigit(c)) return false;
    long value = 0;
    while (c != EOF && std::isdigit(c)) {
        value = value * 10 + (c - '0');
        if (value > RUTIL_MAX_COMPONENT_BYTES) return false;
        c = std::getc(f);
    }
    if (c != EOF) std::ungetc(c, f);
    *count = static_cast<int>(value);
    return true;
}

// One byte: one or two hex digits.
bool readByte(FILE* f, uint8_t* byte) {
    int hi = hexValue(skipSpace(f));
    if (hi < 0) return false;
    int c = std::getc(f);
    int lo = hexValue(c);
    if (lo < 0) {
        if (c != EOF) std::ungetc(c, f);
        *byte = static_cast<uint8_t>(hi);
    } else {
        *byte = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

// The trailing label: one white-space-delimited word, cut to fit.
void readLabel(FILE* f, char* label, size_t labelSize) {
    size_t n = 0;
    int c = skipSpace(f);
    while (c != EOF && !std::isspace(c)) {
        if (n + 1 < labelSize) label[n++] = static_cast<char>(c);
        c = std::getc(f);
    }
    label[n] = '\0';
}

// Cheap consistency checks that catch a damaged key file before it is used
// to sign: a usable modulus and exponent, and primes that multiply to it.
bool componentsConsistent(BIGNUM* const* bn) {
    const BIGNUM* n = bn[kIndexN];
    const BIGNUM* e = bn[kIndexE];
    if (BN_is_zero(n) || !BN_is_odd(n) || BN_num_bytes(n) < kMinModulusBytes) return false;
    if (BN_is_zero(e) || !BN_is_odd(e) || BN_is_one(e)) return false;
    BnCtxPtr ctx(BN_CTX_secure_new());
    BnPtr product(BN_secure_new());
    if (!ctx || !product || !BN_mul(product.get(), bn[kIndexP], bn[kIndexQ], ctx.get()))
        return false;
    return BN_cmp(product.get(), n) == 0;
}

EVP_PKEY* keyFromComponents(BIGNUM* const* bn) {
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    if (!bld) return nullptr;
    for (int i = 0; i < 8; ++i)
        if (!OSSL_PARAM_BLD_push_BN(bld.get(), kComponentNames[i], bn[i])) return nullptr;
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0) return nullptr;
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) <= 0) return nullptr;
    return key;
}

}  // namespace

RsaKeyPair* RUTIL_GenerateRsaKeyPair(int bits, int exponent) {
    if (exponent != 3 && exponent != 17 && exponent != 65537) return nullptr;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    BnPtr e(BN_new());
    if (!ctx || !e || !BN_set_word(e.get(), static_cast<BN_ULONG>(exponent))) return nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) <= 0 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) <= 0)
        return nullptr;
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen(ctx.get(), &key) <= 0) return nullptr;
    return key;
}

void RUTIL_FreeRsaKeyPair(RsaKeyPair* key) { EVP_PKEY_free(key); }

int RUTIL_GetPublicKey(const RsaKeyPair* key, uint8_t* out, int* length) {
    return exportComponent(key, kIndexN, out, length);
}

int RUTIL_GetExponent(const RsaKeyPair* key, uint8_t* out, int* length) {
    return exportComponent(key, kIndexE, out, length);
}

int RUTIL_SignData(RsaKeyPair* key, const uint8_t* data, int length, uint8_t* signature) {
    int k = modulusBytes(key);
    if (k <= 0 || !signature) return -1;
    std::memset(signature, 0, static_cast<size_t>(k));

    uint8_t digest[kDigestBytes];
    if (!digestOf(data, length, digest)) return -1;
    uint8_t block[kMaxSignBytes];
    if (k > kMaxSignBytes || !buildSignatureBlock(digest, block, k)) {
        std::printf("RSA_padding_add_PKCS1_type_2() error\n");
        return -1;
    }

    uint8_t result[kMaxSignBytes];
    if (!rawPrivate(key, block, result, k)) return -1;
    // A damaged private component yields a wrong signature without any
    // error from the private operation; check it with the public one.
    uint8_t recovered[kMaxSignBytes];
    if (!rawPublic(key, result, recovered, k) ||
        !sameBytes(recovered, block, static_cast<size_t>(k)))
        return -1;
    std::memcpy(signature, result, static_cast<size_t>(k));
    return 0;
}

int RUTIL_VerifyData(RsaKeyPair* key, const uint8_t* data, int length,
                     const uint8_t* signature) {
    int k = modulusBytes(key);
    if (k < kMinModulusBytes || !signature) return -1;
    uint8_t digest[kDigestBytes];
    if (!digestOf(data, length, digest)) return -1;
    std::vector<uint8_t> expected(static_cast<size_t>(k));
    std::vector<uint8_t> m(static_cast<size_t>(k), 0);
    buildSignatureBlock(digest, expected.data(), k);
    if (!rawPublic(key, signature, m.data(), k)) return -1;
    return sameBytes(m.data(), expected.data(), m.size()) ? 0 : -1;
}

int RUTIL_SaveRsaKeyPair(FILE* file, const char* label, const RsaKeyPair* key) {
    if (!file || !isRsa(key)) return -1;
    // Collect and check every component before the first byte is written, so
    // a refused key leaves the stream untouched.
    SecretBytes components[8];
    for (int i = 0; i < 8; ++i)
        if (getComponent(key, i, components[i]) != 0) return -1;

    static const char digits[] = "0123456789abcdef";
    // Sized up front: a reallocation would leave copies of key bytes behind
    // in freed memory.
    size_t total = label ? 1 + std::strlen(label) : 0;
    for (const SecretBytes& c : components)
        total += 2 + std::to_string(c.size()).size() + 3 * c.size();
    std::string text;
    text.reserve(total);
    for (const SecretBytes& c : components) {
        text += '\n';
        text += std::to_string(c.size());
        text += '\n';
        for (size_t i = 0; i < c.size(); ++i) {
            text += digits[c.data()[i] >> 4];
            text += digits[c.data()[i] & 15];
            text += ' ';
        }
    }
    if (label) {
        text += '\n';
        text += label;
    }
    size_t written = std::fwrite(text.data(), 1, text.size(), file);
    csl_wipe(text.data(), text.size());
    return written == text.size() ? 0 : -1;
}

RsaKeyPair* RUTIL_ReadRsaKeyPair(FILE* file, char* label, size_t labelSize) {
    if (label && labelSize > 0) label[0] = '\0';
    if (!file) return nullptr;
    BnPtr owners[8];
    BIGNUM* bn[8];
    SecretBytes bytes(RUTIL_MAX_COMPONENT_BYTES);
    for (int i = 0; i < 8; ++i) {
        int count = 0;
        if (!readCount(file, &count)) return nullptr;
        for (int j = 0; j < count; ++j)
            if (!readByte(file, &bytes[static_cast<size_t>(j)])) return nullptr;
        owners[i].reset(BN_secure_new());
        if (!owners[i] || !BN_bin2bn(bytes.data(), count, owners[i].get())) return nullptr;
        bn[i] = owners[i].get();
    }
    if (!componentsConsistent(bn)) return nullptr;
    EVP_PKEY* key = keyFromComponents(bn);
    if (key && label && labelSize > 0) readLabel(file, label, labelSize);
    return key;
}

int RUTIL_ConvertPem(FILE* pem, FILE* out) {
    if (!pem || !out) return -1;
    PkeyPtr key(PEM_read_PrivateKey(pem, nullptr, nullptr, nullptr));
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA")) return -1;
    return RUTIL_SaveRsaKeyPair(out, nullptr, key.get());
}

int32_t utilFillSig(const char* keyPath, int32_t sigLength, uint8_t* object,
                    int32_t objectSize) {
    // The stream reads the private key's text through a buffer of ours, wiped
    // once the file is closed; stdio's own would be freed with the key in it.
    SecretBytes ioBuffer(BUFSIZ);
    FilePtr file(keyPath ? std::fopen(keyPath, "rb") : nullptr);
    if (!file) {
        std::fprintf(stderr, "unable to open file %s\n", keyPath ? keyPath : "(null)");
        return ES_ERR_FILE_OPEN;
    }
    std::setvbuf(file.get(), reinterpret_cast<char*>(ioBuffer.data()), _IOFBF, ioBuffer.size());
    const ES_SigLayout* sig =
        sigLength > 0 ? ES_GetSigLayoutBySigBytes(static_cast<uint32_t>(sigLength)) : nullptr;
    if (!sig || sig->signerKeyType == ES_PUBKEY_ECC) return ES_ERR_INVALID_SIG_TYPE;
    const auto signedStart = static_cast<int>(sig->signedStart);
    if (!object || objectSize < signedStart) return ES_ERR_INVALID;

    PkeyPtr key(RUTIL_ReadRsaKeyPair(file.get(), nullptr, 0));
    file.reset();
    if (!key) return ES_ERR_INVALID;
    // A key of another size would give a signature the verifier cannot use.
    if (modulusBytes(key.get()) != sigLength) return ES_ERR_INVALID_SIG_TYPE;

    uint8_t signature[kMaxSignBytes];
    if (RUTIL_SignData(key.get(), object + signedStart, objectSize - signedStart, signature) != 0)
        return ES_ERR_INVALID;
    std::memcpy(object + ES_SIG_OFFSET, signature, static_cast<size_t>(sigLength));
    return ES_ERR_OK;
}
