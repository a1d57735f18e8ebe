#include "tool/common/options.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <thread>
#include <vector>

namespace tool {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

}  // namespace

uint64_t convertUnsigned(const char* text, int bits) {
    const uint64_t max = bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digitValue(p[2]) < 16) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; digitValue(*p) < base; ++p) {
        const uint64_t d = static_cast<uint64_t>(digitValue(*p));
        if (value > (max - d) / static_cast<uint64_t>(base)) overflow = true;
        else value = value * static_cast<uint64_t>(base) + d;
    }
    if (overflow) return max;
    if (negative) value = (~value + 1) & max;
    return value;
}

void runParallel(int n, unsigned workers, const std::function<void(int)>& work,
                 const std::function<bool(int)>& failed) {
    std::atomic<int> next{0};
    std::atomic<int> firstFailure{INT_MAX};
    auto loop = [&] {
        for (;;) {
            const int i = next.fetch_add(1);
            if (i >= n || i > firstFailure.load()) return;
            work(i);
            if (failed(i)) {
                int cur = firstFailure.load();
                while (i < cur && !firstFailure.compare_exchange_weak(cur, i)) {
                }
            }
        }
    };
    std::vector<std::thread> threads;
    try {
        for (unsigned w = 1; w < workers; ++w) threads.emplace_back(loop);
    } catch (...) {
        // No more threads to be had: the ones running, and this one, do
        // all the work.
    }
    loop();
    for (auto& t : threads) t.join();
}

}  // namespace tool
