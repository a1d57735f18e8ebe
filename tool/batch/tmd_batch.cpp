// tmd-batch: packages a catalogue of titles from one manifest, each exactly
// as tmd -O would in an empty directory, into <out>/<16 hex digits>/.
//
// A title is built in a staging directory beside its final one and put in
// place by one exchange of names, so that its directory always holds either
// its previous complete build or the new one, whenever the process is
// killed. A record inside each title's directory says what it was built
// from; a rerun rebuilds only what changed.

#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "csl/sha1.h"
#include "io/output_file.h"
#include "io/parallel.h"
#include "tool/batch/manifest.h"
#include "tool/common/pkcs11_signer.h"
#include "tool/common/progress.h"
#include "tool/common/report.h"
#include "tool/common/version.h"
#include "tool/tmd/build.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tool::batch::Manifest;
using tool::batch::ManifestTitle;

// Inside each title's directory; hidden, so that the title's own files are
// what a listing shows.
constexpr const char* kRecordName = ".tmd-batch.json";
constexpr int kRecordFormat = 1;
constexpr size_t kMaxProblems = 20;

const char* const kHelp =
    "usage: tmd-batch [options] MANIFEST\n"
    "Packages every title of a TOML manifest as tmd -O would, each into\n"
    "OUT/<16 hex digits of its title ID>/, rebuilding only what changed.\n"
    "  --jobs N      titles built side by side, at most N (default: the cores, at most 4)\n"
    "  --shard I/N   only the titles whose position in the manifest modulo N is I\n"
    "  --force       rebuild titles that are up to date\n"
    "  --report FILE write a JSON report of every title and its files\n"
    "  --dry-run     check the manifest and the inputs and print the plan\n"
    "Key files: the manifest's pki, else as tmd finds them. TMD_SIGNING_KEY: a\n"
    "PKCS#11 key instead of cp_dpki.rsa, opened once per run.\n"
    "Exit status: 0 every title built or up to date, 1 manifest or usage error,\n"
    "2 some titles failed (their directories are left as they were).\n";

struct Options {
    std::string manifest;
    unsigned jobs = 0;
    uint64_t shard = 0;
    uint64_t shards = 1;
    bool force = false;
    bool dryRun = false;
    std::string report;
};

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "%s\nusage: tmd-batch [--jobs N] [--shard I/N] [--force] [--report FILE] [--dry-run] MANIFEST\n",
                 message.c_str());
    std::exit(1);
}

bool parseNumber(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoull(text);
    return *out <= max;
}

Options parseOptions(int argc, char** argv) {
    enum { kJobs = 1, kShard, kForce, kReport, kDryRun, kHelpOpt, kVersion };
    static const option longOptions[] = {
        {"jobs", required_argument, nullptr, kJobs},   {"shard", required_argument, nullptr, kShard},
        {"force", no_argument, nullptr, kForce},       {"report", required_argument, nullptr, kReport},
        {"dry-run", no_argument, nullptr, kDryRun},    {"help", no_argument, nullptr, kHelpOpt},
        {"version", no_argument, nullptr, kVersion},   {nullptr, 0, nullptr, 0}};
    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        const std::string arg = optarg ? optarg : "";
        uint64_t n = 0;
        switch (c) {
            case kJobs:
                if (!parseNumber(arg, 1024, &n) || n == 0) usageError("--jobs takes a number from 1 to 1024");
                o.jobs = static_cast<unsigned>(n);
                break;
            case kShard: {
                const auto slash = arg.find('/');
                uint64_t i = 0;
                if (slash == std::string::npos || !parseNumber(arg.substr(0, slash), UINT32_MAX, &i) ||
                    !parseNumber(arg.substr(slash + 1), UINT32_MAX, &n) || n == 0 || i >= n)
                    usageError("--shard takes I/N with 0 <= I < N");
                o.shard = i;
                o.shards = n;
                break;
            }
            case kForce:
                o.force = true;
                break;
            case kReport:
                if (arg.empty()) usageError("--report takes a file name");
                o.report = arg;
                break;
            case kDryRun:
                o.dryRun = true;
                break;
            case kHelpOpt:
                std::fputs(kHelp, stdout);
                std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
            case kVersion:
                std::fputs("tmd-batch " TMD_VERSION "\n", stdout);
                std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
            default:
                usageError(std::string("unknown option or missing argument: ") + argv[optind - 1]);
        }
    }
    if (optind != argc - 1) usageError(optind == argc ? "no manifest given" : "one manifest only");
    o.manifest = argv[optind];
    return o;
}

