// tmd-inspect against packages made by tmd, intact and damaged: each damage is
// named by the check that catches it, with status 2; what was not checked is
// said and never passes; bad input is status 1. Every run is made twice, as
// text and as JSON, and the JSON is parsed by Python on every path.

#include <filesystem>
#include <random>
#include <string>

#include "csl/algorithms.h"
#include "csl/convecc.h"
#include "csl/ecc.h"
#include "csl/rsa.h"
#include "csl/sha1.h"
#include "es/cert.h"
#include "es/tmd.h"
#include "tool/common/inspect.h"
#include "tool_fixture.h"

namespace tt {
namespace {

namespace fs = std::filesystem;

// Parses every line of --json output and prints, one line per object, the
// fields the tests look at; fails on anything that is not the schema.
const char* const kJsonDigest = R"(
import json, sys
for line in sys.stdin.read().splitlines():
    d = json.loads(line)
    assert d["schemaVersion"] == 1 and isinstance(d["exitStatus"], int)
    assert d["ok"] == (d["exitStatus"] == 0) and (d["error"] is None) == (d["exitStatus"] != 1)
    t = d["tmd"]
    if t is not None:
        assert isinstance(t["numContents"], int) and len(t["titleId"]) == 16
        assert all(len(c["cid"]) == 8 and isinstance(c["size"], int) for c in t["contents"])
    for c in d["checks"]:
        assert c["status"] in ("ok", "failed", "skipped") and isinstance(c["detail"], str)
    s = d["summary"]
    print(d["exitStatus"], d["result"], "|", s["signature"], s["chain"], s["contents"], "|",
          ";".join(c["name"] + "=" + c["status"] + ":" + c["detail"] for c in d["checks"]), "|",
          " ".join(d["hints"]), "|", d["error"] or "")
)";

struct Inspected {
    RunResult text;
    std::string json;  // one digest line per object
};

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

    // Runs tmd-inspect as text and as JSON with the same arguments; the
    // statuses must agree and the JSON must parse.
    Inspected inspect(std::vector<std::string> args, const std::vector<std::string>& env = {"KESSARIVON_SDK_ROOT", "ROOT"}) {
        std::vector<std::string> argv{binDir() + "/tmd-inspect"};
        argv.insert(argv.end(), args.begin(), args.end());
        Inspected i;
        i.text = run(argv, dir_.path(), env);
        argv.insert(argv.begin() + 1, "--json");
        const RunResult j = run(argv, dir_.path(), env);
        EXPECT_EQ(j.status, i.text.status) << j.out;
        const RunResult digest = run({pythonPath(), "-c", kJsonDigest}, ".", {}, j.out);
        EXPECT_EQ(digest.status, 0) << "unparsable JSON:\n" << j.out << digest.err;
        i.json = digest.out;
        return i;
    }

    Inspected withPki(std::vector<std::string> args) {
        args.insert(args.begin(), {"--pki", pkiRoot().string()});
        return inspect(args);
    }

    void flipBit(const std::string& name, size_t offset) {
        Bytes b = readFile(file(name));
        ASSERT_LT(offset, b.size());
        b[offset] ^= 0x01;
        writeFile(file(name), b);
    }

    static bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }
};

