#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "test_support.h"
#include "util/utils.h"

namespace fs = std::filesystem;
using testing::Eq;
using testing::ExitedWithCode;

namespace {

tt::Bytes pattern(size_t n, uint8_t seed) {
    tt::Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs in the death-test child: the file-size limit makes the write fail
// part way, as a full disk would.
void writeUnderSizeLimit(const std::string& path, const tt::Bytes& data) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    utilFwrite(path.c_str(), data.data(), static_cast<uint32_t>(data.size()));
}

// In a child, as a user bound by permissions: a read-only file is refused.
void writeReadOnly(const std::string& path, const tt::Bytes& data) {
    if (geteuid() == 0 && setuid(65534) != 0) std::exit(3);
    utilFwrite(path.c_str(), data.data(), static_cast<uint32_t>(data.size()));
    std::exit(0);
}

// Also in a child: without the right to add files to the directory (dropping
// root first, which is not bound by permissions), then reports success.
void rewriteWithoutDirectoryWrite(const std::string& path, const tt::Bytes& data) {
    if (geteuid() == 0 && setuid(65534) != 0) std::exit(3);
    utilFwrite(path.c_str(), data.data(), static_cast<uint32_t>(data.size()));
    std::exit(0);
}

}  // namespace

TEST(FileRead, ReadsRequestedPrefix) {
    tt::TempDir dir;
    const auto path = dir / "in.bin";
    const tt::Bytes content = pattern(10, 1);
    tt::writeFile(path, content);

    for (uint32_t length : {0u, 4u, 10u}) {
        tt::Bytes buf(16, 0xEE);
        utilFread(path.c_str(), buf.data(), length);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + length, content.begin())) << length;
        EXPECT_EQ(buf[length], 0xEE) << "wrote past the requested length " << length;
    }
}

TEST(FileReadDeathTest, FailuresEndTheProcess) {
    tt::TempDir dir;
    const std::string file = (dir / "ten.bin").string();
    tt::writeFile(file, pattern(10, 2));
    const std::string missing = (dir / "missing.bin").string();
    const std::string directory = dir.path().string();

    struct Case {
        std::string path;
        uint32_t length;
        std::string message;
    };
    const Case cases[] = {
        {file, 11, "file read failed " + file + "\n"},
        {missing, 1, "file open failed " + missing + "\n"},
        {directory, 1, "file read failed " + directory + "\n"},
    };
    for (const auto& c : cases) {
        uint8_t buf[16];
        EXPECT_EXIT(utilFread(c.path.c_str(), buf, c.length), ExitedWithCode(1), Eq(c.message))
            << c.path;
    }
}

TEST(FileWrite, ReplacesWholeContentAndCreatesEmptyFile) {
    tt::TempDir dir;
    const auto path = dir / "out.bin";
    const tt::Bytes big = pattern(100, 3), small = pattern(5, 4);
    utilFwrite(path.c_str(), big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_EQ(tt::readFile(path), big);
    utilFwrite(path.c_str(), small.data(), static_cast<uint32_t>(small.size()));
    EXPECT_EQ(tt::readFile(path), small);

    const auto empty = dir / "empty.bin";
    utilFwrite(empty.c_str(), nullptr, 0);
    EXPECT_TRUE(fs::is_regular_file(empty));
    EXPECT_EQ(fs::file_size(empty), 0u);

    // No temporary is left behind.
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"empty.bin", "out.bin"}));
}

TEST(FileWrite, RelativePathGoesToCurrentDirectory) {
    tt::TempDir dir;
    const auto previous = fs::current_path();
    fs::current_path(dir.path());
    const tt::Bytes data = pattern(7, 5);
    utilFwrite("rel.bin", data.data(), 7);
    fs::current_path(previous);
    EXPECT_EQ(tt::readFile(dir / "rel.bin"), data);
}

