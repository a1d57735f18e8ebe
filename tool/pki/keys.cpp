// Keys: RSA key files (made, read, converted from and to PEM), ECC key
// pairs and common keys.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/pem.h>
#include <openssl/ui.h>

#include "csl/convecc.h"
#include "csl/ecc.h"
#include "csl/elliptic_math.h"
#include "io/output_file.h"
#include "es/cert.h"
#include "tool/common/inspect.h"
#include "tool/pki/pki.h"

namespace pki {

// The key file text of `key`, in a buffer wiped when it goes.
Secret encodeKey(RsaKeyPair* key, const char* label) {
    // A fixed buffer that the key text never outgrows (a 4096-bit key takes
    // about 3 KB): a growing stream would leave copies behind in freed memory.
    Secret text(64 * 1024);
    FILE* mem = fmemopen(text.bytes.data(), text.bytes.size(), "w");
    if (!mem) die("out of memory");
    std::setvbuf(mem, nullptr, _IONBF, 0);
    const int rc = RUTIL_SaveRsaKeyPair(mem, label, key);
    const long len = std::ftell(mem);
    std::fclose(mem);
    if (rc != 0 || len <= 0) die("cannot encode an RSA key");
    csl_wipe(text.bytes.data() + len, text.bytes.size() - static_cast<size_t>(len));
    text.bytes.resize(static_cast<size_t>(len));
    return text;
}

RsaKeyPair* loadKey(const std::string& path) {
    // The key text passes through this buffer, not stdio's, and is wiped
    // when the file has been read.
    static char ioBuffer[BUFSIZ];
    struct Wipe {
        ~Wipe() { csl_wipe(ioBuffer, sizeof ioBuffer); }
    } wipeAfter;
    std::string why;
    tmd_io::FilePtr f = openRegularFile(path, why);
    if (!f) die("cannot open the RSA key file " + path + ": " + why);
    std::setvbuf(f.get(), ioBuffer, _IOFBF, sizeof ioBuffer);
    RsaKeyPair* k = RUTIL_ReadRsaKeyPair(f.get(), nullptr, 0);
    if (!k) die(path + " is not a valid RSA key file");
    return k;
}

// Where the passphrase of an encrypted PEM comes from, and what happened
// when the reader asked for it.
struct Passphrase {
    const std::string* source = nullptr;  // --passin, if given
    std::string pemPath;
    Secret text;
    bool known = false;  // text holds the passphrase
    bool asked = false;  // the PEM is encrypted
};

// The first line of `fd`, read a byte at a time so nothing after it is taken.
Secret firstLine(int fd, const std::string& what) {
    Secret line;
    line.bytes.reserve(1025);  // never moved: no copy left behind
    for (;;) {
        uint8_t c;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) die("cannot read the passphrase from " + what + ": " + std::strerror(errno));
        if (n == 0 || c == '\n') break;
        if (line.bytes.size() >= 1024) die("the passphrase from " + what + " is too long");
        line.bytes.push_back(c);
    }
    if (!line.bytes.empty() && line.bytes.back() == '\r') line.bytes.pop_back();
    return line;
}

// pass:TEXT, env:VAR, file:PATH, fd:N or stdin.
Secret passphraseFrom(const std::string& source, const std::string& option = kPassin.name) {
    const std::string::size_type colon = source.find(':');
    const std::string kind = source.substr(0, colon);
    Secret s;
    if (kind == "pass" && colon != std::string::npos) {
        s.bytes.assign(source.begin() + static_cast<std::ptrdiff_t>(colon) + 1, source.end());
        return s;
    }
    const std::string rest = colon == std::string::npos ? "" : source.substr(colon + 1);
    if (kind == "env" && !rest.empty()) {
        const char* v = std::getenv(rest.c_str());
        if (!v) die(option + " env:" + rest + ": the variable is not set");
        s.bytes.assign(v, v + std::strlen(v));
    } else if (kind == "file" && !rest.empty()) {
        const int fd = open(rest.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) die("cannot open " + rest + ": " + std::strerror(errno));
        s = firstLine(fd, rest);
        close(fd);
    } else if (kind == "fd" && colon != std::string::npos) {
        const auto fd = parseNumber(rest, 0x7FFFFFFF);
        if (!fd) die(option + " fd: takes a descriptor number");
        s = firstLine(static_cast<int>(*fd), "descriptor " + rest);
    } else if (source == "stdin") {
        s = firstLine(STDIN_FILENO, "standard input");
    } else {
        die(option + " takes pass:TEXT, env:VAR, file:PATH, fd:N or stdin");
    }
    return s;
}

extern "C" int pemPassphrase(char* buf, int size, int /*rwflag*/, void* arg) {
    auto* p = static_cast<Passphrase*>(arg);
    p->asked = true;
    if (!p->known) {
        if (p->source) {
            p->text = passphraseFrom(*p->source);
        } else {
            // Asked for once, and only of someone at a terminal: a run fed
            // from elsewhere must not wait for an answer.
            if (!isatty(STDIN_FILENO)) return -1;
            Secret typed(1024);
            const std::string prompt = "passphrase for " + p->pemPath + ": ";
            if (EVP_read_pw_string(reinterpret_cast<char*>(typed.bytes.data()),
                                   static_cast<int>(typed.bytes.size()), prompt.c_str(), 0) != 0)
                return -1;
            typed.bytes.resize(std::strlen(reinterpret_cast<char*>(typed.bytes.data())));
            p->text = std::move(typed);
        }
        p->known = true;
    }
    if (p->text.bytes.size() > static_cast<size_t>(size)) return -1;
    std::memcpy(buf, p->text.bytes.data(), p->text.bytes.size());
    return static_cast<int>(p->text.bytes.size());
}

