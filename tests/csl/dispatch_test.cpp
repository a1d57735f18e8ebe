// The hardware code paths against the portable ones: every operation that
// can take either path is run on both over random inputs and lengths and
// must give the same bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "csl/aes.h"
#include "csl/aes_bulk.h"
#include "csl/cpu.h"
#include "csl/sha1.h"
#include "es/disk_layout.h"
#include "es/tmd.h"
#include "test_support.h"

namespace {

using tt::Bytes;

// Restores the feature set the process started with.
class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = csl_cpu_features(); }
    void TearDown() override { csl_cpu_set_mask(saved_); }

    // f() once on the portable path and once with every detected feature.
    template <class F>
    void expectSame(F f, const char* what) {
        csl_cpu_set_mask(0);
        const Bytes portable = f();
        csl_cpu_set_mask(~0u);
        const Bytes hardware = f();
        ASSERT_EQ(tt::toHex(portable), tt::toHex(hardware)) << what;
    }

    std::mt19937_64 rng{20261209};
    size_t pick(size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); }

private:
    uint32_t saved_ = 0;
};

TEST_F(DispatchTest, EnvironmentSwitchIsHonouredBeforeAnyMask) {
    // The portable CTest run sets TMD_CPU_DISABLE=all; the probe must have
    // taken it into account.
    const char* env = std::getenv("TMD_CPU_DISABLE");
    if (env && std::strcmp(env, "all") == 0) {
        EXPECT_EQ(csl_cpu_features(), 0u);
    } else if (!env) {
        EXPECT_EQ(csl_cpu_features(), csl_cpu_detected());
    }
    csl_cpu_set_mask(CSL_CPU_SHA);
    EXPECT_EQ(csl_cpu_features(), csl_cpu_detected() & CSL_CPU_SHA);
}

// The state after every step, so that a difference in the block or the
// counts shows too, not only in the digest.
Bytes stateBytes(const SHA1HashState& s) {
    const auto* p = reinterpret_cast<const uint8_t*>(&s);
    return Bytes(p, p + sizeof s);
}

TEST_F(DispatchTest, Sha1OneShotAndStreamed) {
    for (int trial = 0; trial < 60; ++trial) {
        const size_t len = trial < 20 ? static_cast<size_t>(trial) * 13 : pick(0, 5000);
        const Bytes data = tt::randomBytes(rng, len);
        const bool noPad = trial % 7 == 3;
        std::vector<size_t> cuts;
        for (size_t pos = 0; pos < len;) {
            const size_t n = pick(0, 300);
            cuts.push_back(n);
            pos += n;
        }
        expectSame(
            [&] {
                Bytes out(20);
                csl_sha1(data.data(), data.size(), out.data());
                SHA1HashState s{};
                SHA1Reset(&s);
                if (noPad) SHA1SetNoPadding(&s);
                size_t pos = 0;
                for (size_t n : cuts) {
                    n = std::min(n, len - pos);
                    SHA1Input(&s, data.data() + pos, static_cast<int32_t>(n));
                    pos += n;
                    const Bytes st = stateBytes(s);
                    out.insert(out.end(), st.begin(), st.end());
                }
                uint8_t d[20];
                SHA1Result(&s, d);
                out.insert(out.end(), d, d + 20);
                return out;
            },
            "sha1");
    }
}

TEST_F(DispatchTest, AesEcbAndCbcAllKeySizes) {
    for (int keyBits : {128, 192, 256}) {
        for (uint8_t mode : {AES_MODE_ECB, AES_MODE_CBC}) {
            for (int trial = 0; trial < 12; ++trial) {
                const Bytes key = tt::randomBytes(rng, static_cast<size_t>(keyBits / 8));
                const Bytes iv = tt::randomBytes(rng, 16);
                const size_t blocks = trial < 10 ? static_cast<size_t>(trial) : pick(10, 300);
                const Bytes data = tt::randomBytes(rng, blocks * 16);
                for (bool inPlace : {false, true}) {
                    expectSame(
                        [&] {
                            Bytes out;
                            for (uint8_t dir : {AES_DIR_ENCRYPT, AES_DIR_DECRYPT}) {
                                AesKeySchedule ks;
                                AesCipherState cs;
                                EXPECT_EQ(aesMakeKey(&ks, dir, keyBits, key.data()), AES_OK);
                                EXPECT_EQ(aesCipherInit(&cs, mode, iv.data()), AES_OK);
                                Bytes buf = data;
                                Bytes res(data.size() + 1, 0xA5);
                                uint8_t* dst = inPlace ? buf.data() : res.data();
                                const int bits = static_cast<int>(data.size() * 8);
                                if (dir == AES_DIR_ENCRYPT)
                                    aesBlockEncrypt(&cs, &ks, buf.data(), bits, dst);
                                else
                                    aesBlockDecrypt(&cs, &ks, buf.data(), bits, dst);
                                const Bytes& r = inPlace ? buf : res;
                                out.insert(out.end(), r.begin(), r.end());
                                out.insert(out.end(), cs.chainBlock, cs.chainBlock + 16);
                            }
                            return out;
                        },
                        "aes");
                }
            }
        }
    }
}

