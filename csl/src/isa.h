// The instruction sets the hardware code paths are written for, and the
// function attributes that let one file use an instruction set the rest of
// the library is not compiled for. Each file named after an instruction set
// marks its functions with the attribute below and is built only for the
// processor family that has it; the portable code never includes an
// intrinsics header.
#pragma once

#if defined(__x86_64__)
#define CSL_ISA_X86 1
#define CSL_TARGET_AES_NI __attribute__((target("aes,sse4.1")))
#define CSL_TARGET_SHA_NI __attribute__((target("sha,sse4.1")))
#define CSL_TARGET_AES_SHA_NI __attribute__((target("aes,sha,sse4.1")))
#define CSL_TARGET_AVX2 __attribute__((target("avx2")))
#define CSL_TARGET_VAES __attribute__((target("vaes,aes,avx2")))
#define CSL_TARGET_AVX512 __attribute__((target("avx512f,avx512bw")))
#define CSL_TARGET_CLMUL __attribute__((target("pclmul,sse2")))
#elif defined(__aarch64__)
#define CSL_ISA_ARMV8 1
// The ARMv8 Cryptographic Extension: AES, SHA-1/SHA-256 and PMULL.
#define CSL_TARGET_ARMV8_CRYPTO __attribute__((target("+crypto")))
#endif
