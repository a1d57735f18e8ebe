// RSA keys for the utility tests, made once per run with the openssl command
// line and converted into key files.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "util/rsautil.h"

namespace rt {

namespace fs = std::filesystem;

struct KeyFree {
    void operator()(RsaKeyPair* k) const { RUTIL_FreeRsaKeyPair(k); }
};
using Key = std::unique_ptr<RsaKeyPair, KeyFree>;

struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

inline int convertPem(const fs::path& pem, const fs::path& out) {
    File in(std::fopen(pem.c_str(), "r"));
    File dst(std::fopen(out.c_str(), "w"));
    if (!in || !dst) return -99;
    return RUTIL_ConvertPem(in.get(), dst.get());
}

struct PemKey {
    fs::path pem;
    fs::path keyFile;
};

// Removed at exit by the process that made it only: a death-test child that
// ends through exit() must not take the shared keys with it.
inline const fs::path& workDir() {
    struct Owned {
        pid_t owner = getpid();
        tt::TempDir* dir = new tt::TempDir;
        ~Owned() {
            if (getpid() == owner) delete dir;
        }
    };
    static Owned owned;
    return owned.dir->path();
}

inline const PemKey& opensslKey(int bits) {
    static std::map<int, PemKey> keys;
    auto it = keys.find(bits);
    if (it != keys.end()) return it->second;
    const std::string name = "rsa" + std::to_string(bits);
    PemKey k{workDir() / (name + ".pem"), workDir() / (name + ".rsa")};
    if (const auto shared = tt::sharedTestKeys(); !shared.empty() && fs::exists(shared / (name + ".pem"))) {
        k.pem = shared / (name + ".pem");
    } else {
        auto r = tt::run({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                          "rsa_keygen_bits:" + std::to_string(bits), "-out", k.pem.string()});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(convertPem(k.pem, k.keyFile), 0);
    return keys.emplace(bits, k).first->second;
}

inline Key loadKeyFile(const fs::path& path) {
    File f(std::fopen(path.c_str(), "rb"));
    return Key(f ? RUTIL_ReadRsaKeyPair(f.get(), nullptr, 0) : nullptr);
}

inline tt::Bytes opensslSign(const fs::path& pem, const tt::Bytes& data) {
    tt::TempDir dir;
    tt::writeFile(dir / "data", data);
    auto r = tt::run({"openssl", "dgst", "-sha1", "-sign", pem.string(), "-out",
                      (dir / "sig").string(), (dir / "data").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    return tt::readFile(dir / "sig");
}

}  // namespace rt
