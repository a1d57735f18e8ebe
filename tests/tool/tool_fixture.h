// End-to-end fixture for the tmd program: a development PKI made once per
// test run (or per test program run on its own), a scratch directory per test, and helpers that check the
// outputs with OpenSSL rather than with the project's own code.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace tt {

class ToolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

    // Runs build/bin/tmd in the scratch directory with the PKI in
    // KESSARIVON_SDK_ROOT (unless env overrides it).
    RunResult tmd(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

    std::filesystem::path file(const std::string& name) const { return dir_.path() / name; }
    void makeContent(const std::string& name, const Bytes& data) { writeFile(file(name), data); }

    static std::filesystem::path pkiRoot();  // value for KESSARIVON_SDK_ROOT
    static std::filesystem::path pkiDir();   // the directory that holds the key files
    static Bytes commonKey();

    // The title key of a title ID without -K: MD5 of "%016llx" + salt.
    static Bytes derivedTitleKey(uint64_t tid);
    static Bytes aesCbc(const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt);
    // Public key of a certificate (768 or 1024 bytes) as a PEM file.
    static std::filesystem::path certPublicKeyPem(const Bytes& cert, const std::filesystem::path& out);

    TempDir dir_;
};

}  // namespace tt
