// The ordered stream under the content engines: order, the first failure in
// stream order, nothing written after it, and threads that cannot be had;
// items side by side, and the one thread budget they and the streams share.
#include "io/stream_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using tmd_io::StreamPiece;
using tmd_io::StreamStage;

struct Failure {
    StreamStage stage;
    uint64_t index;
    int32_t result;
};

// A stream of `pieces` pieces, each carrying its index. Processing takes
// longer for even pieces, so workers finish out of order; the failures given
// are met at their stage and piece.
struct TestStream {
    uint64_t pieces = 40;
    std::vector<Failure> failures;
    std::vector<uint64_t> written;  // what the writer put out, in order
    std::atomic<uint64_t> furthestRead{0};
    std::function<void()> onProcess;

    int32_t failureAt(StreamStage stage, uint64_t index) const {
        for (const Failure& f : failures)
            if (f.stage == stage && f.index == index) return f.result;
        return 0;
    }

    tmd_io::StreamOutcome run(unsigned workers, int threadsAvailable) {
        tmd_io::StreamSteps steps;
        steps.read = [this](StreamPiece& p) {
            furthestRead = p.index;
            std::memcpy(p.buffer, &p.index, sizeof p.index);
            p.size = sizeof p.index;
            p.last = p.index + 1 == pieces;
            return failureAt(StreamStage::Read, p.index);
        };
        steps.process = [this](StreamPiece& p) {
            if (p.index % 2 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
            if (onProcess) onProcess();
            p.out = p.buffer;
            p.outSize = p.size;
            return failureAt(StreamStage::Process, p.index);
        };
        steps.write = [this](const StreamPiece& p) {
            if (int32_t r = failureAt(StreamStage::Write, p.index)) return r;
            uint64_t v;
            std::memcpy(&v, p.out, sizeof v);
            written.push_back(v);
            return 0;
        };
        tmd_io::StreamShape shape;
        shape.pieceBytes = 64;
        shape.workers = workers;
        auto started = std::make_shared<std::atomic<int>>(0);
        shape.startThread = [started, threadsAvailable](std::function<void()> body) {
            if (threadsAvailable >= 0 && ++*started > threadsAvailable)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            return std::thread(std::move(body));
        };
        return tmd_io::runOrderedStream(shape, steps);
    }
};

TEST(OrderedStream, WritesEveryPieceInOrderWhateverThreadsItGets) {
    // threadsAvailable -1: as many as asked; 0: none (serial); 1: the writer
    // but no worker (serial); 2: the writer and one of three workers.
    const struct {
        unsigned workers;
        int threadsAvailable;
    } cases[] = {{1, -1}, {3, -1}, {0, -1}, {3, 0}, {3, 1}, {3, 2}};
    for (const auto& c : cases) {
        TestStream s;
        const tmd_io::StreamOutcome o = s.run(c.workers, c.threadsAvailable);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.stage, StreamStage::None);
        EXPECT_EQ(o.pieces, s.pieces);
        ASSERT_EQ(s.written.size(), s.pieces) << c.workers << "/" << c.threadsAvailable;
        for (uint64_t i = 0; i < s.pieces; ++i) EXPECT_EQ(s.written[i], i);
    }
}

TEST(OrderedStream, FirstFailureInStreamOrderWinsAndNothingAfterItIsWritten) {
    // The later failure is met first in time (odd pieces process faster, and
    // a read runs ahead of earlier pieces' processing and writing), yet the
    // one earlier in the stream is reported.
    const struct {
        std::vector<Failure> failures;
        Failure reported;
    } cases[] = {
        {{{StreamStage::Read, 7, -3}}, {StreamStage::Read, 7, -3}},
        {{{StreamStage::Process, 4, -4}, {StreamStage::Process, 5, -5}}, {StreamStage::Process, 4, -4}},
        {{{StreamStage::Write, 2, -6}, {StreamStage::Read, 4, -3}}, {StreamStage::Write, 2, -6}},
        {{{StreamStage::Process, 0, -4}, {StreamStage::Read, 1, -3}}, {StreamStage::Process, 0, -4}},
        {{{StreamStage::Write, 39, -6}}, {StreamStage::Write, 39, -6}},
    };
    for (const auto& c : cases) {
        for (int threads : {-1, 0}) {
            TestStream s;
            s.failures = c.failures;
            const tmd_io::StreamOutcome o = s.run(3, threads);
            const uint64_t at = c.reported.index;
            EXPECT_EQ(o.result, c.reported.result) << at;
            EXPECT_EQ(o.stage, c.reported.stage) << at;
            EXPECT_EQ(o.pieces, at);
            ASSERT_EQ(s.written.size(), at);
            for (uint64_t i = 0; i < at; ++i) EXPECT_EQ(s.written[i], i);
            // Reading stops within the arena's depth of the failure.
            EXPECT_LE(s.furthestRead.load(), at + 3 + 3) << at;
        }
    }
}

TEST(RunParallel, StopsAfterFirstFailureButFinishesEarlierItems) {
    for (unsigned workers : {1u, 2u, 4u}) {
        std::vector<int> done(50, 0);
        tmd_io::runParallel(
            50, workers, [&](int i) { done[static_cast<size_t>(i)] = 1; },
            [](int i) { return i == 20; });
        for (int i = 0; i <= 20; ++i) EXPECT_EQ(done[static_cast<size_t>(i)], 1) << i;
        int after = 0;
        for (int i = 21; i < 50; ++i) after += done[static_cast<size_t>(i)];
        EXPECT_LE(after, static_cast<int>(workers)) << "items kept starting after a failure";
    }
}

// Threads alive in the process, as the kernel counts them.
unsigned liveThreads() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return static_cast<unsigned>(std::stoul(line.substr(8)));
    return 0;
}

TEST(ThreadBudget, ItemsAndTheirStreamsNeverExceedIt) {
    const unsigned before = liveThreads();
    ASSERT_GT(before, 0u);
    std::atomic<unsigned> most{0};
    auto sample = [&] {
        const unsigned now = liveThreads();
        for (unsigned seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
    };
    // Far more asked for than the budget holds: eight items at once, each a
    // stream that wants four workers, and every processed piece counts.
    std::atomic<int> complete{0};
    tmd_io::runParallel(
        8, 8,
        [&](int) {
            TestStream s;
            s.onProcess = sample;
            if (s.run(4, -1).pieces == s.pieces && s.written.size() == s.pieces) ++complete;
        },
        [](int) { return false; });
    EXPECT_EQ(complete.load(), 8);
    EXPECT_GT(most.load(), before) << "nothing ran beside the caller";
    EXPECT_LE(most.load() - before, tmd_io::threadBudget());
    EXPECT_EQ(tmd_io::threadsInUse(), 0u);
}

}  // namespace
