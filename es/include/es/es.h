// Result codes, signature and key types, and byte-order helpers shared by the
// title metadata library and its users. Unless a comment says otherwise, the
// library's calls work only on buffers and records owned by their caller,
// return 0 or a byte count on success and one of these codes on failure, and
// never end the process.
#pragma once
#include <cstdint>

#include "csl/loadstore.h"

constexpr int32_t ES_ERR_OK = 0;
constexpr int32_t ES_ERR_VERIFY_FAILED = -1003;
constexpr int32_t ES_ERR_INVALID_PUBKEY_TYPE = -1005;
constexpr int32_t ES_ERR_INVALID = -1007;
constexpr int32_t ES_ERR_FILE_OPEN = -1008;
constexpr int32_t ES_ERR_FILE_READ = -1009;  // reading a content file failed
constexpr int32_t ES_ERR_FILE_WRITE = -1010;
constexpr int32_t ES_ERR_INVALID_SIG_TYPE = -1012;
constexpr int32_t ES_ERR_UNSUPPORTED_SIG_SIZE = -1013;
constexpr int32_t ES_ERR_UNSUPPORTED_CERT = -1014;
constexpr int32_t ES_ERR_NAME_TOO_LONG = -1017;
constexpr int32_t ES_ERR_BAD_INPUT_LENGTH = -1033;
constexpr int32_t ES_ERR_SHORT_INPUT_BUFFER = -1034;
constexpr int32_t ES_ERR_SHORT_OUTPUT_BUFFER = -1035;
// A public key that no signature may be trusted under (ES_CheckPubKey).
constexpr int32_t ES_ERR_UNTRUSTED_PUBKEY = -1036;

// Signature types (first field of every signed object, big-endian).
constexpr uint32_t ES_SIG_RSA4096 = 0x00010000;
constexpr uint32_t ES_SIG_RSA2048 = 0x00010001;
constexpr uint32_t ES_SIG_ECC = 0x00010002;

// Public-key types of certificates.
constexpr uint32_t ES_PUBKEY_RSA4096 = 0;
constexpr uint32_t ES_PUBKEY_RSA2048 = 1;
constexpr uint32_t ES_PUBKEY_ECC = 2;

// The signature header every signed object starts with: the type, the
// signature at ES_SIG_OFFSET, a zero fill, then the issuer text, where the
// signed region starts and runs to the end of the object.
constexpr uint32_t ES_SIG_OFFSET = 0x004;
constexpr uint32_t ES_RSA4096_SIG_BYTES = 512;
constexpr uint32_t ES_RSA2048_SIG_BYTES = 256;
constexpr uint32_t ES_ECC_SIG_BYTES = 60;
constexpr uint32_t ES_ISSUER_BYTES = 64;

struct ES_SigLayout {
    uint32_t sigType;
    uint32_t sigBytes;     // signature length at ES_SIG_OFFSET
    uint32_t signedStart;  // offset of the issuer field: start of the signed region
    uint32_t signerKeyType;  // the public-key type that makes such signatures
};
// The header layout of a signature type, or of the signature type whose
// signature is sigBytes long; null for any other value. The records are the
// library's own, read-only and alive for the whole process.
const ES_SigLayout* ES_GetSigLayout(uint32_t sigType);
const ES_SigLayout* ES_GetSigLayoutBySigBytes(uint32_t sigBytes);

// Content type bits.
constexpr uint16_t ES_CONTENT_TYPE_SHARED = 0x8000;
constexpr uint16_t ES_CONTENT_TYPE_DISC = 0x0002;

constexpr uint8_t ES_TMD_VERSION = 0;

// True unless the environment holds TMD_SYNC=0. When true, every output file
// (the library's content and hash files, and the whole-file writes of the
// utilities) is flushed to disk before it is renamed into place; when false
// the flush is left to the system, for callers that sync once after a batch.
// Read once per process.
bool ES_OutputsDurable();

// Big-endian field access for the stored formats: read or write a 16-, 32-
// or 64-bit number at p (the library-wide helpers, under the names the
// formats' code uses).
inline uint16_t es_get_be16(const uint8_t* p) { return csl_load_be16(p); }
inline uint32_t es_get_be32(const uint8_t* p) { return csl_load_be32(p); }
inline uint64_t es_get_be64(const uint8_t* p) { return csl_load_be64(p); }
inline void es_put_be16(uint8_t* p, uint16_t v) { csl_store_be16(p, v); }
inline void es_put_be32(uint8_t* p, uint32_t v) { csl_store_be32(p, v); }
inline void es_put_be64(uint8_t* p, uint64_t v) { csl_store_be64(p, v); }
