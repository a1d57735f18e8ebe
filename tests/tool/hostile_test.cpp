// Hostile input to tmd: key files, record files and reserved-field files that
// are empty, truncated, oversized, random or directories, and command lines
// with huge lists, huge numbers, empty items and repeated options. None may
// crash, hang or write a TMD where it fails; each failure is one line on
// standard error and status 1.

#include <filesystem>
#include <random>
#include <string>

#include "tool/common/tmdcheck.h"
#include "tool_fixture.h"

namespace tt {
namespace {

namespace fs = std::filesystem;

constexpr const char* T = "0x300000090";
constexpr const char* kTmd = "300000090.tmd";

enum class Damage { empty, truncated, oversized, random, directory };

const char* damageName(Damage d) {
    switch (d) {
        case Damage::empty: return "empty";
        case Damage::truncated: return "truncated";
        case Damage::oversized: return "oversized";
        case Damage::random: return "random";
        default: return "directory";
    }
}

// Replaces `path` (an existing good file) by its damaged form.
void damage(const fs::path& path, Damage d, size_t truncateTo) {
    std::mt19937_64 rng(static_cast<uint64_t>(d) * 7919 + truncateTo);
    const Bytes good = fs::exists(path) ? readFile(path) : Bytes{};
    fs::remove_all(path);
    switch (d) {
        case Damage::empty: writeFile(path, Bytes{}); break;
        case Damage::truncated: writeFile(path, Bytes(good.begin(), good.begin() + truncateTo)); break;
        case Damage::oversized: {
            Bytes big = good;
            const Bytes tail = randomBytes(rng, 1 << 20);
            big.insert(big.end(), tail.begin(), tail.end());
            writeFile(path, big);
            break;
        }
        case Damage::random: writeFile(path, randomBytes(rng, good.size())); break;
        case Damage::directory: fs::create_directory(path); break;
    }
}

class HostileTest : public ToolTest {
protected:
    void SetUp() override {
        // A private copy of the PKI whose files a test may damage.
        fs::copy(pkiRoot(), file("pki"), fs::copy_options::recursive);
        makeContent("c.bin", Bytes(1000, 0x5A));
    }
    fs::path keyFile(const std::string& name) const { return file("pki") / "X86/bin/pki_data" / name; }
    RunResult tmdWith(std::vector<std::string> args) {
        return tmd(args, {"KESSARIVON_SDK_ROOT=" + file("pki").string()});
    }
    // A failure: one line on standard error, status 1, nothing on standard
    // output and no TMD.
    void expectRefused(const RunResult& r, const std::string& errStart) {
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind(errStart, 0), 0u) << r.err;
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "more than one line: " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(file(kTmd)));
    }
};

