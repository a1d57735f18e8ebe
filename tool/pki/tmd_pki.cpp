// tmd-pki: key management for the packaging tool. Makes a whole development
// PKI directory in one step (init), or single pieces: RSA key files, ECC key
// pairs, certificates of every layout signed by their issuer, PEM conversion
// and common keys.
//
// Every file goes through the output module as key material: to a new name,
// or over an existing regular file only with --force, never through a link,
// device, FIFO or directory; private keys are owner-only from their first
// byte. All destinations are checked before any key is made, and nothing is
// written when one is refused.

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

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ui.h>

#include "csl/convecc.h"
#include "csl/ecc.h"
#include "csl/elliptic_math.h"
#include "csl/wipe.h"
#include "es/cert.h"
#include "es/tmd.h"
#include "io/output_file.h"
#include "tool/common/inspect.h"
#include "tool/common/pkcs11_signer.h"
#include "tool/common/pki_files.h"
#include "tool/common/report.h"
#include "tool/common/version.h"
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
    "  convert-pem IN.pem OUT [--passin SOURCE]\n"
    "      A PEM RSA private key in the RSA key file format. SOURCE of the passphrase\n"
    "      of an encrypted PEM: pass:TEXT, env:VAR, file:PATH, fd:N or stdin (its first\n"
    "      line). Without it the passphrase is asked for only on a terminal.\n"
    "  export-pem KEYFILE OUT.pem [--passout SOURCE]\n"
    "      An RSA key file as a PKCS#8 PEM private key (to import it into a PKCS#11\n"
    "      token), encrypted with AES-256 under the passphrase from SOURCE when given\n"
    "      (pass:TEXT, env:VAR, file:PATH, fd:N or stdin, as for --passin).\n"
    "  ecc-key PRIVATE PUBLIC\n"
    "      A new sect233r1 key pair: 30-byte private key, 60-byte public key.\n"
    "  cert OUT --name NAME --issuer ISSUER (--rsa-key FILE | --ecc-public FILE)\n"
    "       (--sign-rsa FILE | --sign-ecc FILE | --self) [--key-id N]\n"
    "      A certificate for the subject key, signed by the issuer's key:\n"
    "        RSA-4096 signer: 1,280 bytes (RSA-4096 subject) or 1,024 (RSA-2048 subject)\n"
    "        RSA-2048 signer: 768 bytes (RSA-2048 subject) or 576 (ECC subject)\n"
    "        ECC signer:      384 bytes (ECC subject, a device certificate)\n"
    "      --self signs an RSA certificate with its own subject key. NAME and ISSUER\n"
    "      hold 1 to 63 characters. --sign-rsa also takes a pkcs11: URI of a key held\n"
    "      in a token (PIN from pin-source or TMD_PKCS11_PIN; a pin-value on the\n"
    "      command line is refused).\n"
    "  show FILE\n"
    "      What a key file, certificate or common-key file holds: type, size, names,\n"
    "      key ID and the public key's fingerprint (SHA-256 of the RSA modulus or of\n"
    "      the ECC point; a key file and its certificate show the same one). No\n"
    "      private value is shown.\n"
    "  check DIR\n"
    "      Whether the PKI in DIR (the directory given to init, or the key-file\n"
    "      directory itself) is complete and consistent: a 16-byte common key, a\n"
    "      content-publishing certificate of an RSA-2048 key that cp_dpki.rsa holds,\n"
    "      signed by the CA certificate. Status 0 all pass, 2 one fails, 1 bad input.\n"
    "  --help, --version\n"
    "      This text; the version.\n"
    "\n"
    "Options may stand before or after the paths. An existing file is replaced only\n"
    "with --force; links, devices, FIFOs and directories are never written to.\n";

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

// Bytes that may be secret: wiped when they go.
struct Secret {
    Bytes bytes;
    Secret() = default;
    explicit Secret(size_t n) : bytes(n) {}
    explicit Secret(Bytes b) : bytes(std::move(b)) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept : bytes(std::move(other.bytes)) {}
    Secret& operator=(Secret&& other) noexcept {
        csl_wipe(bytes.data(), bytes.size());
        bytes = std::move(other.bytes);
        return *this;
    }
    ~Secret() { csl_wipe(bytes.data(), bytes.size()); }
};

// ---- Command lines ------------------------------------------------------

