// The plain layout: one AES-128-CBC stream per content, IV the content
// index, SHA-1 of the plaintext alongside.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "csl/aes.h"
#include "csl/aes_bulk.h"
#include "csl/sha1.h"
#include "csl/wipe.h"
#include "es/tmd.h"
#include "io/output_file.h"
#include "io/stream_pipeline.h"
#include "output_path.h"

namespace {

// Content is read, encrypted and written in pieces of this size (a whole
// number of blocks, so that no bytes wait inside the engine between pieces).
// Pieces that stay in the caches make reads and writes markedly cheaper than
// megabyte ones.
constexpr uint32_t PLAIN_IO_BYTES = 256u << 10;
constexpr size_t kPiecesInFlight = 8;

// Hashes and encrypts `len` bytes (a multiple of 16) and advances the IV.
bool encryptRun(ContentEncryptContext* ctx, const uint8_t* in, uint32_t len, uint8_t* out) {
    return csl_aes128CbcEncryptSha1(ctx->key, ctx->iv, &ctx->shaContext, in, len, out) == 0;
}

// Reads, hashes and encrypts, and writes the content in pieces, in order:
// the cipher chain runs on one worker while the next pieces are read and
// the finished ones written. Pieces are whole numbers of blocks, so no bytes
// wait inside the engine between them and each is encrypted where it lies;
// the last one, short, gains at most one block of padding, which its piece
// has room for.
int32_t encryptStream(ContentEncryptContext* ctx, FILE* in, tmd_io::OutputFile* out,
                      uint8_t hashOut[20], uint64_t* plainBytes) {
    tmd_io::StreamSteps steps;
    steps.read = [in](tmd_io::StreamPiece& p) {
        p.size = std::fread(p.buffer, 1, PLAIN_IO_BYTES, in);
        // A short read is either the end of the file or an error; a
        // directory, for one, opens but never reaches end of file.
        p.last = p.size < PLAIN_IO_BYTES;
        return p.last && std::ferror(in) ? ES_ERR_FILE_READ : 0;
    };
    steps.process = [ctx, hashOut](tmd_io::StreamPiece& p) {
        int32_t produced = 0;
        if (p.size > 0)
            produced = ES_EncryptContentUpdate(ctx, p.buffer, static_cast<uint32_t>(p.size),
                                               p.buffer, PLAIN_IO_BYTES);
        if (produced >= 0 && p.last) {
            const int32_t tail = ES_EncryptContentFinal(ctx, p.buffer + produced, 16, hashOut);
            produced = tail < 0 ? tail : produced + tail;
        }
        if (produced < 0) return produced;
        p.out = p.buffer;
        p.outSize = static_cast<size_t>(produced);
        return 0;
    };
    steps.write = [out, plainBytes](const tmd_io::StreamPiece& p) {
        if (p.outSize > 0 && !out->write(p.out, p.outSize)) return ES_ERR_FILE_WRITE;
        *plainBytes += p.size;
        return 0;
    };
    // The chain is serial: one worker. The pieces fill one large page,
    // whose pages direct writes pin cheaply.
    tmd_io::StreamShape shape;
    shape.pieceBytes = PLAIN_IO_BYTES;
    shape.depth = kPiecesInFlight;
    shape.workers = 1;
    static_assert(kPiecesInFlight * PLAIN_IO_BYTES == tmd_io::kLargePageBytes);
    const tmd_io::StreamOutcome o = tmd_io::runOrderedStream(shape, steps);
    return o.stage == tmd_io::StreamStage::Memory ? ES_ERR_INVALID : o.result;
}

}  // namespace

void ES_ContentIv(uint16_t index, uint8_t iv[16]) {
    std::memset(iv, 0, 16);
    es_put_be16(iv, index);
}

int32_t ES_EncryptContentReset(ContentEncryptContext* ctx, uint16_t index, const uint8_t* key) {
    if (!ctx || !key) return ES_ERR_INVALID;
    std::memset(ctx, 0, sizeof *ctx);
    ES_ContentIv(index, ctx->iv);
    SHA1Reset(&ctx->shaContext);
    ctx->key = key;
    ctx->pendingLen = 0;
    return 0;
}

