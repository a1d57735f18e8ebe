#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "csl/cpu.h"

namespace {

TEST(CpuProbe, EnvironmentSwitchIsHonouredBeforeAnyMask) {
    // The portable CTest run sets TMD_CPU_DISABLE=all; the probe must have
    // taken it into account.
    const uint32_t saved = csl_cpu_features();
    const char* env = std::getenv("TMD_CPU_DISABLE");
    if (env && std::strcmp(env, "all") == 0) {
        EXPECT_EQ(csl_cpu_features(), 0u);
    } else if (!env) {
        EXPECT_EQ(csl_cpu_features(), csl_cpu_detected());
    }
    csl_cpu_set_mask(CSL_CPU_SHA);
    EXPECT_EQ(csl_cpu_features(), csl_cpu_detected() & CSL_CPU_SHA);
    csl_cpu_set_mask(saved);
}

}  // namespace
