#include "tool/common/pkcs11_signer.h"

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "csl/rsa.h"
#include "csl/sha1.h"
#include "csl/wipe.h"
#include "es/es.h"
#include "io/small_file.h"

namespace tool {
namespace {

// The DER DigestInfo header of a SHA-1 digest.
constexpr std::array<uint8_t, 15> kSha1DigestInfo = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                                     0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr size_t kMaxPin = 1024;
constexpr size_t kMaxModulus = ES_RSA4096_SIG_BYTES;

// A PIN on its way to the token; wiped however the login ends.
struct Pin {
    std::array<char, kMaxPin> text{};
    size_t len = 0;
    bool present = false;
    ~Pin() { wipe(); }
    void wipe() {
        csl_wipe(text.data(), text.size());
        len = 0;
        present = false;
    }
    bool set(const char* value, size_t n) {
        if (n >= text.size()) return false;
        std::memcpy(text.data(), value, n);
        len = n;
        present = true;
        return true;
    }
};

std::vector<uint8_t> stripZeros(const uint8_t* p, size_t n) {
    while (n > 0 && *p == 0) ++p, --n;
    return {p, p + n};
}

std::string rvText(CK_RV rv) {
    char code[32];
    std::snprintf(code, sizeof code, "0x%lx", static_cast<unsigned long>(rv));
    const char* text = p11_kit_strerror(rv);
    return text ? std::string(text) + " (" + code + ")" : std::string(code);
}

// Control characters and bytes outside ASCII as \xNN: one line, nothing a
// terminal acts on.
std::string escaped(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Reads the first line of a pin-source file ("file:PATH", "file://PATH" or a
// plain path); its line end is not part of the PIN.
bool readPinSource(const char* source, Pin* pin, std::string* why) {
    std::string path = source;
    if (path.rfind("file://", 0) == 0 && path.size() > 7 && path[7] == '/') {
        path.erase(0, 7);
    } else if (path.rfind("file:", 0) == 0) {
        path.erase(0, 5);
    } else if (path.find(':') != std::string::npos && path.find(':') < path.find('/')) {
        *why = "pin-source must be a file: path";
        return false;
    }
    // Only the first line counts, but a PIN file is small: anything larger
    // is no PIN file.
    std::vector<uint8_t> text;
    const tmd_io::ReadResult r = tmd_io::readSmallFile(path.c_str(), 64 * kMaxPin, text);
    if (r.status != tmd_io::ReadStatus::ok) {
        const bool sys = r.status == tmd_io::ReadStatus::missing || r.status == tmd_io::ReadStatus::failed;
        *why = "cannot read the pin-source file " + escaped(path) + ": " +
               (sys ? std::strerror(r.error) : tmd_io::describe(r, 64 * kMaxPin));
        return false;
    }
    const size_t line = static_cast<size_t>(std::find(text.begin(), text.end(), '\n') - text.begin());
    size_t n = line;
    if (n > 0 && text[n - 1] == '\r') --n;
    const bool ok = line < pin->text.size();
    if (ok) std::memcpy(pin->text.data(), text.data(), n);
    csl_wipe(text.data(), text.size());
    if (!ok) {
        *why = "cannot read a PIN from the pin-source file " + escaped(path);
        return false;
    }
    pin->len = n;
    pin->present = true;
    return true;
}

using UriPtr = std::unique_ptr<P11KitUri, void (*)(P11KitUri*)>;

// p11-kit keeps its own copy of a URI's PIN and frees it without wiping.
void wipeUriPin(P11KitUri* uri) {
    if (const char* v = p11_kit_uri_get_pin_value(uri))
        csl_wipe(const_cast<char*>(v), std::strlen(v));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecoded(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Parses text into uri; on success the form messages may show, else empty
// with the reason in *why. The shown form is p11-kit's own rendering of the
// parsed attributes with pin-value cleared (every byte outside the URI
// characters percent-encoded, so it is one line), never the text as given:
// p11-kit drops white space and reads separators its own way, so a form cut
// out of the text would miss a PIN that the parser still finds. A pin-value
// that landed inside another attribute's value (a ';' in the query, where
// only '&' separates) would be shown with that value, so such a URI is not
// read at all.
std::string readUri(const char* text, P11KitUri* uri, std::string* why) {
    const int rc = p11_kit_uri_parse(text, P11_KIT_URI_FOR_ANY, uri);
    if (rc != P11_KIT_URI_OK) {
        *why = p11_kit_uri_message(rc);
        return "";
    }
    UriPtr shownUri(p11_kit_uri_new(), p11_kit_uri_free);
    if (!shownUri ||
        p11_kit_uri_parse(text, P11_KIT_URI_FOR_ANY, shownUri.get()) != P11_KIT_URI_OK) {
        *why = "out of memory";
        return "";
    }
    wipeUriPin(shownUri.get());
    p11_kit_uri_set_pin_value(shownUri.get(), nullptr);
    char* formatted = nullptr;
    if (p11_kit_uri_format(shownUri.get(), P11_KIT_URI_FOR_ANY, &formatted) != P11_KIT_URI_OK ||
        !formatted) {
        *why = "it cannot be formatted";
        return "";
    }
    std::string shown = formatted;
    std::free(formatted);
    if (percentDecoded(shown).find("pin-value") != std::string::npos) {
        *why =
            "pin-value inside another attribute; attributes are separated by ';' before '?' and by "
            "'&' after it";
        return "";
    }
    return shown;
}

}  // namespace

bool isPkcs11Uri(std::string_view text) { return text.rfind("pkcs11:", 0) == 0; }

std::string shownPkcs11Uri(std::string_view text, std::string* why) {
    UriPtr uri(p11_kit_uri_new(), p11_kit_uri_free);
    if (!uri) {
        *why = "out of memory";
        return "";
    }
    std::string copy(text);  // text may hold the PIN: so does the copy, until wiped
    std::string shown = readUri(copy.c_str(), uri.get(), why);
    wipeUriPin(uri.get());
    csl_wipe(copy.data(), copy.size());
    return shown;
}

struct TokenKey::State {
    std::string name;
    CK_FUNCTION_LIST** modules = nullptr;  // from p11-kit's registry
    bool modulesInitialized = false;       // all of them (no module named)
    CK_FUNCTION_LIST* module = nullptr;    // the module named in the URI
    bool moduleLoaded = false;             // module came from module-path
    bool moduleInitialized = false;
    CK_FUNCTION_LIST* fn = nullptr;        // the token's module
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    bool loggedIn = false;
    // A key with CKA_ALWAYS_AUTHENTICATE takes the PIN again for every
    // signature, so the PIN is kept (and wiped with the key) only for such a key.
    Pin pin;
    bool protectedPath = false;  // the PIN is entered on the token itself
    bool alwaysAuthenticate = false;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    CK_KEY_TYPE keyType = CKK_VENDOR_DEFINED;
    CK_MECHANISM_TYPE mechanism = CKM_RSA_PKCS;
    std::vector<uint8_t> modulus;
    std::vector<uint8_t> exponent;

    ~State() {
        if (loggedIn) fn->C_Logout(session);
        if (session != CK_INVALID_HANDLE) fn->C_CloseSession(session);
        if (moduleInitialized) p11_kit_module_finalize(module);
        if (moduleLoaded) p11_kit_module_release(module);
        if (modulesInitialized) {
            p11_kit_modules_finalize_and_release(modules);
        } else if (modules) {
            p11_kit_modules_release(modules);
        }
    }

    bool fail(std::string* error, const std::string& what) const {
        *error = what;
        return false;
    }

    // The search for the key: private keys with the URI's object attributes.
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    std::vector<CK_ATTRIBUTE> query;

    bool keyQuery(P11KitUri* uri, std::string* error);
    CK_ULONG findKeys(CK_FUNCTION_LIST* m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE* found, CK_ULONG max,
                      CK_RV* rv) const;
    bool loadModules(P11KitUri* uri, std::string* error);
    bool findToken(P11KitUri* uri, std::string* error);
    bool login(P11KitUri* uri, std::string* error);
    bool contextLogin(std::string* error);
    bool findKey(std::string* error);
    bool readPublicHalf(std::string* error);
    bool chooseMechanism(std::string* error);
    bool attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>* out) const;
};

bool TokenKey::State::loadModules(P11KitUri* uri, std::string* error) {
    p11_kit_be_quiet();  // p11-kit's own warnings would break the one-line report
    if (const char* path = p11_kit_uri_get_module_path(uri)) {
        module = p11_kit_module_load(path, 0);
        if (!module) {
            const char* why = p11_kit_message();
            return fail(error, "cannot load the PKCS#11 module (" + escaped(why ? why : path) +
                                   ") for " + name);
        }
        moduleLoaded = true;
    } else if (const char* moduleName = p11_kit_uri_get_module_name(uri)) {
        modules = p11_kit_modules_load(nullptr, 0);
        module = modules ? p11_kit_module_for_name(modules, moduleName) : nullptr;
        if (!module)
            return fail(error, "no PKCS#11 module is registered as " + escaped(moduleName) +
                                   " for " + name);
    } else {
        modules = p11_kit_modules_load_and_initialize(0);
        if (!modules || !modules[0])
            return fail(error, "no PKCS#11 module is registered with p11-kit for " + name);
        modulesInitialized = true;
        return true;
    }
    const CK_RV rv = p11_kit_module_initialize(module);
    if (rv != CKR_OK) return fail(error, "the PKCS#11 module does not start: " + rvText(rv) + " for " + name);
    moduleInitialized = true;
    return true;
}

bool TokenKey::State::keyQuery(P11KitUri* uri, std::string* error) {
    query = {{CKA_CLASS, &privateClass, sizeof privateClass}};
    CK_ULONG n = 0;
    CK_ATTRIBUTE_PTR attrs = p11_kit_uri_get_attributes(uri, &n);
    for (CK_ULONG i = 0; i < n; ++i) {
        if (attrs[i].type != CKA_CLASS) {
            query.push_back(attrs[i]);
            continue;
        }
        CK_OBJECT_CLASS wanted = CKO_PRIVATE_KEY;
        if (attrs[i].ulValueLen == sizeof wanted) std::memcpy(&wanted, attrs[i].pValue, sizeof wanted);
        if (wanted != CKO_PRIVATE_KEY) return fail(error, name + " names no private key (type=private)");
    }
    return true;
}

CK_ULONG TokenKey::State::findKeys(CK_FUNCTION_LIST* m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE* found,
                                   CK_ULONG max, CK_RV* rv) const {
    CK_ULONG count = 0;
    *rv = m->C_FindObjectsInit(s, const_cast<CK_ATTRIBUTE*>(query.data()), query.size());
    if (*rv != CKR_OK) return 0;
    *rv = m->C_FindObjects(s, found, max, &count);
    m->C_FindObjectsFinal(s);
    return *rv == CKR_OK ? count : 0;
}

bool TokenKey::State::findToken(P11KitUri* uri, std::string* error) {
    struct Candidate {
        CK_FUNCTION_LIST* fn;
        CK_SLOT_ID slot;
        CK_FLAGS flags;
    };
    std::vector<Candidate> candidates;
    CK_FUNCTION_LIST* single[] = {module, nullptr};
    CK_FUNCTION_LIST** list = module ? single : modules;
    const CK_SLOT_ID wantedSlot = p11_kit_uri_get_slot_id(uri);
    for (; *list; ++list) {
        CK_FUNCTION_LIST* m = *list;
        CK_INFO info;
        if (m->C_GetInfo(&info) != CKR_OK || !p11_kit_uri_match_module_info(uri, &info)) continue;
        CK_ULONG count = 0;
        if (m->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0) continue;
        std::vector<CK_SLOT_ID> slots(count);
        if (m->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) continue;
        slots.resize(count);
        for (CK_SLOT_ID id : slots) {
            if (wantedSlot != static_cast<CK_SLOT_ID>(-1) && id != wantedSlot) continue;
            CK_SLOT_INFO slotInfo;
            CK_TOKEN_INFO tokenInfo;
            if (m->C_GetSlotInfo(id, &slotInfo) != CKR_OK || !p11_kit_uri_match_slot_info(uri, &slotInfo)) continue;
            if (m->C_GetTokenInfo(id, &tokenInfo) != CKR_OK || !(tokenInfo.flags & CKF_TOKEN_INITIALIZED) ||
                !p11_kit_uri_match_token_info(uri, &tokenInfo))
                continue;
            candidates.push_back({m, id, tokenInfo.flags});
        }
    }
    // Several tokens (a registry that also holds a trust store, say): those
    // that show their objects without a login and hold no matching key drop out.
    if (candidates.size() > 1) {
        std::erase_if(candidates, [this](const Candidate& c) {
            CK_SESSION_HANDLE s;
            if ((c.flags & CKF_LOGIN_REQUIRED) || c.fn->C_OpenSession(c.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK)
                return false;
            CK_OBJECT_HANDLE found;
            CK_RV rv;
            const bool none = findKeys(c.fn, s, &found, 1, &rv) == 0 && rv == CKR_OK;
            c.fn->C_CloseSession(s);
            return none;
        });
    }
    if (candidates.empty()) return fail(error, "no PKCS#11 token matches " + name);
    // A PIN meant for one token must not be tried on another.
    if (candidates.size() > 1)
        return fail(error, std::to_string(candidates.size()) + " PKCS#11 tokens match " + name +
                               "; make the URI more specific (token= or serial=)");
    fn = candidates[0].fn;
    slot = candidates[0].slot;
    return true;
}

bool TokenKey::State::login(P11KitUri* uri, std::string* error) {
    CK_TOKEN_INFO info;
    CK_RV rv = fn->C_GetTokenInfo(slot, &info);
    if (rv != CKR_OK) return fail(error, "cannot query the token: " + rvText(rv) + " for " + name);
    if (info.flags & CKF_USER_PIN_LOCKED) return fail(error, "the token's user PIN is locked for " + name);

    std::string why;
    if (const char* value = p11_kit_uri_get_pin_value(uri)) {
        const bool ok = pin.set(value, std::strlen(value));
        // p11-kit keeps its own copy of the URI's PIN: wipe that too.
        csl_wipe(const_cast<char*>(value), std::strlen(value));
        if (!ok) return fail(error, "the PIN is too long for " + name);
    } else if (const char* source = p11_kit_uri_get_pin_source(uri)) {
        if (!readPinSource(source, &pin, &why)) return fail(error, why + " for " + name);
    } else if (const char* env = std::getenv("TMD_PKCS11_PIN")) {
        if (!pin.set(env, std::strlen(env))) return fail(error, "TMD_PKCS11_PIN is too long for " + name);
    }

    rv = fn->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    if (rv != CKR_OK) return fail(error, "cannot open a session on the token: " + rvText(rv) + " for " + name);

    protectedPath = info.flags & CKF_PROTECTED_AUTHENTICATION_PATH;
    if (pin.present) {
        rv = fn->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.text.data()), pin.len);
    } else if (protectedPath) {
        rv = fn->C_Login(session, CKU_USER, nullptr, 0);
    } else if (info.flags & CKF_LOGIN_REQUIRED) {
        return fail(error, "no PIN for " + name + " (give pin-value, pin-source or TMD_PKCS11_PIN)");
    } else {
        return true;
    }
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) pin.wipe();
    switch (rv) {
        case CKR_OK:
            loggedIn = true;
            return true;
        case CKR_USER_ALREADY_LOGGED_IN:
            return true;
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            return fail(error, "wrong PIN for " + name);
        case CKR_PIN_LOCKED:
            return fail(error, "the token's user PIN is locked for " + name);
        default:
            return fail(error, "cannot log in to the token: " + rvText(rv) + " for " + name);
    }
}

bool TokenKey::State::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>* out) const {
    CK_ATTRIBUTE a = {type, nullptr, 0};
    if (fn->C_GetAttributeValue(session, object, &a, 1) != CKR_OK ||
        a.ulValueLen == static_cast<CK_ULONG>(-1) || a.ulValueLen > 4096)
        return false;
    out->resize(a.ulValueLen);
    a.pValue = out->data();
    return fn->C_GetAttributeValue(session, object, &a, 1) == CKR_OK && a.ulValueLen == out->size();
}

bool TokenKey::State::findKey(std::string* error) {
    std::array<CK_OBJECT_HANDLE, 16> found{};
    CK_RV rv;
    const CK_ULONG count = findKeys(fn, session, found.data(), found.size(), &rv);
    if (rv != CKR_OK) return fail(error, "cannot search the token: " + rvText(rv) + " for " + name);
    if (count == 0) return fail(error, "no private key matches " + name);
    if (count > 1)
        return fail(error, (count == found.size() ? "many" : std::to_string(count)) + " private keys match " +
                               name + "; make the URI more specific (object= or id=)");
    key = found[0];

    std::vector<uint8_t> type;
    if (attribute(key, CKA_KEY_TYPE, &type) && type.size() == sizeof keyType)
        std::memcpy(&keyType, type.data(), sizeof keyType);
    std::vector<uint8_t> always;
    alwaysAuthenticate = attribute(key, CKA_ALWAYS_AUTHENTICATE, &always) && always.size() == sizeof(CK_BBOOL) &&
                         always[0] == CK_TRUE;
    if (!alwaysAuthenticate) pin.wipe();
    if (alwaysAuthenticate && !pin.present && !protectedPath)
        return fail(error, "no PIN for " + name + ", whose key asks for it at every signature (give pin-value, "
                           "pin-source or TMD_PKCS11_PIN)");
    return keyType != CKK_RSA || readPublicHalf(error);
}

// Modulus and exponent from the private key object or, where the token keeps
// them only there, from the public key of the same ID.
bool TokenKey::State::readPublicHalf(std::string* error) {
    std::vector<uint8_t> n, e, id;
    if (!attribute(key, CKA_MODULUS, &n) || !attribute(key, CKA_PUBLIC_EXPONENT, &e)) {
        CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
        std::vector<CK_ATTRIBUTE> publicQuery{{CKA_CLASS, &publicClass, sizeof publicClass}};
        if (attribute(key, CKA_ID, &id)) publicQuery.push_back({CKA_ID, id.data(), id.size()});
        CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE;
        CK_ULONG count = 0;
        if (id.empty() || fn->C_FindObjectsInit(session, publicQuery.data(), publicQuery.size()) != CKR_OK)
            return fail(error, "cannot read the public key of " + name);
        fn->C_FindObjects(session, &pub, 1, &count);
        fn->C_FindObjectsFinal(session);
        if (count != 1 || !attribute(pub, CKA_MODULUS, &n) || !attribute(pub, CKA_PUBLIC_EXPONENT, &e))
            return fail(error, "cannot read the public key of " + name);
    }
    modulus = stripZeros(n.data(), n.size());
    exponent = stripZeros(e.data(), e.size());
    return chooseMechanism(error);
}

// CKM_RSA_PKCS signs DigestInfo || digest; a token that offers only raw RSA
// (CKM_RSA_X_509) is given the whole padded block.
bool TokenKey::State::chooseMechanism(std::string* error) {
    CK_ULONG count = 0;
    std::vector<CK_MECHANISM_TYPE> list;
    if (fn->C_GetMechanismList(slot, nullptr, &count) == CKR_OK) {
        list.resize(count);
        if (fn->C_GetMechanismList(slot, list.data(), &count) != CKR_OK) count = 0;
        list.resize(count);
    }
    for (CK_MECHANISM_TYPE m : {CKM_RSA_PKCS, CKM_RSA_X_509}) {
        if (std::find(list.begin(), list.end(), m) == list.end()) continue;
        CK_MECHANISM_INFO info;
        if (fn->C_GetMechanismInfo(slot, m, &info) == CKR_OK && !(info.flags & CKF_SIGN)) continue;
        mechanism = m;
        return true;
    }
    return fail(error, "the token offers neither CKM_RSA_PKCS nor CKM_RSA_X_509 signing for " + name);
}

// Logs in for the one operation just initialised; the token refuses C_Sign
// without it for a key with CKA_ALWAYS_AUTHENTICATE.
bool TokenKey::State::contextLogin(std::string* error) {
    const CK_RV rv = pin.present ? fn->C_Login(session, CKU_CONTEXT_SPECIFIC,
                                               reinterpret_cast<CK_UTF8CHAR_PTR>(pin.text.data()), pin.len)
                                 : fn->C_Login(session, CKU_CONTEXT_SPECIFIC, nullptr, 0);
    switch (rv) {
        case CKR_OK:
            return true;
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            return fail(error, "wrong PIN for the signature of " + name);
        case CKR_PIN_LOCKED:
            return fail(error, "the token's user PIN is locked for " + name);
        default:
            return fail(error, "cannot log in for the signature: " + rvText(rv) + " for " + name);
    }
}

TokenKey::TokenKey(std::unique_ptr<State> state) : s_(std::move(state)) {}
TokenKey::~TokenKey() = default;

std::unique_ptr<TokenKey> TokenKey::open(const char* text, bool pinValueAllowed, std::string* error) {
    auto state = std::make_unique<State>();
    UriPtr uri(p11_kit_uri_new(), p11_kit_uri_free);
    if (!uri) {
        *error = "out of memory";
        return nullptr;
    }
    // Whatever happens next, p11-kit's copy of the PIN does not outlive this call.
    struct WipePin {
        P11KitUri* u;
        ~WipePin() { wipeUriPin(u); }
    } wipePin{uri.get()};
    std::string why;
    state->name = readUri(text, uri.get(), &why);
    // Nothing of a URI that cannot be read is shown: where its PIN sits is unknown.
    if (state->name.empty()) {
        *error = "not a valid PKCS#11 URI (" + why + ")";
        return nullptr;
    }
    // A misspelt attribute would otherwise widen the search without a word.
    if (p11_kit_uri_any_unrecognized(uri.get())) {
        *error = "unknown attribute in the PKCS#11 URI " + state->name;
        return nullptr;
    }
    if (!pinValueAllowed && p11_kit_uri_get_pin_value(uri.get())) {
        *error = "a PIN on the command line is visible to every user; give pin-source or TMD_PKCS11_PIN "
                 "instead of pin-value in " + state->name;
        return nullptr;
    }
    if (!state->keyQuery(uri.get(), error) || !state->loadModules(uri.get(), error) ||
        !state->findToken(uri.get(), error) || !state->login(uri.get(), error) || !state->findKey(error))
        return nullptr;
    state->query.clear();  // it points into the URI
    return std::unique_ptr<TokenKey>(new TokenKey(std::move(state)));
}

const std::string& TokenKey::name() const { return s_->name; }
bool TokenKey::isRsa() const { return s_->keyType == CKK_RSA; }
const std::vector<uint8_t>& TokenKey::modulus() const { return s_->modulus; }
const std::vector<uint8_t>& TokenKey::exponent() const { return s_->exponent; }

bool TokenKey::fillSig(int32_t sigLength, uint8_t* object, int32_t objectSize, std::string* error) {
    const size_t k = static_cast<size_t>(sigLength);
    if (!isRsa() || s_->modulus.size() != k || k > kMaxModulus)
        return s_->fail(error, "the key of " + s_->name + " is not RSA-" + std::to_string(sigLength * 8));
    const ES_SigLayout* header = ES_GetSigLayoutBySigBytes(static_cast<uint32_t>(sigLength));
    if (!header) return s_->fail(error, "no signature type has " + std::to_string(sigLength) + " bytes");
    const auto signedStart = static_cast<int32_t>(header->signedStart);
    if (objectSize < signedStart) return s_->fail(error, "nothing to sign");

    uint8_t digest[SHA1_DIGEST_BYTES];
    csl_sha1(object + signedStart, static_cast<size_t>(objectSize - signedStart), digest);

    // The message the token signs: DigestInfo || digest for CKM_RSA_PKCS; for
    // CKM_RSA_X_509 the whole block 00 01 FF..FF 00 DigestInfo digest.
    std::array<uint8_t, kMaxModulus> block{};
    size_t len = kSha1DigestInfo.size() + sizeof digest;
    uint8_t* tail = block.data();
    if (s_->mechanism == CKM_RSA_X_509) {
        len = k;
        block[1] = 0x01;
        std::memset(block.data() + 2, 0xFF, k - 3 - kSha1DigestInfo.size() - sizeof digest);
        tail = block.data() + k - kSha1DigestInfo.size() - sizeof digest;
    }
    std::memcpy(tail, kSha1DigestInfo.data(), kSha1DigestInfo.size());
    std::memcpy(tail + kSha1DigestInfo.size(), digest, sizeof digest);

    CK_MECHANISM mech = {s_->mechanism, nullptr, 0};
    std::array<uint8_t, kMaxModulus> sig{};
    CK_ULONG sigLen = k;
    CK_RV rv = s_->fn->C_SignInit(s_->session, &mech, s_->key);
    if (rv == CKR_OK && s_->alwaysAuthenticate && !s_->contextLogin(error)) return false;
    if (rv == CKR_OK) rv = s_->fn->C_Sign(s_->session, block.data(), len, sig.data(), &sigLen);
    if (rv != CKR_OK) return s_->fail(error, "the token failed to sign: " + rvText(rv) + " for " + s_->name);
    if (sigLen == 0 || sigLen > k)
        return s_->fail(error, "the token returned a signature of the wrong length for " + s_->name);
    // A signature shorter than the modulus is a number with leading zeros.
    std::memmove(sig.data() + (k - sigLen), sig.data(), sigLen);
    std::memset(sig.data(), 0, k - sigLen);

    std::array<uint8_t, kMaxModulus> n{};
    std::memcpy(n.data(), s_->modulus.data(), k);
    if (s_->exponent.empty() || s_->exponent.size() > 4 ||
        CSL_VerifyRsaSig(digest, n.data(), sig.data(), s_->exponent.data(), static_cast<int>(s_->exponent.size()),
                         sigLength) != CSL_OK)
        return s_->fail(error, "the token's signature does not verify with its public key for " + s_->name);
    std::memcpy(object + ES_SIG_OFFSET, sig.data(), k);
    return true;
}

}  // namespace tool
