// Point arithmetic and scalar multiplication on sect233r1, checked against
// group laws, NIST key-pair vectors and Python's cryptography package.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "csl/elliptic_math.h"
#include "test_support.h"

namespace {

using Fe = std::array<uint32_t, 8>;

// Group order of the base point.
const Fe kOrder{0x00000100, 0x00000000, 0x00000000, 0x00000000,
                0x0013E974, 0xE72F8A69, 0x22031D26, 0x03CFE0D7};

Fe feFromHex(const std::string& hex) {
    Fe e{};
    int bit = 0;
    for (auto it = hex.rbegin(); it != hex.rend(); ++it, bit += 4) {
        const char c = *it;
        const uint32_t v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        e[7 - bit / 32] |= v << (bit % 32);
    }
    return e;
}

std::string feToHex(const uint32_t* e) {
    char buf[80];
    std::string s;
    for (int i = 0; i < 8; ++i) {
        snprintf(buf, sizeof buf, "%08x", e[i]);
        s += buf;
    }
    const auto nz = s.find_first_not_of('0');
    return nz == std::string::npos ? "0" : s.substr(nz);
}

ec_point point(const std::string& x, const std::string& y) {
    ec_point p;
    const Fe fx = feFromHex(x), fy = feFromHex(y);
    std::copy(fx.begin(), fx.end(), p.x);
    std::copy(fy.begin(), fy.end(), p.y);
    return p;
}

bool same(const ec_point& a, const ec_point& b) {
    return std::equal(a.x, a.x + 8, b.x) && std::equal(a.y, a.y + 8, b.y);
}

bool isInfinity(const ec_point& p) { return poly_elliptic_is_infinity(&p); }

ec_point add(const ec_point& a, const ec_point& b) {
    ec_point r;
    poly_elliptic_sum(&a, &b, &r, &named_curve);
    return r;
}

ec_point dbl(const ec_point& a) {
    ec_point r;
    poly_elliptic_double(&a, &r, &named_curve);
    return r;
}

ec_point neg(const ec_point& a) {
    ec_point r = a;
    for (int i = 0; i < 8; ++i) r.y[i] ^= a.x[i];
    return r;
}

ec_point mulSlow(const Fe& k, const ec_point& p) {
    ec_point r;
    poly_elliptic_mul_slow(k.data(), &p, &r, &named_curve);
    return r;
}

ec_point mulFour(const Fe& k) {
    ec_point r;
    poly_elliptic_mul_four(k.data(), &named_point, &r, &named_curve);
    return r;
}

Fe randomScalar(std::mt19937_64& rng, int bits) {
    Fe k;
    for (auto& w : k) w = static_cast<uint32_t>(rng());
    for (int b = bits; b < 256; ++b) k[7 - b / 32] &= ~(1u << (b % 32));
    return k;
}

// sqrt(b) = b^(2^232): the x = 0 point of order two is (0, sqrt(b)).
ec_point orderTwoPoint() {
    ec_point p{};
    poly_copy(named_curve.b, p.y);
    for (int i = 0; i < 232; ++i) poly_mul(p.y, p.y, p.y);
    return p;
}

TEST(Elliptic, GroupLaws) {
    const ec_point G = named_point;
    const ec_point O{};
    const ec_point G2 = dbl(G);
    EXPECT_TRUE(same(add(O, G), G));
    EXPECT_TRUE(same(add(G, O), G));
    EXPECT_TRUE(isInfinity(add(G, neg(G))));
    EXPECT_TRUE(same(add(G, G), G2));
    ec_point r;
    poly_elliptic_sub(&G, &G, &r, &named_curve);
    EXPECT_TRUE(isInfinity(r));
    poly_elliptic_sub(&G2, &G, &r, &named_curve);
    EXPECT_TRUE(same(r, G));
    EXPECT_TRUE(isInfinity(dbl(O)));

    const ec_point T = orderTwoPoint();
    EXPECT_TRUE(poly_elliptic_on_curve(&T, &named_curve));
    EXPECT_TRUE(isInfinity(dbl(T)));
    // Associativity on a few multiples.
    const ec_point G3 = add(G2, G);
    EXPECT_TRUE(same(add(G3, G2), add(G2, G3)));
    EXPECT_TRUE(same(add(add(G3, G2), G), add(G3, add(G2, G))));
    EXPECT_TRUE(poly_elliptic_on_curve(&G3, &named_curve));
}

TEST(Elliptic, NafMultiplicationSmallScalarsAndOrder) {
    const ec_point G = named_point;
    EXPECT_TRUE(isInfinity(mulSlow(Fe{}, G)));
    ec_point acc{};
    for (uint32_t k = 1; k <= 40; ++k) {
        acc = add(acc, G);
        ASSERT_TRUE(same(mulSlow(Fe{0, 0, 0, 0, 0, 0, 0, k}, G), acc)) << k;
    }
    EXPECT_TRUE(isInfinity(mulSlow(kOrder, G)));
    EXPECT_TRUE(isInfinity(mulFour(kOrder)));
    Fe nPlus1 = kOrder;
    nPlus1[7] += 1;
    EXPECT_TRUE(same(mulSlow(nPlus1, G), G));
}

TEST(Elliptic, BuiltInCombTableIsTheTableOfG) {
    comb4_table t;
    do_precompute_four(&named_point, t, &named_curve);
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(same(t[i], precomputed_bp[i])) << i;
    EXPECT_TRUE(isInfinity(precomputed_bp[0]));
    EXPECT_TRUE(same(precomputed_bp[1], named_point));
    ec_point p = named_point;
    for (int i = 0; i < 64; ++i) p = dbl(p);
    EXPECT_TRUE(same(precomputed_bp[2], p));
}

TEST(Elliptic, NistKeyPairs) {
    const std::string path = tt::vectorsDir() + "/asymmetric/ECDSA/FIPS_186-2/KeyPair.rsp";
    TT_NEED_VECTOR_FILE(path);
    std::ifstream f(path);
    ASSERT_TRUE(f);
    bool inSection = false;
    std::string line, d, qx;
    int checked = 0;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("[", 0) == 0) inSection = line == "[B-233]";
        if (!inSection) continue;
        if (line.rfind("d = ", 0) == 0) d = line.substr(4);
        if (line.rfind("Qx = ", 0) == 0) qx = line.substr(5);
        if (line.rfind("Qy = ", 0) == 0) {
            const ec_point want = point(qx, line.substr(5));
            const Fe k = feFromHex(d);
            EXPECT_TRUE(same(mulFour(k), want)) << d;
            EXPECT_TRUE(same(mulSlow(k, named_point), want)) << d;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 10);
}

