// Content checks of tmd-inspect: es verifies each content file against its
// record (and, in the disc layout, its hash tree); this file opens the
// files, passes extraction's sink along and turns what failed into the
// report's words.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "es/content_verify.h"
#include "es/tmd.h"
#include "io/output_file.h"
#include "io/small_file.h"
#include "tool/common/inspect.h"
#include "tool/common/report.h"

namespace fs = std::filesystem;

namespace inspect {

namespace {

int toSink(void* context, const uint8_t* data, size_t length) {
    return (*static_cast<const Sink*>(context))(data, length) ? 0 : 1;
}

Fault faultOf(int32_t result) {
    switch (result) {
        case ES_ERR_OK: return Fault::none;
        case ES_ERR_VERIFY_SIZE: return Fault::size;
        case ES_ERR_VERIFY_DATA: return Fault::data;
        case ES_ERR_VERIFY_SINK: return Fault::write;
        default: return Fault::unreadable;
    }
}

// What failed, in the words of the report.
std::string describe(const EsVerifyFailure& f, const std::string& app, const std::string& hashFile, bool disc,
                     uint64_t size) {
    using W = EsVerifyWhat;
    const std::string where = "super block " + std::to_string(f.superBlock);
    const std::string block = where + ", block " + std::to_string(f.block) + ": ";
    switch (f.what) {
        case W::none: return "";
        case W::impossibleSize:
            return "impossible content size " + std::to_string(size) + (disc ? " for the disc layout" : "");
        case W::contentSize:
            return "size mismatch: " + app + " has " + std::to_string(f.actual) + " bytes, expected " +
                   std::to_string(f.expected);
        case W::unreadable: return "cannot read " + app;
        case W::noMemory: return "cannot read " + app + ": out of memory";
        case W::sink: return "";
        case W::contentHash:
            return disc ? "content hash mismatch"
                        : "hash mismatch: SHA-1 of the content is " + tool::hexString(f.digest, 20);
        case W::padding: return "padding after the content is not zero";
        case W::hashFileMissing: return "missing or oversized " + hashFile;
        case W::hashFileSize:
            return "hash file " + hashFile + " has " + std::to_string(f.actual) + " bytes, expected " +
                   std::to_string(f.expected);
        case W::hashFileTrailing: return "trailing slot of the hash file is not zero";
        case W::blockPadding: return block + "padding is not zero";
        case W::chunkHash: return block + "chunk " + std::to_string(f.chunk) + " hash mismatch";
        case W::hashBlockFill: return block + "hash block fill is not zero";
        case W::blockHashes: return block + "block hashes mismatch";
        case W::groupHashes: return block + "group hashes mismatch";
        case W::superBlockHash: return where + ": hash file entry mismatch";
    }
    return "";
}

}  // namespace

Outcome checkContent(const ContentFiles& files, const Record& rec, const uint8_t* titleKey,
                     const Sink& sink) {
    const std::string name = files.app.filename().string();
    const std::string hashName = files.hash.filename().string();
    EsVerifyFailure f;
    // A record whose size no file can have is said before the file is looked for.
    const uint64_t expected = files.disc ? ES_DiscContentFileSize(rec.size) : ES_PlainContentFileSize(rec.size);
    if (expected == 0 && rec.size != 0) {
        f.what = EsVerifyWhat::impossibleSize;
        return {Fault::size, describe(f, name, hashName, files.disc, rec.size)};
    }
    // Not blocking: whatever is not a regular file is refused, not waited for.
    const tmd_io::UniqueFd fd(::open(files.app.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.fd < 0) return {Fault::unreadable, (errno == ENOENT ? "missing " : "cannot read ") + name};
    EsPlainSink esSink = sink ? toSink : nullptr;
    void* context = const_cast<Sink*>(&sink);
    int32_t r;
    if (files.disc) {
        Bytes table;
        const bool read =
            tmd_io::readSmallFile(files.hash.c_str(), SUPERBLOCK_HASH_TABLE_BYTES, table).status == tmd_io::ReadStatus::ok;
        static const uint8_t none = 0;  // an empty hash file is there, only short
        const uint8_t* bytes = !read ? nullptr : table.empty() ? &none : table.data();
        r = ES_VerifyDiscContent(fd.fd, titleKey, rec.size, bytes, table.size(), rec.hash, esSink, context, &f);
    } else {
        r = ES_VerifyPlainContent(fd.fd, titleKey, rec.index, rec.size, rec.hash, esSink, context, &f);
    }
    return {faultOf(r), describe(f, name, hashName, files.disc, rec.size)};
}

}  // namespace inspect
