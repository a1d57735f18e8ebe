// tmd-batch end to end: its titles against tmd's own outputs, the manifest's
// refusals, the incremental rules, shards, the report (checked with
// OpenSSL's SHA-1) and titles killed while being put in place.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <openssl/sha.h>

#include "tool_fixture.h"

extern char** environ;

namespace tt {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, Bytes>;

// Every file of a directory but the build record.
Files filesIn(const fs::path& dir) {
    Files f;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != ".tmd-batch.json") f[e.path().filename().string()] = readFile(e.path());
    return f;
}

class BatchTest : public ToolTest {
protected:
    RunResult batch(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), binDir() + "/tmd-batch");
        std::vector<std::string> e{"KESSARIVON_SDK_ROOT", "ROOT", "TMD_SIGNING_KEY"};
        e.insert(e.end(), env.begin(), env.end());
        return run(args, dir_.path(), e);
    }
    void manifest(const std::string& body, const fs::path& pki = pkiRoot()) {
        writeFile(file("m.toml"), "out = \"out\"\npki = \"" + pki.string() + "\"\n" + body);
    }
    // tmd -O in an empty directory; its files.
    Files tmdFiles(const std::vector<std::string>& args) {
        TempDir d;
        std::vector<std::string> argv{binDir() + "/tmd", "-O"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = run(argv, d.path(), {"KESSARIVON_SDK_ROOT=" + pkiRoot().string(), "ROOT"});
        EXPECT_EQ(r.status, 0) << r.err;
        return filesIn(d.path());
    }
    // A catalogue of `n` one-content titles 0x0001000100000100 + i.
    void catalogue(int n, size_t bytes, uint64_t seed, const fs::path& pki = pkiRoot()) {
        std::mt19937_64 rng(seed);
        std::string body;
        for (int i = 0; i < n; ++i) {
            const std::string c = "c" + std::to_string(i) + ".bin";
            makeContent(c, randomBytes(rng, bytes));
            body += "[[title]]\nid = \"00010001000001" + hex2(i) + "\"\n[[title.content]]\nfile = \"" + c +
                    "\"\nid = 1\n";
        }
        manifest(body, pki);
    }
    TempDir pki_;  // a PKI of the test's own, to change
    static std::string hex2(int i) {
        char s[3];
        std::snprintf(s, sizeof s, "%02x", i);
        return s;
    }
};

