// The content-list and record-import checks on arbitrary lists and records.
// Whatever they accept must be safe for the stages, which index 512-entry
// tables (hash slots, content positions) with the indexes; whatever they
// refuse ends with at least one message line.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tool/common/tmdcheck.h"

namespace {

constexpr int kMax = static_cast<int>(ES_MAX_CONTENTS);

uint16_t smallOrAny(FuzzedDataProvider& in, int bound) {
    // Indexes near the bounds matter most; any 16-bit value is allowed too.
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, static_cast<uint16_t>(bound))
                            : in.ConsumeIntegral<uint16_t>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto numContents = in.ConsumeIntegralInRange<uint16_t>(0, kMax);
    const auto numInCmds = in.ConsumeIntegralInRange<uint16_t>(0, kMax);

    std::vector<uint16_t> index(kMax, 0);
    std::vector<uint32_t> cids(kMax, 0);
    std::vector<ContentRecord> cmds(kMax);
    std::vector<const char*> cmdFiles(kMax, "r.cmd");
    const int total = numContents + numInCmds;
    for (int i = 0; i < numContents; ++i) {
        index[i] = smallOrAny(in, total);
        cids[i] = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 8) : in.ConsumeIntegral<uint32_t>();
    }
    for (int k = 0; k < numInCmds; ++k) {
        std::memset(cmds[k].bytes, 0, sizeof cmds[k].bytes);
        es_put_be32(cmds[k].bytes + cmd_layout::CID,
                    in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 8) : in.ConsumeIntegral<uint32_t>());
        es_put_be16(cmds[k].bytes + cmd_layout::INDEX, smallOrAny(in, total));
    }

    tool::ContentLists lists;
    lists.numContents = numContents;
    lists.index = index.data();
    lists.cids = cids.data();
    lists.bidx = in.ConsumeBool() ? 0x1FF : smallOrAny(in, total);
    lists.numInCmds = numInCmds;
    lists.cmds = cmds.data();
    lists.cmdFiles = cmdFiles.data();

    const std::vector<std::string> refusals = tool::checkContentLists(lists);
    for (const std::string& line : refusals)
        if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) std::abort();
    if (!refusals.empty()) return 0;

    // Accepted: replay the stages' table accesses with bounds checked.
    if (total > kMax || total == 0) std::abort();
    std::vector<bool> claimed(kMax, false);
    for (int i = 0; i < numContents; ++i) {
        if (index[i] >= kMax) std::abort();
        claimed[index[i]] = true;
    }
    for (int k = 0; k < numInCmds; ++k) {
        const uint16_t p = es_get_be16(cmds[k].bytes + cmd_layout::INDEX);
        if (p >= total) std::abort();
        claimed[p] = true;
        // A record never shares an index or a content ID with a
        // command-line content.
        for (int i = 0; i < numContents; ++i)
            if (index[i] == p || cids[i] == es_get_be32(cmds[k].bytes + cmd_layout::CID)) std::abort();
    }
    if (numInCmds == 0) {
        bool zero = false;
        for (int i = 0; i < numContents; ++i) zero = zero || index[i] == 0;
        if (!zero || (lists.bidx >= numContents && lists.bidx != 0x1FF)) std::abort();
    }
    return 0;
}