TEST(Elliptic, AllMultiplicationsAgreeWithReference) {
    std::mt19937_64 rng(11);
    // Base-point multiples over the full scalar range, including the values
    // whose recoding carries past the top bit.
    std::vector<Fe> scalars;
    Fe allOnes233{0x1FF, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u};
    Fe allOnes256;
    allOnes256.fill(~0u);
    scalars.push_back(allOnes233);
    scalars.push_back(allOnes256);
    for (int i = 0; i < 8; ++i) scalars.push_back(randomScalar(rng, 233));
    for (int i = 0; i < 6; ++i) scalars.push_back(randomScalar(rng, 256));
    for (int i = 0; i < 3; ++i) scalars.push_back(randomScalar(rng, 40));

    std::string cmds;
    for (const auto& k : scalars) cmds += "mul " + feToHex(k.data()) + "\n";
    const auto lines = tt::pythonScriptLines("ecc_reference.py", cmds);
    ASSERT_EQ(lines.size(), scalars.size());

    comb4_table tableG;
    do_precompute_four(&named_point, tableG, &named_curve);
    for (size_t i = 0; i < scalars.size(); ++i) {
        const auto sp = lines[i].find(' ');
        const ec_point want = point(lines[i].substr(0, sp), lines[i].substr(sp + 1));
        const Fe& k = scalars[i];
        EXPECT_TRUE(same(mulFour(k), want)) << i;
        EXPECT_TRUE(same(mulSlow(k, named_point), want)) << i;
        ec_point r;
        poly_elliptic_mul_precomputed(k.data(), tableG, &r, &named_curve);
        EXPECT_TRUE(same(r, want)) << i;
        poly_elliptic_mul(k.data(), &named_point, &r, &named_curve);
        EXPECT_TRUE(same(r, want)) << i;
    }
}