TEST_F(BatchTest, TitlesAreByteIdenticalToTmd) {
    std::mt19937_64 rng(7);
    for (auto [name, size] : {std::pair{"a.bin", 40000}, {"b.bin", 17}, {"d.bin", 2100000}, {"e.bin", 0}})
        makeContent(name, randomBytes(rng, static_cast<size_t>(size)));
    makeContent("k.bin", randomBytes(rng, 16));
    makeContent("r.bin", randomBytes(rng, 40));
    manifest(R"(
[defaults]
group-id = 3
[[title]]
id = "0x0001000100000002"
type = 0x5
system-version = "0000000100000004"
title-version = 3
boot-index = 1
title-key-file = "k.bin"
reserved-file = "r.bin"
[[title.content]]
file = "a.bin"
id = 0x10
index = 1
type = 0x4001
[[title.content]]
file = "b.bin"
id = "1F"
index = 0
type = 0x8001
[[title]]
id = 0x0005000100000abc
layout = "disc"
group-id = 0x1234
boot-index = 511
[[title.content]]
file = "d.bin"
id = 7
[[title.content]]
file = "e.bin"
id = 8
type = 0x4003
)");
    auto r = batch({"m.toml"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string k = file("k.bin").string(), n = file("r.bin").string();
    EXPECT_EQ(filesIn(file("out/0001000100000002")),
              tmdFiles({"-T", "0x0001000100000002", "-C", "5", "-g", "3", "-o", "0x100000004", "-m",
                        "3", "-b", "1", "-K", k, "-N", n, "-n", file("a.bin").string() + "," + file("b.bin").string(),
                        "-c", "0x10,0x1f", "-i", "1,0", "-t", "0x4001,0x8001"}));
    EXPECT_EQ(filesIn(file("out/0005000100000abc")),
              tmdFiles({"-T", "0x0005000100000abc", "-d", "-g", "0x1234", "-b", "511", "-n",
                        file("d.bin").string() + "," + file("e.bin").string(), "-c", "7,8", "-i",
                        "0,1", "-t", "3,0x4003"}));
}

TEST_F(BatchTest, ManifestMistakesAreReportedWithTheirLine) {
    makeContent("a.bin", Bytes(10, 1));
    const std::string ok = "[[title]]\nid = \"0001000100000002\"\n[[title.content]]\nfile = \"a.bin\"\nid = 1\n";
    struct Case {
        const char* what;
        std::string body;  // after the two lines of out and pki
        int line;
        const char* key;
    };
    const Case cases[] = {
        {"unknown top key", "colour = 1\n" + ok, 3, "colour"},
        {"unknown title key", "[[title]]\nid = \"0001000100000002\"\nsize = 3\n", 5, "title[0].size"},
        {"unknown content key", ok + "sha = 1\n", 8, "title[0].content[0].sha"},
        {"id in defaults", "[defaults]\nid = 1\n" + ok, 4, "defaults.id"},
        {"wrong type", ok.substr(0, ok.find("[[title.content")) + "group-id = \"2\"\n" + ok.substr(ok.find("[[title.content")), 5, "title[0].group-id"},
        {"title version too large", "[defaults]\ntitle-version = 65536\n" + ok, 4, "defaults.title-version"},
        {"negative index", ok + "index = -1\n", 8, "title[0].content[0].index"},
        {"index beyond the count", ok + "index = 1\n", 8, "title[0].content[0].index"},
        {"content id wider than 32 bits", "[[title]]\nid = \"0001000100000002\"\n[[title.content]]\nfile = \"a.bin\"\nid = 0x100000000\n", 7, "title[0].content[0].id"},
        {"hex with junk", "[[title]]\nid = \"00010001000000g2\"\n", 4, "title[0].id"},
        {"title id upper half", "[[title]]\nid = 0x200000000\n", 4, "title[0].id"},
        {"system version", "[defaults]\nsystem-version = 4\n" + ok, 4, "defaults.system-version"},
        {"title type", "[defaults]\ntype = 3\n" + ok, 4, "defaults.type"},
        {"content type", ok + "type = 2\n", 8, "title[0].content[0].type"},
        {"group id 1", "[defaults]\ngroup-id = 1\n" + ok, 4, "defaults.group-id"},
        {"layout", "[defaults]\nlayout = \"dvd\"\n" + ok, 4, "defaults.layout"},
        {"duplicate title id", ok + ok, 9, "title[1].id"},
        {"duplicate content id", ok + "[[title.content]]\nfile = \"a.bin\"\nid = 1\n", 10, "title[0].content[1].id"},
        {"duplicate index", ok + "index = 0\n[[title.content]]\nfile = \"a.bin\"\nid = 2\nindex = 0\n", 12, "title[0].content[1].index"},
        {"boot index", "[defaults]\nboot-index = 1\n" + ok, 4, "defaults.boot-index"},
        {"missing input", "[[title]]\nid = \"0001000100000002\"\n[[title.content]]\nfile = \"none.bin\"\nid = 1\n", 6, "title[0].content[0].file"},
        {"short title-key file", "[defaults]\ntitle-key-file = \"a.bin\"\n" + ok, 4, "defaults.title-key-file"},
        {"no content", "[[title]]\nid = \"0001000100000002\"\n", 3, "title[0].content"},
        {"missing content id", "[[title]]\nid = \"0001000100000002\"\n[[title.content]]\nfile = \"a.bin\"\n", 5, "title[0].content[0].id"},
        {"no title", "", 1, "title"},
        {"TOML syntax", ok + "id = 2\n", 8, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        manifest(c.body);
        auto r = batch({"m.toml"});
        EXPECT_EQ(r.status, 1);
        const std::string where = "m.toml:" + std::to_string(c.line) + ": " + c.key;
        EXPECT_NE(("\n" + r.err).find("\n" + where), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(file("out")));
    }
    // Every problem at once, not only the first.
    manifest("[defaults]\ngroup-id = 1\ntype = 3\n" + ok + "x = 1\n");
    auto r = batch({"m.toml"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
}

TEST_F(BatchTest, RebuildsExactlyWhatChanged) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& dir, const fs::path& pki)> change;
        std::vector<std::string> args;
        bool rebuilt;
    };
    const Case cases[] = {
        {"unchanged", [](const fs::path&, const fs::path&) {}, {}, false},
        {"touched", [](const fs::path& d, const fs::path&) { fs::last_write_time(d / "c0.bin", fs::file_time_type::clock::now() + std::chrono::seconds(5)); }, {}, true},
        {"replaced", [](const fs::path& d, const fs::path&) {
             writeFile(d / "new.bin", Bytes(1000, 9));
             fs::rename(d / "new.bin", d / "c0.bin");
         }, {}, true},
        {"entry changed", [](const fs::path& d, const fs::path&) {
             Bytes m = readFile(d / "m.toml");
             const std::string more = "[defaults]\ntitle-version = 1\n";
             m.insert(m.end(), more.begin(), more.end());
             writeFile(d / "m.toml", m);
         }, {}, true},
        {"PKI changed", [](const fs::path&, const fs::path& pki) {
             fs::last_write_time(pki / "X86/bin/pki_data/cp_dpki.cert",
                                 fs::file_time_type::clock::now() + std::chrono::seconds(5));
         }, {}, true},
        {"forced", [](const fs::path&, const fs::path&) {}, {"--force"}, true},
    };
    fs::copy(pkiRoot(), pki_.path(), fs::copy_options::recursive);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        catalogue(1, 1000, 3, pki_.path());
        ASSERT_EQ(batch({"m.toml"}).status, 0);
        c.change(dir_.path(), pki_.path());
        std::vector<std::string> args = c.args;
        args.push_back("m.toml");
        auto r = batch(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("built 0001000100000100") != std::string::npos, c.rebuilt) << r.out;
        if (!c.rebuilt) {
            EXPECT_NE(r.out.find("nothing to build"), std::string::npos) << r.out;
        }
        fs::remove_all(file("out"));
    }
}

TEST_F(BatchTest, ShardsCoverTheCatalogueOnce) {
    catalogue(7, 100, 4);
    // The plan first: it writes nothing.
    auto plan = batch({"--dry-run", "m.toml"});
    EXPECT_EQ(plan.status, 0);
    EXPECT_NE(plan.out.find("7 to build, 0 up to date"), std::string::npos) << plan.out;
    EXPECT_FALSE(fs::exists(file("out")));
    std::multiset<std::string> built;
    for (int i = 0; i < 3; ++i) {
        auto r = batch({"--shard", std::to_string(i) + "/3", "m.toml"});
        ASSERT_EQ(r.status, 0) << r.err;
        for (size_t p = 0; (p = r.out.find("built ", p)) != std::string::npos; p += 6)
            built.insert(r.out.substr(p + 6, 16));
    }
    std::multiset<std::string> all;
    for (int i = 0; i < 7; ++i) all.insert("00010001000001" + hex2(i));
    EXPECT_EQ(built, all);
}

TEST_F(BatchTest, ReportMatchesTheFiles) {
    catalogue(3, 5000, 5);
    ASSERT_EQ(batch({"--shard", "0/3", "m.toml"}).status, 0);
    auto r = batch({"--report", "r.json", "m.toml"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos);  // no progress outside a terminal
    const auto report = nlohmann::json::parse(readFile(file("r.json")));
    ASSERT_EQ(report["titles"].size(), 3u);
    for (const auto& t : report["titles"]) {
        const std::string id = t["id"];
        EXPECT_EQ(t["status"], id == "0001000100000100" ? "up-to-date" : "built");
        EXPECT_TRUE(t["error"].is_null());
        Files files = filesIn(file("out/" + id));
        ASSERT_EQ(t["files"].size(), files.size());
        for (const auto& f : t["files"]) {
            const Bytes& data = files.at(f["name"].get<std::string>());
            EXPECT_EQ(f["size"], data.size());
            uint8_t d[SHA_DIGEST_LENGTH];
            SHA1(data.data(), data.size(), d);
            char hex[41];
            for (int i = 0; i < 20; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
            EXPECT_EQ(f["sha1"], hex);
        }
    }
}

TEST_F(BatchTest, FailedTitlesKeepTheirDirectories) {
    fs::copy(pkiRoot(), pki_.path(), fs::copy_options::recursive);
    catalogue(2, 3000, 8, pki_.path());
    ASSERT_EQ(batch({"m.toml"}).status, 0);
    const Files before = filesIn(file("out/0001000100000100"));
    // A key that is not the certificate's: no TMD can verify.
    const fs::path keys = pki_.path() / "X86/bin/pki_data";
    fs::copy_file(keys / "ca_dpki.rsa", keys / "cp_dpki.rsa", fs::copy_options::overwrite_existing);
    auto r = batch({"--report", "r.json", "m.toml"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(filesIn(file("out/0001000100000100")), before);
    const auto report = nlohmann::json::parse(readFile(file("r.json")));
    for (const auto& t : report["titles"]) {
        EXPECT_EQ(t["status"], "failed");
        EXPECT_TRUE(t["error"].is_string());
    }
}

TEST_F(BatchTest, KilledRunsLeaveEveryTitleCompleteOrPrevious) {
    constexpr int kTitles = 6;
    catalogue(kTitles, 300000, 6);
    ASSERT_EQ(batch({"m.toml"}).status, 0);
    std::vector<Files> before;
    for (int i = 0; i < kTitles; ++i) before.push_back(filesIn(file("out/00010001000001" + hex2(i))));
    catalogue(kTitles, 300000, 60);  // every input replaced
    std::vector<Files> after;
    for (int i = 0; i < kTitles; ++i)
        after.push_back(tmdFiles({"-T", "0x00010001000001" + hex2(i), "-n", file("c" + std::to_string(i) + ".bin").string(),
                                  "-c", "1", "-i", "0", "-t", "1"}));

    const std::string prog = binDir() + "/tmd-batch";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.emplace_back("TMD_SYNC=0");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string manifestPath = file("m.toml").string();
    for (int delayMs : {2, 8, 20, 40, 70}) {
        std::vector<char*> argv{const_cast<char*>(prog.c_str()), const_cast<char*>("--force"),
                                const_cast<char*>(manifestPath.c_str()), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, prog.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        kill(pid, SIGKILL);
        int st = 0;
        waitpid(pid, &st, 0);
        for (int i = 0; i < kTitles; ++i) {
            const fs::path dir = file("out/00010001000001" + hex2(i));
            ASSERT_TRUE(fs::is_directory(dir)) << delayMs;
            const Files now = filesIn(dir);
            EXPECT_TRUE(now == before[static_cast<size_t>(i)] || now == after[static_cast<size_t>(i)]) << dir;
        }
    }
    auto r = batch({"m.toml"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto& e : fs::directory_iterator(file("out")))
        EXPECT_EQ(e.path().filename().string().front() == '.', false) << e.path();  // nothing left beside
    for (int i = 0; i < kTitles; ++i)
        EXPECT_EQ(filesIn(file("out/00010001000001" + hex2(i))), after[static_cast<size_t>(i)]);
}

}  // namespace
}  // namespace tt
