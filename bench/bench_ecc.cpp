// Field and curve operations, ECDSA and key agreement on sect233r1.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "csl/ecc.h"
#include "csl/elliptic_math.h"
#include "csl/poly_math.h"

namespace {

struct Fixture {
    uint8_t priv[30], peerPriv[30], pub[60], peerPub[60], digest[20], nonce[30], sig[60];
    uint8_t table[960];
    Fixture() {
        std::mt19937_64 rng(7);
        auto fill = [&](uint8_t* p, size_t n) {
            for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(rng());
        };
        fill(priv, 30);
        fill(peerPriv, 30);
        fill(digest, 20);
        fill(nonce, 30);
        priv[0] = peerPriv[0] = 0;
        CSL_GenerateEccPublicKey(priv, pub);
        CSL_GenerateEccPublicKey(peerPriv, peerPub);
        CSL_ComputeEccSig(digest, priv, sig, nonce);
        CSL_PrecomputeFour(peerPub, table);
    }
};

const Fixture& fixture() {
    static const Fixture f;
    return f;
}

void randomElement(field_element e, std::mt19937_64& rng) {
    for (int i = 0; i < 8; ++i) e[i] = static_cast<uint32_t>(rng());
    e[0] &= 0x1FF;
}

void BM_FieldMultiply(benchmark::State& state) {
    std::mt19937_64 rng(1);
    field_element a, b;
    randomElement(a, rng);
    randomElement(b, rng);
    for (auto _ : state) {
        poly_mul(a, b, a);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(BM_FieldMultiply);

void BM_FieldSquare(benchmark::State& state) {
    std::mt19937_64 rng(2);
    field_element a;
    randomElement(a, rng);
    for (auto _ : state) {
        poly_mul(a, a, a);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(BM_FieldSquare);

void BM_FieldInvert(benchmark::State& state) {
    std::mt19937_64 rng(3);
    field_element a;
    randomElement(a, rng);
    for (auto _ : state) {
        poly_inv(a, a);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(BM_FieldInvert);

void BM_BasePointMultiply(benchmark::State& state) {
    field_element k = {0x1AB, 0x12345678, 0x9ABCDEF0, 0x0FEDCBA9, 0x87654321, 0x13579BDF,
                       0x2468ACE0, 0x11223344};
    ec_point R;
    for (auto _ : state) {
        poly_elliptic_mul_four(k, &named_point, &R, &named_curve);
        benchmark::DoNotOptimize(R);
    }
}
BENCHMARK(BM_BasePointMultiply);

void BM_PointMultiply(benchmark::State& state) {
    field_element k = {0x1AB, 0x12345678, 0x9ABCDEF0, 0x0FEDCBA9, 0x87654321, 0x13579BDF,
                       0x2468ACE0, 0x11223344};
    ec_point R;
    for (auto _ : state) {
        poly_elliptic_mul_slow(k, &named_point, &R, &named_curve);
        benchmark::DoNotOptimize(R);
    }
}
BENCHMARK(BM_PointMultiply);

void BM_Sign(benchmark::State& state) {
    const Fixture& f = fixture();
    uint8_t sig[60];
    for (auto _ : state) {
        benchmark::DoNotOptimize(CSL_ComputeEccSig(f.digest, f.priv, sig, f.nonce));
    }
}
BENCHMARK(BM_Sign);

void BM_Verify(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        benchmark::DoNotOptimize(CSL_VerifyEccSig(f.digest, f.pub, f.sig));
    }
}
BENCHMARK(BM_Verify);

void BM_SharedKey(benchmark::State& state) {
    const Fixture& f = fixture();
    uint8_t key[20];
    for (auto _ : state) {
        benchmark::DoNotOptimize(CSL_GenerateEccSharedKey(f.priv, f.peerPub, key, 20));
    }
}
BENCHMARK(BM_SharedKey);

void BM_SharedKeyPrecomputed(benchmark::State& state) {
    const Fixture& f = fixture();
    uint8_t key[20];
    for (auto _ : state) {
        benchmark::DoNotOptimize(CSL_GenerateEccSharedKeyPre(f.priv, f.table, key, 20));
    }
}
BENCHMARK(BM_SharedKeyPrecomputed);

}  // namespace
