// The read-back checks of the dump stage on arbitrary TMD files: whatever
// they let through is printed (text and JSON), its record files named and
// its signature checked, all within the bytes the file held.
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "es/tmd.h"
#include "tool/common/report.h"
#include "tool/common/tmdcheck.h"
#include "util/utils.h"

namespace {

constexpr size_t kTmdBufferBytes = ES_TMD_MAX_BYTES;

FILE* devNull() {
    static FILE* f = std::fopen("/dev/null", "w");
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (tool::checkTmdFileSize(size, kTmdBufferBytes) != tool::TmdFileCheck::ok) return 0;
    // The file's bytes only, so that a report reading past them is caught.
    std::unique_ptr<uint8_t[]> tmd(new uint8_t[size]);
    std::copy(data, data + size, tmd.get());
    const auto fileSize = static_cast<uint32_t>(size);
    if (tool::checkTmdRecords(tmd.get(), fileSize) != tool::TmdFileCheck::ok) return 0;

    const uint16_t numContents = es_get_be16(tmd.get() + tmd_layout::NUM_CONTENTS);
    if (numContents > ES_MAX_CONTENTS) std::abort();
    tool::printTmdReport(devNull(), tmd.get());
    (void)tool::tmdJson(tmd.get()).dump();
    for (uint32_t i = 0; i < numContents; ++i) {
        const std::string name =
            tool::contentRecordFileName(tmd.get() + tmd_layout::CONTENTS + ES_CONTENT_RECORD_BYTES * i);
        if (name.size() > 12) std::abort();
    }

    // The dump verifies against a certificate; here the TMD's own leading
    // bytes stand in for one of each verifiable size.
    std::vector<uint8_t> cert(tmd.get(), tmd.get() + std::min<size_t>(size, 1024));
    cert.resize(1024);
    const int32_t signedLength = static_cast<int32_t>(ES_GetTmdSize(numContents));
    for (int32_t certSize : {1024, 768})
        (void)utilVerify2(cert.data(), certSize, 256, tmd.get(), signedLength, 1);
    return 0;
}
