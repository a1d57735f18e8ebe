// tmd, tmd-inspect --extract and their outputs under attack: links, second
// names, FIFOs, devices and directories planted or swapped under the output
// names in a directory that another user can write, a second run into the
// same directory, and a planted title directory for --extract. Nothing of
// someone else's is ever written through, and a refusal writes nothing.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tool_fixture.h"

namespace tt {
namespace {

namespace fs = std::filesystem;

// Files of someone else's beside the output directory, one per output name:
// what an output must never touch (bytes, mode, owner: another user's when
// the test runs as root).
class Victims {
public:
    explicit Victims(const std::vector<std::string>& names) {
        for (const auto& n : names) {
            writeFile(dir_ / n, "victim " + n);
            chmod((dir_ / n).c_str(), 0600);
            if (geteuid() == 0) {
                EXPECT_EQ(chown((dir_ / n).c_str(), 65534, 65534), 0);
            }
        }
    }
    fs::path operator/(const std::string& n) const { return dir_ / n; }
    void expectUntouched(const std::vector<std::string>& names) const {
        for (const auto& n : names) {
            SCOPED_TRACE(n);
            const std::string text = "victim " + n;
            EXPECT_EQ(readFile(dir_ / n), Bytes(text.begin(), text.end()));
            struct stat st {};
            ASSERT_EQ(lstat((dir_ / n).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u);
            EXPECT_EQ(st.st_uid, geteuid() == 0 ? 65534u : geteuid());
        }
    }

private:
    TempDir dir_;
};

class HostileOutputTest : public ToolTest {
protected:
    void SetUp() override {
        makeContent("c.bin", Bytes(3000, 7));
        // The output directory is another user's, writable by all, as a
        // shared one is.
        ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(dir_.path().c_str(), 65534, 65534), 0);
        }
    }
    // Every output of a -d -a run of title 0x3000000a0 with content 0xa.
    const std::vector<std::string> outputs_{"0000000a.app", "0000000a.hash", "3000000a0.titleKey",
                                            "3000000a0.tmd", "a.cmd"};
    const std::vector<std::string> args_{"-O", "-d",  "-a", "-T", "0x3000000a0", "-n", "c.bin",
                                         "-c", "0xa", "-i", "0"};
};

// A link or a second name of someone's file planted under every output name
// is replaced by the output, never written through.
TEST_F(HostileOutputTest, PlantedLinksAtEveryOutputNameAreReplaced) {
    for (bool hard : {false, true}) {
        SCOPED_TRACE(hard ? "hard links" : "symbolic links");
        const Victims victims(outputs_);
        for (const auto& n : outputs_) {
            if (hard)
                fs::create_hard_link(victims / n, file(n));
            else
                fs::create_symlink(victims / n, file(n));
        }
        auto r = tmd(args_);
        EXPECT_EQ(r.status, 0) << r.err;
        victims.expectUntouched(outputs_);
        for (const auto& n : outputs_) {
            struct stat st {};
            ASSERT_EQ(lstat(file(n).c_str(), &st), 0) << n;
            EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid()) << n;
            fs::remove(file(n));
        }
    }
}

// A link swapped in and out under an output name while tmd runs changes
// nothing either (a short race, well under a second).
TEST_F(HostileOutputTest, RacedLinkSwapsChangeNothing) {
    const std::vector<std::string> names{"3000000a0.titleKey", "3000000a0.tmd"};
    const Victims victims(names);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const fs::path tmpLink = file("swap.lnk");
        for (unsigned i = 0; !stop; ++i) {
            const std::string& n = names[i % names.size()];
            std::error_code ec;
            fs::create_symlink(victims / n, tmpLink, ec);
            fs::rename(tmpLink, file(n), ec);  // atomically over whatever is there
        }
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    int runs = 0;
    while (std::chrono::steady_clock::now() < end) {
        auto r = tmd({"-O", "-T", "0x3000000a0", "-n", "c.bin", "-c", "0xa", "-i", "0"});
        EXPECT_EQ(r.status, 0) << r.err;
        ++runs;
    }
    stop = true;
    swapper.join();
    EXPECT_GT(runs, 0);
    victims.expectUntouched(names);
}

