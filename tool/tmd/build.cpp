#include "tool/tmd/build.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "csl/wipe.h"
#include "es/cert.h"
#include "es/disk_encrypt.h"
#include "es/disk_layout.h"
#include "es/title_key.h"
#include "io/output_file.h"
#include "io/parallel.h"
#include "io/small_file.h"
#include "tool/common/options.h"
#include "tool/common/pkcs11_signer.h"
#include "tool/common/report.h"
#include "tool/common/tmdcheck.h"
#include "util/rsautil.h"
#include "util/utils.h"

namespace tool {
namespace {

constexpr size_t kPathBytes = 4096;
constexpr int kReadBack = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// The whole-file helpers' policy and messages, without ending the process.
StageResult readExact(const std::string& path, void* buffer, uint32_t length) {
    const tmd_io::ReadResult r = tmd_io::readFilePrefix(path.c_str(), buffer, length);
    if (r.status == tmd_io::ReadStatus::missing)
        return StageResult::failure(format("file open failed %s\n", path.c_str()));
    if (r.status != tmd_io::ReadStatus::ok)
        return StageResult::failure(format("file read failed %s\n", path.c_str()));
    return {};
}

StageResult writeWhole(const OutputDir& dir, const std::string& name, const void* data,
                       uint32_t length) {
    const std::string path = dir.path(name);
    tmd_io::OutputFile out;
    const bool created = dir.fd >= 0 ? out.create(dir.fd, name.c_str()) : out.create(path.c_str());
    if (!created) return StageResult::failure(format("file open failed %s\n", path.c_str()));
    if (!out.write(data, length) || !out.commit())
        return StageResult::failure(format("file write failed %s\n", path.c_str()));
    return {};
}

// The stage's secrets, wiped on every way out.
struct TitleSecrets {
    uint8_t commonKey[16];
    uint8_t titleKey[ES_TITLE_KEY_BYTES];
    ~TitleSecrets() { csl_wipe_object(*this); }
};

// The title key, and the bytes of its title-key file. A given title-key file
// is written out as it was read: encrypting its key again under the same
// common key and IV gives the same bytes.
StageResult establishTitleKey(const TitleConfig& title, TitleSecrets& s,
                              uint8_t encrypted[ES_TITLE_KEY_BYTES]) {
    if (title.titleKeyFile.empty()) {
        if (ES_DeriveTitleKey(title.tid, s.titleKey) != 0)
            return StageResult::failure("title key derivation failed\n");
        if (ES_CpEncryptTitleKey(s.commonKey, title.tid, s.titleKey, encrypted) != 0)
            return StageResult::failure("titleKey encryption failed\n");
        return {};
    }
    const StageResult r = readExact(title.titleKeyFile, encrypted, ES_TITLE_KEY_BYTES);
    if (!r.ok) return r;
    ES_CpDecryptTitleKey(s.commonKey, title.tid, encrypted, s.titleKey);
    return {};
}

// Encrypts the contents and stores each digest in its slot. Contents are
// independent, so several run at once; the first failing content in list
// order is the one reported.
StageResult encryptAll(const TitleConfig& title, const uint8_t titleKey[16], const OutputDir& out,
                       unsigned workers, EncryptedContents* enc) {
    const int n = static_cast<int>(title.contents.size());
    std::vector<int32_t> results(static_cast<size_t>(n), 0);
    std::vector<std::array<uint8_t, 20>> digests(static_cast<size_t>(n));
    enc->sizes.assign(static_cast<size_t>(n), 0);
    const char* dir = out.dir.empty() ? nullptr : out.dir.c_str();

    auto encryptOne = [&](int i) {
        const auto k = static_cast<size_t>(i);
        const TitleContent& c = title.contents[k];
        results[k] = title.disc ? encryptDiskContentIn(dir, c.file.c_str(), c.cid, titleKey,
                                                       digests[k].data(), &enc->sizes[k])
                                : ES_EncryptContentSizedIn(dir, c.file.c_str(), c.cid, c.index,
                                                           titleKey, digests[k].data(),
                                                           &enc->sizes[k]);
    };

    // Two contents that share a content ID write the same file name; those
    // must keep list order, so they are not run concurrently.
    bool sharedNames = false;
    for (int i = 0; i < n && !sharedNames; ++i)
        for (int j = i + 1; j < n; ++j)
            if (title.contents[static_cast<size_t>(i)].cid == title.contents[static_cast<size_t>(j)].cid) {
                sharedNames = true;
                break;
            }

    // Every content in flight holds its buffers: about 2.5 MiB in the plain
    // layout, and in the disc layout a pipeline of super blocks whose
    // workers the running contents share. These caps keep a title within
    // 16 MiB (plain) and 64 MiB (disc) on any number of cores; more
    // contents at once would only queue at the disk.
    constexpr unsigned kMaxPlainContents = 3;
    constexpr unsigned kMaxDiscContents = 2;
    workers = std::min(workers, title.disc ? kMaxDiscContents : kMaxPlainContents);
    if (static_cast<int>(workers) > n) workers = static_cast<unsigned>(n);
    if (sharedNames || workers <= 1) {
        for (int i = 0; i < n; ++i) {
            encryptOne(i);
            if (results[static_cast<size_t>(i)] != 0) break;
        }
    } else {
        tmd_io::runParallel(n, workers, encryptOne,
                          [&](int i) { return results[static_cast<size_t>(i)] != 0; });
    }

    for (int i = 0; i < n; ++i) {
        const auto k = static_cast<size_t>(i);
        // The disc engine has said why already; tmd ends without a line of
        // its own there, as it always has.
        if (results[k] == ES_DISK_FATAL && title.disc) return StageResult::failure("");
        if (results[k] != 0)
            return StageResult::failure(format("%s encryption failed\n", title.contents[k].file.c_str()));
        std::memcpy(enc->hash[title.contents[k].index], digests[k].data(), 20);
    }
    return {};
}

}  // namespace

bool keyFilesFromEnvironment(KeyFiles* files, std::string* error) {
    const char* root = std::getenv("KESSARIVON_SDK_ROOT");
    const char* suffix = "/X86/bin/pki_data/";
    if (!root) {
        root = std::getenv("ROOT");
        suffix = "/usr/etc/pki_data/";
    }
    if (!root) {
        *error = "neither KESSARIVON_SDK_ROOT nor ROOT is set\n";
        return false;
    }
    const std::string dir = std::string(root) + suffix;
    files->commonKey = dir + "common_dpki.aesKey";
    files->cert = dir + "cp_dpki.cert";
    files->rsa = dir + "cp_dpki.rsa";
    for (const std::string* p : {&files->commonKey, &files->cert, &files->rsa}) {
        if (p->size() >= kPathBytes) {
            *error = format("key file path too long (at most %zu characters)\n", kPathBytes - 1);
            return false;
        }
    }
    return true;
}

std::string OutputDir::path(const std::string& name) const {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string titleKeyFileName(uint64_t tid) {
    return format("%llx.titleKey", static_cast<unsigned long long>(tid));
}

std::string tmdFileName(uint64_t tid) {
    return format("%llx.tmd", static_cast<unsigned long long>(tid));
}

StageResult Signer::open(const KeyFiles& files, bool checkKeyFile) {
    keyFile_ = files.rsa;
    const char* uri = std::getenv("TMD_SIGNING_KEY");
    if (!uri || !*uri) {
        const std::string why =
            checkKeyFile ? keyFileMismatch(files.rsa.c_str(), files.cert.c_str()) : "";
        return why.empty() ? StageResult{} : StageResult::failure(why + "\n");
    }
    std::string error;
    token_ = TokenKey::open(uri, true, &error);
    if (!token_) return StageResult::failure(error + "\n");
    const std::string& name = token_->name();
    if (!token_->isRsa())
        return StageResult::failure(format("the key of %s is not RSA-2048\n", name.c_str()));
    const std::string why =
        signingKeyMismatch(files.cert.c_str(), name, token_->modulus(), token_->exponent());
    return why.empty() ? StageResult{} : StageResult::failure(why + "\n");
}

Signer::Signer() = default;

void Signer::close() { token_.reset(); }

Signer::~Signer() { close(); }

StageResult Signer::sign(uint8_t* tmd, uint32_t size) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (token_) {
        std::string error;
        if (!token_->fillSig(ES_RSA2048_SIG_BYTES, tmd, static_cast<int32_t>(size), &error))
            return StageResult::failure("signing TMD failed: " + error + "\n");
        return {};
    }
    if (utilFillSig(keyFile_.c_str(), ES_RSA2048_SIG_BYTES, tmd, static_cast<int32_t>(size)) != 0)
        return StageResult::failure("signing TMD failed\n");
    return {};
}

std::vector<std::string> checkTitleContents(const TitleConfig& title) {
    const size_t n = title.contents.size();
    std::vector<uint16_t> index(n);
    std::vector<uint32_t> cids(n);
    for (size_t i = 0; i < n; ++i) {
        index[i] = title.contents[i].index;
        cids[i] = title.contents[i].cid;
    }
    ContentLists lists;
    lists.numContents = static_cast<uint16_t>(n);
    lists.index = index.data();
    lists.cids = cids.data();
    lists.bidx = title.bidx;
    lists.numInCmds = static_cast<uint16_t>(title.records.size());
    lists.cmds = title.records.data();
    std::vector<const char*> files;
    for (const std::string& f : title.recordFiles) files.push_back(f.c_str());
    lists.cmdFiles = files.data();
    return checkContentLists(lists);
}

StageResult encryptContents(const TitleConfig& title, const KeyFiles& keys, const OutputDir& out,
                            unsigned workers, EncryptedContents* encrypted) {
    TitleSecrets s;
    uint8_t encTitleKey[ES_TITLE_KEY_BYTES] = {};
    StageResult r = readExact(keys.commonKey, s.commonKey, sizeof s.commonKey);
    if (!r.ok || !(r = establishTitleKey(title, s, encTitleKey)).ok) return r;

    for (const ContentRecord& rec : title.records)
        std::memcpy(encrypted->hash[es_get_be16(rec.bytes + cmd_layout::INDEX)],
                    rec.bytes + cmd_layout::HASH, 20);

    if (!(r = encryptAll(title, s.titleKey, out, workers, encrypted)).ok) return r;
    if (title.contents.empty()) return {};
    return writeWhole(out, titleKeyFileName(title.tid), encTitleKey, sizeof encTitleKey);
}

StageResult generateTmd(const TitleConfig& title, const KeyFiles& keys,
                        const EncryptedContents& encrypted, Signer& signer, const OutputDir& out,
                        std::vector<uint8_t>* tmd) {
    const size_t numContents = title.contents.size();
    const int total = static_cast<int>(numContents + title.records.size());
    const uint32_t size = ES_GetTmdSize(static_cast<uint16_t>(total));

    auto params = std::make_unique<TmdParams>();
    std::memset(params.get(), 0, sizeof *params);
    params->version = 0;
    params->titleVersion = title.titleVersion;
    params->titleType = title.ttype;
    params->titleId = title.tid;
    params->groupId = title.groupId;
    params->numContents = static_cast<uint16_t>(total);
    std::memcpy(params->reserved, title.reserved1.data(), title.reserved1.size());
    std::memcpy(params->reserved + title.reserved1.size(), title.reserved2.data(),
                title.reserved2.size());

    bool claimed[ES_MAX_CONTENTS] = {};
    for (size_t i = 0; i < numContents; ++i) {
        const TitleContent& c = title.contents[i];
        // The size is what was read and hashed, not what the file system
        // says now: a pipe has no size, and a file may have changed since.
        params->contents[c.index] = {c.cid, c.index, c.type, encrypted.sizes[i]};
        claimed[c.index] = true;
    }
    for (const ContentRecord& r : title.records) {
        const uint8_t* rec = r.bytes;
        const uint16_t p = es_get_be16(rec + cmd_layout::INDEX);
        params->contents[p] = {es_get_be32(rec + cmd_layout::CID), p,
                               es_get_be16(rec + cmd_layout::TYPE),
                               es_get_be64(rec + cmd_layout::SIZE)};
        claimed[p] = true;
    }
    for (int p = 0; p < total; ++p)
        if (!claimed[p] || params->contents[p].index != p)
            return StageResult::failure(format("incorrect content index %d\n", p));

    // The names sit within the first bytes of the content-publishing
    // certificate's RSA-2048-signed layout in every layout that signs TMDs.
    uint8_t cert[ES_CERT_MAX_BYTES];
    uint8_t issuer[ES_CERT_NAME_BYTES];
    uint8_t name[ES_CERT_NAME_BYTES];
    StageResult r = readExact(keys.cert, cert, ES_GetCertLayout(ES_SIG_RSA2048, ES_PUBKEY_RSA2048)->size);
    if (!r.ok) return r;
    if (ES_GetCertNames(cert, issuer, name) != 0) return StageResult::failure("get cert name failed\n");
    // The TMD's issuer field holds "<issuer>-<name>" and its terminator in 64 bytes.
    const void* issuerEnd = std::memchr(issuer, 0, sizeof issuer);
    const void* nameEnd = std::memchr(name, 0, sizeof name);
    if (!issuerEnd || !nameEnd ||
        std::strlen(reinterpret_cast<char*>(issuer)) + 1 + std::strlen(reinterpret_cast<char*>(name)) >
            ES_ISSUER_BYTES - 1)
        return StageResult::failure(
            format("certificate issuer and name do not fit the TMD issuer field (%d characters)\n",
                   static_cast<int>(ES_ISSUER_BYTES - 1)));

    tmd->assign(size, 0);
    ES_GenerateUnsignedTmd(params.get(), 0, 0, title.sysVersion, 0, title.bidx, encrypted.hash,
                           reinterpret_cast<char*>(name), reinterpret_cast<char*>(issuer),
                           tmd->data());
    if (!(r = signer.sign(tmd->data(), size)).ok) return r;
    return writeWhole(out, tmdFileName(title.tid), tmd->data(), size);
}

StageResult verifyTmd(const std::vector<uint8_t>& tmd, const KeyFiles& keys, bool* verified) {
    *verified = false;
    uint8_t cert[ES_CERT_MAX_BYTES];
    struct stat st {};
    if (stat(keys.cert.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        // What cannot be read fails as the whole-file helpers say; anything
        // that still reads is no certificate layout we know.
        return readExact(keys.cert, cert, sizeof cert);
    }
    if (st.st_size > static_cast<off_t>(sizeof cert)) return {};
    const StageResult r = readExact(keys.cert, cert, static_cast<uint32_t>(st.st_size));
    if (!r.ok) return r;
    *verified = utilVerify2(cert, static_cast<int32_t>(st.st_size), ES_RSA2048_SIG_BYTES, tmd.data(),
                            static_cast<int32_t>(tmd.size()), 1) == 0;
    return {};
}

namespace {

// The TMD as written, read back without following a link: whatever was
// swapped in under its name meanwhile is not read. buffer holds
// ES_TMD_MAX_BYTES, the first fileSize of them read.
StageResult readBackTmd(uint64_t tid, const OutputDir& out, std::vector<uint8_t>* buffer,
                        uint32_t* fileSize) {
    const std::string path = out.path(tmdFileName(tid));
    const char* name = path.c_str();
    const int fd = out.fd >= 0 ? openat(out.fd, tmdFileName(tid).c_str(), kReadBack)
                               : open(name, kReadBack);
    if (fd < 0) return StageResult::failure(format("file open failed %s\n", name));
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return StageResult::failure(format("file read failed %s\n", name));
    switch (checkTmdFileSize(static_cast<uint64_t>(st.st_size), ES_TMD_MAX_BYTES)) {
        case TmdFileCheck::tooLarge:
            return StageResult::failure(format("TMD file %s is larger than a TMD of %u contents\n",
                                               name, ES_MAX_CONTENTS));
        case TmdFileCheck::tooShort:
            return StageResult::failure(format("TMD file %s is shorter than a TMD header\n", name));
        default:
            break;
    }
    *fileSize = static_cast<uint32_t>(st.st_size);
    buffer->assign(ES_TMD_MAX_BYTES, 0);
    for (uint32_t got = 0; got < *fileSize;) {
        const ssize_t n = pread(fd, buffer->data() + got, *fileSize - got, got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return StageResult::failure(format("file read failed %s\n", name));
        got += static_cast<uint32_t>(n);
    }
    return {};
}

}  // namespace

StageResult dumpTmd(uint64_t tid, const KeyFiles& keys, const OutputDir& out, int* status) {
    std::vector<uint8_t> buffer;
    uint32_t fileSize = 0;
    StageResult r = readBackTmd(tid, out, &buffer, &fileSize);
    if (!r.ok) return r;
    const std::string path = out.path(tmdFileName(tid));
    const char* name = path.c_str();

    const uint8_t* t = buffer.data();
    const uint16_t numContents = es_get_be16(t + tmd_layout::NUM_CONTENTS);
    const uint32_t needed = ES_GetTmdSize(numContents);
    if (checkTmdRecords(t, fileSize) != TmdFileCheck::ok)
        return StageResult::failure(
            format("TMD file %s holds fewer content records than its numContents (%u)\n", name,
                   numContents));

    printTmdReport(stdout, t);

    if (t[tmd_layout::VERSION] != ES_TMD_VERSION) {
        std::printf("TMD has incorrect version: %d\n", t[tmd_layout::VERSION]);
        *status = 2;
        return {};
    }

    for (int i = 0; i < numContents; ++i) {
        const uint8_t* rec = t + tmd_layout::CONTENTS + ES_CONTENT_RECORD_BYTES * static_cast<uint32_t>(i);
        std::fflush(stdout);
        if (!(r = writeWhole(out, contentRecordFileName(rec), rec, ES_CONTENT_RECORD_BYTES)).ok)
            return r;
    }

    std::fflush(stdout);
    buffer.resize(needed);
    bool verified = false;
    if (!(r = verifyTmd(buffer, keys, &verified)).ok) return r;
    std::printf(verified ? "TMD verify successful\n" : "TMD verify failed\n");
    *status = verified ? 0 : 2;
    return {};
}

}  // namespace tool
