// The pieces of tmd-pki shared by its files: the command line
// (tmd_pki.cpp), outputs and inputs (files.cpp), keys (keys.cpp),
// certificates (certs.cpp), and show and check (show.cpp). A command is a
// row of the table in tmd_pki.cpp, its usage text there, and a cmd function
// in the file of its topic.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "csl/wipe.h"
#include "io/output_file.h"
#include "util/rsautil.h"

namespace pki {

using Bytes = std::vector<uint8_t>;

// Ends the run: "tmd-pki: <msg>" on standard error, status 1.
[[noreturn]] void die(const std::string& msg);

struct KeyOwner {
    RsaKeyPair* key = nullptr;
    KeyOwner() = default;
    explicit KeyOwner(RsaKeyPair* k) : key(k) {}
    KeyOwner(const KeyOwner&) = delete;
    KeyOwner& operator=(const KeyOwner&) = delete;
    ~KeyOwner() { RUTIL_FreeRsaKeyPair(key); }
};

// Bytes that may be secret: wiped when they go.
struct Secret {
    Bytes bytes;
    Secret() = default;
    explicit Secret(size_t n) : bytes(n) {}
    explicit Secret(Bytes b) : bytes(std::move(b)) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept : bytes(std::move(other.bytes)) {}
    Secret& operator=(Secret&& other) noexcept {
        csl_wipe(bytes.data(), bytes.size());
        bytes = std::move(other.bytes);
        return *this;
    }
    ~Secret() { csl_wipe(bytes.data(), bytes.size()); }
};

struct Option {
    const char* name;
    bool takesValue;
};
const Option kForce{"--force", false};
const Option kPassin{"--passin", true};
const Option kPassout{"--passout", true};

// Paths and options of one command, in any order.
struct Args {
    std::vector<std::string> paths;
    std::map<std::string, std::string> options;  // flags hold ""

    bool has(const std::string& name) const { return options.count(name) != 0; }
    const std::string* get(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? nullptr : &it->second;
    }
    bool force() const { return has(kForce.name); }
};

struct Command {
    const char* name;
    const char* operands;  // as in the usage text, for messages
    size_t paths;          // number of path operands
    std::vector<Option> options;
    int (*run)(const Args&);
};

// A whole number in C notation (decimal, 0x hexadecimal, 0 octal) of at
// most `max`, with nothing before, after or in between.
std::optional<uint64_t> parseNumber(const std::string& text, uint64_t max);

// ---- Files (files.cpp) ---------------------------------------------------

// Where an output goes: a directory, open and locked for the whole run, and
// the output's name in it, which is never followed.
struct Target {
    std::string path;  // as the caller gave it, for messages
    int dirFd = -1;
    std::string name;
};

// Refuses, before anything is made: the same file named for two outputs, a
// destination that is not a regular file, and an existing one without
// --force. Each path's directory is the caller's, opened as named and locked
// for the run; a second run writing into it ends here.
void checkDestinations(const std::vector<std::string>& paths, bool force);
void checkDestinations(const std::vector<Target>& targets, bool force);

// The directory `top` (the caller's, made when missing) and below it each of
// `levels`, made or opened a level at a time, never through a link nor into
// a level that another user owns (who could swap what is written there);
// the last is locked for the run and returned. `shown` becomes its path.
int keyFileDirectory(const std::string& top, const std::vector<std::string>& levels,
                     std::string& shown);

struct Output {
    std::string path;
    const void* data;
    size_t size;
    bool secret;  // 0600 rather than 0644
};
// All files are written before the first is put in place, so a failure
// while writing leaves none of them behind.
void writeOutputs(const std::vector<Output>& outputs, bool force);
// The whole of a regular file of at most maxBytes; nothing, and the reason in
// why, when it cannot be had.
std::optional<Bytes> tryReadFile(const std::string& path, size_t maxBytes, std::string& why);
// path opened for reading, only when it is a regular file: a FIFO or a device
// may never end, and a directory is no input. Null, with the reason in why,
// otherwise.
tmd_io::FilePtr openRegularFile(const std::string& path, std::string& why);
Bytes readFile(const std::string& path, size_t maxBytes);
void randomBytes(uint8_t* p, size_t n);

// ---- Keys (keys.cpp) -----------------------------------------------------

// The key file text of `key`, in a buffer wiped when it goes.
Secret encodeKey(RsaKeyPair* key, const char* label);
RsaKeyPair* loadKey(const std::string& path);
int modulusBytes(const RsaKeyPair* key);
Bytes modulus(const RsaKeyPair* key, size_t bytes);
Bytes exponent(const RsaKeyPair* key);
// 0 < d < n, decided without a branch on the key's bytes.
bool validEccPrivateKey(const uint8_t d[30]);
bool validEccPublicKey(const Bytes& pub);
// A point of the curve may still be one no signature can be trusted under:
// ends the run with a line naming path for such a key.
void refuseUntrustedEccKey(const std::string& path, const Bytes& pub);

int cmdCommonKey(const Args& args);
int cmdRsaKey(const Args& args);
int cmdConvertPem(const Args& args);
int cmdExportPem(const Args& args);
int cmdEccKey(const Args& args);

// ---- Certificates (certs.cpp) --------------------------------------------

int cmdInit(const Args& args);
int cmdCert(const Args& args);

// ---- Show and check (show.cpp) ------------------------------------------

int cmdShow(const Args& args);
int cmdCheck(const Args& args);

}  // namespace pki
