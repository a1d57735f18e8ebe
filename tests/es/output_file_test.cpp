// The output module: whole writes in bounded pieces, direct I/O that falls
// back to the page cache when the system turns a write down, what an output
// does with what stands under its name, its directories and their locks, and
// the removal of temporaries when a run is interrupted.
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

using Fd = tmd_io::UniqueFd;

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

// A file of someone else's that an output must never touch: its bytes, mode
// and owner (another user's when the test runs as root).
struct Victim {
    std::filesystem::path path;
    Bytes bytes{'v', 'i', 'c', 't', 'i', 'm'};
    explicit Victim(std::filesystem::path p) : path(std::move(p)) {
        tt::writeFile(path, bytes);
        chmod(path.c_str(), 0600);
        if (geteuid() == 0) {
            EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0);
        }
    }
    void expectUntouched() const {
        EXPECT_EQ(tt::readFile(path), bytes);
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_uid, geteuid() == 0 ? 65534u : geteuid());
    }
};

// What stands under an output's name, and what each kind of output does
// with it: a link or a second name of a file is replaced, never written
// through; a directory, FIFO or device (or a link to one) is refused, except
// that a path the caller named reaches its device; key material goes only to
// a new name or over a regular file, and over one only when replacing is
// allowed. Whatever is refused is left as it was, with no temporary behind.
TEST(OutputFilePlacement, WhatStandsUnderTheNameIsReplacedOrRefusedNeverWrittenThrough) {
    enum Setup {
        none,
        regular,
        symlink,
        hardLink,
        dangling,
        fifo,
        deviceLink,
        directory,
        appearsMeanwhile
    };
    enum Kind { derived, callerNamed, key };
    struct Case {
        Setup setup;
        Kind kind;
        bool replace;
        int wantErrno;  // 0: the output is written
    };
    const Case cases[] = {
        {none, derived, false, 0},
        {none, key, false, 0},
        {regular, derived, true, 0},
        {regular, key, false, EEXIST},
        {regular, key, true, 0},
        {symlink, derived, true, 0},
        {symlink, callerNamed, true, 0},
        {symlink, key, true, EINVAL},
        {symlink, derived, false, EEXIST},
        {hardLink, derived, true, 0},
        {hardLink, key, true, 0},
        {dangling, derived, true, 0},
        {fifo, derived, true, EINVAL},
        {fifo, key, true, EINVAL},
        {deviceLink, derived, true, EINVAL},
        {deviceLink, key, true, EINVAL},
        {deviceLink, callerNamed, true, 0},
        {directory, derived, true, EISDIR},
        {directory, callerNamed, true, EISDIR},
        {appearsMeanwhile, derived, false, EEXIST},
    };
    const Bytes data(16, 0x5A), old(7, 1);
    for (bool unnamed : {true, false}) {
        tmd_io::useUnnamedTemporaries(unnamed);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "setup " << c.setup << " kind " << c.kind
                                            << " replace " << c.replace << " unnamed " << unnamed);
            tt::TempDir tmp, elsewhere;
            const auto name = tmp / "out";
            const Victim victim(elsewhere / "victim");
            if (c.setup == regular) tt::writeFile(name, old);
            if (c.setup == symlink) std::filesystem::create_symlink(victim.path, name);
            if (c.setup == hardLink) std::filesystem::create_hard_link(victim.path, name);
            if (c.setup == dangling) std::filesystem::create_symlink(elsewhere / "new", name);
            if (c.setup == fifo) {
                ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
            }
            if (c.setup == deviceLink) std::filesystem::create_symlink("/dev/null", name);
            if (c.setup == directory) std::filesystem::create_directory(name);
            const auto before = est::listDir(tmp.path());

            tmd_io::OutputPolicy policy;
            policy.keyMaterial = c.kind == key;
            policy.callerNamed = c.kind == callerNamed;
            policy.replace = c.replace;
            policy.mode = c.kind == key ? 0600 : 0666;
            tmd_io::OutputFile out;
            const bool created = out.create(name.c_str(), policy);
            const int createErrno = errno;
            bool ok = created && out.write(data.data(), data.size());
            if (c.setup == appearsMeanwhile) tt::writeFile(name, old);
            ok = ok && out.commit();
            const int commitErrno = errno;
            out.discard();

            victim.expectUntouched();
            EXPECT_EQ(est::listDir(elsewhere.path()), std::vector<std::string>{"victim"});
            if (c.wantErrno == 0) {
                EXPECT_TRUE(ok);
                if (c.setup == deviceLink) {
                    EXPECT_TRUE(std::filesystem::is_symlink(name));
                    continue;
                }
                EXPECT_TRUE(
                    std::filesystem::is_regular_file(std::filesystem::symlink_status(name)));
                EXPECT_EQ(tt::readFile(name), data);
                EXPECT_EQ(est::listDir(tmp.path()), std::vector<std::string>{"out"});
                continue;
            }
            EXPECT_FALSE(ok);
            EXPECT_EQ(c.setup == appearsMeanwhile ? commitErrno : createErrno, c.wantErrno);
            if (c.setup == regular || c.setup == appearsMeanwhile) {
                EXPECT_EQ(tt::readFile(name), old);
            }
            const std::vector<std::string> meanwhile{"out"};
            EXPECT_EQ(est::listDir(tmp.path()), c.setup == appearsMeanwhile ? meanwhile : before);
        }
    }
    tmd_io::useUnnamedTemporaries(true);
}

