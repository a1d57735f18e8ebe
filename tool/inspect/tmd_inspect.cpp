// tmd-inspect: inspects and verifies packages that already exist. For each
// TMD it prints every field, verifies the TMD's signature and the certificate
// chain, decrypts the title key and checks every content file (plain and disc
// layout, hash tree included) against its recorded size and hash, and says
// which of these it could not check. With --extract it also writes each
// content's plaintext.
//
// Exit status: 0 everything checked and verifies, 2 something does not verify
// or was not checked, 1 bad input; with several TMDs the highest of theirs.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "csl/wipe.h"
#include "es/content_verify.h"
#include "es/tmd.h"
#include "io/output_file.h"
#include "io/parallel.h"
#include "io/small_file.h"
#include "tool/common/inspect.h"
#include "tool/common/pki_files.h"
#include "tool/common/progress.h"
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
    "                     DIR/<title ID>/<content ID>.bin; never overwrites; only\n"
    "                     when the TMD's signature and certificate chain verify\n"
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

Record recordAt(const Bytes& tmd, int i) {
    const uint8_t* rec = tmd.data() + tmd_layout::CONTENTS + ES_CONTENT_RECORD_BYTES * static_cast<size_t>(i);
    return {es_get_be32(rec + cmd_layout::CID), es_get_be16(rec + cmd_layout::INDEX),
            es_get_be16(rec + cmd_layout::TYPE), es_get_be64(rec + cmd_layout::SIZE), rec + cmd_layout::HASH};
}

fs::path packageDir(const Options& o, const fs::path& tmdPath) {
    return !o.dir.empty() ? o.dir : tmdPath.has_parent_path() ? tmdPath.parent_path() : ".";
}

// What checking a TMD's contents reads, for the progress line: the sizes of
// the content files it names. Only a regular file is read ahead, since a
// pipe or a device named as the TMD would not give the same bytes twice;
// what cannot be read counts for nothing.
uint64_t contentBytes(const Options& o, const fs::path& tmdPath) {
    std::error_code ec;
    if (!fs::is_regular_file(tmdPath, ec)) return 0;
    Report r;
    uint32_t tmdSize = 0;
    if (!readTmd(tmdPath, r, tmdSize).empty()) return 0;
    const fs::path dir = packageDir(o, tmdPath);
    uint64_t total = 0;
    const int numContents = es_get_be16(r.tmd.data() + tmd_layout::NUM_CONTENTS);
    for (int i = 0; i < numContents; ++i) {
        const uint64_t size = fs::file_size(dir / (hexId(recordAt(r.tmd, i).cid, 8) + ".app"), ec);
        if (!ec) total += size;
    }
    return total;
}

// The hint for a content whose file has the size of the other layout.
std::string layoutHint(const std::string& name, const Record& rec, bool disc, bool forced, uint64_t actual) {
    char type[8];
    std::snprintf(type, sizeof type, "0x%04x", rec.type);
    if (!disc && actual == ES_DiscContentFileSize(rec.size) && actual != 0)
        return name + " has exactly the size of the disc layout" +
               (forced ? "" : std::string(", but its type ") + type +
                                  " lacks the disc bit 0x0002 (was the package made with -d?)") +
               "; try --layout disc";
    if (disc && actual == ES_PlainContentFileSize(rec.size))
        return name + " has exactly the size of the plain layout" +
               (forced ? "" : std::string(" although its type ") + type + " has the disc bit 0x0002") +
               "; try --layout plain";
    return "";
}

// Inspects `count` TMDs side by side within the process's budget (each
// content's stream draws its threads from the same budget) and hands the
// reports to `emit` in the order of the TMDs, each as soon as those before
// it are out.
void runSideBySide(size_t count, const std::function<Report(size_t)>& inspect,
                   const std::function<void(const Report&)>& emit) {
    std::vector<std::optional<Report>> done(count);
    size_t nextOut = 0;
    std::mutex m;
    tmd_io::runParallel(
        static_cast<int>(count), tmd_io::workerBudget(),
        [&](int i) {
            Report r = inspect(static_cast<size_t>(i));
            std::lock_guard<std::mutex> lock(m);
            done[static_cast<size_t>(i)] = std::move(r);
            for (; nextOut < count && done[nextOut]; ++nextOut) {
                emit(*done[nextOut]);
                done[nextOut].reset();
            }
        },
        [](int) { return false; });
}

