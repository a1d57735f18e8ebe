// The stages of packaging one title, shared by tmd (one title per run, into
// the current directory) and tmd-batch (many titles, each into a directory of
// its own). A stage takes the title's configuration as a value, the
// directory its outputs go to and, for the TMD, a signer; it reports a
// failure as the one line tmd prints for it, and never ends the process, so
// that one failing title of a batch leaves the others alone.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "es/tmd.h"

namespace tool {

class TokenKey;

struct TitleContent {
    std::string file;
    uint32_t cid = 0;
    uint16_t index = 0;
    uint16_t type = 0;
};

// A title as tmd's options describe it (-T, -C, -g, -o, -m, -b, -d, -K, -N,
// -B, the content lists and -A's records).
struct TitleConfig {
    uint64_t tid = 0;
    uint32_t ttype = 1;
    uint16_t groupId = 2;
    uint64_t sysVersion = 0x0000000100000004ULL;
    uint16_t titleVersion = 0;
    uint16_t bidx = 0;
    bool disc = false;
    std::string titleKeyFile;  // empty: the key derived from the title ID
    std::array<uint8_t, 32> reserved1{};
    std::array<uint8_t, 30> reserved2{};
    std::vector<TitleContent> contents;
    std::vector<ContentRecord> records;  // imported, not encrypted again
    std::vector<std::string> recordFiles;  // where each record came from
};

// The three key files of the content publisher.
struct KeyFiles {
    std::string commonKey;
    std::string cert;
    std::string rsa;
};

// The key files as tmd finds them: under $KESSARIVON_SDK_ROOT/X86/bin/pki_data/
// (set, even empty), else $ROOT/usr/etc/pki_data/. False with the message in
// *error when neither is set or a path is too long.
bool keyFilesFromEnvironment(KeyFiles* files, std::string* error);

// Where a title's outputs go: `dir`, or the current directory when empty.
// With `fd` (a descriptor of that directory, held by the caller) the small
// outputs are written and the TMD read back through it, never through what
// its path may lead to meanwhile.
struct OutputDir {
    std::string dir;
    int fd = -1;
    std::string path(const std::string& name) const;
};

// A failure: the line to print (with its newline), or empty when a library
// has already printed what there is to say. Status 1 in tmd.
struct StageResult {
    bool ok = true;
    std::string message;
    static StageResult failure(std::string line) { return {false, std::move(line)}; }
};

// Signs TMDs with the content-publishing key: a PKCS#11 token key or the RSA
// key file. One signer serves every title of a run; signatures are made one
// at a time, as a token session takes them.
class Signer {
public:
    Signer();
    Signer(const Signer&) = delete;
    Signer& operator=(const Signer&) = delete;
    // TMD_SIGNING_KEY names a token key: opens and logs in to it, and checks
    // it against the certificate (a key that does not match would give TMDs
    // that do not verify). Otherwise the key file `files.rsa` signs, checked
    // against the certificate too when `checkKeyFile` is set. The checks
    // read the certificate through utilFread, which ends the process when
    // it cannot.
    StageResult open(const KeyFiles& files, bool checkKeyFile);
    // Logs out and closes the token, if any; also done on destruction, which
    // must come before the process exits.
    void close();
    ~Signer();
    StageResult sign(uint8_t* tmd, uint32_t size);

private:
    std::unique_ptr<TokenKey> token_;
    std::string keyFile_;
    std::mutex mutex_;
};

// What the encryption stage hands to the TMD stage.
struct EncryptedContents {
    uint8_t hash[ES_MAX_CONTENTS][20] = {};  // by content index
    std::vector<uint64_t> sizes;             // plaintext bytes, by position in contents
};

// The checks of the command-line lists and records tmd makes after parsing
// (their refusal lines, in order; empty when usable).
std::vector<std::string> checkTitleContents(const TitleConfig& title);

// Encrypts every content into "%08x.app" (and "%08x.hash" in the disc
// layout) and writes "%llx.titleKey" when there are contents. `workers`
// bounds the contents encrypted side by side.
StageResult encryptContents(const TitleConfig& title, const KeyFiles& keys, const OutputDir& out,
                            unsigned workers, EncryptedContents* encrypted);

// Builds, signs and writes "%llx.tmd"; the signed TMD is left in *tmd.
StageResult generateTmd(const TitleConfig& title, const KeyFiles& keys,
                        const EncryptedContents& encrypted, Signer& signer, const OutputDir& out,
                        std::vector<uint8_t>* tmd);

// Verifies a signed TMD against the content-publishing certificate: *verified
// tells; a failure means the certificate could not be read.
StageResult verifyTmd(const std::vector<uint8_t>& tmd, const KeyFiles& keys, bool* verified);

// tmd -a: reads "%llx.tmd" back, prints it, writes the "%lx.cmd" records and
// verifies it. *status is 0 (verified) or 2 (wrong version or no match).
StageResult dumpTmd(uint64_t tid, const KeyFiles& keys, const OutputDir& out, int* status);

// "%llx.titleKey" and "%llx.tmd" of a title ID.
std::string titleKeyFileName(uint64_t tid);
std::string tmdFileName(uint64_t tid);

}  // namespace tool