int32_t ES_EncryptContentUpdate(ContentEncryptContext* ctx, const uint8_t* in, uint32_t inLen,
                                uint8_t* out, uint32_t outSize) {
    if (!ctx || !ctx->key || !out || (inLen > 0 && !in) || ctx->pendingLen >= 16)
        return ES_ERR_INVALID;
    const uint64_t willWrite = (uint64_t{ctx->pendingLen} + inLen) & ~uint64_t{15};
    if (outSize < 16 || outSize < inLen || outSize < willWrite) return ES_ERR_INVALID;

    uint32_t consumed = 0;
    uint32_t produced = 0;
    if (ctx->pendingLen > 0) {
        const uint32_t need = 16 - ctx->pendingLen;
        if (inLen < need) {
            std::memcpy(ctx->pending + ctx->pendingLen, in, inLen);
            ctx->pendingLen += inLen;
            return 0;
        }
        std::memcpy(ctx->pending + ctx->pendingLen, in, need);
        consumed = need;
        if (!encryptRun(ctx, ctx->pending, 16, out)) return ES_ERR_INVALID;
        ctx->pendingLen = 0;
        produced = 16;
    }
    const uint32_t rest = inLen - consumed;
    if (rest >= 16) {
        const uint32_t n = rest & ~uint32_t{15};
        if (!encryptRun(ctx, in + consumed, n, out + produced)) return ES_ERR_INVALID;
        consumed += n;
        produced += n;
    }
    ctx->pendingLen = inLen - consumed;
    if (ctx->pendingLen > 0) std::memcpy(ctx->pending, in + consumed, ctx->pendingLen);
    return static_cast<int32_t>(produced);
}

int32_t ES_EncryptContentFinal(ContentEncryptContext* ctx, uint8_t* out, uint32_t outSize,
                               uint8_t hashOut[20]) {
    if (!ctx || !ctx->key || !out || !hashOut || ctx->pendingLen >= 16 || outSize < 16)
        return ES_ERR_INVALID;
    int32_t produced = 0;
    if (ctx->pendingLen > 0) {
        SHA1Input(&ctx->shaContext, ctx->pending, static_cast<int32_t>(ctx->pendingLen));
        std::memset(ctx->pending + ctx->pendingLen, 0, 16 - ctx->pendingLen);
        if (aes_SwEncrypt(ctx->key, ctx->iv, ctx->pending, 16, out) != 0) return ES_ERR_INVALID;
        produced = 16;
    }
    SHA1Result(&ctx->shaContext, hashOut);
    csl_wipe_object(*ctx);
    return produced;
}

int32_t ES_EncryptContent(const char* path, uint32_t cid, uint16_t index, const uint8_t key[16],
                          uint8_t hashOut[20]) {
    uint64_t plainBytes = 0;
    return ES_EncryptContentSized(path, cid, index, key, hashOut, &plainBytes);
}

int32_t ES_EncryptContentSized(const char* path, uint32_t cid, uint16_t index,
                               const uint8_t key[16], uint8_t hashOut[20], uint64_t* plainBytes) {
    return ES_EncryptContentSizedIn(nullptr, path, cid, index, key, hashOut, plainBytes);
}

int32_t ES_EncryptContentSizedIn(const char* outDir, const char* path, uint32_t cid,
                                 uint16_t index, const uint8_t key[16], uint8_t hashOut[20],
                                 uint64_t* plainBytes) {
    if (plainBytes) *plainBytes = 0;
    ContentEncryptContext ctx;
    int32_t result = ES_EncryptContentReset(&ctx, index, key);
    if (result != 0) return result;
    if (!path || !hashOut || !plainBytes) return ES_ERR_INVALID;

    tmd_io::FilePtr in(std::fopen(path, "rb"));
    if (!in) return ES_ERR_FILE_OPEN;
    char name[32];
    std::snprintf(name, sizeof name, "%08x.%s", cid, "app");
    tmd_io::OutputFile out;
    if (!out.create(es_outputPath(outDir, name).c_str())) return ES_ERR_FILE_OPEN;

    // Space for the whole output up front: a regular file's ciphertext is
    // its size rounded up to whole blocks.
    struct stat st;
    if (fstat(fileno(in.get()), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve((static_cast<uint64_t>(st.st_size) + 15) & ~uint64_t{15});
    // The ciphertext is written once and not read back here: straight to the
    // device where the file system allows, rather than through page cache
    // memory that would have to be had first (see the disc layout).
    out.preferDirect();
    result = encryptStream(&ctx, in.get(), &out, hashOut, plainBytes);
    in.reset();
    if (result == 0 && !out.commit()) result = ES_ERR_FILE_WRITE;
    csl_wipe_object(ctx);
    return result;
}
