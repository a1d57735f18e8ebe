// Output failures of tmd: a full disk (a file-size limit with SIGXFSZ
// ignored) and an interrupted run. Each ends with a message and status 1
// (or the signal), never 0; no truncated file is left under an output's
// name, and a good file from an earlier run survives. What stands under an
// output's name is tested with the hostile outputs.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "tool_fixture.h"

namespace tt {
namespace {

class FaultTest : public ToolTest {
protected:
    // Runs tmd with every file it writes limited to limitBytes.
    RunResult tmdLimited(size_t limitBytes, const std::vector<std::string>& args) {
        std::string cmd = "trap '' XFSZ; exec prlimit --fsize=" + std::to_string(limitBytes) + " \"$0\" \"$@\"";
        std::vector<std::string> argv{"sh", "-c", cmd, binDir() + "/tmd"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, dir_.path(),
                   {"KESSARIVON_SDK_ROOT=" + pkiRoot().string(), "ROOT"});
    }

    // Nothing but the named files (and the inputs) may be in the directory.
    void expectNoTemporaries() {
        for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
            const std::string n = e.path().filename().string();
            EXPECT_NE(n[0], '.') << "temporary left behind: " << n;
        }
    }
};

TEST_F(FaultTest, FullDiskWhileWritingContent) {
    std::mt19937_64 rng(5);
    const Bytes data = randomBytes(rng, 200000);
    makeContent("c.bin", data);
    for (bool disc : {false, true}) {
        SCOPED_TRACE(disc ? "disc" : "plain");
        std::vector<std::string> args{"-O", "-T", "0x300000050", "-n", "c.bin", "-c", "1", "-i", "0"};
        if (disc) args.push_back("-d");
        auto good = tmd(args);
        ASSERT_EQ(good.status, 0) << good.err;
        const Bytes app = readFile(file("00000001.app"));
        std::filesystem::remove(file("300000050.tmd"));

        // A second content of a new title fails half-way; the earlier .app stays whole.
        auto r = tmdLimited(100000, args);
        EXPECT_EQ(r.status, 1);
        // The disc layout reports the short write itself and ends the run there.
        EXPECT_NE(r.err.find(disc ? "Error: write failed (" : "c.bin encryption failed\n"), std::string::npos)
            << r.err;
        EXPECT_EQ(readFile(file("00000001.app")), app);
        EXPECT_FALSE(std::filesystem::exists(file("300000050.tmd")));
        expectNoTemporaries();
    }
}

TEST_F(FaultTest, FullDiskWhileWritingSmallOutputs) {
    makeContent("empty.bin", {});
    makeContent("sixteen.bin", Bytes(16, 3));
    struct Case {
        size_t limit;
        const char* content;
        const char* err;
    };
    const Case cases[] = {
        {10, "empty.bin", "file write failed 300000060.titleKey\n"},
        {100, "sixteen.bin", "file write failed 300000060.tmd\n"},
    };
    for (const auto& c : cases) {
        auto r = tmdLimited(c.limit, {"-O", "-T", "0x300000060", "-n", c.content, "-c", "1", "-i", "0"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(std::filesystem::exists(file("300000060.tmd")));
        expectNoTemporaries();
    }
}

// A run stopped while it writes a content (read from a pipe that stays
// open): SIGTERM removes the temporary and ends tmd by that signal; SIGKILL
// leaves nothing either, the temporary having no name.
TEST_F(FaultTest, InterruptedRunLeavesNoTemporary) {
    signal(SIGPIPE, SIG_IGN);
    const std::string dir = dir_.path().string();
    for (const char* layout : {"-O", "-d"}) {
        for (int sig : {SIGTERM, SIGKILL}) {
            SCOPED_TRACE(std::string(layout) + " signal " + std::to_string(sig));
            ASSERT_EQ(mkfifo(file("pipe").c_str(), 0600), 0);
            const std::string tmdPath = binDir() + "/tmd", env = "KESSARIVON_SDK_ROOT=" + pkiRoot().string();
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                const int null = open("/dev/null", O_WRONLY);
                dup2(null, 1);
                dup2(null, 2);
                if (chdir(dir.c_str()) != 0 || putenv(const_cast<char*>(env.c_str())) != 0) _exit(126);
                execl(tmdPath.c_str(), "tmd", "-O", layout, "-T", "0x0001000100000002", "-n", "pipe", "-c",
                      "1", "-i", "0", static_cast<char*>(nullptr));
                _exit(127);
            }
            const int feed = open(file("pipe").c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(feed, 0);
            const Bytes part(100000, 7);
            EXPECT_EQ(write(feed, part.data(), part.size()), static_cast<ssize_t>(part.size()));
            // Waits until tmd holds its output open: a descriptor on a file
            // in the directory other than the pipe.
            const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
            bool writing = false;
            for (int i = 0; i < 1000 && !writing; ++i) {
                std::error_code ec;
                for (const auto& e : std::filesystem::directory_iterator(fds, ec)) {
                    const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
                    writing |= target.rfind(dir + "/", 0) == 0 && target != dir + "/pipe";
                }
                if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            EXPECT_TRUE(writing);
            kill(pid, sig);
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            close(feed);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
            std::filesystem::remove(file("pipe"));
            EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
        }
    }
}

}  // namespace
}  // namespace tt
