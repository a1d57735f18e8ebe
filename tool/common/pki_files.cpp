#include "tool/common/pki_files.h"

namespace tool {

std::optional<std::filesystem::path> keyDirectoryIn(const std::filesystem::path& dir) {
    std::error_code ec;
    for (const char* sub : {"", kSdkLayout, kRootLayout}) {
        const std::filesystem::path d = *sub ? dir / sub : dir;
        for (const char* name : {kCpCertFile, kCpKeyFile, kCommonKeyFile, kCaCertFile})
            if (std::filesystem::exists(d / name, ec)) return d;
    }
    return std::nullopt;
}

}  // namespace tool