struct Option {
    const char* name;
    bool takesValue;
};
const Option kForce{"--force", false};
const Option kPassin{"--passin", true};
const Option kPassout{"--passout", true};

// Paths and options of one command, in any order.
struct Args {
    std::vector<std::string> paths;
    std::map<std::string, std::string> options;  // flags hold ""

    bool has(const std::string& name) const { return options.count(name) != 0; }
    const std::string* get(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? nullptr : &it->second;
    }
    bool force() const { return has(kForce.name); }
};

struct Command {
    const char* name;
    const char* operands;  // as in the usage text, for messages
    size_t paths;          // number of path operands
    std::vector<Option> options;
    int (*run)(const Args&);
};

Args parseArgs(const Command& cmd, const std::vector<std::string>& argv) {
    Args args;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (a.empty() || a[0] != '-') {
            args.paths.push_back(a);
            continue;
        }
        // "--name value" or "--name=value".
        const std::string::size_type eq = a.find('=');
        const std::string name = a.substr(0, eq);
        const Option* opt = nullptr;
        for (const Option& o : cmd.options)
            if (name == o.name) opt = &o;
        if (!opt)
            die(std::string("unknown option ") + a + " for " + cmd.name +
                " (paths may not begin with '-'; see --help)");
        if (args.has(name)) die(name + " is given twice");
        if (!opt->takesValue) {
            if (eq != std::string::npos) die(name + " takes no value");
            args.options[name] = "";
        } else if (eq != std::string::npos) {
            args.options[name] = a.substr(eq + 1);
        } else if (i + 1 < argv.size()) {
            args.options[name] = argv[++i];
        } else {
            die(name + " needs a value");
        }
    }
    if (args.paths.size() != cmd.paths)
        die(std::string(cmd.name) + " takes " + cmd.operands + " (see --help)");
    return args;
}

// A whole number in C notation (decimal, 0x hexadecimal, 0 octal) of at
// most `max`, with nothing before, after or in between: no blank, no sign,
// no empty text, no value that would wrap.
std::optional<uint64_t> parseNumber(const std::string& text, uint64_t max) {
    size_t at = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        at = 1;
    }
    if (at >= text.size()) return std::nullopt;
    uint64_t value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        if (d >= base || value > (max - d) / base) return std::nullopt;
        value = value * base + d;
    }
    return value;
}

// ---- Files --------------------------------------------------------------

// Refuses, before anything is made: the same file named for two outputs, a
// destination that is not a regular file, and an existing one without
// --force.
void checkDestinations(const std::vector<std::string>& paths, bool force) {
    std::vector<std::filesystem::path> seen;
    std::vector<std::pair<dev_t, ino_t>> files;
    for (const std::string& p : paths) {
        std::error_code ec;
        const auto normal = std::filesystem::absolute(p, ec).lexically_normal();
        for (const auto& s : seen)
            if (!ec && s == normal) die(p + " is named for two outputs");
        seen.push_back(normal);

        struct stat st {};
        if (lstat(p.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;
            die("cannot write " + p + ": " + std::strerror(errno));
        }
        const char* kind = S_ISLNK(st.st_mode)                        ? "a symbolic link"
                           : S_ISDIR(st.st_mode)                      ? "a directory"
                           : S_ISFIFO(st.st_mode)                     ? "a FIFO"
                           : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                           : S_ISSOCK(st.st_mode)                     ? "a socket"
                                                                      : nullptr;
        if (kind) die(p + " is " + kind + ", not a regular file; nothing is written to it");
        for (const auto& f : files)
            if (f.first == st.st_dev && f.second == st.st_ino) die(p + " is named for two outputs");
        files.emplace_back(st.st_dev, st.st_ino);
        if (!force) die(p + " exists; --force replaces it");
    }
}

struct Output {
    std::string path;
    const void* data;
    size_t size;
    bool secret;  // 0600 rather than 0644
};

[[noreturn]] void cannotWrite(const std::string& path, int err) {
    if (err == EEXIST) die(path + " exists; --force replaces it");
    if (err == EISDIR || err == EINVAL) die(path + " is not a regular file; nothing is written to it");
    die("cannot write " + path + ": " + std::strerror(err));
}

// All files are written before the first is put in place, so a failure
// while writing leaves none of them behind.
void writeOutputs(const std::vector<Output>& outputs, bool force) {
    std::vector<std::unique_ptr<tmd_io::OutputFile>> files;
    for (const Output& o : outputs) {
        files.push_back(std::make_unique<tmd_io::OutputFile>());
        const tmd_io::OutputPolicy policy{true, force, static_cast<mode_t>(o.secret ? 0600 : 0644)};
        if (!files.back()->create(o.path.c_str(), policy)) {
            const int err = errno;
            files.clear();
            cannotWrite(o.path, err);
        }
        if (!files.back()->write(o.data, o.size)) {
            const int err = errno;
            files.clear();
            cannotWrite(o.path, err);
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i]->commit()) {
            const int err = errno;
            files.clear();
            cannotWrite(outputs[i].path, err);
        }
    }
}

