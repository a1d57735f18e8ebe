// tmd-pki: key management for the packaging tool. Makes a whole development
// PKI directory in one step (init), or single pieces: RSA key files, ECC key
// pairs, certificates of every layout signed by their issuer, PEM conversion
// and common keys.
//
// Every file goes through the output module as key material: to a new name,
// or over an existing regular file only with --force, never through a link,
// device, FIFO or directory; private keys are owner-only from their first
// byte. Every directory written into is locked for the run (one run per
// directory). All destinations are checked before any key is made, and
// nothing is written when one is refused.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tool/common/version.h"
#include "tool/pki/pki.h"

namespace pki {

[[noreturn]] void die(const std::string& msg) {
    std::fprintf(stderr, "tmd-pki: %s\n", msg.c_str());
    std::exit(1);
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

}  // namespace pki

using namespace pki;

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
