// The dump stage (-a): the printed report, the exported content records, the
// verification verdict, and the round trip of exported records through -A.

#include <filesystem>
#include <random>
#include <string>

#include "tool_fixture.h"

namespace tt {
namespace {

std::string hashLine(const Bytes& h) {
    std::string s;
    char b[8];
    for (uint8_t x : h) {
        std::snprintf(b, sizeof b, "0x%02x ", x);
        s += b;
    }
    return s;
}

std::string reservedLine(const Bytes& r) { return "   reserved: " + hashLine(r) + "\n"; }

class DumpTest : public ToolTest {};

TEST_F(DumpTest, ReportRecordsAndVerdict) {
    const Bytes a(33, 0xAB), b = {1, 2, 3};
    makeContent("a.bin", a);
    makeContent("b.bin", b);
    Bytes n1(32);
    for (size_t i = 0; i < 32; ++i) n1[i] = static_cast<uint8_t>(i);
    makeContent("n1.bin", n1);
    auto r = tmd({"-O", "-a", "-T", "0x0001000100000002", "-n", "a.bin,b.bin", "-c", "0x1F,0", "-i",
                  "0,1", "-t", "0x8001,3", "-o", "0x1000000FF", "-C", "0x39", "-m", "258", "-N",
                  "n1.bin", "-b", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Bytes reserved = n1;
    reserved.resize(62, 0);
    const std::string expected =
        "TMD fields:\n"
        "  sigType: 10001\n"
        "  issuer: Root-CA00000001-CP00000004\n"
        "  version: 0\n"
        "  sysVersion: 0x1000000ff\n"
        "  caCrlVersion: 0\n"
        "  signerCrlVersion: 0\n"
        "  titleType: 0x00000039\n"
        "  titleId: 0x1000100000002\n" +
        reservedLine(reserved) +
        "  groupId: 0x0002\n"
        "  accessRights: 0x00000000\n"
        "  titleVersion: 258\n"
        "  numContents: 2\n"
        "  bootIndex: 1\n"
        "  --cid 0: 0x0000001f\n"
        "    index 0: 0\n"
        "    type 0: 0x8001 shared \n"
        "    size 0: 33\n"
        "    hash 0: " + hashLine(opensslSha1(a)) + "\n"
        "  --cid 1: 0x00000000\n"
        "    index 1: 1\n"
        "    type 1: 0x3 disc \n"
        "    size 1: 3\n"
        "    hash 1: " + hashLine(opensslSha1(b)) + "\n"
        "TMD verify successful\n";
    EXPECT_EQ(r.out, expected);

    const Bytes t = readFile(file("1000100000002.tmd"));
    EXPECT_EQ(readFile(file("1f.cmd")), Bytes(t.begin() + 0x1E4, t.begin() + 0x1E4 + 36));
    EXPECT_EQ(readFile(file("0.cmd")), Bytes(t.begin() + 0x1E4 + 36, t.begin() + 0x1E4 + 72));
}

// Records exported by one title are imported by a second one, which then
// lists them without touching their content files.
TEST_F(DumpTest, ExportedRecordsImportIntoAnotherTitle) {
    std::mt19937_64 rng(9);
    makeContent("a.bin", randomBytes(rng, 5000));
    makeContent("b.bin", randomBytes(rng, 6000));
    auto r = tmd({"-O", "-a", "-T", "0x300000010", "-n", "a.bin,b.bin", "-c", "0xA,0xB", "-i", "0,1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes first = readFile(file("300000010.tmd"));

    makeContent("c.bin", randomBytes(rng, 7000));
    // A second title of the two imported records plus a new content at index 2.
    r = tmd({"-O", "-a", "-T", "0x300000011", "-A", "a.cmd,b.cmd", "-n", "c.bin", "-c", "0xC", "-i", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes second = readFile(file("300000011.tmd"));
    ASSERT_EQ(second.size(), 484u + 3 * 36);
    EXPECT_EQ(Bytes(second.begin() + 0x1E4, second.begin() + 0x1E4 + 72),
              Bytes(first.begin() + 0x1E4, first.begin() + 0x1E4 + 72));

    // Records only: nothing is encrypted and no title-key file is written.
    std::filesystem::remove(file("300000012.titleKey"));
    r = tmd({"-O", "-T", "0x300000012", "-A", "b.cmd,a.cmd"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(file("300000012.titleKey")));
    EXPECT_EQ(readFile(file("300000012.tmd")).size(), 484u + 2 * 36);
}

TEST_F(DumpTest, ImportConflictsAndRangeChecks) {
    makeContent("a.bin", Bytes(10, 1));
    ASSERT_EQ(tmd({"-O", "-a", "-T", "0x300000020", "-n", "a.bin", "-c", "0x7", "-i", "0"}).status, 0);
    makeContent("b.bin", Bytes(10, 2));
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases{
        {{"-O", "-T", "0x300000021", "-A", "7.cmd", "-n", "b.bin", "-c", "0x8", "-i", "0"},
         "conflicting content index '0'\n"},
        {{"-O", "-T", "0x300000021", "-A", "7.cmd", "-n", "b.bin,b.bin", "-c", "0x7,9", "-i", "1,0"},
         "conflicting content id '7'\nconflicting content index '0'\n"},
        {{"-O", "-T", "0x300000021", "-A", "7.cmd", "-n", "b.bin", "-c", "0x8", "-i", "512"},
         "content index 512 out of range (at most 511)\n"},
    };
    for (const auto& c : cases) {
        auto r = tmd(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(std::filesystem::exists(file("300000021.tmd")));
    }
    // A record whose index is not below the number of contents is refused.
    Bytes rec = readFile(file("7.cmd"));
    rec[5] = 3;
    writeFile(file("bad.cmd"), rec);
    auto r = tmd({"-O", "-T", "0x300000022", "-A", "bad.cmd"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "content record bad.cmd has index 3, not below the number of contents 1\n");
    // A command-line index between the total and 512 is caught by the TMD stage.
    r = tmd({"-O", "-T", "0x300000023", "-A", "7.cmd", "-n", "b.bin", "-c", "0x8", "-i", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "incorrect content index 1\n");
}

// A certificate that does not belong to the signing key: every field and
// record is still produced, and the verdict is status 2.
TEST_F(DumpTest, ForeignCertificateFailsVerification) {
    TempDir other;
    ASSERT_EQ(run({binDir() + "/tmd-pki", "init", other.path().string()}).status, 0);
    TempDir root;
    const auto d = root.path() / "X86/bin/pki_data";
    std::filesystem::create_directories(d);
    for (auto n : {"common_dpki.aesKey", "cp_dpki.rsa"}) std::filesystem::copy_file(pkiDir() / n, d / n);
    std::filesystem::copy_file(other.path() / "X86/bin/pki_data/cp_dpki.cert", d / "cp_dpki.cert");
    makeContent("a.bin", Bytes(10, 1));
    // Without -a nothing would report it: the key file is checked against
    // the certificate before anything is written.
    auto r = tmd({"-O", "-T", "0x300000030", "-n", "a.bin", "-c", "0x31", "-i", "0"},
                 {"KESSARIVON_SDK_ROOT=" + root.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "the key of " + (d / "cp_dpki.rsa").string() +
                         " does not match the certificate " + (d / "cp_dpki.cert").string() + "\n");
    EXPECT_FALSE(std::filesystem::exists(file("00000031.app")));
    r = tmd({"-O", "-a", "-T", "0x300000030", "-n", "a.bin", "-c", "0x31", "-i", "0"},
            {"KESSARIVON_SDK_ROOT=" + root.path().string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("  --cid 0: 0x00000031\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 18), "TMD verify failed\n");
    EXPECT_TRUE(std::filesystem::exists(file("31.cmd")));

    // A certificate file larger than 768 bytes is accepted by the TMD stage
    // but cannot verify an RSA-2048 signature.
    Bytes cert = readFile(pkiDir() / "cp_dpki.cert");
    cert.resize(900, 0);
    writeFile(d / "cp_dpki.cert", cert);
    r = tmd({"-O", "-a", "-T", "0x300000031", "-n", "a.bin", "-c", "0x31", "-i", "0"},
            {"KESSARIVON_SDK_ROOT=" + root.path().string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.substr(r.out.size() - 18), "TMD verify failed\n");
}

}  // namespace
}  // namespace tt
