// tmd-inspect against packages made by tmd, intact and damaged: each damage is
// named by the check that catches it, with status 2; bad input is status 1.

#include <filesystem>
#include <random>
#include <string>

#include "tool_fixture.h"

namespace tt {
namespace {

class InspectTest : public ToolTest {
protected:
    void SetUp() override {
        std::mt19937_64 rng(11);
        makeContent("p.bin", randomBytes(rng, 70001));
        makeContent("d.bin", randomBytes(rng, 2031616 + 40000));
        // One plain content and one disc content (type 3) in two titles.
        auto r = tmd({"-O", "-T", "0x300000040", "-n", "p.bin", "-c", "0x41", "-i", "0", "-t", "1"});
        ASSERT_EQ(r.status, 0) << r.err;
        r = tmd({"-O", "-d", "-T", "0x300000041", "-n", "d.bin", "-c", "0x42", "-i", "0", "-t", "3"});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    RunResult inspect(const std::vector<std::string>& extra) {
        std::vector<std::string> argv{binDir() + "/tmd-inspect", "--pki", pkiDir().string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run(argv, dir_.path());
    }

    void flipBit(const std::string& name, size_t offset) {
        Bytes b = readFile(file(name));
        ASSERT_LT(offset, b.size());
        b[offset] ^= 0x01;
        writeFile(file(name), b);
    }
};

TEST_F(InspectTest, IntactPackagesVerify) {
    for (auto t : {"300000040.tmd", "300000041.tmd"}) {
        auto r = inspect({t});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.out.rfind("TMD fields:\n", 0), 0u);
        EXPECT_NE(r.out.find("package verifies\n"), std::string::npos);
    }
    auto r = inspect({"--json", "300000041.tmd"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\"ok\": true}\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"issuer\": \"Root-CA00000001-CP00000004\""), std::string::npos);
    EXPECT_NE(r.out.find("disc layout"), std::string::npos);
}

TEST_F(InspectTest, DamageIsNamed) {
    struct Damage {
        const char* name;
        const char* file;
        size_t offset;
        const char* tmdFile;
        const char* expected;  // substring of the failing check's line
    };
    const Damage cases[] = {
        {"PlainAppBit", "00000041.app", 5000, "300000040.tmd", "content 0 (00000041.app): FAILED: hash mismatch"},
        {"PlainAppLastBlock", "00000041.app", 70010, "300000040.tmd", "content 0 (00000041.app): FAILED"},
        {"DiscDataBit", "00000042.app", 2097152 + 1024 + 77, "300000041.tmd", "super block 1, block 0: chunk 0 hash mismatch"},
        {"DiscHashBlockBit", "00000042.app", 32768 * 3 + 700, "300000041.tmd", "super block 0, block 3"},
        {"HashFileBit", "00000042.hash", 3, "300000041.tmd", "super block 0: hash file entry mismatch"},
        {"TmdSignedRegion", "300000040.tmd", 0x1E4 + 8, "300000040.tmd", "TMD signature: FAILED"},
        {"TmdRecordHash", "300000041.tmd", 0x1E4 + 20, "300000041.tmd", "TMD signature: FAILED"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes saved = readFile(file(c.file));
        flipBit(c.file, c.offset);
        auto r = inspect({c.tmdFile});
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("package does NOT verify\n"), std::string::npos);
        writeFile(file(c.file), saved);
    }
}

TEST_F(InspectTest, TruncatedAndMissingFiles) {
    Bytes app = readFile(file("00000042.app"));
    app.resize(app.size() - 32768);
    writeFile(file("00000042.app"), app);
    auto r = inspect({"300000041.tmd"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("size mismatch"), std::string::npos) << r.out;

    std::filesystem::remove(file("00000041.app"));
    r = inspect({"300000040.tmd"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("missing 00000041.app"), std::string::npos) << r.out;

    // Forcing the wrong layout names the content too.
    r = inspect({"--layout", "plain", "300000041.tmd"});
    EXPECT_EQ(r.status, 2);
}

TEST_F(InspectTest, WrongCertificateAndChain) {
    TempDir other;
    ASSERT_EQ(run({binDir() + "/tmd-pki", "init", other.path().string()}).status, 0);
    const auto otherPki = other.path() / "X86/bin/pki_data";
    auto r = inspect({"--cert", (otherPki / "cp_dpki.cert").string(), "300000040.tmd"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("TMD signature: FAILED"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("certificate chain: FAILED"), std::string::npos) << r.out;

    r = inspect({"--ca", (otherPki / "ca_dpki.cert").string(), "300000040.tmd"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("certificate chain: FAILED"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TMD signature: ok"), std::string::npos) << r.out;
}

TEST_F(InspectTest, BadInputIsStatusOne) {
    writeFile(file("short.tmd"), Bytes(100, 0));
    Bytes t = readFile(file("300000040.tmd"));
    t[0x1DF] = 9;  // claims 9 records
    writeFile(file("claims.tmd"), t);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"missing.tmd"}, {"short.tmd"}, {"claims.tmd"}, {"--bogus", "300000040.tmd"}, {}}) {
        auto r = inspect(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("tmd-inspect: "), std::string::npos);
    }
}

}  // namespace
}  // namespace tt
