// Where a PKI's key files live: their names, the two layouts tmd-pki init
// makes (one for each environment variable tmd reads), and the lookup that
// tmd-inspect and tmd-pki share.
#pragma once
#include <filesystem>
#include <optional>

namespace tool {

inline constexpr const char* kCommonKeyFile = "common_dpki.aesKey";
inline constexpr const char* kCpCertFile = "cp_dpki.cert";
inline constexpr const char* kCpKeyFile = "cp_dpki.rsa";
inline constexpr const char* kCaCertFile = "ca_dpki.cert";
inline constexpr const char* kCaKeyFile = "ca_dpki.rsa";

inline constexpr const char* kSdkLayout = "X86/bin/pki_data";   // under KESSARIVON_SDK_ROOT
inline constexpr const char* kRootLayout = "usr/etc/pki_data";  // under ROOT

// The key-file directory of the PKI named by dir: dir itself when it holds
// one of the key files, else the first of the two layouts inside it that
// does; nothing when none does.
std::optional<std::filesystem::path> keyDirectoryIn(const std::filesystem::path& dir);

}  // namespace tool
