#include "tool/batch/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>
#include <toml++/toml.h>

#include "es/cert.h"
#include "io/output_file.h"
#include "io/small_file.h"
#include "tool/common/pki_files.h"
#include "tool/common/tmdcheck.h"

namespace tool::batch {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTitleKeys[] = {"id", "layout", "type", "group-id", "system-version",
                                      "title-version", "boot-index", "title-key-file",
                                      "reserved-file", "content"};
constexpr const char* kContentKeys[] = {"file", "id", "index", "type"};

template <size_t N>
bool known(const char* const (&keys)[N], std::string_view key) {
    for (const char* k : keys)
        if (key == k) return true;
    return false;
}

int lineOf(const toml::node& n) { return static_cast<int>(n.source().begin.line); }

struct Checker {
    fs::path base;  // the manifest's directory
    std::vector<Problem>* problems;

    void problem(int line, std::string key, std::string message) {
        problems->push_back({line, std::move(key), std::move(message)});
    }

    // A hexadecimal string (0x optional) or a TOML integer of at most `bits`.
    std::optional<uint64_t> id(const toml::node& n, const std::string& key, int bits) {
        const uint64_t max = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
        if (const auto* i = n.as_integer()) {
            if (i->get() < 0 || static_cast<uint64_t>(i->get()) > max) {
                problem(lineOf(n), key, "out of range for " + std::to_string(bits) + " bits");
                return std::nullopt;
            }
            return static_cast<uint64_t>(i->get());
        }
        const auto* s = n.as_string();
        if (!s) {
            problem(lineOf(n), key, "expected a hexadecimal string or an integer");
            return std::nullopt;
        }
        std::string_view text = s->get();
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
        uint64_t value = 0;
        bool ok = !text.empty() && text.size() <= static_cast<size_t>(bits / 4);
        for (char c : text) {
            int d = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) ok = false;
            else value = value << 4 | static_cast<uint64_t>(d);
        }
        if (!ok) {
            problem(lineOf(n), key,
                    "'" + std::string(s->get()) + "' is not a hexadecimal number of at most " +
                        std::to_string(bits / 4) + " digits");
            return std::nullopt;
        }
        return value;
    }

    std::optional<uint64_t> integer(const toml::node& n, const std::string& key, uint64_t min,
                                    uint64_t max) {
        const auto* i = n.as_integer();
        if (!i) {
            problem(lineOf(n), key, "expected an integer");
            return std::nullopt;
        }
        if (i->get() < 0 || static_cast<uint64_t>(i->get()) < min || static_cast<uint64_t>(i->get()) > max) {
            problem(lineOf(n), key,
                    std::to_string(i->get()) + " is out of range (" + std::to_string(min) + " to " +
                        std::to_string(max) + ")");
            return std::nullopt;
        }
        return static_cast<uint64_t>(i->get());
    }

    std::optional<std::string> string(const toml::node& n, const std::string& key) {
        const auto* s = n.as_string();
        if (!s) {
            problem(lineOf(n), key, "expected a string");
            return std::nullopt;
        }
        return s->get();
    }

    // An input file: relative to the manifest, a readable regular file of
    // at least `minBytes`.
    std::optional<std::string> input(const toml::node& n, const std::string& key, uint64_t minBytes) {
        const auto name = string(n, key);
        if (!name) return std::nullopt;
        if (name->empty()) {
            problem(lineOf(n), key, "empty file name");
            return std::nullopt;
        }
        const std::string path = fs::absolute(base / *name).lexically_normal().string();
        // Opened without waiting for a FIFO's writer: its type is refused below.
        const tmd_io::UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        struct stat st {};
        std::string why;
        if (in.fd < 0) why = std::string("cannot be read: ") + std::strerror(errno);
        else if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) why = "is not a regular file";
        else if (static_cast<uint64_t>(st.st_size) < minBytes)
            why = "is shorter than " + std::to_string(minBytes) + " bytes";
        if (!why.empty()) {
            problem(lineOf(n), key, path + " " + why);
            return std::nullopt;
        }
        return path;
    }
};