TEST(FileWrite, PermissionsMatchTruncatingOpen) {
    tt::TempDir dir;
    const tt::Bytes data = pattern(8, 6);
    const mode_t previous = umask(027);
    const auto fresh = dir / "fresh.bin";
    utilFwrite(fresh.c_str(), data.data(), 8);
    umask(previous);
    struct stat st {};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // An existing file keeps its own mode, as it would when truncated.
    const auto existing = dir / "existing.bin";
    tt::writeFile(existing, pattern(3, 7));
    ASSERT_EQ(chmod(existing.c_str(), 0604), 0);
    utilFwrite(existing.c_str(), data.data(), 8);
    ASSERT_EQ(stat(existing.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(tt::readFile(existing), data);
}

// A link or a second name under the path is replaced, never written
// through: what it led to keeps its bytes; a device the path reaches,
// through a link too, is written as named.
TEST(FileWrite, LinksAtThePathAreReplacedNotFollowed) {
    enum Setup { symlink, hardLink, deviceLink };
    for (Setup setup : {symlink, hardLink, deviceLink}) {
        SCOPED_TRACE(setup);
        tt::TempDir dir;
        const auto other = dir / "other.bin";
        const auto path = dir / "out.bin";
        const tt::Bytes old = pattern(4, 8), data = pattern(9, 9);
        tt::writeFile(other, old);
        if (setup == symlink) fs::create_symlink("other.bin", path);
        if (setup == hardLink) fs::create_hard_link(other, path);
        if (setup == deviceLink) fs::create_symlink("/dev/null", path);
        utilFwrite(path.c_str(), data.data(), 9);
        EXPECT_EQ(tt::readFile(other), old);
        if (setup == deviceLink) {
            EXPECT_TRUE(fs::is_symlink(path));
            continue;
        }
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        EXPECT_EQ(tt::readFile(path), data);
    }
}

TEST(FileWrite, DeviceIsWrittenNotReplaced) {
    const tt::Bytes data = pattern(4, 10);
    utilFwrite("/dev/null", data.data(), 4);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST(FileWriteDeathTest, FailuresEndTheProcess) {
    tt::TempDir dir;
    const std::string noDir = (dir / "no-such-dir" / "out.bin").string();
    const std::string isDir = dir.path().string();
    const tt::Bytes data = pattern(10, 11);
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {noDir, "file open failed " + noDir + "\n"},
        {isDir, "file open failed " + isDir + "\n"},
        {isDir + "/", "file open failed " + isDir + "/\n"},
        // Small enough to sit in the stream buffer: only the flush at close
        // can notice the device is full.
        {"/dev/full", "file write failed /dev/full\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(utilFwrite(c.path.c_str(), data.data(), 10), ExitedWithCode(1),
                    Eq(c.message))
            << c.path;
    }
    EXPECT_TRUE(fs::is_directory(isDir));
}

TEST(FileWriteDeathTest, FailedWriteKeepsEarlierFile) {
    tt::TempDir dir;
    const auto path = dir / "out.bin";
    const tt::Bytes good = pattern(50, 12);
    tt::writeFile(path, good);
    const tt::Bytes large = pattern(5000, 13);

    EXPECT_EXIT(
        writeUnderSizeLimit(path.string(), large),
        ExitedWithCode(1), Eq("file write failed " + path.string() + "\n"));

    EXPECT_EQ(tt::readFile(path), good);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"out.bin"});

    // The same failure with no earlier file leaves nothing under the name.
    const auto fresh = dir / "fresh.bin";
    EXPECT_EXIT(
        writeUnderSizeLimit(fresh.string(), large),
        ExitedWithCode(1), Eq("file write failed " + fresh.string() + "\n"));
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"out.bin"});
}

TEST(FileWriteDeathTest, ExistingFileInLockedDirectoryIsRewrittenInPlace) {
    tt::TempDir dir;
    const auto path = dir / "out.bin";
    tt::writeFile(path, pattern(30, 14));
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    const tt::Bytes data = pattern(12, 15);
    EXPECT_EXIT(rewriteWithoutDirectoryWrite(path.string(), data), ExitedWithCode(0), Eq(""));
    EXPECT_EQ(tt::readFile(path), data);
}

TEST(FileWriteDeathTest, ReadOnlyFileIsRefused) {
    tt::TempDir dir;
    const auto path = dir / "locked.bin";
    const tt::Bytes before = pattern(30, 18);
    tt::writeFile(path, before);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    EXPECT_EXIT(writeReadOnly(path.string(), pattern(5, 19)), ExitedWithCode(1),
                Eq("file open failed " + path.string() + "\n"));
    EXPECT_EQ(tt::readFile(path), before);
}