TEST_F(InspectTest, IntactPackagesVerifyWhereverThePkiIsFound) {
    // A root-layout PKI beside the sdk one, made of the same files.
    TempDir rootLayout;
    fs::create_directories(rootLayout.path() / "usr/etc");
    fs::create_directory_symlink(pkiDir(), rootLayout.path() / "usr/etc/pki_data");
    const std::vector<std::string> noEnv{"KESSARIVON_SDK_ROOT", "ROOT"};
    struct Case {
        const char* name;
        std::vector<std::string> args, env;
    };
    const Case cases[] = {
        {"InitDirectory", {"--pki", pkiRoot().string()}, noEnv},
        {"RootLayout", {"--pki", rootLayout.path().string()}, noEnv},
        {"KeyDirectory", {"--pki", pkiDir().string()}, noEnv},
        {"SdkRootVariable", {}, {"KESSARIVON_SDK_ROOT=" + pkiRoot().string(), "ROOT=/nonexistent"}},
        {"RootVariable", {}, {"KESSARIVON_SDK_ROOT", "ROOT=" + rootLayout.path().string()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto args = c.args;
        args.insert(args.end(), {"300000040.tmd", "300000041.tmd"});
        auto r = inspect(args, c.env);
        EXPECT_EQ(r.text.status, 0) << r.text.out << r.text.err;
        EXPECT_EQ(r.text.err, "") << "no progress outside a terminal";
        EXPECT_TRUE(has(r.text.out, "== 300000040.tmd\nTMD fields:\n"));
        EXPECT_LT(r.text.out.find("== 300000040.tmd"), r.text.out.find("== 300000041.tmd")) << "checked side by side, "
                                                                                             "reported in order";
        EXPECT_TRUE(has(r.text.out, "signature: ok; chain: ok; contents: ok\npackage verifies\n")) << r.text.out;
        EXPECT_TRUE(has(r.json, "0 verified | ok ok ok |")) << r.json;
        EXPECT_TRUE(has(r.json, "\n0 verified | ok ok ok |")) << "one object per TMD:\n" << r.json;
        EXPECT_TRUE(has(r.json, "(00000042.app, disc layout)=ok:"));
    }
}

TEST_F(InspectTest, SkippedChecksAreSaidAndNeverPass) {
    const std::string cp = (pkiDir() / "cp_dpki.cert").string();
    const std::string ca = (pkiDir() / "ca_dpki.cert").string();
    const std::string common = (pkiDir() / "common_dpki.aesKey").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* summary;  // the text summary line
        const char* json;
    };
    const Case cases[] = {
        {{"--cert", cp}, 2,
         "signature: ok; chain: not checked (no CA certificate); contents: not checked (no common key)\n"
         "package NOT verified",
         "2 incomplete | ok skipped skipped |"},
        {{"--cert", cp, "--ca", ca}, 2, "chain: ok; contents: not checked (no common key)", "2 incomplete | ok ok skipped"},
        {{"--cert", cp, "--common-key", common}, 2, "chain: not checked (no CA certificate); contents: ok",
         "2 incomplete | ok skipped ok"},
        {{"--cert", cp, "--signature-only"}, 0, "signature verifies (--signature-only",
         "0 signature verified | ok skipped skipped"},
        {{"--cert", ca, "--signature-only"}, 2, "signature: FAILED (TMD signature)", "2 not verified | failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.summary);
        auto args = c.args;
        args.push_back("300000041.tmd");
        auto r = inspect(args);
        EXPECT_EQ(r.text.status, c.status) << r.text.out;
        EXPECT_TRUE(has(r.text.out, c.summary)) << r.text.out;
        EXPECT_TRUE(has(r.json, c.json)) << r.json;
    }
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
        auto r = withPki({c.tmdFile});
        EXPECT_EQ(r.text.status, 2) << r.text.out;
        EXPECT_TRUE(has(r.text.out, c.expected)) << r.text.out;
        EXPECT_TRUE(has(r.text.out, "package does NOT verify\n"));
        EXPECT_TRUE(has(r.json, "2 not verified |")) << r.json;
        writeFile(file(c.file), saved);
    }
}

TEST_F(InspectTest, TruncatedAndMissingFiles) {
    Bytes app = readFile(file("00000042.app"));
    app.resize(app.size() - 32768);
    writeFile(file("00000042.app"), app);
    auto r = withPki({"300000041.tmd"});
    EXPECT_EQ(r.text.status, 2);
    EXPECT_TRUE(has(r.text.out, "size mismatch")) << r.text.out;

    fs::remove(file("00000041.app"));
    r = withPki({"300000040.tmd"});
    EXPECT_EQ(r.text.status, 2);
    EXPECT_TRUE(has(r.json, "=failed:missing 00000041.app")) << r.json;
    EXPECT_FALSE(has(r.json, "common key is probably")) << "a missing file is no sign of a wrong key";

    fs::remove(file("300000041.titleKey"));
    r = withPki({"300000041.tmd"});
    EXPECT_EQ(r.text.status, 2);
    EXPECT_TRUE(has(r.json, "title key=failed:cannot read")) << r.json;
    EXPECT_TRUE(has(r.json, "=skipped:no title key")) << r.json;
}

TEST_F(InspectTest, HintsWhereTheCauseIsClear) {
    writeFile(file("wrong.aesKey"), Bytes(16, 0x5a));
    auto r = withPki({"--common-key", file("wrong.aesKey").string(), "300000040.tmd", "300000041.tmd"});
    EXPECT_EQ(r.text.status, 2);
    EXPECT_TRUE(has(r.text.out, "hint: every content fails its hash although its file has the right size: the common "
                                "key is probably not the one")) << r.text.out;
    EXPECT_TRUE(has(r.json, "\n2 not verified")) << r.json;

    // Content files of the other layout's size: made with -d but without
    // the disc bit, or checked in the wrong layout.
    ASSERT_EQ(tmd({"-O", "-d", "-T", "0x300000050", "-n", "p.bin", "-c", "0x51", "-i", "0", "-t", "1"}).status, 0);
    const std::vector<std::string> cases[] = {
        {"300000050.tmd", "auto", "type 0x0001 lacks the disc bit 0x0002 (was the package made with -d?); try --layout disc"},
        {"300000041.tmd", "plain", "has exactly the size of the disc layout; try --layout disc"},
        {"300000040.tmd", "disc", "has exactly the size of the plain layout; try --layout plain"},
    };
    for (const auto& c : cases) {
        r = withPki({"--layout", c[1], c[0]});
        EXPECT_EQ(r.text.status, 2);
        EXPECT_TRUE(has(r.text.out, "hint: content 0 (")) << r.text.out;
        EXPECT_TRUE(has(r.json, c[2])) << r.json;
    }
}

TEST_F(InspectTest, DamagedCertificatesFailWithoutNoise) {
    TempDir other;
    ASSERT_EQ(run({binDir() + "/tmd-pki", "init", other.path().string()}).status, 0);
    const auto otherPki = other.path() / "X86/bin/pki_data";
    const Bytes cp = readFile(pkiDir() / "cp_dpki.cert");
    // ECC certificates: a device-style one signed by an ECC key, whose CA
    // certificate is not of the 576 bytes the verification dispatch takes.
    const auto key = [&](const char* n) { return file(n).string(); };
    ASSERT_EQ(run({binDir() + "/tmd-pki", "ecc-key", key("e.priv"), key("e.pub")}).status, 0);
    for (auto [out, name, issuer] : {std::tuple{"eca.cert", "CA00000002", "Root"},
                                     {"ecp.cert", "CP00000009", "Root-CA00000002"}})
        ASSERT_EQ(run({binDir() + "/tmd-pki", "cert", key(out), "--name", name, "--issuer", issuer, "--ecc-public",
                       key("e.pub"), "--sign-ecc", key("e.priv")}).status, 0);
    Bytes unknownSig = cp, badKeyType = cp;
    unknownSig[3] = 3;
    badKeyType[0x183] = 7;
    struct Case {
        const char* name;
        Bytes cert;
        const char* ca;  // file name in the scratch directory, or the other PKI's CA
        const char* expected;
    };
    const Case cases[] = {
        {"Empty", {}, nullptr, "TMD signature=failed:certificate cp.cert is unusable: 0 bytes"},
        {"Truncated", Bytes(cp.begin(), cp.begin() + 700), nullptr, "is unusable: 700 bytes; an RSA-2048-signed"},
        {"Oversized", Bytes(70000, 0), nullptr, "70000 bytes, larger than any certificate"},
        {"UnknownSignatureType", unknownSig, nullptr, "unknown signature type 0x00010003"},
        {"KeyTypeNotAdmitted", badKeyType, nullptr, "key type 7 is not admitted"},
        {"EccKey", readFile(file("ecp.cert")), "eca.cert", "holds an ECC key, not the RSA-2048 key"},
        {"EccKeyRsaCa", readFile(file("ecp.cert")), "other", "certificate chain=failed:CA certificate"},
        {"OtherPkisCa", cp, "other", "certificate chain=failed:certificate cp.cert does not verify"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(file("cp.cert"), c.cert);
        std::vector<std::string> args{"--cert", "cp.cert", "300000040.tmd"};
        if (c.ca) args.insert(args.end(), {"--ca", c.ca == std::string("other") ? (otherPki / "ca_dpki.cert").string()
                                                                               : std::string(c.ca)});
        auto r = inspect(args);
        EXPECT_EQ(r.text.status, 2) << r.text.out << r.text.err;
        EXPECT_TRUE(has(r.json, c.expected)) << r.json;
    }
    // The certificate of another PKI: the TMD's signature fails.
    auto r = inspect({"--cert", (otherPki / "cp_dpki.cert").string(), "--signature-only", "300000040.tmd"});
    EXPECT_EQ(r.text.status, 2);
    EXPECT_TRUE(has(r.text.out, "TMD signature: FAILED: does not verify")) << r.text.out;
}

// Certificates forged under keys no signature may be trusted under: a CA key
// that is the point of order two T = (0, sqrt(b)) (a signature made with
// private key 0 verifies under it whenever r/s mod n is even) and an RSA CA
// key of exponent 1 (the padded digest is its own signature). Each forgery
// is shown to be real, then tmd-inspect, tmd-pki check and tmd-pki show fail
// on the key and tmd-pki cert refuses to certify it.
TEST_F(InspectTest, UntrustedKeysCertifyNothing) {
    ec_point T{};
    poly_copy(named_curve.b, T.y);
    for (int i = 0; i < 232; ++i) poly_mul(T.y, T.y, T.y);
    Bytes t(60);
    EC2OSP(&T, t.data(), 60);
    writeFile(file("T.pub"), t);
    ASSERT_EQ(
        run({binDir() + "/tmd-pki", "ecc-key", file("e.priv").string(), file("e.pub").string()})
            .status,
        0);

    // ECC: a device certificate signed "by" T.
    Bytes eca(576), dev(384);
    ASSERT_EQ(ES_GenerateUnsignedCert("CA00000002", "Root", ES_SIG_RSA2048, ES_PUBKEY_ECC, t.data(),
                                      nullptr, 0, 0, eca.data()),
              0);
    ASSERT_EQ(ES_GenerateDeviceCert("DV00000001", "Root-CA00000002", readFile(file("e.pub")).data(),
                                    0, dev.data()),
              0);
    ecdsa_params params;
    alg_init_233_bit_ECDSA(&params, 233);
    uint8_t digest[20];
    csl_sha1(dev.data() + 128, dev.size() - 128, digest);
    bool forged = false;
    for (uint8_t i = 1; i < 64 && !forged; ++i) {
        Bytes nonce(30, i), sig(60);
        ASSERT_EQ(CSL_ComputeEccSig(digest, Bytes(30, 0).data(), sig.data(), nonce.data()), 0);
        ec_point sp;
        OS2ECP(sig.data(), 60, &sp);
        int result = 1;
        alg_poly_ECDSA_verify(digest, 20, &params, &T, &sp, &result);
        forged = result == 0;
        std::copy(sig.begin(), sig.end(), dev.begin() + 4);
    }
    ASSERT_TRUE(forged);

    // RSA: the content-publishing certificate re-signed "by" the CA's
    // modulus with exponent 1.
    const Bytes ca = readFile(pkiDir() / "ca_dpki.cert");
    Bytes cp = readFile(pkiDir() / "cp_dpki.cert"), rca(768);
    const uint8_t one[4] = {0, 0, 0, 1};
    ASSERT_EQ(ES_GenerateUnsignedCert("CA00000001", "Root", ES_SIG_RSA2048, ES_PUBKEY_RSA2048,
                                      ca.data() + 0x1C8, one, 4, 0, rca.data()),
              0);
    csl_sha1(cp.data() + 320, cp.size() - 320, digest);
    const Bytes info = fromHex("3021300906052b0e03021a05000414");
    Bytes block(256, 0xFF);
    block[0] = 0;
    block[1] = 1;
    block[256 - 36] = 0;
    std::copy(info.begin(), info.end(), block.end() - 35);
    std::copy(digest, digest + 20, block.end() - 20);
    ASSERT_EQ(CSL_VerifyRsaSig2048(digest, rca.data() + 0x1C8, block.data(), one, 4), 0);
    std::copy(block.begin(), block.end(), cp.begin() + 4);

    const struct {
        const char* name;
        Bytes ca, cert;
        const char* why;
    } rows[] = {
        {"point of order two", eca, dev, inspect::kUntrustedEccKey},
        {"RSA exponent 1", rca, cp, inspect::kUntrustedRsaKey},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writeFile(file("weak_ca.cert"), row.ca);
        writeFile(file("forged.cert"), row.cert);
        const auto r = inspect({"--cert", "forged.cert", "--ca", "weak_ca.cert", "300000040.tmd"});
        EXPECT_EQ(r.text.status, 2);
        EXPECT_TRUE(
            has(r.json,
                std::string("certificate chain=failed:CA certificate weak_ca.cert is unusable: ") +
                    row.why))
            << r.json;
        const RunResult shown = run({binDir() + "/tmd-pki", "show", file("weak_ca.cert").string()});
        EXPECT_EQ(shown.status, 1);
        EXPECT_TRUE(has(shown.err, row.why)) << shown.err;

        TempDir pki;
        fs::copy(pkiDir(), pki.path());
        writeFile(pki.path() / "ca_dpki.cert", row.ca);
        writeFile(pki.path() / "cp_dpki.cert", row.cert);
        const RunResult checked = run({binDir() + "/tmd-pki", "check", pki.path().string()});
        EXPECT_EQ(checked.status, 2);
        EXPECT_TRUE(has(checked.out, "certificate chain: failed")) << checked.out;
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"show", "T.pub"},
          {"cert", "T.cert", "--name", "CA3", "--issuer", "Root", "--ecc-public", "T.pub",
           "--sign-ecc", "e.priv"}}) {
        std::vector<std::string> argv{binDir() + "/tmd-pki"};
        argv.insert(argv.end(), args.begin(), args.end());
        const RunResult r = run(argv, dir_.path());
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_TRUE(has(r.err, inspect::kUntrustedEccKey)) << r.err;
        EXPECT_FALSE(fs::exists(file("T.cert")));
    }
}

