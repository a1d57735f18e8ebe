// Every implementation of a primitive, by name and in order of preference,
// with the processor features it runs on: the one dispatch ladder of each
// primitive chooses the first whose features are usable, and the tests run
// each one the processor offers and say which it does not.
#pragma once
#include <cstdint>
#include <span>

#include "csl/cpu.h"

namespace csl_impl {

// In `needs` of an implementation that is not built for this processor
// family: no feature set ever has this bit.
constexpr uint32_t kNotBuilt = 1u << 31;

template <class Table>
struct Impl {
    const char* name;
    uint32_t needs;  // CslCpuFeature bits, or kNotBuilt
    Table table;     // empty where not built
};

// The first implementation whose features are usable; the last one of every
// list needs none.
template <class Table>
const Impl<Table>& best(std::span<const Impl<Table>> list) {
    for (const Impl<Table>& i : list)
        if (csl_cpu_has(i.needs)) return i;
    return list.back();
}

// True when the processor and OS offer what `needs` names, whatever
// TMD_CPU_DISABLE or a mask took away.
inline bool offered(uint32_t needs) { return (csl_cpu_detected() & needs) == needs; }

}  // namespace csl_impl
