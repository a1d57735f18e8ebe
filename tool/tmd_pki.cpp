// tmd-pki: key management for the packaging tool. Makes a whole development
// PKI directory in one step (init), or single pieces: RSA key files, ECC key
// pairs, certificates of every layout signed by their issuer, PEM conversion
// and common keys. Private keys are created readable by their owner only.

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "csl/ecc.h"
#include "csl/wipe.h"
#include "es/cert.h"
#include "util/rsautil.h"
#include "util/utils.h"

namespace {

const char* const kUsage =
    "usage: tmd-pki COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  init DIR [--layout sdk|root] [--ca-bits 2048|4096]\n"
    "      A development PKI in DIR/X86/bin/pki_data/ (sdk, for KESSARIVON_SDK_ROOT=DIR;\n"
    "      the default) or DIR/usr/etc/pki_data/ (root, for ROOT=DIR): common_dpki.aesKey,\n"
    "      ca_dpki.rsa + ca_dpki.cert (self-signed CA), cp_dpki.rsa + cp_dpki.cert\n"
    "      (content-publishing RSA-2048 key, certificate signed by the CA).\n"
    "  common-key OUT\n"
    "      16 random bytes from the operating system.\n"
    "  rsa-key OUT [--bits 2048|4096] [--label WORD]\n"
    "      A new RSA key pair (exponent 65537) in the RSA key file format.\n"
    "  convert-pem IN.pem OUT\n"
    "      A PEM RSA private key in the RSA key file format.\n"
    "  ecc-key PRIVATE PUBLIC\n"
    "      A new sect233r1 key pair: 30-byte private key, 60-byte public key.\n"
    "  cert OUT --name NAME --issuer ISSUER (--rsa-key FILE | --ecc-public FILE)\n"
    "       (--sign-rsa FILE | --sign-ecc FILE | --self) [--key-id N]\n"
    "      A certificate for the subject key, signed by the issuer's key:\n"
    "        RSA-4096 signer: 1,280 bytes (RSA-4096 subject) or 1,024 (RSA-2048 subject)\n"
    "        RSA-2048 signer: 768 bytes (RSA-2048 subject) or 576 (ECC subject)\n"
    "        ECC signer:      384 bytes (ECC subject, a device certificate)\n"
    "      --self signs an RSA certificate with its own subject key.\n"
    "  --help\n"
    "      This text.\n";

[[noreturn]] void die(const std::string& msg) {
    std::fprintf(stderr, "tmd-pki: %s\n", msg.c_str());
    std::exit(1);
}

using Bytes = std::vector<uint8_t>;

struct KeyOwner {
    RsaKeyPair* key = nullptr;
    KeyOwner() = default;
    explicit KeyOwner(RsaKeyPair* k) : key(k) {}
    KeyOwner(const KeyOwner&) = delete;
    KeyOwner& operator=(const KeyOwner&) = delete;
    ~KeyOwner() { RUTIL_FreeRsaKeyPair(key); }
};

// Writes a file through a temporary and a rename, mode 0600 for secrets.
void writeFile(const std::string& path, const void* data, size_t len, bool secret) {
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, secret ? 0600 : 0644);
    if (fd < 0) die("cannot create " + tmp + ": " + std::strerror(errno));
    if (secret) ::fchmod(fd, 0600);
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

Bytes readFile(const std::string& path, size_t maxBytes) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) die("cannot read " + path + ": not a regular file");
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > maxBytes) die("cannot read " + path + ": larger than " + std::to_string(maxBytes) + " bytes");
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) die("cannot read " + path + ": " + std::strerror(errno));
    // Private keys are read here: straight into the result, not via stdio's buffer.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    Bytes b(size);
    if (size && std::fread(b.data(), 1, size, f.get()) != size) die("cannot read " + path);
    return b;
}

void randomBytes(uint8_t* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = getrandom(p + done, n - done, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) die("no random numbers from the operating system");
        done += static_cast<size_t>(r);
    }
}

