#include "tool/common/tmdcheck.h"

#include <sys/stat.h>

#include <array>
#include <cstdio>

#include "csl/wipe.h"
#include "es/cert.h"
#include "io/output_file.h"
#include "io/small_file.h"
#include "tool/common/report.h"
#include "util/rsautil.h"
#include "util/utils.h"

namespace tool {

namespace {

constexpr int kMaxContents = static_cast<int>(ES_MAX_CONTENTS);
// The content-publishing certificate: RSA-2048 signed, of an RSA-2048 key.
const uint32_t kRsa2048CertBytes = ES_GetCertLayout(ES_SIG_RSA2048, ES_PUBKEY_RSA2048)->size;

uint16_t recordIndex(const ContentRecord& r) { return es_get_be16(r.bytes + cmd_layout::INDEX); }
uint32_t recordCid(const ContentRecord& r) { return es_get_be32(r.bytes + cmd_layout::CID); }

std::vector<uint8_t> withoutLeadingZeros(const uint8_t* p, size_t n) {
    while (n > 0 && *p == 0) ++p, --n;
    return {p, p + n};
}

}  // namespace

bool isAllowedTitleType(uint32_t t) {
    switch (t) {
        case 0x1: case 0x5: case 0x9: case 0x11: case 0x19:
        case 0x21: case 0x29: case 0x31: case 0x39:
            return true;
        default:
            return false;
    }
}

bool isAllowedContentType(uint16_t t) {
    switch (t) {
        case 0x0000: case 0x0001: case 0x0003: case 0x4001:
        case 0x4003: case 0x8001: case 0xC001:
            return true;
        default:
            return false;
    }
}

std::vector<std::string> checkContentLists(const ContentLists& l) {
    const char* const kIndexMsg =
        "content index has to be zero based and less than the number of contents %d\n";

    if (l.numInCmds == 0) {
        if (l.numContents == 0) return {"number of contents incorrect\n"};
        if (l.bidx >= l.numContents && l.bidx != 0x1FF)
            return {format("boot content index incorrect bidx=%d numContents=%d\n", l.bidx,
                           l.numContents)};
        bool haveZero = false;
        for (int i = 0; i < l.numContents; ++i) {
            if (l.index[i] >= l.numContents) return {format(kIndexMsg, l.numContents)};
            if (l.index[i] == 0) haveZero = true;
        }
        if (!haveZero) return {format(kIndexMsg, l.numContents)};
    }

    for (int j = 0; j < l.numContents; ++j) {
        for (int k = 0; k < j; ++k) {
            if (l.cids[j] == l.cids[k]) return {format("duplicate content ID 0x%08x\n", l.cids[j])};
        }
    }

    // Every conflict is reported before the run ends.
    if (l.numContents != 0 && l.numInCmds != 0) {
        std::vector<std::string> conflicts;
        for (int j = 0; j < l.numContents; ++j) {
            for (int k = 0; k < l.numInCmds; ++k) {
                if (l.index[j] == recordIndex(l.cmds[k])) {
                    conflicts.push_back(format("conflicting content index '%hu'\n", l.index[j]));
                    break;
                }
                if (l.cids[j] == recordCid(l.cmds[k])) {
                    conflicts.push_back(format("conflicting content id '%u'\n", l.cids[j]));
                    break;
                }
            }
        }
        if (!conflicts.empty()) return conflicts;
    }

    // The per-content tables hold 512 entries: nothing may index past them.
    const int total = l.numContents + l.numInCmds;
    if (total > kMaxContents)
        return {format("too many contents: %d (at most %d)\n", total, kMaxContents)};
    for (int k = 0; k < l.numInCmds; ++k) {
        const uint16_t idx = recordIndex(l.cmds[k]);
        if (idx >= total)
            return {format("content record %s has index %u, not below the number of contents %d\n",
                           l.cmdFiles[k], idx, total)};
    }
    if (l.numInCmds != 0) {
        for (int i = 0; i < l.numContents; ++i) {
            if (l.index[i] >= kMaxContents)
                return {format("content index %u out of range (at most %d)\n", l.index[i],
                               kMaxContents - 1)};
        }
    }
    return {};
}

TmdFileCheck checkTmdFileSize(uint64_t fileSize, uint64_t bufferSize) {
    if (fileSize > bufferSize) return TmdFileCheck::tooLarge;
    if (fileSize < tmd_layout::HEADER_BYTES) return TmdFileCheck::tooShort;
    return TmdFileCheck::ok;
}

TmdFileCheck checkTmdRecords(const uint8_t* tmd, uint32_t fileSize) {
    const uint16_t numContents = es_get_be16(tmd + tmd_layout::NUM_CONTENTS);
    return ES_GetTmdSize(numContents) > fileSize ? TmdFileCheck::fewerRecords : TmdFileCheck::ok;
}

std::string signingKeyMismatch(const char* certPath, const std::string& keyName,
                               const std::vector<uint8_t>& modulus,
                               const std::vector<uint8_t>& exponent) {
    const uint32_t rsa2048 = ES_GetPubKeyBytes(ES_PUBKEY_RSA2048);
    const std::vector<uint8_t> n = withoutLeadingZeros(modulus.data(), modulus.size());
    if (n.size() != rsa2048 || !(n[0] & 0x80)) return "the key of " + keyName + " is not RSA-2048";
    // The RSA-2048-signed layout's size reaches its names and key; the
    // RSA-4096-signed one keeps its key further on.
    const uint32_t first = kRsa2048CertBytes;
    uint8_t cert[ES_CERT_MAX_BYTES];
    utilFread(certPath, cert, first);
    uint32_t len = 0;
    const uint8_t* key = ES_GetCertPubKey(cert, &len);
    if (!key || len != rsa2048)
        return std::string("the certificate ") + certPath + " holds no RSA-2048 key";
    const uint32_t keyEnd = static_cast<uint32_t>(key - cert) + len + ES_CERT_EXPONENT_BYTES;
    if (keyEnd > first) utilFread(certPath, cert, keyEnd);
    if (withoutLeadingZeros(key, len) != n ||
        withoutLeadingZeros(key + len, 4) != withoutLeadingZeros(exponent.data(), exponent.size()))
        return "the key of " + keyName + " does not match the certificate " + certPath;
    return "";
}

std::string keyFileMismatch(const char* keyPath, const char* certPath) {
    {
        // The TMD stage reports a certificate without names in its own words.
        struct stat st;
        if (stat(certPath, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < kRsa2048CertBytes)
            return "";
        uint8_t cert[ES_CERT_MAX_BYTES], issuer[ES_ISSUER_BYTES], name[ES_CERT_NAME_BYTES];
        if (tmd_io::readFilePrefix(certPath, cert, kRsa2048CertBytes).status != tmd_io::ReadStatus::ok ||
            ES_GetCertNames(cert, issuer, name) != 0)
            return "";
    }
    struct stat st;
    if (stat(keyPath, &st) != 0 || !S_ISREG(st.st_mode)) return "";
    tmd_io::FilePtr f(std::fopen(keyPath, "rb"));
    if (!f) return "";
    // The key's text passes through this buffer, not stdio's, and is wiped.
    std::array<char, BUFSIZ> buffer{};
    std::setvbuf(f.get(), buffer.data(), _IOFBF, buffer.size());
    RsaKeyPair* key = RUTIL_ReadRsaKeyPair(f.get(), nullptr, 0);
    f.reset();
    csl_wipe(buffer.data(), buffer.size());
    if (!key) return "";
    uint8_t n[RUTIL_MAX_COMPONENT_BYTES], e[RUTIL_MAX_COMPONENT_BYTES];
    int nLen = 0, eLen = 0;
    const bool ok = RUTIL_GetPublicKey(key, n, &nLen) == 0 && RUTIL_GetExponent(key, e, &eLen) == 0;
    RUTIL_FreeRsaKeyPair(key);
    if (!ok || nLen <= 0 || eLen <= 0) return "";
    return signingKeyMismatch(certPath, keyPath, {n, n + nLen}, {e, e + eLen});
}

std::string contentRecordFileName(const uint8_t* record) {
    char name[13];  // at most 8 hex digits, ".cmd" and the terminator
    std::snprintf(name, sizeof name, "%lx.cmd",
                  static_cast<unsigned long>(es_get_be32(record + cmd_layout::CID)));
    return name;
}

}  // namespace tool
