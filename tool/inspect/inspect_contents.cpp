// Content checks of tmd-inspect: each content file is decrypted once, checked
// against its record (and, in the disc layout, its hash tree), and its
// plaintext handed to a sink on the way for extraction.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "csl/aes.h"
#include "csl/sha1.h"
#include "es/disk_layout.h"
#include "es/tmd.h"
#include "io/small_file.h"
#include "tool/common/inspect.h"
#include "tool/common/report.h"

namespace fs = std::filesystem;

namespace inspect {

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

std::array<uint8_t, 20> sha1(const uint8_t* p, size_t n) {
    std::array<uint8_t, 20> d;
    csl_sha1(p, n, d.data());
    return d;
}

Outcome fail(Fault f, std::string detail) { return {f, std::move(detail)}; }

// Opens a content file after checking that it exists and has `expected` bytes.
std::optional<Outcome> openSized(const fs::path& app, uint64_t expected, File& f) {
    std::error_code ec;
    const std::string name = app.filename().string();
    if (!fs::exists(app, ec)) return fail(Fault::unreadable, "missing " + name);
    const uint64_t actual = fs::file_size(app, ec);
    if (ec) return fail(Fault::unreadable, "cannot read " + name);
    if (actual != expected)
        return fail(Fault::size, "size mismatch: " + name + " has " + std::to_string(actual) +
                                     " bytes, expected " + std::to_string(expected));
    f.reset(std::fopen(app.c_str(), "rb"));
    if (!f) return fail(Fault::unreadable, "cannot read " + name);
    return std::nullopt;
}

constexpr uint64_t kMaxDiscContent = uint64_t{SUPERBLOCK_HASH_TABLE_ENTRIES} * DVD_DATA_BYTES_PER_SUPERBLOCK;

}  // namespace

uint64_t plainFileSize(uint64_t size) {
    // A size this close to 2^64 has no padded length; the rounding would
    // wrap round to a small one that an empty file matches.
    return size > UINT64_MAX - 15 ? 0 : (size + 15) / 16 * 16;
}

uint64_t discFileSize(uint64_t size) {
    // The hash table bounds a disc-layout content; anything larger was never
    // written, and the block arithmetic would wrap for it.
    return size > kMaxDiscContent ? 0 : discBlocksFor(size) * DVD_BYTES_PER_BLOCK;
}

Outcome checkPlain(const fs::path& app, uint64_t size, uint16_t index, const uint8_t* hash,
                   const uint8_t* titleKey, const Sink& sink) {
    const uint64_t expected = plainFileSize(size);
    if (expected == 0 && size != 0) return fail(Fault::size, "impossible content size " + std::to_string(size));
    File f(nullptr, std::fclose);
    if (auto refused = openSized(app, expected, f)) return *refused;
    const std::string name = app.filename().string();
    uint8_t iv[16];
    ES_ContentIv(index, iv);
    SHA1HashState st;
    SHA1Reset(&st);
    std::vector<uint8_t> in(1 << 16), out(1 << 16);
    uint64_t done = 0;
    bool padOk = true;
    while (done < expected) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(in.size(), expected - done));
        if (std::fread(in.data(), 1, n, f.get()) != n) return fail(Fault::unreadable, "cannot read " + name);
        aes_SwDecrypt(titleKey, iv, in.data(), static_cast<int>(n), out.data());
        std::memcpy(iv, in.data() + n - 16, 16);
        const size_t plain = static_cast<size_t>(std::min<uint64_t>(n, size - std::min(size, done)));
        SHA1Input(&st, out.data(), static_cast<int32_t>(plain));
        if (sink && plain && !sink(out.data(), plain)) return fail(Fault::write, "");
        for (size_t i = plain; i < n; ++i) padOk &= out[i] == 0;
        done += n;
    }
    uint8_t digest[20];
    SHA1Result(&st, digest);
    if (std::memcmp(digest, hash, 20) != 0)
        return fail(Fault::data, "hash mismatch: SHA-1 of the content is " + tool::hexString(digest, 20));
    if (!padOk) return fail(Fault::data, "padding after the content is not zero");
    return {};
}

