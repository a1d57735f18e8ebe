#include "io/stream_pipeline.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "io/output_file.h"

namespace tmd_io {

namespace {

constexpr uint64_t kNone = UINT64_MAX;

// Streams running in this process; they share the worker budget.
std::atomic<unsigned> activeStreams{0};

struct ActiveStream {
    ActiveStream() { ++activeStreams; }
    ~ActiveStream() { --activeStreams; }
    ActiveStream(const ActiveStream&) = delete;
    ActiveStream& operator=(const ActiveStream&) = delete;
};

// Pieces go round the slots of the arena: piece i lies in slot i % depth,
// which the reader takes again only once piece i - depth is written. All
// hand-over happens under one lock, a few times per piece.
class OrderedStream {
public:
    OrderedStream(const StreamShape& shape, const StreamSteps& steps)
        : shape_(shape), steps_(steps) {}

    // `slots`: the writer's and the workers' share of the budget; fewer
    // than two run the stream serially.
    StreamOutcome run(ThreadSlots& slots) {
        const unsigned workers = slots.count() >= 2 ? slots.count() - 1 : 0;
        const size_t depth = shape_.depth ? shape_.depth : size_t{workers} + 3;
        if (!allocate(depth) && !allocate(1)) return {0, StreamStage::Memory, 0};
        const bool threaded = workers > 0 && pieces_.size() > 1 && startThreads(workers);
        // Slots of threads that were not started go back at once.
        slots.release(slots.count() - (threaded ? 1 + static_cast<unsigned>(workers_.size()) : 0));
        if (threaded) {
            readAll();
            stopThreads();
        } else {
            runSerially();
        }
        return {result_, stage_, written_};
    }

private:
    bool allocate(size_t depth) {
        arena_ = allocateIoBuffer(depth * shape_.pieceBytes);
        if (!arena_) return false;
        try {
            pieces_.assign(depth, StreamPiece{});
            processed_.assign(depth, kNone);
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (size_t i = 0; i < depth; ++i) pieces_[i].buffer = arena_.get() + i * shape_.pieceBytes;
        return true;
    }

    StreamPiece& take(uint64_t index) {
        StreamPiece& p = pieces_[index % pieces_.size()];
        p = StreamPiece{index, p.buffer, 0, false, nullptr, 0};
        return p;
    }

    std::thread start(std::function<void()> body) {
        return shape_.startThread ? shape_.startThread(std::move(body)) : std::thread(std::move(body));
    }

    // The writer first, then as many workers as can be had, at least one.
    // Nothing has been read yet, so on false the caller may still run the
    // stream serially.
    bool startThreads(unsigned workers) {
        try {
            workers_.reserve(workers);
            writer_ = start([this] { writeAll(); });
        } catch (...) {
            return false;
        }
        for (unsigned w = 0; w < workers; ++w) {
            try {
                workers_.push_back(start([this] { processAll(); }));
            } catch (...) {
                break;
            }
        }
        if (!workers_.empty()) return true;
        finishReading(0);
        writer_.join();
        return false;
    }

    void stopThreads() {
        // The writer ends at the last piece, at the first failure or where
        // reading stopped; the workers then finish what they hold.
        writer_.join();
        {
            std::lock_guard<std::mutex> lock(m_);
            stopping_ = true;
        }
        forWorkers_.notify_all();
        for (auto& t : workers_) t.join();
    }

    void fail(uint64_t index, StreamStage stage, int32_t result) {
        {
            std::lock_guard<std::mutex> lock(m_);
            if (index < failedAt_) {
                failedAt_ = index;
                stage_ = stage;
                result_ = result;
            }
        }
        forReader_.notify_all();
        forWriter_.notify_all();
    }

    void finishReading(uint64_t pieces) {
        {
            std::lock_guard<std::mutex> lock(m_);
            readingDone_ = true;
            pushed_ = pieces;
        }
        forWriter_.notify_all();
    }

    void readAll() {
        uint64_t i = 0;
        for (;; ++i) {
            {
                std::unique_lock<std::mutex> lock(m_);
                forReader_.wait(lock, [&] { return failedAt_ != kNone || i - written_ < pieces_.size(); });
                if (failedAt_ != kNone) break;
            }
            StreamPiece& p = take(i);
            if (const int32_t r = steps_.read(p); r != 0) {
                fail(i, StreamStage::Read, r);
                break;
            }
            const bool last = p.last;  // the piece is the workers' from here
            {
                std::lock_guard<std::mutex> lock(m_);
                pushed_ = i + 1;
            }
            forWorkers_.notify_one();
            if (last) {
                ++i;
                break;
            }
        }
        finishReading(i);
    }

    void processAll() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            forWorkers_.wait(lock, [&] { return stopping_ || taken_ < pushed_; });
            if (taken_ == pushed_) return;
            const uint64_t i = taken_++;
            const bool skip = failedAt_ < i;
            lock.unlock();
            StreamPiece& p = pieces_[i % pieces_.size()];
            const int32_t r = skip ? 0 : steps_.process(p);
            if (r != 0) fail(i, StreamStage::Process, r);
            lock.lock();
            processed_[i % pieces_.size()] = i;
            forWriter_.notify_all();
        }
    }

