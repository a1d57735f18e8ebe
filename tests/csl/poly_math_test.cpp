// GF(2^233) arithmetic against a slow bit-by-bit reference written here.
#include <gtest/gtest.h>

#include <array>
#include <bitset>
#include <random>
#include <vector>

#include "csl/poly_math.h"
#include "gf2m/gf2m_internal.h"
#include "implementations.h"

namespace {

using Fe = std::array<uint32_t, 8>;
using Dbl = std::array<uint32_t, 15>;
using Bits = std::bitset<512>;

Bits toBits(const uint32_t* w, int words) {
    Bits b;
    for (int i = 0; i < words; ++i)
        for (int j = 0; j < 32; ++j)
            if ((w[i] >> j) & 1u) b.set(32 * (words - 1 - i) + j);
    return b;
}

template <size_t N>
std::array<uint32_t, N> fromBits(const Bits& b) {
    std::array<uint32_t, N> w{};
    for (size_t i = 0; i < N; ++i)
        for (int j = 0; j < 32; ++j)
            if (b.test(32 * (N - 1 - i) + j)) w[i] |= 1u << j;
    return w;
}

// Reduction one bit at a time, from the top: x^i = x^(i-159) + x^(i-233).
Bits refReduce(Bits v) {
    for (int i = 511; i >= 233; --i) {
        if (!v.test(i)) continue;
        v.reset(i);
        v.flip(i - 233 + 74);
        v.flip(i - 233);
    }
    return v;
}

Fe refMul(const Fe& a, const Fe& b) {
    const Bits A = toBits(a.data(), 8), B = toBits(b.data(), 8);
    Bits acc;
    for (int i = 0; i < 256; ++i)
        if (A.test(i)) acc ^= B << i;
    return fromBits<8>(refReduce(acc));
}

// a^(2^233 - 2) = a^-1, by square-and-multiply on the reference multiply.
Fe refInv(const Fe& a) {
    Fe result{0, 0, 0, 0, 0, 0, 0, 1};
    Fe base = a;
    for (int bit = 1; bit < 233; ++bit) {  // exponent bits 1..232 are all set
        base = refMul(base, base);
        result = refMul(result, base);
    }
    return result;
}

Fe randomElement(std::mt19937_64& rng) {
    Fe e;
    for (auto& w : e) w = static_cast<uint32_t>(rng());
    e[0] &= 0x1FF;
    return e;
}

Fe power(int j) {
    Fe e{};
    e[7 - j / 32] = 1u << (j % 32);
    return e;
}

Fe one() { return power(0); }

Fe mul(const Fe& a, const Fe& b) {
    Fe out;
    poly_mul(a.data(), b.data(), out.data());
    return out;
}

Fe inv(const Fe& a) {
    Fe out;
    poly_inv(a.data(), out.data());
    return out;
}

bool reduced(const Fe& e) { return e[0] <= 0x1FF; }

TEST(PolyMath, KnownValues) {
    // x^232 * x = x^233 = x^74 + 1
    EXPECT_EQ(mul(power(232), power(1)), (Fe{0, 0, 0, 0, 0, 0x400, 0, 1}));
    EXPECT_EQ(inv(one()), one());
    // x^-1 = x^232 + x^73, since x * (x^232 + x^73) = f - 1 + ... = 1
    const Fe xInv{0x100, 0, 0, 0, 0, 0x200, 0, 0};
    EXPECT_EQ(inv(power(1)), xInv);
    Fe c;
    cus_times_u_to_n(one().data(), 1, c.data());
    EXPECT_EQ(c, xInv);

    Fe r = one();
    poly_rot_right(r.data());
    EXPECT_EQ(r, power(232));
    poly_rot_right(r.data());
    EXPECT_EQ(r, power(231));
}

TEST(PolyMath, MultiplyMatchesReference) {
    std::mt19937_64 rng(1);
    for (int i = 0; i < 300; ++i) {
        const Fe a = randomElement(rng), b = randomElement(rng);
        const Fe p = mul(a, b);
        ASSERT_EQ(p, refMul(a, b)) << i;
        ASSERT_TRUE(reduced(p));
        ASSERT_EQ(mul(a, a), refMul(a, a)) << i;
    }
    const Fe a = randomElement(rng);
    EXPECT_EQ(mul(a, one()), a);
    EXPECT_EQ(mul(a, Fe{}), Fe{});
}

// Every multiplier by name ("clmul", "pmull", "portable"), each with the
// dispatch restricted to it.
class MultiplierImplementation : public tt::ImplementationTest {};

TEST_P(MultiplierImplementation, MatchesReference) {
    ASSERT_STREQ(csl_gf2m::chosen().name, GetParam().name.c_str());
    std::mt19937_64 rng(8);
    for (int i = 0; i < 200; ++i) {
        Fe a = randomElement(rng), b = randomElement(rng);
        if (i == 0) a = b = Fe{0x1FF, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u};
        Fe p, sq, unreduced = a;
        poly_mul(a.data(), b.data(), p.data());
        ASSERT_EQ(p, refMul(a, b)) << i;
        poly_mul(a.data(), a.data(), sq.data());
        ASSERT_EQ(sq, refMul(a, a)) << i;
        // Aliased output, and an operand above 2^233.
        poly_mul(a.data(), b.data(), a.data());
        ASSERT_EQ(a, p);
        unreduced[0] |= 0xFE00;
        const Fe r = fromBits<8>(refReduce(toBits(unreduced.data(), 8)));
        poly_mul(unreduced.data(), b.data(), p.data());
        ASSERT_EQ(p, refMul(r, b)) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(ByName, MultiplierImplementation,
                         ::testing::ValuesIn(tt::implCases(csl_gf2m::implementations())),
                         tt::implCaseName);

TEST(PolyMath, SquareTableAgreesWithComb) {
    std::mt19937_64 rng(2);
    for (int i = 0; i < 200; ++i) {
        Fe a = randomElement(rng);
        if (i == 0) a = Fe{0x1FF, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u};
        Dbl s, m;
        poly_sqr(a.data(), s.data());
        poly_mul_partial(a.data(), a.data(), m.data());
        ASSERT_EQ(s, m) << i;
    }
}

TEST(PolyMath, InverseOfEveryPowerAndRandomElements) {
    for (int j = 0; j < 233; ++j) {
        const Fe a = power(j);
        const Fe ai = inv(a);
        ASSERT_TRUE(reduced(ai)) << j;
        ASSERT_EQ(mul(a, ai), one()) << j;
    }
    std::mt19937_64 rng(3);
    for (int i = 0; i < 300; ++i) {
        const Fe a = randomElement(rng);
        if (a == Fe{}) continue;
        const Fe ai = inv(a);
        ASSERT_EQ(mul(a, ai), one()) << i;
        if (i < 4) {
            ASSERT_EQ(ai, refInv(a)) << i;
        }
        // Output may overwrite the input; the variable-time inverse agrees.
        Fe inPlace = a;
        poly_inv(inPlace.data(), inPlace.data());
        ASSERT_EQ(inPlace, ai);
        Fe fast;
        poly_inv_vartime(a.data(), fast.data());
        ASSERT_EQ(fast, ai);
    }
}

TEST(PolyMath, InputsWithoutInverseEndAndGiveZero) {
    // Zero and multiples of f (which are zero modulo f) have no inverse;
    // they must not keep the inversion looping.
    const Fe f{0x200, 0, 0, 0, 0, 0x400, 0, 1};
    Fe twoF{0x400, 0, 0, 0, 0, 0x800, 0, 2};
    EXPECT_EQ(inv(Fe{}), Fe{});
    EXPECT_EQ(inv(f), Fe{});
    EXPECT_EQ(inv(twoF), Fe{});
}

TEST(PolyMath, UnreducedOperandsAreReducedFirst) {
    std::mt19937_64 rng(4);
    const Fe f{0x200, 0, 0, 0, 0, 0x400, 0, 1};
    for (int i = 0; i < 50; ++i) {
        const Fe a = randomElement(rng), b = randomElement(rng);
        Fe big;
        for (int w = 0; w < 8; ++w) big[w] = static_cast<uint32_t>(rng());
        big[0] |= 0x8000;  // well above 2^233
        const Bits br = refReduce(toBits(big.data(), 8));
        const Fe bigReduced = fromBits<8>(br);
        EXPECT_EQ(mul(big, b), mul(bigReduced, b));
        EXPECT_EQ(mul(big, big), mul(bigReduced, bigReduced));
        Fe aPlusF;
        for (int w = 0; w < 8; ++w) aPlusF[w] = a[w] ^ f[w];
        if (a != Fe{}) {
            EXPECT_EQ(inv(aPlusF), inv(a));
        }
        Fe c;
        cus_times_u_to_n(big.data(), 7, c.data());
        EXPECT_TRUE(reduced(c));
        EXPECT_EQ(mul(c, power(7)), bigReduced);
    }
}

TEST(PolyMath, DivisionByPowersOfX) {
    for (int j = 0; j <= 232; ++j) {
        Fe c;
        cus_times_u_to_n(power(j).data(), static_cast<unsigned>(j), c.data());
        ASSERT_EQ(c, one()) << j;
    }
    std::mt19937_64 rng(5);
    for (unsigned n : {0u, 1u, 9u, 31u, 32u, 33u, 64u, 100u, 233u, 300u, 465u}) {
        const Fe p = randomElement(rng);
        Fe c;
        cus_times_u_to_n(p.data(), n, c.data());
        ASSERT_TRUE(reduced(c));
        // Multiply back by x^n one factor at a time.
        Fe back = c;
        for (unsigned i = 0; i < n; ++i) back = mul(back, power(1));
        ASSERT_EQ(back, p) << n;
    }
}

TEST(PolyMath, DoubleWidthShiftsAndMasks) {
    std::mt19937_64 rng(6);
    Dbl d;
    for (auto& w : d) w = static_cast<uint32_t>(rng());
    const Bits all = toBits(d.data(), 15);
    for (unsigned n : {0u, 1u, 4u, 31u, 32u, 33u, 64u, 159u, 233u, 448u, 479u, 480u, 600u}) {
        Dbl l = d, r = d;
        multiply_shift_n(l.data(), n);
        divide_shift_n(r.data(), n);
        Bits mask;
        for (int i = 0; i < 480; ++i) mask.set(i);
        const Bits wantL = n >= 480 ? Bits{} : ((all << n) & mask);
        const Bits wantR = n >= 480 ? Bits{} : (all >> n);
        EXPECT_EQ(toBits(l.data(), 15), wantL) << n;
        EXPECT_EQ(toBits(r.data(), 15), wantR) << n;
    }
    Dbl one1 = d;
    multiply_shift(one1.data());
    Dbl oneN = d;
    multiply_shift_n(oneN.data(), 1);
    EXPECT_EQ(one1, oneN);

    Dbl m, ex, zeroed = d;
    for (auto& w : m) w = static_cast<uint32_t>(rng());
    extract_masked_bits(d.data(), m.data(), ex.data());
    zero_masked_bits(zeroed.data(), m.data());
    Dbl sum;
    double_add(ex.data(), zeroed.data(), sum.data());
    EXPECT_EQ(sum, d);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(ex[i] & zeroed[i], 0u);
}

TEST(PolyMath, FoldOfHighBitsKeepsTheResidue) {
    // Folding the bits at and above x^233 of a product, repeated until none
    // are left, gives the reduced product.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20; ++i) {
        const Fe a = randomElement(rng), b = randomElement(rng);
        Dbl prod;
        poly_mul_partial(a.data(), b.data(), prod.data());
        Bits maskBits;
        for (int bit = 233; bit < 480; ++bit) maskBits.set(bit);
        const Dbl mask = fromBits<15>(maskBits);
        for (int round = 0; round < 4; ++round) shift_and_add(prod.data(), mask.data());
        Fe low;
        double_to_single(prod.data(), low.data());
        for (int w = 0; w < 7; ++w) ASSERT_EQ(prod[w], 0u);
        ASSERT_EQ(low, mul(a, b)) << i;
    }
}

}  // namespace
