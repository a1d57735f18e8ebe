// Signing through a PKCS#11 token: a SoftHSM2 token in a private directory
// holds the development content-publishing key; TMDs signed there must be the
// bytes the key file gives, and every way the token can refuse must end the
// run with one line that does not show the PIN, and no TMD.
//
// Without SoftHSM2 the tests skip, unless TMD_REQUIRE_SOFTHSM is set (CI).

#include <filesystem>
#include <iterator>
#include <memory>
#include <string>

#include "tool_fixture.h"

namespace tt {
namespace {

namespace fs = std::filesystem;

const char* const kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
const char* const kPin = "pin-7c1e";

struct Token {
    TempDir dir;  // token directory, configuration, PEM keys, a PKI without the private key
    std::string error;
};
std::unique_ptr<Token> token;

class Pkcs11Test : public ToolTest {
protected:
    static void SetUpTestSuite() {
        ToolTest::SetUpTestSuite();
        if (token) return;
        token = std::make_unique<Token>();
        if (!fs::exists(kSoftHsm) || run({"sh", "-c", "command -v softhsm2-util"}).status != 0) {
            token->error = "SoftHSM2 is not installed";
            return;
        }
        const fs::path d = token->dir.path();
        fs::create_directories(d / "tokens");
        writeFile(d / "softhsm2.conf", "directories.tokendir = " + (d / "tokens").string() +
                                           "\nobjectstore.backend = file\nlog.level = ERROR\n");
        // The PKI without its private key: a run that reads cp_dpki.rsa fails.
        fs::create_directories(d / "pki/X86/bin/pki_data");
        for (const char* f : {"cp_dpki.cert", "common_dpki.aesKey"})
            fs::copy_file(pkiDir() / f, d / "pki/X86/bin/pki_data" / f);

        const std::string pki = binDir() + "/tmd-pki";
        std::vector<std::vector<std::string>> steps{
            {pki, "export-pem", (pkiDir() / "cp_dpki.rsa").string(), "cp.pem"},
            // The CA's RSA-2048 key: not the certificate's key.
            {pki, "export-pem", (pkiDir() / "ca_dpki.rsa").string(), "other.pem"},
            {"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", "ec.pem"},
            {"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", "small.pem"},
            {"softhsm2-util", "--init-token", "--free", "--label", "publisher", "--so-pin", "so-pin-1", "--pin", kPin},
        };
        const std::pair<const char*, const char*> keys[] = {{"cp", "cp"},       {"other", "other"},
                                                            {"ec", "ec"},       {"small", "small"},
                                                            {"twin", "other"},  {"twin", "small"}};
        for (size_t i = 0; i < std::size(keys); ++i)
            steps.push_back({"softhsm2-util", "--import", std::string(keys[i].second) + ".pem", "--token",
                             "publisher", "--label", keys[i].first, "--id", "0" + std::to_string(i + 1), "--pin",
                             kPin});
        for (const auto& step : steps) {
            const RunResult r = run(step, d, env());
            if (r.status != 0) {
                token->error = step[0] + " failed: " + r.err + r.out;
                return;
            }
        }
    }

    void SetUp() override {
        if (token->error.empty()) return;
        if (std::getenv("TMD_REQUIRE_SOFTHSM")) FAIL() << token->error;
        GTEST_SKIP() << token->error;
    }

    // The token's configuration, and a home without user-registered modules.
    static std::vector<std::string> env() {
        const fs::path d = token->dir.path();
        return {"SOFTHSM2_CONF=" + (d / "softhsm2.conf").string(), "HOME=" + d.string(),
                "XDG_CONFIG_HOME=" + (d / "config").string(), "TMD_P11_FAULT_TARGET=" + std::string(kSoftHsm),
                "TMD_PKCS11_PIN", "TMD_SIGNING_KEY"};
    }

