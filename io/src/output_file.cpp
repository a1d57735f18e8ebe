#include "io/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>



namespace tmd_io {
namespace {

// The umask without changing it: Linux shows it in /proc/self/status (4.7
// on); elsewhere it is read once, by setting and restoring it.
mode_t processUmask() {
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[128];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(f);
        if (found) return static_cast<mode_t>(mask & 0777);
    }
    static std::once_flag once;
    static mode_t mask = 022;
    std::call_once(once, [] {
        mask = umask(022);
        umask(mask);
    });
    return mask;
}

// Named temporaries that exist right now, for removal when the process is
// interrupted or ends through exit() with an output still open. The signal
// handler reads this table, so it is a fixed array whose entries are claimed
// and released through one atomic state each.
constexpr int kPendingSlots = 64;
enum : int { kSlotFree = 0, kSlotBusy = 1, kSlotNamed = 2 };
struct PendingName {
    std::atomic<int> state{kSlotFree};
    int dirFd = -1;
    char name[NAME_MAX + 1] = {};
};
PendingName pendingNames[kPendingSlots];

// Async-signal-safe.
void removePendingNames() {
    for (PendingName& p : pendingNames)
        if (p.state.load() == kSlotNamed) (void)unlinkat(p.dirFd, p.name, 0);
}

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// The handler restores the default action on entry (SA_RESETHAND) and keeps
// the signal blocked while it runs; the signal raised again here ends the
// process as soon as the handler returns, so whoever waits for it sees the
// signal that ended it.
extern "C" void onInterrupt(int sig) {
    const int savedErrno = errno;
    removePendingNames();
    (void)raise(sig);
    errno = savedErrno;
}

void installInterruptHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : kInterrupts) {
            struct sigaction old {};
            // A signal ignored (nohup) or handled by the program keeps its
            // disposition.
            if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) ||
                old.sa_handler != SIG_DFL)
                continue;
            struct sigaction sa {};
            sa.sa_handler = onInterrupt;
            sigemptyset(&sa.sa_mask);
            for (int other : kInterrupts) sigaddset(&sa.sa_mask, other);
            sa.sa_flags = SA_RESETHAND;
            (void)sigaction(sig, &sa, nullptr);
        }
        std::atexit(removePendingNames);
    });
}

// The slot now holding `name` (in dirFd), or -1 when the table is full.
int addPendingName(int dirFd, const std::string& name) {
    installInterruptHandlers();
    if (name.size() > NAME_MAX) return -1;
    for (int i = 0; i < kPendingSlots; ++i) {
        int expected = kSlotFree;
        PendingName& p = pendingNames[i];
        if (!p.state.compare_exchange_strong(expected, kSlotBusy)) continue;
        p.dirFd = dirFd;
        name.copy(p.name, name.size());
        p.name[name.size()] = '\0';
        p.state.store(kSlotNamed);
        return i;
    }
    return -1;
}

void dropPendingName(int slot) {
    if (slot >= 0) pendingNames[slot].state.store(kSlotFree);
}

std::atomic<bool> unnamedWanted{true};

// ".NAME." and twelve characters drawn from the system's random source:
// about 71 bits that another user cannot guess.
std::string temporaryName(const std::string& base) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    uint8_t r[12];
    if (getrandom(r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
        // No entropy yet (early boot): still unique, and the exclusive
        // creation refuses whatever someone else put there.
        static std::atomic<uint64_t> counter{0};
        struct timespec ts {};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 30) ^
                     (static_cast<uint64_t>(getpid()) << 48) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15u);
        for (uint8_t& b : r) {
            x ^= x >> 29;
            x *= 0xBF58476D1CE4E5B9u;
            b = static_cast<uint8_t>(x >> 56);
        }
    }
    std::string name = "." + base.substr(0, NAME_MAX - 2 - sizeof r) + ".";
    for (uint8_t b : r) name += kChars[b % (sizeof kChars - 1)];
    return name;
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

void useUnnamedTemporaries(bool on) { unnamedWanted.store(on); }

const char* entryKind(mode_t mode) {
    return S_ISLNK(mode)                    ? "a symbolic link"
           : S_ISDIR(mode)                  ? "a directory"
           : S_ISFIFO(mode)                 ? "a FIFO"
           : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
           : S_ISSOCK(mode)                 ? "a socket"
           : S_ISREG(mode)                  ? nullptr
                                            : "a special file";
}

const char* refusedEntry(int dirFd, const char* name) {
    struct stat st {};
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;
    if (!S_ISLNK(st.st_mode)) return entryKind(st.st_mode);
    // A link is replaced, never followed; one to what no output is put over
    // (someone's device link, say) is refused like what it leads to, as the
    // one who made it would not want it replaced by a file either.
    struct stat target {};
    if (fstatat(dirFd, name, &target, 0) != 0 || S_ISREG(target.st_mode)) return nullptr;
    const mode_t m = target.st_mode;
    return S_ISDIR(m)                 ? "a link to a directory"
           : S_ISFIFO(m)              ? "a link to a FIFO"
           : S_ISCHR(m) || S_ISBLK(m) ? "a link to a device"
           : S_ISSOCK(m)              ? "a link to a socket"
                                      : "a link to a special file";
}

