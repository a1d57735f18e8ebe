// Signing with a private key held in a PKCS#11 token (a hardware security
// module or a key service), named by an RFC 7512 "pkcs11:" URI. The key never
// leaves the token: it makes the same PKCS #1 v1.5 SHA-1 signature as a key
// file would, and PKCS #1 v1.5 is deterministic, so the signed bytes are the
// same too.
//
// Modules come from the URI's module-path, from module-name (a module as
// p11-kit registers it) or, without either, from every module registered with
// p11-kit. The PIN comes from pin-value, from pin-source (a file whose first
// line is the PIN) or from TMD_PKCS11_PIN; it is wiped once the token has
// accepted or refused it, unless the key asks for it at every signature
// (CKA_ALWAYS_AUTHENTICATE: a context-specific login between C_SignInit and
// C_Sign), in which case it is wiped with the key. It never appears in a
// message: messages name the URI as shownPkcs11Uri gives it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

// True when text is meant as a PKCS#11 URI rather than a file name.
bool isPkcs11Uri(std::string_view text);

// The URI as every message shows it, from the one reader of URIs that
// TokenKey::open uses too: p11-kit's rendering of the parsed attributes
// without pin-value, one line (bytes outside the URI characters
// percent-encoded). Empty when text is not a URI that can be read (it does not
// parse, or a pin-value sits inside another attribute's value), with the
// reason in *why, which quotes nothing of text.
std::string shownPkcs11Uri(std::string_view text, std::string* why);

// Destroy it before the process exits (not from a static destructor): the
// module was loaded later than the program's own static objects, so its
// state is gone by the time theirs are destroyed.
class TokenKey {
public:
    // Loads the module, finds the one token and the one private key the URI
    // names, and logs in. Null on failure, with a one-line message (no line
    // end) in *error. A URI given where others can read it (a command line)
    // is refused when it carries pin-value and pinValueAllowed is false.
    static std::unique_ptr<TokenKey> open(const char* uri, bool pinValueAllowed, std::string* error);
    ~TokenKey();
    TokenKey(const TokenKey&) = delete;
    TokenKey& operator=(const TokenKey&) = delete;

    // The URI without its PIN, for messages.
    const std::string& name() const;
    bool isRsa() const;
    // Modulus and public exponent, minimal big-endian (RSA keys only).
    const std::vector<uint8_t>& modulus() const;
    const std::vector<uint8_t>& exponent() const;

    // Signs object[sigLength + 64 ..) and writes the signature to
    // object[4 .. sigLength + 3], as the key-file signer does; the key's
    // modulus must be sigLength bytes. The signature is checked with the
    // key's public half before the object is changed. False with a message
    // on failure (object unchanged).
    bool fillSig(int32_t sigLength, uint8_t* object, int32_t objectSize, std::string* error);

private:
    struct State;
    explicit TokenKey(std::unique_ptr<State> state);
    std::unique_ptr<State> s_;
};

}  // namespace tool