TEST_F(DispatchTest, CbcWithHashMatchesSeparateCalls) {
    for (int trial = 0; trial < 40; ++trial) {
        const Bytes key = tt::randomBytes(rng, 16);
        const Bytes iv = tt::randomBytes(rng, 16);
        // Bytes already waiting in the hash state take the unstitched path.
        const Bytes prefix = tt::randomBytes(rng, trial % 4 == 1 ? pick(1, 63) : 0);
        const size_t len = 16 * (trial < 12 ? static_cast<size_t>(trial) : pick(0, 700));
        const Bytes data = tt::randomBytes(rng, len);
        const bool inPlace = trial % 2 == 0;

        SHA1HashState want{};
        SHA1Reset(&want);
        SHA1Input(&want, prefix.data(), static_cast<int32_t>(prefix.size()));
        SHA1Input(&want, data.data(), static_cast<int32_t>(len));
        Bytes wantCipher(len);
        ASSERT_EQ(aes_SwEncrypt(key.data(), iv.data(), data.data(), static_cast<int>(len),
                                wantCipher.data()),
                  0);

        expectSame(
            [&] {
                SHA1HashState s{};
                SHA1Reset(&s);
                SHA1Input(&s, prefix.data(), static_cast<int32_t>(prefix.size()));
                uint8_t chain[16];
                std::memcpy(chain, iv.data(), 16);
                Bytes buf = data;
                Bytes out(len);
                uint8_t* dst = inPlace ? buf.data() : out.data();
                EXPECT_EQ(csl_aes128CbcEncryptSha1(key.data(), chain, &s, buf.data(), len, dst), 0);
                const Bytes cipher(dst, dst + len);
                EXPECT_EQ(tt::toHex(cipher), tt::toHex(wantCipher));
                if (len > 0) {
                    EXPECT_EQ(0, std::memcmp(chain, cipher.data() + len - 16, 16));
                }
                EXPECT_EQ(tt::toHex(stateBytes(s)), tt::toHex(stateBytes(want)));
                return stateBytes(s);
            },
            "cbc+sha1");
    }
    uint8_t chain[16] = {};
    SHA1HashState s;
    SHA1Reset(&s);
    uint8_t buf[32] = {};
    EXPECT_EQ(csl_aes128CbcEncryptSha1(buf, chain, &s, buf, 20, buf), -1);
}

TEST_F(DispatchTest, LanesMatchOneChainAtATime) {
    // Lane counts around the groups of eight that both vector paths take;
    // every path the processor offers.
    const uint32_t masks[] = {~0u, ~uint32_t{CSL_CPU_VAES}, 0u};
    for (size_t lanes : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{17}, size_t{64}}) {
        const Bytes key = tt::randomBytes(rng, 16);
        const size_t len = 16 * pick(1, 70);
        const Bytes data = tt::randomBytes(rng, lanes * len);
        const Bytes ivs = tt::randomBytes(rng, lanes * 16);
        Bytes want(lanes * len);
        for (size_t l = 0; l < lanes; ++l)
            ASSERT_EQ(aes_SwEncrypt(key.data(), &ivs[l * 16], &data[l * len], static_cast<int>(len),
                                    &want[l * len]),
                      0);
        for (uint32_t mask : masks) {
            csl_cpu_set_mask(mask);
            Bytes out(lanes * len);
            std::vector<const uint8_t*> in(lanes), iv(lanes);
            std::vector<uint8_t*> o(lanes);
            for (size_t l = 0; l < lanes; ++l) {
                in[l] = &data[l * len];
                iv[l] = &ivs[l * 16];
                o[l] = &out[l * len];
            }
            EXPECT_EQ(csl_aes128CbcEncryptLanes(key.data(), lanes, in.data(), o.data(), iv.data(),
                                                len),
                      0);
            EXPECT_EQ(tt::toHex(out), tt::toHex(want))
                << lanes << " lanes, features " << csl_cpu_features();
        }
    }
}

