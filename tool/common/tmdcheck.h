// Checks that stand between bytes the tool did not write and the stages that
// index tables with them: the content lists and imported content records
// (before any stage runs) and a TMD file read back for the dump; and the
// check that the signing key is the certificate's, before anything is
// written. They report instead of ending the process (but for an unreadable
// certificate), so that they can be exercised on their own.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "es/tmd.h"

namespace tool {

// The contents of a title as the command line gave them: numContents entries
// of index and cids, and numInCmds records loaded from the files cmdFiles.
struct ContentLists {
    uint16_t numContents = 0;
    const uint16_t* index = nullptr;
    const uint32_t* cids = nullptr;
    uint16_t bidx = 0;
    uint16_t numInCmds = 0;
    const ContentRecord* cmds = nullptr;
    const char* const* cmdFiles = nullptr;
};

// The messages (each one line with its newline) that refuse the lists, in the
// order they are to be printed; empty when the lists are usable. Two
// command-line contents with one content ID are refused: both would be
// written to one "%08x.app" and the first one lost. On success
// the title holds at most ES_MAX_CONTENTS contents, every record's index lies
// below that total and every command-line index below ES_MAX_CONTENTS, so
// the stages may index their 512-entry tables with them.
std::vector<std::string> checkContentLists(const ContentLists& lists);

// The title types and content types a title may carry (tmd -C and -t; the
// manifest of tmd-batch).
bool isAllowedTitleType(uint32_t type);
bool isAllowedContentType(uint16_t type);

enum class TmdFileCheck {
    ok,
    tooLarge,      // larger than a TMD of ES_MAX_CONTENTS records
    tooShort,      // shorter than the TMD header
    fewerRecords,  // numContents claims more records than the file holds
};

// Before reading: a file of fileSize bytes fits a buffer of bufferSize bytes
// and holds at least a TMD header.
TmdFileCheck checkTmdFileSize(uint64_t fileSize, uint64_t bufferSize);

// After reading fileSize bytes (already passed by checkTmdFileSize) into tmd:
// the TMD's own numContents is covered by the file.
TmdFileCheck checkTmdRecords(const uint8_t* tmd, uint32_t fileSize);

// Why TMDs signed with the RSA key whose public half is (modulus, exponent),
// big-endian, would not verify against the content-publishing certificate
// file certPath: "the key of KEY is not RSA-2048", "the certificate CERT
// holds no RSA-2048 key" or "the key of KEY does not match the certificate
// CERT" (no line end), keyName standing for KEY; empty when they would. The
// certificate is read with utilFread, which ends the process when it cannot.
std::string signingKeyMismatch(const char* certPath, const std::string& keyName,
                               const std::vector<uint8_t>& modulus,
                               const std::vector<uint8_t>& exponent);

// signingKeyMismatch for the key in the RSA key file keyPath. Empty as well
// when the key file or the certificate cannot be read: the stages that use
// them report that as they always have.
std::string keyFileMismatch(const char* keyPath, const char* certPath);

// "%lx.cmd" of a content record's content ID.
std::string contentRecordFileName(const uint8_t* record);

}  // namespace tool
