// tmd-pki: makes a development PKI directory for the packaging tool: a common
// key, a CA key pair with its self-signed certificate, and a content-publishing
// RSA-2048 key pair with its certificate signed by the CA, in the layout that
// KESSARIVON_SDK_ROOT or ROOT expects.

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "csl/wipe.h"
#include "es/cert.h"
#include "util/rsautil.h"

namespace {

const char* const kUsage =
    "usage: tmd-pki init DIR [--layout sdk|root] [--ca-bits 2048|4096]\n"
    "\n"
    "Writes a development PKI under DIR:\n"
    "  --layout sdk   DIR/X86/bin/pki_data/  (use with KESSARIVON_SDK_ROOT=DIR; default)\n"
    "  --layout root  DIR/usr/etc/pki_data/  (use with ROOT=DIR)\n"
    "Files: common_dpki.aesKey (16-byte common key), ca_dpki.rsa and ca_dpki.cert (CA),\n"
    "cp_dpki.rsa and cp_dpki.cert (content-publishing RSA-2048 key and its certificate).\n"
    "Private key files are created readable by their owner only.\n";

[[noreturn]] void die(const std::string& msg) {
    std::fprintf(stderr, "tmd-pki: %s\n", msg.c_str());
    std::exit(1);
}

struct KeyOwner {
    RsaKeyPair* key = nullptr;
    ~KeyOwner() { RUTIL_FreeRsaKeyPair(key); }
};

// Creates path with mode 0600 (or 0644 for public files) and writes data.
void writeFile(const std::string& path, const void* data, size_t len, bool secret) {
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, secret ? 0600 : 0644);
    if (fd < 0) die("cannot create " + tmp + ": " + std::strerror(errno));
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t w = ::write(fd, p + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            die("cannot write " + path + ": " + std::strerror(errno));
        }
        done += static_cast<size_t>(w);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        die("cannot write " + path + ": " + std::strerror(errno));
    }
}

void saveKey(const std::string& path, RsaKeyPair* key) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&buf, &len);
    if (!mem) die("out of memory");
    const int rc = RUTIL_SaveRsaKeyPair(mem, nullptr, key);
    std::fclose(mem);
    if (rc != 0) {
        csl_wipe(buf, len);
        std::free(buf);
        die("cannot encode key " + path);
    }
    writeFile(path, buf, len, true);
    csl_wipe(buf, len);
    std::free(buf);
}

std::vector<uint8_t> modulus(const RsaKeyPair* key, size_t bytes) {
    uint8_t buf[512];
    int len = 0;
    if (RUTIL_GetPublicKey(key, buf, &len) != 0 || len <= 0 || static_cast<size_t>(len) > bytes)
        die("cannot export a public key");
    std::vector<uint8_t> out(bytes, 0);
    std::memcpy(out.data() + (bytes - static_cast<size_t>(len)), buf, static_cast<size_t>(len));
    return out;
}

std::vector<uint8_t> exponent(const RsaKeyPair* key) {
    uint8_t buf[512];
    int len = 0;
    if (RUTIL_GetExponent(key, buf, &len) != 0 || len <= 0) die("cannot export an exponent");
    return {buf, buf + len};
}

std::vector<uint8_t> makeCert(const char* name, const char* issuer, uint32_t sigType,
                              uint32_t keyType, const RsaKeyPair* subject) {
    const int32_t size = ES_GetCertSize(sigType, keyType);
    if (size < 0) die("bad certificate layout");
    std::vector<uint8_t> cert(static_cast<size_t>(size));
    const auto n = modulus(subject, keyType == ES_PUBKEY_RSA4096 ? 512 : 256);
    const auto e = exponent(subject);
    if (ES_GenerateUnsignedCert(name, issuer, sigType, keyType, n.data(), e.data(),
                                static_cast<int32_t>(e.size()), 0, cert.data()) != 0)
        die(std::string("cannot build the certificate ") + name);
    return cert;
}

void sign(const std::string& keyPath, uint32_t sigType, std::vector<uint8_t>& cert) {
    const int32_t sigLen = sigType == ES_SIG_RSA4096 ? 512 : 256;
    if (utilFillSig(keyPath.c_str(), sigLen, cert.data(), static_cast<int32_t>(cert.size())) != 0)
        die("cannot sign a certificate with " + keyPath);
}

int init(const std::string& dirArg, const std::string& layout, int caBits) {
    std::filesystem::path dir(dirArg);
    dir /= layout == "root" ? "usr/etc/pki_data" : "X86/bin/pki_data";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) die("cannot create " + dir.string() + ": " + ec.message());

    uint8_t commonKey[16];
    if (getrandom(commonKey, sizeof commonKey, 0) != static_cast<ssize_t>(sizeof commonKey))
        die("no random numbers from the operating system");
    writeFile((dir / "common_dpki.aesKey").string(), commonKey, sizeof commonKey, true);
    csl_wipe(commonKey, sizeof commonKey);

    KeyOwner ca, cp;
    ca.key = RUTIL_GenerateRsaKeyPair(caBits, 65537);
    cp.key = RUTIL_GenerateRsaKeyPair(2048, 65537);
    if (!ca.key || !cp.key) die("RSA key generation failed");
    const std::string caKeyPath = (dir / "ca_dpki.rsa").string();
    saveKey(caKeyPath, ca.key);
    saveKey((dir / "cp_dpki.rsa").string(), cp.key);

    const uint32_t caSig = caBits == 4096 ? ES_SIG_RSA4096 : ES_SIG_RSA2048;
    const uint32_t caKeyType = caBits == 4096 ? ES_PUBKEY_RSA4096 : ES_PUBKEY_RSA2048;
    auto caCert = makeCert("CA00000001", "Root", caSig, caKeyType, ca.key);
    sign(caKeyPath, caSig, caCert);
    writeFile((dir / "ca_dpki.cert").string(), caCert.data(), caCert.size(), false);

    auto cpCert = makeCert("CP00000004", "Root-CA00000001", caSig, ES_PUBKEY_RSA2048, cp.key);
    sign(caKeyPath, caSig, cpCert);
    writeFile((dir / "cp_dpki.cert").string(), cpCert.data(), cpCert.size(), false);

    std::printf("development PKI written to %s\n", dir.string().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 1 : 0;
    }
    if (args[0] != "init" || args.size() < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    std::string layout = "sdk";
    int caBits = 2048;
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--layout" && i + 1 < args.size()) {
            layout = args[++i];
            if (layout != "sdk" && layout != "root") die("--layout takes sdk or root");
        } else if (args[i] == "--ca-bits" && i + 1 < args.size()) {
            const std::string v = args[++i];
            if (v != "2048" && v != "4096") die("--ca-bits takes 2048 or 4096");
            caBits = std::stoi(v);
        } else {
            die("unknown argument " + args[i] + " (see --help)");
        }
    }
    return init(args[1], layout, caBits);
}
