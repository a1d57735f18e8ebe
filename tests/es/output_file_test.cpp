// The write helpers under the content outputs: whole writes in bounded
// pieces, and direct I/O that falls back to the page cache when the system
// turns a write down.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "es/disk_encrypt.h"
#include "es/es.h"
#include "es/tmd.h"
#include "es_test_util.h"
#include "io/output_file.h"
#include "test_support.h"

namespace {

using tt::Bytes;

struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) close(fd); }
};

bool directIsOn(int fd) { return (fcntl(fd, F_GETFL) & O_DIRECT) != 0; }

TEST(OutputFileWrites, PiecesAndOffsetsLandWhereAsked) {
    tt::TempDir tmp;
    Fd f{open((tmp / "out.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600)};
    ASSERT_GE(f.fd, 0);
    std::mt19937_64 rng(11);
    // Longer than several pieces and not a multiple of one, written out of order.
    const Bytes data = tt::randomBytes(rng, 3 * tmd_io::kWritePieceBytes + 777);
    const size_t half = data.size() / 2;
    EXPECT_EQ(tmd_io::pwriteFully(f.fd, data.data() + half, data.size() - half, half),
              data.size() - half);
    EXPECT_EQ(tmd_io::pwriteFully(f.fd, data.data(), half, 0, 100), half);
    EXPECT_EQ(tt::readFile(tmp / "out.bin"), data);
}

TEST(OutputFileWrites, DirectIoFallsBackForUnalignedWrites) {
    tt::TempDir tmp;
    Fd f{open((tmp / "out.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600)};
    ASSERT_GE(f.fd, 0);
    if (!tmd_io::setDirectIo(f.fd, true)) GTEST_SKIP() << "no direct I/O on this file system";
    ASSERT_TRUE(directIsOn(f.fd));

    constexpr size_t kAlign = 4096, kLen = 8 * kAlign;
    std::unique_ptr<uint8_t, decltype(&std::free)> buf(
        static_cast<uint8_t*>(std::aligned_alloc(kAlign, kLen + kAlign)), &std::free);
    ASSERT_TRUE(buf);
    std::mt19937_64 rng(12);
    const Bytes data = tt::randomBytes(rng, kLen + kAlign);
    std::copy(data.begin(), data.end(), buf.get());

    // Aligned buffer, offset and length: written directly.
    bool direct = true;
    EXPECT_EQ(tmd_io::pwriteMaybeDirect(f.fd, buf.get(), kLen, 0, &direct), kLen);
    EXPECT_TRUE(direct);
    // A buffer or length the device cannot take: the same bytes arrive
    // through the page cache, and direct I/O stays off for the file.
    const size_t odd = kAlign - 5;
    EXPECT_EQ(tmd_io::pwriteMaybeDirect(f.fd, buf.get() + kLen + 1, odd - 1, kLen, &direct),
              odd - 1);
    EXPECT_FALSE(direct);
    EXPECT_FALSE(directIsOn(f.fd));
    EXPECT_EQ(tmd_io::pwriteMaybeDirect(f.fd, buf.get() + 3, 5, kLen + odd - 1, &direct), 5u);

    Bytes expected(data.begin(), data.begin() + kLen);
    expected.insert(expected.end(), data.begin() + kLen + 1, data.begin() + kLen + odd);
    expected.insert(expected.end(), data.begin() + 3, data.begin() + 8);
    close(f.fd);
    f.fd = -1;
    EXPECT_EQ(tt::readFile(tmp / "out.bin"), expected);
}

// An output file that prefers direct I/O: what was written before stays,
// aligned pieces from a large-page buffer go to the device, an unaligned
// tail falls back to the page cache, and every byte lands in order under
// the final name.
TEST(OutputFileWrites, PreferDirectKeepsEveryByteInOrder) {
    tt::TempDir tmp;
    const std::string name = (tmp / "out.bin").string();
    const tmd_io::IoBuffer buf = tmd_io::allocateIoBuffer(tmd_io::kLargePageBytes);
    ASSERT_TRUE(buf);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(buf.get()) % tmd_io::kLargePageBytes, 0u);
    std::mt19937_64 rng(13);
    const Bytes data = tt::randomBytes(rng, tmd_io::kLargePageBytes);
    std::copy(data.begin(), data.end(), buf.get());

    constexpr size_t kHead = 4096, kPiece = 256 << 10, kTail = 4096 + 48;
    tmd_io::OutputFile out;
    ASSERT_TRUE(out.create(name.c_str()));
    ASSERT_TRUE(out.write(buf.get(), kHead));  // before: through the page cache
    out.preferDirect();
    ASSERT_TRUE(out.write(buf.get() + kHead, kPiece));
    ASSERT_TRUE(out.write(buf.get() + kHead + kPiece, kPiece));
    ASSERT_TRUE(out.write(buf.get() + kHead + 2 * kPiece, kTail));  // not a sector multiple
    ASSERT_TRUE(out.write(buf.get() + kHead + 2 * kPiece + kTail, kPiece));
    ASSERT_TRUE(out.commit());

    const Bytes expected(data.begin(), data.begin() + kHead + 3 * kPiece + kTail);
    EXPECT_EQ(tt::readFile(tmp / "out.bin"), expected);
}

// Key material goes only to a new name or over a regular file, and over
// one only when replacing is allowed; whatever else stands under the name
// (a link to someone's file, a pipe, a directory, a file that appears while
// the key is written) is left as it was, and no temporary stays behind.
TEST(OutputFilePlacement, KeyMaterialNeverGoesThroughWhatStandsThere) {
    enum Setup { none, regular, symlink, fifo, directory, appearsMeanwhile };
    struct Case {
        Setup setup;
        bool replace;
        int wantErrno;  // 0: the key is written
    };
    const Case cases[] = {
        {none, false, 0},          {regular, false, EEXIST}, {regular, true, 0},
        {symlink, true, EINVAL},   {fifo, true, EINVAL},     {directory, true, EISDIR},
        {appearsMeanwhile, false, EEXIST},
    };
    const Bytes key(16, 0x5A), old(7, 1);
    for (bool unnamed : {true, false}) {
        tmd_io::useUnnamedTemporaries(unnamed);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "setup " << c.setup << " unnamed " << unnamed);
            tt::TempDir tmp;
            const auto name = tmp / "key";
            const auto victim = tmp / "victim";
            tt::writeFile(victim, old);
            if (c.setup == regular) tt::writeFile(name, old);
            if (c.setup == symlink) std::filesystem::create_symlink(victim, name);
            if (c.setup == fifo) {
                ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
            }
            if (c.setup == directory) std::filesystem::create_directory(name);
            const auto before = est::listDir(tmp.path());

            tmd_io::OutputFile out;
            const bool created = out.create(name.c_str(), {true, c.replace, 0600});
            const int createErrno = errno;
            bool ok = created && out.write(key.data(), key.size());
            if (c.setup == appearsMeanwhile) tt::writeFile(name, old);
            ok = ok && out.commit();
            out.discard();

            EXPECT_EQ(tt::readFile(victim), old);
            if (c.wantErrno == 0) {
                EXPECT_TRUE(ok);
                EXPECT_EQ(tt::readFile(name), key);
                struct stat st {};
                ASSERT_EQ(lstat(name.c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 07777, 0600u);
                continue;
            }
            EXPECT_FALSE(ok);
            if (c.setup != appearsMeanwhile) {
                EXPECT_EQ(createErrno, c.wantErrno);
            }
            if (c.setup == regular || c.setup == appearsMeanwhile) {
                EXPECT_EQ(tt::readFile(name), old);
            }
            const std::vector<std::string> meanwhile{"key", "victim"};
            EXPECT_EQ(est::listDir(tmp.path()), c.setup == appearsMeanwhile ? meanwhile : before);
        }
    }
    tmd_io::useUnnamedTemporaries(true);
}

// Runs in a death-test child: an output is half written when `sig` arrives.
void interruptMidWrite(const std::string& name, bool unnamed, int sig) {
    tmd_io::useUnnamedTemporaries(unnamed);
    tmd_io::OutputFile out;
    const Bytes data(1000, 3);
    if (!out.create(name.c_str()) || !out.write(data.data(), data.size())) std::exit(3);
    raise(sig);
    std::exit(4);
}

// An interrupted process removes its temporaries and ends by the signal;
// after SIGKILL an unnamed temporary leaves nothing either.
TEST(OutputFileDeathTest, InterruptLeavesNoTemporary) {
    struct Case {
        bool unnamed;
        int sig;
    };
    for (const Case c : {Case{false, SIGTERM}, Case{false, SIGINT}, Case{false, SIGHUP},
                         Case{true, SIGTERM}, Case{true, SIGKILL}}) {
        SCOPED_TRACE(c.sig);
        tt::TempDir tmp;
        const std::string name = (tmp / "00000001.app").string();
        EXPECT_EXIT(interruptMidWrite(name, c.unnamed, c.sig), testing::KilledBySignal(c.sig), "");
        EXPECT_TRUE(est::listDir(tmp.path()).empty());
    }
}

// A directory under an output's name cannot be created over: a file-open
// failure in both layouts, and the directory stays.
TEST(ContentOutputs, DirectoryUnderTheOutputNameIsAnOpenFailure) {
    tt::TempDir tmp;
    est::InDir in(tmp.path());
    tt::writeFile(tmp / "plain.bin", Bytes(100, 9));
    const uint8_t key[16] = {};
    uint8_t hash[20];
    std::filesystem::create_directory(tmp / "00000001.app");
    EXPECT_EQ(ES_EncryptContent("plain.bin", 1, 0, key, hash), ES_ERR_FILE_OPEN);
    EXPECT_EQ(encryptDiskContent("plain.bin", 1, key, hash), ES_ERR_FILE_OPEN);
    std::filesystem::create_directory(tmp / "00000002.hash");
    EXPECT_EQ(encryptDiskContent("plain.bin", 2, key, hash), ES_ERR_FILE_OPEN);
    EXPECT_TRUE(std::filesystem::is_directory(tmp / "00000001.app"));
    EXPECT_EQ(est::listDir(tmp.path()),
              (std::vector<std::string>{"00000001.app", "00000002.app", "00000002.hash", "plain.bin"}));
}

}  // namespace
