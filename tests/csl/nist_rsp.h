// Reader for the NIST CAVP response files (.rsp): "KEY = value" lines grouped
// into records by blank lines, under optional "[SECTION]" headers.
#pragma once
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace rsp {

struct Record {
    std::string section;                     // last "[...]" header seen, without brackets
    std::map<std::string, std::string> fields;
    bool has(const std::string& k) const { return fields.count(k) != 0; }
    const std::string& at(const std::string& k) const { return fields.at(k); }
};

inline std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Returns an empty list when the file cannot be read.
inline std::vector<Record> load(const std::string& path) {
    std::vector<Record> out;
    std::ifstream in(path);
    std::string line, section;
    Record cur;
    auto flush = [&] {
        if (!cur.fields.empty()) out.push_back(cur);
        cur = Record{};
        cur.section = section;
    };
    while (std::getline(in, line)) {
        const std::string t = trim(line);
        if (t.empty()) {
            flush();
            continue;
        }
        if (t[0] == '#') continue;
        if (t[0] == '[') {
            flush();
            section = t.substr(1, t.find(']') - 1);
            cur.section = section;
            continue;
        }
        const auto eq = t.find('=');
        if (eq == std::string::npos) continue;
        cur.fields[trim(t.substr(0, eq))] = trim(t.substr(eq + 1));
    }
    flush();
    return out;
}

}  // namespace rsp