std::string hex16(uint64_t v) {
    char s[17];
    std::snprintf(s, sizeof s, "%016llx", static_cast<unsigned long long>(v));
    return s;
}

std::string hex8(uint32_t v) {
    char s[9];
    std::snprintf(s, sizeof s, "%08x", v);
    return s;
}

struct TitleCheck {
    Checker& c;
    const toml::table* defaults;
    std::string where;  // title[i]

    // The title's own value or the default, with the key to name.
    std::pair<const toml::node*, std::string> get(const toml::table& t, const char* key) const {
        if (const toml::node* n = t.get(key)) return {n, where + "." + key};
        if (defaults)
            if (const toml::node* n = defaults->get(key)) return {n, std::string("defaults.") + key};
        return {nullptr, {}};
    }
};

std::optional<ManifestTitle> readTitle(Checker& c, const toml::table* defaults, const toml::table& t,
                                       size_t i) {
    TitleCheck tc{c, defaults, "title[" + std::to_string(i) + "]"};
    const size_t before = c.problems->size();
    ManifestTitle mt;
    mt.line = lineOf(t);
    TitleConfig& cfg = mt.config;
    nlohmann::json norm;

    for (auto&& [k, v] : t)
        if (!known(kTitleKeys, k.str()))
            c.problem(lineOf(v), tc.where + "." + std::string(k.str()), "unknown key");

    if (const toml::node* n = t.get("id")) {
        if (auto v = c.id(*n, tc.where + ".id", 64)) {
            cfg.tid = *v;
            if ((cfg.tid >> 32) <= 2)
                c.problem(lineOf(*n), tc.where + ".id",
                          "title ID " + hex16(cfg.tid) + ": its upper 32 bits must be above 2");
        }
    } else {
        c.problem(mt.line, tc.where + ".id", "missing");
    }
    if (auto [n, key] = tc.get(t, "layout"); n) {
        if (auto s = c.string(*n, key)) {
            if (*s == "disc") cfg.disc = true;
            else if (*s != "plain") c.problem(lineOf(*n), key, "'" + *s + "' is neither \"plain\" nor \"disc\"");
        }
    }
    if (auto [n, key] = tc.get(t, "type"); n) {
        if (auto v = c.integer(*n, key, 0, 0xFFFFFFFF)) {
            cfg.ttype = static_cast<uint32_t>(*v);
            if (!isAllowedTitleType(cfg.ttype)) c.problem(lineOf(*n), key, "not an allowed title type");
        }
    }
    if (auto [n, key] = tc.get(t, "group-id"); n)
        if (auto v = c.integer(*n, key, 2, 0xFFFF)) cfg.groupId = static_cast<uint16_t>(*v);
    if (auto [n, key] = tc.get(t, "system-version"); n) {
        if (auto v = c.id(*n, key, 64)) {
            cfg.sysVersion = *v;
            if ((*v >> 32) != 1) c.problem(lineOf(*n), key, "its upper 32 bits must be 1");
        }
    }
    if (auto [n, key] = tc.get(t, "title-version"); n)
        if (auto v = c.integer(*n, key, 0, 0xFFFF)) cfg.titleVersion = static_cast<uint16_t>(*v);
    const toml::node* bootNode = nullptr;
    std::string bootKey;
    if (auto [n, key] = tc.get(t, "boot-index"); n) {
        bootNode = n;
        bootKey = key;
        if (auto v = c.integer(*n, key, 0, 0xFFFF)) cfg.bidx = static_cast<uint16_t>(*v);
    }
    if (auto [n, key] = tc.get(t, "title-key-file"); n)
        if (auto p = c.input(*n, key, 16)) cfg.titleKeyFile = *p;
    std::string reservedFile;
    if (auto [n, key] = tc.get(t, "reserved-file"); n) {
        if (auto p = c.input(*n, key, 32)) {
            reservedFile = *p;
            if (tmd_io::readFilePrefix(p->c_str(), cfg.reserved1.data(), cfg.reserved1.size()).status !=
                tmd_io::ReadStatus::ok)
                c.problem(lineOf(*n), key, *p + " cannot be read");
        }
    }

    const toml::node* contentNode = t.get("content");
    const toml::array* list = contentNode ? contentNode->as_array() : nullptr;
    if (!contentNode) {
        c.problem(mt.line, tc.where + ".content", "missing: a title needs at least one [[title.content]]");
    } else if (!list || !list->is_array_of_tables() || list->empty()) {
        c.problem(lineOf(*contentNode), tc.where + ".content", "expected one or more [[title.content]] tables");
    } else if (list->size() > ES_MAX_CONTENTS) {
        c.problem(lineOf(*contentNode), tc.where + ".content",
                  std::to_string(list->size()) + " contents (at most " + std::to_string(ES_MAX_CONTENTS) + ")");
    } else {
        const size_t count = list->size();
        std::map<uint32_t, int> ids;
        std::map<uint16_t, int> indexes;
        nlohmann::json contents = nlohmann::json::array();
        for (size_t j = 0; j < count; ++j) {
            const toml::table& ct = *(*list)[j].as_table();
            const std::string w = tc.where + ".content[" + std::to_string(j) + "]";
            const int line = lineOf(ct);
            TitleContent content;
            content.index = static_cast<uint16_t>(j);
            content.type = cfg.disc ? 0x3 : 0x1;
            for (auto&& [k, v] : ct)
                if (!known(kContentKeys, k.str())) c.problem(lineOf(v), w + "." + std::string(k.str()), "unknown key");
            if (const toml::node* n = ct.get("file")) {
                if (auto p = c.input(*n, w + ".file", 0)) content.file = *p;
            } else {
                c.problem(line, w + ".file", "missing");
            }
            if (const toml::node* n = ct.get("id")) {
                if (auto v = c.id(*n, w + ".id", 32)) {
                    content.cid = static_cast<uint32_t>(*v);
                    if (auto [it, fresh] = ids.emplace(content.cid, lineOf(*n)); !fresh)
                        c.problem(lineOf(*n), w + ".id",
                                  "content ID " + hex8(content.cid) + " already used on line " +
                                      std::to_string(it->second));
                }
            } else {
                c.problem(line, w + ".id", "missing");
            }
            const toml::node* in = ct.get("index");
            if (in) {
                if (auto v = c.integer(*in, w + ".index", 0, count - 1))
                    content.index = static_cast<uint16_t>(*v);
                else
                    in = nullptr;
            }
            if (auto [it, fresh] = indexes.emplace(content.index, in ? lineOf(*in) : line); !fresh)
                c.problem(in ? lineOf(*in) : line, w + ".index",
                          "content index " + std::to_string(content.index) + " already used on line " +
                              std::to_string(it->second));
            if (const toml::node* n = ct.get("type")) {
                if (auto v = c.integer(*n, w + ".type", 0, 0xFFFF)) {
                    content.type = static_cast<uint16_t>(*v);
                    if (!isAllowedContentType(content.type))
                        c.problem(lineOf(*n), w + ".type", "not an allowed content type");
                }
            }
            contents.push_back({{"file", content.file}, {"id", hex8(content.cid)},
                                {"index", content.index}, {"type", content.type}});
            cfg.contents.push_back(std::move(content));
        }
        if (cfg.bidx >= count && cfg.bidx != 0x1FF && bootNode)
            c.problem(lineOf(*bootNode), bootKey,
                      "boot index " + std::to_string(cfg.bidx) + " is neither below the " +
                          std::to_string(count) + " contents nor 511");
        norm["content"] = std::move(contents);
    }
    if (c.problems->size() != before) return std::nullopt;

    norm["id"] = hex16(cfg.tid);
    norm["layout"] = cfg.disc ? "disc" : "plain";
    norm["type"] = cfg.ttype;
    norm["group-id"] = cfg.groupId;
    norm["system-version"] = hex16(cfg.sysVersion);
    norm["title-version"] = cfg.titleVersion;
    norm["boot-index"] = cfg.bidx;
    norm["title-key-file"] = cfg.titleKeyFile;
    norm["reserved-file"] = reservedFile;
    mt.normalized = norm.dump();
    return mt;
}