TEST_F(HostileTest, DamagedKeyFiles) {
    struct Case {
        const char* file;
        Damage damage;
        const char* err;  // start of the message; null: the run succeeds
        int statusWithDump;
    };
    const Case cases[] = {
        // The common key is any 16 bytes: only a short file can be told.
        {"common_dpki.aesKey", Damage::empty, "file read failed", 1},
        {"common_dpki.aesKey", Damage::truncated, "file read failed", 1},
        {"common_dpki.aesKey", Damage::directory, "file read failed", 1},
        {"common_dpki.aesKey", Damage::oversized, nullptr, 0},
        {"common_dpki.aesKey", Damage::random, nullptr, 0},
        // The RSA key file must hold a whole, consistent key; text after it
        // does not matter.
        {"cp_dpki.rsa", Damage::empty, "signing TMD failed\n", 1},
        {"cp_dpki.rsa", Damage::truncated, "signing TMD failed\n", 1},
        {"cp_dpki.rsa", Damage::random, "signing TMD failed\n", 1},
        {"cp_dpki.rsa", Damage::directory, "signing TMD failed\n", 1},
        {"cp_dpki.rsa", Damage::oversized, nullptr, 0},
        // The TMD stage takes the certificate's first 768 bytes; the dump
        // verifies only against a certificate of a known size.
        {"cp_dpki.cert", Damage::empty, "file read failed", 1},
        {"cp_dpki.cert", Damage::truncated, "file read failed", 1},
        {"cp_dpki.cert", Damage::directory, "file read failed", 1},
        {"cp_dpki.cert", Damage::random, "get cert name failed\n", 1},
        {"cp_dpki.cert", Damage::oversized, nullptr, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + damageName(c.damage));
        const fs::path good = file("good");
        fs::copy_file(keyFile(c.file), good, fs::copy_options::overwrite_existing);
        damage(keyFile(c.file), c.damage, fs::file_size(good) / 2);

        for (bool dump : {false, true}) {
            std::vector<std::string> args{"-O", "-T", T, "-n", "c.bin", "-c", "1", "-i", "0"};
            if (dump) args.push_back("-a");
            auto r = tmdWith(args);
            if (c.err) {
                expectRefused(r, c.err);
            } else {
                EXPECT_EQ(r.status, dump ? c.statusWithDump : 0) << r.err;
                EXPECT_TRUE(fs::exists(file(kTmd)));
                if (dump && c.statusWithDump == 2) {
                    EXPECT_NE(r.out.find("TMD verify failed\n"), std::string::npos);
                }
            }
            fs::remove(file(kTmd));
        }
        fs::remove_all(keyFile(c.file));
        fs::copy_file(good, keyFile(c.file));
    }
}

TEST_F(HostileTest, DamagedRecordAndReservedFiles) {
    // A good content record to damage, exported by an earlier run.
    auto first = tmd({"-O", "-T", "0x300000091", "-n", "c.bin", "-c", "0x21", "-i", "0", "-a"});
    ASSERT_EQ(first.status, 0) << first.err;
    makeContent("reserved.bin", Bytes(40, 1));

    struct Case {
        const char* option;
        const char* name;  // the file handed to the option
        Damage damage;
        size_t truncateTo;
        const char* err;   // null: the run succeeds
    };
    const Case cases[] = {
        {"-A", "21.cmd", Damage::empty, 0, "file read failed 21.cmd\n"},
        {"-A", "21.cmd", Damage::truncated, 35, "file read failed 21.cmd\n"},
        {"-A", "21.cmd", Damage::directory, 0, "file read failed 21.cmd\n"},
        // Random bytes give an index far beyond the title's contents.
        {"-A", "21.cmd", Damage::random, 0, "content record 21.cmd has index "},
        {"-A", "21.cmd", Damage::oversized, 0, nullptr},
        {"-N", "reserved.bin", Damage::empty, 0, "file read failed reserved.bin\n"},
        {"-N", "reserved.bin", Damage::truncated, 31, "file read failed reserved.bin\n"},
        {"-N", "reserved.bin", Damage::directory, 0, "file read failed reserved.bin\n"},
        {"-N", "reserved.bin", Damage::oversized, 0, nullptr},
        {"-B", "reserved.bin", Damage::truncated, 29, "file read failed reserved.bin\n"},
        {"-B", "reserved.bin", Damage::directory, 0, "file read failed reserved.bin\n"},
        {"-B", "reserved.bin", Damage::random, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " " + damageName(c.damage));
        const fs::path target = file(c.name);
        fs::copy_file(target, file("good"), fs::copy_options::overwrite_existing);
        damage(target, c.damage, c.truncateTo);
        // A record takes position 0, so the command-line content moves to 1.
        const char* index = std::string(c.option) == "-A" ? "1" : "0";
        auto r = tmd({"-O", "-T", T, "-n", "c.bin", "-c", "1", "-i", index, c.option, c.name});
        if (c.err) {
            expectRefused(r, c.err);
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(fs::exists(file(kTmd)));
        }
        fs::remove(file(kTmd));
        fs::remove_all(target);
        fs::copy_file(file("good"), target);
    }
}

