// tmd: packages a title. From a title ID, content files and a few title
// attributes it encrypts every content under the title key, writes the title
// key encrypted under the common key, builds and signs the TMD and, on request,
// reads the TMD back, prints it, exports its content records and verifies it.
//
// A run is one pass: the options become a TitleConfig, then the stages of
// build.h run on it (encrypt, TMD, optionally dump). Every failure ends the
// process with status 1 and one line on standard error; the dump stage
// reports a TMD that does not verify with status 2.

#include <getopt.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/output_file.h"
#include "io/parallel.h"
#include "tool/common/report.h"
#include "tool/common/options.h"
#include "tool/common/tmdcheck.h"
#include "tool/common/version.h"
#include "tool/tmd/build.h"
#include "util/utils.h"

namespace {

constexpr int kMaxList = static_cast<int>(ES_MAX_CONTENTS);
constexpr const char* kOptionLetters = "OK:T:C:n:c:i:o:b:m:g:t:dN:s:P:D:A:B:a";

// What the command line says, as it is read: the per-content lists fill
// their slots from 0 and must agree in count; they become the title's
// contents once every option has been read.
struct ParsedOptions {
    tool::TitleConfig title;
    bool create = false;
    bool cmdOut = false;
    uint16_t numContents = 0;
    bool haveFiles = false;  // -n, -c and -i seen (checked after parsing)
    bool haveCids = false;
    bool haveIndex = false;
    const char* files[ES_MAX_CONTENTS] = {};
    uint32_t cids[ES_MAX_CONTENTS] = {};
    uint16_t index[ES_MAX_CONTENTS] = {};
    uint16_t types[ES_MAX_CONTENTS] = {};
};

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

// A stage's failure: its line, then status 1.
void check(const tool::StageResult& r) {
    if (r.ok) return;
    std::fputs(r.message.c_str(), stderr);
    usage();
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
void agreeCount(ParsedOptions& o, int n, const char* fmt) {
    if (o.numContents == 0) {
        o.numContents = static_cast<uint16_t>(n);
    } else if (n != o.numContents) {
        fail(fmt, o.numContents, n);
    }
}

void postParseChecks(ParsedOptions& o) {
    if (!o.create) fail("provide input TMD file using -I or create a new one using -O\n");
    if (o.title.tid == 0) fail("title ID undefined.\n");

    if (o.numContents != 0) {
        if (!o.haveFiles) fail("need content files\n");
        if (!o.haveCids) fail("need content IDs\n");
        if (!o.haveIndex) fail("need content index\n");
    }
    for (int i = 0; i < o.numContents; ++i)
        o.title.contents.push_back({o.files[i], o.cids[i], o.index[i], o.types[i]});

    const std::vector<std::string> refusals = tool::checkTitleContents(o.title);
    if (!refusals.empty()) {
        for (const std::string& line : refusals) std::fputs(line.c_str(), stderr);
        usage();
    }
}

// The list options. Each item is stored as it comes; the count of every
// per-content list must agree with the others' (`mismatch` is the message
// when it does not), while -A's records stand alone.
struct ListOption {
    char letter;
    const char* mismatch;
    void (*store)(ParsedOptions& o, size_t i, char* item);
    void (*finish)(ParsedOptions& o, int n);
};

constexpr const char* kCountMismatch = "incorrect number of contents, numContents=%d n=%d\n";

uint16_t listNumber16(const char* item) {
    return static_cast<uint16_t>(tool::convertUnsigned(item, 32));
}

constexpr ListOption kListOptions[] = {
    {'n', kCountMismatch, [](ParsedOptions& o, size_t i, char* item) { o.files[i] = item; },
     [](ParsedOptions& o, int) { o.haveFiles = true; }},
    {'c', kCountMismatch,
     [](ParsedOptions& o, size_t i, char* item) {
         o.cids[i] = static_cast<uint32_t>(tool::convertUnsigned(item, 32));
     },
     [](ParsedOptions& o, int) { o.haveCids = true; }},
    {'i', kCountMismatch, [](ParsedOptions& o, size_t i, char* item) { o.index[i] = listNumber16(item); },
     [](ParsedOptions& o, int) { o.haveIndex = true; }},
    {'t', "incorrect number of contents, numContents=%d i=%d\n",
     [](ParsedOptions& o, size_t i, char* item) { o.types[i] = listNumber16(item); },
     [](ParsedOptions& o, int n) {
         for (int i = 0; i < n; ++i)
             if (!tool::isAllowedContentType(o.types[i])) fail("incorrect content type\n");
     }},
    {'A', nullptr,
     [](ParsedOptions& o, size_t k, char* item) {
         if (k == 0) {
             o.title.records.clear();
             o.title.recordFiles.clear();
         }
         ContentRecord rec{};
         utilFread(item, rec.bytes, sizeof rec.bytes);
         o.title.records.push_back(rec);
         o.title.recordFiles.emplace_back(item);
     },
     [](ParsedOptions&, int) {}},
};

void parseList(ParsedOptions& o, char letter, char* arg) {
    for (const ListOption& l : kListOptions) {
        if (l.letter != letter) continue;
        const std::vector<char*> items = splitList(letter, arg);
        for (size_t i = 0; i < items.size(); ++i) l.store(o, i, items[i]);
        const int n = static_cast<int>(items.size());
        if (l.mismatch) agreeCount(o, n, l.mismatch);
        l.finish(o, n);
    }
}

ParsedOptions processOptions(int argc, char** argv) {
    if (argc < 2) usage();
    ParsedOptions o;
    tool::TitleConfig& t = o.title;

    int c;
    while ((c = getopt(argc, argv, kOptionLetters)) != -1) {
        switch (c) {
            case 'O':
                o.create = true;
                break;
            case 'K':
                t.titleKeyFile = optarg;
                break;
            case 'T':
                t.tid = tool::convertUnsigned(optarg, 64);
                if ((t.tid >> 32) <= 2) fail("incorrect title id\n");
                break;
            case 'C':
                t.ttype = static_cast<uint32_t>(tool::convertUnsigned(optarg, 32));
                if (!tool::isAllowedTitleType(t.ttype)) fail("incorrect title type\n");
                break;
            case 'n':
            case 'c':
            case 'i':
            case 't':
            case 'A':
                parseList(o, static_cast<char>(c), optarg);
                break;
            case 'o':
                t.sysVersion = tool::convertUnsigned(optarg, 64);
                if ((t.sysVersion >> 32) != 1) fail("incorrect system version\n");
                break;
            case 'b':
                t.bidx = static_cast<uint16_t>(tool::convertUnsigned(optarg, 32));
                break;
            case 'm':
                t.titleVersion = static_cast<uint16_t>(tool::convertUnsigned(optarg, 32));
                break;
            case 'g':
                t.groupId = static_cast<uint16_t>(tool::convertUnsigned(optarg, 32));
                if (t.groupId <= 1) fail("incorrect group ID\n");
                break;
            case 'd':
                t.disc = true;
                break;
            case 'N':
                utilFread(optarg, t.reserved1.data(), static_cast<uint32_t>(t.reserved1.size()));
                break;
            case 'B':
                utilFread(optarg, t.reserved2.data(), static_cast<uint32_t>(t.reserved2.size()));
                break;
            case 'a':
                o.cmdOut = true;
                break;
            default:  // 's', 'P', 'D', an unknown letter or a missing argument
                usage();
        }
    }
    // The tool takes no operands: a stray word is most often a list item
    // cut off by a blank, and packaging without it would be wrong.
    if (optind < argc) fail("unexpected argument '%s'\n", argv[optind]);
    postParseChecks(o);
    return o;
}

// Every name this run writes.
std::vector<std::string> outputNames(const ParsedOptions& o) {
    const tool::TitleConfig& t = o.title;
    std::vector<std::string> names;
    char name[32];
    for (const tool::TitleContent& c : t.contents) {
        std::snprintf(name, sizeof name, "%08x.app", c.cid);
        names.push_back(name);
        if (!t.disc) continue;
        std::snprintf(name, sizeof name, "%08x.hash", c.cid);
        names.push_back(name);
    }
    if (!t.contents.empty()) names.push_back(tool::titleKeyFileName(t.tid));
    names.push_back(tool::tmdFileName(t.tid));
    if (o.cmdOut) {
        for (const tool::TitleContent& c : t.contents) {
            ContentRecord rec{};
            es_put_be32(rec.bytes + cmd_layout::CID, c.cid);
            names.push_back(tool::contentRecordFileName(rec.bytes));
        }
        for (const ContentRecord& rec : t.records) names.push_back(tool::contentRecordFileName(rec.bytes));
    }
    return names;
}

// Before anything is written: the output directory (the current one) is
// this run's alone, held open for the whole run so that every small output
// is written in it by name, never through what stands there; and no output
// name holds what an output is never put over (a directory, FIFO, device or
// socket, or a link to one). A link to anything else or a file with other
// names under an output's name is replaced when the output is written,
// never written through.
int claimOutputDirectory(const ParsedOptions& o) {
    const int dir = tmd_io::openDirectory(".");
    if (dir < 0) fail("cannot open the output directory: %s\n", std::strerror(errno));
    if (!tmd_io::lockDirectory(dir)) {
        if (errno == EWOULDBLOCK) fail("output directory is in use by another run\n");
        fail("cannot lock the output directory: %s\n", std::strerror(errno));
    }
    for (const std::string& name : outputNames(o))
        if (const char* kind = tmd_io::refusedEntry(dir, name.c_str()))
            fail("file open failed %s: it is %s, not a regular file; nothing is written\n",
                 name.c_str(), kind);
    return dir;
}

int run(int argc, char** argv) {
    const ParsedOptions o = processOptions(argc, argv);
    tool::KeyFiles keys;
    std::string error;
    if (!tool::keyFilesFromEnvironment(&keys, &error)) fail("%s", error.c_str());

    tool::OutputDir here;  // the current directory
    here.fd = claimOutputDirectory(o);
    tool::Signer signer;
    // The token is reached before any content is encrypted, so that a wrong
    // PIN or a wrong key ends the run before it has written anything. A key
    // file that is not the certificate's is refused there too, unless -a is
    // to report the TMD it signs as failing.
    tool::StageResult r = signer.open(keys, !o.cmdOut);
    auto encrypted = std::make_unique<tool::EncryptedContents>();
    std::vector<uint8_t> tmd;
    if (r.ok) r = tool::encryptContents(o.title, keys, here, tmd_io::workerBudget(), encrypted.get());
    if (r.ok) r = tool::generateTmd(o.title, keys, *encrypted, signer, here, &tmd);
    // Logged out and closed before the module's own state is torn down.
    signer.close();
    check(r);

    int status = 0;
    if (o.cmdOut) check(tool::dumpTmd(o.title.tid, keys, here, &status));
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // The only long arguments, recognised alone and before the option parser,
    // so that every other command line is parsed exactly as before.
    const bool version = argc == 2 && std::strcmp(argv[1], "--version") == 0;
    const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
    int status = 0;
    if (version || help)
        std::fputs(version ? "tmd " TMD_VERSION "\n" : kHelp, stdout);
    else
        status = run(argc, argv);
    std::fflush(stdout);
    if (std::ferror(stdout)) {
        std::fprintf(stderr, "error writing standard output\n");
        return 1;
    }
    return status;
}