void readPki(Checker& c, const toml::table& root, bool tokenSigns, Manifest* m) {
    if (const toml::node* n = root.get("pki")) {
        const auto s = c.string(*n, "pki");
        if (!s) return;
        const fs::path dir = fs::absolute(c.base / *s).lexically_normal();
        const auto keyDir = keyDirectoryIn(dir);
        if (!keyDir) {
            c.problem(lineOf(*n), "pki", dir.string() + " holds no key files");
            return;
        }
        m->keys = {(*keyDir / kCommonKeyFile).string(), (*keyDir / kCpCertFile).string(),
                   (*keyDir / kCpKeyFile).string()};
    } else {
        std::string error;
        if (!keyFilesFromEnvironment(&m->keys, &error)) {
            if (!error.empty() && error.back() == '\n') error.pop_back();
            c.problem(1, "pki", "not given, and " + error);
            return;
        }
    }
    const std::pair<const std::string*, uint64_t> files[] = {
        {&m->keys.commonKey, 16}, {&m->keys.cert, ES_GetCertLayout(ES_SIG_RSA2048, ES_PUBKEY_RSA2048)->size}, {&m->keys.rsa, tokenSigns ? 0 : 1}};
    for (const auto& [path, minBytes] : files) {
        if (minBytes == 0) continue;
        struct stat st {};
        if (::access(path->c_str(), R_OK) != 0 || ::stat(path->c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<uint64_t>(st.st_size) < minBytes)
            c.problem(root.get("pki") ? lineOf(*root.get("pki")) : 1, "pki",
                      "key file " + *path + " is missing, unreadable or too short");
    }
}

}  // namespace