void saveKey(const std::string& path, RsaKeyPair* key, const char* label) {
    // A fixed buffer that the key text never outgrows (a 4096-bit key takes
    // about 3 KB): a growing stream would leave copies behind in freed memory.
    std::vector<char> buf(64 * 1024);
    FILE* mem = fmemopen(buf.data(), buf.size(), "w");
    if (!mem) die("out of memory");
    std::setvbuf(mem, nullptr, _IONBF, 0);
    const int rc = RUTIL_SaveRsaKeyPair(mem, label, key);
    const long len = std::ftell(mem);
    std::fclose(mem);
    if (rc != 0 || len <= 0) {
        csl_wipe(buf.data(), buf.size());
        die("cannot encode the key for " + path);
    }
    writeFile(path, buf.data(), static_cast<size_t>(len), true);
    csl_wipe(buf.data(), buf.size());
}

RsaKeyPair* loadKey(const std::string& path) {
    // The key text passes through this buffer, not stdio's, and is wiped
    // when the file has been read.
    static char ioBuffer[BUFSIZ];
    struct Wipe {
        ~Wipe() { csl_wipe(ioBuffer, sizeof ioBuffer); }
    } wipeAfter;
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) die("cannot open the RSA key file " + path + ": " + std::strerror(errno));
    std::setvbuf(f.get(), ioBuffer, _IOFBF, sizeof ioBuffer);
    RsaKeyPair* k = RUTIL_ReadRsaKeyPair(f.get(), nullptr, 0);
    if (!k) die(path + " is not a valid RSA key file");
    return k;
}

int modulusBytes(const RsaKeyPair* key) {
    uint8_t buf[4096];
    int len = 0;
    if (RUTIL_GetPublicKey(key, buf, &len) != 0 || len <= 0) die("cannot export a public key");
    return len;
}

Bytes modulus(const RsaKeyPair* key, size_t bytes) {
    uint8_t buf[4096];
    int len = 0;
    if (RUTIL_GetPublicKey(key, buf, &len) != 0 || len <= 0 || static_cast<size_t>(len) > bytes)
        die("cannot export a public key");
    Bytes out(bytes, 0);
    std::memcpy(out.data() + (bytes - static_cast<size_t>(len)), buf, static_cast<size_t>(len));
    return out;
}

Bytes exponent(const RsaKeyPair* key) {
    uint8_t buf[4096];
    int len = 0;
    if (RUTIL_GetExponent(key, buf, &len) != 0 || len <= 0) die("cannot export an exponent");
    return {buf, buf + len};
}

Bytes buildCert(const std::string& name, const std::string& issuer, uint32_t sigType, uint32_t keyType,
                const Bytes& publicKey, const Bytes& exp, uint32_t keyId) {
    const int32_t size = ES_GetCertSize(sigType, keyType);
    if (size < 0) die("a signer of this kind cannot certify a key of this kind");
    Bytes cert(static_cast<size_t>(size));
    const int32_t rc = ES_GenerateUnsignedCert(name.c_str(), issuer.c_str(), sigType, keyType, publicKey.data(),
                                               exp.empty() ? nullptr : exp.data(),
                                               static_cast<int32_t>(exp.size()), keyId, cert.data());
    if (rc == ES_ERR_NAME_TOO_LONG) die("certificate name and issuer are limited to 63 characters");
    if (rc != 0) die("cannot build the certificate " + name);
    return cert;
}

Bytes rsaCert(const std::string& name, const std::string& issuer, uint32_t sigType, const RsaKeyPair* subject,
              uint32_t keyId) {
    const int bytes = modulusBytes(subject);
    if (bytes != 256 && bytes != 512) die("certificates hold RSA-2048 or RSA-4096 keys only");
    const uint32_t keyType = bytes == 512 ? ES_PUBKEY_RSA4096 : ES_PUBKEY_RSA2048;
    return buildCert(name, issuer, sigType, keyType, modulus(subject, static_cast<size_t>(bytes)),
                     exponent(subject), keyId);
}

void signRsa(const std::string& keyPath, uint32_t sigType, Bytes& cert) {
    const int32_t sigLen = sigType == ES_SIG_RSA4096 ? 512 : 256;
    if (utilFillSig(keyPath.c_str(), sigLen, cert.data(), static_cast<int32_t>(cert.size())) != 0)
        die("cannot sign the certificate with " + keyPath);
}

