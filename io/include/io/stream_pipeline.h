// The one ordered stream of the content engines: pieces are read in order on
// the calling thread, processed by a bounded set of workers and written in
// order by a writer thread, and the outcome is the one a plain loop (read,
// process, write, next piece) would meet first. An engine says only how to
// read, process and write one piece.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

#include "io/parallel.h"

namespace tmd_io {

// One piece of a stream, in its share of the stream's buffer arena.
struct StreamPiece {
    uint64_t index = 0;       // position in the stream, from 0
    uint8_t* buffer = nullptr;  // StreamShape::pieceBytes of memory
    size_t size = 0;          // bytes read into the buffer
    bool last = false;        // the read met the end of the input
    const uint8_t* out = nullptr;  // what the writer puts out
    size_t outSize = 0;
};

// Each step returns 0, or the failure that ends the stream at this piece.
struct StreamSteps {
    std::function<int32_t(StreamPiece&)> read;         // calling thread, in order
    std::function<int32_t(StreamPiece&)> process;      // a worker
    std::function<int32_t(const StreamPiece&)> write;  // the writer, in order
};

// Starts a thread or throws (std::system_error) when none can be had.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

struct StreamShape {
    size_t pieceBytes = 0;
    // Pieces in flight at most; 0 gives one per worker and three more (one
    // being read, two with the writer).
    size_t depth = 0;
    // Workers to process pieces; 0 asks for this stream's share of the
    // process-wide budget (io/parallel.h), which caps any number asked for.
    // With one worker pieces are processed in order, which a chained cipher
    // needs.
    unsigned workers = 0;
    ThreadStarter startThread;  // empty: std::thread
};

enum class StreamStage { None, Memory, Read, Process, Write };

struct StreamOutcome {
    int32_t result = 0;
    StreamStage stage = StreamStage::None;  // where the reported failure arose
    uint64_t pieces = 0;                    // pieces written
};

// Runs the stream to its last piece or its first failure in stream order:
// a failure of piece i is reported once pieces 0..i-1 are written, and
// nothing after it is written or read. When threads cannot be started the
// steps run one after the other on the calling thread: so do they when the
// budget has no slot left for the writer and one worker. Stage Memory
// (result 0) when not even one piece's buffer could be had.
StreamOutcome runOrderedStream(const StreamShape& shape, const StreamSteps& steps);

}  // namespace tmd_io