namespace hb = disc_hash_block;

Outcome checkDisc(const fs::path& app, const fs::path& hashFile, uint64_t size, const uint8_t* hash,
                  const uint8_t* titleKey, const Sink& sink) {
    const uint64_t expected = discFileSize(size);
    if (expected == 0 && size != 0)
        return fail(Fault::size, "impossible content size " + std::to_string(size) + " for the disc layout");
    File f(nullptr, std::fclose);
    if (auto refused = openSized(app, expected, f)) return *refused;
    const std::string name = app.filename().string();
    std::optional<Bytes> table(std::in_place);
    if (tmd_io::readSmallFile(hashFile.c_str(), SUPERBLOCK_HASH_TABLE_BYTES, *table).status != tmd_io::ReadStatus::ok)
        return fail(Fault::unreadable, "missing or oversized " + hashFile.filename().string());
    const uint64_t superBlocks = (size + DVD_DATA_BYTES_PER_SUPERBLOCK - 1) / DVD_DATA_BYTES_PER_SUPERBLOCK;
    uint64_t slots = superBlocks + (size % DVD_DATA_BYTES_PER_SUPERBLOCK == 0 ? 1 : 0);
    if (slots > SUPERBLOCK_HASH_TABLE_ENTRIES) slots = SUPERBLOCK_HASH_TABLE_ENTRIES;
    if (table->size() != slots * 20)
        return fail(Fault::size, "hash file " + hashFile.filename().string() + " has " +
                                     std::to_string(table->size()) + " bytes, expected " + std::to_string(slots * 20));
    Bytes fullTable(SUPERBLOCK_HASH_TABLE_BYTES, 0);
    std::memcpy(fullTable.data(), table->data(), table->size());
    for (size_t i = superBlocks * 20; i < table->size(); ++i)
        if ((*table)[i] != 0) return fail(Fault::data, "trailing slot of the hash file is not zero");

    Bytes enc(DVD_BYTES_PER_BLOCK), hashBlock(DVD_HASH_BYTES_PER_BLOCK), data(DVD_DATA_BYTES_PER_BLOCK);
    std::vector<std::array<uint8_t, 20>> blockHash(BLOCKS_PER_SUPERBLOCK);
    std::vector<Bytes> hashBlocks(BLOCKS_PER_SUPERBLOCK);
    // Hashes of a zero block, for the blocks after the data that are not written.
    Bytes zeroBlock(DVD_DATA_BYTES_PER_BLOCK, 0);
    Bytes zeroChunks;
    for (uint32_t c = 0; c < hb::CHUNKS_PER_BLOCK; ++c) {
        auto h = sha1(zeroBlock.data() + c * DVD_CHUNK_BYTES, DVD_CHUNK_BYTES);
        zeroChunks.insert(zeroChunks.end(), h.begin(), h.end());
    }
    const auto zeroBlockHash = sha1(zeroChunks.data(), zeroChunks.size());
    uint64_t remaining = size;
    const uint8_t zeroIv[16] = {};
    for (uint64_t sb = 0; sb < superBlocks; ++sb) {
        const std::string where = "super block " + std::to_string(sb);
        auto inBlock = [&](uint32_t b, const std::string& what) {
            return fail(Fault::data, where + ", block " + std::to_string(b) + ": " + what);
        };
        const uint64_t inThis = std::min<uint64_t>(remaining, DVD_DATA_BYTES_PER_SUPERBLOCK);
        const auto written = static_cast<uint32_t>(discBlocksFor(inThis));
        for (uint32_t b = 0; b < BLOCKS_PER_SUPERBLOCK; ++b) {
            if (b >= written) {
                blockHash[b] = zeroBlockHash;
                hashBlocks[b].clear();
                continue;
            }
            if (std::fread(enc.data(), 1, enc.size(), f.get()) != enc.size())
                return fail(Fault::unreadable, "cannot read " + name);
            aes_SwDecrypt(titleKey, zeroIv, enc.data(), DVD_HASH_BYTES_PER_BLOCK, hashBlock.data());
            aes_SwDecrypt(titleKey, enc.data() + hb::DATA_IV, enc.data() + DVD_HASH_BYTES_PER_BLOCK,
                          DVD_DATA_BYTES_PER_BLOCK, data.data());
            const uint64_t dataHere =
                std::min<uint64_t>(DVD_DATA_BYTES_PER_BLOCK, inThis - uint64_t{b} * DVD_DATA_BYTES_PER_BLOCK);
            for (uint64_t i = dataHere; i < DVD_DATA_BYTES_PER_BLOCK; ++i)
                if (data[i] != 0) return inBlock(b, "padding is not zero");
            for (uint32_t c = 0; c < hb::CHUNKS_PER_BLOCK; ++c) {
                auto h = sha1(data.data() + c * DVD_CHUNK_BYTES, DVD_CHUNK_BYTES);
                if (std::memcmp(h.data(), hashBlock.data() + 20 * c, 20) != 0)
                    return inBlock(b, "chunk " + std::to_string(c) + " hash mismatch");
            }
            // The zero fill after each list of hashes.
            constexpr std::pair<uint32_t, uint32_t> fills[] = {{hb::CHUNK_HASHES_END, hb::BLOCK_HASHES},
                                                               {hb::BLOCK_HASHES_END, hb::GROUP_HASHES},
                                                               {hb::GROUP_HASHES_END, DVD_HASH_BYTES_PER_BLOCK}};
            for (const auto& [from, to] : fills)
                for (size_t i = from; i < to; ++i)
                    if (hashBlock[i] != 0) return inBlock(b, "hash block fill is not zero");
            // The chunks of this block match its hash block; the tree above
            // is checked before the super block counts as good.
            if (sink && !sink(data.data(), static_cast<size_t>(dataHere))) return fail(Fault::write, "");
            blockHash[b] = sha1(hashBlock.data(), hb::CHUNK_HASHES_END);
            hashBlocks[b] = hashBlock;
        }
        Bytes groups;
        for (uint32_t g = 0; g < hb::GROUPS_PER_SUPERBLOCK; ++g) {
            Bytes blockList;
            const uint32_t first = hb::BLOCKS_PER_GROUP * g, end = first + hb::BLOCKS_PER_GROUP;
            for (uint32_t b = first; b < end; ++b)
                blockList.insert(blockList.end(), blockHash[b].begin(), blockHash[b].end());
            for (uint32_t b = first; b < end; ++b)
                if (!hashBlocks[b].empty() &&
                    std::memcmp(hashBlocks[b].data() + hb::BLOCK_HASHES, blockList.data(), blockList.size()) != 0)
                    return inBlock(b, "block hashes mismatch");
            auto gh = sha1(blockList.data(), blockList.size());
            groups.insert(groups.end(), gh.begin(), gh.end());
        }
        for (uint32_t b = 0; b < written; ++b)
            if (std::memcmp(hashBlocks[b].data() + hb::GROUP_HASHES, groups.data(), groups.size()) != 0)
                return inBlock(b, "group hashes mismatch");
        const auto sbHash = sha1(groups.data(), groups.size());
        if (std::memcmp(sbHash.data(), table->data() + 20 * sb, 20) != 0)
            return fail(Fault::data, where + ": hash file entry mismatch");
        remaining -= inThis;
    }
    const auto contentHash = sha1(fullTable.data(), fullTable.size());
    if (std::memcmp(contentHash.data(), hash, 20) != 0) return fail(Fault::data, "content hash mismatch");
    return {};
}

}  // namespace inspect
