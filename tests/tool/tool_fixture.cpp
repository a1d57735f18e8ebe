#include "tool_fixture.h"

#include <cstdio>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

namespace tt {

namespace {
std::filesystem::path pki;            // the KESSARIVON_SDK_ROOT of the tests
std::unique_ptr<TempDir> ownPki;      // when no shared PKI was made for the run
}

void ToolTest::SetUpTestSuite() {
    if (!pki.empty()) return;
    if (const auto shared = sharedTestKeys(); !shared.empty()) {
        pki = shared / "pki";
        return;
    }
    ownPki = std::make_unique<TempDir>();
    pki = ownPki->path();
    auto r = run({binDir() + "/tmd-pki", "init", pki.string()});
    ASSERT_EQ(r.status, 0) << r.err;
}

void ToolTest::TearDownTestSuite() {}

std::filesystem::path ToolTest::pkiRoot() { return pki; }
std::filesystem::path ToolTest::pkiDir() { return pki / "X86/bin/pki_data"; }
Bytes ToolTest::commonKey() { return readFile(pkiDir() / "common_dpki.aesKey"); }

RunResult ToolTest::tmd(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> argv{binDir() + "/tmd"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> e{"KESSARIVON_SDK_ROOT=" + pkiRoot().string(), "ROOT"};
    e.insert(e.end(), env.begin(), env.end());
    return run(argv, dir_.path(), e);
}

Bytes ToolTest::derivedTitleKey(uint64_t tid) {
    char text[64];
    std::snprintf(text, sizeof text, "%016llx%s", static_cast<unsigned long long>(tid), "qentor");
    Bytes key(16);
    unsigned int len = 0;
    EVP_Digest(text, 22, key.data(), &len, EVP_md5(), nullptr);
    return key;
}

Bytes ToolTest::aesCbc(const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(data.size() + 16);
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

std::filesystem::path ToolTest::certPublicKeyPem(const Bytes& cert, const std::filesystem::path& out) {
    const size_t modOff = cert.size() == 1024 ? 712 : 456;
    const size_t expOff = cert.size() == 1024 ? 968 : 712;
    BIGNUM* n = BN_bin2bn(cert.data() + modOff, 256, nullptr);
    BIGNUM* e = BN_bin2bn(cert.data() + expOff, 4, nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    FILE* f = std::fopen(out.c_str(), "w");
    PEM_write_PUBKEY(f, key);
    std::fclose(f);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    return out;
}

}  // namespace tt
