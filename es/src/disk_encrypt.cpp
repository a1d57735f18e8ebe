#include "es/disk_encrypt.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "csl/sha1.h"
#include "es/disk_layout.h"
#include "output_file.h"
#include "pipeline.h"

namespace {

// True when all `len` bytes of a super block's blocks were written; else
// reports the failure for the part (hash block or data) that `done`, the
// count written, stopped in.
bool blocksWritten(size_t done, uint32_t len) {
    if (done == len) return true;
    const size_t inBlock = done % DVD_BYTES_PER_BLOCK;
    const bool inHash = inBlock < DVD_HASH_BYTES_PER_BLOCK;
    const size_t partDone = inHash ? inBlock : inBlock - DVD_HASH_BYTES_PER_BLOCK;
    const uint32_t partLen = inHash ? DVD_HASH_BYTES_PER_BLOCK : DVD_DATA_BYTES_PER_BLOCK;
    std::fprintf(stderr, "Error: write failed (%d out of %d written) - exit\n",
                 static_cast<int>(partDone), static_cast<int>(partLen));
    return false;
}

// Where a stream's blocks go, in order: an output file of this library's,
// which may put them on the device directly (OutputFile::preferDirect), or
// a caller's descriptor, written at its position. Only one thread writes:
// the file system takes a lock on the file for every buffered write, so
// writers side by side would only wait for each other.
struct BlockSink {
    es_detail::OutputFile* file = nullptr;
    int fd = -1;

    // Writes the encrypted blocks of one super block, each a hash block
    // followed by its data, which lie one after the other in `blocks`.
    bool put(const uint8_t* blocks, uint32_t len) const {
        size_t done = 0;
        if (file)
            (void)file->write(blocks, len, &done);
        else
            done = es_detail::writeFully(fd, blocks, len);
        return blocksWritten(done, len);
    }
};

// Reads one super block from `in`, writes its blocks to `out` and stores
// its hash in `slot`. `slot` is null once the table is full: an empty read
// then still ends the content, anything more is refused. 1 when more input
// may follow, 0 at end of file, or a negative result.
int32_t computeSuperBlock(FILE* in, const BlockSink& out, uint8_t* slot, const uint8_t key[16],
                          uint8_t* work, uint8_t* blocks, uint64_t* plainBytes) {
    size_t numRead = std::fread(work, 1, DVD_DATA_BYTES_PER_SUPERBLOCK, in);
    // fread stops short only at end of file or on an error; an error must not
    // pass for the end of the content.
    const bool atEnd = numRead < DVD_DATA_BYTES_PER_SUPERBLOCK;
    if (atEnd && std::ferror(in)) {
        std::printf("Error when reading input file - exiting\n");
        return ES_DISK_FATAL;
    }
    if (numRead == 0) return 0;
    if (!slot) return ES_ERR_INVALID;

    uint32_t produced = 0;
    int32_t r = generateSuperBlock(work, static_cast<uint32_t>(numRead), slot, key, blocks,
                                   &produced);
    if (r != 0) return r;

    if (!out.put(blocks, produced)) return ES_DISK_FATAL;
    *plainBytes += numRead;
    return atEnd ? 0 : 1;
}

}  // namespace

namespace {

// Disc encryptions running in this process; they share the processor's
// cores between them, so that a title whose contents already run in
// parallel does not start a full set of workers per content.
std::atomic<unsigned> activeStreams{0};

// Workers for all disc encryptions of the process together. Four build
// super blocks faster than any disk takes them (about 2 GB/s each), and
// every worker brings a super block's buffers (4 MiB) with it, so a machine
// with many cores does not get a larger pipeline than four give.
constexpr unsigned kMaxWorkers = 4;

unsigned workerBudget() {
    unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0) cores = 1;
    cores = std::min(cores, kMaxWorkers);
    const unsigned active = activeStreams.load();
    return std::max(1u, cores / std::max(1u, active));
}

struct StreamCount {
    StreamCount() { ++activeStreams; }
    ~StreamCount() { --activeStreams; }
};

