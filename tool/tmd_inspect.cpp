// tmd-inspect: inspects and verifies a package that already exists. Prints
// every field of its TMD, verifies the TMD's signature and the certificate
// chain, decrypts the title key and checks every content file (plain and disc
// layout, hash tree included) against its recorded size and hash.
//
// Exit status: 0 everything verifies, 2 something does not, 1 bad input.

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "csl/aes.h"
#include "csl/sha1.h"
#include "csl/wipe.h"
#include "es/cert.h"
#include "es/disk_layout.h"
#include "es/tmd.h"
#include "tool/report.h"
#include "util/utils.h"

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: tmd-inspect [options] TMD\n"
    "\n"
    "Prints the TMD's fields and verifies the package it describes.\n"
    "  --pki DIR          directory holding cp_dpki.cert, ca_dpki.cert and\n"
    "                     common_dpki.aesKey (defaults for the next three options)\n"
    "  --cert FILE        content-publishing certificate (768 or 1,024 bytes)\n"
    "  --ca FILE          CA certificate that signed it; the chain is checked up to it\n"
    "  --common-key FILE  common key (16 bytes)\n"
    "  --title-key FILE   encrypted title key (default: <dir>/<title ID>.titleKey)\n"
    "  --dir DIR          package directory holding the .app and .hash files\n"
    "                     (default: the TMD's directory)\n"
    "  --layout MODE      auto (from the content type's disc bit), plain or disc\n"
    "  --json             print one JSON object instead of text\n"
    "  --help             this text\n"
    "Exit status: 0 everything verifies, 2 something does not verify, 1 bad input.\n";

using Bytes = std::vector<uint8_t>;

[[noreturn]] void badInput(const std::string& msg) {
    std::fprintf(stderr, "tmd-inspect: %s\n", msg.c_str());
    std::exit(1);
}

std::optional<Bytes> readAll(const fs::path& p, size_t limit) {
    std::error_code ec;
    if (!fs::is_regular_file(p, ec)) return std::nullopt;
    const auto size = fs::file_size(p, ec);
    if (ec || size > limit) return std::nullopt;
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(p.c_str(), "rb"), std::fclose);
    if (!f) return std::nullopt;
    // Keys are read here too: straight into the result, not via stdio's buffer.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    Bytes b(size);
    if (size && std::fread(b.data(), 1, size, f.get()) != size) return std::nullopt;
    return b;
}

Bytes mustRead(const fs::path& p, size_t limit, const char* what) {
    auto b = readAll(p, limit);
    if (!b) badInput(std::string("cannot read ") + what + " " + p.string());
    return std::move(*b);  // no copy of a key left behind
}

struct Check {
    std::string name;
    bool ok;
    std::string detail;
};

struct Options {
    fs::path tmd, cert, ca, commonKey, titleKey, dir;
    std::string layout = "auto";
    bool json = false;
};

std::array<uint8_t, 20> sha1(const uint8_t* p, size_t n) {
    std::array<uint8_t, 20> d;
    csl_sha1(p, n, d.data());
    return d;
}

std::string certText(const uint8_t* field) {
    const char* p = reinterpret_cast<const char*>(field);
    return std::string(p, strnlen(p, 64));
}

// Issuer and name of a certificate, or nothing when its layout is unknown.
std::optional<std::pair<std::string, std::string>> certNames(const Bytes& cert) {
    if (cert.size() < 384) return std::nullopt;
    uint8_t issuer[64], name[64];
    const uint32_t sigType = es_get_be32(cert.data());
    const size_t needed = sigType == ES_SIG_RSA4096 ? 1024 : sigType == ES_SIG_RSA2048 ? 576 : 384;
    if (cert.size() < needed || ES_GetCertNames(cert.data(), issuer, name) != 0) return std::nullopt;
    return std::make_pair(certText(issuer), certText(name));
}

int32_t sigLengthOf(uint32_t sigType) {
    switch (sigType) {
        case ES_SIG_RSA4096: return 512;
        case ES_SIG_RSA2048: return 256;
        case ES_SIG_ECC: return 60;
        default: return 0;
    }
}

