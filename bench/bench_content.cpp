// Throughput of the content-encryption building blocks, on the hardware
// paths (arg 1) and the portable ones (arg 0).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "csl/aes.h"
#include "csl/aes_bulk.h"
#include "csl/cpu.h"
#include "csl/sha1.h"
#include "es/disk_layout.h"
#include "es/tmd.h"
#include "bench_support.h"

namespace {

constexpr size_t kBytes = 1 << 20;
const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

using bench::input;
using bench::PathScope;

void BM_Sha1(benchmark::State& st) {
    PathScope path(st);
    auto in = input(kBytes);
    uint8_t d[20];
    for (auto _ : st) {
        csl_sha1(in.data(), in.size(), d);
        benchmark::DoNotOptimize(d);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kBytes));
}

// The disc layout's chunk hashes: 31 messages of 1 KiB at a time.
void BM_Sha1Many(benchmark::State& st) {
    PathScope path(st);
    constexpr size_t kChunk = 1024, kCount = 31;
    auto in = input(kChunk * kCount);
    uint8_t d[20 * kCount];
    for (auto _ : st) {
        csl_sha1Many(in.data(), kChunk, kCount, d);
        benchmark::DoNotOptimize(d);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kChunk * kCount));
}

void BM_AesCbcEncrypt(benchmark::State& st) {
    PathScope path(st);
    auto in = input(kBytes);
    std::vector<uint8_t> out(kBytes);
    uint8_t iv[16] = {};
    for (auto _ : st) {
        aes_SwEncrypt(kKey, iv, in.data(), static_cast<int>(kBytes), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kBytes));
}

void BM_ContentEngine(benchmark::State& st) {
    PathScope path(st);
    auto in = input(kBytes);
    std::vector<uint8_t> out(kBytes);
    ContentEncryptContext ctx;
    ES_EncryptContentReset(&ctx, 0, kKey);
    for (auto _ : st) {
        ES_EncryptContentUpdate(&ctx, in.data(), kBytes, out.data(), kBytes);
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kBytes));
}

void BM_DiscSuperBlock(benchmark::State& st) {
    PathScope path(st);
    auto sb = input(DVD_DATA_BYTES_PER_SUPERBLOCK);
    std::vector<uint8_t> out(DVD_BYTES_PER_SUPERBLOCK);
    uint8_t slot[20];
    for (auto _ : st) {
        uint32_t written = 0;
        generateSuperBlock(sb.data(), DVD_DATA_BYTES_PER_SUPERBLOCK, slot, kKey, out.data(),
                           &written);
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * DVD_DATA_BYTES_PER_SUPERBLOCK));
}

}  // namespace

BENCHMARK(BM_Sha1)->Arg(1)->Arg(0);
BENCHMARK(BM_Sha1Many)->Arg(1)->Arg(0);
BENCHMARK(BM_AesCbcEncrypt)->Arg(1)->Arg(0);
BENCHMARK(BM_ContentEngine)->Arg(1)->Arg(0);
BENCHMARK(BM_DiscSuperBlock)->Arg(1)->Arg(0);
