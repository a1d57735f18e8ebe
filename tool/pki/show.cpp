// show and check: what a key file, certificate or PKI directory holds,
// without printing any private value.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include <openssl/evp.h>

#include "csl/ecc.h"
#include "es/cert.h"
#include "es/tmd.h"
#include "tool/common/inspect.h"
#include "tool/common/pki_files.h"
#include "tool/common/report.h"
#include "tool/pki/pki.h"

namespace pki {

namespace {

// Key files and certificates are a few KiB; anything larger is neither.
constexpr size_t kMaxKeyFileBytes = 64 * 1024;

// A file name or a name from a file, safe to print on a terminal.
std::string shown(const std::string& text) { return tool::escapeText(text); }

// The public-key fingerprint: SHA-256 of the RSA modulus (big-endian, from
// its first non-zero byte) or of the 60-byte ECC point, in hex, so that a
// key file and its certificate show the same one.
std::string fingerprint(const uint8_t* key, size_t len, bool rsa) {
    while (rsa && len > 0 && *key == 0) {
        ++key;
        --len;
    }
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digestLen = 0;
    if (EVP_Digest(key, len, digest, &digestLen, EVP_sha256(), nullptr) != 1)
        die("SHA-256 is not available");
    return tool::hexString(digest, digestLen);
}

// A big-endian number in decimal when it fits 64 bits, else in hex.
std::string numberText(const uint8_t* p, size_t n) {
    while (n > 0 && *p == 0) {
        ++p;
        --n;
    }
    if (n > 8) return "0x" + tool::hexString(p, n);
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    return std::to_string(v);
}

// The RSA key file held in text (the caller's, wiped by it); null when the
// text is not one.
RsaKeyPair* parseKeyText(Bytes& text, char* label, size_t labelSize) {
    if (text.empty()) return nullptr;
    FILE* mem = fmemopen(text.data(), text.size(), "r");
    if (!mem) die("out of memory");
    std::setvbuf(mem, nullptr, _IONBF, 0);
    RsaKeyPair* key = RUTIL_ReadRsaKeyPair(mem, label, labelSize);
    std::fclose(mem);
    return key;
}

// "RSA-2048, exponent 65537" for the public half of an RSA key object.
std::string rsaKeyText(const RsaKeyPair* key) {
    return "RSA-" + std::to_string(modulusBytes(key) * 8) + ", exponent " +
           numberText(exponent(key).data(), exponent(key).size());
}

using Heading = std::function<void(const char* type)>;

void showField(const char* field, const std::string& value) {
    std::printf("  %s: %s\n", field, value.c_str());
}

// A raw key, told apart by its size, which no other file has; false for
// any other size.
bool showRawKey(const std::string& path, const Bytes& b, const Heading& head) {
    if (b.size() == 16) {
        head("AES-128 key (a common key, or an encrypted title key)");
        showField("value", "not shown");
        return true;
    }
    if (b.size() == 30) {
        uint8_t pub[ES_ECC_PUBKEY_BYTES];
        if (!validEccPrivateKey(b.data()) || CSL_GenerateEccPublicKey(b.data(), pub) != 0)
            die(path + " has the size of a sect233r1 private key but is not one");
        head("sect233r1 private key");
        showField("value", "not shown");
        showField("public key", "sect233r1 point");
        showField("fingerprint", fingerprint(pub, sizeof pub, false));
        return true;
    }
    if (b.size() == ES_ECC_PUBKEY_BYTES) {
        if (!validEccPublicKey(b))
            die(path + " has the size of a sect233r1 public key but is not a point of the curve");
        refuseUntrustedEccKey(path, b);
        head("sect233r1 public key");
        showField("fingerprint", fingerprint(b.data(), b.size(), false));
        return true;
    }
    return false;
}

void showCert(const std::string& path, const Bytes& b, const Heading& head) {
    const inspect::Cert cert = inspect::describeCert(path, b);
    // A TMD begins with a signature type too; its size, from its own content
    // count, tells it from a damaged certificate.
    if (!cert.problem.empty() && b.size() >= tmd_layout::HEADER_BYTES &&
        b.size() == ES_GetTmdSize(es_get_be16(b.data() + tmd_layout::NUM_CONTENTS))) {
        head("TMD (title metadata; tmd-inspect checks it)");
        char titleId[24];
        std::snprintf(titleId, sizeof titleId, "0x%016llx",
                      static_cast<unsigned long long>(es_get_be64(b.data() + tmd_layout::TITLE_ID)));
        showField("title ID", titleId);
        const char* issuer = reinterpret_cast<const char*>(b.data() + tmd_layout::ISSUER);
        showField("issuer", shown(std::string(issuer, strnlen(issuer, ES_ISSUER_BYTES))));
        showField("contents", std::to_string(es_get_be16(b.data() + tmd_layout::NUM_CONTENTS)));
        return;
    }
    if (!cert.problem.empty()) die(path + " is not a usable certificate: " + cert.problem);
    const ES_CertLayout* l = ES_GetCertLayout(cert.sigType, cert.keyType);
    const uint8_t* key = cert.bytes.data() + l->publicKey;
    const uint32_t keyLen = l->publicKeyBytes;
    const bool rsa = cert.keyType != ES_PUBKEY_ECC;
    head("certificate");
    showField("signed with", std::string(inspect::sigTypeText(cert.sigType)) + " (the issuer's key)");
    showField("issuer", shown(cert.issuer));
    showField("name", shown(cert.name));
    char keyId[16];
    std::snprintf(keyId, sizeof keyId, "0x%08x", es_get_be32(cert.bytes.data() + l->keyId));
    showField("key ID", keyId);
    showField("public key", rsa ? "RSA-" + std::to_string(keyLen * 8) + ", exponent " +
                                      numberText(cert.bytes.data() + l->exponent, ES_CERT_EXPONENT_BYTES)
                                : std::string("sect233r1 point"));
    showField("fingerprint", fingerprint(key, keyLen, rsa));
}

void showKeyFile(const std::string& path, Bytes& b, const Heading& head) {
    if (b.size() >= 10 && std::memcmp(b.data(), "-----BEGIN", 10) == 0)
        die(path + " is a PEM file; convert-pem turns an RSA private key into a key file");
    char label[256] = {};
    KeyOwner key(parseKeyText(b, label, sizeof label));
    if (!key.key) die(path + " is not a key file, certificate or common key");
    head("RSA key file (a private key)");
    showField("private values", "not shown");
    if (*label) showField("label", shown(label));
    showField("public key", rsaKeyText(key.key));
    const Bytes n = modulus(key.key, static_cast<size_t>(modulusBytes(key.key)));
    showField("fingerprint", fingerprint(n.data(), n.size(), true));
}

}  // namespace

int cmdShow(const Args& args) {
    const std::string& path = args.paths[0];
    Secret content{readFile(path, kMaxKeyFileBytes)};
    Bytes& b = content.bytes;
    const Heading head = [&](const char* type) {
        std::printf("%s: %s, %zu bytes\n", shown(path).c_str(), type, b.size());
    };
    if (showRawKey(path, b, head)) return 0;
    // A certificate begins with its signature type; a key file with text.
    if (b.size() >= 4 && ES_GetSigLayout(es_get_be32(b.data())))
        showCert(path, b, head);
    else
        showKeyFile(path, b, head);
    return 0;
}

// Why the RSA key file at path does not hold the key of cert; empty when it
// does.
std::string keyMismatch(const std::string& path, const char* name, const inspect::Cert& cert) {
    std::string why;
    std::optional<Bytes> text = tryReadFile(path, kMaxKeyFileBytes, why);
    if (!text) return std::string(name) + " " + why;
    Secret owned{std::move(*text)};
    KeyOwner key(parseKeyText(owned.bytes, nullptr, 0));
    if (!key.key) return std::string(name) + " is not a valid RSA key file";
    if (!cert.problem.empty()) return "its certificate " + cert.file + " is unusable";
    uint32_t keyLen = 0;
    const uint8_t* certKey = ES_GetCertPubKey(cert.bytes.data(), &keyLen);
    if (cert.keyType == ES_PUBKEY_ECC || !certKey) return cert.file + " holds no RSA key";
    const Bytes n = modulus(key.key, static_cast<size_t>(modulusBytes(key.key)));
    const Bytes e = exponent(key.key);
    if (fingerprint(n.data(), n.size(), true) != fingerprint(certKey, keyLen, true) ||
        numberText(e.data(), e.size()) != numberText(certKey + keyLen, ES_CERT_EXPONENT_BYTES))
        return std::string(name) + " does not hold the key of " + cert.file;
    return "";
}

namespace {

// The PKI's key files, and the count of checks that failed.
struct PkiCheck {
    std::filesystem::path dir;
    int failed = 0;

