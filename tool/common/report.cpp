#include "tool/common/report.h"

#include <cstdarg>
#include <cstring>

#include <nlohmann/json.hpp>

#include "es/tmd.h"

namespace tool {

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(s.data(), s.size() + 1, fmt, again);
    va_end(again);
    return s;
}

namespace {

void printBytes(FILE* out, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) std::fprintf(out, "0x%02x ", p[i]);
    std::fprintf(out, "\n");
}

std::string issuerText(const uint8_t* tmd) {
    const char* p = reinterpret_cast<const char*>(tmd + tmd_layout::ISSUER);
    return std::string(p, strnlen(p, ES_ISSUER_BYTES));
}

const uint8_t* record(const uint8_t* tmd, int i) {
    return tmd + tmd_layout::CONTENTS + ES_CONTENT_RECORD_BYTES * static_cast<uint32_t>(i);
}

}  // namespace

void printTmdReport(FILE* out, const uint8_t* t) {
    const uint16_t numContents = es_get_be16(t + tmd_layout::NUM_CONTENTS);
    std::fprintf(out, "TMD fields:\n");
    std::fprintf(out, "  sigType: %lx\n", static_cast<unsigned long>(es_get_be32(t + tmd_layout::SIG_TYPE)));
    // The issuer is whatever the file holds: no escape sequence reaches the terminal.
    std::fprintf(out, "  issuer: %s\n", escapeText(issuerText(t)).c_str());
    std::fprintf(out, "  version: %d\n", t[tmd_layout::VERSION]);
    std::fprintf(out, "  sysVersion: 0x%llx\n",
                 static_cast<unsigned long long>(es_get_be64(t + tmd_layout::SYS_VERSION)));
    std::fprintf(out, "  caCrlVersion: %d\n", t[tmd_layout::CA_CRL_VERSION]);
    std::fprintf(out, "  signerCrlVersion: %d\n", t[tmd_layout::SIGNER_CRL_VERSION]);
    std::fprintf(out, "  titleType: 0x%08lx\n",
                 static_cast<unsigned long>(es_get_be32(t + tmd_layout::TITLE_TYPE)));
    std::fprintf(out, "  titleId: 0x%llx\n",
                 static_cast<unsigned long long>(es_get_be64(t + tmd_layout::TITLE_ID)));
    std::fprintf(out, "   reserved: ");
    printBytes(out, t + tmd_layout::RESERVED, tmd_layout::RESERVED_BYTES);
    std::fprintf(out, "  groupId: 0x%04x\n", es_get_be16(t + tmd_layout::GROUP_ID));
    std::fprintf(out, "  accessRights: 0x%08lx\n",
                 static_cast<unsigned long>(es_get_be32(t + tmd_layout::ACCESS_RIGHTS)));
    std::fprintf(out, "  titleVersion: %d\n", es_get_be16(t + tmd_layout::TITLE_VERSION));
    std::fprintf(out, "  numContents: %d\n", numContents);
    std::fprintf(out, "  bootIndex: %d\n", es_get_be16(t + tmd_layout::BOOT_INDEX));

    for (int i = 0; i < numContents; ++i) {
        const uint8_t* rec = record(t, i);
        const uint16_t type = es_get_be16(rec + cmd_layout::TYPE);
        std::fprintf(out, "  --cid %d: 0x%08lx\n", i,
                     static_cast<unsigned long>(es_get_be32(rec + cmd_layout::CID)));
        std::fprintf(out, "    index %d: %d\n", i, es_get_be16(rec + cmd_layout::INDEX));
        std::fprintf(out, "    type %d: 0x%x ", i, type);
        if (type & ES_CONTENT_TYPE_SHARED) std::fprintf(out, "shared ");
        if (type & ES_CONTENT_TYPE_DISC) std::fprintf(out, "disc ");
        std::fprintf(out, "\n");
        std::fprintf(out, "    size %d: %llu\n", i,
                     static_cast<unsigned long long>(es_get_be64(rec + cmd_layout::SIZE)));
        std::fprintf(out, "    hash %d: ", i);
        printBytes(out, rec + cmd_layout::HASH, 20);
    }
}

std::string hexString(const uint8_t* p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(d[p[i] >> 4]);
        s.push_back(d[p[i] & 15]);
    }
    return s;
}

std::string escapeText(const std::string& s) {
    std::string o;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            o.push_back(static_cast<char>(c));
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            o += b;
        }
    }
    return o;
}

nlohmann::ordered_json jsonText(const std::string& s) {
    nlohmann::ordered_json j = s;
    try {
        (void)j.dump();
        return j;
    } catch (const nlohmann::json::type_error&) {
        // not UTF-8: each byte becomes the code point of its value
    }
    std::string text;
    for (unsigned char c : s) {
        if (c < 0x80) {
            text.push_back(static_cast<char>(c));
        } else {
            text.push_back(static_cast<char>(0xC0 | (c >> 6)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return text;
}

nlohmann::ordered_json tmdJson(const uint8_t* t) {
    const uint16_t numContents = es_get_be16(t + tmd_layout::NUM_CONTENTS);
    auto id = [](unsigned long long v, int digits) {
        char text[24];
        std::snprintf(text, sizeof text, "%0*llx", digits, v);
        return std::string(text);
    };
    nlohmann::ordered_json j;
    j["sigType"] = es_get_be32(t + tmd_layout::SIG_TYPE);
    j["issuer"] = jsonText(issuerText(t));
    j["version"] = t[tmd_layout::VERSION];
    j["sysVersion"] = es_get_be64(t + tmd_layout::SYS_VERSION);
    j["caCrlVersion"] = t[tmd_layout::CA_CRL_VERSION];
    j["signerCrlVersion"] = t[tmd_layout::SIGNER_CRL_VERSION];
    j["titleType"] = es_get_be32(t + tmd_layout::TITLE_TYPE);
    j["titleId"] = id(es_get_be64(t + tmd_layout::TITLE_ID), 16);
    j["reserved"] = hexString(t + tmd_layout::RESERVED, tmd_layout::RESERVED_BYTES);
    j["groupId"] = id(es_get_be16(t + tmd_layout::GROUP_ID), 4);
    j["accessRights"] = es_get_be32(t + tmd_layout::ACCESS_RIGHTS);
    j["titleVersion"] = es_get_be16(t + tmd_layout::TITLE_VERSION);
    j["numContents"] = numContents;
    j["bootIndex"] = es_get_be16(t + tmd_layout::BOOT_INDEX);
    nlohmann::ordered_json contents = nlohmann::ordered_json::array();
    for (int i = 0; i < numContents; ++i) {
        const uint8_t* rec = record(t, i);
        contents.push_back({{"cid", id(es_get_be32(rec + cmd_layout::CID), 8)},
                            {"index", es_get_be16(rec + cmd_layout::INDEX)},
                            {"type", es_get_be16(rec + cmd_layout::TYPE)},
                            {"size", es_get_be64(rec + cmd_layout::SIZE)},
                            {"hash", hexString(rec + cmd_layout::HASH, 20)}});
    }
    j["contents"] = std::move(contents);
    return j;
}

}  // namespace tool
