// Command-line validation of tmd: every rejected command line ends with its
// one message on standard error and status 1, before any file is written.

#include <filesystem>
#include <string>
#include <vector>

#include "tool/common/options.h"
#include "tool/common/version.h"
#include "tool_fixture.h"

namespace tt {
namespace {

const std::string T = "0x0001000100000002";

struct CliCase {
    const char* name;
    std::vector<std::string> args;
    std::string err;  // exact standard error
};

void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

class CliReject : public ToolTest, public ::testing::WithParamInterface<CliCase> {};

TEST_P(CliReject, MessageAndStatus) {
    const auto& c = GetParam();
    auto r = tmd(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path())) << "a rejected command line wrote files";
}

const std::string kIndexMsg =
    "content index has to be zero based and less than the number of contents 2\n";

INSTANTIATE_TEST_SUITE_P(
    Validation, CliReject,
    ::testing::Values(
        CliCase{"NoArguments", {}, ""},
        CliCase{"CreateOnly", {"-O"}, "title ID undefined.\n"},
        CliCase{"NoCreate", {"-T", T, "-n", "a", "-c", "1", "-i", "0"},
                "provide input TMD file using -I or create a new one using -O\n"},
        CliCase{"TitleIdUpperHalfTwo", {"-O", "-T", "0x200000000"}, "incorrect title id\n"},
        CliCase{"TitleIdSmall", {"-O", "-T", "12345"}, "incorrect title id\n"},
        CliCase{"SysVersionLow", {"-O", "-T", T, "-o", "4"}, "incorrect system version\n"},
        CliCase{"SysVersionHigh", {"-O", "-T", T, "-o", "0x200000000"}, "incorrect system version\n"},
        CliCase{"TitleType3", {"-O", "-C", "3"}, "incorrect title type\n"},
        CliCase{"TitleType41", {"-O", "-C", "0x41"}, "incorrect title type\n"},
        CliCase{"GroupOne", {"-O", "-g", "1"}, "incorrect group ID\n"},
        CliCase{"GroupTruncatedToZero", {"-O", "-g", "65536"}, "incorrect group ID\n"},
        CliCase{"FirstFailureOnly", {"-g", "0", "-T", "5"}, "incorrect group ID\n"},
        CliCase{"CountFilesThenIds", {"-n", "a,b", "-c", "1"},
                "incorrect number of contents, numContents=2 n=1\n"},
        CliCase{"CountIdsThenTypes", {"-c", "1,2", "-t", "1"},
                "incorrect number of contents, numContents=2 i=1\n"},
        CliCase{"RepeatedListMustAgree", {"-i", "0,1", "-i", "0"},
                "incorrect number of contents, numContents=2 n=1\n"},
        CliCase{"ContentType2", {"-t", "2"}, "incorrect content type\n"},
        CliCase{"ContentType8000", {"-t", "1,0x8000"}, "incorrect content type\n"},
        CliCase{"BootIndex", {"-O", "-T", T, "-n", "a,b", "-c", "1,2", "-i", "0,1", "-b", "2"},
                "boot content index incorrect bidx=2 numContents=2\n"},
        CliCase{"IndexTooLarge", {"-O", "-T", T, "-n", "a,b", "-c", "1,2", "-i", "1,2"}, kIndexMsg},
        CliCase{"NoIndexZero", {"-O", "-T", T, "-n", "a,b", "-c", "1,2", "-i", "1,1"}, kIndexMsg},
        CliCase{"NeedFiles", {"-O", "-T", T, "-c", "1", "-i", "0"}, "need content files\n"},
        CliCase{"NeedIds", {"-O", "-T", T, "-n", "a", "-i", "0"}, "need content IDs\n"},
        CliCase{"NeedIndex", {"-O", "-T", T, "-n", "a", "-c", "1"}, "need content index\n"},
        CliCase{"NoContents", {"-O", "-T", T}, "number of contents incorrect\n"},
        // Both would be written to 00000010.app, the first one lost.
        CliCase{"DuplicateContentId",
                {"-O", "-a", "-T", T, "-n", "a,b", "-c", "0x10,16", "-i", "0,1"},
                "duplicate content ID 0x00000010\n"},
        CliCase{"ReservedLetterS", {"-O", "-s", "x", "-T", T}, ""},
        CliCase{"ReservedLetterP", {"-O", "-P", "x"}, ""},
        CliCase{"ReservedLetterD", {"-O", "-D", "x"}, ""},
        CliCase{"EmptyList", {"-O", "-n", ""}, "the list of -n holds no item\n"},
        CliCase{"OnlyCommas", {"-O", "-c", ",,,"}, "the list of -c holds no item\n"},
        CliCase{"EmptyImportList", {"-O", "-A", ","}, "the list of -A holds no item\n"},
        CliCase{"ReservedFileMissing", {"-O", "-N", "missing.bin"}, "file open failed missing.bin\n"},
        CliCase{"RecordFileMissing", {"-O", "-A", "x.cmd"}, "file open failed x.cmd\n"},
        // The tool takes no operands; they are refused before the checks
        // that follow the options.
        CliCase{"StrayOperand", {"-O", "-T", T, "-n", "a.bin", "b.bin", "-c", "1", "-i", "0"},
                "unexpected argument 'b.bin'\n"},
        CliCase{"OperandAfterDoubleDash", {"-O", "-T", T, "-n", "a", "-c", "1", "-i", "0", "--", "-x"},
                "unexpected argument '-x'\n"},
        CliCase{"OperandBeforePostParseChecks", {"stray", "-O"}, "unexpected argument 'stray'\n"}),
    [](const auto& p) { return std::string(p.param.name); });

// --version and --help count only as the one argument; anywhere else, and
// any other long form, they are option-parser errors.
TEST_F(ToolTest, UnknownOptionAndMissingArgumentFail) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-O", "-x"}, {"-O", "-T"}, {"-I", "a"}, {"--create"}, {"--version", "-O"}, {"-O", "--help"}}) {
        auto r = tmd(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.find("title ID"), std::string::npos);
        EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
    }
}