TEST_F(InspectTest, BadInputIsStatusOneAndStillJson) {
    writeFile(file("short.tmd"), Bytes(100, 0));
    writeFile(file("tiny.key"), Bytes(5, 1));
    Bytes t = readFile(file("300000040.tmd"));
    t[tmd_layout::NUM_CONTENTS + 1] = 9;  // claims 9 records
    writeFile(file("claims.tmd"), t);
    es_put_be16(t.data() + tmd_layout::NUM_CONTENTS, 513);
    t.resize(ES_GetTmdSize(513));
    writeFile(file("over.tmd"), t);
    const std::string pki = pkiRoot().string();
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const Case cases[] = {
        {{"--pki", pki, "missing.tmd"}, "cannot read TMD missing.tmd"},
        {{"--pki", pki, "short.tmd"}, "shorter than a TMD header"},
        {{"--pki", pki, "claims.tmd"}, "fewer content records than its numContents (9)"},
        {{"--pki", pki, "over.tmd"}, "claims 513 contents; a TMD holds at most 512"},
        {{"--pki", pki, "--bogus", "300000040.tmd"}, "unknown option --bogus"},
        {{"--pki", pki}, "give at least one TMD"},
        {{"--pki", dir_.path().string(), "300000040.tmd"}, "no PKI in "},
        {{"300000040.tmd"}, "no certificate: give --pki or --cert, or set KESSARIVON_SDK_ROOT or ROOT"},
        {{"--cert", "none.cert", "300000040.tmd"}, "cannot read certificate none.cert"},
        {{"--pki", pki, "--common-key", "tiny.key", "300000040.tmd"}, "cannot read the common key"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        auto r = inspect(c.args);
        EXPECT_EQ(r.text.status, 1);
        EXPECT_EQ(r.text.err.rfind("tmd-inspect: ", 0), 0u);
        EXPECT_TRUE(has(r.text.err, c.error)) << r.text.err;
        EXPECT_TRUE(has(r.json, c.error)) << r.json;
    }
    // With several TMDs the status is the highest of theirs.
    flipBit("00000041.app", 100);
    EXPECT_EQ(withPki({"300000041.tmd", "missing.tmd"}).text.status, 1);
    auto r = withPki({"missing.tmd", "300000040.tmd", "300000041.tmd"});
    EXPECT_EQ(r.text.status, 2);
    EXPECT_TRUE(has(r.json, "1 bad input") && has(r.json, "2 not verified") && has(r.json, "0 verified")) << r.json;
}

TEST_F(InspectTest, QuietVersionAndEscapes) {
    flipBit("00000041.app", 100);
    for (auto [tmdFile, status] : {std::pair{"300000041.tmd", 0}, {"300000040.tmd", 2}, {"missing.tmd", 1}}) {
        for (const char* mode : {"--quiet", "--json"}) {
            auto r = run({binDir() + "/tmd-inspect", "-q", mode, "--pki", pkiRoot().string(), tmdFile}, dir_.path());
            EXPECT_EQ(r.status, status);
            EXPECT_EQ(r.out, "");
        }
    }
    auto v = run({binDir() + "/tmd-inspect", "--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("tmd-inspect ", 0), 0u) << v.out;

    // Names from the files never reach the terminal raw.
    Bytes t = readFile(file("300000041.tmd"));
    const std::string evil = "\x1b]0;x\x07\x9b";
    std::copy(evil.begin(), evil.end(), t.begin() + tmd_layout::ISSUER);
    writeFile(file("evil.tmd"), t);
    auto r = withPki({"evil.tmd"});
    EXPECT_EQ(r.text.status, 2);
    EXPECT_TRUE(has(r.text.out, "issuer: \\x1b]0;x\\x07\\x9b")) << r.text.out;
    for (char c : r.text.out) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << static_cast<int>(c);
}

TEST_F(InspectTest, ExtractWritesWhatVerifiesAndNeverOverwrites) {
    const std::string out = file("out").string();
    auto made = run({binDir() + "/tmd-inspect", "--pki", pkiRoot().string(), "--extract", out, "300000040.tmd",
                     "300000041.tmd"}, dir_.path());
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    EXPECT_TRUE(has(made.out, "ok (extracted to " + out + "/0000000300000041/00000042.bin)")) << made.out;
    EXPECT_EQ(readFile(file("out/0000000300000040/00000041.bin")), readFile(file("p.bin")));
    EXPECT_EQ(readFile(file("out/0000000300000041/00000042.bin")), readFile(file("d.bin")));
    auto r = withPki({"--extract", out, "300000041.tmd"});
    EXPECT_EQ(r.text.status, 1);
    EXPECT_TRUE(has(r.json, "00000042.bin exists; --extract does not overwrite")) << r.json;
    EXPECT_EQ(readFile(file("out/0000000300000041/00000042.bin")), readFile(file("d.bin")));

    // Only what verifies is extracted, and only from a TMD whose signer is
    // established; nothing is left behind.
    const std::string cp = (pkiDir() / "cp_dpki.cert").string();
    const std::string common = (pkiDir() / "common_dpki.aesKey").string();
    struct Damage {
        const char* name;
        const char* file;  // damaged at `offset`, or none
        size_t offset;
        std::vector<std::string> keys;
        const char* detail;  // of the content's check
    };
    const Damage cases[] = {
        {"Content", "00000042.app", 2097152 + 1024 + 77, {"--pki", pkiRoot().string()}, "=failed:super block 1"},
        {"Signature", "300000041.tmd", 0x1E4 + 8, {"--pki", pkiRoot().string()},
         "=skipped:not extracted: TMD signature failed"},
        {"ForeignCa", nullptr, 0, {"--cert", cp, "--ca", cp, "--common-key", common},
         "=skipped:not extracted: certificate chain failed"},
        {"NoCa", nullptr, 0, {"--cert", cp, "--common-key", common},
         "=skipped:not extracted: certificate chain not checked"},
    };
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file("out"));
        const Bytes saved = c.file ? readFile(file(c.file)) : Bytes{};
        if (c.file) flipBit(c.file, c.offset);
        auto args = c.keys;
        args.insert(args.end(), {"--extract", out, "300000041.tmd"});
        r = inspect(args);
        EXPECT_EQ(r.text.status, 2);
        EXPECT_TRUE(has(r.json, c.detail)) << r.json;
        EXPECT_TRUE(!fs::exists(file("out/0000000300000041")) || fs::is_empty(file("out/0000000300000041")));
        if (c.file) writeFile(file(c.file), saved);
    }
}

}  // namespace
}  // namespace tt