// What a title was built from: its entry, and the identity of every file
// read for it (size, time of the last change, inode), the PKI's key files
// and the signing key included.
json fileState(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {path, nullptr};
    return {path, st.st_size, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            st.st_ino, st.st_dev};
}

json sources(const ManifestTitle& t, const Manifest& m) {
    json inputs = json::array();
    for (const tool::TitleContent& c : t.config.contents) inputs.push_back(fileState(c.file));
    if (!t.config.titleKeyFile.empty()) inputs.push_back(fileState(t.config.titleKeyFile));
    json entry = json::parse(t.normalized);
    if (!entry["reserved-file"].get<std::string>().empty())
        inputs.push_back(fileState(entry["reserved-file"].get<std::string>()));
    const char* uri = std::getenv("TMD_SIGNING_KEY");
    const bool token = uri && *uri;
    json pki = json::array({fileState(m.keys.commonKey), fileState(m.keys.cert)});
    // The key as messages show it, never with its PIN.
    std::string why;
    const std::string signingKey = token ? tool::shownPkcs11Uri(uri, &why) : "";
    if (!token) pki.push_back(fileState(m.keys.rsa));
    return {{"format", kRecordFormat},
            {"entry", std::move(entry)},
            {"inputs", std::move(inputs)},
            {"pki", std::move(pki)},
            {"signing-key", signingKey}};
}

// Why the title must be built, or empty when its directory is up to date.
std::string staleReason(const fs::path& dir, const json& now) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return "not built yet";
    const fs::path recordPath = dir / kRecordName;
    FILE* f = std::fopen(recordPath.c_str(), "rb");
    if (!f) return "no record of an earlier build";
    json record = json::parse(f, nullptr, false);
    std::fclose(f);
    if (record.is_discarded() || !record.is_object()) return "record unreadable";
    if (record.value("format", 0) != kRecordFormat) return "record of another format";
    if (record["entry"] != now["entry"]) return "manifest entry changed";
    if (record["inputs"] != now["inputs"]) return "input changed";
    if (record["pki"] != now["pki"] || record["signing-key"] != now["signing-key"]) return "PKI changed";
    if (!record["outputs"].is_array()) return "record unreadable";
    for (const json& o : record["outputs"]) {
        const fs::path p = dir / o.value("name", std::string("?"));
        if (!o.contains("size") || fs::file_size(p, ec) != o["size"].get<uint64_t>() || ec)
            return "output missing or changed";
    }
    return {};
}

std::vector<std::string> outputNames(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.path().filename() != kRecordName) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string sha1Of(const fs::path& path) {
    tmd_io::FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) return {};
    SHA1HashState st;
    SHA1Reset(&st);
    std::vector<uint8_t> buf(size_t{1} << 20);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f.get())) > 0) SHA1Input(&st, buf.data(), static_cast<int32_t>(n));
    if (std::ferror(f.get())) return {};
    uint8_t digest[20];
    SHA1Result(&st, digest);
    return tool::hexString(digest, sizeof digest);
}

bool writeOutput(const std::string& path, const std::string& text) {
    tmd_io::OutputFile out;
    return out.create(path.c_str()) && out.write(text.data(), text.size()) && out.commit();
}

void syncDir(const fs::path& dir) {
    if (!tmd_io::syncWanted()) return;
    const tmd_io::UniqueFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd >= 0) (void)fsync(d.fd);
}

// Names beside a title's directory: where the new build is made, and where
// the previous one waits to be removed.
fs::path stagingOf(const fs::path& out, const std::string& name) { return out / ("." + name + ".staging"); }
fs::path previousOf(const fs::path& out, const std::string& name) { return out / ("." + name + ".previous"); }

