// tmd-inspect: inspects and verifies packages that already exist. For each
// TMD it prints every field, verifies the TMD's signature and the certificate
// chain, decrypts the title key and checks every content file (plain and disc
// layout, hash tree included) against its recorded size and hash, and says
// which of these it could not check. With --extract it also writes each
// content's plaintext.
//
// Exit status: 0 everything checked and verifies, 2 something does not verify
// or was not checked, 1 bad input; with several TMDs the highest of theirs.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "csl/wipe.h"
#include "es/tmd.h"
#include "io/output_file.h"
#include "io/small_file.h"
#include "tool/common/inspect.h"
#include "tool/common/pki_files.h"
#include "tool/common/report.h"
#include "tool/common/version.h"

namespace fs = std::filesystem;
using namespace inspect;

namespace {

const char* const kUsage =
    "usage: tmd-inspect [options] TMD...\n"
    "\n"
    "Prints each TMD's fields and verifies the package it describes.\n"
    "  --pki DIR          the directory given to tmd-pki init (either layout), or the\n"
    "                     directory holding cp_dpki.cert, ca_dpki.cert and\n"
    "                     common_dpki.aesKey (defaults for the next three options);\n"
    "                     without --pki and --cert the PKI is found through\n"
    "                     KESSARIVON_SDK_ROOT or ROOT, as tmd finds it\n"
    "  --cert FILE        content-publishing certificate (768 or 1,024 bytes)\n"
    "  --ca FILE          CA certificate that signed it; the chain is checked up to it\n"
    "  --common-key FILE  common key (16 bytes)\n"
    "  --title-key FILE   encrypted title key (default: <dir>/<title ID>.titleKey)\n"
    "  --dir DIR          package directory holding the .app and .hash files\n"
    "                     (default: the TMD's directory)\n"
    "  --layout MODE      auto (from the content type's disc bit), plain or disc\n"
    "  --signature-only   check only the TMD's signature; status 0 when it verifies\n"
    "  --extract DIR      write each content that verifies, decrypted, to\n"
    "                     DIR/<title ID>/<content ID>.bin; never overwrites\n"
    "  --json             one JSON object per TMD, one per line\n"
    "  -q, --quiet        print nothing on standard output; only the exit status\n"
    "  --version          the version\n"
    "  --help             this text\n"
    "Exit status: 0 everything was checked and verifies, 2 something does not verify\n"
    "or was not checked, 1 bad input; with several TMDs the highest of theirs.\n";

// Certificates are at most 1,280 bytes; a larger file is read only so far as
// to say that it is no certificate.
constexpr size_t kCertReadLimit = 1 << 16;
constexpr size_t kTmdReadLimit = ES_TMD_LARGEST_BYTES;

struct Options {
    std::vector<fs::path> tmds;
    fs::path pki, cert, ca, commonKey, titleKey, dir, extract;
    std::string layout = "auto";
    bool json = false;
    bool quiet = false;
    bool signatureOnly = false;
};

// Where the output goes: one JSON object per TMD, text, or nothing.
struct Output {
    bool json = false;
    bool quiet = false;
    bool several = false;