// The title's extraction directory: DIR/<title ID>, opened once and never
// through a link, so that what is extracted lands there whatever is swapped
// in under its name meanwhile.
struct ExtractDir {
    fs::path path;  // empty: no extraction
    int fd = -1;
    ExtractDir() = default;
    ExtractDir(const ExtractDir&) = delete;
    ExtractDir& operator=(const ExtractDir&) = delete;
    ~ExtractDir() {
        if (fd >= 0) close(fd);
    }
};

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
        const fs::path dir = packageDir(o_, tmdPath);
        const uint64_t titleId = es_get_be64(r.tmd.data() + tmd_layout::TITLE_ID);
        const int numContents = es_get_be16(r.tmd.data() + tmd_layout::NUM_CONTENTS);

        auto& checks = r.checks;
        // The certificate checks may reach the curve code, which keeps
        // process-wide state: one TMD at a time.
        std::unique_lock<std::mutex> certLock(certs_);
        const uint8_t version = r.tmd[tmd_layout::VERSION];
        checks.push_back({Group::signature, "TMD version", version == ES_TMD_VERSION ? Status::ok : Status::failed,
                          version == ES_TMD_VERSION ? "" : "version " + std::to_string(version) + ", expected 0"});
        checks.push_back(checkTmdSignature(r.tmd.data(), tmdSize, k_.cp));
        checks.push_back(checkTmdIssuer(r.tmd.data(), k_.cp));
        if (k_.ca) checks.push_back(checkChain(k_.cp, *k_.ca));
        else checks.push_back({Group::chain, "certificate chain", Status::skipped, k_.noCa});
        certLock.unlock();
        // Records that are not known to be the publisher's could name any
        // plaintext: nothing is extracted from them.
        ExtractDir extractDir;
        std::string notExtracted;
        if (!o_.extract.empty()) {
            notExtracted = unverifiedSigner(checks);
            extractDir.path = o_.extract / hexId(titleId, 16);
            if (notExtracted.empty() && !prepareExtraction(r, extractDir, numContents)) return r;
        }

        uint8_t titleKey[16] = {};
        std::string noKey = k_.noCommon;
        if (k_.haveCommon) {
            noKey = "no title key";
            checks.push_back(decryptTitleKey(dir, titleId, titleKey));
            if (checks.back().status == Status::ok) noKey.clear();
        } else {
            checks.push_back({Group::contents, "title key", Status::skipped, noKey});
        }
        if (!notExtracted.empty()) noKey = notExtracted;
        int dataFaults = 0;
        for (int i = 0; i < numContents && r.error.empty(); ++i) {
            const Record rec = recordAt(r.tmd, i);
            const bool disc = o_.layout == "disc" || (o_.layout == "auto" && (rec.type & ES_CONTENT_TYPE_DISC));
            const std::string app = hexId(rec.cid, 8) + ".app";
            Check c{Group::contents, "content " + std::to_string(i) + " (" + app + (disc ? ", disc layout" : "") + ")",
                    Status::skipped, noKey, i, rec.cid, disc};
            if (noKey.empty()) {
                const Outcome result = verifyContent(r, dir, extractDir, rec, disc, titleKey, c.detail);
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
    // Why the signer of the TMD is not established, or nothing when it is.
    static std::string unverifiedSigner(const std::vector<Check>& checks) {
        for (const Check& c : checks)
            if (c.status != Status::ok)
                return "not extracted: " + c.name + (c.status == Status::failed ? " failed" : " not checked");
        return "";
    }

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
    // before any content is looked at. DIR is the caller's; its title
    // subdirectory is made or opened without following a link, and one that
    // another user owns (who could swap what is written into it) is refused.
    bool prepareExtraction(Report& r, ExtractDir& extractDir, int numContents) const {
        std::error_code ec;
        fs::create_directories(o_.extract, ec);
        const int top = ec ? -1 : tmd_io::openDirectory(o_.extract.c_str());
        if (top < 0) {
            r.error = "cannot create " + o_.extract.string() + ": " +
                      (ec ? ec.message() : std::strerror(errno));
            return false;
        }
        const std::string title = extractDir.path.filename().string();
        extractDir.fd = tmd_io::openSubdirectory(top, title.c_str());
        const int err = errno;
        close(top);
        if (extractDir.fd < 0) {
            const std::string p = extractDir.path.string();
            r.error = err == ELOOP ? p + " is a symbolic link; --extract does not follow it"
                      : err == EPERM
                          ? p + " belongs to another user; --extract does not write into it"
                      : err == ENOTDIR ? p + " is not a directory"
                                       : "cannot create " + p + ": " + std::strerror(err);
            return false;
        }
        for (int i = 0; i < numContents; ++i) {
            const std::string name = hexId(recordAt(r.tmd, i).cid, 8) + ".bin";
            struct stat st {};
            if (fstatat(extractDir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
                errno != ENOENT) {
                r.error =
                    (extractDir.path / name).string() + " exists; --extract does not overwrite";
                return false;
            }
        }
        return true;
    }

    Outcome verifyContent(Report& r, const fs::path& dir, const ExtractDir& extractDir, const Record& rec,
                          bool disc, const uint8_t* titleKey, std::string& okDetail) const {
        const std::string base = hexId(rec.cid, 8);
        const ContentFiles files{dir / (base + ".app"), dir / (base + ".hash"), disc};
        if (extractDir.path.empty()) return checkContent(files, rec, titleKey, {});
        const fs::path target = extractDir.path / (base + ".bin");
        tmd_io::OutputPolicy policy;
        policy.replace = false;
        tmd_io::OutputFile file;
        int writeErrno = 0;
        const Sink sink = [&](const uint8_t* p, size_t n) {
            if (file.write(p, n)) return true;
            writeErrno = errno;
            return false;
        };
        if (!file.create(extractDir.fd, (base + ".bin").c_str(), policy)) writeErrno = errno;
        Outcome result = writeErrno ? Outcome{Fault::write, ""} : checkContent(files, rec, titleKey, sink);
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
    std::mutex certs_;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const Output out{o.json, o.quiet, o.tmds.size() > 1};
    Keys keys;
    loadKeys(out, o, keys);
    Inspector inspector(o, keys);
    // Contents are read only when there is a key to decrypt them with.
    const bool readsContents = !o.signatureOnly && keys.haveCommon;
    std::vector<uint64_t> bytes(o.tmds.size());
    uint64_t totalBytes = 0;
    if (readsContents)
        for (size_t i = 0; i < o.tmds.size(); ++i) totalBytes += bytes[i] = contentBytes(o, o.tmds[i]);
    tool::Progress progress("TMDs", o.tmds.size(), totalBytes);
    int worst = 0;
    runSideBySide(
        o.tmds.size(),
        [&](size_t i) {
            Report r = inspector.run(o.tmds[i]);
            progress.add(1, bytes[i]);
            return r;
        },
        [&](const Report& r) {
            progress.clearFor([&] { out.emit(r); });
            worst = std::max(worst, exitStatus(r));
        });
    progress.finish();
    return worst;
}
