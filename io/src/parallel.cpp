#include "io/parallel.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <thread>
#include <vector>

namespace tmd_io {

namespace {

constexpr unsigned kMaxWorkers = 4;

std::atomic<unsigned> slotsInUse{0};

}  // namespace

unsigned workerBudget() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(cores, 1u, kMaxWorkers);
}

unsigned threadBudget() { return workerBudget() + 1; }

unsigned threadsInUse() { return slotsInUse.load(); }

ThreadSlots::ThreadSlots(unsigned want) {
    const unsigned budget = threadBudget();
    unsigned used = slotsInUse.load();
    for (;;) {
        const unsigned take = std::min(want, budget - std::min(used, budget));
        if (take == 0 || slotsInUse.compare_exchange_weak(used, used + take)) {
            count_ = take;
            return;
        }
    }
}

void ThreadSlots::release(unsigned n) {
    n = std::min(n, count_);
    count_ -= n;
    slotsInUse -= n;
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
    const unsigned helpers = std::min(workers > 0 ? workers - 1 : 0u, static_cast<unsigned>(std::max(n - 1, 0)));
    ThreadSlots slots(helpers);
    std::vector<std::thread> threads;
    try {
        threads.reserve(slots.count());
        for (unsigned w = 0; w < slots.count(); ++w) threads.emplace_back(loop);
    } catch (...) {
        // No more threads to be had: the ones running, and this one, do
        // all the work.
    }
    slots.release(slots.count() - static_cast<unsigned>(threads.size()));
    loop();
    for (auto& t : threads) t.join();
}

}  // namespace tmd_io