int openDirectory(const char* path) { return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

int openSubdirectory(int dirFd, const char* name) {
    if (mkdirat(dirFd, name, 0777) != 0 && errno != EEXIST) return -1;
    const int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // O_NOFOLLOW with O_DIRECTORY gives ELOOP or ENOTDIR for a link:
        // say which it is.
        struct stat st {};
        if ((errno == ELOOP || errno == ENOTDIR) &&
            fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
        return -1;
    }
    struct stat st {};
    const int err = fstat(fd, &st) != 0 ? errno : st.st_uid != geteuid() ? EPERM : 0;
    if (err == 0) return fd;
    close(fd);
    errno = err;
    return -1;
}

bool lockDirectory(int dirFd) {
    while (flock(dirFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        // A file system without such locks (some network ones) cannot keep
        // runs apart; it does not stop the run either.
        return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;
    }
    return true;
}

bool OutputFile::create(const char* path, const OutputPolicy& policy) {
    discard();
    if (!path || !*path) {
        errno = ENOENT;
        return false;
    }
    const std::string p = path;
    const std::string::size_type slash = p.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : p.substr(0, slash == 0 ? 1 : slash);
    finalName_ = slash == std::string::npos ? p : p.substr(slash + 1);
    dirFd_ = openDirectory(dir.c_str());
    return begin(policy);
}

bool OutputFile::create(int dirFd, const char* name, const OutputPolicy& policy) {
    discard();
    if (!name || !*name) {
        errno = ENOENT;
        return false;
    }
    if (std::strchr(name, '/')) {
        errno = EINVAL;
        return false;
    }
    finalName_ = name;
    dirFd_ = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    return begin(policy);
}

// With finalName_ set and dirFd_ open (negative when the directory could not
// be had, errno saying why): looks at what stands under the name,
// without following it, and opens the new file (or, for a caller's device,
// the device). On failure everything is released and errno says why.
bool OutputFile::begin(const OutputPolicy& policy) {
    replace_ = policy.replace;
    const char* name = finalName_.c_str();
    auto fail = [this](int err) {
        discard();
        errno = err;
        return false;
    };
    // The directory could not be had: create() leaves its errno.
    if (dirFd_ < 0) return fail(errno);
    if (finalName_.empty() || finalName_ == "." || finalName_ == "..") return fail(EISDIR);

    mode_t mode = policy.mode & ~processUmask() & 07777;
    struct stat st {};
    const bool present = fstatat(dirFd_, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!present && errno != ENOENT) return fail(errno);
    if (present) {
        if (S_ISDIR(st.st_mode)) return fail(EISDIR);
        if (policy.keyMaterial && !S_ISREG(st.st_mode)) return fail(EINVAL);
        if (!policy.replace) return fail(EEXIST);
        if (S_ISLNK(st.st_mode)) {
            // A link is replaced, not followed. One that leads to a
            // directory is refused, and so is one to a device, FIFO or
            // socket, unless the caller named it: then that is written as
            // opening the path would (/dev/stdout).
            struct stat target {};
            if (fstatat(dirFd_, name, &target, 0) == 0) {
                if (S_ISDIR(target.st_mode)) return fail(EISDIR);
                if (!S_ISREG(target.st_mode) && !policy.callerNamed) return fail(EINVAL);
                if (!S_ISREG(target.st_mode)) return openInPlace(nullptr) || fail(errno);
            }
        } else if (!S_ISREG(st.st_mode)) {
            if (!policy.callerNamed) return fail(EINVAL);
            return openInPlace(nullptr) || fail(errno);
        } else if (S_ISREG(st.st_mode) && !policy.keyMaterial) {
            // A read-only file is refused as opening it for writing would
            // be. (Were the entry swapped for a link meanwhile, only this
            // permission check would follow it.)
            if (faccessat(dirFd_, name, W_OK, 0) != 0) return fail(errno);
            // Truncating keeps a file's permissions; so does replacing the
            // caller's own file. Another user's file, or a second name of
            // one, is no template: its mode is theirs to choose.
            if (st.st_uid == geteuid() && st.st_nlink == 1) mode = st.st_mode & 0777;
        }
    }
    if (openTemporary(mode)) return true;
    const int saved = errno;
    // A writable file of the caller's in a directory we may not add to can
    // still be rewritten, only not atomically, and never through a link.
    if (saved == EACCES && present && S_ISREG(st.st_mode) && policy.callerNamed &&
        !policy.keyMaterial && st.st_nlink == 1 && openInPlace(&st))
        return true;
    return fail(saved);
}

// Opens the entry under the name itself for writing, never creating it: a
// caller's device, FIFO or socket (`file` null), or the regular file `file`
// describes, with no other name, reached without a link and then emptied.
// Refused (EINVAL) when what opened is not what was meant.
bool OutputFile::openInPlace(const struct stat* file) {
    fd_ = openat(dirFd_, finalName_.c_str(),
                 O_WRONLY | O_NOCTTY | O_CLOEXEC | (file ? O_NOFOLLOW : 0));
    if (fd_ < 0) return false;
    struct stat st {};
    bool ok = fstat(fd_, &st) == 0 && !S_ISDIR(st.st_mode);
    if (ok && file)
        ok = S_ISREG(st.st_mode) && st.st_dev == file->st_dev && st.st_ino == file->st_ino &&
             st.st_nlink == 1 && ftruncate(fd_, 0) == 0;
    else if (ok)
        ok = !S_ISREG(st.st_mode);
    if (!ok) {
        close(fd_);
        fd_ = -1;
        errno = EINVAL;
        return false;
    }
    inPlace_ = true;
    return true;
}

// Makes `create` (which returns false with errno EEXIST when the name is
// taken) put a file under a fresh temporary name, registered for removal on
// an interrupt. A name someone else holds is passed over for another.
template <class Create>
bool OutputFile::claimTemporaryName(Create create) {
    for (int attempt = 0; attempt < 64; ++attempt) {
        tmpName_ = temporaryName(finalName_);
        slot_ = addPendingName(dirFd_, tmpName_);
        if (create()) return true;
        const int saved = errno;
        dropPendingName(slot_);
        slot_ = -1;
        tmpName_.clear();
        if (saved != EEXIST) {
            errno = saved;
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

bool OutputFile::openTemporary(mode_t mode) {
#ifdef O_TMPFILE
    // Unnamed until commit: nothing to clean up after any kind of ending.
    if (unnamedWanted.load()) {
        fd_ = openat(dirFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (fd_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
        unnamed_ = fd_ >= 0;
    }
#endif
    // Otherwise a fresh name, created exclusively and never through a link.
    if (fd_ < 0 && !claimTemporaryName([&] {
            fd_ = openat(dirFd_, tmpName_.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            return fd_ >= 0;
        }))
        return false;
    // The permissions are settled before the first byte arrives.
    return fchmod(fd_, mode) == 0;
}

bool OutputFile::write(const void* bytes, size_t len, size_t* done) {
    const auto* data = static_cast<const uint8_t*>(bytes);
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

// Links the unnamed temporary as `name` in the directory; false (errno
// EEXIST among others) when that fails.
bool OutputFile::linkAs(const std::string& name) {
    char self[48];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
    if (linkat(AT_FDCWD, self, dirFd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno == EEXIST) return false;
    // Without /proc, linking the descriptor itself takes a privilege.
    const int saved = errno;
    if (linkat(fd_, "", dirFd_, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno != EEXIST) errno = saved;
    return false;
}

bool OutputFile::placeUnnamed() {
    if (linkAs(finalName_)) return true;
    if (errno != EEXIST || !replace_) return false;
    // A link cannot replace: link under a fresh name, rename that over the
    // old file.
    return claimTemporaryName([&] { return linkAs(tmpName_); }) && placeNamed();
}

bool OutputFile::placeNamed() {
    const char* from = tmpName_.c_str();
    const char* to = finalName_.c_str();
    bool ok;
    if (replace_) {
        ok = renameat(dirFd_, from, dirFd_, to) == 0;
    } else {
        ok = renameat2(dirFd_, from, dirFd_, to, RENAME_NOREPLACE) == 0;
        if (!ok && (errno == EINVAL || errno == ENOSYS)) {
            // No such rename on this file system: a link never replaces.
            ok = linkat(dirFd_, from, dirFd_, to, 0) == 0;
            if (ok) (void)unlinkat(dirFd_, from, 0);
        }
    }
    if (!ok) {
        const int saved = errno;
        (void)unlinkat(dirFd_, from, 0);
        errno = saved;
    }
    dropPendingName(slot_);
    slot_ = -1;
    tmpName_.clear();
    return ok;
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
    if (inPlace_) {
        struct stat st;
        if (syncWanted() && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))
            ok = fsync(fd_) == 0 && ok;
        ok = close(fd_) == 0 && ok;
        fd_ = -1;
        inPlace_ = false;
        return ok;
    }
    if (syncWanted()) ok = fsync(fd_) == 0 && ok;
    if (unnamed_) {
        // Linked while open; closing after an fsync cannot lose data.
        ok = ok && placeUnnamed();
        ok = close(fd_) == 0 && ok;
        fd_ = -1;
    } else {
        ok = close(fd_) == 0 && ok;
        fd_ = -1;
        ok = ok && placeNamed();
    }
    if (!ok) {
        const int saved = errno;
        discard();
        errno = saved;
        return false;
    }
    // Make the new name itself durable; the data is already safe, so a
    // failure here is not worth failing the output for.
    if (syncWanted()) (void)fsync(dirFd_);
    discard();
    return true;
}

void OutputFile::discard() {
    reserved_ = false;
    positioned_ = direct_ = false;
    unnamed_ = inPlace_ = false;
    offset_ = 0;
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!tmpName_.empty()) {
        (void)unlinkat(dirFd_, tmpName_.c_str(), 0);
        tmpName_.clear();
    }
    dropPendingName(slot_);
    slot_ = -1;
    if (dirFd_ >= 0) {
        close(dirFd_);
        dirFd_ = -1;
    }
}

}  // namespace tmd_io