// A directory, FIFO or device (through a link) under any output name ends
// the run before anything is written, with one line and status 1.
TEST_F(HostileOutputTest, SpecialFilesAtAnOutputNameAreRefused) {
    enum Kind { directory, fifo, deviceLink };
    const char* const kinds[] = {"a directory", "a FIFO", "a link to a device"};
    for (Kind kind : {directory, fifo, deviceLink}) {
        for (const auto& n : outputs_) {
            SCOPED_TRACE(n + " " + kinds[kind]);
            if (kind == directory) fs::create_directory(file(n));
            if (kind == fifo) {
                ASSERT_EQ(mkfifo(file(n).c_str(), 0600), 0);
            }
            if (kind == deviceLink) fs::create_symlink("/dev/null", file(n));
            const auto before = std::distance(fs::directory_iterator(dir_.path()), {});
            auto r = tmd(args_);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "file open failed " + n + ": it is " + kinds[kind] +
                                 ", not a regular file; nothing is written\n");
            EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), before)
                << "a refusal wrote files";
            fs::remove(file(n));
        }
    }
}

// While one run writes into a directory, a second run into it ends at once
// with one line and status 1, writing nothing; the first completes.
TEST_F(HostileOutputTest, SecondRunIntoTheSameDirectoryEndsAtOnce) {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(mkfifo(file("pipe").c_str(), 0600), 0);
    RunResult first;
    std::thread firstRun([&] {
        first = tmd({"-O", "-T", "0x3000000b0", "-n", "pipe", "-c", "0xb", "-i", "0"});
    });
    // The first run opens its content only once it holds the directory.
    int feed = -1;
    for (int i = 0; i < 500 && feed < 0; ++i) {
        feed = open(file("pipe").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (feed < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (feed < 0) {
        // Lets a first run that never got as far end.
        const int unblock = open(file("pipe").c_str(), O_RDWR | O_CLOEXEC);
        firstRun.join();
        close(unblock);
        FAIL() << "the first run never read its content: " << first.err;
    }
    const auto before = std::distance(fs::directory_iterator(dir_.path()), {});
    auto second = tmd(args_);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "output directory is in use by another run\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), before);
    EXPECT_EQ(write(feed, "content", 7), 7);
    close(feed);
    firstRun.join();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(fs::is_regular_file(file("3000000b0.tmd")));
}

// --extract makes or opens the title's directory without following a link,
// and refuses one that another user owns; nothing is written anywhere.
TEST_F(HostileOutputTest, ExtractRefusesALinkedOrForeignTitleDirectory) {
    ASSERT_EQ(tmd({"-O", "-T", "0x3000000a0", "-n", "c.bin", "-c", "0xa", "-i", "0"}).status, 0);
    struct Case {
        bool link;
        const char* err;
    };
    for (const Case c :
         {Case{true, "is a symbolic link; --extract does not follow it"},
          Case{false, "belongs to another user; --extract does not write into it"}}) {
        SCOPED_TRACE(c.err);
        if (!c.link && geteuid() != 0) continue;  // only root can give a directory away
        TempDir elsewhere;
        const fs::path title = file("x") / "00000003000000a0";
        fs::create_directories(file("x"));
        if (c.link) fs::create_directory_symlink(elsewhere.path(), title);
        if (!c.link) {
            fs::create_directory(title);
            ASSERT_EQ(chown(title.c_str(), 65534, 65534), 0);
        }
        auto r = run({binDir() + "/tmd-inspect", "--pki", pkiRoot().string(), "--extract", "x",
                      "3000000a0.tmd"},
                     dir_.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "tmd-inspect: x/00000003000000a0 " + std::string(c.err) + "\n");
        EXPECT_TRUE(fs::is_empty(elsewhere.path()));
        if (!c.link) {
            EXPECT_TRUE(fs::is_empty(title));
        }
        fs::remove(title);
    }
}

}  // namespace
}  // namespace tt