TEST_F(ToolTest, VersionAndHelp) {
    auto r = tmd({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("tmd ") + TMD_VERSION + "\n");
    r = tmd({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: tmd -O", 0), 0u) << r.out;
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(ToolTest, TooManyListItemsRefused) {
    std::string list;
    for (int i = 0; i < 513; ++i) {
        if (i) list.push_back(',');
        list.append(std::to_string(i));
    }
    auto r = tmd({"-O", "-T", T, "-c", list});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "too many items in the list of -c (at most 512)\n");

    // Thousands of items and huge numbers are refused just as cleanly.
    std::string big;
    for (int i = 0; i < 5000; ++i) big += "99999999999999999999999,";
    r = tmd({"-O", "-T", T, "-i", big});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("too many items"), std::string::npos);
}

TEST_F(ToolTest, ShortReservedFileRefused) {
    makeContent("short.bin", Bytes(31, 1));
    auto r = tmd({"-O", "-N", "short.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "file read failed short.bin\n");
}

// The key-file paths come from the environment; the first one read (the
// common key) names the path in its failure message.
TEST_F(ToolTest, KeyPathsFromEnvironment) {
    makeContent("a.bin", Bytes(10, 7));
    const std::vector<std::string> args{"-O", "-T", T, "-n", "a.bin", "-c", "1", "-i", "0"};
    struct EnvCase {
        std::vector<std::string> env;
        std::string err;
    };
    const std::vector<EnvCase> cases{
        {{"KESSARIVON_SDK_ROOT=/nonexistent-sdk", "ROOT=/r"},
         "file open failed /nonexistent-sdk/X86/bin/pki_data/common_dpki.aesKey\n"},
        {{"KESSARIVON_SDK_ROOT", "ROOT=/r"}, "file open failed /r/usr/etc/pki_data/common_dpki.aesKey\n"},
        {{"KESSARIVON_SDK_ROOT="}, "file open failed /X86/bin/pki_data/common_dpki.aesKey\n"},
        {{"KESSARIVON_SDK_ROOT", "ROOT"}, "neither KESSARIVON_SDK_ROOT nor ROOT is set\n"},
        {{"KESSARIVON_SDK_ROOT=/" + std::string(4100, 'x')},
         "key file path too long (at most 4095 characters)\n"},
    };
    for (const auto& c : cases) {
        auto r = tmd(args, c.env);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(std::filesystem::exists(file("00000001.app")));
    }
}

TEST(ConvertUnsigned, PlatformRules) {
    struct Case {
        const char* text;
        int bits;
        uint64_t value;
    };
    const Case cases[] = {
        {"010", 32, 8},
        {"0x10", 32, 16},
        {"0X1f", 32, 31},
        {"12abc", 32, 12},
        {"  42", 32, 42},
        {"abc", 32, 0},
        {"", 32, 0},
        {"0x", 32, 0},
        {"09", 32, 0},
        {"-1", 32, 0xFFFFFFFF},
        {"-1", 64, UINT64_MAX},
        {"+7", 32, 7},
        {"4294967295", 32, 0xFFFFFFFF},
        {"4294967296", 32, 0xFFFFFFFF},
        {"99999999999999999999999", 32, 0xFFFFFFFF},
        {"-99999999999999999999999", 32, 0xFFFFFFFF},
        {"0x500000ABC", 64, 0x500000ABCULL},
        {"18446744073709551615", 64, UINT64_MAX},
        {"18446744073709551616", 64, UINT64_MAX},
        {"65538", 32, 65538},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tool::convertUnsigned(c.text, c.bits), c.value) << c.text << " at " << c.bits;
}

}  // namespace
}  // namespace tt
