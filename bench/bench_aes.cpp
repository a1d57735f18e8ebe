// AES-128 throughput: the CBC loops the library chooses (arg 1: the AES
// instructions where present; arg 0: the bitsliced code) beside a plain
// T-table AES compiled the same way (bench/ttable_aes.h), so that one run
// gives both ratios: the CBC loop against the hardware's peers, the
// constant-time code against the table code.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "csl/aes.h"
#include "csl/aes_bulk.h"
#include "csl/cpu.h"
#include "bench_support.h"
#include "ttable_aes.h"

namespace {

// The size openssl speed reports its largest figure for.
constexpr size_t kBytes = 16384;
// The disc layout: 64 chains of 31 KiB per super block.
constexpr size_t kLanes = 64;
constexpr size_t kLaneBytes = 31744;
const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

using bench::input;
using bench::PathScope;

void bytes(benchmark::State& st, size_t n) {
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * n));
}

// The block-by-block CBC loop on a key schedule made once, as openssl speed
// keeps its context.
void BM_CbcEncrypt(benchmark::State& st) {
    PathScope path(st);
    auto in = input(kBytes);
    std::vector<uint8_t> out(kBytes);
    AesKeySchedule ks;
    aesMakeKey(&ks, AES_DIR_ENCRYPT, 128, kKey);
    AesCipherState cs;
    aesCipherInit(&cs, AES_MODE_CBC, nullptr);
    for (auto _ : st) {
        aesBlockEncrypt(&cs, &ks, in.data(), static_cast<int>(kBytes * 8), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    bytes(st, kBytes);
}

void BM_CbcDecrypt(benchmark::State& st) {
    PathScope path(st);
    auto in = input(kBytes);
    std::vector<uint8_t> out(kBytes);
    AesKeySchedule ks;
    aesMakeKey(&ks, AES_DIR_DECRYPT, 128, kKey);
    AesCipherState cs;
    aesCipherInit(&cs, AES_MODE_CBC, nullptr);
    for (auto _ : st) {
        aesBlockDecrypt(&cs, &ks, in.data(), static_cast<int>(kBytes * 8), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    bytes(st, kBytes);
}

// The one-shot call: a key expansion per call.
void BM_SwEncrypt(benchmark::State& st) {
    PathScope path(st);
    auto in = input(kBytes);
    std::vector<uint8_t> out(kBytes);
    const uint8_t iv[16] = {};
    for (auto _ : st) {
        aes_SwEncrypt(kKey, iv, in.data(), static_cast<int>(kBytes), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    bytes(st, kBytes);
}

struct Lanes {
    std::vector<uint8_t> in = input(kLanes * kLaneBytes), out = std::vector<uint8_t>(in.size());
    std::vector<uint8_t> ivs = input(kLanes * 16);
    std::vector<const uint8_t*> src, iv;
    std::vector<uint8_t*> dst;
    Lanes() {
        for (size_t l = 0; l < kLanes; ++l) {
            src.push_back(&in[l * kLaneBytes]);
            dst.push_back(&out[l * kLaneBytes]);
            iv.push_back(&ivs[l * 16]);
        }
    }
};

void BM_Lanes(benchmark::State& st) {
    PathScope path(st);
    Lanes l;
    for (auto _ : st) {
        csl_aes128CbcEncryptLanes(kKey, kLanes, l.src.data(), l.dst.data(), l.iv.data(),
                                  kLaneBytes);
        benchmark::DoNotOptimize(l.out.data());
    }
    bytes(st, kLanes * kLaneBytes);
}

void BM_TableCbcEncrypt(benchmark::State& st) {
    auto in = input(kBytes);
    std::vector<uint8_t> out(kBytes);
    uint32_t rk[44];
    bench_ttable::keySetupEnc128(kKey, rk);
    uint8_t chain[16] = {};
    for (auto _ : st) {
        bench_ttable::cbcEncrypt(rk, chain, in.data(), out.data(), kBytes / 16);
        benchmark::DoNotOptimize(out.data());
    }
    bytes(st, kBytes);
}

void BM_TableCbcDecrypt(benchmark::State& st) {
    auto in = input(kBytes);
    std::vector<uint8_t> out(kBytes);
    uint32_t rk[44];
    bench_ttable::keySetupDec128(kKey, rk);
    uint8_t chain[16] = {};
    for (auto _ : st) {
        bench_ttable::cbcDecrypt(rk, chain, in.data(), out.data(), kBytes / 16);
        benchmark::DoNotOptimize(out.data());
    }
    bytes(st, kBytes);
}

// The table code on the same chains, one after the other.
void BM_TableLanes(benchmark::State& st) {
    Lanes l;
    uint32_t rk[44];
    bench_ttable::keySetupEnc128(kKey, rk);
    for (auto _ : st) {
        for (size_t i = 0; i < kLanes; ++i) {
            uint8_t chain[16];
            std::memcpy(chain, l.iv[i], 16);
            bench_ttable::cbcEncrypt(rk, chain, l.src[i], l.dst[i], kLaneBytes / 16);
        }
        benchmark::DoNotOptimize(l.out.data());
    }
    bytes(st, kLanes * kLaneBytes);
}

}  // namespace

BENCHMARK(BM_CbcEncrypt)->Arg(1)->Arg(0);
BENCHMARK(BM_SwEncrypt)->Arg(1)->Arg(0);
BENCHMARK(BM_CbcDecrypt)->Arg(1)->Arg(0);
BENCHMARK(BM_Lanes)->Arg(1)->Arg(0);
BENCHMARK(BM_TableCbcEncrypt);
BENCHMARK(BM_TableCbcDecrypt);
BENCHMARK(BM_TableLanes);
