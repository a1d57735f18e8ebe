// The TMD report shared by the dump stage of tmd and by tmd-inspect.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tool {

// Prints the fields of a TMD whose buffer holds at least
// ES_GetTmdSize(numContents) bytes, in the dump layout.
void printTmdReport(FILE* out, const uint8_t* tmd);

// The same fields as one JSON object (no trailing newline). Numbers are JSON
// numbers, except the IDs (title, group, content), which are fixed-width
// lower-case hexadecimal strings, and the reserved area and hashes (hex).
std::string tmdJson(const uint8_t* tmd);

// Lower-case hexadecimal text of a byte string.
std::string hexString(const uint8_t* p, size_t n);

// A byte text made safe for a terminal: bytes outside printable ASCII, and
// the backslash, become \xNN.
std::string escapeText(const std::string& s);

// JSON string literal of a byte text (escapes quotes, backslashes and
// control characters; bytes above 0x7F as \u00XX).
std::string jsonString(const std::string& s);

}  // namespace tool
