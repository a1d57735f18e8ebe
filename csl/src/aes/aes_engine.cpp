// The AES dispatch ladder: every implementation by name, best first, the
// bitsliced one last, chosen from the features of the one processor probe
// (csl/cpu.h).
#include "aes/aes_internal.h"
#include "csl/cpu.h"

namespace csl_aes {

namespace {

using csl_impl::Impl;
using csl_impl::kNotBuilt;

#define CSL_AES_ENGINE(ns)                                                                      \
    Engine {                                                                                    \
        ns::keySetupEnc, ns::keySetupDec, ns::ecbEncryptBlocks, ns::ecbDecryptBlocks,           \
            ns::cbcEncryptBlocks, ns::cbcDecryptBlocks, ns::cbcEncryptLanes                     \
    }

constexpr Impl<Engine> kImplementations[] = {
#ifdef CSL_ISA_X86
    {"vaes", CSL_CPU_AES | CSL_CPU_VAES,
     Engine{csl_aes_ni::keySetupEnc, csl_aes_ni::keySetupDec, csl_aes_ni::ecbEncryptBlocks,
            csl_aes_ni::ecbDecryptBlocks, csl_aes_ni::cbcEncryptBlocks,
            csl_aes_vaes::cbcDecryptBlocks, csl_aes_vaes::cbcEncryptLanes}},
    {"aesni", CSL_CPU_AES, CSL_AES_ENGINE(csl_aes_ni)},
#else
    {"vaes", kNotBuilt, {}},
    {"aesni", kNotBuilt, {}},
#endif
#ifdef CSL_ISA_ARMV8
    {"armv8", CSL_CPU_AES, CSL_AES_ENGINE(csl_aes_armv8)},
#else
    {"armv8", kNotBuilt, {}},
#endif
    {"bitsliced", 0, CSL_AES_ENGINE(csl_aes_bitsliced)},
};

#undef CSL_AES_ENGINE

constexpr Impl<CbcSha1Loop> kCbcSha1[] = {
#ifdef CSL_ISA_X86
    {"aesni+shani", CSL_CPU_AES | CSL_CPU_SHA, csl_aes_sha1_ni::cbcEncryptSha1},
#else
    {"aesni+shani", kNotBuilt, nullptr},
#endif
    {"separate", 0, nullptr},
};

}  // namespace

std::span<const Impl<Engine>> implementations() { return kImplementations; }

const Impl<Engine>& chosen() { return csl_impl::best(implementations()); }

std::span<const Impl<CbcSha1Loop>> cbcSha1Implementations() { return kCbcSha1; }

CbcSha1Loop cbcSha1Loop() { return csl_impl::best(cbcSha1Implementations()).table; }

}  // namespace csl_aes