int32_t encryptSerially(FILE* in, const BlockSink& out, const uint8_t key[16], uint8_t* table,
                        uint32_t tableEntries, uint32_t* slotsUsed, uint64_t* plainBytes) {
    // One super block of plaintext and its encrypted blocks, reused throughout.
    constexpr size_t workBytes = size_t{DVD_DATA_BYTES_PER_SUPERBLOCK} + DVD_BYTES_PER_SUPERBLOCK;
    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[workBytes]);
    if (!work) {
        std::printf("Cannot malloc %u bytes - exit\n", DVD_DATA_BYTES_PER_SUPERBLOCK);
        return ES_DISK_FATAL;
    }
    uint8_t* blocks = work.get() + DVD_DATA_BYTES_PER_SUPERBLOCK;

    for (;;) {
        uint8_t* slot = *slotsUsed < tableEntries ? table + size_t{*slotsUsed} * SHA1_DIGEST_BYTES
                                                  : nullptr;
        int32_t r = computeSuperBlock(in, out, slot, key, work.get(), blocks, plainBytes);
        if (r < 0) return r;
        if (slot) ++*slotsUsed;
        if (r == 0) return 0;
    }
}

// Super block buffers are aligned for direct I/O: plaintext, then the
// encrypted blocks, each part a whole number of pages.
constexpr size_t kBufferAlign = 4096;
constexpr size_t kJobBytes = size_t{DVD_DATA_BYTES_PER_SUPERBLOCK} + DVD_BYTES_PER_SUPERBLOCK;
static_assert(DVD_DATA_BYTES_PER_SUPERBLOCK % kBufferAlign == 0 && kJobBytes % kBufferAlign == 0);

// One super block on its way through the parallel stream.
struct SuperBlockJob {
    uint8_t* work = nullptr;  // plaintext, then the encrypted blocks
    size_t numRead = 0;
    bool atEnd = false;
    bool readError = false;
    uint8_t* slot = nullptr;
    uint32_t produced = 0;
    int32_t result = 0;
    bool done = false;
};

