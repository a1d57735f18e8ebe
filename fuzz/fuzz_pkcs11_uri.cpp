// The one reader of PKCS#11 URIs: whatever text it is given and wherever a
// pin-value sits in it, no message built from the reader's result shows the
// PIN, and every such message is one line. The PIN is marked by a character
// ('~') that the rest of the text is stripped of, in plain and in
// percent-encoded form (and of white space, which the parser drops), so any
// '~' (or %7E) in a message can only be the PIN.
#include <fuzzer/FuzzedDataProvider.h>

#include <p11-kit/uri.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "tool/common/pkcs11_signer.h"

namespace {

const char* const kSeparators[] = {"?", "&", ";", "& ", " &", "&\n", "?\t", "\n", ""};

// Removes every '~' and every %7E / %7e, again until none is left: removing
// one can join the pieces of another. White space goes first, as the parser
// drops it before decoding ("%\v7E" is a '~').
std::string withoutMarker(std::string s) {
    std::erase_if(s, [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '~') {
                s.erase(i, 1);
                changed = true;
                break;
            }
            if (s[i] == '%' && i + 2 < s.size() && s[i + 1] == '7' &&
                (s[i + 2] == 'e' || s[i + 2] == 'E')) {
                s.erase(i, 3);
                changed = true;
                break;
            }
        }
    }
    return s;
}

bool showsPin(const std::string& message) {
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '~') return true;
        if (message[i] == '%' && i + 2 < message.size() && message[i + 1] == '7' &&
            (message[i + 2] == 'e' || message[i + 2] == 'E'))
            return true;
    }
    return false;
}

bool oneLine(const std::string& message) {
    for (unsigned char c : message)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

// Says what went wrong, with every byte outside printable ASCII escaped, and
// stops the run.
[[noreturn]] void fail(const char* what, const std::string& text, const std::string& message) {
    auto show = [](const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            char b[8];
            std::snprintf(b, sizeof b, c < 0x20 || c >= 0x7F ? "\\x%02x" : "%c", c);
            out += b;
        }
        return out;
    };
    std::fprintf(stderr, "%s\ntext: %s\nmessage: %s\n", what, show(text).c_str(),
                 show(message).c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string pin = "~";
    for (char c : in.ConsumeRandomLengthString(16))
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_')
            pin += c;
    const std::string separator = in.PickValueInArray(kSeparators);
    const bool scheme = in.ConsumeBool();
    const size_t position = in.ConsumeIntegral<uint16_t>();
    const std::string rest = withoutMarker(in.ConsumeRemainingBytesAsString());
    const size_t at = position % (rest.size() + 1);
    const std::string text = std::string(scheme ? "pkcs11:" : "") + rest.substr(0, at) + separator +
                             "pin-value=" + pin + rest.substr(at);

    std::string why;
    const std::string shown = tool::shownPkcs11Uri(text, &why);
    // What TokenKey::open and every later message build from the result.
    const std::string message =
        shown.empty() ? "not a valid PKCS#11 URI (" + why + ")" : "no private key matches " + shown;
    if (showsPin(message) || showsPin(why)) fail("a message shows the PIN", text, message);
    if (!oneLine(message)) fail("a message is not one line", text, message);

    if (!shown.empty()) {
        // The shown form is itself a URI, and one without a PIN.
        std::unique_ptr<P11KitUri, void (*)(P11KitUri*)> again(p11_kit_uri_new(), p11_kit_uri_free);
        if (p11_kit_uri_parse(shown.c_str(), P11_KIT_URI_FOR_ANY, again.get()) != P11_KIT_URI_OK)
            fail("the shown form does not parse", text, shown);
        if (p11_kit_uri_get_pin_value(again.get())) fail("the shown form has a PIN", text, shown);
    }
    return 0;
}