TEST_F(DispatchTest, Sha1ManyMatchesOneMessageAtATime) {
    // Lengths around the padding boundaries (55/56/64 bytes into a block)
    // and those of the disc hash tree; counts that leave the sixteen lanes
    // of the widest path, the pairs of the next and single messages a share
    // each. Every path the processor offers: all of them, without AVX-512
    // (pairs on the SHA instructions), portable.
    const size_t lengths[] = {0, 1, 55, 56, 63, 64, 65, 119, 120, 160, 620, 1024, 3000};
    const uint32_t masks[] = {~0u, ~uint32_t{CSL_CPU_AVX512}, 0u};
    for (size_t len : lengths) {
        for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{5}, size_t{16}, size_t{19},
                             size_t{35}}) {
            const Bytes data = tt::randomBytes(rng, len * count);
            Bytes want(20 * count);
            for (size_t i = 0; i < count; ++i)
                csl_sha1(data.data() + i * len, len, want.data() + 20 * i);
            for (uint32_t mask : masks) {
                csl_cpu_set_mask(mask);
                Bytes out(20 * count);
                csl_sha1Many(data.data(), len, count, out.data());
                EXPECT_EQ(tt::toHex(out), tt::toHex(want))
                    << len << " x " << count << ", features " << csl_cpu_features();
            }
        }
    }
}

TEST_F(DispatchTest, ContentEngineInRandomPieces) {
    const Bytes key = tt::randomBytes(rng, 16);
    for (int trial = 0; trial < 12; ++trial) {
        const size_t len = trial < 4 ? static_cast<size_t>(trial) * 37 : pick(0, 200000);
        const Bytes data = tt::randomBytes(rng, len);
        const uint16_t index = static_cast<uint16_t>(pick(0, 65535));
        std::vector<size_t> cuts;
        for (size_t pos = 0; pos < len;) {
            const size_t n = pick(1, 40000);
            cuts.push_back(n);
            pos += n;
        }
        expectSame(
            [&] {
                ContentEncryptContext ctx;
                EXPECT_EQ(ES_EncryptContentReset(&ctx, index, key.data()), 0);
                Bytes out;
                Bytes buf(40016);
                size_t pos = 0;
                for (size_t n : cuts) {
                    n = std::min(n, len - pos);
                    const int32_t p = ES_EncryptContentUpdate(&ctx, data.data() + pos,
                                                              static_cast<uint32_t>(n), buf.data(),
                                                              static_cast<uint32_t>(buf.size()));
                    EXPECT_GE(p, 0);
                    out.insert(out.end(), buf.begin(), buf.begin() + std::max(p, 0));
                    pos += n;
                }
                uint8_t hash[20];
                const int32_t p = ES_EncryptContentFinal(&ctx, buf.data(), 16, hash);
                EXPECT_GE(p, 0);
                out.insert(out.end(), buf.begin(), buf.begin() + std::max(p, 0));
                out.insert(out.end(), hash, hash + 20);
                return out;
            },
            "content engine");
    }
}

TEST_F(DispatchTest, SuperBlockGeneration) {
    const Bytes key = tt::randomBytes(rng, 16);
    const Bytes full = tt::randomBytes(rng, DVD_DATA_BYTES_PER_SUPERBLOCK);
    for (uint32_t numRead : {0u, 1u, DVD_DATA_BYTES_PER_BLOCK, 9u * DVD_DATA_BYTES_PER_BLOCK + 5u,
                             static_cast<uint32_t>(pick(1, DVD_DATA_BYTES_PER_SUPERBLOCK - 1)),
                             DVD_DATA_BYTES_PER_SUPERBLOCK}) {
        expectSame(
            [&] {
                Bytes sb = full;
                Bytes out(DVD_BYTES_PER_SUPERBLOCK);
                uint8_t slot[20] = {};
                uint32_t written = 0;
                EXPECT_EQ(generateSuperBlock(sb.data(), numRead, slot, key.data(), out.data(),
                                             &written),
                          0);
                out.resize(written);
                out.insert(out.end(), slot, slot + 20);
                return out;
            },
            "super block");
    }
}

}  // namespace