// Super blocks are read in order by the calling thread, built by workers
// and written in order by a writer thread. Every outcome is taken in stream
// order, as the serial loop meets it: a super block's read error, end of
// input, full table or write failure counts only once all super blocks
// before it are written, and nothing after a failure is written.
//
// False, with nothing read, when the workers or their buffers cannot be had.
bool encryptInParallel(FILE* in, const BlockSink& out, const uint8_t key[16],
                       uint8_t* table, uint32_t tableEntries, uint32_t* slotsUsed,
                       uint64_t* plainBytes, unsigned workers, int32_t* result) {
    const size_t depth = workers + 3;
    // All buffers in one block on large pages (see allocateIoBuffer).
    const es_detail::IoBuffer arena = es_detail::allocateIoBuffer(depth * kJobBytes);
    if (!arena) return false;
    std::vector<SuperBlockJob> jobs(depth);
    for (size_t i = 0; i < depth; ++i) jobs[i].work = arena.get() + i * kJobBytes;

    std::mutex m;
    std::condition_variable doneCv;
    es_detail::StageQueue<SuperBlockJob*> queue;
    auto worker = [&] {
        SuperBlockJob* job;
        while (queue.pop(job)) {
            uint8_t* blocks = job->work + DVD_DATA_BYTES_PER_SUPERBLOCK;
            uint32_t produced = 0;
            const int32_t r = generateSuperBlock(job->work,
                                                 static_cast<uint32_t>(job->numRead), job->slot,
                                                 key, blocks, &produced);
            {
                std::lock_guard<std::mutex> lock(m);
                job->produced = produced;
                job->result = r;
                job->done = true;
            }
            doneCv.notify_all();
        }
    };
    std::vector<std::thread> threads;
    try {
        for (unsigned w = 0; w < workers; ++w) threads.emplace_back(worker);
    } catch (...) {
        queue.close();
        for (auto& t : threads) t.join();
        return false;
    }

    // A writer thread puts finished super blocks out in order while the
    // next ones are read and built. `released` counts the super blocks it
    // is done with, whose buffers may then be read into again.
    uint64_t released = 0;
    bool writeFailed = false;
    es_detail::StageQueue<SuperBlockJob*> writeQueue;
    auto writerLoop = [&] {
        SuperBlockJob* job;
        while (writeQueue.pop(job)) {
            bool failed;
            {
                std::lock_guard<std::mutex> lock(m);
                failed = writeFailed;
            }
            const bool ok =
                failed || out.put(job->work + DVD_DATA_BYTES_PER_SUPERBLOCK, job->produced);
            {
                std::lock_guard<std::mutex> lock(m);
                if (!ok) writeFailed = true;
                ++released;
            }
            doneCv.notify_all();
        }
    };
    std::thread writerThread;
    try {
        writerThread = std::thread(writerLoop);
    } catch (...) {
        queue.close();
        for (auto& t : threads) t.join();
        return false;
    }

    uint64_t readSeq = 0;
    uint64_t writeSeq = 0;  // super blocks handed to the writer
    bool readDone = false;
    // Waits until everything handed to the writer is out; true when all of
    // it was written.
    auto drained = [&] {
        std::unique_lock<std::mutex> lock(m);
        doneCv.wait(lock, [&] { return released == writeSeq; });
        return !writeFailed;
    };
    int32_t r = 0;
    for (;;) {
        uint64_t freed;
        {
            std::lock_guard<std::mutex> lock(m);
            if (writeFailed) {
                r = ES_DISK_FATAL;
                break;
            }
            freed = released;
        }
        if (!readDone && readSeq - freed < depth) {
            SuperBlockJob& j = jobs[readSeq % depth];
            j.numRead = std::fread(j.work, 1, DVD_DATA_BYTES_PER_SUPERBLOCK, in);
            j.atEnd = j.numRead < DVD_DATA_BYTES_PER_SUPERBLOCK;
            j.readError = j.atEnd && std::ferror(in);
            j.slot = readSeq < tableEntries ? table + readSeq * SHA1_DIGEST_BYTES : nullptr;
            j.produced = 0;
            j.result = 0;
            j.done = true;
            if (!j.readError && j.numRead > 0 && j.slot) {
                {
                    std::lock_guard<std::mutex> lock(m);
                    j.done = false;
                }
                queue.push(&j);
            }
            readDone = j.atEnd || (j.numRead > 0 && !j.slot);
            ++readSeq;
            continue;
        }
        if (writeSeq == readSeq) {
            if (readDone) break;
            // Every buffer waits for the writer.
            std::unique_lock<std::mutex> lock(m);
            doneCv.wait(lock, [&] { return released != freed || writeFailed; });
            continue;
        }

        SuperBlockJob& j = jobs[writeSeq % depth];
        {
            std::unique_lock<std::mutex> lock(m);
            doneCv.wait(lock, [&] { return j.done; });
        }
        // Outcomes other than "write it" count only after everything before
        // them is written, as in a serial pass.
        const bool writeIt = !j.readError && j.numRead > 0 && j.slot && j.result == 0;
        if (!writeIt) {
            if (!drained()) {
                r = ES_DISK_FATAL;
            } else if (j.readError) {
                std::printf("Error when reading input file - exiting\n");
                r = ES_DISK_FATAL;
            } else if (j.numRead > 0) {
                r = j.slot ? j.result : ES_ERR_INVALID;
            } else if (j.slot) {
                ++*slotsUsed;  // the empty read at the end takes a zero slot
            }
            break;
        }
        ++writeSeq;
        *plainBytes += j.numRead;
        writeQueue.push(&j);
        ++*slotsUsed;
        if (j.atEnd) {
            if (!drained()) r = ES_DISK_FATAL;
            break;
        }
    }

    writeQueue.close();
    writerThread.join();
    if (r == 0) {
        std::lock_guard<std::mutex> lock(m);
        if (writeFailed) r = ES_DISK_FATAL;
    }
    // Jobs still in flight use the buffers: let them finish.
    queue.close();
    for (auto& t : threads) t.join();
    *result = r;
    return true;
}

