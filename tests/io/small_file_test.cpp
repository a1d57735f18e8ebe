// The small-file reader every program and utilFread use: whole regular files
// within a limit, prefixes of anything but a directory, and never a wait on
// a pipe nobody writes.
#include "io/small_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

namespace {

using tmd_io::ReadStatus;

TEST(SmallFile, WholeAndPrefixReads) {
    tt::TempDir dir;
    const tt::Bytes ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    tt::writeFile(dir / "ten", ten);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        std::string name;
        size_t limit;  // whole: the limit; prefix: the length
        bool whole;
        ReadStatus want;
        size_t bytes;
    } cases[] = {
        {"ten", 10, true, ReadStatus::ok, 10},         {"ten", 9, true, ReadStatus::tooLarge, 0},
        {"missing", 10, true, ReadStatus::missing, 0}, {"", 10, true, ReadStatus::notRegular, 0},
        {"fifo", 10, true, ReadStatus::notRegular, 0}, {"ten", 4, false, ReadStatus::ok, 4},
        {"ten", 11, false, ReadStatus::tooShort, 0},   {"", 1, false, ReadStatus::notRegular, 0},
        {"missing", 1, false, ReadStatus::missing, 0},
    };
    for (const auto& c : cases) {
        const std::string path = (dir / c.name).string();
        SCOPED_TRACE(path + (c.whole ? " whole" : " prefix"));
        tt::Bytes got(c.whole ? 3 : c.limit, 0xEE);
        const tmd_io::ReadResult r =
            c.whole ? tmd_io::readSmallFile(path.c_str(), c.limit, got)
                    : tmd_io::readFilePrefix(path.c_str(), got.data(), c.limit);
        EXPECT_EQ(r.status, c.want);
        if (c.want == ReadStatus::ok) {
            EXPECT_EQ(got, tt::Bytes(ten.begin(), ten.begin() + static_cast<long>(c.bytes)));
        } else if (c.whole) {
            EXPECT_TRUE(got.empty());
        }
        if (c.want == ReadStatus::tooLarge) {
            EXPECT_EQ(r.size, 10u);
        }
    }
}

}  // namespace
