// The catalogue manifest of tmd-batch: a TOML file read with toml++ and
// checked as strictly as tmd checks its command line, but without its lax
// numbers: IDs are hexadecimal strings (with or without 0x) or TOML
// integers, every other number a TOML integer, and nothing is truncated,
// wrapped or read as octal.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "tool/tmd/build.h"

namespace tool::batch {

struct ManifestTitle {
    TitleConfig config;      // paths made absolute
    int line = 0;            // of its [[title]] table
    std::string normalized;  // the entry with defaults applied, as canonical JSON
};

struct Manifest {
    std::filesystem::path out;  // absolute
    KeyFiles keys;
    std::vector<ManifestTitle> titles;
};

struct Problem {
    int line = 0;
    std::string key;  // e.g. title[2].content[0].id; empty for the file as a whole
    std::string message;
};

// Reads and checks the manifest and everything it names (the inputs must be
// readable regular files of the sizes tmd reads from them; the PKI's key
// files too, the RSA key file unless `tokenSigns`). Every problem is
// collected, in file order; the manifest is usable when there is none.
void readManifest(const std::filesystem::path& file, bool tokenSigns, Manifest* manifest,
                  std::vector<Problem>* problems);

// Sixteen lower-case hexadecimal digits of a title ID: its directory's name.
std::string titleDirName(uint64_t tid);

}  // namespace tool::batch