    std::string in(const char* name) const { return (dir / name).string(); }

    void report(const char* check, const std::string& failure, const std::string& detail) {
        if (!failure.empty()) ++failed;
        const std::string& note = failure.empty() ? detail : failure;
        std::printf("  %s: %s%s\n", check, failure.empty() ? "ok" : "failed",
                    note.empty() ? "" : (" (" + shown(note) + ")").c_str());
    }

    std::string commonKeyFailure() const {
        std::string why;
        std::optional<Bytes> read = tryReadFile(in(tool::kCommonKeyFile), kMaxKeyFileBytes, why);
        const Secret key{read ? std::move(*read) : Bytes{}};
        if (!read) return std::string(tool::kCommonKeyFile) + " " + why;
        if (key.bytes.size() != 16) return std::to_string(key.bytes.size()) + " bytes, not 16";
        return "";
    }

    inspect::Cert loadCert(const char* name) const {
        std::string why;
        std::optional<Bytes> read = tryReadFile(in(name), kMaxKeyFileBytes, why);
        inspect::Cert cert = inspect::describeCert(name, read ? std::move(*read) : Bytes{});
        if (!read) cert.problem = why;
        return cert;
    }
};

std::filesystem::path pkiIn(const std::string& given) {
    std::error_code ec;
    if (!std::filesystem::is_directory(given, ec)) die(given + " is not a directory");
    const std::optional<std::filesystem::path> dir = tool::keyDirectoryIn(given);
    if (!dir)
        die("no PKI in " + given + ": no key files in it, in its " + tool::kSdkLayout +
            " or in its " + tool::kRootLayout);
    return *dir;
}

}  // namespace

int cmdCheck(const Args& args) {
    PkiCheck c{pkiIn(args.paths[0])};
    std::printf("key files: %s\n", shown(c.dir.string()).c_str());
    c.report("common key", c.commonKeyFailure(), "16 bytes");
    const inspect::Cert cp = c.loadCert(tool::kCpCertFile), ca = c.loadCert(tool::kCaCertFile);
    c.report("content-publishing certificate",
             !cp.problem.empty()                 ? cp.file + ": " + cp.problem
             : cp.keyType != ES_PUBKEY_RSA2048 ? cp.file + " holds no RSA-2048 key, which TMDs are signed with"
                                                 : "",
             cp.issuer + "-" + cp.name);
    c.report("content-publishing key", keyMismatch(c.in(tool::kCpKeyFile), tool::kCpKeyFile, cp),
             std::string(tool::kCpKeyFile) + " holds the certificate's key");
    const inspect::Check chain = inspect::checkChain(cp, ca);
    c.report("certificate chain", chain.status == inspect::Status::ok ? "" : chain.detail,
             std::string(tool::kCpCertFile) + " verifies against " + tool::kCaCertFile);
    // The CA's private key is kept beside its certificate only in development.
    std::error_code ec;
    if (std::filesystem::exists(c.in(tool::kCaKeyFile), ec))
        c.report("CA key", keyMismatch(c.in(tool::kCaKeyFile), tool::kCaKeyFile, ca),
                 std::string(tool::kCaKeyFile) + " holds the certificate's key");

    if (c.failed)
        std::printf("PKI not usable: %d check%s failed\n", c.failed, c.failed == 1 ? "" : "s");
    else
        std::printf("PKI complete and consistent\n");
    return c.failed ? 2 : 0;
}

}  // namespace pki