// Decrypts an open .app of a plain-layout content and checks its size,
// zero padding and SHA-1.
std::string checkPlain(const fs::path& app, uint64_t size, uint16_t index, const uint8_t* hash,
                       const uint8_t* titleKey) {
    std::error_code ec;
    if (!fs::exists(app, ec)) return "missing " + app.filename().string();
    // A size this close to 2^64 has no padded length; the rounding below
    // would wrap round to a small one that an empty file matches.
    if (size > UINT64_MAX - 15) return "impossible content size " + std::to_string(size);
    const uint64_t expected = (size + 15) / 16 * 16;
    const uint64_t actual = fs::file_size(app, ec);
    if (ec) return "cannot read " + app.filename().string();
    if (actual != expected)
        return "size mismatch: " + app.filename().string() + " has " + std::to_string(actual) +
               " bytes, expected " + std::to_string(expected);
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(app.c_str(), "rb"), std::fclose);
    if (!f) return "cannot read " + app.filename().string();
    uint8_t iv[16] = {};
    es_put_be16(iv, index);
    SHA1HashState st;
    SHA1Reset(&st);
    std::vector<uint8_t> in(1 << 16), out(1 << 16);
    uint64_t done = 0;
    bool padOk = true;
    while (done < expected) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(in.size(), expected - done));
        if (std::fread(in.data(), 1, n, f.get()) != n) return "cannot read " + app.filename().string();
        aes_SwDecrypt(titleKey, iv, in.data(), static_cast<int>(n), out.data());
        std::memcpy(iv, in.data() + n - 16, 16);
        const size_t plain = static_cast<size_t>(std::min<uint64_t>(n, size - std::min(size, done)));
        SHA1Input(&st, out.data(), static_cast<int32_t>(plain));
        for (size_t i = plain; i < n; ++i) padOk &= out[i] == 0;
        done += n;
    }
    uint8_t digest[20];
    SHA1Result(&st, digest);
    if (std::memcmp(digest, hash, 20) != 0) return "hash mismatch: SHA-1 of the content is " + tool::hexString(digest, 20);
    if (!padOk) return "padding after the content is not zero";
    return "";
}

