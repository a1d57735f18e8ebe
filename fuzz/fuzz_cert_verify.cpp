// Certificate accessors and the verification dispatch on arbitrary
// certificate bytes of any size, arbitrary objects and signature lengths.
// Every buffer is an exact-size heap copy, so any read past what the caller
// handed over is caught.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "es/cert.h"
#include "util/utils.h"

namespace {

constexpr int32_t kSigLengths[] = {512, 256, 60, 128, 0, -1};
constexpr size_t kCertSizes[] = {1280, 1024, 768, 576, 384};

void checkAccessors(const std::vector<uint8_t>& cert) {
    // The accessors take a certificate of its own declared layout; they are
    // only ever handed buffers of the largest layout.
    uint8_t issuer[64];
    uint8_t name[64];
    (void)ES_GetCertNames(cert.data(), issuer, name);
    uint32_t len = 0;
    const uint8_t* key = ES_GetCertPubKey(cert.data(), &len);
    if (key) {
        if (key < cert.data() || key + len > cert.data() + cert.size()) std::abort();
    }
    (void)ES_GetCertSize(es_get_be32(cert.data()), es_get_be32(cert.data() + 0x180));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t sigLength = in.PickValueInArray(kSigLengths);
    const int32_t fromCert = in.ConsumeBool() ? 1 : 0;
    // Mostly the sizes the dispatch knows, sometimes anything up to the
    // largest layout and a little beyond.
    const size_t certSize = in.ConsumeBool() ? in.PickValueInArray(kCertSizes)
                                             : in.ConsumeIntegralInRange<size_t>(0, 1400);
    std::vector<uint8_t> cert = in.ConsumeBytes<uint8_t>(certSize);
    cert.resize(certSize);
    std::vector<uint8_t> object = in.ConsumeRemainingBytes<uint8_t>();

    std::vector<uint8_t> full(cert);
    full.resize(1280);
    checkAccessors(full);

    const int32_t r = utilVerify2(cert.empty() ? nullptr : cert.data(),
                                  static_cast<int32_t>(cert.size()), sigLength,
                                  object.empty() ? nullptr : object.data(),
                                  static_cast<int32_t>(object.size()), fromCert);
    // Random bytes never make a valid signature: anything but 0 is expected.
    if (r == 0 && object.size() < 4) std::abort();

    if (cert.size() >= 384 && object.size() >= 60) {
        (void)ES_VerifyDeviceCert(cert.data(), object.data());
        (void)ES_VerifyEccSig(object.data(), cert.data(), static_cast<uint32_t>(cert.size()),
                              cert.data() + 4);
    }
    return 0;
}
