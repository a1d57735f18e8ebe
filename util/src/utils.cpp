// Whole-file helpers. Every small input and output of the tool goes through
// these two calls, and both end the process on failure, so callers never
// check a result.
#include "util/utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "es/es.h"

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

[[noreturn]] void failWith(const char* format, const char* path) {
    std::fprintf(stderr, format, path);
    std::exit(1);
}

// Permission bits a plain fopen(path, "wb") would give a new file.
mode_t newFileMode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool writeAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Writing into something that is not a regular file (a device, a pipe) cannot
// be made atomic; write it in place and report a failed flush as a failed
// write.
void writeInPlace(const char* path, const char* shownPath, const void* data, uint32_t length) {
    FILE* raw = std::fopen(path, "wb");
    if (!raw) failWith("file open failed %s\n", shownPath);
    size_t written = length ? std::fwrite(data, 1, length, raw) : 0;
    int closed = std::fclose(raw);
    if (written != length || closed != 0) failWith("file write failed %s\n", shownPath);
}

// Writes into a temporary file beside the destination and renames it into
// place only once the data is safely on disk (or, under TMD_SYNC=0, handed
// to the system), so a failed write never leaves a truncated file under the
// destination's name nor destroys an earlier good one.
void writeReplacing(const std::string& dest, const char* shownPath, const void* data,
                    uint32_t length, mode_t mode, bool existed) {
    std::string::size_type slash = dest.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : dest.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? dest : dest.substr(slash + 1);
    std::string tmp = (slash == std::string::npos ? std::string() : dir) + "." + base + ".XXXXXX";

    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        // A writable file in a directory we may not add to can still be
        // rewritten, only not atomically.
        if (errno == EACCES && existed) {
            writeInPlace(dest.c_str(), shownPath, data, length);
            return;
        }
        failWith("file open failed %s\n", shownPath);
    }

    bool ok = fchmod(fd, mode) == 0;
    ok = ok && writeAll(fd, static_cast<const uint8_t*>(data), length);
    const bool durable = ES_OutputsDurable();
    ok = ok && (!durable || fsync(fd) == 0);
    ok = (::close(fd) == 0) && ok;
    ok = ok && std::rename(tmp.c_str(), dest.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        failWith("file write failed %s\n", shownPath);
    }

    // Make the rename itself durable; the data is already safe, so a failure
    // here is not worth failing the write for.
    if (!durable) return;
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        fsync(dirFd);
        ::close(dirFd);
    }
}

}  // namespace

void utilFread(const char* path, void* buffer, uint32_t length) {
    FilePtr file(std::fopen(path, "rb"));
    if (!file) failWith("file open failed %s\n", path);
    // Keys are read through here. Unbuffered, their bytes go straight to the
    // caller's buffer, which the caller wipes, and never into a stdio buffer
    // that would be freed with the key still in it.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    size_t got = length ? std::fread(buffer, 1, length, file.get()) : 0;
    if (got != length) {
        file.reset();
        failWith("file read failed %s\n", path);
    }
}

void utilFwrite(const char* path, const void* data, uint32_t length) {
    std::string dest = path;
    mode_t mode = newFileMode();

    struct stat st {};
    const bool existed = stat(path, &st) == 0;
    if (existed) {
        if (S_ISDIR(st.st_mode)) failWith("file open failed %s\n", path);
        // A read-only file is refused as opening it for writing would be.
        if (access(path, W_OK) != 0) failWith("file open failed %s\n", path);
        // Devices and pipes cannot be replaced, and a file with several
        // names must stay one file: both are written through.
        if (!S_ISREG(st.st_mode) || st.st_nlink > 1) {
            writeInPlace(path, path, data, length);
            return;
        }
        // Truncating an existing file keeps its permissions; so does the
        // replacement.
        mode = st.st_mode & 07777;
        struct stat lst {};
        if (lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) {
            // Replace the file the link points to, not the link.
            char resolved[PATH_MAX];
            if (!realpath(path, resolved)) failWith("file open failed %s\n", path);
            dest = resolved;
        }
    } else {
        struct stat lst {};
        if (lstat(path, &lst) == 0) {
            // A dangling link: creating its target is what opening it does.
            writeInPlace(path, path, data, length);
            return;
        }
        if (dest.empty() || dest.back() == '/') failWith("file open failed %s\n", path);
    }
    writeReplacing(dest, path, data, length, mode, existed);
}
