// One test per implementation of a primitive, by name: a parameterised test
// over the primitive's list (csl/src impl_list.h) runs each implementation
// the processor offers with the dispatch restricted to it, and skips the
// others, saying why ("not built for this processor family", "not offered
// by this processor"), so the report shows what was and was not checked.
#pragma once
#include <gtest/gtest.h>

#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "csl/cpu.h"
#include "impl_list.h"

namespace tt {

struct ImplCase {
    std::string name;
    uint32_t needs;
};

// ctest lists the parameter by its name.
inline void PrintTo(const ImplCase& c, std::ostream* os) { *os << c.name; }

template <class Table>
std::vector<ImplCase> implCases(std::span<const csl_impl::Impl<Table>> list) {
    std::vector<ImplCase> v;
    for (const auto& i : list) v.push_back({i.name, i.needs});
    return v;
}

// Test names: the implementation's, with '+' spelled out.
inline std::string implCaseName(const ::testing::TestParamInfo<ImplCase>& info) {
    std::string n;
    for (char c : info.param.name) n += c == '+' ? std::string("_and_") : std::string(1, c);
    return n;
}

// Restricts the dispatch to the implementation's features for one test, so
// that it is the one chosen (each list is ordered so that it is), and
// restores them after.
class ImplementationTest : public ::testing::TestWithParam<ImplCase> {
protected:
    void SetUp() override {
        const ImplCase& c = GetParam();
        if (c.needs & csl_impl::kNotBuilt)
            GTEST_SKIP() << c.name << ": not built for this processor family";
        if (!csl_impl::offered(c.needs)) GTEST_SKIP() << c.name << ": not offered by this processor";
        csl_cpu_set_mask(c.needs);
    }
    void TearDown() override { csl_cpu_set_mask(saved_); }

private:
    uint32_t saved_ = csl_cpu_features();
};

}  // namespace tt
