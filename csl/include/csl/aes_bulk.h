// Bulk AES-128-CBC entry points for the content engines. They produce exactly
// the bytes of aes_SwEncrypt (and, for the hashing variant, the state of
// SHA1Input over the same plaintext) but expand the key once per call and use
// the processor's AES and SHA instructions when it has them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "csl/sha1.h"

// Encrypts `length` bytes (a multiple of 16) of AES-128-CBC under `key`,
// chaining from `iv`, which receives the last ciphertext block; the same
// plaintext is absorbed into `sha` as by SHA1Input. `in` may equal `out`.
// 0, or -1 (nothing touched) for a length that is not a multiple of 16 or a
// missing pointer with a non-zero length.
int csl_aes128CbcEncryptSha1(const uint8_t key[16], uint8_t iv[16], SHA1HashState* sha,
                             const uint8_t* in, size_t length, uint8_t* out);

// `lanes` independent AES-128-CBC encryptions of `length` bytes each (a
// multiple of 16): lane l encrypts in[l] into out[l] starting from the
// 16-byte IV at iv[l]. No lane's output may overlap any lane's input or IV;
// the IVs are not updated. 0, or -1 (nothing touched) for a bad length or a
// missing pointer.
int csl_aes128CbcEncryptLanes(const uint8_t key[16], size_t lanes, const uint8_t* const* in,
                              uint8_t* const* out, const uint8_t* const* iv, size_t length);
