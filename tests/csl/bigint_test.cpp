#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "csl/integer_math.h"
#include "test_support.h"

namespace {

using Digits = std::vector<bigint_digit>;

// "-" is the empty number; otherwise 8 hex characters per digit, most
// significant first.
Digits parse(const std::string& tok) {
    Digits d;
    if (tok == "-") return d;
    const size_t n = tok.size() / 8;
    d.resize(n);
    for (size_t i = 0; i < n; ++i)
        d[n - 1 - i] = static_cast<bigint_digit>(std::stoul(tok.substr(8 * i, 8), nullptr, 16));
    return d;
}

std::string hex(const Digits& d) {
    if (d.empty()) return "-";
    std::string s;
    char buf[9];
    for (size_t i = d.size(); i-- > 0;) {
        std::snprintf(buf, sizeof buf, "%08x", d[i]);
        s += buf;
    }
    return s;
}

int count(const Digits& d) { return static_cast<int>(d.size()); }

// Checks every case the reference script produced against the library.
TEST(BigintReference, AgainstPythonIntegers) {
    const auto res = tt::run({tt::pythonPath(), tt::scriptsDir() + "/bigint_vectors.py", "1209"});
    ASSERT_EQ(res.status, 0) << res.err;
    std::istringstream in(res.out);
    std::string line;
    std::map<std::string, int> seen;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string op;
        ls >> op;
        std::vector<Digits> v;
        for (std::string tok; ls >> tok;) v.push_back(parse(tok));
        ++seen[op];
        SCOPED_TRACE(line.substr(0, 200));
        if (op == "add" || op == "sub") {
            const int n = count(v[0]);
            Digits a(static_cast<size_t>(n));
            const bigint_digit carry = op == "add" ? bigint_add(a.data(), v[0].data(), v[1].data(), n)
                                                   : bigint_sub(a.data(), v[0].data(), v[1].data(), n);
            ASSERT_EQ(hex(a), hex(v[2]));
            ASSERT_EQ(carry, v[3][0]);
            // In place, result over the first operand.
            Digits b = v[0];
            if (op == "add") bigint_add(b.data(), b.data(), v[1].data(), n);
            else bigint_sub(b.data(), b.data(), v[1].data(), n);
            ASSERT_EQ(hex(b), hex(v[2]));
        } else if (op == "mul") {
            const int n = count(v[0]);
            Digits a(static_cast<size_t>(2 * n), 0xDEADBEEF);
            bigint_mult(a.data(), v[0].data(), v[1].data(), n);
            ASSERT_EQ(hex(a), hex(v[2]));
        } else if (op == "shl" || op == "shr") {
            const int n = count(v[0]);
            const int bits = static_cast<int>(v[1][0]);
            Digits a = v[0];
            const bigint_digit out = op == "shl" ? bigint_left_shift(a.data(), a.data(), bits, n)
                                                 : bigint_right_shift(a.data(), a.data(), bits, n);
            ASSERT_EQ(hex(a), hex(v[2]));
            ASSERT_EQ(out, v[3][0]);
        } else if (op == "ddiv") {
            bigint_digit q = 0;
            bigint_digit_div(&q, v[0].data(), v[1][0]);
            ASSERT_EQ(q, v[2][0]);
        } else if (op == "div") {
            const int cn = count(v[0]), dn = count(v[1]);
            Digits q(static_cast<size_t>(cn), 0xA5A5A5A5), r(static_cast<size_t>(dn), 0x5A5A5A5A);
            bigint_div(q.data(), r.data(), v[0].data(), cn, v[1].data(), dn);
            ASSERT_EQ(hex(q), hex(v[2]));
            ASSERT_EQ(hex(r), hex(v[3]));
            Digits r2(static_cast<size_t>(dn));
            bigint_mod(r2.data(), v[0].data(), cn, v[1].data(), dn);
            ASSERT_EQ(hex(r2), hex(v[3]));
        } else if (op == "mmul") {
            const int n = count(v[0]);
            Digits a = v[0];
            bigint_mod_mult(a.data(), a.data(), v[1].data(), v[2].data(), n);
            ASSERT_EQ(hex(a), hex(v[3]));
        } else if (op == "exp") {
            const int n = count(v[0]);
            Digits a(static_cast<size_t>(n));
            bigint_mod_exp(a.data(), v[0].data(), v[1].data(), count(v[1]), v[2].data(), n);
            ASSERT_EQ(hex(a), hex(v[3]));
        } else if (op == "inv") {
            const int n = count(v[0]);
            Digits a(static_cast<size_t>(n));
            bigint_mod_inv(a.data(), v[0].data(), v[1].data(), n);
            ASSERT_EQ(hex(a), hex(v[2]));
        } else {
            FAIL() << "unknown case " << op;
        }
    }
    for (const char* op : {"add", "sub", "mul", "shl", "shr", "ddiv", "div", "mmul", "exp", "inv"})
        EXPECT_GT(seen[op], 10) << op;
}