// A run killed while putting a title in place may have left its previous
// build under the side name with no directory under the title's own (only
// where names cannot be exchanged in one step); that build goes back. What
// else a killed run left beside the title goes.
void recover(const fs::path& out, const std::string& name) {
    std::error_code ec;
    const fs::path final = out / name;
    const fs::path previous = previousOf(out, name);
    if (!fs::exists(final, ec) && fs::is_directory(previous, ec)) fs::rename(previous, final, ec);
    fs::remove_all(previous, ec);
    fs::remove_all(stagingOf(out, name), ec);
}

// Puts the complete staging directory in place of the title's directory.
bool putInPlace(const fs::path& out, const std::string& name, std::string* error) {
    const fs::path staging = stagingOf(out, name);
    const fs::path final = out / name;
    const fs::path previous = previousOf(out, name);
    syncDir(staging);
    std::error_code ec;
    if (fs::exists(final, ec)) {
#ifdef RENAME_EXCHANGE
        if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, final.c_str(), RENAME_EXCHANGE) == 0) {
            syncDir(out);
            fs::remove_all(staging, ec);  // now the previous build
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
            *error = "cannot put " + final.string() + " in place: " + std::strerror(errno);
            return false;
        }
#endif
        // No exchange on this file system: for a moment the title has no
        // directory, and recover() brings the previous one back if the
        // process ends there.
        if (::rename(final.c_str(), previous.c_str()) != 0) {
            *error = "cannot move " + final.string() + " aside: " + std::strerror(errno);
            return false;
        }
    }
    if (::rename(staging.c_str(), final.c_str()) != 0) {
        *error = "cannot put " + final.string() + " in place: " + std::strerror(errno);
        if (fs::exists(previous, ec)) (void)::rename(previous.c_str(), final.c_str());
        return false;
    }
    syncDir(out);
    fs::remove_all(previous, ec);
    return true;
}

struct TitleOutcome {
    std::string status;  // built, up-to-date, failed
    std::string error;
    double seconds = 0;
};