// The whole of a regular file of at most maxBytes; nothing, and the reason in
// why, when it cannot be had.
std::optional<Bytes> tryReadFile(const std::string& path, size_t maxBytes, std::string& why) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        why = "missing";
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(path, ec)) {
        why = "not a regular file";
        return std::nullopt;
    }
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > maxBytes) {
        why = "larger than " + std::to_string(maxBytes) + " bytes";
        return std::nullopt;
    }
    tmd_io::FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    // Private keys are read here: straight into the result, not via stdio's buffer.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    Bytes b(size);
    if (size && std::fread(b.data(), 1, size, f.get()) != size) {
        csl_wipe(b.data(), b.size());
        why = "read error";
        return std::nullopt;
    }
    return b;
}

Bytes readFile(const std::string& path, size_t maxBytes) {
    std::string why;
    std::optional<Bytes> b = tryReadFile(path, maxBytes, why);
    if (!b) die("cannot read " + path + ": " + why);
    return std::move(*b);
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

// ---- Keys ---------------------------------------------------------------

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
    tmd_io::FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) die("cannot open the RSA key file " + path + ": " + std::strerror(errno));
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
    tmd_io::FilePtr in(std::fopen(path.c_str(), "rb"));
    if (!in) die("cannot open " + path + ": " + std::strerror(errno));
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

// ---- Certificates -------------------------------------------------------

constexpr size_t kMaxNameChars = 63;

