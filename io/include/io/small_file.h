// The one reader of small inputs (keys, certificates, TMDs, content records,
// PIN files) and the one source of random bytes. Files are read with plain
// read(2) into the caller's memory: no stdio buffer keeps a copy of a key
// after it is freed, and a failed read wipes what it had put there.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tmd_io {

enum class ReadStatus {
    ok,
    missing,     // no such file, or it cannot be opened (error says why)
    notRegular,  // a directory, pipe or device where a file's whole is wanted
    tooLarge,    // more bytes than the limit (size says how many)
    tooShort,    // fewer bytes than asked for
    failed,      // a read error (error says which)
};

struct ReadResult {
    ReadStatus status = ReadStatus::failed;
    int error = 0;      // errno, for missing and failed
    uint64_t size = 0;  // the file's size, when it is a regular file
};

// The whole of the regular file at path, of at most `limit` bytes, in out
// (empty unless ok).
ReadResult readSmallFile(const char* path, size_t limit, std::vector<uint8_t>& out);
// The first `length` bytes of the file at path in buffer; a longer file is
// read no further. Any file but a directory serves, as a pipe given in place
// of a file always has; tooShort when it ends first.
ReadResult readFilePrefix(const char* path, void* buffer, size_t length);

// What went wrong, for a message: "missing", "not a regular file", "larger
// than <limit> bytes", the system's text of the error, "read error".
std::string describe(const ReadResult& r, size_t limit);

// Fills out with bytes from the operating system's generator; false when it
// has none to give.
bool randomBytes(void* out, size_t length);

}  // namespace tmd_io
