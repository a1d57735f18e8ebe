// The TMD report shared by the dump stage of tmd and by tmd-inspect.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tool {

// Prints the fields of a TMD whose buffer holds at least
// ES_GetTmdSize(numContents) bytes, in the dump layout.
void printTmdReport(FILE* out, const uint8_t* tmd);

// The same fields as one JSON object. Numbers are JSON numbers, except the
// IDs (title, group, content), which are fixed-width lower-case hexadecimal
// strings, and the reserved area and hashes (hex).
nlohmann::ordered_json tmdJson(const uint8_t* tmd);

// printf into a string: the messages a stage returns for its caller to print.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Lower-case hexadecimal text of a byte string.
std::string hexString(const uint8_t* p, size_t n);

// A byte text made safe for a terminal: bytes outside printable ASCII, and
// the backslash, become \xNN.
std::string escapeText(const std::string& s);

// A byte text as a JSON string: UTF-8 text as it is; any other byte string
// (a name or issuer from an untrusted file) byte for byte as the code points
// U+0000 to U+00FF, so that nothing is lost or refused.
nlohmann::ordered_json jsonText(const std::string& s);

}  // namespace tool
