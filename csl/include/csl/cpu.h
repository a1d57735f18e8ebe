// Processor features the crypto support library can use, probed once.
//
// The hardware code paths are chosen from these bits; without them the
// portable table-driven AES, the plain SHA-1 and the comb multiply in
// GF(2^233) run. The environment variable TMD_CPU_DISABLE, read by the first
// probe, switches features off: "all", or a comma-separated list of the names
// below ("aes,sha"). The names mean the same on x86-64 and on 64-bit ARM,
// where the Cryptographic Extension's AES, SHA-1 and PMULL instructions are
// "aes", "sha" and "clmul"; the others exist on x86-64 only.
#pragma once
#include <cstdint>

enum CslCpuFeature : uint32_t {
    CSL_CPU_AES = 1u << 0,      // AES-NI with SSE4.1; ARMv8 AESE/AESD ("aes")
    CSL_CPU_SHA = 1u << 1,      // SHA-1 extensions with SSE4.1; ARMv8 SHA1C.. ("sha")
    CSL_CPU_AVX2 = 1u << 2,     // AVX2, OS keeps the YMM state ("avx2")
    CSL_CPU_VAES = 1u << 3,     // VAES on 256-bit vectors ("vaes")
    CSL_CPU_AVX512 = 1u << 4,   // AVX-512 F/BW/VL, OS keeps the ZMM state ("avx512")
    CSL_CPU_CLMUL = 1u << 5,    // PCLMULQDQ; ARMv8 PMULL 64-bit ("clmul")
};

// The usable features: what the processor and OS offer, minus what
// TMD_CPU_DISABLE or csl_cpu_set_mask took away.
uint32_t csl_cpu_features();

// True when every bit of `feature` is usable.
inline bool csl_cpu_has(uint32_t feature) { return (csl_cpu_features() & feature) == feature; }

// Restricts the features to `mask` & (what the processor offers); tests use
// it to run the portable and the hardware paths side by side. Not meant to be
// called while other threads are encrypting.
void csl_cpu_set_mask(uint32_t mask);

// What the processor and OS offer, ignoring every restriction.
uint32_t csl_cpu_detected();
