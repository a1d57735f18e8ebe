// Where tmd-pki's files come from and go: destinations checked (and their
// directories locked for the run) before anything is made, outputs written
// all or none, never through what stands under their names, small inputs
// read whole.
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

// The output directories of this run, each open once and locked until the
// process ends: a second run writing into one of them ends at once.
struct LockedDir {
    dev_t dev;
    ino_t ino;
    int fd;
};
std::vector<LockedDir> lockedDirs;

// Takes over `fd`, a directory, and returns the run's locked descriptor of
// it: `shown` names it when another run holds it.
int lockedDirectory(int fd, const std::string& shown) {
    struct stat st {};
    if (fstat(fd, &st) != 0) die("cannot use the directory " + shown + ": " + std::strerror(errno));
    for (const LockedDir& d : lockedDirs)
        if (d.dev == st.st_dev && d.ino == st.st_ino) {
            close(fd);
            return d.fd;
        }
    if (!tmd_io::lockDirectory(fd)) {
        if (errno == EWOULDBLOCK) die("output directory " + shown + " is in use by another run");
        die("cannot lock the directory " + shown + ": " + std::strerror(errno));
    }
    lockedDirs.push_back({st.st_dev, st.st_ino, fd});
    return fd;
}

// A path the caller named: its directory as named (links included), its
// last component never followed.
Target callerTarget(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    Target t{path, -1, slash == std::string::npos ? path : path.substr(slash + 1)};
    if (t.name.empty() || t.name == "." || t.name == "..")
        die(path + " is a directory, not a regular file; nothing is written to it");
    const std::string dir =
        slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    const int fd = tmd_io::openDirectory(dir.c_str());
    if (fd < 0) die("cannot write " + path + ": " + std::strerror(errno));
    t.dirFd = lockedDirectory(fd, dir);
    return t;
}

// The outputs checked so far, for writeOutputs.
std::vector<Target> checkedTargets;

}  // namespace

void checkDestinations(const std::vector<Target>& targets, bool force) {
    struct Seen {
        dev_t dev;
        ino_t ino;
        std::string name;
    };
    std::vector<Seen> seen;
    std::vector<std::pair<dev_t, ino_t>> files;
    for (const Target& t : targets) {
        const std::string& p = t.path;
        struct stat dir {};
        if (fstat(t.dirFd, &dir) != 0) die("cannot write " + p + ": " + std::strerror(errno));
        for (const Seen& s : seen)
            if (s.dev == dir.st_dev && s.ino == dir.st_ino && s.name == t.name)
                die(p + " is named for two outputs");
        seen.push_back({dir.st_dev, dir.st_ino, t.name});
        checkedTargets.push_back(t);

        struct stat st {};
        if (fstatat(t.dirFd, t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            die("cannot write " + p + ": " + std::strerror(errno));
        }
        if (const char* kind = tmd_io::entryKind(st.st_mode))
            die(p + " is " + kind + ", not a regular file; nothing is written to it");
        for (const auto& f : files)
            if (f.first == st.st_dev && f.second == st.st_ino) die(p + " is named for two outputs");
        files.emplace_back(st.st_dev, st.st_ino);
        if (!force) die(p + " exists; --force replaces it");
    }
}

void checkDestinations(const std::vector<std::string>& paths, bool force) {
    std::vector<Target> targets;
    for (const std::string& p : paths) targets.push_back(callerTarget(p));
    checkDestinations(targets, force);
}

int keyFileDirectory(const std::string& top, const std::vector<std::string>& levels,
                     std::string& shown) {
    std::filesystem::path dir(top);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    int dirFd = ec ? -1 : tmd_io::openDirectory(dir.c_str());
    if (dirFd < 0)
        die("cannot create " + dir.string() + ": " + (ec ? ec.message() : std::strerror(errno)));
    for (const std::string& level : levels) {
        dir /= level;
        const int sub = tmd_io::openSubdirectory(dirFd, level.c_str());
        const int err = errno;
        close(dirFd);
        dirFd = sub;
        if (sub >= 0) continue;
        if (err == ELOOP)
            die(dir.string() + " is a symbolic link, not a directory; nothing is written to it");
        if (err == EPERM) die(dir.string() + " belongs to another user; nothing is written to it");
        if (err == ENOTDIR) die(dir.string() + " is not a directory; nothing is written to it");
        die("cannot create " + dir.string() + ": " + std::strerror(err));
    }
    shown = dir.string();
    return lockedDirectory(dirFd, shown);
}

// All files are written before the first is put in place, so a failure
// while writing leaves none of them behind.
void writeOutputs(const std::vector<Output>& outputs, bool force) {
    std::vector<std::unique_ptr<tmd_io::OutputFile>> files;
    for (const Output& o : outputs) {
        const Target* t = nullptr;
        for (const Target& c : checkedTargets)
            if (c.path == o.path) t = &c;
        if (!t) die("internal error: " + o.path + " was not checked");
        files.push_back(std::make_unique<tmd_io::OutputFile>());
        const tmd_io::OutputPolicy policy{true, force, static_cast<mode_t>(o.secret ? 0600 : 0644)};
        if (!files.back()->create(t->dirFd, t->name.c_str(), policy)) {
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
