// The one way every program and library here writes a file. Outputs appear
// under their final name only when complete: the data goes to a new file in
// the same directory (an unnamed one where the file system offers it, so
// that even a killed process leaves nothing behind; otherwise a hidden name
// that cannot be guessed, created exclusively and never through a link),
// whose mode is set before the first byte, which is flushed to disk
// (TMD_SYNC=0 leaves that out), put in place by a link or rename, and
// removed on every failure. Temporaries with a name are also removed when
// the process is ended by SIGINT, SIGTERM or SIGHUP, which then ends it as
// it would have.
//
// Everything happens relative to a descriptor of the output directory, and
// the output's own name is never followed: a link under it is replaced, not
// written through, and a file with several names is replaced under this one
// only. Someone who can add to the directory (a group-shared output
// directory) can therefore neither redirect an output nor have it rewrite
// another file, before or during the run.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace tmd_io {

// How an output treats what already stands under its name.
struct OutputPolicy {
    // Key material: the name must be new or a regular file (never a link,
    // device, FIFO or directory; EINVAL, EISDIR), and the new file gets
    // exactly `mode` less the umask.
    bool keyMaterial = false;
    // Whether an existing file may be replaced; if not, create() refuses any
    // entry under the name (EEXIST) and commit() never puts the new file
    // over one that appeared meanwhile.
    bool replace = true;
    // Permission bits of a new file, before the umask.
    mode_t mode = 0666;
    // The caller named this path itself (utilFwrite's contract): a device,
    // FIFO or socket that the path reaches, through links too, is written
    // in place (/dev/null, /dev/stdout), and an existing regular file in a
    // directory that cannot be added to is rewritten in place. Without it
    // (a name the program derives, the default) a device, FIFO, socket or
    // directory under the name, or a link to one, is refused (EINVAL,
    // EISDIR) and nothing is written in place; any other link is replaced.
    bool callerNamed = false;
};
// In every case a directory under the name is refused (EISDIR). Outside key
// material a read-only file is refused too (EACCES, as opening it for
// writing would be), and a regular file of the caller's own with no other
// name passes its permissions on to the file that replaces it, as
// truncating it would have kept them; every other new file gets `mode`
// less the umask.

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the new file for `name` (one path component) in the directory
    // `dirFd`, which the output keeps its own descriptor of: the caller may
    // close it at once, and renaming or replacing the directory's path
    // meanwhile changes nothing. False (errno set) on failure: EISDIR for a
    // directory of that name, EEXIST when replacing is not allowed, EINVAL
    // for a name with a slash and, per the policy, for a link, device, FIFO
    // or socket under the name.
    bool create(int dirFd, const char* name, const OutputPolicy& policy = {});
    // The same for a path: its directory part is the caller's and is opened
    // as named (links included); its last component is treated as above.
    bool create(const char* path, const OutputPolicy& policy = {});
    // Writes all `len` bytes; `done` receives the count actually written.
    bool write(const void* data, size_t len, size_t* done = nullptr);
    // Best effort: from now on, writes whose buffer, length and place in the
    // file suit the device go to it directly, past the page cache (see
    // pwriteMaybeDirect); the others, and all writes where the file system
    // does not offer this, go through the page cache. For large output that
    // is not read back; call it before the first write.
    void preferDirect();
    // Best effort: sets aside `bytes` of disk space for the file without
    // changing its size, so that the writes need not allocate as they go.
    // Whatever is left unused is given back on commit.
    void reserve(uint64_t bytes);
    // fsync (unless TMD_SYNC=0) and put the file in place under its name,
    // then sync the directory. False when any step fails; the temporary is
    // then removed and the name is left as it was.
    bool commit();
    // Closes and removes the temporary, if any. Safe to call repeatedly.
    void discard();

    int fd() const { return fd_; }

private:
    bool begin(const OutputPolicy& policy);
    bool openInPlace(const struct stat* file);
    template <class Create>
    bool claimTemporaryName(Create create);
    bool openTemporary(mode_t mode);
    bool linkAs(const std::string& name);
    bool placeUnnamed();
    bool placeNamed();

    int fd_ = -1;
    int dirFd_ = -1;
    int slot_ = -1;           // entry in the registry of named temporaries
    bool unnamed_ = false;    // O_TMPFILE: linked into place on commit
    bool inPlace_ = false;    // writing the destination itself
    bool reserved_ = false;
    bool positioned_ = false;  // writes go to offset_ (after preferDirect)
    bool direct_ = false;
    bool replace_ = true;
    uint64_t offset_ = 0;
    std::string tmpName_;      // in dirFd_, when the temporary has a name
    std::string finalName_;    // in dirFd_
};

