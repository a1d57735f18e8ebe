// The AES dispatch ladder: best implementation first, portable last, chosen
// from the features of the one processor probe (csl/cpu.h).
#include "aes/aes_internal.h"
#include "csl/cpu.h"

namespace csl_aes {

namespace {

#define CSL_AES_ENGINE(ns)                                                                      \
    Engine {                                                                                    \
        ns::keySetupEnc, ns::keySetupDec, ns::ecbEncryptBlocks, ns::ecbDecryptBlocks,           \
            ns::cbcEncryptBlocks, ns::cbcDecryptBlocks, ns::cbcEncryptLanes                     \
    }

constexpr Engine kPortable = CSL_AES_ENGINE(csl_aes_portable);
#ifdef CSL_ISA_X86
constexpr Engine kAesNi = CSL_AES_ENGINE(csl_aes_ni);
constexpr Engine kVaes = {csl_aes_ni::keySetupEnc,      csl_aes_ni::keySetupDec,
                          csl_aes_ni::ecbEncryptBlocks, csl_aes_ni::ecbDecryptBlocks,
                          csl_aes_ni::cbcEncryptBlocks, csl_aes_ni::cbcDecryptBlocks,
                          csl_aes_vaes::cbcEncryptLanes};
#endif
#ifdef CSL_ISA_ARMV8
constexpr Engine kArmv8 = CSL_AES_ENGINE(csl_aes_armv8);
#endif

#undef CSL_AES_ENGINE

}  // namespace

const Engine& engine() {
#ifdef CSL_ISA_X86
    if (csl_cpu_has(CSL_CPU_AES)) return csl_cpu_has(CSL_CPU_VAES) ? kVaes : kAesNi;
#endif
#ifdef CSL_ISA_ARMV8
    if (csl_cpu_has(CSL_CPU_AES)) return kArmv8;
#endif
    return kPortable;
}

CbcSha1Loop cbcSha1Loop() {
#ifdef CSL_ISA_X86
    if (csl_cpu_has(CSL_CPU_AES | CSL_CPU_SHA)) return csl_aes_sha1_ni::cbcEncryptSha1;
#endif
    return nullptr;
}

}  // namespace csl_aes
