// A PKCS#11 module for tests: it passes every call to the real module named
// by TMD_P11_FAULT_TARGET and injects the one fault TMD_P11_FAULT names, for
// failures a software token cannot be made to show:
//   locked   C_Login answers CKR_PIN_LOCKED
//   sign     C_Sign answers CKR_DEVICE_ERROR
//   corrupt  C_Sign returns the signature with its last bit flipped
//   x509     C_GetMechanismList leaves CKM_RSA_PKCS out (raw RSA only)
//   pubonly  private keys do not show their modulus (the public key does)
#include <dlfcn.h>

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

CK_FUNCTION_LIST real;
CK_FUNCTION_LIST shim;

bool fault(const char* name) {
    const char* f = std::getenv("TMD_P11_FAULT");
    return f && std::strcmp(f, name) == 0;
}

CK_RV login(CK_SESSION_HANDLE s, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
    return fault("locked") ? CKR_PIN_LOCKED : real.C_Login(s, user, pin, len);
}

CK_RV sign(CK_SESSION_HANDLE s, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen) {
    if (fault("sign")) return CKR_DEVICE_ERROR;
    const CK_RV rv = real.C_Sign(s, data, len, sig, sigLen);
    if (rv == CKR_OK && sig && *sigLen && fault("corrupt")) sig[*sigLen - 1] ^= 1;
    return rv;
}

CK_RV mechanisms(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    const CK_RV rv = real.C_GetMechanismList(slot, list, count);
    if (rv == CKR_OK && list && fault("x509"))
        *count = static_cast<CK_ULONG>(std::remove(list, list + *count, CKM_RSA_PKCS) - list);
    return rv;
}

CK_RV attributes(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attrs, CK_ULONG count) {
    if (fault("pubonly")) {
        CK_OBJECT_CLASS cls = 0;
        CK_ATTRIBUTE query = {CKA_CLASS, &cls, sizeof cls};
        if (real.C_GetAttributeValue(s, object, &query, 1) == CKR_OK && cls == CKO_PRIVATE_KEY)
            for (CK_ULONG i = 0; i < count; ++i)
                if (attrs[i].type == CKA_MODULUS) return CKR_ATTRIBUTE_SENSITIVE;
    }
    return real.C_GetAttributeValue(s, object, attrs, count);
}

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
    const char* target = std::getenv("TMD_P11_FAULT_TARGET");
    void* module = target ? dlopen(target, RTLD_NOW | RTLD_LOCAL) : nullptr;
    auto get = module ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (!get || get(&list) != CKR_OK || !list) return CKR_GENERAL_ERROR;
    real = *list;
    shim = real;
    shim.C_GetFunctionList = C_GetFunctionList;
    shim.C_Login = login;
    shim.C_Sign = sign;
    shim.C_GetMechanismList = mechanisms;
    shim.C_GetAttributeValue = attributes;
    *out = &shim;
    return CKR_OK;
}
