// Create runs of tmd end to end, every output checked with OpenSSL (AES, SHA-1,
// MD5 and the openssl command line) rather than with the project's own code.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "tool_fixture.h"

namespace tt {
namespace {

uint32_t be32(const Bytes& b, size_t off) {
    return (uint32_t{b[off]} << 24) | (uint32_t{b[off + 1]} << 16) | (uint32_t{b[off + 2]} << 8) |
           b[off + 3];
}
uint16_t be16(const Bytes& b, size_t off) { return static_cast<uint16_t>(b[off] << 8 | b[off + 1]); }
uint64_t be64(const Bytes& b, size_t off) { return uint64_t{be32(b, off)} << 32 | be32(b, off + 4); }

Bytes titleKeyIv(uint64_t tid) {
    Bytes iv(16, 0);
    for (int i = 0; i < 8; ++i) iv[static_cast<size_t>(i)] = static_cast<uint8_t>(tid >> (56 - 8 * i));
    return iv;
}

class CreateTest : public ToolTest {
protected:
    void verifySignatureWithOpenssl(const Bytes& tmdBytes) {
        auto cert = readFile(pkiDir() / "cp_dpki.cert");
        auto pem = certPublicKeyPem(cert, file("cp.pem"));
        writeFile(file("signed.bin"), Bytes(tmdBytes.begin() + 0x140, tmdBytes.end()));
        writeFile(file("sig.bin"), Bytes(tmdBytes.begin() + 4, tmdBytes.begin() + 260));
        auto r = run({"openssl", "dgst", "-sha1", "-verify", pem.string(), "-signature",
                      file("sig.bin").string(), file("signed.bin").string()});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.out, "Verified OK\n");
        for (auto n : {"cp.pem", "signed.bin", "sig.bin"}) std::filesystem::remove(file(n));
    }
};

TEST_F(CreateTest, TwoContentsEndToEnd) {
    std::mt19937_64 rng(1);
    const uint64_t tid = 0x0001000100000002ULL;
    Bytes a = randomBytes(rng, 40000), b = randomBytes(rng, 17);
    makeContent("a.bin", a);
    makeContent("b.bin", b);
    // Listed in the order a, b with indexes 1, 0: the TMD lists b first.
    auto r = tmd({"-O", "-T", "0x0001000100000002", "-n", "a.bin,b.bin", "-c", "0x10,0x1F", "-i",
                  "1,0", "-t", "1,0x4001", "-m", "7", "-g", "65538", "-b", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    const Bytes key = derivedTitleKey(tid);
    EXPECT_EQ(readFile(file("00000010.app")), aesCbc(key, contentIv(1), zeroPadded(a), true));
    EXPECT_EQ(readFile(file("0000001f.app")), aesCbc(key, contentIv(0), zeroPadded(b), true));
    EXPECT_EQ(readFile(file("1000100000002.titleKey")), aesCbc(commonKey(), titleKeyIv(tid), key, true));

    // The .app also decrypts with the openssl command line to the zero-padded input.
    auto dec = run({"openssl", "enc", "-d", "-aes-128-cbc", "-nopad", "-K", toHex(key), "-iv",
                    toHex(contentIv(1)), "-in", file("00000010.app").string(), "-out",
                    file("a.dec").string()});
    ASSERT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(readFile(file("a.dec")), zeroPadded(a));

    const Bytes t = readFile(file("1000100000002.tmd"));
    ASSERT_EQ(t.size(), 484u + 2 * 36);
    EXPECT_EQ(be32(t, 0), 0x00010001u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&t[0x140])), "Root-CA00000001-CP00000004");
    for (size_t i = 0x140 + 26; i < 0x180; ++i) EXPECT_EQ(t[i], 0) << i;
    for (size_t i = 0x104; i < 0x140; ++i) ASSERT_EQ(t[i], 0);
    EXPECT_EQ(t[0x180], 0);
    EXPECT_EQ(be64(t, 0x184), 0x0000000100000004ULL);
    EXPECT_EQ(be64(t, 0x18C), tid);
    EXPECT_EQ(be32(t, 0x194), 1u);
    EXPECT_EQ(be16(t, 0x198), 2);  // 65538 truncated to 16 bits
    EXPECT_EQ(be32(t, 0x1D8), 0u);
    EXPECT_EQ(be16(t, 0x1DC), 7);
    EXPECT_EQ(be16(t, 0x1DE), 2);
    EXPECT_EQ(be16(t, 0x1E0), 1);
    struct Rec {
        uint32_t cid;
        uint16_t type;
        const Bytes* data;
    } recs[] = {{0x1F, 0x4001, &b}, {0x10, 1, &a}};
    for (size_t i = 0; i < 2; ++i) {
        const size_t o = 0x1E4 + 36 * i;
        EXPECT_EQ(be32(t, o), recs[i].cid);
        EXPECT_EQ(be16(t, o + 4), i);
        EXPECT_EQ(be16(t, o + 6), recs[i].type);
        EXPECT_EQ(be64(t, o + 8), recs[i].data->size());
        EXPECT_EQ(Bytes(t.begin() + static_cast<long>(o) + 16, t.begin() + static_cast<long>(o) + 36),
                  opensslSha1(*recs[i].data));
    }
    verifySignatureWithOpenssl(t);
}

TEST_F(CreateTest, SameTitleTwiceIsByteIdenticalAndKReproducesTheKey) {
    std::mt19937_64 rng(2);
    makeContent("c.bin", randomBytes(rng, 16385));
    const std::vector<std::string> args{"-O", "-T", "0x500000ABC", "-n", "c.bin", "-c", "010", "-i", "0"};
    ASSERT_EQ(tmd(args).status, 0);
    const Bytes app1 = readFile(file("00000008.app"));
    const Bytes key1 = readFile(file("500000abc.titleKey"));
    EXPECT_EQ(app1.size(), 16400u);
    std::filesystem::rename(file("500000abc.titleKey"), file("given.key"));
    auto withK = args;
    withK.insert(withK.end(), {"-K", "given.key"});
    auto r = tmd(withK);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(file("500000abc.titleKey")), key1);
    EXPECT_EQ(readFile(file("00000008.app")), app1);
    const Bytes t = readFile(file("500000abc.tmd"));
    EXPECT_EQ(be32(t, 0x1E4), 8u);  // content ID 010 is octal
}

