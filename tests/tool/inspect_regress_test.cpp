// tmd-inspect on a validly signed TMD whose content records claim sizes no
// content file can have: the expected file size must not wrap around to
// match an empty file.

#include <filesystem>
#include <string>

#include "es/tmd.h"
#include "tool_fixture.h"

namespace tt {
namespace {

class InspectRegressTest : public ToolTest {};

TEST_F(InspectRegressTest, ContentSizesThatWrapAreNotVerified) {
    // Records imported with -A are signed as they are; their sizes are
    // whatever the record files say.
    struct Case {
        uint32_t cid;
        uint16_t type;
        uint64_t size;
        Bytes hash;  // the digest an empty content would give
        const char* app;
    };
    const Case cases[] = {
        {0x77, 0, UINT64_MAX, opensslSha1({}), "00000077.app"},
        {0x78, 0, UINT64_MAX - 14, opensslSha1({}), "00000078.app"},
        {0x79, 3, UINT64_MAX, opensslSha1(Bytes(98304, 0)), "00000079.app"},
        {0x7a, 3, UINT64_MAX - 31742, opensslSha1(Bytes(98304, 0)), "0000007a.app"},
    };
    std::string list;
    uint16_t index = 1;
    for (const Case& c : cases) {
        Bytes rec(36, 0);
        es_put_be32(rec.data() + cmd_layout::CID, c.cid);
        es_put_be16(rec.data() + cmd_layout::INDEX, index++);
        es_put_be16(rec.data() + cmd_layout::TYPE, c.type);
        es_put_be64(rec.data() + cmd_layout::SIZE, c.size);
        std::copy(c.hash.begin(), c.hash.end(), rec.begin() + cmd_layout::HASH);
        const std::string name = std::string(c.app) + ".cmd";
        writeFile(file(name), rec);
        list += (list.empty() ? "" : ",") + name;
        writeFile(file(c.app), Bytes{});
        writeFile(file(std::string(c.app).substr(0, 8) + ".hash"), Bytes{});
    }
    makeContent("a.bin", Bytes(100, 1));
    auto made = tmd({"-O", "-T", "0x300000123", "-n", "a.bin", "-c", "0x55", "-i", "0", "-A", list});
    ASSERT_EQ(made.status, 0) << made.err;

    auto r = run({binDir() + "/tmd-inspect", "--pki", pkiDir().string(), "300000123.tmd"}, dir_.path());
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("content 0 (00000055.app): ok\n"), std::string::npos) << r.out;
    for (const Case& c : cases) {
        EXPECT_EQ(r.out.find(std::string(c.app) + ": ok"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(std::string(c.app) + ", disc layout): ok"), std::string::npos) << r.out;
    }
    EXPECT_NE(r.out.find("package does NOT verify\n"), std::string::npos);
}

}  // namespace
}  // namespace tt