    // tmd on the key-less PKI with the given extra environment.
    RunResult tmdToken(const std::vector<std::string>& args, const std::vector<std::string>& extra) {
        std::vector<std::string> e = env();
        e.push_back("KESSARIVON_SDK_ROOT=" + (token->dir.path() / "pki").string());
        e.insert(e.end(), extra.begin(), extra.end());
        return tmd(args, e);
    }
};

const std::string kByPath = std::string("pkcs11:token=publisher;object=cp;type=private?module-path=") + kSoftHsm;

TEST_F(Pkcs11Test, TokenSignedTmdIsTheFileSignedTmd) {
    writeFile(file("pin"), std::string(kPin) + "\n");
    const std::vector<std::vector<std::string>> signers{
        {"TMD_SIGNING_KEY=" + kByPath + "&pin-value=" + kPin},
        {"TMD_SIGNING_KEY=pkcs11:object=cp;id=%01?module-name=softhsm2&pin-source=file:" + file("pin").string()},
        {"TMD_SIGNING_KEY=pkcs11:token=publisher;object=cp", "TMD_PKCS11_PIN=" + std::string(kPin)},
        {"TMD_SIGNING_KEY=pkcs11:object=cp?module-path=" TMD_P11_FAULT_MODULE "&pin-value=" + std::string(kPin),
         "TMD_P11_FAULT=x509"},
        {"TMD_SIGNING_KEY=pkcs11:object=cp?module-path=" TMD_P11_FAULT_MODULE "&pin-value=" + std::string(kPin),
         "TMD_P11_FAULT=pubonly"},
    };
    makeContent("a.bin", Bytes(70000, 0x5a));
    makeContent("b.bin", Bytes(3, 0x01));
    const std::vector<std::vector<std::string>> titles{
        {"-O", "-T", "0x300000041", "-n", "a.bin", "-c", "7", "-i", "0"},
        {"-O", "-T", "0x400000042", "-n", "a.bin,b.bin", "-c", "1,2", "-i", "1,0", "-t", "1,0x4001", "-m", "9"},
    };
    certPublicKeyPem(readFile(pkiDir() / "cp_dpki.cert"), file("cp.pub"));
    for (const auto& title : titles) {
        const std::string tmdName = title[2].substr(2) + ".tmd";
        auto r = tmd(title);
        ASSERT_EQ(r.status, 0) << r.err;
        const Bytes fileSigned = readFile(file(tmdName));
        for (const auto& signer : signers) {
            SCOPED_TRACE(title[2] + " " + signer[0]);
            fs::remove(file(tmdName));
            r = tmdToken(title, signer);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(readFile(file(tmdName)), fileSigned);
        }
        const Bytes t = readFile(file(tmdName));
        writeFile(file("sig"), Bytes(t.begin() + 4, t.begin() + 260));
        writeFile(file("body"), Bytes(t.begin() + 320, t.end()));
        r = run({"openssl", "dgst", "-sha1", "-verify", "cp.pub", "-signature", "sig", "body"}, dir_.path());
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
}

TEST_F(Pkcs11Test, RefusalsEndTheRunWithOneLineAndNoTmd) {
    const std::string fault = std::string("pkcs11:object=cp?module-path=") + TMD_P11_FAULT_MODULE;
    const std::string pinValue = std::string("&pin-value=") + kPin;
    struct Case {
        std::string uri;
        const char* fault;
        const char* message;
    } cases[] = {
        {"pkcs11:object=cp?module-path=/nonexistent/libnone.so", "", "cannot load the PKCS#11 module"},
        {"pkcs11:object=cp?module-name=nonesuch", "", "no PKCS#11 module is registered as nonesuch"},
        {"pkcs11:token=absent;object=cp?module-name=softhsm2" + pinValue, "", "no PKCS#11 token matches"},
        {kByPath + "&pin-value=wrong-7c1e", "", "wrong PIN for"},
        {kByPath, "", "no PIN for"},
        {fault + pinValue, "locked", "user PIN is locked"},
        {"pkcs11:object=absent?module-name=softhsm2" + pinValue, "", "no private key matches"},
        {"pkcs11:object=twin?module-name=softhsm2" + pinValue, "", "2 private keys match"},
        {"pkcs11:object=ec?module-name=softhsm2" + pinValue, "", "is not RSA-2048"},
        {"pkcs11:object=small?module-name=softhsm2" + pinValue, "", "is not RSA-2048"},
        {"pkcs11:object=other?module-name=softhsm2" + pinValue, "", "does not match the certificate"},
        {fault + pinValue, "sign", "the token failed to sign"},
        {fault + pinValue, "corrupt", "does not verify with its public key"},
        {"pkcs11:object=cp;objekt=cp?module-name=softhsm2" + pinValue, "", "unknown attribute"},
    };
    makeContent("a.bin", Bytes(100, 1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uri + " " + c.fault);
        const auto r = tmdToken({"-O", "-T", "0x300000043", "-n", "a.bin", "-c", "1", "-i", "0"},
                                {"TMD_SIGNING_KEY=" + c.uri, std::string("TMD_P11_FAULT=") + c.fault});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.err.find("7c1e"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(file("300000043.tmd")));
    }
}

// The PIN stays out of every message however the URI is written: white space
// around a separator or before pin-value (which p11-kit drops), pin-value in
// the path, a percent-encoded PIN, a ';' that puts pin-value inside the
// module name, a correct PIN with a key that is not the certificate's, names
// with control characters (shown percent-encoded, on one line), and a URI
// that does not parse (not shown at all).
TEST_F(Pkcs11Test, ThePinNeverAppears) {
    const std::string pin = std::string("pin-value=") + kPin;
    const struct {
        std::string uri;
        const char* message;
    } cases[] = {
        {"pkcs11:token=publisher;object=nokey;type=private?module-name=softhsm2& " + pin,
         "no private key matches"},
        {"pkcs11:token=publisher;object=nokey?pin-value =" + std::string(kPin) +
             "&module-name=softhsm2",
         "no private key matches"},
        {"pkcs11:token=publisher;object=nokey?module-name=softhsm2&\n" + pin,
         "no private key matches"},
        {"pkcs11:token=publisher;object=nokey;" + pin + "?module-name=softhsm2",
         "no private key matches"},
        {"pkcs11:object=nokey?module-name=softhsm2&pin-value=%70in-%37c1e",
         "no private key matches"},
        {"pkcs11:token=pub%6Cisher;object=no%0Akey?module-name=softhsm2&" + pin,
         "no private key matches pkcs11:token=publisher;object=no%0Akey"},
        {"pkcs11:object=other?module-name=softhsm2& " + pin, "does not match the certificate"},
        {"pkcs11:object=cp?module-name=non%0Aesuch&" + pin,
         "no PKCS#11 module is registered as non\\x0aesuch"},
        {"pkcs11:token=publisher?module-name=softhsm2;pin-value=SECRET-7c1e",
         "not a valid PKCS#11 URI (pin-value"},
        {"pkcs11:token=%zz?" + pin, "not a valid PKCS#11 URI"},
    };
    makeContent("a.bin", Bytes(100, 1));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        const auto r = tmdToken({"-O", "-T", "0x300000043", "-n", "a.bin", "-c", "1", "-i", "0"},
                                {"TMD_SIGNING_KEY=" + c.uri});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        for (const std::string& out : {r.err, r.out}) {
            EXPECT_EQ(out.find("7c1e"), std::string::npos) << out;
            EXPECT_EQ(out.find("%37c1e"), std::string::npos) << out;
        }
    }
}

// tmd-pki signs certificates with a CA key on the token too, byte for byte as
// with the key file; a PIN in a command-line URI is refused.
TEST_F(Pkcs11Test, CertificateSignedOnTheTokenIsTheFileSignedOne) {
    const std::string tool = binDir() + "/tmd-pki";
    const std::vector<std::string> cert{"--name", "CP00000009", "--issuer", "Root-CA00000001", "--rsa-key",
                                        (pkiDir() / "cp_dpki.rsa").string(), "--sign-rsa"};
    auto certCommand = [&](const std::string& out, const std::string& signer) {
        std::vector<std::string> argv{tool, "cert", out};
        argv.insert(argv.end(), cert.begin(), cert.end());
        argv.push_back(signer);
        return argv;
    };
    auto r = run(certCommand("file.cert", (pkiDir() / "ca_dpki.rsa").string()), dir_.path());
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> e = env();
    e.push_back("TMD_PKCS11_PIN=" + std::string(kPin));
    r = run(certCommand("token.cert", "pkcs11:token=publisher;object=other?module-name=softhsm2"), dir_.path(), e);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(file("token.cert")), readFile(file("file.cert")));

    r = run(certCommand("pin.cert", "pkcs11:object=other?module-name=softhsm2&pin-value=" + std::string(kPin)),
            dir_.path(), env());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("pin-value"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("7c1e"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(file("pin.cert")));
}

}  // namespace
}  // namespace tt