// A new file's mode is the process's default (0666, 0600 for key material,
// less the umask); only the caller's own regular file with no other name
// hands its mode on to the file that replaces it, as truncating it would.
TEST(OutputFilePlacement, ModeIsTheDefaultUnlessReplacingTheCallersOwnFile) {
    enum Setup { none, own, ownWithSecondName, foreign };
    struct Case {
        Setup setup;
        bool key;
        mode_t want;
    };
    const Case cases[] = {
        {none, false, 0640},    {own, false, 0604}, {ownWithSecondName, false, 0640},
        {foreign, false, 0640}, {own, true, 0600},  {none, true, 0600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "setup " << c.setup << " key " << c.key);
        if (c.setup == foreign && geteuid() != 0) continue;  // only root can give a file away
        tt::TempDir tmp;
        const auto name = tmp / "out";
        if (c.setup != none) {
            tt::writeFile(name, Bytes(3, 1));
            ASSERT_EQ(chmod(name.c_str(), c.setup == foreign ? 0666 : 0604), 0);
        }
        if (c.setup == ownWithSecondName) std::filesystem::create_hard_link(name, tmp / "other");
        if (c.setup == foreign) {
            ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
        }
        const mode_t previous = umask(027);
        tmd_io::OutputFile out;
        const bool ok =
            out.create(name.c_str(), {c.key, true, static_cast<mode_t>(c.key ? 0600 : 0666)}) &&
            out.write("x", 1) && out.commit();
        umask(previous);
        ASSERT_TRUE(ok);
        struct stat st {};
        ASSERT_EQ(lstat(name.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.want);
        EXPECT_EQ(st.st_uid, geteuid());
    }
}

// An output made in a directory descriptor lands in that directory even when
// its path is taken away and another directory put there meanwhile; a name
// is one component.
TEST(OutputFilePlacement, OutputsLandInTheDirectoryOpenedNotItsPath) {
    tt::TempDir tmp;
    std::filesystem::create_directory(tmp / "out");
    const Fd dir{tmd_io::openDirectory((tmp / "out").c_str())};
    ASSERT_GE(dir.fd, 0);
    tmd_io::OutputFile out;
    EXPECT_FALSE(out.create(dir.fd, "sub/x"));
    EXPECT_EQ(errno, EINVAL);
    ASSERT_TRUE(out.create(dir.fd, "x"));
    std::filesystem::rename(tmp / "out", tmp / "moved");
    std::filesystem::create_directory(tmp / "out");
    ASSERT_TRUE(out.write("abc", 3) && out.commit());
    EXPECT_EQ(tt::readFile(tmp / "moved" / "x"), (Bytes{'a', 'b', 'c'}));
    EXPECT_TRUE(est::listDir(tmp / "out").empty());
}

// The subdirectory an output goes to is made or opened without following a
// link, and one that another user owns is refused.
TEST(OutputDirectories, SubdirectoryIsNeverReachedThroughALinkNorSomeoneElses) {
    enum Setup { missing, own, link, file, foreign };
    struct Case {
        Setup setup;
        int wantErrno;
    };
    for (const Case c : {Case{missing, 0}, Case{own, 0}, Case{link, ELOOP}, Case{file, ENOTDIR},
                         Case{foreign, EPERM}}) {
        SCOPED_TRACE(c.setup);
        if (c.setup == foreign && geteuid() != 0) continue;
        tt::TempDir tmp, elsewhere;
        const auto sub = tmp / "sub";
        if (c.setup == own || c.setup == foreign) std::filesystem::create_directory(sub);
        if (c.setup == foreign) {
            ASSERT_EQ(chown(sub.c_str(), 65534, 65534), 0);
        }
        if (c.setup == link) std::filesystem::create_directory_symlink(elsewhere.path(), sub);
        if (c.setup == file) tt::writeFile(sub, Bytes(1, 1));
        const Fd dir{tmd_io::openDirectory(tmp.path().c_str())};
        const Fd opened{tmd_io::openSubdirectory(dir.fd, "sub")};
        const int err = errno;
        if (c.wantErrno == 0) {
            EXPECT_GE(opened.fd, 0);
            EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::symlink_status(sub)));
            continue;
        }
        EXPECT_LT(opened.fd, 0);
        EXPECT_EQ(err, c.wantErrno);
        EXPECT_TRUE(est::listDir(elsewhere.path()).empty());
    }
}

