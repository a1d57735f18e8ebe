#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "es/tmd.h"
#include "test_support.h"

namespace {

using tt::Bytes;

struct Built {
    Bytes tmd;
    int32_t result;
};

std::unique_ptr<TmdParams> sampleParams(uint16_t numContents) {
    auto p = std::make_unique<TmdParams>();
    std::memset(p.get(), 0, sizeof *p);
    p->titleId = 0x0001000100000002ull;
    p->titleType = 0x11223344;
    p->groupId = 0xABCD;
    for (int i = 0; i < 62; ++i) p->reserved[i] = static_cast<uint8_t>(0xC0 + i);
    p->titleVersion = 0x0102;
    p->numContents = numContents;
    for (uint16_t i = 0; i < numContents; ++i)
        p->contents[i] = ContentParams{0x10u + i, i, static_cast<uint16_t>(i % 2 ? 0x8001 : 1),
                                       0x0000000123456789ull + i};
    return p;
}

Built build(const TmdParams& p, const char* name, const char* issuer, uint8_t fill = 0) {
    std::vector<std::array<uint8_t, 20>> hashes(std::max<size_t>(p.numContents, 1));
    for (size_t i = 0; i < hashes.size(); ++i) hashes[i].fill(static_cast<uint8_t>(i + 1));
    Built b;
    b.tmd.assign(ES_GetTmdSize(p.numContents) + 8, fill);
    b.result = ES_GenerateUnsignedTmd(
        &p, 3, 4, 0x0000000100000038ull, 0xDEADBEEF, 1,
        reinterpret_cast<const uint8_t(*)[20]>(hashes.data()), name, issuer, b.tmd.data());
    return b;
}

TEST(TmdSize, IsHeaderPlusRecords) {
    const std::pair<uint16_t, uint32_t> cases[] = {
        {0, 484}, {1, 520}, {512, 18916}, {65535, 2359744}};
    for (auto [n, size] : cases) EXPECT_EQ(ES_GetTmdSize(n), size) << n;
}

TEST(UnsignedTmd, FieldsAreBigEndianAtTheirOffsets) {
    auto p = sampleParams(2);
    Built b = build(*p, "CP00000004", "Root-CA00000003");
    ASSERT_EQ(b.result, 0);
    const uint8_t* t = b.tmd.data();
    EXPECT_EQ(tt::toHex(t, 4), "00010001");
    EXPECT_EQ(Bytes(t + 4, t + 0x140), Bytes(0x13C, 0));  // signature and fill
    EXPECT_STREQ(reinterpret_cast<const char*>(t + 0x140), "Root-CA00000003-CP00000004");
    EXPECT_EQ(tt::toHex(t + 0x180, 4), "00030400");
    EXPECT_EQ(tt::toHex(t + 0x184, 8), "0000000100000038");
    EXPECT_EQ(tt::toHex(t + 0x18C, 8), "0001000100000002");
    EXPECT_EQ(tt::toHex(t + 0x194, 4), "11223344");
    EXPECT_EQ(tt::toHex(t + 0x198, 2), "abcd");
    EXPECT_EQ(Bytes(t + 0x19A, t + 0x1D8), Bytes(p->reserved, p->reserved + 62));
    EXPECT_EQ(tt::toHex(t + 0x1D8, 4), "deadbeef");
    EXPECT_EQ(tt::toHex(t + 0x1DC, 8), "0102000200010000");
    EXPECT_EQ(tt::toHex(t + 0x1E4, 16), "00000010000000010000000123456789");
    EXPECT_EQ(Bytes(t + 0x1E4 + 16, t + 0x1E4 + 36), Bytes(20, 1));
    EXPECT_EQ(tt::toHex(t + 0x1E4 + 36, 16), "0000001100018001000000012345678a");
    EXPECT_EQ(Bytes(t + 0x1E4 + 52, t + 0x1E4 + 72), Bytes(20, 2));
    // Nothing is written past the TMD.
    EXPECT_EQ(Bytes(b.tmd.end() - 8, b.tmd.end()), Bytes(8, 0));
}

TEST(UnsignedTmd, OldBufferContentsDoNotSurvive) {
    auto p = sampleParams(3);
    Built zero = build(*p, "B", "A", 0x00);
    Built ff = build(*p, "B", "A", 0xFF);
    ASSERT_EQ(ff.result, 0);
    const size_t size = ES_GetTmdSize(3);
    EXPECT_EQ(Bytes(zero.tmd.begin(), zero.tmd.begin() + size), Bytes(ff.tmd.begin(), ff.tmd.begin() + size));
    EXPECT_EQ(ff.tmd[size], 0xFF);
    Bytes issuer(zero.tmd.begin() + 0x140, zero.tmd.begin() + 0x180);
    Bytes expect(64, 0);
    std::memcpy(expect.data(), "A-B", 3);
    EXPECT_EQ(issuer, expect);
}

TEST(UnsignedTmd, EmptyContentListStillCarriesBootIndex) {
    auto p = sampleParams(0);
    Built b = build(*p, "B", "A");
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(tt::toHex(b.tmd.data() + 0x1DE, 6), "000000010000");
    EXPECT_EQ(Bytes(b.tmd.begin() + 484, b.tmd.end()), Bytes(8, 0));
}

// The issuer field holds 63 characters and its NUL; longer compositions are
// cut, and names that fill their 64-byte certificate field without a NUL are
// not read past it.
TEST(UnsignedTmd, IssuerNeverLeavesItsField) {
    struct Case {
        size_t issuerLen, nameLen;
        bool fits;
    };
    const Case cases[] = {{1, 1, true}, {31, 31, true}, {32, 31, false}, {62, 0, true},
                          {63, 63, false}, {64, 64, false}};
    auto p = sampleParams(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.issuerLen) + "+" + std::to_string(c.nameLen));
        // Unterminated 64-byte fields followed by a marker that must not be read.
        char issuer[72], name[72];
        std::memset(issuer, 'I', sizeof issuer);
        std::memset(name, 'N', sizeof name);
        issuer[std::min<size_t>(c.issuerLen, 71)] = 0;
        name[std::min<size_t>(c.nameLen, 71)] = 0;
        if (c.issuerLen == 64) std::memset(issuer + 64, 'X', 8);
        if (c.nameLen == 64) std::memset(name + 64, 'X', 8);
        EXPECT_EQ(ES_TmdIssuerFits(name, issuer), c.fits);
        Built b = build(*p, name, issuer);
        ASSERT_EQ(b.result, 0);
        std::string field(reinterpret_cast<const char*>(b.tmd.data() + 0x140), 64);
        std::string want = std::string(std::min<size_t>(c.issuerLen, 64), 'I') + "-" +
                           std::string(std::min<size_t>(c.nameLen, 64), 'N');
        want.resize(63);
        EXPECT_EQ(field.substr(0, 63).find('X'), std::string::npos);
        EXPECT_EQ(field.c_str(), want.substr(0, want.find('\0')));
        EXPECT_EQ(field[63], '\0');
        EXPECT_EQ(b.tmd[0x180], 0);  // the version right after the field
    }
}

TEST(UnsignedTmd, RefusesArgumentsItCannotUse) {
    auto p = sampleParams(1);
    uint8_t hash[1][20] = {};
    std::vector<uint8_t> tmd(ES_GetTmdSize(1));
    EXPECT_EQ(ES_GenerateUnsignedTmd(nullptr, 0, 0, 0, 0, 0, hash, "B", "A", tmd.data()), ES_ERR_INVALID);
    EXPECT_EQ(ES_GenerateUnsignedTmd(p.get(), 0, 0, 0, 0, 0, hash, "B", "A", nullptr), ES_ERR_INVALID);
    EXPECT_EQ(ES_GenerateUnsignedTmd(p.get(), 0, 0, 0, 0, 0, nullptr, "B", "A", tmd.data()), ES_ERR_INVALID);
    p->numContents = ES_MAX_CONTENTS + 1;
    EXPECT_EQ(ES_GenerateUnsignedTmd(p.get(), 0, 0, 0, 0, 0, hash, "B", "A", tmd.data()), ES_ERR_INVALID);
}

}  // namespace
