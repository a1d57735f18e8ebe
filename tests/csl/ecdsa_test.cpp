// ECDSA, key agreement and octet forms through the public calls, against
// NIST B-233 vectors (SHA-1) and Python's cryptography package.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "csl/algorithms.h"
#include "csl/convecc.h"
#include "csl/ecc.h"
#include "csl/integer_math.h"
#include "test_support.h"

namespace {

using tt::Bytes;
using Record = std::map<std::string, std::string>;

// Group order, big-endian in 30 bytes.
const Bytes kOrder = tt::fromHex("01000000000000000000000000000013e974e72f8a6922031d2603cfe0d7");

Bytes fixed(const std::string& hex, size_t len) {
    std::string h = hex;
    while (h.size() < 2 * len) h.insert(h.begin(), '0');
    return tt::fromHex(h.substr(h.size() - 2 * len));
}

std::string stripZeros(const std::string& hex) {
    const auto nz = hex.find_first_not_of('0');
    return nz == std::string::npos ? "0" : hex.substr(nz);
}

std::string ecdsaVectors(const std::string& file) {
    return tt::vectorsDir() + "/asymmetric/ECDSA/FIPS_186-2/" + file;
}

std::vector<Record> readSection(const std::string& file, const std::string& section) {
    std::ifstream f(ecdsaVectors(file));
    std::vector<Record> out;
    bool in = false;
    Record cur;
    for (std::string line; std::getline(f, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("[", 0) == 0) {
            if (in && !cur.empty()) out.push_back(cur);
            cur.clear();
            in = line == section;
            continue;
        }
        if (!in) continue;
        const auto eq = line.find(" = ");
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        if (key == "Msg" && !cur.empty()) {
            out.push_back(cur);
            cur.clear();
        }
        cur[key] = line.substr(eq + 3);
    }
    if (in && !cur.empty()) out.push_back(cur);
    return out;
}

Bytes sha1Of(const std::string& msgHex) { return tt::opensslSha1(tt::fromHex(msgHex)); }

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

Bytes publicKeyOf(const Bytes& priv) {
    Bytes pub(60);
    EXPECT_EQ(CSL_GenerateEccPublicKey(priv.data(), pub.data()), 0);
    return pub;
}

Bytes randomPrivateKey(std::mt19937_64& rng) {
    Bytes k = tt::randomBytes(rng, 30);
    k[0] = 0;
    k[1] |= 0x01;  // nonzero and below n
    k[1] &= 0x7F;
    return k;
}

TEST(Ecdsa, NistSignatureVerification) {
    TT_NEED_VECTOR_FILE(ecdsaVectors("SigVer.rsp"));
    const auto recs = readSection("SigVer.rsp", "[B-233]");
    ASSERT_EQ(recs.size(), 15u);
    for (const auto& r : recs) {
        const Bytes digest = sha1Of(r.at("Msg"));
        const Bytes pub = concat(fixed(r.at("Qx"), 30), fixed(r.at("Qy"), 30));
        const Bytes sig = concat(fixed(r.at("R"), 30), fixed(r.at("S"), 30));
        const bool pass = r.at("Result")[0] == 'P';
        EXPECT_EQ(CSL_VerifyEccSig(digest.data(), pub.data(), sig.data()),
                  pass ? CSL_ECC_OK : CSL_ECC_VERIFY_ERROR)
            << r.at("Result");
    }
}

TEST(Ecdsa, NistSignatureGeneration) {
    TT_NEED_VECTOR_FILE(ecdsaVectors("SigGen.txt"));
    TT_NEED_VECTOR_FILE(ecdsaVectors("SigGen.rsp"));
    // Known nonces: the signature must match byte for byte.
    const auto recs = readSection("SigGen.txt", "[B-233]");
    ASSERT_EQ(recs.size(), 15u);
    for (const auto& r : recs) {
        const Bytes digest = sha1Of(r.at("Msg"));
        const Bytes d = fixed(r.at("d"), 30), k = fixed(r.at("k"), 30);
        const Bytes want = concat(fixed(r.at("R"), 30), fixed(r.at("S"), 30));
        Bytes sig(60);
        ASSERT_EQ(CSL_ComputeEccSig(digest.data(), d.data(), sig.data(), k.data()), 0);
        EXPECT_EQ(tt::toHex(sig), tt::toHex(want));
        EXPECT_EQ(tt::toHex(publicKeyOf(d)),
                  tt::toHex(concat(fixed(r.at("Qx"), 30), fixed(r.at("Qy"), 30))));
    }
    for (const auto& r : readSection("SigGen.rsp", "[B-233]")) {
        const Bytes pub = concat(fixed(r.at("Qx"), 30), fixed(r.at("Qy"), 30));
        const Bytes sig = concat(fixed(r.at("R"), 30), fixed(r.at("S"), 30));
        EXPECT_EQ(CSL_VerifyEccSig(sha1Of(r.at("Msg")).data(), pub.data(), sig.data()), 0);
    }
}

TEST(Ecdsa, InteroperatesWithPython) {
    std::mt19937_64 rng(21);
    struct Case {
        Bytes priv, pub, digest, ourSig;
    };
    std::vector<Case> cases;
    std::string cmds;
    for (int i = 0; i < 6; ++i) {
        Case c;
        c.priv = randomPrivateKey(rng);
        c.pub = publicKeyOf(c.priv);
        c.digest = tt::randomBytes(rng, 20);
        const Bytes nonce = tt::randomBytes(rng, 30);
        c.ourSig.resize(60);
        ASSERT_EQ(CSL_ComputeEccSig(c.digest.data(), c.priv.data(), c.ourSig.data(), nonce.data()),
                  0);
        const std::string d = stripZeros(tt::toHex(c.priv));
        const std::string x = stripZeros(tt::toHex(c.pub.data(), 30));
        const std::string y = stripZeros(tt::toHex(c.pub.data() + 30, 30));
        const std::string h = tt::toHex(c.digest);
        cmds += "pub " + d + "\n";
        cmds += "sign " + d + " " + h + "\n";
        cmds += "verify " + x + " " + y + " " + h + " " + stripZeros(tt::toHex(c.ourSig.data(), 30)) +
                " " + stripZeros(tt::toHex(c.ourSig.data() + 30, 30)) + "\n";
        cases.push_back(c);
    }
    const auto lines = tt::pythonScriptLines("ecc_reference.py", cmds);
    ASSERT_EQ(lines.size(), 3 * cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const auto sp = lines[3 * i].find(' ');
        EXPECT_EQ(tt::toHex(c.pub), tt::toHex(concat(fixed(lines[3 * i].substr(0, sp), 30),
                                                      fixed(lines[3 * i].substr(sp + 1), 30))));
        const auto sp2 = lines[3 * i + 1].find(' ');
        const Bytes theirSig = concat(fixed(lines[3 * i + 1].substr(0, sp2), 30),
                                      fixed(lines[3 * i + 1].substr(sp2 + 1), 30));
        EXPECT_EQ(CSL_VerifyEccSig(c.digest.data(), c.pub.data(), theirSig.data()), 0) << i;
        EXPECT_EQ(lines[3 * i + 2], "1") << i;
    }
}

TEST(Ecdsa, TamperedSignaturesAndDigestsFail) {
    std::mt19937_64 rng(22);
    const Bytes priv = randomPrivateKey(rng), pub = publicKeyOf(priv);
    const Bytes digest = tt::randomBytes(rng, 20), nonce = tt::randomBytes(rng, 30);
    Bytes sig(60);
    ASSERT_EQ(CSL_ComputeEccSig(digest.data(), priv.data(), sig.data(), nonce.data()), 0);
    ASSERT_EQ(CSL_VerifyEccSig(digest.data(), pub.data(), sig.data()), 0);
    Bytes again(60);
    ASSERT_EQ(CSL_ComputeEccSig(digest.data(), priv.data(), again.data(), nonce.data()), 0);
    EXPECT_EQ(again, sig);
    for (int i : {0, 19}) {
        Bytes d = digest;
        d[i] ^= 0x01;
        EXPECT_EQ(CSL_VerifyEccSig(d.data(), pub.data(), sig.data()), CSL_ECC_VERIFY_ERROR);
    }
    for (int i : {1, 29, 31, 59}) {
        Bytes s = sig;
        s[i] ^= 0x40;
        EXPECT_EQ(CSL_VerifyEccSig(digest.data(), pub.data(), s.data()), CSL_ECC_VERIFY_ERROR) << i;
    }
}

TEST(Ecdsa, OutOfRangeSignatureHalves) {
    std::mt19937_64 rng(23);
    const Bytes priv = randomPrivateKey(rng), pub = publicKeyOf(priv);
    const Bytes digest = tt::randomBytes(rng, 20), nonce = tt::randomBytes(rng, 30);
    Bytes sig(60);
    ASSERT_EQ(CSL_ComputeEccSig(digest.data(), priv.data(), sig.data(), nonce.data()), 0);
    const Bytes r(sig.begin(), sig.begin() + 30), s(sig.begin() + 30, sig.end());
    const Bytes zero(30, 0), ones(30, 0xFF);
    for (const Bytes& bad : {zero, kOrder, ones}) {
        EXPECT_EQ(CSL_VerifyEccSig(digest.data(), pub.data(), concat(bad, s).data()),
                  CSL_ECC_VERIFY_ERROR);
        EXPECT_EQ(CSL_VerifyEccSig(digest.data(), pub.data(), concat(r, bad).data()),
                  CSL_ECC_VERIFY_ERROR);
    }
}

TEST(Ecdsa, MalformedPublicKeysAreRejectedQuickly) {
    std::mt19937_64 rng(24);
    const Bytes priv = randomPrivateKey(rng), pub = publicKeyOf(priv);
    const Bytes digest = tt::randomBytes(rng, 20), nonce = tt::randomBytes(rng, 30);
    Bytes sig(60);
    ASSERT_EQ(CSL_ComputeEccSig(digest.data(), priv.data(), sig.data(), nonce.data()), 0);

    std::vector<Bytes> bad;
    bad.push_back(Bytes(60, 0xFF));  // both coordinates far above 2^233
    bad.push_back(Bytes(60, 0));     // the point at infinity
    Bytes offCurve = pub;
    offCurve[59] ^= 1;
    bad.push_back(offCurve);
    Bytes highX = pub;
    highX[0] |= 0x02;  // x >= 2^233, y as it was
    bad.push_back(highX);
    Bytes highY = pub;
    highY[30] |= 0x80;
    bad.push_back(highY);
    for (int i = 0; i < 20; ++i) bad.push_back(tt::randomBytes(rng, 60));
    // On the curve but outside the subgroup of order n: the point of order
    // two T = (0, sqrt(b)) and Q + T, of order 2n.
    ec_point T{}, Q, QT;
    poly_copy(named_curve.b, T.y);
    for (int i = 0; i < 232; ++i) poly_mul(T.y, T.y, T.y);
    OS2ECP(pub.data(), 60, &Q);
    poly_elliptic_sum(&Q, &T, &QT, &named_curve);
    for (const ec_point* p : {&T, &QT}) {
        ASSERT_TRUE(poly_elliptic_on_curve(p, &named_curve));
        bad.emplace_back(60);
        EC2OSP(p, bad.back().data(), 60);
    }

    for (size_t i = 0; i < bad.size(); ++i) {
        const Bytes& q = bad[i];
        EXPECT_EQ(CSL_CheckEccPublicKey(q.data()), CSL_ECC_BAD_PUBLIC_KEY) << i;
        EXPECT_EQ(CSL_VerifyEccSig(digest.data(), q.data(), sig.data()), CSL_ECC_VERIFY_ERROR) << i;
        Bytes key(20, 0xAA);
        EXPECT_EQ(CSL_GenerateEccSharedKey(priv.data(), q.data(), key.data(), 20), 5) << i;
        EXPECT_EQ(key, Bytes(20, 0xAA));
        Bytes table(960, 0xAA);
        EXPECT_EQ(CSL_PrecomputeFour(q.data(), table.data()), 5) << i;
        EXPECT_EQ(table, Bytes(960, 0xAA));
        // Random signatures against a good key must end, too.
        EXPECT_EQ(CSL_VerifyEccSig(digest.data(), pub.data(), q.data()), CSL_ECC_VERIFY_ERROR) << i;
    }
}

// The forgery under a key outside the prime-order subgroup: with public key
// P = Q + T (Q = d*G, T of order two; d = 0 gives T itself), an ordinary
// signature made with d has u1*G + u2*P = k*G + (u2 mod 2)*T, so it verifies
// under P whenever u2 = r/s mod n is even: for d = 0 no private key is needed
// at all. The inner verification (which takes keys as they come) shows each
// forgery is real; the public call refuses the key.
TEST(Ecdsa, KeysOutsideThePrimeSubgroupVerifyNothing) {
    std::mt19937_64 rng(31);
    ec_point T{};
    poly_copy(named_curve.b, T.y);
    for (int i = 0; i < 232; ++i) poly_mul(T.y, T.y, T.y);  // sqrt(b) = b^(2^232)
    struct Row {
        const char* name;
        Bytes priv;
    };
    const Row rows[] = {{"T, no private key", Bytes(30, 0)}, {"Q + T", randomPrivateKey(rng)}};
    bigint_digit n[8];
    OS2IP(n, 8, kOrder.data(), 30);
    ecdsa_params params;
    alg_init_233_bit_ECDSA(&params, 233);
    for (const Row& row : rows) {
        ec_point Q{}, P;
        if (row.priv != Bytes(30, 0)) OS2ECP(publicKeyOf(row.priv).data(), 60, &Q);
        poly_elliptic_sum(&Q, &T, &P, &named_curve);
        Bytes pub(60);
        EC2OSP(&P, pub.data(), 60);
        ASSERT_TRUE(poly_elliptic_on_curve(&P, &named_curve)) << row.name;
        EXPECT_EQ(CSL_CheckEccPublicKey(pub.data()), CSL_ECC_BAD_PUBLIC_KEY) << row.name;
        int forged = 0;
        for (int tries = 0; forged < 4 && tries < 200; ++tries) {
            const Bytes digest = tt::randomBytes(rng, 20), nonce = tt::randomBytes(rng, 30);
            Bytes sig(60);
            ASSERT_EQ(CSL_ComputeEccSig(digest.data(), row.priv.data(), sig.data(), nonce.data()),
                      0);
            bigint_digit r[8], s[8], w[8], u2[8], prod[16];
            OS2IP(r, 8, sig.data(), 30);
            OS2IP(s, 8, sig.data() + 30, 30);
            bigint_mod_inv(w, s, n, 8);
            bigint_mult(prod, r, w, 8);
            bigint_mod(u2, prod, 16, n, 8);
            if (u2[0] & 1u) continue;
            ++forged;
            ec_point sigPoint;
            OS2ECP(sig.data(), 60, &sigPoint);
            int inner = 1;
            alg_poly_ECDSA_verify(digest.data(), 20, &params, &P, &sigPoint, &inner);
            EXPECT_EQ(inner, 0) << row.name;
            EXPECT_EQ(CSL_VerifyEccSig(digest.data(), pub.data(), sig.data()), CSL_ECC_VERIFY_ERROR)
                << row.name;
        }
        EXPECT_EQ(forged, 4) << row.name;
    }
}

TEST(Ecdsa, ZeroNonceFailsAndLeavesOutputUntouched) {
    std::mt19937_64 rng(25);
    const Bytes priv = randomPrivateKey(rng), digest = tt::randomBytes(rng, 20);
    Bytes nonce(30, 0);
    nonce[0] = 0xFE;  // only the low 233 bits count: still zero
    for (const Bytes& n : {Bytes(30, 0), nonce, kOrder}) {
        Bytes sig(60, 0x5A);
        EXPECT_EQ(CSL_ComputeEccSig(digest.data(), priv.data(), sig.data(), n.data()), 2);
        EXPECT_EQ(sig, Bytes(60, 0x5A));
    }
}

TEST(Ecdsa, PublicKeyGeneration) {
    std::mt19937_64 rng(26);
    Bytes priv = randomPrivateKey(rng);
    Bytes high = priv, low = priv;
    high[0] = 0xFF;
    low[0] = 0x01;
    EXPECT_EQ(publicKeyOf(high), publicKeyOf(low));

    Bytes pub(60, 0x33);
    EXPECT_EQ(CSL_GenerateEccPublicKey(Bytes(30, 0).data(), pub.data()), 5);
    EXPECT_EQ(pub, Bytes(60, 0));
    EXPECT_EQ(CSL_GenerateEccPublicKey(kOrder.data(), pub.data()), 5);

    const Bytes random = tt::randomBytes(rng, 30);
    Bytes kp(30), kpPub(60);
    EXPECT_EQ(CSL_GenerateEccKeyPair(random.data(), kp.data(), kpPub.data()), 0);
    Bytes masked = random;
    masked[0] &= 0x01;
    EXPECT_EQ(kp, masked);
    EXPECT_EQ(kpPub, publicKeyOf(masked));
}

TEST(Ecdsa, OctetForms) {
    field_element e;
    OS2FEP(Bytes(30, 0xFF).data(), e);
    EXPECT_EQ(e[0], 0x1FFu);
    for (int i = 1; i < 8; ++i) EXPECT_EQ(e[i], 0xFFFFFFFFu);
    Bytes out(30);
    FE2OSP(out.data(), e);
    Bytes want(30, 0xFF);
    want[0] = 0x01;
    EXPECT_EQ(out, want);
    EXPECT_EQ(swap(0x01020304u), 0x04030201u);

    // Points take all 240 bits of each half as they stand.
    std::mt19937_64 rng(27);
    const Bytes raw = tt::randomBytes(rng, 60);
    ec_point p;
    OS2ECP(raw.data(), 60, &p);
    Bytes back(60);
    EC2OSP(&p, back.data(), 60);
    EXPECT_EQ(back, raw);
    bigint_digit a[8];
    FE2IP(p.x, a, 8);
    for (int j = 0; j < 8; ++j) EXPECT_EQ(a[7 - j], p.x[j]);
}

TEST(Ecdsa, SharedKeysAgreeWithEachOtherAndPython) {
    std::mt19937_64 rng(28);
    std::string cmds;
    struct Case {
        Bytes d1, d2, q1, q2, key;
    };
    std::vector<Case> cases;
    for (int i = 0; i < 4; ++i) {
        Case c;
        c.d1 = randomPrivateKey(rng);
        c.d2 = randomPrivateKey(rng);
        c.q1 = publicKeyOf(c.d1);
        c.q2 = publicKeyOf(c.d2);
        Bytes k1(20), k2(20);
        ASSERT_EQ(CSL_GenerateEccSharedKey(c.d1.data(), c.q2.data(), k1.data(), 20), 0);
        ASSERT_EQ(CSL_GenerateEccSharedKey(c.d2.data(), c.q1.data(), k2.data(), 20), 0);
        EXPECT_EQ(k1, k2);
        c.key = k1;

        Bytes table(960);
        ASSERT_EQ(CSL_PrecomputeFour(c.q2.data(), table.data()), 0);
        EXPECT_EQ(Bytes(table.begin(), table.begin() + 60), Bytes(60, 0));
        EXPECT_EQ(Bytes(table.begin() + 60, table.begin() + 120), c.q2);
        Bytes kp(20);
        ASSERT_EQ(CSL_GenerateEccSharedKeyPre(c.d1.data(), table.data(), kp.data(), 20), 0);
        EXPECT_EQ(kp, k1);
        Bytes shortKey(7);
        ASSERT_EQ(CSL_GenerateEccSharedKeyPre(c.d1.data(), table.data(), shortKey.data(), 7), 0);
        EXPECT_EQ(shortKey, Bytes(k1.begin(), k1.begin() + 7));

        cmds += "ecdh " + stripZeros(tt::toHex(c.d1)) + " " +
                stripZeros(tt::toHex(c.q2.data(), 30)) + " " +
                stripZeros(tt::toHex(c.q2.data() + 30, 30)) + "\n";
        cases.push_back(c);
    }
    const auto lines = tt::pythonScriptLines("ecc_reference.py", cmds);
    ASSERT_EQ(lines.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(tt::toHex(cases[i].key), tt::toHex(tt::opensslSha1(tt::fromHex(lines[i]))));
}

TEST(Ecdsa, SharedKeyLengths) {
    std::mt19937_64 rng(29);
    const Bytes d = randomPrivateKey(rng), q = publicKeyOf(randomPrivateKey(rng));
    Bytes table(960);
    ASSERT_EQ(CSL_PrecomputeFour(q.data(), table.data()), 0);
    struct LengthCase {
        uint32_t length;
        int code;
    };
    for (const LengthCase lc : {LengthCase{0, 0}, LengthCase{1, 0}, LengthCase{20, 0},
                                LengthCase{21, 1}, LengthCase{30, 1}, LengthCase{31, 1},
                                LengthCase{1000000, 1}}) {
        // One byte beyond the requested length shows that nothing spills.
        const size_t room = std::min<size_t>(lc.length, 40) + 1;
        Bytes a(room, 0xEE), b(room, 0xEE);
        EXPECT_EQ(CSL_GenerateEccSharedKey(d.data(), q.data(), a.data(), lc.length), lc.code);
        EXPECT_EQ(CSL_GenerateEccSharedKeyPre(d.data(), table.data(), b.data(), lc.length),
                  lc.code);
        EXPECT_EQ(a, b);
        const size_t written = lc.code == 0 ? lc.length : 0;
        for (size_t i = written; i < room; ++i) EXPECT_EQ(a[i], 0xEE) << lc.length;
    }
}

TEST(Ecdsa, CorruptedTablesAreRejected) {
    std::mt19937_64 rng(30);
    const Bytes d = randomPrivateKey(rng), q = publicKeyOf(randomPrivateKey(rng));
    Bytes table(960);
    ASSERT_EQ(CSL_PrecomputeFour(q.data(), table.data()), 0);
    struct Damage {
        size_t offset;
        uint8_t value;
    };
    for (const Damage dm : {Damage{0, 0x01}, Damage{60, 0}, Damage{119, 0x00},
                            Damage{5 * 60, 0xFF}, Damage{15 * 60 + 59, 0x80}}) {
        Bytes t = table;
        if (dm.offset == 60) {
            std::fill(t.begin() + 60, t.begin() + 120, 0);  // entry 1 at infinity
        } else {
            t[dm.offset] ^= dm.value ? dm.value : 1;
        }
        Bytes key(20, 0xEE);
        EXPECT_EQ(CSL_GenerateEccSharedKeyPre(d.data(), t.data(), key.data(), 20), 5) << dm.offset;
        EXPECT_EQ(key, Bytes(20, 0xEE));
    }
    const Bytes junk(960, 0xFF);
    Bytes key(20);
    EXPECT_EQ(CSL_GenerateEccSharedKeyPre(d.data(), junk.data(), key.data(), 20), 5);
}

TEST(Ecdsa, CallsFromSeveralThreadsAgree) {
    std::mt19937_64 rng(31);
    const Bytes d = randomPrivateKey(rng), q = publicKeyOf(d);
    const Bytes peer = publicKeyOf(randomPrivateKey(rng));
    const Bytes digest = tt::randomBytes(rng, 20), nonce = tt::randomBytes(rng, 30);
    Bytes wantSig(60), wantKey(20);
    ASSERT_EQ(CSL_ComputeEccSig(digest.data(), d.data(), wantSig.data(), nonce.data()), 0);
    ASSERT_EQ(CSL_GenerateEccSharedKey(d.data(), peer.data(), wantKey.data(), 20), 0);

    std::array<int, 2> failures{};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                Bytes sig(60), key(20);
                ec_point P, R;
                OS2ECP(t == 0 ? q.data() : peer.data(), 60, &P);
                field_element k = {0, 0, 0, 0, 0, 0, 0x1234u, 0x5678u + static_cast<uint32_t>(i)};
                poly_elliptic_mul(k, &P, &R, &named_curve);
                ec_point S;
                poly_elliptic_mul_slow(k, &P, &S, &named_curve);
                if (CSL_ComputeEccSig(digest.data(), d.data(), sig.data(), nonce.data()) != 0 ||
                    sig != wantSig ||
                    CSL_VerifyEccSig(digest.data(), q.data(), sig.data()) != 0 ||
                    CSL_GenerateEccSharedKey(d.data(), peer.data(), key.data(), 20) != 0 ||
                    key != wantKey || std::memcmp(&R, &S, sizeof R) != 0)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
}

}  // namespace
