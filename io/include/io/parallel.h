// The one home of the process's threads. Every thread started to work side
// by side (the writer and workers of each ordered stream, the helpers of
// runParallel) holds a slot of one process-wide budget for as long as it
// lives. Slots are taken without waiting: when the budget is spent, the work
// runs on the thread that asked instead, so nothing can wait for a thread
// that never comes. However many titles, contents and streams run at once,
// the threads alive beside the process's own never exceed threadBudget().
//
// To run independent items side by side (contents of a title, titles of a
// batch, TMDs to inspect), call runParallel; a stream started inside an item
// draws its writer and workers from the same budget.
#pragma once
#include <functional>

namespace tmd_io {

// Worker threads the process may keep busy at once: the cores, at most
// four. Four build disc super blocks faster than any disk takes them, and
// each worker brings its buffers with it.
unsigned workerBudget();
// Threads that may be alive at once beside the callers: the workers and one
// writer.
unsigned threadBudget();
// Slots held now, across the process.
unsigned threadsInUse();

// A share of the budget: up to `want` slots, taken at construction without
// waiting (a spent budget gives fewer, or none) and given back when the
// share ends.
class ThreadSlots {
public:
    explicit ThreadSlots(unsigned want);
    ~ThreadSlots() { release(count_); }
    ThreadSlots(const ThreadSlots&) = delete;
    ThreadSlots& operator=(const ThreadSlots&) = delete;

    unsigned count() const { return count_; }
    // Gives n of the slots back early (threads that could not be started,
    // or a share too small to use).
    void release(unsigned n);

private:
    unsigned count_ = 0;
};

// Runs work(0) .. work(n - 1) on the calling thread and up to `workers` - 1
// more, as the budget allows, handing out indexes in ascending order. Once
// failed(i) holds for a finished item i, no item above i is started; items
// below it still run, so the caller can report the first failure in order.
// work must not throw.
void runParallel(int n, unsigned workers, const std::function<void(int)>& work,
                 const std::function<bool(int)>& failed);

}  // namespace tmd_io