int cmdInit(const std::vector<std::string>& args) {
    if (args.empty()) die("init needs a directory (see --help)");
    std::string layout = "sdk";
    int caBits = 2048;
    for (size_t i = 1; i < args.size(); ++i) {
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
    std::filesystem::path dir(args[0]);
    dir /= layout == "root" ? "usr/etc/pki_data" : "X86/bin/pki_data";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) die("cannot create " + dir.string() + ": " + ec.message());

    uint8_t commonKey[16];
    randomBytes(commonKey, sizeof commonKey);
    writeFile((dir / "common_dpki.aesKey").string(), commonKey, sizeof commonKey, true);
    csl_wipe(commonKey, sizeof commonKey);

    KeyOwner ca(RUTIL_GenerateRsaKeyPair(caBits, 65537));
    KeyOwner cp(RUTIL_GenerateRsaKeyPair(2048, 65537));
    if (!ca.key || !cp.key) die("RSA key generation failed");
    const std::string caKeyPath = (dir / "ca_dpki.rsa").string();
    saveKey(caKeyPath, ca.key, nullptr);
    saveKey((dir / "cp_dpki.rsa").string(), cp.key, nullptr);

    const uint32_t caSig = caBits == 4096 ? ES_SIG_RSA4096 : ES_SIG_RSA2048;
    Bytes caCert = rsaCert("CA00000001", "Root", caSig, ca.key, 0);
    signRsa(caKeyPath, caSig, caCert);
    writeFile((dir / "ca_dpki.cert").string(), caCert.data(), caCert.size(), false);

    Bytes cpCert = rsaCert("CP00000004", "Root-CA00000001", caSig, cp.key, 0);
    signRsa(caKeyPath, caSig, cpCert);
    writeFile((dir / "cp_dpki.cert").string(), cpCert.data(), cpCert.size(), false);

    std::printf("development PKI written to %s\n", dir.string().c_str());
    return 0;
}

int cmdCommonKey(const std::vector<std::string>& args) {
    if (args.size() != 1) die("common-key takes one output file (see --help)");
    uint8_t key[16];
    randomBytes(key, sizeof key);
    writeFile(args[0], key, sizeof key, true);
    csl_wipe(key, sizeof key);
    return 0;
}

int cmdRsaKey(const std::vector<std::string>& args) {
    if (args.empty()) die("rsa-key needs an output file (see --help)");
    int bits = 2048;
    std::string label;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--bits" && i + 1 < args.size()) {
            const std::string v = args[++i];
            if (v != "2048" && v != "4096") die("--bits takes 2048 or 4096");
            bits = std::stoi(v);
        } else if (args[i] == "--label" && i + 1 < args.size()) {
            label = args[++i];
            if (label.empty() || label.find_first_of(" \t\r\n") != std::string::npos)
                die("--label takes one word");
        } else {
            die("unknown argument " + args[i] + " (see --help)");
        }
    }
    KeyOwner k(RUTIL_GenerateRsaKeyPair(bits, 65537));
    if (!k.key) die("RSA key generation failed");
    saveKey(args[0], k.key, label.empty() ? nullptr : label.c_str());
    return 0;
}

int cmdConvertPem(const std::vector<std::string>& args) {
    if (args.size() != 2) die("convert-pem takes an input PEM file and an output file (see --help)");
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(args[0].c_str(), "rb"), std::fclose);
    if (!in) die("cannot open " + args[0] + ": " + std::strerror(errno));
    char* buf = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&buf, &len);
    if (!mem) die("out of memory");
    const int rc = RUTIL_ConvertPem(in.get(), mem);
    std::fclose(mem);
    if (rc != 0) {
        csl_wipe(buf, len);
        std::free(buf);
        die(args[0] + " holds no RSA private key");
    }
    writeFile(args[1], buf, len, true);
    csl_wipe(buf, len);
    std::free(buf);
    return 0;
}