TEST(BigintDigit, MultAndSubBorrowAtExtremes) {
    bigint_digit out[2];
    bigint_digit_mult(out, 0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_EQ(out[0], 1u);
    EXPECT_EQ(out[1], 0xFFFFFFFEu);

    // 0 - 0xFFFFFFFF * 0xFFFFFFFF over one digit: borrow digit is the high
    // half plus the borrow of the low subtraction.
    const bigint_digit b = 0, d = 0xFFFFFFFFu;
    bigint_digit a = 7;
    EXPECT_EQ(bigint_sub_digit_mult(&a, &b, 0xFFFFFFFFu, &d, 1), 0xFFFFFFFFu);
    EXPECT_EQ(a, 0xFFFFFFFFu);

    // x = 0 leaves the target unwritten.
    a = 7;
    EXPECT_EQ(bigint_add_digit_mult(&a, &b, 0, &d, 1), 0u);
    EXPECT_EQ(bigint_sub_digit_mult(&a, &b, 0, &d, 1), 0u);
    EXPECT_EQ(a, 7u);

    for (auto [x, bits] : {std::pair{0u, 0}, {1u, 1}, {0x80000000u, 32}, {0xFFFFu, 16}})
        EXPECT_EQ(bigint_digit_bits(x), bits) << x;
}

TEST(BigintWhole, CompareAndCounts) {
    const bigint_digit a[3] = {5, 0, 9}, b[3] = {6, 0, 9}, z[3] = {0, 0, 0};
    EXPECT_EQ(bigint_cmp(a, a, 3), 0);
    EXPECT_EQ(bigint_cmp(a, b, 3), -1);
    EXPECT_EQ(bigint_cmp(b, a, 3), 1);
    EXPECT_EQ(bigint_digits(a, 3), 3);
    EXPECT_EQ(bigint_digits(a, 2), 1);
    EXPECT_EQ(bigint_digits(z, 3), 0);
    EXPECT_EQ(bigint_iszero(z, 3), 1);
    EXPECT_EQ(bigint_iszero(a, 1), 0);
}

TEST(BigintWhole, ShiftsOfWholeDigitsWriteNothing) {
    bigint_digit a[2] = {1, 2};
    const bigint_digit b[2] = {3, 4};
    EXPECT_EQ(bigint_left_shift(a, b, 32, 2), 0u);
    EXPECT_EQ(bigint_right_shift(a, b, 40, 2), 0u);
    EXPECT_EQ(a[0], 1u);
    EXPECT_EQ(a[1], 2u);
}

TEST(BigintDiv, ZeroDivisorAndShortDividend) {
    const bigint_digit c[3] = {1, 2, 3};
    const bigint_digit zero[2] = {0, 0};
    bigint_digit q[3] = {9, 9, 9}, r[2] = {8, 8};
    bigint_div(q, r, c, 3, zero, 2);
    EXPECT_EQ(q[0], 9u);
    EXPECT_EQ(r[0], 8u);
    EXPECT_EQ(r[1], 8u);

    // bigint_mod gives a defined 0 rather than whatever was in r.
    bigint_mod(r, c, 3, zero, 2);
    EXPECT_EQ(r[0], 0u);
    EXPECT_EQ(r[1], 0u);

    // A dividend with fewer digits than the divisor: q = 0, r = c.
    const bigint_digit d[3] = {0, 0, 1};
    bigint_digit q2[2] = {9, 9}, r2[3] = {7, 7, 7};
    bigint_div(q2, r2, c, 2, d, 3);
    EXPECT_EQ(q2[0], 0u);
    EXPECT_EQ(q2[1], 0u);
    EXPECT_EQ(r2[0], 1u);
    EXPECT_EQ(r2[1], 2u);
    EXPECT_EQ(r2[2], 0u);
}

TEST(BigintModExp, ExponentZeroAndRepeatedMultiplication) {
    const bigint_digit d[2] = {0x12345679u, 0x9ABCDEF0u};
    const bigint_digit b[2] = {0xCAFEBABEu, 0x01234567u};
    const bigint_digit zero[2] = {0, 0};
    bigint_digit a[2];
    bigint_mod_exp(a, b, zero, 2, d, 2);
    EXPECT_EQ(a[0], 1u);
    EXPECT_EQ(a[1], 0u);

    // b^(2^32 + 5) by repeated multiplication, with a two-digit exponent.
    const bigint_digit e[2] = {5, 1};
    bigint_digit want[2] = {1, 0};
    bigint_digit p[2] = {b[0], b[1]};
    for (int i = 0; i < 32; ++i) bigint_mod_mult(p, p, p, d, 2);  // b^(2^32)
    bigint_mod_mult(want, want, p, d, 2);
    for (int i = 0; i < 5; ++i) bigint_mod_mult(want, want, b, d, 2);
    bigint_mod_exp(a, b, e, 2, d, 2);
    EXPECT_EQ(a[0], want[0]);
    EXPECT_EQ(a[1], want[1]);
}

TEST(BigintModInv, SmallCase) {
    const bigint_digit b = 3, c = 7;
    bigint_digit a = 0;
    bigint_mod_inv(&a, &b, &c, 1);
    EXPECT_EQ(a, 5u);
}

TEST(OctetStrings, I2ospAndOs2ip) {
    const bigint_digit one[1] = {1};
    uint8_t out4[4];
    I2OSP(out4, 4, one, 1);
    EXPECT_EQ(tt::toHex(out4, 4), "00000001");

    const bigint_digit five[2] = {0x02030405u, 0x01u};
    I2OSP(out4, 4, five, 2);  // excess high byte dropped
    EXPECT_EQ(tt::toHex(out4, 4), "02030405");
    uint8_t out10[10];
    I2OSP(out10, 10, five, 2);
    EXPECT_EQ(tt::toHex(out10, 10), "00000000000102030405");

    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    bigint_digit d1[1];
    OS2IP(d1, 1, bytes, 5);
    EXPECT_EQ(d1[0], 0x02030405u);
    bigint_digit d3[3] = {9, 9, 9};
    OS2IP(d3, 3, bytes, 5);
    EXPECT_EQ(d3[0], 0x02030405u);
    EXPECT_EQ(d3[1], 1u);
    EXPECT_EQ(d3[2], 0u);
    const uint8_t odd[3] = {0xAB, 0xCD, 0xEF};
    OS2IP(d1, 1, odd, 3);
    EXPECT_EQ(d1[0], 0x00ABCDEFu);
}

}  // namespace
