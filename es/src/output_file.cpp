#include "output_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "es/es.h"

namespace es_detail {
namespace {

// The mode a plain fopen("wb") would give a new file: 0666 under the umask.
mode_t newFileMode() {
    static std::once_flag once;
    static mode_t mode = 0644;
    std::call_once(once, [] {
        mode_t mask = umask(022);
        umask(mask);
        mode = static_cast<mode_t>(0666 & ~mask);
    });
    return mode;
}

void syncDirectoryOf(const std::string& path) {
    if (!syncWanted()) return;
    std::string::size_type slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        // Best effort: the data itself is already on disk.
        (void)fsync(dfd);
        close(dfd);
    }
}

}  // namespace

// Outputs are made durable before they are renamed into place: their
// write-back starts as they are written, and the file, then its directory,
// are synced on commit. TMD_SYNC=0 leaves all of that to the system (for a
// caller that syncs the file system once after a batch of titles); the rename
// into place stays atomic either way.
bool syncWanted() {
    static const bool wanted = [] {
        const char* env = std::getenv("TMD_SYNC");
        return !(env && env[0] == '0' && env[1] == '\0');
    }();
    return wanted;
}

// Hands the pages of the last kWritebackBytes or more written through fd to
// the device without waiting for them. Keeps, per thread, the one file being
// written and how far its write-back has been started.
void startWriteback(int fd, size_t justWritten) {
    constexpr off_t kWritebackBytes = off_t{32} << 20;
    thread_local int lastFd = -1;
    thread_local off_t pending = 0;
    if (fd != lastFd) {
        lastFd = fd;
        pending = 0;
    }
    if (!syncWanted()) return;
    pending += static_cast<off_t>(justWritten);
    if (pending < kWritebackBytes) return;
    const off_t end = lseek(fd, 0, SEEK_CUR);
    if (end >= pending) (void)sync_file_range(fd, end - pending, pending, SYNC_FILE_RANGE_WRITE);
    pending = 0;
}

namespace {

// Calls `put(done, n)`, which writes `n` bytes from byte `done` on and
// returns what write(2) would, until all `len` bytes are out or an error
// occurs; returns the count written. No call asks for more than `piece`.
template <class Put>
size_t putFully(size_t len, size_t piece, Put put) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = put(done, std::min(len - done, piece));
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

}  // namespace

size_t writeFully(int fd, const uint8_t* data, size_t len) {
    const size_t done =
        putFully(len, kWritePieceBytes,
                 [&](size_t at, size_t n) { return ::write(fd, data + at, n); });
    startWriteback(fd, done);
    return done;
}

size_t pwriteFully(int fd, const uint8_t* data, size_t len, uint64_t offset, size_t piece) {
    return putFully(len, piece, [&](size_t at, size_t n) {
        return ::pwrite(fd, data + at, n, static_cast<off_t>(offset + at));
    });
}

bool setDirectIo(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    const int wanted = on ? flags | O_DIRECT : flags & ~O_DIRECT;
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

size_t pwriteMaybeDirect(int fd, const uint8_t* data, size_t len, uint64_t offset, bool* direct) {
    size_t done = 0;
    if (*direct) {
        errno = 0;
        done = pwriteFully(fd, data, len, offset, len);
        if (done == len || errno != EINVAL) return done;
        if (!setDirectIo(fd, false)) return done;
        *direct = false;
    }
    return done + pwriteFully(fd, data + done, len - done, offset + done);
}

bool OutputFile::create(const char* name) {
    discard();
    finalPath_ = name;
    std::string::size_type slash = finalPath_.rfind('/');
    std::string dir = slash == std::string::npos ? "" : finalPath_.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? finalPath_ : finalPath_.substr(slash + 1);
    tmpPath_ = dir + "." + base + ".XXXXXX";
    int fd = mkostemp(tmpPath_.data(), O_CLOEXEC);
    if (fd < 0) {
        tmpPath_.clear();
        return false;
    }
    fd_ = fd;
    if (fchmod(fd_, newFileMode()) != 0) {
        int saved = errno;
        discard();
        errno = saved;
        return false;
    }
    return true;
}

bool OutputFile::write(const uint8_t* data, size_t len, size_t* done) {
    size_t n = 0;
    if (fd_ >= 0 && positioned_) {
        n = pwriteMaybeDirect(fd_, data, len, offset_, &direct_);
        offset_ += n;
    } else if (fd_ >= 0) {
        n = writeFully(fd_, data, len);
    }
    if (done) *done = n;
    return n == len;
}

void OutputFile::preferDirect() {
    if (fd_ < 0 || positioned_) return;
    // Writes at explicit offsets from here on: once direct I/O is turned
    // down for a write, the rest still lands in its place.
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    if (at < 0 || !setDirectIo(fd_, true)) return;
    offset_ = static_cast<uint64_t>(at);
    positioned_ = true;
    direct_ = true;
}

void IoBufferFree::operator()(uint8_t* p) const { std::free(p); }

IoBuffer allocateIoBuffer(size_t bytes) {
    bytes = (bytes + kLargePageBytes - 1) / kLargePageBytes * kLargePageBytes;
    IoBuffer buffer(static_cast<uint8_t*>(std::aligned_alloc(kLargePageBytes, bytes)));
#ifdef MADV_HUGEPAGE
    if (buffer) (void)madvise(buffer.get(), bytes, MADV_HUGEPAGE);
#endif
    return buffer;
}

void OutputFile::reserve(uint64_t bytes) {
    if (fd_ < 0 || bytes == 0 || bytes > static_cast<uint64_t>(INT64_MAX)) return;
    if (fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0) reserved_ = true;
}

bool OutputFile::commit() {
    if (fd_ < 0) return false;
    bool ok = true;
    if (reserved_) {
        // Give back reserved space past the end of what was written.
        struct stat st;
        ok = fstat(fd_, &st) == 0 && ftruncate(fd_, st.st_size) == 0;
        reserved_ = false;
    }
    if (syncWanted()) ok = fsync(fd_) == 0 && ok;
    ok = (close(fd_) == 0) && ok;
    fd_ = -1;
    if (ok) ok = rename(tmpPath_.c_str(), finalPath_.c_str()) == 0;
    if (!ok) {
        unlink(tmpPath_.c_str());
        tmpPath_.clear();
        return false;
    }
    tmpPath_.clear();
    syncDirectoryOf(finalPath_);
    return true;
}

void OutputFile::discard() {
    reserved_ = false;
    positioned_ = direct_ = false;
    offset_ = 0;
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!tmpPath_.empty()) {
        unlink(tmpPath_.c_str());
        tmpPath_.clear();
    }
}

}  // namespace es_detail

bool ES_OutputsDurable() { return es_detail::syncWanted(); }