TEST(Elliptic, MultiplesOfAnotherPointAgree) {
    // The peer point P = p*G; Python's key agreement gives the x coordinate
    // of k*P for each k.
    std::mt19937_64 rng(12);
    const Fe p = randomScalar(rng, 231);
    const ec_point P = mulSlow(p, named_point);
    ASSERT_TRUE(poly_elliptic_on_curve(&P, &named_curve));
    comb4_table tableP;
    do_precompute_four(&P, tableP, &named_curve);
    EXPECT_TRUE(same(tableP[1], P));

    std::vector<Fe> scalars;
    std::string cmds;
    for (int i = 0; i < 8; ++i) {
        scalars.push_back(randomScalar(rng, 231));
        cmds += "ecdh " + feToHex(scalars.back().data()) + " " + feToHex(P.x) + " " +
                feToHex(P.y) + "\n";
    }
    const auto lines = tt::pythonScriptLines("ecc_reference.py", cmds);
    ASSERT_EQ(lines.size(), scalars.size());
    for (size_t i = 0; i < scalars.size(); ++i) {
        const Fe wantX = feFromHex(lines[i]);
        const ec_point slow = mulSlow(scalars[i], P);
        EXPECT_TRUE(std::equal(slow.x, slow.x + 8, wantX.begin())) << i;
        ec_point r;
        poly_elliptic_mul_precomputed(scalars[i].data(), tableP, &r, &named_curve);
        EXPECT_TRUE(same(r, slow)) << i;
        // Two calls in a row through the cache, then another point, then P.
        poly_elliptic_mul(scalars[i].data(), &P, &r, &named_curve);
        EXPECT_TRUE(same(r, slow)) << i;
        poly_elliptic_mul(scalars[i].data(), &P, &r, &named_curve);
        EXPECT_TRUE(same(r, slow)) << i;
        poly_elliptic_mul(scalars[i].data(), &named_point, &r, &named_curve);
        EXPECT_TRUE(same(r, mulFour(scalars[i]))) << i;
    }
}

TEST(Elliptic, TwoToothCacheIsPerThreadAndFollowsThePoint) {
    // A fresh thread starts with the empty (all 0xFF) cache.
    bool freshWasEmpty = false;
    ec_point signer;
    comb2_table cached;
    std::thread([&] {
        poly_elliptic_cached_table(&signer, cached);
        freshWasEmpty = signer.x[0] == 0xFFFFFFFFu && cached[3].y[7] == 0xFFFFFFFFu;
    }).join();
    EXPECT_TRUE(freshWasEmpty);

    const ec_point P = dbl(named_point);
    const Fe k{0, 0, 0, 0, 0, 0, 3, 5};
    ec_point r;
    poly_elliptic_mul(k.data(), &P, &r, &named_curve);
    poly_elliptic_cached_table(&signer, cached);
    EXPECT_TRUE(same(signer, P));
    comb2_table want;
    do_precompute_two(&P, want, &named_curve);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(same(cached[i], want[i])) << i;
    EXPECT_TRUE(same(r, mulSlow(k, P)));
    // A zero scalar leaves the cache alone.
    poly_elliptic_mul(Fe{}.data(), &named_point, &r, &named_curve);
    EXPECT_TRUE(isInfinity(r));
    poly_elliptic_cached_table(&signer, cached);
    EXPECT_TRUE(same(signer, P));
}

TEST(Elliptic, CombHitsEqualAndOppositePoints) {
    // With table[1] = Q and table[2] = +-2Q, the scalar 2^64 + 2 makes the
    // last step add 2Q to 2Q (a doubling) or -2Q to 2Q (infinity).
    const ec_point Q = mulSlow(Fe{0, 0, 0, 0, 0, 0, 0, 12345}, named_point);
    const ec_point Q2 = dbl(Q);
    comb4_table t{};
    t[1] = Q;
    const Fe k{0, 0, 0, 0, 0, 1, 0, 2};
    ec_point r;
    t[2] = Q2;
    poly_elliptic_mul_precomputed(k.data(), t, &r, &named_curve);
    EXPECT_TRUE(same(r, dbl(Q2)));
    t[2] = neg(Q2);
    poly_elliptic_mul_precomputed(k.data(), t, &r, &named_curve);
    EXPECT_TRUE(isInfinity(r));
    // The point of order two doubles to infinity inside a multiplication too.
    const ec_point T = orderTwoPoint();
    EXPECT_TRUE(isInfinity(mulSlow(Fe{0, 0, 0, 0, 0, 0, 0, 2}, T)));
    EXPECT_TRUE(same(mulSlow(Fe{0, 0, 0, 0, 0, 0, 0, 3}, T), T));
}