TEST_F(HostileTest, ImportedRecordsThatDoNotFit) {
    auto first = tmd({"-O", "-T", "0x300000092", "-n", "c.bin", "-c", "0x21", "-i", "0", "-a"});
    ASSERT_EQ(first.status, 0) << first.err;
    // Two copies of one record claim one position and leave the other empty;
    // the same record beside its own command-line content conflicts.
    struct Case {
        std::vector<std::string> args;
        const char* err;
    };
    const Case cases[] = {
        {{"-O", "-T", T, "-A", "21.cmd,21.cmd"}, "incorrect content index 1\n"},
        {{"-O", "-T", T, "-n", "c.bin", "-c", "0x21", "-i", "1", "-A", "21.cmd"},
         "conflicting content id '33'\n"},
        {{"-O", "-T", T, "-n", "c.bin", "-c", "5", "-i", "0", "-A", "21.cmd"},
         "conflicting content index '0'\n"},
        {{"-O", "-T", T, "-n", "c.bin", "-c", "5", "-i", "600", "-A", "21.cmd"},
         "content index 600 out of range (at most 511)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        expectRefused(tmd(c.args), c.err);
    }
    // 512 records and one content: too many for a title.
    std::vector<std::string> files(512, "21.cmd");
    std::string list;
    for (const auto& f : files) list += f + ",";
    expectRefused(tmd({"-O", "-T", T, "-n", "c.bin", "-c", "5", "-i", "1", "-A", list}),
                  "too many contents: 513 (at most 512)\n");
}

TEST_F(HostileTest, HostileCommandLines) {
    std::string thousands;
    for (int i = 0; i < 5000; ++i) thousands += std::to_string(i) + ",";
    const std::string longPath(100000, 'p');
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"-O", "-T", T, "-n", thousands}, "too many items in the list of -n (at most 512)\n"},
        {{"-O", "-T", T, "-t", thousands}, "too many items in the list of -t (at most 512)\n"},
        {{"-O", "-T", T, "-A", thousands}, "too many items in the list of -A (at most 512)\n"},
        {{"-O", "-T", "99999999999999999999999999", "-n", "c.bin", "-c", "1", "-i",
          "99999999999999999999"},
         "content index has to be zero based and less than the number of contents 1\n"},
        {{"-O", "-T", T, "-o", "99999999999999999999"}, "incorrect system version\n"},
        {{"-O", "-T", T, "-n", "c.bin", "-c", "1", "-i", "0", "-b", "99999999999"},
         "boot content index incorrect bidx=65535 numContents=1\n"},
        {{"-O", "-T", "-1", "-C", "-1"}, "incorrect title type\n"},
        {{"-O", "-T", ""}, "incorrect title id\n"},
        {{"-O", "-T", T, "-n", ",,,", "-c", "1"}, "the list of -n holds no item\n"},
        {{"-O", "-T", T, "-n", "c.bin,,", "-c", ",1,", "-i", ",,0", "-t", ",,"},
         "the list of -t holds no item\n"},
        {{"-O", "-T", T, "-n", "c.bin", "-n", "c.bin,c.bin", "-c", "1"},
         "incorrect number of contents, numContents=1 n=2\n"},
        {{"-O", "-T", T, "-n", longPath, "-c", "1", "-i", "0"}, longPath + " encryption failed\n"},
        {{"-O", "-T", T, "-n", "c.bin", "-c", "1", "-i", "0", "-K", "missing.key"},
         "file open failed missing.key\n"},
        {{"-O", "-T", T, "-n", "c.bin", "-c", "1", "-i", "0", "-K", "."}, "file read failed .\n"},
        // A directory opens like a file but never reads like one.
        {{"-O", "-T", T, "-n", ".", "-c", "1", "-i", "0"}, ". encryption failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err.substr(0, 60));
        expectRefused(tmd(c.args), c.err);
    }

    // The disc layout reports an unreadable content on standard output.
    auto disc = tmd({"-O", "-T", T, "-n", ".", "-c", "1", "-i", "0", "-d"});
    EXPECT_EQ(disc.status, 1);
    EXPECT_EQ(disc.out, "Error when reading input file - exiting\n");
    EXPECT_FALSE(fs::exists(file(kTmd)));
    EXPECT_FALSE(fs::exists(file("00000001.app")));

    // Repeated options: the last value counts, and thousands of them are fine.
    std::vector<std::string> many;
    for (int i = 0; i < 5000; ++i) many.insert(many.end(), {"-O", "-T", T});
    many.insert(many.end(), {"-n", "c.bin", "-c", "1", "-i", "0", "-g", "7", "-g", "65538"});
    auto r = tmd(many);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(fs::exists(file(kTmd)));
    const Bytes t = readFile(file(kTmd));
    EXPECT_EQ(es_get_be16(t.data() + tmd_layout::GROUP_ID), 2);  // 65538 in 16 bits
}