    void emit(const Report& r) const {
        if (!r.error.empty())
            std::fprintf(stderr, "tmd-inspect: %s\n", tool::escapeText(r.error).c_str());
        if (quiet) return;
        if (json) {
            std::fputs(jsonLine(r).c_str(), stdout);
        } else if (r.error.empty()) {
            if (several) std::printf("== %s\n", tool::escapeText(r.file).c_str());
            printText(stdout, r);
            if (several) std::printf("\n");
        }
        std::fflush(stdout);
    }
};

// Bad input that concerns the whole run: said once on standard error and,
// in --json mode, in an object for each TMD, so that standard output still
// parses; then the end.
[[noreturn]] void failAll(const Output& out, const std::vector<fs::path>& tmds, const std::string& msg) {
    std::fprintf(stderr, "tmd-inspect: %s\n", tool::escapeText(msg).c_str());
    if (out.json && !out.quiet) {
        Report r;
        r.error = msg;
        if (tmds.empty()) std::fputs(jsonLine(r).c_str(), stdout);
        for (const fs::path& t : tmds) {
            r.file = t.string();
            std::fputs(jsonLine(r).c_str(), stdout);
        }
    }
    std::fflush(stdout);
    std::exit(1);
}

Options parse(int argc, char** argv) {
    Options o;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    auto value = [&](size_t& i) -> fs::path {
        if (i + 1 >= args.size()) {
            if (error.empty()) error = args[i] + " needs a value (see --help)";
            return {};
        }
        return args[++i];
    };
    bool optionsDone = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsDone || a.empty() || a[0] != '-' || a == "-") {
            o.tmds.emplace_back(a);
        } else if (a == "--") {
            optionsDone = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("tmd-inspect %s\n", TMD_VERSION);
            std::exit(0);
        } else if (a == "--pki") o.pki = value(i);
        else if (a == "--cert") o.cert = value(i);
        else if (a == "--ca") o.ca = value(i);
        else if (a == "--common-key") o.commonKey = value(i);
        else if (a == "--title-key") o.titleKey = value(i);
        else if (a == "--dir") o.dir = value(i);
        else if (a == "--extract") o.extract = value(i);
        else if (a == "--layout") {
            o.layout = value(i).string();
            if (o.layout != "auto" && o.layout != "plain" && o.layout != "disc" && error.empty())
                error = "--layout takes auto, plain or disc";
        } else if (a == "--json") o.json = true;
        else if (a == "-q" || a == "--quiet") o.quiet = true;
        else if (a == "--signature-only") o.signatureOnly = true;
        else if (error.empty()) error = "unknown option " + a + " (see --help)";
    }
    const Output out{o.json, o.quiet, o.tmds.size() > 1};
    if (error.empty() && o.tmds.empty()) error = "give at least one TMD file (see --help)";
    if (error.empty() && o.tmds.size() > 1 && !o.titleKey.empty())
        error = "--title-key belongs to one title: give one TMD with it";
    if (error.empty() && o.signatureOnly && !o.extract.empty())
        error = "--extract checks every content: it cannot go with --signature-only";
    if (!error.empty()) failAll(out, o.tmds, error);
    return o;
}

// The keys every TMD of the run is checked with.
struct Keys {
    Cert cp;
    std::optional<Cert> ca;
    std::string noCa;  // why there is no CA certificate
    std::array<uint8_t, 16> common{};
    bool haveCommon = false;
    std::string noCommon;

    Keys() = default;
    Keys(const Keys&) = delete;
    Keys& operator=(const Keys&) = delete;
    ~Keys() { csl_wipe(common.data(), common.size()); }
};

Cert loadCert(const Output& out, const Options& o, const fs::path& p, const char* what) {
    Bytes bytes;
    const tmd_io::ReadResult r = tmd_io::readSmallFile(p.c_str(), kCertReadLimit, bytes);
    if (r.status == tmd_io::ReadStatus::tooLarge) {
        Cert c;
        c.file = p.string();
        c.problem = std::to_string(r.size) + " bytes, larger than any certificate";
        return c;
    }
    if (r.status != tmd_io::ReadStatus::ok) failAll(out, o.tmds, std::string("cannot read ") + what + " " + p.string());
    return describeCert(p.string(), std::move(bytes));
}

