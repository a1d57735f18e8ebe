// tmd-pki: every certificate it makes verifies against its issuer's key,
// private keys are owner-only, and bad requests fail with a message.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "es/cert.h"
#include "io/output_file.h"
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
    // A new RSA-2048 private key in PEM form, made by the openssl command.
    void makePem(const std::string& name, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv{"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                                      "rsa_keygen_bits:2048", "-out", file(name).string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_EQ(run(argv).status, 0);
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
    makePem("k.pem");
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

TEST_F(PkiTest, ExportPemGivesThePkcs8KeyBack) {
    ASSERT_EQ(run({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
                   file("k.pem").string()})
                  .status,
              0);
    ASSERT_EQ(pki({"convert-pem", "k.pem", "k.rsa"}).status, 0);
    const RunResult plain = run({"openssl", "pkey", "-in", "k.pem"}, dir_.path());
    ASSERT_EQ(plain.status, 0);
    writeFile(file("pw"), std::string("s3cret\n"));
    const std::string tool = binDir() + "/tmd-pki";
    const std::vector<std::vector<std::string>> exports{
        {tool, "export-pem", "k.rsa", "out.pem"},
        {tool, "export-pem", "k.rsa", "out.pem", "--force", "--passout", "pass:s3cret"},
        {tool, "export-pem", "k.rsa", "out.pem", "--force", "--passout", "env:PW"},
        {tool, "export-pem", "k.rsa", "out.pem", "--force", "--passout", "file:pw"},
        {"sh", "-c", "exec \"$0\" export-pem k.rsa out.pem --force --passout fd:3 3<pw", tool},
    };
    for (const auto& e : exports) {
        SCOPED_TRACE(e.back());
        auto r = run(e, dir_.path(), {"PW=s3cret"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(mode(file("out.pem")), 0600u);
        r = run({"openssl", "pkey", "-in", "out.pem", "-passin", "pass:s3cret"}, dir_.path());
        EXPECT_EQ(r.out, plain.out) << r.err;
    }
    // An existing file is replaced only with --force.
    const Bytes before = readFile(file("out.pem"));
    auto r = pki({"export-pem", "k.rsa", "out.pem"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(file("out.pem")), before);
}

TEST_F(PkiTest, BadRequestsFail) {
    writeFile(file("junk.pem"), std::string("not a key\n"));
    writeFile(file("short.pub"), Bytes(59, 1));
    ASSERT_EQ(pki({"ecc-key", "e.priv", "e.pub"}).status, 0);
    ASSERT_EQ(pki({"rsa-key", "r.rsa"}).status, 0);
    // A public key off the curve, the point at infinity, private keys 0 and
    // the group order.
    Bytes offCurve = readFile(file("e.pub"));
    offCurve[59] ^= 1;
    writeFile(file("off.pub"), offCurve);
    writeFile(file("inf.pub"), Bytes(60, 0));
    writeFile(file("zero.priv"), Bytes(30, 0));
    writeFile(file("order.priv"), fromHex("01000000000000000000000000000013E974E72F8A6922031D2603CFE0D7"));
    const std::vector<std::string> ecc{"cert", "out.rsa", "--name", "N", "--issuer", "I"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const std::vector<std::vector<std::string>> cases{
        with(ecc, {"--ecc-public", "off.pub", "--sign-ecc", "e.priv"}),
        with(ecc, {"--ecc-public", "inf.pub", "--sign-ecc", "e.priv"}),
        with(ecc, {"--ecc-public", "e.pub", "--sign-ecc", "zero.priv"}),
        with(ecc, {"--ecc-public", "e.pub", "--sign-ecc", "order.priv"}),
        {"cert", "out.rsa", "--name", "N", "--issuer", "", "--rsa-key", "r.rsa", "--self"},
        {"cert", "out.rsa", "--name", "", "--issuer", "I", "--rsa-key", "r.rsa", "--self"},
        // Numbers: nothing empty, signed, wrapped or followed by junk.
        {"cert", "out.rsa", "--name", "N", "--issuer", "I", "--rsa-key", "r.rsa", "--self", "--key-id", ""},
        {"cert", "out.rsa", "--name", "N", "--issuer", "I", "--rsa-key", "r.rsa", "--self", "--key-id",
         "-18446744073709551615"},
        {"cert", "out.rsa", "--name", "N", "--issuer", "I", "--rsa-key", "r.rsa", "--self", "--key-id", "0x100000000"},
        {"cert", "out.rsa", "--name", "N", "--issuer", "I", "--rsa-key", "r.rsa", "--self", "--key-id", "12abc"},
        // The same file for two outputs, and paths that look like options.
        {"ecc-key", "out.rsa", "./out.rsa"},
        {"common-key", "-out.rsa"},
        {"ecc-key", "out.rsa", "--", "x"},
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
        {"export-pem", "missing.rsa", "out.rsa"},
        {"export-pem", "junk.pem", "out.rsa"},
        {"export-pem", "junk.pem", "out.rsa", "--passout", "stdin"},
    };
    for (const auto& c : cases) {
        auto r = pki(c);
        EXPECT_EQ(r.status, 1) << c.size();
        EXPECT_FALSE(r.err.empty());
        if (!c.empty()) {
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // one line
        }
        EXPECT_FALSE(std::filesystem::exists(file("out.rsa"))) << r.err;
    }
    for (const auto& help : {std::vector<std::string>{"--help"}, {"init", "--help"}}) {
        auto r = pki(help);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("usage: tmd-pki"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(file("--help")));
}

// Every command writes only to a new name or, with --force, over a regular
// file; a link (to someone's file, or where an older version put its fixed
// temporary), a FIFO or a device is never written through, and a refusal
// writes nothing at all.
TEST_F(PkiTest, DestinationsAreNeverWrittenThrough) {
    makePem("k.pem");
    ASSERT_EQ(pki({"convert-pem", "k.pem", "k.rsa"}).status, 0);
    struct Command {
        std::vector<std::string> args;  // "D" stands for the destination
        std::string dest;
        unsigned mode;
    };
    const std::string pkiFile = "p/X86/bin/pki_data/cp_dpki.cert";
    const Command commands[] = {
        {{"common-key", "D"}, "key", 0600},
        {{"ecc-key", "priv", "D"}, "pub", 0644},
        {{"convert-pem", "k.pem", "D"}, "out.rsa", 0600},
        {{"cert", "D", "--self", "--name", "N", "--issuer", "Root", "--rsa-key", "k.rsa"}, "c.cert", 0644},
        {{"init", "p"}, pkiFile, 0644},
    };
    enum Setup { symlink, fifo, device, existing, existingForced };
    for (const Command& c : commands) {
        for (Setup setup : {symlink, fifo, device, existing, existingForced}) {
            SCOPED_TRACE(c.dest + " setup " + std::to_string(setup));
            TempDir d;
            const auto dest = d / c.dest;
            std::filesystem::create_directories(dest.parent_path());
            for (const char* n : {"k.pem", "k.rsa"}) std::filesystem::copy_file(file(n), d / n);
            writeFile(d / "victim", std::string("victim"));
            // What an older version used as its temporary.
            std::filesystem::create_symlink(d / "victim", dest.string() + ".tmp");
            if (setup == symlink) std::filesystem::create_symlink(d / "victim", dest);
            if (setup == fifo) {
                ASSERT_EQ(mkfifo(dest.c_str(), 0600), 0);
            }
            if (setup == device) std::filesystem::create_symlink("/dev/null", dest);
            if (setup >= existing) writeFile(dest, std::string("old"));
            std::vector<std::string> argv{binDir() + "/tmd-pki"};
            for (const auto& a : c.args) argv.push_back(a == "D" ? c.dest : a);
            // Options may come before the paths.
            if (setup == existingForced) argv.insert(argv.begin() + 2, "--force");
            auto before = std::filesystem::recursive_directory_iterator(d.path());
            size_t entriesBefore = static_cast<size_t>(std::distance(before, {}));

            auto r = run(argv, d.path());
            EXPECT_EQ(readFile(d / "victim"), Bytes({'v', 'i', 'c', 't', 'i', 'm'}));
            if (setup == existingForced) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dest)));
                EXPECT_NE(readFile(dest), Bytes({'o', 'l', 'd'}));
                EXPECT_EQ(mode(dest), c.mode);
                continue;
            }
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
            auto after = std::filesystem::recursive_directory_iterator(d.path());
            EXPECT_EQ(static_cast<size_t>(std::distance(after, {})), entriesBefore) << "a refusal wrote files";
            if (setup == existing) {
                EXPECT_EQ(readFile(dest), Bytes({'o', 'l', 'd'}));
            }
        }
    }
}

// init makes its key-file directory a level at a time and never through a
// link, nor into a level that another user owns (who could swap the keys
// written there): one line, status 1, nothing written anywhere.
TEST_F(PkiTest, InitNeverFollowsALinkedOrForeignSubdirectory) {
    enum Setup { topLink, innerLink, foreign };
    struct Case {
        Setup setup;
        std::string err;
    };
    const Case cases[] = {
        {topLink, "tmd-pki: p/X86 is a symbolic link, not a directory; nothing is written to it\n"},
        {innerLink,
         "tmd-pki: p/X86/bin/pki_data is a symbolic link, not a directory; nothing is written to "
         "it\n"},
        {foreign, "tmd-pki: p/X86/bin belongs to another user; nothing is written to it\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        if (c.setup == foreign && geteuid() != 0) continue;  // only root can give a directory away
        TempDir d, elsewhere;
        if (c.setup == topLink) {
            std::filesystem::create_directory(d / "p");
            std::filesystem::create_directory_symlink(elsewhere.path(), d / "p" / "X86");
        } else {
            std::filesystem::create_directories(d / "p" / "X86" / "bin");
        }
        if (c.setup == innerLink)
            std::filesystem::create_directory_symlink(elsewhere.path(), d / "p/X86/bin/pki_data");
        if (c.setup == foreign) {
            ASSERT_EQ(chown((d / "p/X86/bin").c_str(), 65534, 65534), 0);
        }
        auto r = run({binDir() + "/tmd-pki", "init", "p", "--force"}, d.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
        if (c.setup == foreign) {
            EXPECT_TRUE(std::filesystem::is_empty(d / "p/X86/bin"));
        }
    }
}

// While another run holds a directory, every command that would write into
// it ends at once with one line and status 1, writing nothing.
TEST_F(PkiTest, SecondRunIntoTheSameDirectoryEndsAtOnce) {
    // No key is needed: the directory is claimed before any input is read.
    struct Case {
        std::vector<std::string> args;
        std::string lockedDir;  // the directory the other run holds
        std::string err;
    };
    const std::string keyDir = "p/X86/bin/pki_data";
    const Case cases[] = {
        {{"init", "p", "--force"},
         keyDir,
         "tmd-pki: output directory " + keyDir + " is in use by another run\n"},
        {{"common-key", "sub/key"},
         "sub",
         "tmd-pki: output directory sub is in use by another run\n"},
        {{"ecc-key", "priv", "sub/pub"},
         "sub",
         "tmd-pki: output directory sub is in use by another run\n"},
        {{"cert", "c.cert", "--self", "--name", "N", "--issuer", "Root", "--rsa-key", "k.rsa"},
         ".",
         "tmd-pki: output directory . is in use by another run\n"},
    };
    std::filesystem::create_directories(file(keyDir));
    std::filesystem::create_directory(file("sub"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const int held = tmd_io::openDirectory(file(c.lockedDir).c_str());
        ASSERT_TRUE(tmd_io::lockDirectory(held));
        auto before = std::filesystem::recursive_directory_iterator(dir_.path());
        const auto entriesBefore = std::distance(before, {});
        auto r = pki(c.args);
        close(held);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        auto after = std::filesystem::recursive_directory_iterator(dir_.path());
        EXPECT_EQ(std::distance(after, {}), entriesBefore) << "a refused run wrote files";
    }
}

// Inputs that cannot end are refused at once with one line: a FIFO (no
// writer ever comes), a device and a directory, wherever a command reads a
// key, a PEM or a certificate. Each run is under a time limit.
TEST_F(PkiTest, InputsThatCannotEndAreRefused) {
    makePem("k.pem");
    ASSERT_EQ(pki({"convert-pem", "k.pem", "k.rsa"}).status, 0);
    ASSERT_EQ(pki({"ecc-key", "e.priv", "e.pub"}).status, 0);
    ASSERT_EQ(mkfifo(file("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(file("dir"));
    const std::vector<std::string> cert{"cert", "c.cert", "--name", "N", "--issuer", "Root"};
    auto with = [&](std::vector<std::string> head, std::vector<std::string> tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    // "I" stands for the input.
    const std::vector<std::vector<std::string>> commands{
        {"export-pem", "I", "o.pem"},
        {"convert-pem", "I", "o.rsa"},
        with(cert, {"--rsa-key", "I", "--self"}),
        with(cert, {"--rsa-key", "k.rsa", "--sign-rsa", "I"}),
        with(cert, {"--ecc-public", "I", "--sign-ecc", "e.priv"}),
        with(cert, {"--ecc-public", "e.pub", "--sign-ecc", "I"}),
        {"show", "I"},
    };
    for (const char* input : {"fifo", "/dev/zero", "dir"}) {
        for (const auto& c : commands) {
            SCOPED_TRACE(c[0] + " " + c[c.size() - 1] + " " + input);
            std::vector<std::string> argv{"timeout", "10", binDir() + "/tmd-pki"};
            for (const auto& a : c) argv.push_back(a == "I" ? input : a);
            const RunResult r = run(argv, dir_.path());
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
            for (const char* out : {"o.pem", "o.rsa", "c.cert"})
                EXPECT_FALSE(std::filesystem::exists(file(out)));
        }
    }
    // check reads a whole PKI: a FIFO in it fails that file's check.
    ASSERT_EQ(pki({"init", "p"}).status, 0);
    const auto cpCert = file("p/X86/bin/pki_data/cp_dpki.cert");
    std::filesystem::remove(cpCert);
    ASSERT_EQ(mkfifo(cpCert.c_str(), 0600), 0);
    const RunResult r = run({"timeout", "10", binDir() + "/tmd-pki", "check", "p"}, dir_.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("not a regular file"), std::string::npos) << r.out;
}

// An encrypted PEM is never waited on: without --passin and without a
// terminal it is refused at once; each passphrase source works, and a wrong
// passphrase is named as such.
TEST_F(PkiTest, EncryptedPemTakesPassinAndNeverWaits) {
    makePem("enc.pem", {"-aes-128-cbc", "-pass", "pass:sesame"});
    writeFile(file("pw"), std::string("sesame\nignored\n"));
    struct Case {
        std::vector<std::string> passin;
        std::string stdinText;
        std::string err;  // empty: converted
    };
    const Case cases[] = {
        {{}, "", "tmd-pki: enc.pem is encrypted: give its passphrase with --passin (standard input is not a terminal)\n"},
        {{"--passin", "pass:wrong"}, "", "tmd-pki: wrong passphrase for enc.pem\n"},
        {{"--passin", "pass:sesame"}, "", ""},
        {{"--passin=env:PEM_PASS"}, "", ""},
        {{"--passin", "file:pw"}, "", ""},
        {{"--passin", "fd:0"}, "sesame\n", ""},
    };
    Bytes converted;
    for (const Case& c : cases) {
        std::vector<std::string> argv{binDir() + "/tmd-pki", "convert-pem", "enc.pem", "out.rsa", "--force"};
        argv.insert(argv.end(), c.passin.begin(), c.passin.end());
        auto r = run(argv, dir_.path(), {"PEM_PASS=sesame"}, c.stdinText);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        if (!c.err.empty()) continue;
        const Bytes out = readFile(file("out.rsa"));
        if (converted.empty()) converted = out;
        EXPECT_EQ(out, converted);
    }
}

}  // namespace
}  // namespace tt
