#include "tool/common/tmdcheck.h"

#include <cstdarg>
#include <cstdio>

namespace tool {

namespace {

constexpr int kMaxContents = static_cast<int>(ES_MAX_CONTENTS);

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
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

uint16_t recordIndex(const ContentRecord& r) { return es_get_be16(r.bytes + cmd_layout::INDEX); }
uint32_t recordCid(const ContentRecord& r) { return es_get_be32(r.bytes + cmd_layout::CID); }

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

std::string contentRecordFileName(const uint8_t* record) {
    char name[13];  // at most 8 hex digits, ".cmd" and the terminator
    std::snprintf(name, sizeof name, "%lx.cmd",
                  static_cast<unsigned long>(es_get_be32(record + cmd_layout::CID)));
    return name;
}

}  // namespace tool