TEST(Elliptic, CurveMembership) {
    EXPECT_TRUE(poly_elliptic_on_curve(&named_point, &named_curve));
    ec_point bad = named_point;
    bad.y[7] ^= 1;
    EXPECT_FALSE(poly_elliptic_on_curve(&bad, &named_curve));
    ec_point unreduced = named_point;
    unreduced.x[0] |= 0x200;
    EXPECT_FALSE(poly_elliptic_on_curve(&unreduced, &named_curve));
    const ec_point O{};
    EXPECT_FALSE(poly_elliptic_on_curve(&O, &named_curve));
    ec_point ones;
    std::fill(ones.x, ones.x + 8, ~0u);
    std::fill(ones.y, ones.y + 8, ~0u);
    EXPECT_FALSE(poly_elliptic_on_curve(&ones, &named_curve));
}

TEST(Elliptic, ArbitraryInputPointsEndQuickly) {
    // Unvalidated points, even with coordinates of 2^233 or more, run
    // through every multiplication without hanging.
    std::mt19937_64 rng(13);
    for (int i = 0; i < 4; ++i) {
        ec_point p;
        for (auto& w : p.x) w = static_cast<uint32_t>(rng());
        for (auto& w : p.y) w = static_cast<uint32_t>(rng());
        const Fe k = randomScalar(rng, 233);
        ec_point r;
        poly_elliptic_mul_slow(k.data(), &p, &r, &named_curve);
        poly_elliptic_mul(k.data(), &p, &r, &named_curve);
        comb4_table t;
        do_precompute_four(&p, t, &named_curve);
        poly_elliptic_mul_precomputed(k.data(), t, &r, &named_curve);
    }
}

TEST(Elliptic, MultiplicationsUseOnlyTheCurvesA) {
    // The multiplications must give what the affine formulas (which use a
    // only) give, with a record carrying another b and for a point that is
    // not on the record's curve; the reference is affine double-and-add.
    std::mt19937_64 rng(14);
    ec_curve otherB = named_curve;
    otherB.b[7] ^= 0x12345;
    ec_point offCurve = mulSlow(randomScalar(rng, 200), named_point);
    offCurve.y[7] ^= 1;
    struct Case {
        const ec_curve* curve;
        ec_point P;
    };
    for (const Case& c : {Case{&otherB, named_point}, Case{&named_curve, offCurve},
                          Case{&otherB, offCurve}}) {
        for (const Fe& k : {randomScalar(rng, 233), randomScalar(rng, 256)}) {
            ec_point want{};
            for (int bit = 255; bit >= 0; --bit) {
                ec_point t;
                poly_elliptic_double(&want, &t, c.curve);
                want = t;
                if ((k[7 - bit / 32] >> (bit % 32)) & 1) poly_elliptic_sum(&t, &c.P, &want, c.curve);
            }
            ec_point r;
            poly_elliptic_mul_slow(k.data(), &c.P, &r, c.curve);
            EXPECT_TRUE(same(r, want));
            poly_elliptic_mul_vartime(k.data(), &c.P, &r, c.curve);
            EXPECT_TRUE(same(r, want));
            poly_elliptic_mul(k.data(), &c.P, &r, c.curve);
            EXPECT_TRUE(same(r, want));
            comb4_table t;
            do_precompute_four(&c.P, t, c.curve);
            poly_elliptic_mul_precomputed(k.data(), t, &r, c.curve);
            EXPECT_TRUE(same(r, want));
            if (same(c.P, named_point)) {
                poly_elliptic_mul_four(k.data(), &named_point, &r, c.curve);
                EXPECT_TRUE(same(r, want));
            }
        }
    }
}

TEST(Elliptic, PrimeSubgroupByTrace) {
    // G and its multiples lie in the subgroup of order n; adding the point of
    // order two leaves it.
    const ec_point T = orderTwoPoint();
    std::mt19937_64 rng(15);
    for (int i = 0; i < 8; ++i) {
        const ec_point P = mulSlow(randomScalar(rng, 233), named_point);
        EXPECT_TRUE(poly_elliptic_in_prime_subgroup(&P)) << i;
        const ec_point PT = add(P, T);
        EXPECT_FALSE(poly_elliptic_in_prime_subgroup(&PT)) << i;
    }
    EXPECT_FALSE(poly_elliptic_in_prime_subgroup(&T));
}

}  // namespace
