// Where tmd-pki's files come from and go: destinations checked before
// anything is made, outputs written all or none, small inputs read whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "io/output_file.h"
#include "io/small_file.h"
#include "tool/pki/pki.h"

namespace pki {

namespace {

[[noreturn]] void cannotWrite(const std::string& path, int err) {
    if (err == EEXIST) die(path + " exists; --force replaces it");
    if (err == EISDIR || err == EINVAL) die(path + " is not a regular file; nothing is written to it");
    die("cannot write " + path + ": " + std::strerror(err));
}

}  // namespace

void checkDestinations(const std::vector<std::string>& paths, bool force) {
    std::vector<std::filesystem::path> seen;
    std::vector<std::pair<dev_t, ino_t>> files;
    for (const std::string& p : paths) {
        std::error_code ec;
        const auto normal = std::filesystem::absolute(p, ec).lexically_normal();
        for (const auto& s : seen)
            if (!ec && s == normal) die(p + " is named for two outputs");
        seen.push_back(normal);

        struct stat st {};
        if (lstat(p.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;
            die("cannot write " + p + ": " + std::strerror(errno));
        }
        const char* kind = S_ISLNK(st.st_mode)                        ? "a symbolic link"
                           : S_ISDIR(st.st_mode)                      ? "a directory"
                           : S_ISFIFO(st.st_mode)                     ? "a FIFO"
                           : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                           : S_ISSOCK(st.st_mode)                     ? "a socket"
                                                                      : nullptr;
        if (kind) die(p + " is " + kind + ", not a regular file; nothing is written to it");
        for (const auto& f : files)
            if (f.first == st.st_dev && f.second == st.st_ino) die(p + " is named for two outputs");
        files.emplace_back(st.st_dev, st.st_ino);
        if (!force) die(p + " exists; --force replaces it");
    }
}

// All files are written before the first is put in place, so a failure
// while writing leaves none of them behind.
void writeOutputs(const std::vector<Output>& outputs, bool force) {
    std::vector<std::unique_ptr<tmd_io::OutputFile>> files;
    for (const Output& o : outputs) {
        files.push_back(std::make_unique<tmd_io::OutputFile>());
        const tmd_io::OutputPolicy policy{true, force, static_cast<mode_t>(o.secret ? 0600 : 0644)};
        if (!files.back()->create(o.path.c_str(), policy)) {
            const int err = errno;
            files.clear();
            cannotWrite(o.path, err);
        }
        if (!files.back()->write(o.data, o.size)) {
            const int err = errno;
            files.clear();
            cannotWrite(o.path, err);
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i]->commit()) {
            const int err = errno;
            files.clear();
            cannotWrite(outputs[i].path, err);
        }
    }
}

// The whole of a regular file of at most maxBytes; nothing, and the reason in
// why, when it cannot be had.
std::optional<Bytes> tryReadFile(const std::string& path, size_t maxBytes, std::string& why) {
    Bytes b;
    const tmd_io::ReadResult r = tmd_io::readSmallFile(path.c_str(), maxBytes, b);
    if (r.status == tmd_io::ReadStatus::ok) return b;
    why = tmd_io::describe(r, maxBytes);
    return std::nullopt;
}

Bytes readFile(const std::string& path, size_t maxBytes) {
    std::string why;
    std::optional<Bytes> b = tryReadFile(path, maxBytes, why);
    if (!b) die("cannot read " + path + ": " + why);
    return std::move(*b);
}

void randomBytes(uint8_t* p, size_t n) {
    if (!tmd_io::randomBytes(p, n)) die("no random numbers from the operating system");
}

tmd_io::FilePtr openRegularFile(const std::string& path, std::string& why) {
    struct stat st;
    // A device is not even opened: opening some of them acts on the device.
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return nullptr;
    }
    // Opened without waiting for a FIFO's writer, and the type taken from the
    // open descriptor, so a file swapped in after the check changes nothing.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        why = "not a regular file";
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    tmd_io::FilePtr f(fdopen(fd, "rb"));
    if (!f) {
        why = std::strerror(errno);
        close(fd);
    }
    return f;
}

}  // namespace pki