void checkName(const char* what, const std::string& value) {
    if (value.empty() || value.size() > kMaxNameChars)
        die(std::string(what) + " holds 1 to 63 characters");
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

uint32_t rsaSigType(const RsaKeyPair* signer) {
    const int bytes = modulusBytes(signer);
    if (bytes != 256 && bytes != 512) die("signing keys are RSA-2048 or RSA-4096");
    return bytes == 512 ? ES_SIG_RSA4096 : ES_SIG_RSA2048;
}

// Signs the certificate from its issuer field on, as the TMD is signed.
void signRsa(RsaKeyPair* signer, Bytes& cert) {
    const size_t sigLen = static_cast<size_t>(modulusBytes(signer));
    uint8_t sig[512];
    if (cert.size() < sigLen + 64 ||
        RUTIL_SignData(signer, cert.data() + sigLen + 64, static_cast<int>(cert.size() - sigLen - 64),
                       sig) != 0)
        die("cannot sign the certificate");
    std::memcpy(cert.data() + 4, sig, sigLen);
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

// ---- Commands -----------------------------------------------------------

int cmdInit(const Args& args) {
    const std::string* layout = args.get("--layout");
    if (layout && *layout != "sdk" && *layout != "root") die("--layout takes sdk or root");
    const std::string* bitsArg = args.get("--ca-bits");
    if (bitsArg && *bitsArg != "2048" && *bitsArg != "4096") die("--ca-bits takes 2048 or 4096");
    const int caBits = bitsArg && *bitsArg == "4096" ? 4096 : 2048;

    std::filesystem::path dir(args.paths[0]);
    dir /= layout && *layout == "root" ? "usr/etc/pki_data" : "X86/bin/pki_data";
    auto in = [&](const char* n) { return (dir / n).string(); };
    const std::string commonPath = in("common_dpki.aesKey"), caKeyPath = in("ca_dpki.rsa"),
                      cpKeyPath = in("cp_dpki.rsa"), caCertPath = in("ca_dpki.cert"),
                      cpCertPath = in("cp_dpki.cert");
    // A second init would make every package of the first unverifiable.
    checkDestinations({commonPath, caKeyPath, cpKeyPath, caCertPath, cpCertPath}, args.force());

    Secret commonKey(16);
    randomBytes(commonKey.bytes.data(), commonKey.bytes.size());
    KeyOwner ca(RUTIL_GenerateRsaKeyPair(caBits, 65537));
    KeyOwner cp(RUTIL_GenerateRsaKeyPair(2048, 65537));
    if (!ca.key || !cp.key) die("RSA key generation failed");
    const Secret caText = encodeKey(ca.key, nullptr), cpText = encodeKey(cp.key, nullptr);

    const uint32_t caSig = rsaSigType(ca.key);
    Bytes caCert = rsaCert("CA00000001", "Root", caSig, ca.key, 0);
    signRsa(ca.key, caCert);
    Bytes cpCert = rsaCert("CP00000004", "Root-CA00000001", caSig, cp.key, 0);
    signRsa(ca.key, cpCert);

    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) die("cannot create " + dir.string() + ": " + ec.message());
    writeOutputs({{commonPath, commonKey.bytes.data(), commonKey.bytes.size(), true},
                  {caKeyPath, caText.bytes.data(), caText.bytes.size(), true},
                  {cpKeyPath, cpText.bytes.data(), cpText.bytes.size(), true},
                  {caCertPath, caCert.data(), caCert.size(), false},
                  {cpCertPath, cpCert.data(), cpCert.size(), false}},
                 args.force());
    std::printf("development PKI written to %s\n", dir.string().c_str());
    return 0;
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
    uint8_t pub[60];
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

int cmdCert(const Args& args) {
    const std::string* name = args.get("--name");
    const std::string* issuer = args.get("--issuer");
    if (!name || !issuer) die("cert needs --name and --issuer");
    checkName("--name", *name);
    checkName("--issuer", *issuer);
    const bool self = args.has("--self");
    const std::string* rsaSubject = args.get("--rsa-key");
    const std::string* eccSubject = args.get("--ecc-public");
    const std::string* signRsaPath = args.get("--sign-rsa");
    const std::string* signEccPath = args.get("--sign-ecc");
    if (!rsaSubject == !eccSubject) die("cert needs one of --rsa-key and --ecc-public");
    if (self + !!signRsaPath + !!signEccPath != 1) die("cert needs one of --sign-rsa, --sign-ecc and --self");
    if (self && !rsaSubject) die("--self signs RSA certificates only");
    uint32_t keyId = 0;
    if (const std::string* id = args.get("--key-id")) {
        const auto v = parseNumber(*id, 0xFFFFFFFFu);
        if (!v) die("--key-id takes a number from 0 to 0xFFFFFFFF");
        keyId = static_cast<uint32_t>(*v);
    }
    checkDestinations(args.paths, args.force());

    // The signer decides the signature type.
    KeyOwner rsaSigner;
    std::unique_ptr<tool::TokenKey> token;  // an RSA signing key held in a PKCS#11 token
    uint32_t sigType = ES_SIG_ECC;
    if (signRsaPath && tool::isPkcs11Uri(*signRsaPath)) {
        std::string error;
        token = tool::TokenKey::open(signRsaPath->c_str(), false, &error);
        if (!token) die(error);
        const size_t bytes = token->isRsa() ? token->modulus().size() : 0;
        if (bytes != 256 && bytes != 512) die("signing keys are RSA-2048 or RSA-4096");
        sigType = bytes == 512 ? ES_SIG_RSA4096 : ES_SIG_RSA2048;
    } else if (!signEccPath) {
        rsaSigner.key = loadKey(self ? *rsaSubject : *signRsaPath);
        sigType = rsaSigType(rsaSigner.key);
    } else {
        const Secret priv{readFile(*signEccPath, 4096)};
        if (priv.bytes.size() < 30) die(*signEccPath + " is not a 30-byte private key");
        if (!validEccPrivateKey(priv.bytes.data()))
            die(*signEccPath + " is not a private key of the curve (0 < d < n)");
    }

    Bytes cert;
    if (rsaSubject) {
        KeyOwner subject(loadKey(*rsaSubject));
        cert = rsaCert(*name, *issuer, sigType, subject.key, keyId);
    } else {
        const Bytes pub = readFile(*eccSubject, 60);
        if (pub.size() != 60) die(*eccSubject + " is not a 60-byte public key");
        if (!validEccPublicKey(pub)) die(*eccSubject + " is not a point of the curve");
        cert = buildCert(*name, *issuer, sigType, ES_PUBKEY_ECC, pub, {}, keyId);
    }
    if (signEccPath) {
        if (utilFillEccSig(signEccPath->c_str(), cert.data(), static_cast<int32_t>(cert.size())) != 0)
            die("cannot sign the certificate with " + *signEccPath);
    } else if (token) {
        std::string error;
        if (!token->fillSig(sigType == ES_SIG_RSA4096 ? 512 : 256, cert.data(), static_cast<int32_t>(cert.size()),
                            &error))
            die("cannot sign the certificate: " + error);
    } else {
        signRsa(rsaSigner.key, cert);
    }
    writeOutputs({{args.paths[0], cert.data(), cert.size(), false}}, args.force());
    std::printf("%zu-byte certificate written to %s\n", cert.size(), args.paths[0].c_str());
    return 0;
}

// ---- Show and check -----------------------------------------------------

// Key files and certificates are a few KiB; anything larger is neither.
constexpr size_t kMaxKeyFileBytes = 64 * 1024;

// A file name or a name from a file, safe to print on a terminal.
std::string shown(const std::string& text) { return tool::escapeText(text); }

// The public-key fingerprint: SHA-256 of the RSA modulus (big-endian, from
// its first non-zero byte) or of the 60-byte ECC point, in hex, so that a
// key file and its certificate show the same one.
std::string fingerprint(const uint8_t* key, size_t len, bool rsa) {
    while (rsa && len > 0 && *key == 0) {
        ++key;
        --len;
    }
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digestLen = 0;
    if (EVP_Digest(key, len, digest, &digestLen, EVP_sha256(), nullptr) != 1)
        die("SHA-256 is not available");
    return tool::hexString(digest, digestLen);
}

// A big-endian number in decimal when it fits 64 bits, else in hex.
std::string numberText(const uint8_t* p, size_t n) {
    while (n > 0 && *p == 0) {
        ++p;
        --n;
    }
    if (n > 8) return "0x" + tool::hexString(p, n);
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    return std::to_string(v);
}

// The RSA key file held in text (the caller's, wiped by it); null when the
// text is not one.
RsaKeyPair* parseKeyText(Bytes& text, char* label, size_t labelSize) {
    if (text.empty()) return nullptr;
    FILE* mem = fmemopen(text.data(), text.size(), "r");
    if (!mem) die("out of memory");
    std::setvbuf(mem, nullptr, _IONBF, 0);
    RsaKeyPair* key = RUTIL_ReadRsaKeyPair(mem, label, labelSize);
    std::fclose(mem);
    return key;
}

// "RSA-2048, exponent 65537" for the public half of an RSA key object.
std::string rsaKeyText(const RsaKeyPair* key) {
    return "RSA-" + std::to_string(modulusBytes(key) * 8) + ", exponent " +
           numberText(exponent(key).data(), exponent(key).size());
}

void showField(const char* field, const std::string& value) {
    std::printf("  %s: %s\n", field, value.c_str());
}

int cmdShow(const Args& args) {
    const std::string& path = args.paths[0];
    Secret content{readFile(path, kMaxKeyFileBytes)};
    Bytes& b = content.bytes;
    auto head = [&](const char* type) {
        std::printf("%s: %s, %zu bytes\n", shown(path).c_str(), type, b.size());
    };

    // Raw keys are told apart by their sizes, which no other file has.
    if (b.size() == 16) {
        head("AES-128 key (a common key, or an encrypted title key)");
        showField("value", "not shown");
        return 0;
    }
    if (b.size() == 30) {
        uint8_t pub[60];
        if (!validEccPrivateKey(b.data()) || CSL_GenerateEccPublicKey(b.data(), pub) != 0)
            die(path + " has the size of a sect233r1 private key but is not one");
        head("sect233r1 private key");
        showField("value", "not shown");
        showField("public key", "sect233r1 point");
        showField("fingerprint", fingerprint(pub, sizeof pub, false));
        return 0;
    }
    if (b.size() == 60) {
        if (!validEccPublicKey(b))
            die(path + " has the size of a sect233r1 public key but is not a point of the curve");
        head("sect233r1 public key");
        showField("fingerprint", fingerprint(b.data(), b.size(), false));
        return 0;
    }
    // A certificate begins with its signature type; a key file with text.
    if (b.size() >= 4 && std::string(inspect::sigTypeText(es_get_be32(b.data()))) != "unknown") {
        const inspect::Cert cert = inspect::describeCert(path, b);
        // A TMD begins with a signature type too; its size, from its own
        // content count, tells it from a damaged certificate.
        const uint16_t numContents =
            b.size() >= tmd_layout::HEADER_BYTES ? es_get_be16(b.data() + tmd_layout::NUM_CONTENTS) : 0;
        if (!cert.problem.empty() && b.size() >= tmd_layout::HEADER_BYTES && b.size() == ES_GetTmdSize(numContents)) {
            head("TMD (title metadata; tmd-inspect checks it)");
            char titleId[24];
            std::snprintf(titleId, sizeof titleId, "0x%016llx",
                          static_cast<unsigned long long>(es_get_be64(b.data() + tmd_layout::TITLE_ID)));
            showField("title ID", titleId);
            const char* issuer = reinterpret_cast<const char*>(b.data() + tmd_layout::ISSUER);
            showField("issuer", shown(std::string(issuer, strnlen(issuer, ES_ISSUER_BYTES))));
            showField("contents", std::to_string(numContents));
            return 0;
        }
        if (!cert.problem.empty()) die(path + " is not a usable certificate: " + cert.problem);
        uint32_t keyLen = 0;
        const uint8_t* key = ES_GetCertPubKey(cert.bytes.data(), &keyLen);
        const bool rsa = cert.keyType != ES_PUBKEY_ECC;
        head("certificate");
        showField("signed with",
                  std::string(inspect::sigTypeText(cert.sigType)) + " (the issuer's key)");
        showField("issuer", shown(cert.issuer));
        showField("name", shown(cert.name));
        char keyId[16];
        std::snprintf(keyId, sizeof keyId, "0x%08x", es_get_be32(key - 4));
        showField("key ID", keyId);
        showField("public key", rsa ? "RSA-" + std::to_string(keyLen * 8) + ", exponent " +
                                          numberText(key + keyLen, 4)
                                    : std::string("sect233r1 point"));
        showField("fingerprint", fingerprint(key, keyLen, rsa));
        return 0;
    }
    if (b.size() >= 10 && std::memcmp(b.data(), "-----BEGIN", 10) == 0)
        die(path + " is a PEM file; convert-pem turns an RSA private key into a key file");
    char label[256] = {};
    KeyOwner key(parseKeyText(b, label, sizeof label));
    if (!key.key) die(path + " is not a key file, certificate or common key");
    head("RSA key file (a private key)");
    showField("private values", "not shown");
    if (*label) showField("label", shown(label));
    showField("public key", rsaKeyText(key.key));
    const Bytes n = modulus(key.key, static_cast<size_t>(modulusBytes(key.key)));
    showField("fingerprint", fingerprint(n.data(), n.size(), true));
    return 0;
}

// Why the RSA key file at path does not hold the key of cert; empty when it
// does.
std::string keyMismatch(const std::string& path, const char* name, const inspect::Cert& cert) {
    std::string why;
    std::optional<Bytes> text = tryReadFile(path, kMaxKeyFileBytes, why);
    if (!text) return std::string(name) + " " + why;
    Secret owned{std::move(*text)};
    KeyOwner key(parseKeyText(owned.bytes, nullptr, 0));
    if (!key.key) return std::string(name) + " is not a valid RSA key file";
    if (!cert.problem.empty()) return "its certificate " + cert.file + " is unusable";
    uint32_t keyLen = 0;
    const uint8_t* certKey = ES_GetCertPubKey(cert.bytes.data(), &keyLen);
    if (cert.keyType == ES_PUBKEY_ECC || !certKey) return cert.file + " holds no RSA key";
    const Bytes n = modulus(key.key, static_cast<size_t>(modulusBytes(key.key)));
    const Bytes e = exponent(key.key);
    if (fingerprint(n.data(), n.size(), true) != fingerprint(certKey, keyLen, true) ||
        numberText(e.data(), e.size()) != numberText(certKey + keyLen, 4))
        return std::string(name) + " does not hold the key of " + cert.file;
    return "";
}

int cmdCheck(const Args& args) {
    const std::string& given = args.paths[0];
    std::error_code ec;
    if (!std::filesystem::is_directory(given, ec)) die(given + " is not a directory");
    const std::optional<std::filesystem::path> dir = tool::keyDirectoryIn(given);
    if (!dir)
        die("no PKI in " + given + ": no key files in it, in its " + tool::kSdkLayout +
            " or in its " + tool::kRootLayout);
    auto in = [&](const char* name) { return (*dir / name).string(); };
    std::printf("key files: %s\n", shown(dir->string()).c_str());

    int failed = 0;
    auto report = [&](const char* check, const std::string& failure, const std::string& detail) {
        if (!failure.empty()) ++failed;
        const std::string& note = failure.empty() ? detail : failure;
        std::printf("  %s: %s%s\n", check, failure.empty() ? "ok" : "failed",
                    note.empty() ? "" : (" (" + shown(note) + ")").c_str());
    };

    std::string why;
    {
        std::optional<Bytes> read = tryReadFile(in(tool::kCommonKeyFile), kMaxKeyFileBytes, why);
        const Secret key{read ? std::move(*read) : Bytes{}};
        report("common key",
               !read                    ? std::string(tool::kCommonKeyFile) + " " + why
               : key.bytes.size() != 16 ? std::to_string(key.bytes.size()) + " bytes, not 16"
                                        : "",
               "16 bytes");
    }
    auto loadCert = [&](const char* name) {
        std::optional<Bytes> read = tryReadFile(in(name), kMaxKeyFileBytes, why);
        inspect::Cert cert = inspect::describeCert(name, read ? std::move(*read) : Bytes{});
        if (!read) cert.problem = why;
        return cert;
    };
    const inspect::Cert cp = loadCert(tool::kCpCertFile), ca = loadCert(tool::kCaCertFile);
    report("content-publishing certificate",
           !cp.problem.empty() ? cp.file + ": " + cp.problem
           : cp.keyType != ES_PUBKEY_RSA2048
               ? cp.file + " holds no RSA-2048 key, which TMDs are signed with"
               : "",
           cp.issuer + "-" + cp.name);
    report("content-publishing key", keyMismatch(in(tool::kCpKeyFile), tool::kCpKeyFile, cp),
           std::string(tool::kCpKeyFile) + " holds the certificate's key");
    const inspect::Check chain = inspect::checkChain(cp, ca);
    report("certificate chain", chain.status == inspect::Status::ok ? "" : chain.detail,
           std::string(tool::kCpCertFile) + " verifies against " + tool::kCaCertFile);
    // The CA's private key is kept beside its certificate only in development.
    if (std::filesystem::exists(in(tool::kCaKeyFile), ec))
        report("CA key", keyMismatch(in(tool::kCaKeyFile), tool::kCaKeyFile, ca),
               std::string(tool::kCaKeyFile) + " holds the certificate's key");

    if (failed)
        std::printf("PKI not usable: %d check%s failed\n", failed, failed == 1 ? "" : "s");
    else
        std::printf("PKI complete and consistent\n");
    return failed ? 2 : 0;
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table{
        {"init", "one directory", 1, {kForce, {"--layout", true}, {"--ca-bits", true}}, cmdInit},
        {"common-key", "one output file", 1, {kForce}, cmdCommonKey},
        {"rsa-key", "one output file", 1, {kForce, {"--bits", true}, {"--label", true}}, cmdRsaKey},
        {"convert-pem",
         "an input PEM file and an output file",
         2,
         {kForce, kPassin},
         cmdConvertPem},
        {"export-pem", "an RSA key file and an output file", 2, {kForce, kPassout}, cmdExportPem},
        {"ecc-key", "a private-key and a public-key output file", 2, {kForce}, cmdEccKey},
        {"cert",
         "one output file",
         1,
         {kForce,
          {"--name", true},
          {"--issuer", true},
          {"--rsa-key", true},
          {"--ecc-public", true},
          {"--sign-rsa", true},
          {"--sign-ecc", true},
          {"--self", false},
          {"--key-id", true}},
         cmdCert},
        {"show", "one file", 1, {}, cmdShow},
        {"check", "one directory", 1, {}, cmdCheck},
    };
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs("usage: tmd-pki COMMAND [ARGS]  (tmd-pki --help lists the commands)\n", stderr);
        return 1;
    }
    const std::string cmd = args[0];
    args.erase(args.begin());
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "--version" && args.empty()) {
        std::printf("tmd-pki %s\n", TMD_VERSION);
        return 0;
    }
    for (const Command& c : commands())
        if (cmd == c.name) return c.run(parseArgs(c, args));
    die("unknown command " + cmd + " (see --help)");
}
