// tmd-inspect's whole input from one buffer split into parts: a TMD, the
// content-publishing and CA certificates, a title key, one content file and
// its disc hash file. The parts go through the checks tmd-inspect runs on
// them (certificate layouts, TMD signature and issuer, chain, the plain and
// disc content checks) and the report is printed as text and JSON; every
// buffer is an exact-size copy, so a read past what a file held is caught.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "es/tmd.h"
#include "tool/common/inspect.h"
#include "tool/common/tmdcheck.h"

namespace fs = std::filesystem;

namespace {

// Content checks read files: one private directory for the whole run,
// removed when the run ends.
struct WorkDir {
    fs::path path;
    WorkDir() {
        std::string t = (fs::temp_directory_path() / "fuzz_inspect.XXXXXX").string();
        if (!mkdtemp(t.data())) std::abort();
        path = t;
    }
    ~WorkDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

const fs::path& workDir() {
    static const WorkDir dir;
    return dir.path;
}

FILE* devNull() {
    static FILE* f = std::fopen("/dev/null", "w");
    return f;
}

void writeFile(const fs::path& p, const std::vector<uint8_t>& b) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::vector<uint8_t> part(FuzzedDataProvider& in, size_t max) {
    return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, max));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<uint8_t> tmd = part(in, ES_TMD_MAX_BYTES);
    inspect::Cert cp = inspect::describeCert("cp.cert", part(in, 1400));
    inspect::Cert ca = inspect::describeCert("ca.cert", part(in, 1400));
    std::vector<uint8_t> titleKey = in.ConsumeBytes<uint8_t>(16);
    titleKey.resize(16);
    const std::vector<uint8_t> hashFile = part(in, 4096);
    const std::vector<uint8_t> app = in.ConsumeRemainingBytes<uint8_t>();

    inspect::Report r;
    r.file = "fuzz.tmd";
    if (tool::checkTmdFileSize(tmd.size(), ES_TMD_MAX_BYTES) != tool::TmdFileCheck::ok ||
        tool::checkTmdRecords(tmd.data(), static_cast<uint32_t>(tmd.size())) !=
            tool::TmdFileCheck::ok) {
        r.error = "not a TMD";
    } else {
        const uint16_t numContents = es_get_be16(tmd.data() + tmd_layout::NUM_CONTENTS);
        const uint32_t tmdSize = ES_GetTmdSize(numContents);
        r.checks.push_back(inspect::checkTmdSignature(tmd.data(), tmdSize, cp));
        r.checks.push_back(inspect::checkTmdIssuer(tmd.data(), cp));
        r.checks.push_back(inspect::checkChain(cp, ca));
        const fs::path appPath = workDir() / "c.app", hashPath = workDir() / "c.hash";
        writeFile(appPath, app);
        writeFile(hashPath, hashFile);
        // Every record is checked against the one content file: its size
        // and hash decide how far each check gets.
        for (int i = 0; i < numContents && i < 4; ++i) {
            const uint8_t* rec = tmd.data() + tmd_layout::CONTENTS +
                                 ES_CONTENT_RECORD_BYTES * static_cast<size_t>(i);
            const uint64_t recSize = es_get_be64(rec + cmd_layout::SIZE);
            const bool disc = es_get_be16(rec + cmd_layout::TYPE) & ES_CONTENT_TYPE_DISC;
            auto sink = [](const uint8_t*, size_t) { return true; };
            const inspect::Record record{es_get_be32(rec + cmd_layout::CID),
                                         es_get_be16(rec + cmd_layout::INDEX),
                                         es_get_be16(rec + cmd_layout::TYPE), recSize,
                                         rec + cmd_layout::HASH};
            const inspect::Outcome o =
                inspect::checkContent({appPath, hashPath, disc}, record, titleKey.data(), sink);
            r.checks.push_back(
                {inspect::Group::contents, "content " + std::to_string(i),
                 o.fault == inspect::Fault::none ? inspect::Status::ok : inspect::Status::failed,
                 o.detail, i, es_get_be32(rec + cmd_layout::CID), disc});
        }
        r.tmd = std::move(tmd);
    }
    inspect::printText(devNull(), r);
    std::fputs(inspect::jsonLine(r).c_str(), devNull());
    (void)inspect::exitStatus(r);
    return 0;
}
