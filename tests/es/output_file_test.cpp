// The write helpers under the content outputs: whole writes in bounded
// pieces, and direct I/O that falls back to the page cache when the system
// turns a write down.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "output_file.h"
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
    const Bytes data = tt::randomBytes(rng, 3 * es_detail::kWritePieceBytes + 777);
    const size_t half = data.size() / 2;
    EXPECT_EQ(es_detail::pwriteFully(f.fd, data.data() + half, data.size() - half, half),
              data.size() - half);
    EXPECT_EQ(es_detail::pwriteFully(f.fd, data.data(), half, 0, 100), half);
    EXPECT_EQ(tt::readFile(tmp / "out.bin"), data);
}

TEST(OutputFileWrites, DirectIoFallsBackForUnalignedWrites) {
    tt::TempDir tmp;
    Fd f{open((tmp / "out.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600)};
    ASSERT_GE(f.fd, 0);
    if (!es_detail::setDirectIo(f.fd, true)) GTEST_SKIP() << "no direct I/O on this file system";
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
    EXPECT_EQ(es_detail::pwriteMaybeDirect(f.fd, buf.get(), kLen, 0, &direct), kLen);
    EXPECT_TRUE(direct);
    // A buffer or length the device cannot take: the same bytes arrive
    // through the page cache, and direct I/O stays off for the file.
    const size_t odd = kAlign - 5;
    EXPECT_EQ(es_detail::pwriteMaybeDirect(f.fd, buf.get() + kLen + 1, odd - 1, kLen, &direct),
              odd - 1);
    EXPECT_FALSE(direct);
    EXPECT_FALSE(directIsOn(f.fd));
    EXPECT_EQ(es_detail::pwriteMaybeDirect(f.fd, buf.get() + 3, 5, kLen + odd - 1, &direct), 5u);

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
    const es_detail::IoBuffer buf = es_detail::allocateIoBuffer(es_detail::kLargePageBytes);
    ASSERT_TRUE(buf);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(buf.get()) % es_detail::kLargePageBytes, 0u);
    std::mt19937_64 rng(13);
    const Bytes data = tt::randomBytes(rng, es_detail::kLargePageBytes);
    std::copy(data.begin(), data.end(), buf.get());

    constexpr size_t kHead = 4096, kPiece = 256 << 10, kTail = 4096 + 48;
    es_detail::OutputFile out;
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

}  // namespace