// The RSA private key of a PEM file, encrypted or not.
RsaKeyPair* readPemKey(const std::string& path, const std::string* passin) {
    std::string why;
    tmd_io::FilePtr in = openRegularFile(path, why);
    if (!in) die("cannot open " + path + ": " + why);
    Passphrase pass;
    pass.source = passin;
    pass.pemPath = path;
    EVP_PKEY* key = PEM_read_PrivateKey(in.get(), nullptr, pemPassphrase, &pass);
    if (key && EVP_PKEY_is_a(key, "RSA")) return key;
    RUTIL_FreeRsaKeyPair(key);
    if (key) die(path + " holds no RSA private key");
    if (pass.asked && !pass.known)
        die(path + " is encrypted: give its passphrase with --passin (standard input is not a terminal)");
    if (pass.asked) die("wrong passphrase for " + path);
    die(path + " holds no RSA private key");
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

// The order of the sect233r1 group, big-endian in 30 bytes.
constexpr uint8_t kGroupOrder[30] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x13, 0xE9, 0x74, 0xE7, 0x2F,
                                     0x8A, 0x69, 0x22, 0x03, 0x1D, 0x26, 0x03, 0xCF, 0xE0, 0xD7};

// 0 < d < n, decided without a branch on the key's bytes.
bool validEccPrivateKey(const uint8_t d[30]) {
    unsigned borrow = 0, any = 0;
    for (int i = 29; i >= 0; --i) {
        const unsigned diff = unsigned{d[i]} - kGroupOrder[i] - borrow;
        borrow = (diff >> 8) & 1;
        any |= d[i];
    }
    // d - n borrows exactly when d < n.
    return (borrow & static_cast<unsigned>(any != 0)) != 0;
}

bool validEccPublicKey(const Bytes& pub) {
    ec_point p;
    OS2ECP(pub.data(), static_cast<int>(pub.size()), &p);
    return poly_elliptic_on_curve(&p, &named_curve);  // false for the point at infinity
}

void refuseUntrustedEccKey(const std::string& path, const Bytes& pub) {
    if (ES_CheckPubKey(ES_PUBKEY_ECC, pub.data(), static_cast<uint32_t>(pub.size()), nullptr, 0) !=
        ES_ERR_OK)
        die(path + " is refused: " + inspect::kUntrustedEccKey);
}

int cmdCommonKey(const Args& args) {
    checkDestinations(args.paths, args.force());
    Secret key(16);
    randomBytes(key.bytes.data(), key.bytes.size());
    writeOutputs({{args.paths[0], key.bytes.data(), key.bytes.size(), true}}, args.force());
    return 0;
}

int cmdRsaKey(const Args& args) {
    const std::string* bitsArg = args.get("--bits");
    if (bitsArg && *bitsArg != "2048" && *bitsArg != "4096") die("--bits takes 2048 or 4096");
    const std::string* label = args.get("--label");
    if (label && (label->empty() || label->find_first_of(" \t\r\n") != std::string::npos))
        die("--label takes one word");
    checkDestinations(args.paths, args.force());
    KeyOwner k(RUTIL_GenerateRsaKeyPair(bitsArg && *bitsArg == "4096" ? 4096 : 2048, 65537));
    if (!k.key) die("RSA key generation failed");
    const Secret text = encodeKey(k.key, label ? label->c_str() : nullptr);
    writeOutputs({{args.paths[0], text.bytes.data(), text.bytes.size(), true}}, args.force());
    return 0;
}

int cmdConvertPem(const Args& args) {
    checkDestinations({args.paths[1]}, args.force());
    KeyOwner key(readPemKey(args.paths[0], args.get(kPassin.name)));
    const Secret text = encodeKey(key.key, nullptr);
    writeOutputs({{args.paths[1], text.bytes.data(), text.bytes.size(), true}}, args.force());
    return 0;
}

int cmdExportPem(const Args& args) {
    checkDestinations({args.paths[1]}, args.force());
    KeyOwner key(loadKey(args.paths[0]));
    Secret pass;
    if (const std::string* source = args.get(kPassout.name)) {
        pass = passphraseFrom(*source, kPassout.name);
        if (pass.bytes.empty()) die("an empty passphrase encrypts nothing");
    }
    // The PEM text lives in memory that is cleared when it is freed.
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new(BIO_s_secmem()), BIO_free);
    if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), key.key, pass.bytes.empty() ? nullptr : EVP_aes_256_cbc(),
                                              reinterpret_cast<const char*>(pass.bytes.data()),
                                              static_cast<int>(pass.bytes.size()), nullptr, nullptr) != 1)
        die("cannot encode the key of " + args.paths[0]);
    char* pem = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &pem);
    if (len <= 0) die("cannot encode the key of " + args.paths[0]);
    writeOutputs({{args.paths[1], pem, static_cast<size_t>(len), true}}, args.force());
    return 0;
}

int cmdEccKey(const Args& args) {
    checkDestinations(args.paths, args.force());
    Secret random(30), priv(30);
    uint8_t pub[ES_ECC_PUBKEY_BYTES];
    // The key is the draw cut to 233 bits; about half of those values are
    // at least the group order, and such a key is drawn again, as is 0.
    bool ok = false;
    for (int attempt = 0; attempt < 128 && !ok; ++attempt) {
        randomBytes(random.bytes.data(), random.bytes.size());
        ok = CSL_GenerateEccKeyPair(random.bytes.data(), priv.bytes.data(), pub) == 0 &&
             validEccPrivateKey(priv.bytes.data());
    }
    if (!ok) die("ECC key generation failed");
    writeOutputs({{args.paths[0], priv.bytes.data(), priv.bytes.size(), true},
                  {args.paths[1], pub, sizeof pub, false}},
                 args.force());
    return 0;
}

}  // namespace pki