// What an entry of this type is called in a refusal ("a symbolic link",
// "a directory", "a FIFO", "a device", "a socket"); null for a regular file.
const char* entryKind(mode_t mode);

// What stands under `name` in `dirFd` that no output of a derived name is
// put over, in the words of a refusal: a directory, FIFO, device or socket
// ("a FIFO"), or a link to one of those ("a link to a device"); null when
// nothing, a regular file or a link that the output would replace is there.
// For checking every output name before a run writes anything.
const char* refusedEntry(int dirFd, const char* name);

// The directory at `path`, opened as named (links included: the caller chose
// it) for use as an output directory; -1 and errno on failure.
int openDirectory(const char* path);

// The subdirectory `name` of `dirFd`, made (0777 less the umask) when
// missing, opened without following a link: -1 with errno ELOOP for a link,
// ENOTDIR for anything else that is not a directory, EPERM for a directory
// that belongs to another user (who could swap what is written into it).
int openSubdirectory(int dirFd, const char* name);

// One run per output directory: takes an exclusive lock on the directory
// `dirFd` (flock: nothing is left behind) that lasts until every descriptor
// sharing this open of it is closed, which the end of the process does.
// False with errno EWOULDBLOCK when another run holds it; true too on a file
// system that keeps no such locks.
bool lockDirectory(int dirFd);

// Whether temporaries may be unnamed (O_TMPFILE) where the file system
// offers it; on by default. Off, every temporary gets a name, as on file
// systems without them: for tests of that path.
void useUnnamedTemporaries(bool on);

// Input files are closed on every path.
struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A descriptor closed on every path; -1 holds none.
struct UniqueFd {
    int fd = -1;
    explicit UniqueFd(int f = -1) : fd(f) {}
    ~UniqueFd() {
        if (fd >= 0) ::close(fd);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
};

// The most that one write(2) call is given. The file system sizes the page
// cache memory it takes for a write by the length of the call, and large
// allocations can cost far more than the copy itself: on a virtual machine
// whose host hands out memory lazily, writing 1 GiB in 32 KiB calls took a
// quarter of the time that 2 MiB calls did. The extra calls cost little.
constexpr size_t kWritePieceBytes = size_t{32} << 10;

// write(2) until all bytes are out or an error occurs; returns the count
// written. Every few MiB it also starts the write-back of what the file
// received so far, so that the final fsync finds little left to do.
size_t writeFully(int fd, const uint8_t* data, size_t len);

// pwrite(2) at `offset`, at most `piece` bytes a call, until all bytes are
// out or an error occurs; returns the count written. Starts no write-back.
size_t pwriteFully(int fd, const uint8_t* data, size_t len, uint64_t offset,
                   size_t piece = kWritePieceBytes);

// False under TMD_SYNC=0: outputs are then not flushed to disk.
bool syncWanted();

// Turns direct I/O (O_DIRECT: writes go from the caller's buffers to the
// device, bypassing the page cache) on or off for `fd`. False when the file
// system does not offer it.
bool setDirectIo(int fd, bool on);

// For a file that may be open for direct I/O (`*direct`): writes `len` bytes
// at `offset` in one call where it is, else as pwriteFully does. Direct I/O
// wants buffers, offsets and lengths aligned to the device; when the system
// turns a write down for that reason, direct I/O is switched off for the
// file (`*direct` cleared) and the bytes go through the page cache instead.
// Returns the count written.
size_t pwriteMaybeDirect(int fd, const uint8_t* data, size_t len, uint64_t offset, bool* direct);

// A buffer for direct I/O: aligned to, and asking the system for, large
// pages (2 MiB on x86-64) where it has them. Direct I/O pins every page of
// the buffer it writes from, and on large pages that costs a fraction of
// what it does on 4 KiB ones: on the development machine a direct write
// from them took less than half the time. The size is rounded up to whole
// large pages, which is what the buffer takes in memory once touched.
struct IoBufferFree {
    void operator()(uint8_t* p) const;
};
using IoBuffer = std::unique_ptr<uint8_t[], IoBufferFree>;
constexpr size_t kLargePageBytes = size_t{2} << 20;
IoBuffer allocateIoBuffer(size_t bytes);

}  // namespace tmd_io