void loadKeys(const Output& out, const Options& o, Keys& k) {
    fs::path keyDir;
    if (!o.pki.empty()) {
        auto d = tool::keyDirectoryIn(o.pki);
        if (!d)
            failAll(out, o.tmds,
                    "no PKI in " + o.pki.string() + ": no key files in it, in its " +
                        tool::kSdkLayout + " or in its " + tool::kRootLayout);
        keyDir = *d;
    } else if (o.cert.empty()) {
        // As tmd finds its keys.
        if (const char* root = std::getenv("KESSARIVON_SDK_ROOT"))
            keyDir = std::string(root) + "/" + tool::kSdkLayout;
        else if (const char* r = std::getenv("ROOT"))
            keyDir = std::string(r) + "/" + tool::kRootLayout;
        else failAll(out, o.tmds, "no certificate: give --pki or --cert, or set KESSARIVON_SDK_ROOT or ROOT");
    }
    // The CA certificate and the common key are optional parts of a PKI.
    auto inKeyDir = [&](const fs::path& given, const char* name) -> fs::path {
        std::error_code ec;
        if (!given.empty() || keyDir.empty() || !fs::exists(keyDir / name, ec)) return given;
        return keyDir / name;
    };
    const fs::path cert = o.cert.empty() ? keyDir / tool::kCpCertFile : o.cert;
    const fs::path ca = inKeyDir(o.ca, tool::kCaCertFile);
    const fs::path common = inKeyDir(o.commonKey, tool::kCommonKeyFile);

    if (o.signatureOnly) {
        k.noCa = k.noCommon = "not requested";
    } else {
        if (ca.empty()) k.noCa = "no CA certificate";
        if (common.empty()) k.noCommon = "no common key";
    }
    if (!o.extract.empty() && common.empty())
        failAll(out, o.tmds, "--extract needs the common key: give --common-key or --pki");
    k.cp = loadCert(out, o, cert, "certificate");
    if (!o.signatureOnly && !ca.empty()) k.ca = loadCert(out, o, ca, "CA certificate");
    if (!o.signatureOnly && !common.empty()) {
        Bytes b;
        if (tmd_io::readSmallFile(common.c_str(), 4096, b).status != tmd_io::ReadStatus::ok || b.size() < 16) {
            csl_wipe(b.data(), b.size());
            failAll(out, o.tmds, "cannot read the common key (16 bytes) from " + common.string());
        }
        std::copy_n(b.begin(), 16, k.common.begin());
        csl_wipe(b.data(), b.size());
        k.haveCommon = true;
    }
}

// Reads and bounds a TMD into the report; what is wrong with it otherwise.
std::string readTmd(const fs::path& p, Report& r, uint32_t& tmdSize) {
    Bytes t;
    const tmd_io::ReadResult file = tmd_io::readSmallFile(p.c_str(), kTmdReadLimit, t);
    const std::string name = "TMD " + p.string();
    if (file.status == tmd_io::ReadStatus::tooLarge)
        return name + " has " + std::to_string(file.size) + " bytes, more than any TMD";
    if (file.status != tmd_io::ReadStatus::ok) return "cannot read " + name;
    if (t.size() < tmd_layout::HEADER_BYTES) return name + " is shorter than a TMD header";
    const uint16_t numContents = es_get_be16(t.data() + tmd_layout::NUM_CONTENTS);
    if (numContents > ES_MAX_CONTENTS)
        return name + " claims " + std::to_string(numContents) + " contents; a TMD holds at most " +
               std::to_string(ES_MAX_CONTENTS);
    tmdSize = ES_GetTmdSize(numContents);
    if (t.size() < tmdSize)
        return name + " holds fewer content records than its numContents (" + std::to_string(numContents) + ")";
    r.tmd = std::move(t);
    return "";
}

std::string hexId(uint64_t v, int digits) {
    char b[24];
    std::snprintf(b, sizeof b, "%0*llx", digits, static_cast<unsigned long long>(v));
    return b;
}

struct Record {
    uint32_t cid;
    uint16_t index, type;
    uint64_t size;
    const uint8_t* hash;
};

Record recordAt(const Bytes& tmd, int i) {
    const uint8_t* rec = tmd.data() + tmd_layout::CONTENTS + ES_CONTENT_RECORD_BYTES * static_cast<size_t>(i);
    return {es_get_be32(rec + cmd_layout::CID), es_get_be16(rec + cmd_layout::INDEX),
            es_get_be16(rec + cmd_layout::TYPE), es_get_be64(rec + cmd_layout::SIZE), rec + cmd_layout::HASH};
}

