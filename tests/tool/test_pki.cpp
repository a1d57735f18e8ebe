// tmd-pki: every certificate it makes verifies against its issuer's key,
// private keys are owner-only, and bad requests fail with a message.

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "es/cert.h"
#include "tool_fixture.h"
#include "util/utils.h"

namespace tt {
namespace {

class PkiTest : public ::testing::Test {
protected:
    RunResult pki(const std::vector<std::string>& args) {
        std::vector<std::string> argv{binDir() + "/tmd-pki"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, dir_.path());
    }
    std::filesystem::path file(const std::string& n) const { return dir_.path() / n; }
    int verify(const Bytes& signer, int sigLength, const Bytes& object) {
        return utilVerify2(signer.data(), static_cast<int32_t>(signer.size()), sigLength, object.data(),
                           static_cast<int32_t>(object.size()), 1);
    }
    static unsigned mode(const std::filesystem::path& p) {
        struct stat st;
        stat(p.c_str(), &st);
        return st.st_mode & 0777;
    }
    TempDir dir_;
};

TEST_F(PkiTest, Rsa4096ChainPackagesAndVerifiesATitle) {
    ASSERT_EQ(pki({"init", "root", "--ca-bits", "4096"}).status, 0);
    const auto d = file("root/X86/bin/pki_data");
    const Bytes ca = readFile(d / "ca_dpki.cert"), cp = readFile(d / "cp_dpki.cert");
    ASSERT_EQ(ca.size(), 1280u);
    ASSERT_EQ(cp.size(), 1024u);
    EXPECT_EQ(verify(ca, 512, ca), 0);
    EXPECT_EQ(verify(ca, 512, cp), 0);
    for (auto n : {"ca_dpki.rsa", "cp_dpki.rsa", "common_dpki.aesKey"}) EXPECT_EQ(mode(d / n), 0600u) << n;
    EXPECT_EQ(mode(d / "cp_dpki.cert"), 0644u);

    // The 1,024-byte certificate verifies the TMD of a title.
    writeFile(file("a.bin"), Bytes(100, 1));
    auto r = run({binDir() + "/tmd", "-O", "-a", "-T", "0x300000080", "-n", "a.bin", "-c", "1", "-i", "0"},
                 dir_.path(), {"KESSARIVON_SDK_ROOT=" + file("root").string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("TMD verify successful\n"), std::string::npos);
}

TEST_F(PkiTest, RootLayoutAndRsa2048Chain) {
    ASSERT_EQ(pki({"init", "r", "--layout", "root"}).status, 0);
    const auto d = file("r/usr/etc/pki_data");
    const Bytes ca = readFile(d / "ca_dpki.cert"), cp = readFile(d / "cp_dpki.cert");
    ASSERT_EQ(ca.size(), 768u);
    ASSERT_EQ(cp.size(), 768u);
    EXPECT_EQ(verify(ca, 256, cp), 0);
    Bytes tampered = cp;
    tampered[400] ^= 1;
    EXPECT_EQ(verify(ca, 256, tampered), 7);
}

// An RSA-signed ECC certificate (576 bytes) whose key signs a device
// certificate (384 bytes).
TEST_F(PkiTest, EccCertificates) {
    ASSERT_EQ(pki({"init", "root"}).status, 0);
    const auto d = file("root/X86/bin/pki_data");
    ASSERT_EQ(pki({"ecc-key", "ms.priv", "ms.pub"}).status, 0);
    ASSERT_EQ(pki({"ecc-key", "dev.priv", "dev.pub"}).status, 0);
    EXPECT_EQ(mode(file("ms.priv")), 0600u);
    auto r = pki({"cert", "ms.cert", "--name", "MS00000001", "--issuer", "Root-CA00000001", "--ecc-public",
                  "ms.pub", "--sign-rsa", (d / "ca_dpki.rsa").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    r = pki({"cert", "dev.cert", "--name", "NG0000abcd", "--issuer", "Root-CA00000001-MS00000001",
             "--ecc-public", "dev.pub", "--sign-ecc", "ms.priv", "--key-id", "0x1234"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes ca = readFile(d / "ca_dpki.cert"), ms = readFile(file("ms.cert")), dev = readFile(file("dev.cert"));
    ASSERT_EQ(ms.size(), 576u);
    ASSERT_EQ(dev.size(), 384u);
    EXPECT_EQ(verify(ca, 256, ms), 0);
    EXPECT_EQ(verify(ms, 60, dev), 0);
    const Bytes msPub = readFile(file("ms.pub"));
    EXPECT_EQ(ES_VerifyDeviceCert(dev.data(), msPub.data()), 0);
    EXPECT_EQ(Bytes(dev.begin() + 260, dev.begin() + 264), (Bytes{0, 0, 0x12, 0x34}));
    EXPECT_EQ(Bytes(dev.begin() + 264, dev.begin() + 324), readFile(file("dev.pub")));
}

TEST_F(PkiTest, PemConversionAndKeyFiles) {
    ASSERT_EQ(run({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
                   file("k.pem").string()})
                  .status,
              0);
    ASSERT_EQ(pki({"convert-pem", "k.pem", "k.rsa"}).status, 0);
    EXPECT_EQ(mode(file("k.rsa")), 0600u);
    auto r = pki({"cert", "self.cert", "--name", "X", "--issuer", "Root", "--rsa-key", "k.rsa", "--self"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes self = readFile(file("self.cert"));
    EXPECT_EQ(verify(self, 256, self), 0);
    ASSERT_EQ(pki({"rsa-key", "l.rsa", "--label", "publisher"}).status, 0);
    const Bytes l = readFile(file("l.rsa"));
    EXPECT_EQ(std::string(l.end() - 10, l.end()), "\npublisher");
    ASSERT_EQ(pki({"common-key", "c.key"}).status, 0);
    EXPECT_EQ(readFile(file("c.key")).size(), 16u);
}

TEST_F(PkiTest, BadRequestsFail) {
    writeFile(file("junk.pem"), std::string("not a key\n"));
    writeFile(file("short.pub"), Bytes(59, 1));
    const std::vector<std::vector<std::string>> cases{
        {},
        {"frobnicate"},
        {"init"},
        {"init", "x", "--ca-bits", "1024"},
        {"convert-pem", "junk.pem", "out.rsa"},
        {"convert-pem", "missing.pem", "out.rsa"},
        {"rsa-key", "k.rsa", "--bits", "1000"},
        {"cert", "c", "--name", "n", "--issuer", "i", "--ecc-public", "short.pub", "--sign-ecc", "short.pub"},
        {"cert", "c", "--name", std::string(64, 'n'), "--issuer", "i", "--rsa-key", "missing.rsa", "--self"},
        {"cert", "c", "--name", "n"},
    };
    for (const auto& c : cases) {
        auto r = pki(c);
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(r.err.empty());
        EXPECT_FALSE(std::filesystem::exists(file("out.rsa")));
    }
    auto r = pki({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: tmd-pki"), std::string::npos);
}

}  // namespace
}  // namespace tt