std::string titleDirName(uint64_t tid) { return hex16(tid); }

void readManifest(const fs::path& file, bool tokenSigns, Manifest* m, std::vector<Problem>* problems) {
    problems->clear();
    Checker c{fs::absolute(file).parent_path(), problems};
    toml::table root;
    try {
        root = toml::parse_file(file.string());
    } catch (const toml::parse_error& e) {
        c.problem(static_cast<int>(e.source().begin.line), "", std::string(e.description()));
        return;
    }

    for (auto&& [k, v] : root)
        if (k.str() != "out" && k.str() != "pki" && k.str() != "defaults" && k.str() != "title")
            c.problem(lineOf(v), std::string(k.str()), "unknown key");

    m->out = c.base;
    if (const toml::node* n = root.get("out"))
        if (auto s = c.string(*n, "out")) m->out = fs::absolute(c.base / *s).lexically_normal();
    readPki(c, root, tokenSigns, m);

    const toml::table* defaults = nullptr;
    if (const toml::node* n = root.get("defaults")) {
        defaults = n->as_table();
        if (!defaults) {
            c.problem(lineOf(*n), "defaults", "expected a table");
        } else {
            for (auto&& [k, v] : *defaults)
                if (!known(kTitleKeys, k.str()) || k.str() == "id" || k.str() == "content")
                    c.problem(lineOf(v), "defaults." + std::string(k.str()),
                              "unknown key (defaults hold any title key but id and content)");
        }
    }

    const toml::node* titles = root.get("title");
    const toml::array* list = titles ? titles->as_array() : nullptr;
    if (!titles) {
        c.problem(1, "title", "the manifest lists no [[title]]");
        return;
    }
    if (!list || !list->is_array_of_tables()) {
        c.problem(lineOf(*titles), "title", "expected [[title]] tables");
        return;
    }
    std::map<uint64_t, int> seen;
    for (size_t i = 0; i < list->size(); ++i) {
        const toml::table& t = *(*list)[i].as_table();
        auto title = readTitle(c, defaults, t, i);
        if (!title) continue;
        if (auto [it, fresh] = seen.emplace(title->config.tid, title->line); !fresh) {
            const toml::node* idNode = t.get("id");
            c.problem(idNode ? lineOf(*idNode) : title->line, "title[" + std::to_string(i) + "].id",
                      "title ID " + hex16(title->config.tid) + " already listed on line " +
                          std::to_string(it->second));
            continue;
        }
        m->titles.push_back(std::move(*title));
    }
}

}  // namespace tool::batch
