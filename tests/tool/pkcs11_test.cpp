// Signing through a PKCS#11 token: a SoftHSM2 token in a private directory
// holds the development content-publishing key; TMDs signed there must be the
// bytes the key file gives, and every way the token can refuse must end the
// run with one line that does not show the PIN, and no TMD.
//
// Without SoftHSM2 (or p11-kit's server, for the remote token) the tests
// skip, unless TMD_REQUIRE_SOFTHSM is set (CI).

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <p11-kit/p11-kit.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
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

// SoftHSM2 accepts CKA_ALWAYS_AUTHENTICATE only on a key being made (an
// imported key's attribute is read-only), so the keys that ask for the PIN at
// every signature are made from a PEM key's numbers. Empty, or what failed.
std::string createAlwaysAuthenticateKey(const fs::path& pem, const char* label, uint8_t id) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(pem.c_str(), "r"), std::fclose);
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(f ? PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr)
                                                         : nullptr,
                                                       EVP_PKEY_free);
    if (!key) return "cannot read " + pem.string();
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
                           OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    const CK_ATTRIBUTE_TYPE types[] = {CKA_MODULUS,   CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                       CKA_PRIME_2,   CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
    Bytes numbers[std::size(names)];
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    std::vector<CK_ATTRIBUTE> attrs{{CKA_CLASS, &cls, sizeof cls},
                                    {CKA_KEY_TYPE, &type, sizeof type},
                                    {CKA_TOKEN, &yes, sizeof yes},
                                    {CKA_PRIVATE, &yes, sizeof yes},
                                    {CKA_SENSITIVE, &yes, sizeof yes},
                                    {CKA_SIGN, &yes, sizeof yes},
                                    {CKA_ALWAYS_AUTHENTICATE, &yes, sizeof yes},
                                    {CKA_LABEL, const_cast<char*>(label), static_cast<CK_ULONG>(std::strlen(label))},
                                    {CKA_ID, &id, 1}};
    for (size_t i = 0; i < std::size(names); ++i) {
        BIGNUM* bn = nullptr;
        if (!EVP_PKEY_get_bn_param(key.get(), names[i], &bn)) return "not an RSA key: " + pem.string();
        numbers[i].resize(static_cast<size_t>(BN_num_bytes(bn)));
        BN_bn2bin(bn, numbers[i].data());
        BN_free(bn);
        attrs.push_back({types[i], numbers[i].data(), static_cast<CK_ULONG>(numbers[i].size())});
    }
    setenv("SOFTHSM2_CONF", (token->dir.path() / "softhsm2.conf").c_str(), 1);
    CK_FUNCTION_LIST* m = p11_kit_module_load(kSoftHsm, 0);
    if (!m) return "cannot load SoftHSM2";
    CK_RV rv = p11_kit_module_initialize(m);
    CK_SLOT_ID slots[8];
    CK_ULONG count = std::size(slots);
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE object;
    if (rv == CKR_OK) rv = m->C_GetSlotList(CK_TRUE, slots, &count);
    if (rv == CKR_OK) rv = m->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    if (rv == CKR_OK)
        rv = m->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), std::strlen(kPin));
    if (rv == CKR_OK) rv = m->C_CreateObject(s, attrs.data(), attrs.size(), &object);
    p11_kit_module_finalize(m);
    p11_kit_module_release(m);
    return rv == CKR_OK ? "" : "SoftHSM2 does not make a CKA_ALWAYS_AUTHENTICATE key: " + std::to_string(rv);
}

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
        token->error = createAlwaysAuthenticateKey(d / "cp.pem", "cp-always", 7);
        if (token->error.empty()) token->error = createAlwaysAuthenticateKey(d / "other.pem", "other-always", 8);
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
        {"TMD_SIGNING_KEY=pkcs11:token=publisher;object=cp-always", "TMD_PKCS11_PIN=" + std::string(kPin)},
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
    for (const char* object : {"other", "other-always"}) {
        SCOPED_TRACE(object);
        r = run(certCommand("token.cert", std::string("pkcs11:token=publisher;object=") + object +
                                              "?module-name=softhsm2"),
                dir_.path(), e);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(file("token.cert")), readFile(file("file.cert")));
        fs::remove(file("token.cert"));
    }

    r = run(certCommand("pin.cert", "pkcs11:object=other?module-name=softhsm2&pin-value=" + std::string(kPin)),
            dir_.path(), env());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("pin-value"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("7c1e"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(file("pin.cert")));
}

// The token on another host: SoftHSM2 behind `p11-kit server`, reached
// through p11-kit's client module, signs the bytes the key file does, also
// with a key that asks for the PIN at every signature.
TEST_F(Pkcs11Test, TokenBehindP11KitServerSignsTheSameTmd) {
    const std::string client = std::string(TMD_P11_MODULE_DIR) + "/p11-kit-client.so";
    if (run({"sh", "-c", "command -v p11-kit"}).status != 0 || !fs::exists(client)) {
        const char* why = "p11-kit server or its client module is not installed (Debian p11-kit, p11-kit-modules)";
        if (std::getenv("TMD_REQUIRE_SOFTHSM")) FAIL() << why;
        GTEST_SKIP() << why;
    }
    // The server goes to the background holding its standard streams, so they
    // go to files: a pipe would never see its end.
    const fs::path socket = dir_.path() / "p11.sock";
    auto r = run({"sh", "-c", "exec p11-kit server --sh --provider \"$0\" --name \"$1\" pkcs11:token=publisher "
                              ">server.env 2>server.err </dev/null",
                  kSoftHsm, socket.string()},
                 dir_.path(), env());
    const std::string started = std::string(reinterpret_cast<const char*>(readFile(file("server.env")).data()),
                                            fs::file_size(file("server.env")));
    ASSERT_EQ(r.status, 0) << started;
    const size_t at = started.find("P11_KIT_SERVER_PID=");
    ASSERT_NE(at, std::string::npos) << started;
    struct Server {
        pid_t pid;
        ~Server() {
            if (pid > 0) kill(pid, SIGTERM);
        }
    } server{static_cast<pid_t>(std::atoi(started.c_str() + at + 19))};
    ASSERT_GT(server.pid, 0);

    makeContent("a.bin", Bytes(40000, 0x33));
    const std::vector<std::string> title{"-O", "-T", "0x300000044", "-n", "a.bin", "-c", "5", "-i", "0", "-d"};
    r = tmd(title);
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes fileSigned = readFile(file("300000044.tmd"));
    for (const char* object : {"cp", "cp-always"}) {
        SCOPED_TRACE(object);
        fs::remove(file("300000044.tmd"));
        r = tmdToken(title, {"TMD_SIGNING_KEY=pkcs11:token=publisher;object=" + std::string(object) +
                                 "?module-path=" + client,
                             "P11_KIT_SERVER_ADDRESS=unix:path=" + socket.string(),
                             "TMD_PKCS11_PIN=" + std::string(kPin)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(file("300000044.tmd")), fileSigned);
    }
}

}  // namespace
}  // namespace tt
