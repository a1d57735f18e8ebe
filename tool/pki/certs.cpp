// Certificates of every layout, signed by their issuer's key (a key file,
// a token key or an ECC private key), and the development PKI of init.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "es/cert.h"
#include "tool/common/pkcs11_signer.h"
#include "tool/common/inspect.h"
#include "tool/pki/pki.h"
#include "util/utils.h"

namespace pki {

namespace {

constexpr size_t kMaxNameChars = 63;

void checkName(const char* what, const std::string& value) {
    if (value.empty() || value.size() > kMaxNameChars)
        die(std::string(what) + " holds 1 to 63 characters");
}

Bytes buildCert(const std::string& name, const std::string& issuer, uint32_t sigType, uint32_t keyType,
                const Bytes& publicKey, const Bytes& exp, uint32_t keyId) {
    const int32_t size = ES_GetCertSize(sigType, keyType);
    if (size < 0) die("a signer of this kind cannot certify a key of this kind");
    Bytes cert(static_cast<size_t>(size));
    const int32_t rc = ES_GenerateUnsignedCert(name.c_str(), issuer.c_str(), sigType, keyType, publicKey.data(),
                                               exp.empty() ? nullptr : exp.data(),
                                               static_cast<int32_t>(exp.size()), keyId, cert.data());
    if (rc == ES_ERR_NAME_TOO_LONG) die("certificate name and issuer are limited to 63 characters");
    if (rc != 0) die("cannot build the certificate " + name);
    return cert;
}

// The RSA signature header a key of `bytes` modulus bytes signs with; null
// for a size no RSA signature type has.
const ES_SigLayout* rsaSigLayout(size_t bytes) {
    const ES_SigLayout* l = ES_GetSigLayoutBySigBytes(static_cast<uint32_t>(bytes));
    return l && l->signerKeyType != ES_PUBKEY_ECC ? l : nullptr;
}

Bytes rsaCert(const std::string& name, const std::string& issuer, uint32_t sigType, const RsaKeyPair* subject,
              uint32_t keyId) {
    const int bytes = modulusBytes(subject);
    const ES_SigLayout* l = bytes > 0 ? rsaSigLayout(static_cast<size_t>(bytes)) : nullptr;
    if (!l) die("certificates hold RSA-2048 or RSA-4096 keys only");
    const Bytes n = modulus(subject, static_cast<size_t>(bytes)), e = exponent(subject);
    if (ES_CheckPubKey(l->signerKeyType, n.data(), static_cast<uint32_t>(n.size()), e.data(),
                       static_cast<uint32_t>(e.size())) != ES_ERR_OK)
        die(std::string("the key to certify is refused: ") + inspect::kUntrustedRsaKey);
    return buildCert(name, issuer, sigType, l->signerKeyType, n, e, keyId);
}

uint32_t rsaSigType(size_t bytes) {
    const ES_SigLayout* l = rsaSigLayout(bytes);
    if (!l) die("signing keys are RSA-2048 or RSA-4096");
    return l->sigType;
}

uint32_t rsaSigType(const RsaKeyPair* signer) {
    const int bytes = modulusBytes(signer);
    return rsaSigType(bytes > 0 ? static_cast<size_t>(bytes) : size_t{0});
}

// Signs the certificate from its issuer field on, as the TMD is signed.
void signRsa(RsaKeyPair* signer, Bytes& cert) {
    const size_t sigLen = static_cast<size_t>(modulusBytes(signer));
    const size_t signedStart = ES_GetSigLayout(rsaSigType(signer))->signedStart;
    uint8_t sig[ES_RSA4096_SIG_BYTES];
    if (cert.size() < signedStart ||
        RUTIL_SignData(signer, cert.data() + signedStart, static_cast<int>(cert.size() - signedStart), sig) != 0)
        die("cannot sign the certificate");
    std::memcpy(cert.data() + ES_SIG_OFFSET, sig, sigLen);
}

}  // namespace

int cmdInit(const Args& args) {
    const std::string* layout = args.get("--layout");
    if (layout && *layout != "sdk" && *layout != "root") die("--layout takes sdk or root");
    const std::string* bitsArg = args.get("--ca-bits");
    if (bitsArg && *bitsArg != "2048" && *bitsArg != "4096") die("--ca-bits takes 2048 or 4096");
    const int caBits = bitsArg && *bitsArg == "4096" ? 4096 : 2048;

    std::string dir;
    const int dirFd = keyFileDirectory(args.paths[0],
                                       layout && *layout == "root"
                                           ? std::vector<std::string>{"usr", "etc", "pki_data"}
                                           : std::vector<std::string>{"X86", "bin", "pki_data"},
                                       dir);
    auto in = [&](const char* n) {
        return Target{(std::filesystem::path(dir) / n).string(), dirFd, n};
    };
    const Target common = in("common_dpki.aesKey"), caKey = in("ca_dpki.rsa"),
                 cpKey = in("cp_dpki.rsa"), caCertFile = in("ca_dpki.cert"),
                 cpCertFile = in("cp_dpki.cert");
    // A second init would make every package of the first unverifiable.
    checkDestinations({common, caKey, cpKey, caCertFile, cpCertFile}, args.force());

    Secret commonKey(16);
    randomBytes(commonKey.bytes.data(), commonKey.bytes.size());
    KeyOwner ca(RUTIL_GenerateRsaKeyPair(caBits, 65537));
    KeyOwner cp(RUTIL_GenerateRsaKeyPair(2048, 65537));
    if (!ca.key || !cp.key) die("RSA key generation failed");
    const Secret caText = encodeKey(ca.key, nullptr), cpText = encodeKey(cp.key, nullptr);

    const uint32_t caSig = rsaSigType(ca.key);
    Bytes caCert = rsaCert("CA00000001", "Root", caSig, ca.key, 0);
    signRsa(ca.key, caCert);
    Bytes cpCert = rsaCert("CP00000004", "Root-CA00000001", caSig, cp.key, 0);
    signRsa(ca.key, cpCert);

    writeOutputs({{common.path, commonKey.bytes.data(), commonKey.bytes.size(), true},
                  {caKey.path, caText.bytes.data(), caText.bytes.size(), true},
                  {cpKey.path, cpText.bytes.data(), cpText.bytes.size(), true},
                  {caCertFile.path, caCert.data(), caCert.size(), false},
                  {cpCertFile.path, cpCert.data(), cpCert.size(), false}},
                 args.force());
    std::printf("development PKI written to %s\n", dir.c_str());
    return 0;
}

namespace {

// What cert was asked for: the subject's key, the signer and the names.
struct CertRequest {
    const std::string* name;
    const std::string* issuer;
    const std::string* rsaSubject;
    const std::string* eccSubject;
    const std::string* signRsaPath;
    const std::string* signEccPath;
    bool self;
    uint32_t keyId = 0;
};

CertRequest certRequest(const Args& args) {
    CertRequest q{args.get("--name"),     args.get("--issuer"),   args.get("--rsa-key"), args.get("--ecc-public"),
                  args.get("--sign-rsa"), args.get("--sign-ecc"), args.has("--self")};
    if (!q.name || !q.issuer) die("cert needs --name and --issuer");
    checkName("--name", *q.name);
    checkName("--issuer", *q.issuer);
    if (!q.rsaSubject == !q.eccSubject) die("cert needs one of --rsa-key and --ecc-public");
    if (q.self + !!q.signRsaPath + !!q.signEccPath != 1) die("cert needs one of --sign-rsa, --sign-ecc and --self");
    if (q.self && !q.rsaSubject) die("--self signs RSA certificates only");
    if (const std::string* id = args.get("--key-id")) {
        const auto v = parseNumber(*id, 0xFFFFFFFFu);
        if (!v) die("--key-id takes a number from 0 to 0xFFFFFFFF");
        q.keyId = static_cast<uint32_t>(*v);
    }
    return q;
}

// The key that signs: an RSA key file, an RSA key in a PKCS#11 token, or an
// ECC private-key file. It decides the signature type.
struct CertSigner {
    KeyOwner rsa;
    std::unique_ptr<tool::TokenKey> token;
    uint32_t sigType = ES_SIG_ECC;
};

void openSigner(const CertRequest& q, CertSigner& s) {
    if (q.signRsaPath && tool::isPkcs11Uri(*q.signRsaPath)) {
        std::string error;
        s.token = tool::TokenKey::open(q.signRsaPath->c_str(), false, &error);
        if (!s.token) die(error);
        s.sigType = rsaSigType(s.token->isRsa() ? s.token->modulus().size() : 0);
    } else if (!q.signEccPath) {
        s.rsa.key = loadKey(q.self ? *q.rsaSubject : *q.signRsaPath);
        s.sigType = rsaSigType(s.rsa.key);
    } else {
        const Secret priv{readFile(*q.signEccPath, 4096)};
        if (priv.bytes.size() < 30) die(*q.signEccPath + " is not a 30-byte private key");
        if (!validEccPrivateKey(priv.bytes.data()))
            die(*q.signEccPath + " is not a private key of the curve (0 < d < n)");
    }
}

Bytes subjectCert(const CertRequest& q, uint32_t sigType) {
    if (q.rsaSubject) {
        KeyOwner subject(loadKey(*q.rsaSubject));
        return rsaCert(*q.name, *q.issuer, sigType, subject.key, q.keyId);
    }
    const Bytes pub = readFile(*q.eccSubject, ES_ECC_PUBKEY_BYTES);
    if (pub.size() != ES_ECC_PUBKEY_BYTES) die(*q.eccSubject + " is not a 60-byte public key");
    if (!validEccPublicKey(pub)) die(*q.eccSubject + " is not a point of the curve");
    refuseUntrustedEccKey(*q.eccSubject, pub);
    return buildCert(*q.name, *q.issuer, sigType, ES_PUBKEY_ECC, pub, {}, q.keyId);
}

void signCert(const CertRequest& q, CertSigner& s, Bytes& cert) {
    if (q.signEccPath) {
        if (utilFillEccSig(q.signEccPath->c_str(), cert.data(), static_cast<int32_t>(cert.size())) != 0)
            die("cannot sign the certificate with " + *q.signEccPath);
    } else if (s.token) {
        std::string error;
        if (!s.token->fillSig(static_cast<int32_t>(ES_GetSigLayout(s.sigType)->sigBytes), cert.data(),
                              static_cast<int32_t>(cert.size()), &error))
            die("cannot sign the certificate: " + error);
    } else {
        signRsa(s.rsa.key, cert);
    }
}

}  // namespace

int cmdCert(const Args& args) {
    const CertRequest q = certRequest(args);
    checkDestinations(args.paths, args.force());
    CertSigner signer;
    openSigner(q, signer);
    Bytes cert = subjectCert(q, signer.sigType);
    signCert(q, signer, cert);
    writeOutputs({{args.paths[0], cert.data(), cert.size(), false}}, args.force());
    std::printf("%zu-byte certificate written to %s\n", cert.size(), args.paths[0].c_str());
    return 0;
}

}  // namespace pki
