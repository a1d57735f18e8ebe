// Constant-time check: runs every operation that handles a secret with the
// secret marked as undefined memory, so that valgrind's memcheck reports any
// branch or memory index computed from it. Built only with TMD_CT_CHECK and
// run under `valgrind --error-exitcode=1`; outside valgrind the marks do
// nothing and the program merely runs the operations.
//
// Usage: ct_check            all operations on the paths the processor offers
// The caller picks other paths with TMD_CPU_DISABLE (e.g. "clmul" for the
// portable field arithmetic, "all" for the bitsliced AES and every other
// portable path).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "csl/aes.h"
#include "csl/aes_bulk.h"
#include "csl/cpu.h"
#include "csl/ct.h"
#include "csl/ecc.h"
#include "csl/sha1.h"
#include "util/utils.h"

namespace {

template <size_t N>
void fill(uint8_t (&buf)[N], uint8_t seed) {
    for (size_t i = 0; i < N; ++i) buf[i] = static_cast<uint8_t>(seed + 37 * i);
}

// A result code is public; every call here must succeed, so that the whole
// of each operation ran.
void publish(int rc) {
    csl_ct_public(&rc, sizeof rc);
    if (rc != 0) {
        std::fprintf(stderr, "ct_check: an operation failed (%d)\n", rc);
        std::exit(3);
    }
}

void ecc() {
    uint8_t priv[30], nonce[30], digest[20], sig[60], pub[60], peerPriv[30], peerPub[60];
    uint8_t table[960], shared[20];
    fill(priv, 1);
    fill(nonce, 2);
    fill(digest, 3);
    fill(peerPriv, 4);
    priv[0] = nonce[0] = peerPriv[0] = 0;
    publish(CSL_GenerateEccPublicKey(peerPriv, peerPub));
    publish(CSL_PrecomputeFour(peerPub, table));

    csl_ct_secret(priv, sizeof priv);
    csl_ct_secret(nonce, sizeof nonce);
    publish(CSL_ComputeEccSig(digest, priv, sig, nonce));
    publish(CSL_GenerateEccPublicKey(priv, pub));
    uint8_t random[30], pairPriv[30], pairPub[60];
    fill(random, 5);
    csl_ct_secret(random, sizeof random);
    publish(CSL_GenerateEccKeyPair(random, pairPriv, pairPub));
    publish(CSL_GenerateEccSharedKey(priv, peerPub, shared, sizeof shared));
    publish(CSL_GenerateEccSharedKeyPre(priv, table, shared, sizeof shared));
}

void eccSigningHelper() {
    // The helper reads the key from a file and draws the nonce itself; a
    // checking build marks both secret where they enter.
    char path[] = "/tmp/ct_check_keyXXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) std::exit(2);
    uint8_t key[30];
    fill(key, 6);
    key[0] = 0;
    if (write(fd, key, sizeof key) != static_cast<ssize_t>(sizeof key)) std::exit(2);
    close(fd);
    uint8_t object[256];
    fill(object, 7);
    const int rc = utilFillEccSig(path, object, sizeof object);
    unlink(path);
    publish(rc);
}

void aesAndSha1() {
    uint8_t key[32], iv[16], data[64], out[64], digest[20];
    fill(key, 8);
    fill(iv, 9);
    fill(data, 10);
    csl_ct_secret(key, sizeof key);
    csl_ct_secret(data, sizeof data);
    for (const int bits : {128, 192, 256}) {
        // The block primitives, given secret round keys.
        uint32_t rk[60];
        const int rounds = csl_ct_declassify(rijndaelKeySetupEnc(rk, key, bits));
        rijndaelEncrypt(rk, rounds, data, out);
        publish(rijndaelKeySetupDec(rk, key, bits) - rounds);
        rijndaelDecrypt(rk, rounds, data, out);
        for (const uint8_t mode : {AES_MODE_ECB, AES_MODE_CBC}) {
            for (const uint8_t dir : {AES_DIR_ENCRYPT, AES_DIR_DECRYPT}) {
                AesKeySchedule ks;
                AesCipherState cs;
                publish(aesMakeKey(&ks, dir, bits, key) - AES_OK);
                publish(aesCipherInit(&cs, mode, iv) - AES_OK);
                publish((dir == AES_DIR_ENCRYPT ? aesBlockEncrypt(&cs, &ks, data, 512, out)
                                                : aesBlockDecrypt(&cs, &ks, data, 512, out)) -
                        512);
            }
        }
    }
    publish(aes_SwEncrypt(key, iv, data, sizeof data, out));
    publish(aes_SwDecrypt(key, iv, data, sizeof data, out));
    uint8_t expanded[176];
    publish(aes_HwKeyExpand(key, expanded));
    SHA1HashState sha;
    SHA1Reset(&sha);
    uint8_t chain[16];
    std::memcpy(chain, iv, sizeof chain);
    publish(csl_aes128CbcEncryptSha1(key, chain, &sha, data, sizeof data, out));
    SHA1Result(&sha, digest);
    // Five chains side by side: a full group of four and one alone.
    const uint8_t* in[5] = {data, data + 16, data + 32, data + 48, data};
    uint8_t lanesOut[5][32];
    uint8_t* dst[5] = {lanesOut[0], lanesOut[1], lanesOut[2], lanesOut[3], lanesOut[4]};
    const uint8_t* ivs[5] = {iv, iv, iv, iv, iv};
    publish(csl_aes128CbcEncryptLanes(key, 5, in, dst, ivs, 16));

    SHA1Reset(&sha);
    SHA1Input(&sha, data, sizeof data);
    SHA1Result(&sha, digest);
    csl_sha1(data, sizeof data, digest);
}

}  // namespace

int main() {
    ecc();
    eccSigningHelper();
    aesAndSha1();
    std::puts("ct_check: done");
    return 0;
}
