// RSA key file reader on arbitrary text. A key that is accepted must survive
// a save and re-read unchanged, and a signature made with it must check.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "util/rsautil.h"

namespace {

struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;
struct KeyFree {
    void operator()(RsaKeyPair* k) const { RUTIL_FreeRsaKeyPair(k); }
};
using KeyPtr = std::unique_ptr<RsaKeyPair, KeyFree>;

std::vector<uint8_t> modulus(const RsaKeyPair* key) {
    std::vector<uint8_t> n(RUTIL_MAX_COMPONENT_BYTES);
    int len = 0;
    if (RUTIL_GetPublicKey(key, n.data(), &len) != 0) std::abort();
    n.resize(static_cast<size_t>(len));
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    std::vector<uint8_t> text(data, data + size);
    FilePtr in(fmemopen(text.data(), text.size(), "rb"));
    if (!in) return 0;
    // A label buffer smaller than most labels exercises the cut.
    char label[8];
    KeyPtr key(RUTIL_ReadRsaKeyPair(in.get(), label, sizeof label));
    if (!key) return 0;
    if (std::strlen(label) >= sizeof label) std::abort();

    // Save and read back: the same key, the same label.
    char* saved = nullptr;
    size_t savedLen = 0;
    FILE* out = open_memstream(&saved, &savedLen);
    if (!out) return 0;
    const int wrote = RUTIL_SaveRsaKeyPair(out, label[0] ? label : nullptr, key.get());
    std::fclose(out);
    std::unique_ptr<char, decltype(&std::free)> savedOwner(saved, &std::free);
    if (wrote != 0) std::abort();
    FilePtr back(fmemopen(saved, savedLen, "rb"));
    char label2[sizeof label];
    KeyPtr again(back ? RUTIL_ReadRsaKeyPair(back.get(), label2, sizeof label2) : nullptr);
    if (!again || modulus(again.get()) != modulus(key.get()) || std::strcmp(label, label2) != 0)
        std::abort();

    // Signing may refuse a key (a modulus too small or too large for the
    // block, a damaged private part), but what it signs must verify.
    static const uint8_t message[] = "fuzz";
    std::vector<uint8_t> signature(RUTIL_MAX_COMPONENT_BYTES);
    if (modulus(key.get()).size() <= 512 &&
        RUTIL_SignData(key.get(), message, sizeof message, signature.data()) == 0 &&
        RUTIL_VerifyData(key.get(), message, sizeof message, signature.data()) != 0)
        std::abort();
    return 0;
}
