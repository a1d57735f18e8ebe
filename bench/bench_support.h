// What the benchmark programs share: their input bytes and the switch
// between the processor's paths and the portable ones.
#pragma once
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "csl/cpu.h"

namespace bench {

// Bytes that are not all alike, the same in every program and run.
inline std::vector<uint8_t> input(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + 7);
    return v;
}

// Arg 1: every path the processor offers; arg 0: the portable code. The
// mask in force before comes back at the end of the benchmark.
struct PathScope {
    uint32_t saved = csl_cpu_features();
    explicit PathScope(const benchmark::State& st) { csl_cpu_set_mask(st.range(0) ? ~0u : 0u); }
    ~PathScope() { csl_cpu_set_mask(saved); }
};

}  // namespace bench