// Decrypts and checks a disc-layout content: every block's hash block against
// the data (chunk hashes), the block and group hashes, the super-block hashes
// against the hash file, and the content hash against the TMD.
std::string checkDisc(const fs::path& app, const fs::path& hashFile, uint64_t size,
                      const uint8_t* hash, const uint8_t* titleKey) {
    std::error_code ec;
    if (!fs::exists(app, ec)) return "missing " + app.filename().string();
    // The hash table bounds a disc-layout content; anything larger was never
    // written, and the block arithmetic below would wrap for it.
    if (size > uint64_t{SUPERBLOCK_HASH_TABLE_ENTRIES} * DVD_DATA_BYTES_PER_SUPERBLOCK)
        return "impossible content size " + std::to_string(size) + " for the disc layout";
    const uint64_t blocks = discBlocksFor(size);
    const uint64_t actual = fs::file_size(app, ec);
    if (ec) return "cannot read " + app.filename().string();
    if (actual != blocks * DVD_BYTES_PER_BLOCK)
        return "size mismatch: " + app.filename().string() + " has " + std::to_string(actual) +
               " bytes, expected " + std::to_string(blocks * DVD_BYTES_PER_BLOCK);
    auto table = readAll(hashFile, SUPERBLOCK_HASH_TABLE_BYTES);
    if (!table) return "missing or oversized " + hashFile.filename().string();
    uint64_t superBlocks = (size + DVD_DATA_BYTES_PER_SUPERBLOCK - 1) / DVD_DATA_BYTES_PER_SUPERBLOCK;
    uint64_t slots = superBlocks + (size % DVD_DATA_BYTES_PER_SUPERBLOCK == 0 ? 1 : 0);
    if (slots > SUPERBLOCK_HASH_TABLE_ENTRIES) slots = SUPERBLOCK_HASH_TABLE_ENTRIES;
    if (table->size() != slots * 20)
        return "hash file " + hashFile.filename().string() + " has " + std::to_string(table->size()) +
               " bytes, expected " + std::to_string(slots * 20);
    Bytes fullTable(SUPERBLOCK_HASH_TABLE_BYTES, 0);
    std::memcpy(fullTable.data(), table->data(), table->size());
    for (size_t i = superBlocks * 20; i < table->size(); ++i)
        if ((*table)[i] != 0) return "trailing slot of the hash file is not zero";

    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(app.c_str(), "rb"), std::fclose);
    if (!f) return "cannot read " + app.filename().string();
    Bytes enc(DVD_BYTES_PER_BLOCK), hashBlock(DVD_HASH_BYTES_PER_BLOCK), data(DVD_DATA_BYTES_PER_BLOCK);
    std::vector<std::array<uint8_t, 20>> blockHash(BLOCKS_PER_SUPERBLOCK);
    std::vector<Bytes> hashBlocks(BLOCKS_PER_SUPERBLOCK);
    // Hashes of a zero block, for the blocks after the data that are not written.
    Bytes zeroBlock(DVD_DATA_BYTES_PER_BLOCK, 0);
    Bytes zeroChunks;
    for (uint32_t c = 0; c < 31; ++c) {
        auto h = sha1(zeroBlock.data() + c * DVD_CHUNK_BYTES, DVD_CHUNK_BYTES);
        zeroChunks.insert(zeroChunks.end(), h.begin(), h.end());
    }
    const auto zeroBlockHash = sha1(zeroChunks.data(), zeroChunks.size());
    uint64_t remaining = size;
    const uint8_t zeroIv[16] = {};
    for (uint64_t sb = 0; sb < superBlocks; ++sb) {
        const std::string where = "super block " + std::to_string(sb);
        const uint64_t inThis = std::min<uint64_t>(remaining, DVD_DATA_BYTES_PER_SUPERBLOCK);
        const auto written = static_cast<uint32_t>(discBlocksFor(inThis));
        for (uint32_t b = 0; b < BLOCKS_PER_SUPERBLOCK; ++b) {
            if (b >= written) {
                blockHash[b] = zeroBlockHash;
                hashBlocks[b].clear();
                continue;
            }
            if (std::fread(enc.data(), 1, enc.size(), f.get()) != enc.size())
                return "cannot read " + app.filename().string();
            aes_SwDecrypt(titleKey, zeroIv, enc.data(), DVD_HASH_BYTES_PER_BLOCK, hashBlock.data());
            aes_SwDecrypt(titleKey, enc.data() + 976, enc.data() + DVD_HASH_BYTES_PER_BLOCK,
                          DVD_DATA_BYTES_PER_BLOCK, data.data());
            const uint64_t dataHere = std::min<uint64_t>(DVD_DATA_BYTES_PER_BLOCK,
                                                         inThis - uint64_t{b} * DVD_DATA_BYTES_PER_BLOCK);
            for (uint64_t i = dataHere; i < DVD_DATA_BYTES_PER_BLOCK; ++i)
                if (data[i] != 0) return where + ", block " + std::to_string(b) + ": padding is not zero";
            for (uint32_t c = 0; c < 31; ++c) {
                auto h = sha1(data.data() + c * DVD_CHUNK_BYTES, DVD_CHUNK_BYTES);
                if (std::memcmp(h.data(), hashBlock.data() + 20 * c, 20) != 0)
                    return where + ", block " + std::to_string(b) + ": chunk " + std::to_string(c) +
                           " hash mismatch";
            }
            for (size_t z : {size_t{620}, size_t{800}, size_t{992}})
                for (size_t i = z; i < z + (z == 620 ? 20 : 32); ++i)
                    if (hashBlock[i] != 0)
                        return where + ", block " + std::to_string(b) + ": hash block fill is not zero";
            blockHash[b] = sha1(hashBlock.data(), 620);
            hashBlocks[b] = hashBlock;
        }
        Bytes groups;
        for (uint32_t g = 0; g < 8; ++g) {
            Bytes blockList;
            for (uint32_t b = 8 * g; b < 8 * g + 8; ++b)
                blockList.insert(blockList.end(), blockHash[b].begin(), blockHash[b].end());
            for (uint32_t b = 8 * g; b < 8 * g + 8; ++b)
                if (!hashBlocks[b].empty() && std::memcmp(hashBlocks[b].data() + 640, blockList.data(), 160) != 0)
                    return where + ", block " + std::to_string(b) + ": block hashes mismatch";
            auto gh = sha1(blockList.data(), blockList.size());
            groups.insert(groups.end(), gh.begin(), gh.end());
        }
        for (uint32_t b = 0; b < written; ++b)
            if (std::memcmp(hashBlocks[b].data() + 832, groups.data(), 160) != 0)
                return where + ", block " + std::to_string(b) + ": group hashes mismatch";
        const auto sbHash = sha1(groups.data(), groups.size());
        if (std::memcmp(sbHash.data(), table->data() + 20 * sb, 20) != 0)
            return where + ": hash file entry mismatch";
        remaining -= inThis;
    }
    const auto contentHash = sha1(fullTable.data(), fullTable.size());
    if (std::memcmp(contentHash.data(), hash, 20) != 0) return "content hash mismatch";
    return "";
}

