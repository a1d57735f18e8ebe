#include "io/small_file.h"
#include "io/output_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tmd_io {

namespace {

// Reads up to `length` bytes; the count read, or -1 with errno.
ssize_t readUpTo(int fd, uint8_t* p, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, p + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Opens path for reading. A whole file must be a regular one, so the open
// does not wait for a pipe's writer; a prefix may come from anything but a
// directory, and waits as a plain open would.
ReadResult openInput(const char* path, bool regularOnly, UniqueFd& f) {
    ReadResult r;
    f.fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | (regularOnly ? O_NONBLOCK : 0));
    struct stat st {};
    if (f.fd < 0) {
        r.status = ReadStatus::missing;
        r.error = errno;
    } else if (::fstat(f.fd, &st) != 0) {
        r.error = errno;
    } else if (S_ISDIR(st.st_mode) || (regularOnly && !S_ISREG(st.st_mode))) {
        r.status = ReadStatus::notRegular;
    } else {
        r.status = ReadStatus::ok;
        if (S_ISREG(st.st_mode)) r.size = static_cast<uint64_t>(st.st_size);
    }
    return r;
}

}  // namespace

ReadResult readSmallFile(const char* path, size_t limit, std::vector<uint8_t>& out) {
    out.clear();
    UniqueFd f;
    ReadResult r = openInput(path, true, f);
    if (r.status != ReadStatus::ok) return r;
    if (r.size > limit) {
        r.status = ReadStatus::tooLarge;
        return r;
    }
    // One byte more than the size tells a file that grew since from one
    // that did not.
    out.resize(static_cast<size_t>(r.size) + 1);
    const ssize_t n = readUpTo(f.fd, out.data(), out.size());
    if (n < 0 || static_cast<uint64_t>(n) != r.size) {
        r.status = n < 0 ? ReadStatus::failed : ReadStatus::tooShort;
        r.error = n < 0 ? errno : 0;
        std::memset(out.data(), 0, out.size());
        out.clear();
        return r;
    }
    out.resize(static_cast<size_t>(r.size));
    return r;
}

ReadResult readFilePrefix(const char* path, void* buffer, size_t length) {
    UniqueFd f;
    ReadResult r = openInput(path, false, f);
    if (r.status != ReadStatus::ok) return r;
    const ssize_t n = readUpTo(f.fd, static_cast<uint8_t*>(buffer), length);
    if (n < 0) {
        r.status = ReadStatus::failed;
        r.error = errno;
    } else if (static_cast<size_t>(n) != length) {
        r.status = ReadStatus::tooShort;
    }
    return r;
}

std::string describe(const ReadResult& r, size_t limit) {
    switch (r.status) {
        case ReadStatus::ok: return "read";
        case ReadStatus::missing: return r.error == ENOENT ? "missing" : std::strerror(r.error);
        case ReadStatus::notRegular: return "not a regular file";
        case ReadStatus::tooLarge: return "larger than " + std::to_string(limit) + " bytes";
        case ReadStatus::tooShort:
        case ReadStatus::failed: break;
    }
    return "read error";
}

bool randomBytes(void* out, size_t length) {
    auto* p = static_cast<uint8_t*>(out);
    while (length > 0) {
        const ssize_t n = getrandom(p, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace tmd_io
