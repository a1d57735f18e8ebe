// Output failures of tmd: a full disk (a file-size limit with SIGXFSZ
// ignored), standard output that cannot be written, and a run stopped
// half-way. Each ends with a message and a failing status; no truncated file
// is left under an output's name, and a good file from an earlier run
// survives. What stands under an output's name (links, devices, directories)
// is in the hostile output tests.

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
    // Runs tmd through a shell, with every file limited to limitBytes
    // (0: no limit) and standard output sent to stdoutPath (empty: captured).
    RunResult tmdVia(size_t limitBytes, const std::string& stdoutPath, const std::vector<std::string>& args) {
        std::string cmd = "trap '' XFSZ; ";
        if (!stdoutPath.empty()) cmd += "exec >" + stdoutPath + "; ";
        cmd += limitBytes ? "exec prlimit --fsize=" + std::to_string(limitBytes) + " \"$0\" \"$@\""
                          : "exec \"$0\" \"$@\"";
        std::vector<std::string> argv{"sh", "-c", cmd, binDir() + "/tmd"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, dir_.path(), {"KESSARIVON_SDK_ROOT=" + pkiRoot().string(), "ROOT"});
    }
    bool devFullUsable() const { return std::filesystem::exists("/dev/full"); }

    // Nothing but the named files (and the inputs) may be in the directory.
    void expectNoTemporaries() {
        for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
            const std::string n = e.path().filename().string();
            EXPECT_NE(n[0], '.') << "temporary left behind: " << n;
        }
    }
};

// A run that fails for a full disk while it writes any of its outputs ends
// with its message and replaces nothing: the files of an earlier good run of
// the same title stay byte for byte.
TEST_F(FaultTest, FullDiskKeepsEveryEarlierOutput) {
    std::mt19937_64 rng(11);
    makeContent("c.bin", randomBytes(rng, 60000));
    makeContent("empty.bin", {});
    struct Case {
        const char* name;
        std::vector<std::string> args;
        size_t limit;
        const char* err;
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        {"plain content", {"-O", "-T", "0x300000050", "-n", "c.bin", "-c", "1", "-i", "0"}, 30000,
         "c.bin encryption failed\n", {"00000001.app", "300000050.titleKey", "300000050.tmd"}},
        // The disc layout reports the short write itself and ends the run
        // there; its hash file is untouched too.
        {"disc content", {"-O", "-T", "0x3000000c2", "-n", "c.bin", "-c", "4", "-i", "0", "-d"}, 40000,
         "Error: write failed (", {"00000004.app", "00000004.hash", "3000000c2.tmd", "3000000c2.titleKey"}},
        // An empty content leaves only the 16-byte title key to fail.
        {"titleKey", {"-O", "-T", "0x3000000c1", "-n", "empty.bin", "-c", "3", "-i", "0"}, 10,
         "file write failed 3000000c1.titleKey\n", {"3000000c1.titleKey", "00000003.app"}},
        // The TMD (556 bytes with two contents) exceeds the limit.
        {"tmd", {"-O", "-T", "0x3000000c0", "-n", "empty.bin,empty.bin", "-c", "1,2", "-i", "0,1"}, 100,
         "file write failed 3000000c0.tmd\n", {"3000000c0.tmd"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto good = tmdVia(0, "", c.args);
        ASSERT_EQ(good.status, 0) << good.err;
        std::vector<Bytes> before;
        for (const auto& k : c.kept) before.push_back(readFile(file(k)));

        // The second run differs (another title version), so a partial
        // replacement would show.
        std::vector<std::string> again = c.args;
        again.insert(again.end(), {"-m", "9"});
        auto r = tmdVia(c.limit, "", again);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        for (size_t i = 0; i < c.kept.size(); ++i) EXPECT_EQ(readFile(file(c.kept[i])), before[i]) << c.kept[i];
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

// The dump's report is the product of a -a run: if it cannot be written the
// run fails, whatever the verification said.
TEST_F(FaultTest, ReportToFullStandardOutput) {
    if (!devFullUsable()) GTEST_SKIP() << "no /dev/full";
    makeContent("c.bin", Bytes(3000, 7));
    auto r = tmdVia(0, "/dev/full", {"-O", "-T", "0x3000000b0", "-n", "c.bin", "-c", "1", "-i", "0", "-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error writing standard output\n");
}

}  // namespace
}  // namespace tt
