// Certificates as tmd-inspect meets them: any file may be named as one, so
// its layout is established before any verification looks inside it, and
// the verification dispatch is only ever handed a size it handles.
#include <cstring>

#include "csl/rsa.h"
#include "es/cert.h"
#include "es/tmd.h"
#include "tool/common/inspect.h"
#include "util/utils.h"

namespace inspect {

namespace {

const char* keyTypeText(uint32_t keyType) {
    switch (keyType) {
        case ES_PUBKEY_RSA4096: return "an RSA-4096 key";
        case ES_PUBKEY_RSA2048: return "an RSA-2048 key";
        case ES_PUBKEY_ECC: return "an ECC key";
        default: return "an unknown key";
    }
}

std::string hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

std::string text64(const uint8_t* field) {
    const char* p = reinterpret_cast<const char*>(field);
    return std::string(p, strnlen(p, ES_CERT_NAME_BYTES));
}

Check signatureCheck(std::string name, std::string failure) {
    const Status s = failure.empty() ? Status::ok : Status::failed;
    return {Group::signature, std::move(name), s, std::move(failure)};
}

}  // namespace

const char* sigTypeText(uint32_t sigType) {
    switch (sigType) {
        case ES_SIG_RSA4096: return "RSA-4096";
        case ES_SIG_RSA2048: return "RSA-2048";
        case ES_SIG_ECC: return "ECC";
        default: return "unknown";
    }
}

Cert describeCert(std::string file, Bytes bytes) {
    Cert c;
    c.file = std::move(file);
    c.bytes = std::move(bytes);
    const size_t size = c.bytes.size();
    const std::string sizeText = std::to_string(size) + " bytes";
    if (size < 4) {
        c.problem = sizeText + ", too short for a certificate";
        return c;
    }
    c.sigType = es_get_be32(c.bytes.data());
    const size_t at = ES_GetCertKeyTypeOffset(c.sigType);
    if (at == 0) {
        c.problem = "unknown signature type " + hex32(c.sigType);
        return c;
    }
    if (size < at + 4) {
        c.problem = sizeText + ", too short for an " + sigTypeText(c.sigType) + "-signed certificate";
        return c;
    }
    c.keyType = es_get_be32(c.bytes.data() + at);
    const int32_t expected = ES_GetCertSize(c.sigType, c.keyType);
    if (expected < 0) {
        c.problem = "key type " + std::to_string(c.keyType) + " is not admitted in an " +
                    sigTypeText(c.sigType) + "-signed certificate";
        return c;
    }
    if (size != static_cast<size_t>(expected)) {
        c.problem = sizeText + "; an " + sigTypeText(c.sigType) + "-signed certificate of " +
                    keyTypeText(c.keyType) + " has " + std::to_string(expected);
        return c;
    }
    uint8_t issuer[ES_CERT_NAME_BYTES], name[ES_CERT_NAME_BYTES];
    if (ES_GetCertNames(c.bytes.data(), issuer, name) != 0) {
        c.problem = "names cannot be read";
        return c;
    }
    c.issuer = text64(issuer);
    c.name = text64(name);
    c.problem = untrustedKeyProblem(c.bytes.data(), c.keyType);
    return c;
}

std::string untrustedKeyProblem(const uint8_t* cert, uint32_t keyType) {
    if (ES_CheckCertPubKey(cert) == ES_ERR_OK) return "";
    return keyType == ES_PUBKEY_ECC ? std::string(kUntrustedEccKey) : std::string(kUntrustedRsaKey);
}

Check checkTmdSignature(const uint8_t* tmd, uint32_t tmdSize, const Cert& cp) {
    const char* name = "TMD signature";
    const uint32_t sigType = es_get_be32(tmd);
    if (sigType != ES_SIG_RSA2048)
        return signatureCheck(name, "signature type " + hex32(sigType) + " is not RSA-2048");
    if (!cp.problem.empty()) return signatureCheck(name, "certificate " + cp.file + " is unusable: " + cp.problem);
    if (cp.keyType != ES_PUBKEY_RSA2048)
        return signatureCheck(name, "certificate " + cp.file + " holds " + keyTypeText(cp.keyType) +
                                        ", not the RSA-2048 key a TMD is signed with");
    // An RSA-2048 key sits in a layout the dispatch handles by its size.
    const int32_t r = utilVerify2(cp.bytes.data(), static_cast<int32_t>(cp.bytes.size()),
                                  static_cast<int32_t>(ES_GetSigLayout(sigType)->sigBytes), tmd,
                                  static_cast<int32_t>(tmdSize), 1);
    if (r == 0) return signatureCheck(name, "");
    return signatureCheck(name, r == CSL_VERIFY_ERROR ? "does not verify against " + cp.file
                                       : "verification error " + std::to_string(r));
}

Check checkTmdIssuer(const uint8_t* tmd, const Cert& cp) {
    const std::string issuer = text64(tmd + tmd_layout::ISSUER);
    if (!cp.problem.empty()) return signatureCheck("TMD issuer", "certificate " + cp.file + " is unusable");
    const std::string expected = cp.issuer + "-" + cp.name;
    return signatureCheck("TMD issuer",
                          issuer == expected ? "" : "TMD names " + issuer + ", certificate is " + expected);
}

Check checkChain(const Cert& cp, const Cert& ca) {
    auto result = [](std::string failure) {
        const Status s = failure.empty() ? Status::ok : Status::failed;
        return Check{Group::chain, "certificate chain", s, std::move(failure)};
    };
    if (!cp.problem.empty()) return result("certificate " + cp.file + " is unusable: " + cp.problem);
    if (!ca.problem.empty()) return result("CA certificate " + ca.file + " is unusable: " + ca.problem);
    const ES_SigLayout* sig = ES_GetSigLayout(cp.sigType);
    if (ca.keyType != sig->signerKeyType)
        return result("CA certificate " + ca.file + " holds " + keyTypeText(ca.keyType) + "; " + cp.file +
                      " is " + sigTypeText(cp.sigType) + "-signed");
    const auto cpSize = static_cast<int32_t>(cp.bytes.size());
    int32_t r;
    if (cp.sigType == ES_SIG_ECC) {
        // The dispatch takes ECC keys from the RSA-2048-signed layout only;
        // the key is checked directly, whichever layout holds it.
        uint32_t keyLen = 0;
        const uint8_t* key = ES_GetCertPubKey(ca.bytes.data(), &keyLen);
        const uint8_t* region = cp.bytes.data() + sig->signedStart;
        r = key && keyLen == ES_ECC_PUBKEY_BYTES
                ? ES_VerifyEccSig(key, region, static_cast<uint32_t>(cp.bytes.size() - sig->signedStart),
                                  cp.bytes.data() + ES_SIG_OFFSET)
                : -1;
    } else {
        // RSA keys sit in layouts the dispatch handles by their size.
        r = utilVerify2(ca.bytes.data(), static_cast<int32_t>(ca.bytes.size()),
                        static_cast<int32_t>(sig->sigBytes), cp.bytes.data(), cpSize, 1);
    }
    if (r != 0) return result("certificate " + cp.file + " does not verify against " + ca.file);
    if (cp.issuer != ca.issuer + "-" + ca.name)
        return result("certificate " + cp.file + " names its issuer " + cp.issuer + ", the CA certificate is " +
                      ca.issuer + "-" + ca.name);
    return result("");
}

}  // namespace inspect