TEST_F(CreateTest, WithoutSyncTheOutputsAreTheSame) {
    // TMD_SYNC=0 leaves the flush to disk to the caller; what is written,
    // and that nothing but the outputs is left behind, does not change.
    std::mt19937_64 rng(3);
    makeContent("c.bin", randomBytes(rng, 100000));
    for (const char* layout : {"", "-d"}) {
        std::vector<std::string> args{"-O", "-T", "0x1000100000002", "-n", "c.bin", "-c", "1", "-i", "0"};
        if (*layout) args.push_back(layout);
        ASSERT_EQ(tmd(args).status, 0);
        std::vector<Bytes> synced;
        for (const char* f : {"00000001.app", "1000100000002.titleKey", "1000100000002.tmd"})
            synced.push_back(readFile(file(f)));
        auto r = tmd(args, {"TMD_SYNC=0"});
        ASSERT_EQ(r.status, 0) << r.err;
        size_t i = 0;
        for (const char* f : {"00000001.app", "1000100000002.titleKey", "1000100000002.tmd"})
            EXPECT_EQ(readFile(file(f)), synced[i++]) << f << " " << layout;
        for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
            EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
    }
}

// A content read from a pipe has no size the file system could report: the
// TMD records the bytes read, which its hash covers, in both layouts.
TEST_F(CreateTest, PipeContentRecordsTheBytesRead) {
    signal(SIGPIPE, SIG_IGN);
    std::mt19937_64 rng(9);
    const Bytes data = randomBytes(rng, 300001);
    for (const char* layout : {"-O", "-d"}) {
        SCOPED_TRACE(layout);
        const auto pipe = file("pipe");
        ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
        std::thread feeder([&] {
            const int fd = open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
            for (size_t at = 0; fd >= 0 && at < data.size();) {
                const ssize_t n = write(fd, data.data() + at, data.size() - at);
                if (n <= 0) break;
                at += static_cast<size_t>(n);
            }
            if (fd >= 0) close(fd);
        });
        auto r = tmd({"-O", layout, "-a", "-T", "0x0001000100000002", "-n", "pipe", "-c", "1", "-i", "0"});
        // Lets the feeder go should the run have ended before reading.
        const int unblock = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        feeder.join();
        if (unblock >= 0) close(unblock);
        std::filesystem::remove(pipe);
        ASSERT_EQ(r.status, 0) << r.err;
        const Bytes tmdBytes = readFile(file("1000100000002.tmd"));
        ASSERT_EQ(tmdBytes.size(), 520u);
        EXPECT_EQ(be64(tmdBytes, 484 + 8), data.size());
        if (std::string(layout) == "-O") {
            EXPECT_EQ(Bytes(tmdBytes.begin() + 484 + 16, tmdBytes.end()), opensslSha1(data));
        }
    }
}