    void writeAll() {
        for (uint64_t i = 0;; ++i) {
            const size_t slot = i % pieces_.size();
            {
                std::unique_lock<std::mutex> lock(m_);
                forWriter_.wait(lock, [&] {
                    return failedAt_ <= i || processed_[slot] == i || (readingDone_ && i == pushed_);
                });
                if (failedAt_ <= i || processed_[slot] != i) return;
            }
            const StreamPiece& p = pieces_[slot];
            if (const int32_t r = steps_.write(p); r != 0) {
                fail(i, StreamStage::Write, r);
                return;
            }
            // Once written, the slot is the reader's again.
            const bool last = p.last;
            {
                std::lock_guard<std::mutex> lock(m_);
                written_ = i + 1;
            }
            forReader_.notify_one();
            if (last) return;
        }
    }

    // Without threads: each piece read, processed and written in turn.
    void runSerially() {
        for (uint64_t i = 0;; ++i) {
            StreamPiece& p = take(i);
            int32_t r = steps_.read(p);
            StreamStage stage = StreamStage::Read;
            if (r == 0) {
                r = steps_.process(p);
                stage = StreamStage::Process;
            }
            if (r == 0) {
                r = steps_.write(p);
                stage = StreamStage::Write;
            }
            if (r != 0) return fail(i, stage, r);
            written_ = i + 1;
            if (p.last) return;
        }
    }

    const StreamShape& shape_;
    const StreamSteps& steps_;
    IoBuffer arena_;
    std::vector<StreamPiece> pieces_;
    std::thread writer_;
    std::vector<std::thread> workers_;

    std::mutex m_;
    std::condition_variable forReader_, forWorkers_, forWriter_;
    std::vector<uint64_t> processed_;  // per slot: the last piece processed there
    uint64_t pushed_ = 0;              // pieces read and handed to the workers
    uint64_t taken_ = 0;               // pieces taken by a worker
    uint64_t written_ = 0;
    bool readingDone_ = false;
    bool stopping_ = false;
    uint64_t failedAt_ = kNone;
    StreamStage stage_ = StreamStage::None;
    int32_t result_ = 0;
};

}  // namespace

StreamOutcome runOrderedStream(const StreamShape& shape, const StreamSteps& steps) {
    ActiveStream active;
    const unsigned workers =
        shape.workers ? shape.workers : std::max(1u, workerBudget() / activeStreams.load());
    ThreadSlots slots(workers + 1);  // and the writer
    OrderedStream stream(shape, steps);
    return stream.run(slots);
}

}  // namespace tmd_io
