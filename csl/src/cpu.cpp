// The one processor probe the hardware code paths are chosen from.
#include "csl/cpu.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "isa.h"

#ifdef CSL_ISA_X86
#include <cpuid.h>
#endif
#if defined(CSL_ISA_ARMV8) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {

#ifdef CSL_ISA_X86
uint64_t readXcr0() {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
}
#endif

uint32_t probe() {
    uint32_t f = 0;
#ifdef CSL_ISA_X86
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    const bool sse41 = c & bit_SSE4_1;
    const bool aesni = c & bit_AES;
    const bool osxsave = c & bit_OSXSAVE;
    const bool avx = c & bit_AVX;
    unsigned b7 = 0, c7 = 0, d7 = 0, a7 = 0;
    if (__get_cpuid_max(0, nullptr) >= 7) __cpuid_count(7, 0, a7, b7, c7, d7);
    const bool sha = b7 & bit_SHA;
    if (sse41 && aesni) f |= CSL_CPU_AES;
    if (sse41 && sha) f |= CSL_CPU_SHA;
    if (c & bit_PCLMUL) f |= CSL_CPU_CLMUL;
    // Vector state beyond XMM is usable only when the OS saves it.
    const uint64_t xcr0 = osxsave ? readXcr0() : 0;
    const bool ymmState = (xcr0 & 0x6) == 0x6;
    const bool zmmState = (xcr0 & 0xE6) == 0xE6;
    if (avx && ymmState && (b7 & bit_AVX2)) f |= CSL_CPU_AVX2;
    if ((f & CSL_CPU_AVX2) && aesni && (c7 & bit_VAES)) f |= CSL_CPU_VAES;
    if (zmmState && (b7 & bit_AVX512F) && (b7 & bit_AVX512BW) && (b7 & bit_AVX512VL))
        f |= CSL_CPU_AVX512;
#endif
#if defined(CSL_ISA_ARMV8) && defined(__linux__)
    // The kernel reports the Cryptographic Extension's parts one by one.
    const unsigned long hw = getauxval(AT_HWCAP);
    if (hw & HWCAP_AES) f |= CSL_CPU_AES;
    if (hw & HWCAP_SHA1) f |= CSL_CPU_SHA;
    if (hw & HWCAP_PMULL) f |= CSL_CPU_CLMUL;
#endif
    return f;
}

// Features named in TMD_CPU_DISABLE; unknown names are ignored.
uint32_t disabledByEnvironment() {
    const char* env = std::getenv("TMD_CPU_DISABLE");
    if (!env || !*env) return 0;
    struct Name {
        const char* text;
        uint32_t bits;
    };
    static constexpr Name names[] = {
        {"all", ~0u},           {"aes", CSL_CPU_AES | CSL_CPU_VAES}, {"sha", CSL_CPU_SHA},
        {"avx2", CSL_CPU_AVX2 | CSL_CPU_VAES}, {"vaes", CSL_CPU_VAES},
        {"avx512", CSL_CPU_AVX512}, {"clmul", CSL_CPU_CLMUL},
    };
    uint32_t off = 0;
    const char* p = env;
    while (*p) {
        const char* end = std::strchr(p, ',');
        const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        for (const Name& n : names)
            if (std::strlen(n.text) == len && std::strncmp(n.text, p, len) == 0) off |= n.bits;
        if (!end) break;
        p = end + 1;
    }
    return off;
}

uint32_t detected() {
    static const uint32_t bits = probe();
    return bits;
}

// Function-local, so that a probe from another translation unit's static
// initialiser still finds it set up.
std::atomic<uint32_t>& usable() {
    static std::atomic<uint32_t> bits{detected() & ~disabledByEnvironment()};
    return bits;
}

}  // namespace

uint32_t csl_cpu_detected() { return detected(); }

uint32_t csl_cpu_features() { return usable().load(std::memory_order_relaxed); }

void csl_cpu_set_mask(uint32_t mask) { usable().store(detected() & mask, std::memory_order_relaxed); }