TEST_F(CreateTest, EmptyContentAndTypesDefaultToZero) {
    makeContent("e.bin", {});
    auto r = tmd({"-O", "-T", "0x300000000", "-n", "e.bin", "-c", "5", "-i", "0", "-b", "511"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(file("00000005.app")).size(), 0u);
    const Bytes t = readFile(file("300000000.tmd"));
    ASSERT_EQ(t.size(), 520u);
    EXPECT_EQ(be16(t, 0x1E0), 511);
    EXPECT_EQ(be16(t, 0x1E4 + 6), 0);
    EXPECT_EQ(Bytes(t.begin() + 0x1E4 + 16, t.end()), opensslSha1({}));
}

TEST_F(CreateTest, ReservedAreaFromFiles) {
    Bytes n1(40), n2(30);
    for (size_t i = 0; i < n1.size(); ++i) n1[i] = static_cast<uint8_t>(i + 1);
    for (size_t i = 0; i < n2.size(); ++i) n2[i] = static_cast<uint8_t>(0xA0 + i);
    makeContent("n1.bin", n1);
    makeContent("n2.bin", n2);
    makeContent("x.bin", Bytes(5, 5));
    auto r = tmd({"-O", "-T", "0x300000001", "-N", "n1.bin", "-B", "n2.bin", "-n", "x.bin", "-c",
                  "1", "-i", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes t = readFile(file("300000001.tmd"));
    EXPECT_EQ(Bytes(t.begin() + 0x19A, t.begin() + 0x19A + 32), Bytes(n1.begin(), n1.begin() + 32));
    EXPECT_EQ(Bytes(t.begin() + 0x19A + 32, t.begin() + 0x1D8), n2);
}

TEST_F(CreateTest, MissingContentFailsAfterEarlierContents) {
    makeContent("a.bin", Bytes(100, 1));
    auto r = tmd({"-O", "-T", "0x300000000", "-n", "a.bin,missing.bin", "-c", "1,2", "-i", "0,1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.bin encryption failed\n"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::exists(file("00000001.app")));
    EXPECT_FALSE(std::filesystem::exists(file("300000000.titleKey")));
    EXPECT_FALSE(std::filesystem::exists(file("300000000.tmd")));
}

TEST_F(CreateTest, DirectoryAsContentFails) {
    std::filesystem::create_directory(file("adir"));
    auto r = tmd({"-O", "-T", "0x300000000", "-n", "adir", "-c", "1", "-i", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("adir encryption failed\n"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(file("300000000.tmd")));
}

TEST_F(CreateTest, DuplicateIndexCaughtByTmdStage) {
    makeContent("a.bin", Bytes(3, 1));
    makeContent("b.bin", Bytes(3, 2));
    auto r = tmd({"-O", "-T", "0x300000000", "-n", "a.bin,b.bin", "-c", "1,2", "-i", "0,0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "incorrect content index 1\n");
    EXPECT_TRUE(std::filesystem::exists(file("00000001.app")));
    EXPECT_TRUE(std::filesystem::exists(file("00000002.app")));
    EXPECT_TRUE(std::filesystem::exists(file("300000000.titleKey")));
    EXPECT_FALSE(std::filesystem::exists(file("300000000.tmd")));
}

// Key files that are missing, short or wrong end the run with status 1 and a
// message; none of them yields a TMD.
TEST_F(CreateTest, BadKeyFilesFail) {
    makeContent("a.bin", Bytes(3, 1));
    const std::vector<std::string> args{"-O", "-T", "0x300000000", "-n", "a.bin", "-c", "1", "-i", "0"};
    struct KeyCase {
        const char* file;
        Bytes content;
        std::string err;  // substring of standard error
    };
    Bytes cert = readFile(pkiDir() / "cp_dpki.cert");
    Bytes badSigType = cert;
    badSigType[3] = 3;
    std::string rsa;
    {
        Bytes k = readFile(pkiDir() / "cp_dpki.rsa");
        rsa.assign(k.begin(), k.end());
    }
    const std::vector<KeyCase> cases{
        {"common_dpki.aesKey", Bytes(15, 1), "file read failed "},
        {"cp_dpki.cert", Bytes(cert.begin(), cert.begin() + 767), "file read failed "},
        {"cp_dpki.cert", badSigType, "get cert name failed\n"},
        {"cp_dpki.rsa", {}, "signing TMD failed\n"},
        {"cp_dpki.rsa", Bytes{'\n', '9', '9', '9', '9', '9', '\n', 'a', 'b'}, "signing TMD failed\n"},
        {"cp_dpki.rsa", Bytes(rsa.begin(), rsa.begin() + static_cast<long>(rsa.size() / 2)),
         "signing TMD failed\n"},
    };
    for (const auto& c : cases) {
        TempDir root;
        const auto d = root.path() / "X86/bin/pki_data";
        std::filesystem::create_directories(d);
        for (auto n : {"common_dpki.aesKey", "cp_dpki.cert", "cp_dpki.rsa"})
            std::filesystem::copy_file(pkiDir() / n, d / n);
        writeFile(d / c.file, c.content);
        auto r = tmd(args, {"KESSARIVON_SDK_ROOT=" + root.path().string()});
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.file << ": " << r.err;
        EXPECT_FALSE(std::filesystem::exists(file("300000000.tmd"))) << c.file;
    }
    // A missing RSA key file names itself before the stage's own message.
    TempDir root;
    const auto d = root.path() / "X86/bin/pki_data";
    std::filesystem::create_directories(d);
    for (auto n : {"common_dpki.aesKey", "cp_dpki.cert"}) std::filesystem::copy_file(pkiDir() / n, d / n);
    auto r = tmd(args, {"KESSARIVON_SDK_ROOT=" + root.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "unable to open file " + (d / "cp_dpki.rsa").string() + "\nsigning TMD failed\n");
}

TEST_F(CreateTest, CertificateNamesTooLongForTheIssuerFieldRefused) {
    makeContent("a.bin", Bytes(3, 1));
    TempDir root;
    const auto d = root.path() / "X86/bin/pki_data";
    std::filesystem::create_directories(d);
    for (auto n : {"common_dpki.aesKey", "cp_dpki.cert", "cp_dpki.rsa"})
        std::filesystem::copy_file(pkiDir() / n, d / n);
    Bytes cert = readFile(d / "cp_dpki.cert");
    // issuer at 0x140 and name at 0x184 in a 768-byte certificate: 40 + 1 + 40 > 63.
    for (size_t i = 0; i < 40; ++i) cert[0x140 + i] = 'I', cert[0x184 + i] = 'N';
    writeFile(d / "cp_dpki.cert", cert);
    auto r = tmd({"-O", "-T", "0x300000000", "-n", "a.bin", "-c", "1", "-i", "0"},
                 {"KESSARIVON_SDK_ROOT=" + root.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("TMD issuer field"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(file("300000000.tmd")));
}

TEST_F(CreateTest, ManyContentsInParallelKeepTheirOrder) {
    std::mt19937_64 rng(3);
    std::string names, cids, idx;
    std::vector<Bytes> data;
    for (int i = 0; i < 12; ++i) {
        data.push_back(randomBytes(rng, 1000 + 777 * static_cast<size_t>(i)));
        makeContent("f" + std::to_string(i), data.back());
        names += (i ? "," : "") + std::string("f") + std::to_string(i);
        cids += (i ? "," : "") + std::to_string(100 + i);
        idx += (i ? "," : "") + std::to_string(11 - i);
    }
    auto r = tmd({"-O", "-T", "0x300000002", "-n", names, "-c", cids, "-i", idx});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes t = readFile(file("300000002.tmd"));
    const Bytes key = derivedTitleKey(0x300000002ULL);
    for (int i = 0; i < 12; ++i) {
        const size_t o = 0x1E4 + 36 * static_cast<size_t>(11 - i);
        EXPECT_EQ(be32(t, o), 100u + static_cast<uint32_t>(i));
        EXPECT_EQ(Bytes(t.begin() + static_cast<long>(o) + 16, t.begin() + static_cast<long>(o) + 36),
                  opensslSha1(data[static_cast<size_t>(i)]));
        char name[16];
        std::snprintf(name, sizeof name, "%08x.app", 100 + i);
        EXPECT_EQ(readFile(file(name)),
                  aesCbc(key, contentIv(static_cast<uint16_t>(11 - i)), zeroPadded(data[static_cast<size_t>(i)]), true));
    }
    // With a failing content in the middle, that content is the one named.
    std::filesystem::remove(file("f5"));
    r = tmd({"-O", "-T", "0x300000003", "-n", names, "-c", cids, "-i", idx});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("f5 encryption failed\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("f6 encryption failed"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(file("300000003.titleKey")));
}

}  // namespace
}  // namespace tt
