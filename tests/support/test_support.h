// Shared helpers for the unit tests: hex, random bytes, temporary
// directories, running programs and reading files.
#pragma once
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace tt {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex);
std::string toHex(const uint8_t* data, size_t len);
inline std::string toHex(const Bytes& b) { return toHex(b.data(), b.size()); }

// A content's IV in the plain layout: its index, big-endian, then zeros.
Bytes contentIv(uint16_t index);
// `b` padded with zeros to whole 16-byte blocks.
Bytes zeroPadded(Bytes b);

// Deterministic pseudo-random bytes for reproducible tests.
Bytes randomBytes(std::mt19937_64& rng, size_t n);

Bytes readFile(const std::filesystem::path& p);
void writeFile(const std::filesystem::path& p, const Bytes& data);
void writeFile(const std::filesystem::path& p, const std::string& text);

// A fresh directory under the system temporary directory, removed on
// destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Run argv[0] with the given arguments in directory cwd with extra
// environment settings ("NAME=value"; "NAME" alone unsets NAME).
RunResult run(const std::vector<std::string>& argv, const std::filesystem::path& cwd = ".",
              const std::vector<std::string>& env = {}, const std::string& stdinText = "");

// SHA-1 via OpenSSL, as an independent reference.
Bytes opensslSha1(const Bytes& data);

// The keys made once per ctest run (TMD_TEST_KEYS: a development PKI in
// pki/, rsa2048.pem and rsa4096.pem), or an empty path when a test program
// runs on its own and makes what it needs.
std::filesystem::path sharedTestKeys();

std::string pythonPath();
// The known-answer vectors: the system's vector package where it is
// installed, otherwise the few files kept under tests/data/vectors in the
// same layout.
std::string vectorsDir();
std::string binDir();
std::string scriptsDir();
// True when the environment holds TMD_REQUIRE_VECTORS=1 (as CI does): a
// missing vector file then fails its test instead of skipping it.
bool vectorsRequired();

// Runs the reference script `script` of the scripts directory under Python,
// `input` on its standard input, and returns the lines it prints; a failing
// run fails the calling test.
std::vector<std::string> pythonScriptLines(const std::string& script, const std::string& input);

}  // namespace tt

// Skips the test when the vector file at `path` is missing, or fails it
// where vectors are required.
#define TT_NEED_VECTOR_FILE(path)                                                    \
    do {                                                                           \
        const std::string tt_vector_path_ = (path);                                \
        if (!std::filesystem::exists(tt_vector_path_)) {                           \
            if (tt::vectorsRequired()) FAIL() << "missing vectors " << tt_vector_path_; \
            GTEST_SKIP() << "no vectors " << tt_vector_path_;                      \
        }                                                                          \
    } while (0)
