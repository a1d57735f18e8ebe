// Output failures that the basic fault tests leave open: a full device behind
// the title-key and content-record files, standard output that cannot be
// written, and earlier good outputs (TMD, title key, disc-layout hash file)
// that a failed later run must leave intact.

#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "tool_fixture.h"

namespace tt {
namespace {

namespace fs = std::filesystem;

class OutputFaultTest : public ToolTest {
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
    bool devFullUsable() const { return fs::exists("/dev/full"); }
};

// Behind a link to /dev/full every write fails for want of space; the
// failure is reported, never taken for success.
TEST_F(OutputFaultTest, FullDeviceBehindSmallOutputs) {
    if (!devFullUsable()) GTEST_SKIP() << "no /dev/full";
    makeContent("c.bin", Bytes(3000, 7));
    struct Case {
        const char* link;
        std::vector<std::string> extra;
        const char* err;
    };
    const Case cases[] = {
        {"3000000a0.titleKey", {}, "file write failed 3000000a0.titleKey\n"},
        {"a.cmd", {"-a"}, "file write failed a.cmd\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        fs::create_symlink("/dev/full", file(c.link));
        std::vector<std::string> args{"-O", "-T", "0x3000000a0", "-n", "c.bin", "-c", "0xa", "-i", "0"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        auto r = tmd(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_TRUE(fs::is_symlink(file(c.link)));
        fs::remove(file(c.link));
        for (auto n : {"0000000a.app", "3000000a0.titleKey", "3000000a0.tmd"}) fs::remove(file(n));
    }
}

// The dump's report is the product of a -a run: if it cannot be written the
// run fails, whatever the verification said.
TEST_F(OutputFaultTest, ReportToFullStandardOutput) {
    if (!devFullUsable()) GTEST_SKIP() << "no /dev/full";
    makeContent("c.bin", Bytes(3000, 7));
    auto r = tmdVia(0, "/dev/full", {"-O", "-T", "0x3000000b0", "-n", "c.bin", "-c", "1", "-i", "0", "-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error writing standard output\n");
}

// A run that fails while writing replaces nothing: the files of an earlier
// good run of the same title stay byte for byte.
TEST_F(OutputFaultTest, EarlierGoodOutputsSurviveAFailedRun) {
    std::mt19937_64 rng(11);
    makeContent("c.bin", randomBytes(rng, 60000));
    makeContent("empty.bin", {});
    struct Case {
        const char* name;
        std::vector<std::string> args;
        size_t limit;
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        // The TMD (556 bytes with two contents) exceeds the limit.
        {"tmd",
         {"-O", "-T", "0x3000000c0", "-n", "empty.bin,empty.bin", "-c", "1,2", "-i", "0,1"},
         100,
         {"3000000c0.tmd"}},
        // An empty content leaves only the 16-byte title key to fail.
        {"titleKey", {"-O", "-T", "0x3000000c1", "-n", "empty.bin", "-c", "3", "-i", "0"}, 10,
         {"3000000c1.titleKey", "00000003.app"}},
        // The disc layout fails on its first block; its hash file and the
        // content file of the good run are untouched.
        {"disc", {"-O", "-T", "0x3000000c2", "-n", "c.bin", "-c", "4", "-i", "0", "-d"}, 40000,
         {"00000004.app", "00000004.hash", "3000000c2.tmd", "3000000c2.titleKey"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto good = tmd(c.args);
        ASSERT_EQ(good.status, 0) << good.err;
        std::vector<Bytes> before;
        for (const auto& k : c.kept) before.push_back(readFile(file(k)));

        // The second run differs (another title version), so a partial
        // replacement would show.
        std::vector<std::string> again = c.args;
        again.insert(again.end(), {"-m", "9"});
        auto r = tmdVia(c.limit, "", again);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_FALSE(r.err.empty());
        for (size_t i = 0; i < c.kept.size(); ++i) EXPECT_EQ(readFile(file(c.kept[i])), before[i]) << c.kept[i];
        for (const auto& e : fs::directory_iterator(dir_.path()))
            EXPECT_NE(e.path().filename().string()[0], '.') << "temporary left behind: " << e.path();
    }
}

}  // namespace
}  // namespace tt