// The hint for a content whose file has the size of the other layout.
std::string layoutHint(const std::string& name, const Record& rec, bool disc, bool forced, uint64_t actual) {
    char type[8];
    std::snprintf(type, sizeof type, "0x%04x", rec.type);
    if (!disc && actual == discFileSize(rec.size) && actual != 0)
        return name + " has exactly the size of the disc layout" +
               (forced ? "" : std::string(", but its type ") + type +
                                  " lacks the disc bit 0x0002 (was the package made with -d?)") +
               "; try --layout disc";
    if (disc && actual == plainFileSize(rec.size))
        return name + " has exactly the size of the plain layout" +
               (forced ? "" : std::string(" although its type ") + type + " has the disc bit 0x0002") +
               "; try --layout plain";
    return "";
}

class Inspector {
public:
    Inspector(const Options& o, const Keys& k) : o_(o), k_(k) {}

    Report run(const fs::path& tmdPath) {
        Report r;
        r.file = tmdPath.string();
        r.signatureOnly = o_.signatureOnly;
        uint32_t tmdSize = 0;
        r.error = readTmd(tmdPath, r, tmdSize);
        if (!r.error.empty()) return r;
        const fs::path dir = !o_.dir.empty() ? o_.dir : tmdPath.has_parent_path() ? tmdPath.parent_path() : ".";
        const uint64_t titleId = es_get_be64(r.tmd.data() + tmd_layout::TITLE_ID);
        const int numContents = es_get_be16(r.tmd.data() + tmd_layout::NUM_CONTENTS);
        const fs::path extractDir = o_.extract.empty() ? fs::path() : o_.extract / hexId(titleId, 16);
        if (!extractDir.empty() && !prepareExtraction(r, extractDir, numContents)) return r;

        auto& checks = r.checks;
        const uint8_t version = r.tmd[tmd_layout::VERSION];
        checks.push_back({Group::signature, "TMD version", version == ES_TMD_VERSION ? Status::ok : Status::failed,
                          version == ES_TMD_VERSION ? "" : "version " + std::to_string(version) + ", expected 0"});
        checks.push_back(checkTmdSignature(r.tmd.data(), tmdSize, k_.cp));
        checks.push_back(checkTmdIssuer(r.tmd.data(), k_.cp));
        if (k_.ca) checks.push_back(checkChain(k_.cp, *k_.ca));
        else checks.push_back({Group::chain, "certificate chain", Status::skipped, k_.noCa});

        uint8_t titleKey[16] = {};
        std::string noKey = k_.noCommon;
        if (k_.haveCommon) {
            noKey = "no title key";
            checks.push_back(decryptTitleKey(dir, titleId, titleKey));
            if (checks.back().status == Status::ok) noKey.clear();
        } else {
            checks.push_back({Group::contents, "title key", Status::skipped, noKey});
        }
        int dataFaults = 0;
        for (int i = 0; i < numContents && r.error.empty(); ++i) {
            const Record rec = recordAt(r.tmd, i);
            const bool disc = o_.layout == "disc" || (o_.layout == "auto" && (rec.type & ES_CONTENT_TYPE_DISC));
            const std::string app = hexId(rec.cid, 8) + ".app";
            Check c{Group::contents, "content " + std::to_string(i) + " (" + app + (disc ? ", disc layout" : "") + ")",
                    Status::skipped, noKey, i, rec.cid, disc};
            if (noKey.empty()) {
                const Outcome result = checkContent(r, dir, extractDir, rec, disc, titleKey, c.detail);
                c.status = result.fault == Fault::none ? Status::ok : Status::failed;
                if (result.fault != Fault::none) c.detail = result.detail;
                if (result.fault == Fault::data) ++dataFaults;
                if (result.fault == Fault::size) {
                    std::error_code ec;
                    const uint64_t actual = fs::file_size(dir / app, ec);
                    const std::string hint = layoutHint(c.name, rec, disc, o_.layout != "auto", actual);
                    if (!ec && !hint.empty()) r.hints.push_back(hint);
                }
            }
            checks.push_back(std::move(c));
        }
        csl_wipe(titleKey, sizeof titleKey);
        if (numContents > 0 && dataFaults == numContents)
            r.hints.insert(r.hints.begin(),
                           "every content fails its hash although its file has the right size: the common key "
                           "is probably not the one the package was made with (or the title key belongs to "
                           "another title)");
        return r;
    }

private:
    Check decryptTitleKey(const fs::path& dir, uint64_t titleId, uint8_t titleKey[16]) const {
        const fs::path tkPath = o_.titleKey.empty() ? dir / (hexId(titleId, 0) + ".titleKey") : o_.titleKey;
        Check c{Group::contents, "title key", Status::failed, ""};
        Bytes tk;
        if (tmd_io::readSmallFile(tkPath.c_str(), 4096, tk).status != tmd_io::ReadStatus::ok || tk.size() < ES_TITLE_KEY_BYTES) {
            c.detail = "cannot read 16 bytes from " + tkPath.string();
            return c;
        }
        if (ES_CpDecryptTitleKey(k_.common.data(), titleId, tk.data(), titleKey) == 0) {
            // Any 16 bytes decrypt: whether the key is right shows in the contents.
            c.status = Status::ok;
            c.detail = "decrypted; the contents show whether it is right";
        } else {
            c.detail = "cannot decrypt " + tkPath.string();
        }
        csl_wipe(tk.data(), tk.size());
        return c;
    }

