// Helpers shared by the title metadata library tests.
#pragma once
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace est {

// Runs the scope in another working directory (the library writes its
// outputs to the current one).
class InDir {
public:
    explicit InDir(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDir() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
    }
    InDir(const InDir&) = delete;
    InDir& operator=(const InDir&) = delete;

private:
    std::filesystem::path old_;
};

// Names in `dir`, sorted.
inline std::vector<std::string> listDir(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Makes writes past `bytes` fail (EFBIG) in this process, as a full disk
// would. For death-test children only.
inline void limitFileSize(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{};
    lim.rlim_cur = bytes;
    lim.rlim_max = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
}

// AES-128-CBC decryption without padding through the openssl command line.
inline tt::Bytes opensslDecrypt(const tt::Bytes& key, const tt::Bytes& iv, const tt::Bytes& cipher) {
    tt::TempDir tmp;
    tt::writeFile(tmp / "ossl.in", cipher);
    tt::RunResult r = tt::run({"openssl", "enc", "-d", "-aes-128-cbc", "-nopad", "-K",
                               tt::toHex(key), "-iv", tt::toHex(iv), "-in",
                               (tmp / "ossl.in").string(), "-out", (tmp / "ossl.out").string()});
    if (r.status != 0) throw std::runtime_error("openssl enc failed: " + r.err);
    return tt::readFile(tmp / "ossl.out");
}

}  // namespace est