// The list checks on their own: every conflict is reported, in order, and
// records that point past the title are refused before any stage runs.
TEST(ContentListChecks, ConflictsAndBounds) {
    auto rec = [](uint32_t cid, uint16_t index) {
        ContentRecord r{};
        es_put_be32(r.bytes + cmd_layout::CID, cid);
        es_put_be16(r.bytes + cmd_layout::INDEX, index);
        return r;
    };
    const char* names[] = {"a.cmd", "b.cmd"};
    struct Case {
        std::vector<uint16_t> index;
        std::vector<uint32_t> cids;
        std::vector<ContentRecord> cmds;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {{0, 1}, {5, 6}, {rec(6, 2), rec(7, 0)},
         {"conflicting content index '0'\n", "conflicting content id '6'\n"}},
        {{0}, {5}, {rec(6, 1), rec(7, 3)},
         {"content record b.cmd has index 3, not below the number of contents 3\n"}},
        {{1}, {5}, {rec(6, 0)}, {}},
        {{}, {}, {rec(6, 1)},
         {"content record a.cmd has index 1, not below the number of contents 1\n"}},
        {{0, 0}, {5, 6}, {}, {}},  // duplicates are left to the TMD stage
        {{2, 0}, {5, 6}, {}, {"content index has to be zero based and less than the number of contents 2\n"}},
    };
    for (const Case& c : cases) {
        tool::ContentLists l;
        l.numContents = static_cast<uint16_t>(c.index.size());
        l.index = c.index.data();
        l.cids = c.cids.data();
        l.numInCmds = static_cast<uint16_t>(c.cmds.size());
        l.cmds = c.cmds.data();
        l.cmdFiles = names;
        EXPECT_EQ(tool::checkContentLists(l), c.expected);
    }
}

// A TMD read back is refused before it is printed when it is larger than
// the buffer, shorter than a header, or claims records it does not hold.
TEST(TmdFileChecks, SizeAndRecordCount) {
    using tool::TmdFileCheck;
    const uint64_t buffer = 484 + 36 * 512;
    EXPECT_EQ(tool::checkTmdFileSize(buffer + 1, buffer), TmdFileCheck::tooLarge);
    EXPECT_EQ(tool::checkTmdFileSize(483, buffer), TmdFileCheck::tooShort);
    EXPECT_EQ(tool::checkTmdFileSize(484, buffer), TmdFileCheck::ok);
    Bytes tmd(484 + 36 * 2, 0);
    for (uint16_t n : {0, 1, 2, 3, 512, 0xFFFF}) {
        es_put_be16(tmd.data() + tmd_layout::NUM_CONTENTS, n);
        EXPECT_EQ(tool::checkTmdRecords(tmd.data(), static_cast<uint32_t>(tmd.size())),
                  n <= 2 ? TmdFileCheck::ok : TmdFileCheck::fewerRecords)
            << n;
    }
}

}  // namespace
}  // namespace tt