int cmdEccKey(const std::vector<std::string>& args) {
    if (args.size() != 2) die("ecc-key takes a private-key and a public-key output file (see --help)");
    uint8_t random[30], priv[30], pub[60];
    // A draw whose low 233 bits give no valid key (0 or a multiple of the
    // group order) is drawn again.
    int rc = 5;
    for (int attempt = 0; attempt < 8 && rc != 0; ++attempt) {
        randomBytes(random, sizeof random);
        rc = CSL_GenerateEccKeyPair(random, priv, pub);
    }
    csl_wipe(random, sizeof random);
    if (rc != 0) {
        csl_wipe(priv, sizeof priv);
        die("ECC key generation failed");
    }
    writeFile(args[0], priv, sizeof priv, true);
    csl_wipe(priv, sizeof priv);
    writeFile(args[1], pub, sizeof pub, false);
    return 0;
}

int cmdCert(const std::vector<std::string>& args) {
    if (args.empty()) die("cert needs an output file (see --help)");
    std::map<std::string, std::string> opt;
    bool self = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--self") {
            self = true;
        } else if ((a == "--name" || a == "--issuer" || a == "--rsa-key" || a == "--ecc-public" ||
                    a == "--sign-rsa" || a == "--sign-ecc" || a == "--key-id") &&
                   i + 1 < args.size()) {
            opt[a] = args[++i];
        } else {
            die("unknown or incomplete argument " + a + " (see --help)");
        }
    }
    if (!opt.count("--name") || !opt.count("--issuer")) die("cert needs --name and --issuer");
    if (opt.count("--rsa-key") == opt.count("--ecc-public")) die("cert needs one of --rsa-key and --ecc-public");
    if (self + opt.count("--sign-rsa") + opt.count("--sign-ecc") != 1)
        die("cert needs one of --sign-rsa, --sign-ecc and --self");
    if (self && !opt.count("--rsa-key")) die("--self signs RSA certificates only");
    uint32_t keyId = 0;
    if (opt.count("--key-id")) {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(opt["--key-id"].c_str(), &end, 0);
        if (!end || *end || v > 0xFFFFFFFFULL) die("--key-id takes a 32-bit number");
        keyId = static_cast<uint32_t>(v);
    }

    // The signer decides the signature type.
    const std::string signer = self ? opt["--rsa-key"] : opt.count("--sign-rsa") ? opt["--sign-rsa"] : opt["--sign-ecc"];
    uint32_t sigType = ES_SIG_ECC;
    if (!opt.count("--sign-ecc")) {
        KeyOwner k(loadKey(signer));
        const int bytes = modulusBytes(k.key);
        if (bytes != 256 && bytes != 512) die("signing keys are RSA-2048 or RSA-4096");
        sigType = bytes == 512 ? ES_SIG_RSA4096 : ES_SIG_RSA2048;
    }

    Bytes cert;
    if (opt.count("--rsa-key")) {
        KeyOwner subject(loadKey(opt["--rsa-key"]));
        cert = rsaCert(opt["--name"], opt["--issuer"], sigType, subject.key, keyId);
    } else {
        const Bytes pub = readFile(opt["--ecc-public"], 60);
        if (pub.size() != 60) die(opt["--ecc-public"] + " is not a 60-byte public key");
        cert = buildCert(opt["--name"], opt["--issuer"], sigType, ES_PUBKEY_ECC, pub, {}, keyId);
    }
    if (sigType == ES_SIG_ECC) {
        Bytes privateKey = readFile(signer, 4096);
        const bool shortKey = privateKey.size() < 30;
        csl_wipe(privateKey.data(), privateKey.size());
        if (shortKey) die(signer + " is not a 30-byte private key");
        if (utilFillEccSig(signer.c_str(), cert.data(), static_cast<int32_t>(cert.size())) != 0)
            die("cannot sign the certificate with " + signer);
    } else {
        signRsa(signer, sigType, cert);
    }
    writeFile(args[0], cert.data(), cert.size(), false);
    std::printf("%zu-byte certificate written to %s\n", cert.size(), args[0].c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::string cmd = args[0];
    args.erase(args.begin());
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "init") return cmdInit(args);
    if (cmd == "common-key") return cmdCommonKey(args);
    if (cmd == "rsa-key") return cmdRsaKey(args);
    if (cmd == "convert-pem") return cmdConvertPem(args);
    if (cmd == "ecc-key") return cmdEccKey(args);
    if (cmd == "cert") return cmdCert(args);
    die("unknown command " + cmd + " (see --help)");
}
