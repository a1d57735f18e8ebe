// TMD construction: the header and content records of a title, unsigned.
#include "es/tmd.h"

#include <algorithm>
#include <cstring>

#include "io/output_file.h"

namespace {

constexpr size_t NAME_FIELD = ES_ISSUER_BYTES;

}  // namespace

uint32_t ES_GetTmdSize(uint16_t numContents) {
    return tmd_layout::HEADER_BYTES + ES_CONTENT_RECORD_BYTES * uint32_t{numContents};
}

bool ES_TmdIssuerFits(const char* signerName, const char* signerIssuer) {
    size_t nameLen = signerName ? strnlen(signerName, NAME_FIELD) : 0;
    size_t issuerLen = signerIssuer ? strnlen(signerIssuer, NAME_FIELD) : 0;
    return issuerLen + 1 + nameLen < NAME_FIELD;
}

int32_t ES_GenerateUnsignedTmd(const TmdParams* params, uint8_t caCrlVersion,
                               uint8_t signerCrlVersion, uint64_t sysVersion,
                               uint32_t accessRights, uint16_t bootIndex,
                               const uint8_t (*hashes)[20], const char* signerName,
                               const char* signerIssuer, uint8_t* tmd) {
    if (!params || !tmd || params->numContents > ES_MAX_CONTENTS ||
        (params->numContents > 0 && !hashes))
        return ES_ERR_INVALID;
    using namespace tmd_layout;
    const uint16_t count = params->numContents;
    std::memset(tmd, 0, ES_GetTmdSize(count));

    tmd[VERSION] = ES_TMD_VERSION;
    es_put_be64(tmd + SYS_VERSION, sysVersion);
    tmd[CA_CRL_VERSION] = caCrlVersion;
    tmd[SIGNER_CRL_VERSION] = signerCrlVersion;
    es_put_be32(tmd + TITLE_TYPE, params->titleType);
    es_put_be16(tmd + GROUP_ID, params->groupId);
    es_put_be64(tmd + TITLE_ID, params->titleId);
    std::memcpy(tmd + RESERVED, params->reserved, RESERVED_BYTES);
    es_put_be32(tmd + ACCESS_RIGHTS, accessRights);
    es_put_be16(tmd + TITLE_VERSION, params->titleVersion);
    es_put_be16(tmd + NUM_CONTENTS, count);
    es_put_be16(tmd + BOOT_INDEX, bootIndex);

    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* rec = tmd + CONTENTS + i * ES_CONTENT_RECORD_BYTES;
        const ContentParams& c = params->contents[i];
        es_put_be32(rec + cmd_layout::CID, c.cid);
        es_put_be16(rec + cmd_layout::INDEX, c.index);
        es_put_be16(rec + cmd_layout::TYPE, c.type);
        es_put_be64(rec + cmd_layout::SIZE, c.size);
        std::memcpy(rec + cmd_layout::HASH, hashes[i], SHA1_DIGEST_BYTES);
    }

    es_put_be32(tmd + SIG_TYPE, ES_SIG_RSA2048);
    // Names taken from certificates may fill their whole 64-byte field without
    // a NUL, so neither is read past 64 bytes, and the result is cut to the
    // field.
    char* issuer = reinterpret_cast<char*>(tmd + ISSUER);
    size_t at = 0;
    auto append = [&](const char* s, size_t max) {
        size_t n = s ? strnlen(s, max) : 0;
        n = std::min(n, ES_ISSUER_BYTES - 1 - at);
        if (n) std::memcpy(issuer + at, s, n);
        at += n;
    };
    std::memset(issuer, 0, ES_ISSUER_BYTES);
    append(signerIssuer, 64);
    append("-", 1);
    append(signerName, 64);
    return 0;
}

bool ES_OutputsDurable() { return tmd_io::syncWanted(); }
