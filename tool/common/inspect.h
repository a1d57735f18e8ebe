// The pieces of tmd-inspect: certificate and signature checks, content checks
// (with extraction), and the report of one TMD in text or JSON.
#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace inspect {

using Bytes = std::vector<uint8_t>;

enum class Status { ok, failed, skipped };

// The three things a package is verified for; the verdict names each.
enum class Group { signature, chain, contents };

struct Check {
    Group group;
    std::string name;
    Status status;
    std::string detail;  // why it failed or was skipped; may be empty when ok
    int content = -1;    // record position, for content checks
    uint32_t cid = 0;
    bool disc = false;
};

// --- certificates (inspect_certs.cpp) ---

// A certificate file and what its layout says. Usable only when `problem` is
// empty: then the size is the one its signature type and key type call for,
// the names are read and the public key can be trusted (ES_CheckPubKey).
struct Cert {
    std::string file;  // the name shown in details
    Bytes bytes;
    std::string problem;
    uint32_t sigType = 0;
    uint32_t keyType = 0;
    std::string issuer, name;
};

Cert describeCert(std::string file, Bytes bytes);

// Why no signature may be trusted under the key of a certificate whose layout
// is established (ES_CheckCertPubKey); empty when it may.
std::string untrustedKeyProblem(const uint8_t* cert, uint32_t keyType);
inline constexpr const char* kUntrustedRsaKey =
    "its RSA exponent is 1 or even, so signatures under it prove nothing";
inline constexpr const char* kUntrustedEccKey =
    "its ECC key is not a point of the curve's prime-order subgroup, so signatures under it prove "
    "nothing";

// "RSA-4096", "RSA-2048", "ECC" or "unknown".
const char* sigTypeText(uint32_t sigType);

// The TMD's RSA-2048 signature against the content-publishing certificate.
// Only certificate sizes the verification dispatch handles reach it.
Check checkTmdSignature(const uint8_t* tmd, uint32_t tmdSize, const Cert& cp);
// The TMD's issuer field names that certificate.
Check checkTmdIssuer(const uint8_t* tmd, const Cert& cp);
// The content-publishing certificate is signed by, and names, the CA.
Check checkChain(const Cert& cp, const Cert& ca);

// --- contents (inspect_contents.cpp) ---

enum class Fault {
    none,
    unreadable,  // missing or unreadable file
    size,        // file or hash file of the wrong size, impossible record size
    data,        // the bytes decrypt to something other than what was recorded
    write,       // extraction could not write the plaintext
};

struct Outcome {
    Fault fault = Fault::none;
    std::string detail;
};

// Receives the plaintext of a content in order; false stops the check.
using Sink = std::function<bool(const uint8_t*, size_t)>;

// One content record of the TMD, in host order.
struct Record {
    uint32_t cid;
    uint16_t index, type;
    uint64_t size;
    const uint8_t* hash;
};

// Where a content's files are, and the layout it is checked in.
struct ContentFiles {
    std::filesystem::path app, hash;
    bool disc = false;
};

// Decrypts a content and checks it against its record: in the plain layout
// one CBC stream (IV = content index), its zero padding and SHA-1; in the
// disc layout its whole hash tree, the super-block hashes against the hash
// file and the content hash against the TMD. The plaintext goes to `sink`
// (when set) on the way; it is all of it only when the outcome is none.
Outcome checkContent(const ContentFiles& files, const Record& rec, const uint8_t* titleKey, const Sink& sink);

// --- report (inspect_report.cpp) ---

struct Report {
    std::string file;
    std::string error;  // bad input: what was wrong (status 1)
    Bytes tmd;          // the TMD when it was read and is well-formed
    std::vector<Check> checks;
    std::vector<std::string> hints;
    bool signatureOnly = false;
};

// 0 everything checked and passed (the signature alone with --signature-only),
// 2 something failed or was not checked, 1 bad input.
int exitStatus(const Report& r);
void printText(FILE* out, const Report& r);
// One line of JSON with its newline.
std::string jsonLine(const Report& r);

}  // namespace inspect