Options parse(int argc, char** argv) {
    Options o;
    fs::path pki;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> positional;
    auto value = [&](size_t& i) -> std::string {
        if (i + 1 >= args.size()) badInput(args[i] + " needs a value (see --help)");
        return args[++i];
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--pki") pki = value(i);
        else if (a == "--cert") o.cert = value(i);
        else if (a == "--ca") o.ca = value(i);
        else if (a == "--common-key") o.commonKey = value(i);
        else if (a == "--title-key") o.titleKey = value(i);
        else if (a == "--dir") o.dir = value(i);
        else if (a == "--layout") {
            o.layout = value(i);
            if (o.layout != "auto" && o.layout != "plain" && o.layout != "disc")
                badInput("--layout takes auto, plain or disc");
        } else if (a == "--json") o.json = true;
        else if (!a.empty() && a[0] == '-') badInput("unknown option " + a + " (see --help)");
        else positional.push_back(a);
    }
    if (positional.size() != 1) badInput("give exactly one TMD file (see --help)");
    o.tmd = positional[0];
    if (!pki.empty()) {
        if (o.cert.empty()) o.cert = pki / "cp_dpki.cert";
        if (o.ca.empty() && fs::exists(pki / "ca_dpki.cert")) o.ca = pki / "ca_dpki.cert";
        if (o.commonKey.empty()) o.commonKey = pki / "common_dpki.aesKey";
    }
    if (o.cert.empty()) badInput("no certificate: give --cert or --pki");
    if (o.dir.empty()) o.dir = o.tmd.has_parent_path() ? o.tmd.parent_path() : fs::path(".");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const Bytes tmd = mustRead(o.tmd, 484 + 36 * 65535, "TMD");
    if (tmd.size() < tmd_layout::HEADER_BYTES) badInput("TMD " + o.tmd.string() + " is shorter than a TMD header");
    const uint16_t numContents = es_get_be16(tmd.data() + tmd_layout::NUM_CONTENTS);
    const uint32_t tmdSize = ES_GetTmdSize(numContents);
    if (tmd.size() < tmdSize)
        badInput("TMD " + o.tmd.string() + " holds fewer content records than its numContents (" +
                 std::to_string(numContents) + ")");
    const Bytes cert = mustRead(o.cert, 1280, "certificate");

    std::vector<Check> checks;
    auto add = [&](std::string name, const std::string& failure) {
        checks.push_back({std::move(name), failure.empty(), failure});
    };

    add("TMD version", tmd[tmd_layout::VERSION] == ES_TMD_VERSION
                           ? "" : "version " + std::to_string(tmd[tmd_layout::VERSION]) + ", expected 0");
    if (es_get_be32(tmd.data()) != ES_SIG_RSA2048) {
        add("TMD signature", "signature type is not RSA-2048");
    } else {
        const int32_t r = utilVerify2(cert.data(), static_cast<int32_t>(cert.size()), 256, tmd.data(),
                                      static_cast<int32_t>(tmdSize), 1);
        add("TMD signature", r == 0 ? "" : r == 7 ? "does not verify against " + o.cert.filename().string()
                                                 : "certificate of " + std::to_string(cert.size()) +
                                                       " bytes cannot verify an RSA-2048 signature");
    }
    const auto cpNames = certNames(cert);
    const std::string tmdIssuer(reinterpret_cast<const char*>(tmd.data() + tmd_layout::ISSUER),
                                strnlen(reinterpret_cast<const char*>(tmd.data() + tmd_layout::ISSUER), 64));
    if (!cpNames) add("TMD issuer", "certificate layout not recognised");
    else add("TMD issuer", tmdIssuer == cpNames->first + "-" + cpNames->second
                               ? "" : "TMD names " + tmdIssuer + ", certificate is " + cpNames->first + "-" + cpNames->second);

    if (!o.ca.empty()) {
        const Bytes ca = mustRead(o.ca, 1280, "CA certificate");
        const auto caNames = certNames(ca);
        const int32_t sigLen = sigLengthOf(es_get_be32(cert.data()));
        int32_t r = -1;
        if (sigLen == 512 && ca.size() >= 1228)
            r = utilVerify2(ca.data(), static_cast<int32_t>(ca.size()), 512, cert.data(),
                            static_cast<int32_t>(cert.size()), 1);
        else if (sigLen == 256 || sigLen == 60)
            r = utilVerify2(ca.data(), static_cast<int32_t>(ca.size()), sigLen, cert.data(),
                            static_cast<int32_t>(cert.size()), 1);
        std::string failure;
        if (r != 0) failure = "certificate " + o.cert.filename().string() + " does not verify against " + o.ca.filename().string();
        else if (!caNames || !cpNames || cpNames->first != caNames->first + "-" + caNames->second)
            failure = "certificate issuer does not name the CA certificate";
        add("certificate chain", failure);
    }

    // Title key and contents.
    uint8_t titleKey[16] = {};
    bool haveKey = false;
    if (!o.commonKey.empty()) {
        Bytes common = mustRead(o.commonKey, 4096, "common key");
        if (common.size() < 16) badInput("common key " + o.commonKey.string() + " is shorter than 16 bytes");
        char name[32];
        std::snprintf(name, sizeof name, "%llx.titleKey",
                      static_cast<unsigned long long>(es_get_be64(tmd.data() + tmd_layout::TITLE_ID)));
        const fs::path tkPath = o.titleKey.empty() ? o.dir / name : o.titleKey;
        auto tk = readAll(tkPath, 4096);
        if (!tk || tk->size() < 16) {
            add("title key", "cannot read " + tkPath.string());
        } else {
            uint8_t iv[16] = {};
            es_put_be64(iv, es_get_be64(tmd.data() + tmd_layout::TITLE_ID));
            haveKey = aes_SwDecrypt(common.data(), iv, tk->data(), 16, titleKey) == 0;
            add("title key", haveKey ? "" : "cannot decrypt " + tkPath.string());
            csl_wipe(tk->data(), tk->size());
        }
        csl_wipe(common.data(), common.size());
    }
    if (haveKey) {
        for (int i = 0; i < numContents; ++i) {
            const uint8_t* rec = tmd.data() + tmd_layout::CONTENTS + 36 * static_cast<size_t>(i);
            const uint32_t cid = es_get_be32(rec + cmd_layout::CID);
            const uint16_t type = es_get_be16(rec + cmd_layout::TYPE);
            const bool disc = o.layout == "disc" || (o.layout == "auto" && (type & ES_CONTENT_TYPE_DISC));
            char app[16], hashName[16];
            std::snprintf(app, sizeof app, "%08x.app", cid);
            std::snprintf(hashName, sizeof hashName, "%08x.hash", cid);
            const uint64_t size = es_get_be64(rec + cmd_layout::SIZE);
            const std::string failure =
                disc ? checkDisc(o.dir / app, o.dir / hashName, size, rec + cmd_layout::HASH, titleKey)
                     : checkPlain(o.dir / app, size, es_get_be16(rec + cmd_layout::INDEX),
                                  rec + cmd_layout::HASH, titleKey);
            add("content " + std::to_string(i) + " (" + app + (disc ? ", disc layout" : "") + ")", failure);
        }
    }
    csl_wipe(titleKey, sizeof titleKey);

    bool allOk = true;
    for (const auto& c : checks) allOk &= c.ok;
    if (o.json) {
        std::string j = "{\"tmd\": " + tool::tmdJson(tmd.data()) + ", \"checks\": [";
        for (size_t i = 0; i < checks.size(); ++i) {
            if (i) j += ", ";
            j += "{\"name\": " + tool::jsonString(checks[i].name) + ", \"ok\": " +
                 (checks[i].ok ? "true" : "false") + ", \"detail\": " + tool::jsonString(checks[i].detail) + "}";
        }
        j += std::string("], \"ok\": ") + (allOk ? "true" : "false") + "}\n";
        std::fputs(j.c_str(), stdout);
    } else {
        tool::printTmdReport(stdout, tmd.data());
        std::printf("checks:\n");
        for (const auto& c : checks)
            std::printf("  %s: %s\n", c.name.c_str(), c.ok ? "ok" : ("FAILED: " + c.detail).c_str());
        std::printf("%s\n", allOk ? "package verifies" : "package does NOT verify");
    }
    std::fflush(stdout);
    return allOk ? 0 : 2;
}