// encryptDiskStream into either kind of sink; `plainBytes` counts the
// plaintext bytes of the super blocks written.
int32_t encryptStreamTo(FILE* in, const BlockSink& out, const uint8_t key[16], uint8_t* table,
                        uint32_t tableEntries, uint32_t* slotsUsed, uint64_t* plainBytes) {
    *slotsUsed = 0;
    *plainBytes = 0;
    StreamCount counted;
    int32_t r = 0;
    if (encryptInParallel(in, out, key, table, tableEntries, slotsUsed, plainBytes, workerBudget(),
                          &r))
        return r;
    // Nothing was read: the serial loop starts the content from the top.
    return encryptSerially(in, out, key, table, tableEntries, slotsUsed, plainBytes);
}

}  // namespace

int32_t encryptDiskStream(FILE* in, int outFd, const uint8_t key[16], uint8_t* table,
                          uint32_t tableEntries, uint32_t* slotsUsed) {
    if (slotsUsed) *slotsUsed = 0;
    if (!in || outFd < 0 || !key || !table || !slotsUsed) return ES_ERR_INVALID;
    uint64_t plainBytes = 0;
    return encryptStreamTo(in, BlockSink{nullptr, outFd}, key, table, tableEntries, slotsUsed,
                           &plainBytes);
}

int32_t encryptDiskContent(const char* path, uint32_t cid, const uint8_t key[16],
                           uint8_t hashOut[20]) {
    uint64_t plainBytes = 0;
    return encryptDiskContentSized(path, cid, key, hashOut, &plainBytes);
}

int32_t encryptDiskContentSized(const char* path, uint32_t cid, const uint8_t key[16],
                                uint8_t hashOut[20], uint64_t* plainBytes) {
    if (plainBytes) *plainBytes = 0;
    if (!path || !key || !hashOut || !plainBytes) return ES_ERR_INVALID;
    es_detail::FilePtr in(std::fopen(path, "rb"));
    if (!in) {
        std::perror("Open of content file failed:");
        return ES_ERR_FILE_OPEN;
    }

    char name[32];
    std::snprintf(name, sizeof name, "%08x.%s", cid, "app");
    es_detail::OutputFile app;
    if (!app.create(name)) return ES_ERR_FILE_OPEN;

    // Space for the whole encrypted file up front: every started block of
    // data becomes a full output block.
    struct stat st;
    if (fstat(fileno(in.get()), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        app.reserve(discBlocksFor(static_cast<uint64_t>(st.st_size)) * DVD_BYTES_PER_BLOCK);
    // The encrypted content is written once and not read back here: it goes
    // to the device directly where the file system allows, past the page
    // cache. Filling that cache would cost time and memory (on a virtual
    // machine whose host hands memory out lazily, more than the write
    // itself), and output that is flushed before its rename gains nothing
    // from it; under TMD_SYNC=0 the device still need not flush its own
    // write cache before the run ends.
    app.preferDirect();

    std::array<uint8_t, SUPERBLOCK_HASH_TABLE_BYTES> table{};
    uint32_t slots = 0;
    int32_t r = encryptStreamTo(in.get(), BlockSink{&app, -1}, key, table.data(),
                                SUPERBLOCK_HASH_TABLE_ENTRIES, &slots, plainBytes);
    in.reset();
    if (r == ES_DISK_FATAL) {
        app.discard();
        std::exit(1);
    }
    if (r != 0) return r;
    if (!app.commit()) return ES_ERR_FILE_WRITE;

    std::snprintf(name, sizeof name, "%08x.hash", cid);
    es_detail::OutputFile hashFile;
    if (!hashFile.create(name)) return ES_ERR_FILE_OPEN;
    if (!hashFile.write(table.data(), size_t{slots} * SHA1_DIGEST_BYTES) || !hashFile.commit())
        return ES_ERR_FILE_WRITE;

    csl_sha1(table.data(), SUPERBLOCK_HASH_TABLE_BYTES, hashOut);
    return 0;
}