// Builds one title into its staging directory and puts it in place.
TitleOutcome buildTitle(const ManifestTitle& t, const Manifest& m, const json& state, tool::Signer& signer,
                        unsigned workers) {
    const auto start = std::chrono::steady_clock::now();
    TitleOutcome r{"failed", {}, 0};
    const std::string name = tool::batch::titleDirName(t.config.tid);
    const fs::path staging = stagingOf(m.out, name);
    std::error_code ec;
    auto attempt = [&]() -> std::string {
        if (!fs::create_directory(staging, ec)) return "cannot create " + staging.string() + ": " + ec.message();
        tool::OutputDir dir{staging.string()};
        const tmd_io::UniqueFd owner(tmd_io::openDirectory(staging.c_str()));
        dir.fd = owner.fd;
        if (dir.fd < 0) return "cannot open " + staging.string() + ": " + std::strerror(errno);
        auto encrypted = std::make_unique<tool::EncryptedContents>();
        std::vector<uint8_t> tmd;
        tool::StageResult s = tool::encryptContents(t.config, m.keys, dir, workers, encrypted.get());
        if (s.ok) s = tool::generateTmd(t.config, m.keys, *encrypted, signer, dir, &tmd);
        bool verified = false;
        if (s.ok) s = tool::verifyTmd(tmd, m.keys, &verified);
        if (s.ok && !verified) s = tool::StageResult::failure("TMD verify failed\n");
        if (!s.ok) {
            std::string msg = s.message.empty() ? "encryption failed" : s.message;
            if (msg.back() == '\n') msg.pop_back();
            return msg;
        }
        json record = state;
        record["outputs"] = json::array();
        for (const std::string& f : outputNames(staging))
            record["outputs"].push_back({{"name", f}, {"size", fs::file_size(staging / f, ec)}});
        if (!writeOutput((staging / kRecordName).string(), record.dump(1) + "\n"))
            return "cannot write " + (staging / kRecordName).string();
        std::string error;
        if (!putInPlace(m.out, name, &error)) return error;
        return {};
    };
    r.error = attempt();
    if (r.error.empty()) r.status = "built";
    else fs::remove_all(staging, ec);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

uint64_t inputBytes(const ManifestTitle& t) {
    uint64_t total = 0;
    std::error_code ec;
    for (const tool::TitleContent& c : t.config.contents) {
        const auto n = fs::file_size(c.file, ec);
        if (!ec) total += n;
    }
    return total;
}

// The manifest's problems in line order, at most kMaxProblems of them.
void printProblems(const std::string& manifest, std::vector<tool::batch::Problem> problems) {
    std::stable_sort(problems.begin(), problems.end(),
                     [](const auto& a, const auto& b) { return a.line < b.line; });
    for (size_t i = 0; i < problems.size() && i < kMaxProblems; ++i) {
        const auto& p = problems[i];
        std::fprintf(stderr, "%s:%d: %s%s%s\n", manifest.c_str(), p.line, p.key.c_str(),
                     p.key.empty() ? "" : ": ", p.message.c_str());
    }
    if (problems.size() > kMaxProblems)
        std::fprintf(stderr, "%s: %zu more problems\n", manifest.c_str(), problems.size() - kMaxProblems);
}

// The --report file of this shard; false, said on stderr, when it cannot be written.
bool writeReport(const Options& o, const Manifest& m, const std::vector<const ManifestTitle*>& mine,
                 const std::vector<TitleOutcome>& outcomes, size_t built, size_t failed) {
    const size_t n = mine.size();
    std::error_code ec;
    json titles = json::array();
    for (size_t i = 0; i < n; ++i) {
        const std::string name = tool::batch::titleDirName(mine[i]->config.tid);
        const fs::path dir = m.out / name;
        json files = json::array();
        if (outcomes[i].status != "failed")
            for (const std::string& f : outputNames(dir))
                files.push_back({{"name", f}, {"size", fs::file_size(dir / f, ec)}, {"sha1", sha1Of(dir / f)}});
        titles.push_back({{"id", name},
                          {"status", outcomes[i].status},
                          {"error", outcomes[i].error.empty() ? json(nullptr) : json(outcomes[i].error)},
                          {"seconds", outcomes[i].seconds},
                          {"directory", dir.string()},
                          {"files", std::move(files)}});
    }
    const json report = {{"manifest", fs::absolute(o.manifest).string()},
                         {"out", m.out.string()},
                         {"shard", std::to_string(o.shard) + "/" + std::to_string(o.shards)},
                         {"built", built},
                         {"up-to-date", n - built - failed},
                         {"failed", failed},
                         {"titles", std::move(titles)}};
    if (!writeOutput(o.report, report.dump(2) + "\n")) {
        std::fprintf(stderr, "cannot write the report %s: %s\n", o.report.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

int run(const Options& o) {
    const char* uri = std::getenv("TMD_SIGNING_KEY");
    Manifest m;
    std::vector<tool::batch::Problem> problems;
    tool::batch::readManifest(o.manifest, uri && *uri, &m, &problems);
    if (!problems.empty()) {
        printProblems(o.manifest, std::move(problems));
        return 1;
    }

    std::vector<const ManifestTitle*> mine;
    for (size_t i = 0; i < m.titles.size(); ++i)
        if (i % o.shards == o.shard) mine.push_back(&m.titles[i]);

    const size_t n = mine.size();
    std::vector<json> states(n);
    std::vector<std::string> reasons(n);
    std::vector<size_t> toBuild;
    auto plan = [&] {
        for (size_t i = 0; i < n; ++i) {
            states[i] = sources(*mine[i], m);
            const fs::path dir = m.out / tool::batch::titleDirName(mine[i]->config.tid);
            reasons[i] = o.force ? "forced" : staleReason(dir, states[i]);
            if (!reasons[i].empty()) toBuild.push_back(i);
        }
    };

    if (o.dryRun) {
        plan();
        for (size_t i = 0; i < n; ++i) {
            const std::string name = tool::batch::titleDirName(mine[i]->config.tid);
            if (reasons[i].empty())
                std::printf("up-to-date %s\n", name.c_str());
            else
                std::printf("build %s -> %s (%s)\n", name.c_str(), (m.out / name).c_str(), reasons[i].c_str());
        }
        std::printf("%zu to build, %zu up to date\n", toBuild.size(), n - toBuild.size());
        return 0;
    }

    std::vector<TitleOutcome> outcomes(n, TitleOutcome{"up-to-date", {}, 0});
    std::error_code ec;
    fs::create_directories(m.out, ec);
    const int outFd = ::open(m.out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (outFd < 0) {
        std::fprintf(stderr, "cannot open the output directory %s: %s\n", m.out.c_str(), std::strerror(errno));
        return 1;
    }
    // Shards of one catalogue build disjoint titles and may share the
    // directory; any other run must not build into it at the same time.
    if (flock(outFd, (o.shards > 1 ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        std::fprintf(stderr, "another tmd-batch run is writing into %s\n", m.out.c_str());
        return 1;
    }
    // What a killed run left beside these titles goes first, so that each
    // is judged by its last complete build.
    for (const ManifestTitle* t : mine) recover(m.out, tool::batch::titleDirName(t->config.tid));
    plan();

    tool::Signer signer;
    if (!toBuild.empty()) {
        // A key file that is not the certificate's fails each title at
        // its verification, leaving its directory as it was.
        const tool::StageResult s = signer.open(m.keys, false);
        if (!s.ok) {
            signer.close();
            std::fputs(s.message.c_str(), stderr);
            return 1;
        }
        const unsigned budget = tmd_io::workerBudget();
        unsigned jobs = o.jobs ? std::min(o.jobs, budget) : budget;
        jobs = std::max(1u, std::min<unsigned>(jobs, static_cast<unsigned>(toBuild.size())));
        const unsigned perTitle = std::max(1u, budget / jobs);
        uint64_t totalBytes = 0;
        std::vector<uint64_t> bytes(n);
        for (size_t i : toBuild) totalBytes += bytes[i] = inputBytes(*mine[i]);
        tool::Progress progress("titles", toBuild.size(), totalBytes);
        std::atomic<size_t> next{0};
        std::mutex printing;
        auto worker = [&] {
            for (size_t k; (k = next.fetch_add(1)) < toBuild.size();) {
                const size_t i = toBuild[k];
                outcomes[i] = buildTitle(*mine[i], m, states[i], signer, perTitle);
                progress.add(1, bytes[i]);
                const std::string name = tool::batch::titleDirName(mine[i]->config.tid);
                std::lock_guard<std::mutex> hold(printing);
                progress.clearFor([&] {
                    if (outcomes[i].status == "built") std::printf("built %s\n", name.c_str());
                    else std::fprintf(stderr, "%s: %s\n", name.c_str(), outcomes[i].error.c_str());
                });
            }
        };
        // Titles side by side hold slots of the process's one budget, as
        // the streams of their contents do; what the budget does not give,
        // this thread does.
        tmd_io::ThreadSlots slots(jobs - 1);
        std::vector<std::thread> threads;
        try {
            for (unsigned w = 0; w < slots.count(); ++w) threads.emplace_back(worker);
        } catch (...) {
            // Fewer threads than asked: the ones there, and this one, do it.
        }
        slots.release(slots.count() - static_cast<unsigned>(threads.size()));
        worker();
        for (auto& t : threads) t.join();
        progress.finish();
        signer.close();
    }

    size_t built = 0, failed = 0;
    for (const TitleOutcome& r : outcomes) {
        built += r.status == "built";
        failed += r.status == "failed";
    }
    if (built == 0 && failed == 0)
        std::printf("nothing to build: %zu title%s up to date\n", n, n == 1 ? "" : "s");
    else
        std::printf("%zu built, %zu up to date, %zu failed\n", built, n - built - failed, failed);

    if (!o.report.empty() && !writeReport(o, m, mine, outcomes, built, failed)) return 1;
    ::close(outFd);
    return failed ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parseOptions(argc, argv);
    const int status = run(o);
    std::fflush(stdout);
    if (std::ferror(stdout)) {
        std::fprintf(stderr, "error writing standard output\n");
        return 1;
    }
    return status;
}
