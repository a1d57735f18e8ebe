// Whole-file helpers. Every small input and output of the tool goes through
// these two calls, and both end the process on failure, so callers never
// check a result.
#include "util/utils.h"

#include <cstdio>
#include <cstdlib>

#include "io/output_file.h"
#include "io/small_file.h"

namespace {

[[noreturn]] void failWith(const char* format, const char* path) {
    std::fprintf(stderr, format, path);
    std::exit(1);
}

}  // namespace

void utilFread(const char* path, void* buffer, uint32_t length) {
    // Keys are read through here: straight into the caller's buffer, which
    // the caller wipes.
    const tmd_io::ReadResult r = tmd_io::readFilePrefix(path, buffer, length);
    if (r.status == tmd_io::ReadStatus::missing) failWith("file open failed %s\n", path);
    if (r.status != tmd_io::ReadStatus::ok) failWith("file read failed %s\n", path);
}

namespace {

void writeWhole(tmd_io::OutputFile& out, bool created, const char* name, const void* data,
                uint32_t length) {
    if (!created) failWith("file open failed %s\n", name);
    if (!out.write(data, length) || !out.commit()) {
        out.discard();
        failWith("file write failed %s\n", name);
    }
}

}  // namespace

// Through the output module: a regular file is replaced only once the new
// data is complete (and, unless TMD_SYNC=0, on disk), so a failed write never
// leaves a truncated file under the name nor destroys an earlier good one.
// The caller named the path: a device or pipe it reaches is written in place.
void utilFwrite(const char* path, const void* data, uint32_t length) {
    tmd_io::OutputPolicy policy;
    policy.callerNamed = true;
    tmd_io::OutputFile out;
    writeWhole(out, out.create(path, policy), path, data, length);
}

void utilFwriteAt(int dirFd, const char* name, const void* data, uint32_t length) {
    tmd_io::OutputFile out;
    writeWhole(out, out.create(dirFd, name), name, data, length);
}