// One run per directory: a second open of a locked directory cannot take the
// lock until the first is closed; no file is left behind.
TEST(OutputDirectories, OneLockPerDirectory) {
    tt::TempDir tmp;
    Fd first{tmd_io::openDirectory(tmp.path().c_str())};
    const Fd second{tmd_io::openDirectory(tmp.path().c_str())};
    ASSERT_TRUE(tmd_io::lockDirectory(first.fd));
    EXPECT_FALSE(tmd_io::lockDirectory(second.fd));
    EXPECT_EQ(errno, EWOULDBLOCK);
    close(first.fd);
    first.fd = -1;
    EXPECT_TRUE(tmd_io::lockDirectory(second.fd));
    EXPECT_TRUE(est::listDir(tmp.path()).empty());
}

// Runs in a death-test child: an output is half written in `dir`, whose path
// is then taken away, when `sig` arrives.
void interruptMidWrite(const std::filesystem::path& dir, bool unnamed, int sig) {
    tmd_io::useUnnamedTemporaries(unnamed);
    const int dirFd = tmd_io::openDirectory(dir.c_str());
    tmd_io::OutputFile out;
    const Bytes data(1000, 3);
    if (!out.create(dirFd, "00000001.app") || !out.write(data.data(), data.size())) std::exit(3);
    close(dirFd);
    std::filesystem::rename(dir, dir.parent_path() / "moved");
    raise(sig);
    std::exit(4);
}

// An interrupted process removes its temporaries, in the directory they were
// made in wherever it has gone, and ends by the signal; after SIGKILL an
// unnamed temporary leaves nothing either.
TEST(OutputFileDeathTest, InterruptLeavesNoTemporary) {
    struct Case {
        bool unnamed;
        int sig;
    };
    for (const Case c : {Case{false, SIGTERM}, Case{false, SIGINT}, Case{false, SIGHUP},
                         Case{true, SIGTERM}, Case{true, SIGKILL}}) {
        SCOPED_TRACE(c.sig);
        tt::TempDir tmp;
        std::filesystem::create_directory(tmp / "out");
        EXPECT_EXIT(interruptMidWrite(tmp / "out", c.unnamed, c.sig),
                    testing::KilledBySignal(c.sig), "");
        EXPECT_TRUE(est::listDir(tmp / "moved").empty());
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
