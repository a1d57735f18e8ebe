// Where an engine puts a file it names itself: in the caller's output
// directory, or the current one when it gives none.
#pragma once
#include <string>

inline std::string es_outputPath(const char* dir, const char* name) {
    if (!dir || !*dir) return name;
    std::string path = dir;
    if (path.back() != '/') path += '/';
    return path + name;
}
