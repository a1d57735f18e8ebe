// tmd: packages a title. From a title ID, content files and a few title
// attributes it encrypts every content under the title key, writes the title
// key encrypted under the common key, builds and signs the TMD and, on request,
// reads the TMD back, prints it, exports its content records and verifies it.
//
// A run is one pass: processOptions -> encryptContents -> generateTmd ->
// (dumpTmd). Every failure ends the process at once with status 1 and one line
// on standard error; the dump stage reports a TMD that does not verify with
// status 2.

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "csl/wipe.h"
#include "es/cert.h"
#include "es/disk_encrypt.h"
#include "es/title_key.h"
#include "es/tmd.h"
#include "io/stream_pipeline.h"
#include "tool/common/options.h"
#include "tool/common/pkcs11_signer.h"
#include "tool/common/report.h"
#include "tool/common/tmdcheck.h"
#include "tool/common/version.h"
#include "util/rsautil.h"
#include "util/utils.h"

namespace {

constexpr int kMaxList = static_cast<int>(ES_MAX_CONTENTS);
constexpr size_t kPathBytes = 4096;
constexpr size_t kTmdBufferBytes = ES_TMD_MAX_BYTES;

struct ToolConfig {
    const char* options = "OK:T:C:n:c:i:o:b:m:g:t:dN:s:P:D:A:B:a";
    int create = 0;
    int diskEncryption = 0;
    int cmdOut = 0;
    const char* titleKeyFile = nullptr;
    uint64_t tid = 0;
    uint32_t ttype = 1;
    uint16_t groupId = 2;
    uint64_t sysVersion = 0x0000000100000004ULL;
    uint16_t titleVersion = 0;
    uint16_t bidx = 0;
    uint16_t numContents = 0;
    bool haveFiles = false;  // -n, -c and -i seen (checked after parsing)
    bool haveCids = false;
    bool haveIndex = false;
    const char* contentFiles[ES_MAX_CONTENTS] = {};
    uint32_t cids[ES_MAX_CONTENTS] = {};
    uint16_t index[ES_MAX_CONTENTS] = {};
    uint16_t types[ES_MAX_CONTENTS] = {};
    uint8_t reserved1[32] = {};
    uint8_t reserved2[30] = {};
    uint16_t numInCmds = 0;
    const char* cmdFiles[ES_MAX_CONTENTS] = {};
    ContentRecord cmds[ES_MAX_CONTENTS] = {};
    char outKeyFile[kPathBytes] = {};
    char outTmdFile[kPathBytes] = {};
    char commonKeyFile[kPathBytes] = {};
    char cpCertFile[kPathBytes] = {};
    char cpRsaFile[kPathBytes] = {};
    char pki = 'd';
    uint32_t rights = 0;
    uint8_t caCrlVersion = 0;
    uint8_t cpCrlVersion = 0;
    uint8_t hash[ES_MAX_CONTENTS][20] = {};
    // Plaintext bytes of each command-line content, as read and encrypted.
    uint64_t sizes[ES_MAX_CONTENTS] = {};
    uint8_t tmd[kTmdBufferBytes] = {};
};

ToolConfig cfg;
TmdParams tmdParams;

const char* const kHelp =
    "usage: tmd -O -T TITLE_ID -n FILE,... -c ID,... -i INDEX,... [options]\n"
    "Packages a title into the current directory: %08x.app (and %08x.hash with -d)\n"
    "per content, TITLE_ID.titleKey and TITLE_ID.tmd.\n"
    "  -O          create a title (required)\n"
    "  -T id       64-bit title ID, upper 32 bits above 2\n"
    "  -n files    content files            -c ids      content IDs (32-bit)\n"
    "  -i indexes  0-based content indexes  -t types    0, 1, 3, 0x4001, 0x4003, 0x8001, 0xC001\n"
    "  -C type     title type (default 1)   -g id       group ID, above 1 (default 2)\n"
    "  -o version  system version 0x1xxxxxxxx (default 0x100000004)\n"
    "  -m version  title version (default 0)\n"
    "  -b index    boot content index, below the count or 511 (default 0)\n"
    "  -K file     encrypted title-key file instead of the derived key\n"
    "  -N file     first 32 bytes of the reserved area   -B file   last 30 bytes\n"
    "  -A records  content records of an earlier -a run, not re-encrypted\n"
    "  -d          disc layout for every content\n"
    "  -a          read the TMD back, print it, export %lx.cmd records, verify it\n"
    "Key files: $KESSARIVON_SDK_ROOT/X86/bin/pki_data/, else $ROOT/usr/etc/pki_data/\n"
    "(common_dpki.aesKey, cp_dpki.cert, cp_dpki.rsa). TMD_SIGNING_KEY: a PKCS#11\n"
    "key instead of cp_dpki.rsa; TMD_SYNC=0: outputs not flushed before rename;\n"
    "TMD_CPU_DISABLE: portable code instead of processor instructions.\n"
    "Exit status: 0 success, 1 failure, 2 the TMD read back by -a does not verify.\n";

[[noreturn]] void usage() {
    std::fflush(stdout);
    std::exit(1);
}

[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    usage();
}

[[noreturn]] void die(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void die(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fflush(stdout);
    std::exit(1);
}

// Splits a list argument at commas (empty items skipped) into at most
// kMaxList items, refusing an empty list or one that is too long.
std::vector<char*> splitList(char opt, char* arg) {
    std::vector<char*> items;
    char* save = nullptr;
    for (char* tok = strtok_r(arg, ",", &save); tok; tok = strtok_r(nullptr, ",", &save)) {
        if (static_cast<int>(items.size()) == kMaxList)
            fail("too many items in the list of -%c (at most %d)\n", opt, kMaxList);
        items.push_back(tok);
    }
    if (items.empty()) fail("the list of -%c holds no item\n", opt);
    return items;
}

// First list option fixes the number of contents; every later one must agree.
void agreeCount(int n, const char* fmt) {
    if (cfg.numContents == 0) {
        cfg.numContents = static_cast<uint16_t>(n);
    } else if (n != cfg.numContents) {
        fail(fmt, cfg.numContents, n);
    }
}

bool isAllowedTitleType(uint32_t t) {
    switch (t) {
        case 0x1: case 0x5: case 0x9: case 0x11: case 0x19:
        case 0x21: case 0x29: case 0x31: case 0x39:
            return true;
        default:
            return false;
    }
}

bool isAllowedContentType(uint16_t t) {
    switch (t) {
        case 0x0000: case 0x0001: case 0x0003: case 0x4001:
        case 0x4003: case 0x8001: case 0xC001:
            return true;
        default:
            return false;
    }
}

void formatPath(char (&out)[kPathBytes], const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
void formatPath(char (&out)[kPathBytes], const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(out, sizeof out, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof out)
        fail("key file path too long (at most %zu characters)\n", sizeof out - 1);
}

void resolveKeyPaths() {
    const char* root = std::getenv("KESSARIVON_SDK_ROOT");
    const char* suffix = "/X86/bin/pki_data/";
    if (!root) {
        root = std::getenv("ROOT");
        suffix = "/usr/etc/pki_data/";
    }
    if (!root) fail("neither KESSARIVON_SDK_ROOT nor ROOT is set\n");
    formatPath(cfg.commonKeyFile, "%s%scommon_%cpki.aesKey", root, suffix, cfg.pki);
    formatPath(cfg.cpCertFile, "%s%scp_%cpki.cert", root, suffix, cfg.pki);
    formatPath(cfg.cpRsaFile, "%s%scp_%cpki.rsa", root, suffix, cfg.pki);
}

void postParseChecks() {
    if (!cfg.create) fail("provide input TMD file using -I or create a new one using -O\n");
    if (cfg.tid == 0) fail("title ID undefined.\n");
    std::snprintf(cfg.outKeyFile, sizeof cfg.outKeyFile, "%llx.titleKey",
                  static_cast<unsigned long long>(cfg.tid));
    std::snprintf(cfg.outTmdFile, sizeof cfg.outTmdFile, "%llx.tmd",
                  static_cast<unsigned long long>(cfg.tid));

    if (cfg.numContents != 0) {
        if (!cfg.haveFiles) fail("need content files\n");
        if (!cfg.haveCids) fail("need content IDs\n");
        if (!cfg.haveIndex) fail("need content index\n");
    }

    tool::ContentLists lists;
    lists.numContents = cfg.numContents;
    lists.index = cfg.index;
    lists.cids = cfg.cids;
    lists.bidx = cfg.bidx;
    lists.numInCmds = cfg.numInCmds;
    lists.cmds = cfg.cmds;
    lists.cmdFiles = cfg.cmdFiles;
    const std::vector<std::string> refusals = tool::checkContentLists(lists);
    if (!refusals.empty()) {
        for (const std::string& line : refusals) std::fputs(line.c_str(), stderr);
        usage();
    }

    resolveKeyPaths();
}

// The list options. Each item is stored as it comes; the count of every
// per-content list must agree with the others' (`mismatch` is the message
// when it does not), while -A's records stand alone.
struct ListOption {
    char letter;
    const char* mismatch;
    void (*store)(size_t i, char* item);
    void (*finish)(int n);
};

constexpr const char* kCountMismatch = "incorrect number of contents, numContents=%d n=%d\n";

uint16_t listNumber16(const char* item) {
    return static_cast<uint16_t>(tool::convertUnsigned(item, 32));
}

constexpr ListOption kListOptions[] = {
    {'n', kCountMismatch, [](size_t i, char* item) { cfg.contentFiles[i] = item; },
     [](int) { cfg.haveFiles = true; }},
    {'c', kCountMismatch,
     [](size_t i, char* item) { cfg.cids[i] = static_cast<uint32_t>(tool::convertUnsigned(item, 32)); },
     [](int) { cfg.haveCids = true; }},
    {'i', kCountMismatch, [](size_t i, char* item) { cfg.index[i] = listNumber16(item); },
     [](int) { cfg.haveIndex = true; }},
    {'t', "incorrect number of contents, numContents=%d i=%d\n",
     [](size_t i, char* item) { cfg.types[i] = listNumber16(item); },
     [](int n) {
         for (int i = 0; i < n; ++i)
             if (!isAllowedContentType(cfg.types[i])) fail("incorrect content type\n");
     }},
    {'A', nullptr,
     [](size_t k, char* item) {
         cfg.cmdFiles[k] = item;
         utilFread(item, cfg.cmds[k].bytes, sizeof cfg.cmds[k].bytes);
     },
     [](int n) { cfg.numInCmds = static_cast<uint16_t>(n); }},
};

void parseList(char letter, char* arg) {
    for (const ListOption& o : kListOptions) {
        if (o.letter != letter) continue;
        const std::vector<char*> items = splitList(letter, arg);
        for (size_t i = 0; i < items.size(); ++i) o.store(i, items[i]);
        const int n = static_cast<int>(items.size());
        if (o.mismatch) agreeCount(n, o.mismatch);
        o.finish(n);
    }
}

void processOptions(int argc, char** argv) {
    if (argc < 2) usage();

    int c;
    while ((c = getopt(argc, argv, cfg.options)) != -1) {
        switch (c) {
            case 'O':
                cfg.create = 1;
                break;
            case 'K':
                cfg.titleKeyFile = optarg;
                break;
            case 'T':
                cfg.tid = tool::convertUnsigned(optarg, 64);
                if ((cfg.tid >> 32) <= 2) fail("incorrect title id\n");
                break;
            case 'C':
                cfg.ttype = static_cast<uint32_t>(tool::convertUnsigned(optarg, 32));
                if (!isAllowedTitleType(cfg.ttype)) fail("incorrect title type\n");
                break;
            case 'n':
            case 'c':
            case 'i':
            case 't':
            case 'A':
                parseList(static_cast<char>(c), optarg);
                break;
            case 'o':
                cfg.sysVersion = tool::convertUnsigned(optarg, 64);
                if ((cfg.sysVersion >> 32) != 1) fail("incorrect system version\n");
                break;
            case 'b':
                cfg.bidx = static_cast<uint16_t>(tool::convertUnsigned(optarg, 32));
                break;
            case 'm':
                cfg.titleVersion = static_cast<uint16_t>(tool::convertUnsigned(optarg, 32));
                break;
            case 'g':
                cfg.groupId = static_cast<uint16_t>(tool::convertUnsigned(optarg, 32));
                if (cfg.groupId <= 1) fail("incorrect group ID\n");
                break;
            case 'd':
                cfg.diskEncryption = 1;
                break;
            case 'N':
                utilFread(optarg, cfg.reserved1, sizeof cfg.reserved1);
                break;
            case 'B':
                utilFread(optarg, cfg.reserved2, sizeof cfg.reserved2);
                break;
            case 'a':
                cfg.cmdOut = 1;
                break;
            default:  // 's', 'P', 'D', an unknown letter or a missing argument
                usage();
        }
    }
    // The tool takes no operands: a stray word is most often a list item
    // cut off by a blank, and packaging without it would be wrong.
    if (optind < argc) fail("unexpected argument '%s'\n", argv[optind]);
    postParseChecks();
}

// Encrypts command-line contents [0, numContents) and stores each digest in
// its hash slot. Contents are independent, so several run at once; the first
// failing content in command-line order is the one reported.
void encryptAll(const uint8_t titleKey[16]) {
    const int n = cfg.numContents;
    std::vector<int32_t> results(static_cast<size_t>(n), 0);
    std::vector<std::array<uint8_t, 20>> digests(static_cast<size_t>(n));

    auto encryptOne = [&](int i) {
        auto& d = digests[static_cast<size_t>(i)];
        uint64_t* size = &cfg.sizes[i];
        results[static_cast<size_t>(i)] =
            cfg.diskEncryption
                ? encryptDiskContentSized(cfg.contentFiles[i], cfg.cids[i], titleKey, d.data(), size)
                : ES_EncryptContentSized(cfg.contentFiles[i], cfg.cids[i], cfg.index[i], titleKey,
                                         d.data(), size);
    };

    // Two contents that share a content ID write the same file name; those
    // must keep command-line order, so they are not run concurrently.
    bool sharedNames = false;
    for (int i = 0; i < n && !sharedNames; ++i)
        for (int j = i + 1; j < n; ++j)
            if (cfg.cids[i] == cfg.cids[j]) {
                sharedNames = true;
                break;
            }

    // Every content in flight holds its buffers: about 2.5 MiB in the plain
    // layout, and in the disc layout a pipeline of super blocks whose
    // workers the running contents share. These caps keep the whole run
    // within 16 MiB (plain) and 64 MiB (disc) on any number of cores; more
    // contents at once would only queue at the disk.
    constexpr unsigned kMaxPlainContents = 3;
    constexpr unsigned kMaxDiscContents = 2;
    // Contents side by side draw on the library's worker budget, as its
    // streams do.
    unsigned workers = tmd_io::workerBudget();
    workers = std::min(workers, cfg.diskEncryption ? kMaxDiscContents : kMaxPlainContents);
    if (static_cast<int>(workers) > n) workers = static_cast<unsigned>(n);
    if (sharedNames || workers <= 1) {
        for (int i = 0; i < n; ++i) {
            encryptOne(i);
            if (results[static_cast<size_t>(i)] != 0) break;
        }
    } else {
        tmd_io::runParallel(n, workers, encryptOne, [&](int i) { return results[static_cast<size_t>(i)] != 0; });
    }

    for (int i = 0; i < n; ++i) {
        if (results[static_cast<size_t>(i)] != 0) die("%s encryption failed\n", cfg.contentFiles[i]);
        std::memcpy(cfg.hash[cfg.index[i]], digests[static_cast<size_t>(i)].data(), 20);
    }
}

// The stage's secrets live here rather than on its stack: the process may end
// inside a helper (a file that cannot be read, a content that cannot be
// written), and the exit handler wipes them on every such path too.
struct StageSecrets {
    uint8_t commonKey[16];
    uint8_t titleKey[ES_TITLE_KEY_BYTES];
};
StageSecrets secrets;

void wipeSecrets() { csl_wipe_object(secrets); }

void encryptContents() {
    std::atexit(wipeSecrets);
    uint8_t* const commonKey = secrets.commonKey;
    uint8_t* const titleKey = secrets.titleKey;
    uint8_t encTitleKey[ES_TITLE_KEY_BYTES] = {};

    utilFread(cfg.commonKeyFile, commonKey, sizeof secrets.commonKey);

    // A given title-key file is written out as it was read: encrypting its
    // key again under the same common key and IV gives the same bytes.
    if (!cfg.titleKeyFile) {
        if (ES_DeriveTitleKey(cfg.tid, titleKey) != 0) die("title key derivation failed\n");
    } else {
        utilFread(cfg.titleKeyFile, encTitleKey, sizeof encTitleKey);
        ES_CpDecryptTitleKey(commonKey, cfg.tid, encTitleKey, titleKey);
    }

    for (int k = 0; k < cfg.numInCmds; ++k) {
        const uint8_t* rec = cfg.cmds[k].bytes;
        std::memcpy(cfg.hash[es_get_be16(rec + cmd_layout::INDEX)], rec + cmd_layout::HASH, 20);
    }

    encryptAll(titleKey);

    if (cfg.numContents != 0 && !cfg.titleKeyFile &&
        ES_CpEncryptTitleKey(commonKey, cfg.tid, titleKey, encTitleKey) != 0)
        die("titleKey encryption failed\n");
    wipeSecrets();
    if (cfg.numContents != 0) utilFwrite(cfg.outKeyFile, encTitleKey, sizeof encTitleKey);
}

// Set when TMD_SIGNING_KEY names the content-publishing key on a PKCS#11
// token: the TMD is then signed there and cp_dpki.rsa is not read.
std::unique_ptr<tool::TokenKey> signingToken;

// Reaches the token before any content is encrypted, so that a wrong PIN or
// a wrong key ends the run before it has written anything, and checks the
// key against the content-publishing certificate: a key that does not match
// would give a TMD that does not verify.
void openSigningToken() {
    const char* uri = std::getenv("TMD_SIGNING_KEY");
    if (!uri || !*uri) return;
    std::string error;
    signingToken = tool::TokenKey::open(uri, true, &error);
    if (!signingToken) die("%s\n", error.c_str());
    // Logged out and closed on every way out, before the module's own
    // static state is torn down at exit.
    std::atexit([] { signingToken.reset(); });
    const char* name = signingToken->name().c_str();
    const std::vector<uint8_t>& n = signingToken->modulus();
    const uint32_t rsa2048Bytes = ES_GetPubKeyBytes(ES_PUBKEY_RSA2048);
    if (!signingToken->isRsa() || n.size() != rsa2048Bytes || !(n[0] & 0x80))
        die("the key of %s is not RSA-2048\n", name);

    // The RSA-2048-signed layout is read first; the certificate's own types
    // then say whether the RSA-4096-signed one needs more.
    uint8_t cert[ES_CERT_MAX_BYTES];
    const uint32_t firstRead = ES_GetCertLayout(ES_SIG_RSA2048, ES_PUBKEY_RSA2048)->size;
    utilFread(cfg.cpCertFile, cert, firstRead);
    uint32_t len = 0;
    const uint8_t* key = ES_GetCertPubKey(cert, &len);
    if (!key || len != rsa2048Bytes) die("the certificate %s holds no RSA-2048 key\n", cfg.cpCertFile);
    const ES_CertLayout* layout = ES_GetCertLayout(es_get_be32(cert), ES_PUBKEY_RSA2048);
    const uint32_t keyEnd = layout->exponent + ES_CERT_EXPONENT_BYTES;
    if (keyEnd > firstRead) utilFread(cfg.cpCertFile, cert, keyEnd);
    if (!signingToken->matches(key, len, cert + layout->exponent, ES_CERT_EXPONENT_BYTES))
        die("the key of %s does not match the certificate %s\n", name, cfg.cpCertFile);
}

void generateTmd() {
    const int total = cfg.numContents + cfg.numInCmds;
    const uint32_t size = ES_GetTmdSize(static_cast<uint16_t>(total));

    std::memset(&tmdParams, 0, sizeof tmdParams);
    tmdParams.version = 0;
    tmdParams.titleVersion = cfg.titleVersion;
    tmdParams.titleType = cfg.ttype;
    tmdParams.titleId = cfg.tid;
    tmdParams.groupId = cfg.groupId;
    tmdParams.numContents = static_cast<uint16_t>(total);
    std::memcpy(tmdParams.reserved, cfg.reserved1, sizeof cfg.reserved1);
    std::memcpy(tmdParams.reserved + sizeof cfg.reserved1, cfg.reserved2, sizeof cfg.reserved2);

    bool claimed[ES_MAX_CONTENTS] = {};
    for (int i = 0; i < cfg.numContents; ++i) {
        const uint16_t p = cfg.index[i];
        // The size is what was read and hashed, not what the file system
        // says now: a pipe has no size, and a file may have changed since.
        tmdParams.contents[p] = {cfg.cids[i], p, cfg.types[i], cfg.sizes[i]};
        claimed[p] = true;
    }
    for (int k = 0; k < cfg.numInCmds; ++k) {
        const uint8_t* rec = cfg.cmds[k].bytes;
        const uint16_t p = es_get_be16(rec + cmd_layout::INDEX);
        tmdParams.contents[p] = {es_get_be32(rec + cmd_layout::CID), p,
                                 es_get_be16(rec + cmd_layout::TYPE),
                                 es_get_be64(rec + cmd_layout::SIZE)};
        claimed[p] = true;
    }
    for (int p = 0; p < total; ++p) {
        if (!claimed[p] || tmdParams.contents[p].index != p) die("incorrect content index %d\n", p);
    }

    // The names sit within the first bytes of the content-publishing
    // certificate's RSA-2048-signed layout in every layout that signs TMDs.
    uint8_t cert[ES_CERT_MAX_BYTES];
    uint8_t issuer[ES_CERT_NAME_BYTES];
    uint8_t name[ES_CERT_NAME_BYTES];
    utilFread(cfg.cpCertFile, cert, ES_GetCertLayout(ES_SIG_RSA2048, ES_PUBKEY_RSA2048)->size);
    if (ES_GetCertNames(cert, issuer, name) != 0) die("get cert name failed\n");
    // The TMD's issuer field holds "<issuer>-<name>" and its terminator in 64 bytes.
    const void* issuerEnd = std::memchr(issuer, 0, sizeof issuer);
    const void* nameEnd = std::memchr(name, 0, sizeof name);
    if (!issuerEnd || !nameEnd ||
        std::strlen(reinterpret_cast<char*>(issuer)) + 1 + std::strlen(reinterpret_cast<char*>(name)) >
            ES_ISSUER_BYTES - 1)
        die("certificate issuer and name do not fit the TMD issuer field (%d characters)\n",
            static_cast<int>(ES_ISSUER_BYTES - 1));

    ES_GenerateUnsignedTmd(&tmdParams, cfg.caCrlVersion, cfg.cpCrlVersion, cfg.sysVersion,
                           cfg.rights, cfg.bidx, cfg.hash, reinterpret_cast<char*>(name),
                           reinterpret_cast<char*>(issuer), cfg.tmd);

    if (signingToken) {
        std::string error;
        if (!signingToken->fillSig(ES_RSA2048_SIG_BYTES, cfg.tmd, static_cast<int32_t>(size), &error))
            die("signing TMD failed: %s\n", error.c_str());
    } else if (utilFillSig(cfg.cpRsaFile, ES_RSA2048_SIG_BYTES, cfg.tmd, static_cast<int32_t>(size)) != 0) {
        die("signing TMD failed\n");
    }

    utilFwrite(cfg.outTmdFile, cfg.tmd, size);
}

int dumpTmd() {
    struct stat st;
    if (stat(cfg.outTmdFile, &st) != 0) die("file open failed %s\n", cfg.outTmdFile);
    if (S_ISDIR(st.st_mode)) die("file read failed %s\n", cfg.outTmdFile);
    switch (tool::checkTmdFileSize(static_cast<uint64_t>(st.st_size), sizeof cfg.tmd)) {
        case tool::TmdFileCheck::tooLarge:
            die("TMD file %s is larger than a TMD of %u contents\n", cfg.outTmdFile, ES_MAX_CONTENTS);
        case tool::TmdFileCheck::tooShort:
            die("TMD file %s is shorter than a TMD header\n", cfg.outTmdFile);
        default:
            break;
    }
    const uint32_t fileSize = static_cast<uint32_t>(st.st_size);
    utilFread(cfg.outTmdFile, cfg.tmd, fileSize);

    const uint8_t* t = cfg.tmd;
    const uint16_t numContents = es_get_be16(t + tmd_layout::NUM_CONTENTS);
    const uint32_t needed = ES_GetTmdSize(numContents);
    if (tool::checkTmdRecords(t, fileSize) != tool::TmdFileCheck::ok)
        die("TMD file %s holds fewer content records than its numContents (%u)\n", cfg.outTmdFile,
            numContents);

    tool::printTmdReport(stdout, t);

    if (t[tmd_layout::VERSION] != ES_TMD_VERSION) {
        std::printf("TMD has incorrect version: %d\n", t[tmd_layout::VERSION]);
        return 2;
    }

    for (int i = 0; i < numContents; ++i) {
        const uint8_t* rec = t + tmd_layout::CONTENTS + ES_CONTENT_RECORD_BYTES * static_cast<uint32_t>(i);
        const std::string name = tool::contentRecordFileName(rec);
        std::fflush(stdout);
        utilFwrite(name.c_str(), rec, ES_CONTENT_RECORD_BYTES);
    }

    std::fflush(stdout);
    if (utilVerify(cfg.cpCertFile, ES_RSA2048_SIG_BYTES, t, static_cast<int32_t>(needed)) == 0) {
        std::printf("TMD verify successful\n");
        return 0;
    }
    std::printf("TMD verify failed\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // The only long arguments, recognised alone and before the option parser,
    // so that every other command line is parsed exactly as before.
    const bool version = argc == 2 && std::strcmp(argv[1], "--version") == 0;
    const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
    int status = 0;
    if (version || help) {
        std::fputs(version ? "tmd " TMD_VERSION "\n" : kHelp, stdout);
    } else {
        processOptions(argc, argv);
        if (cfg.create) {
            openSigningToken();
            encryptContents();
            generateTmd();
        }
        if (cfg.cmdOut) status = dumpTmd();
    }
    std::fflush(stdout);
    if (std::ferror(stdout)) {
        std::fprintf(stderr, "error writing standard output\n");
        return 1;
    }
    return status;
}
