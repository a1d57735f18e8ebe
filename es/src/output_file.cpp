#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

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

size_t writeFully(int fd, const uint8_t* data, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, data + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
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
    size_t n = fd_ >= 0 ? writeFully(fd_, data, len) : 0;
    if (done) *done = n;
    return n == len;
}

bool OutputFile::commit() {
    if (fd_ < 0) return false;
    bool ok = fsync(fd_) == 0;
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