    // Nothing is extracted over an existing file: all names are checked
    // before any content is looked at.
    bool prepareExtraction(Report& r, const fs::path& extractDir, int numContents) const {
        std::error_code ec;
        for (int i = 0; i < numContents; ++i) {
            const fs::path p = extractDir / (hexId(recordAt(r.tmd, i).cid, 8) + ".bin");
            if (fs::symlink_status(p, ec).type() != fs::file_type::not_found) {
                r.error = p.string() + " exists; --extract does not overwrite";
                return false;
            }
        }
        fs::create_directories(extractDir, ec);
        if (ec) r.error = "cannot create " + extractDir.string() + ": " + ec.message();
        return !ec;
    }

    Outcome checkContent(Report& r, const fs::path& dir, const fs::path& extractDir, const Record& rec, bool disc,
                         const uint8_t* titleKey, std::string& okDetail) const {
        const std::string base = hexId(rec.cid, 8);
        const fs::path app = dir / (base + ".app");
        if (extractDir.empty())
            return disc ? checkDisc(app, dir / (base + ".hash"), rec.size, rec.hash, titleKey, {})
                        : checkPlain(app, rec.size, rec.index, rec.hash, titleKey, {});
        const fs::path target = extractDir / (base + ".bin");
        tmd_io::OutputPolicy policy;
        policy.replace = false;
        tmd_io::OutputFile file;
        int writeErrno = 0;
        const Sink sink = [&](const uint8_t* p, size_t n) {
            if (file.write(p, n)) return true;
            writeErrno = errno;
            return false;
        };
        if (!file.create(target.c_str(), policy)) writeErrno = errno;
        Outcome result = writeErrno ? Outcome{Fault::write, ""}
                         : disc     ? checkDisc(app, dir / (base + ".hash"), rec.size, rec.hash, titleKey, sink)
                                    : checkPlain(app, rec.size, rec.index, rec.hash, titleKey, sink);
        if (result.fault == Fault::none) {
            if (file.commit()) okDetail = "extracted to " + target.string();
            else writeErrno = errno;
        }
        if (result.fault == Fault::write || writeErrno) {
            // Two records of one content ID name the same file.
            r.error = writeErrno == EEXIST ? target.string() + " exists; --extract does not overwrite"
                                           : "cannot write " + target.string() + ": " +
                                                 std::strerror(writeErrno ? writeErrno : EIO);
            return {Fault::write, "not extracted: " + r.error};
        }
        return result;
    }

    const Options& o_;
    const Keys& k_;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const Output out{o.json, o.quiet, o.tmds.size() > 1};
    Keys keys;
    loadKeys(out, o, keys);
    Inspector inspector(o, keys);
    int worst = 0;
    for (const fs::path& t : o.tmds) {
        const Report r = inspector.run(t);
        out.emit(r);
        worst = std::max(worst, exitStatus(r));
    }
    return worst;
}
