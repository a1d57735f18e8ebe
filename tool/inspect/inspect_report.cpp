// The report of one TMD: the verdict, and the text and JSON that say what was
// checked, what failed and what was not checked.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "tool/common/inspect.h"
#include "tool/common/report.h"

namespace inspect {

namespace {

constexpr int kSchemaVersion = 1;

struct GroupState {
    Status status;
    std::string reason;  // first failing check's name, or why it was skipped
};

GroupState stateOf(const Report& r, Group g) {
    GroupState s{Status::ok, ""};
    bool any = false;
    for (const Check& c : r.checks) {
        if (c.group != g) continue;
        any = true;
        if (c.status == Status::failed) return {Status::failed, c.name};
        if (c.status == Status::skipped && s.status == Status::ok) s = {Status::skipped, c.detail};
    }
    return any ? s : GroupState{Status::skipped, "not reached"};
}

constexpr Group kGroups[] = {Group::signature, Group::chain, Group::contents};

const char* groupName(Group g) {
    return g == Group::signature ? "signature" : g == Group::chain ? "chain" : "contents";
}

const char* statusName(Status s) { return s == Status::ok ? "ok" : s == Status::failed ? "failed" : "skipped"; }

bool anyFailed(const Report& r) {
    for (const Check& c : r.checks)
        if (c.status == Status::failed) return true;
    return false;
}

// The verdict as a word for JSON and as a sentence for text.
const char* resultName(const Report& r) {
    switch (exitStatus(r)) {
        case 1: return "bad input";
        case 0: return r.signatureOnly ? "signature verified" : "verified";
        default: return anyFailed(r) ? "not verified" : "incomplete";
    }
}

const char* verdictLine(const Report& r) {
    switch (exitStatus(r)) {
        case 0:
            return r.signatureOnly ? "signature verifies (--signature-only: chain and contents not checked)"
                                   : "package verifies";
        default:
            return anyFailed(r) ? "package does NOT verify" : "package NOT verified: not every check was made";
    }
}

std::string summaryLine(const Report& r) {
    std::string s;
    for (Group g : kGroups) {
        const GroupState st = stateOf(r, g);
        if (!s.empty()) s += "; ";
        s += groupName(g);
        s += ": ";
        s += st.status == Status::ok       ? "ok"
             : st.status == Status::failed ? "FAILED (" + st.reason + ")"
                                           : "not checked (" + st.reason + ")";
    }
    return s;
}

}  // namespace

int exitStatus(const Report& r) {
    if (!r.error.empty()) return 1;
    for (const Check& c : r.checks) {
        if (c.status == Status::failed) return 2;
        if (c.status == Status::skipped && !(r.signatureOnly && c.group != Group::signature)) return 2;
    }
    return 0;
}

void printText(FILE* out, const Report& r) {
    using tool::escapeText;
    if (!r.tmd.empty()) tool::printTmdReport(out, r.tmd.data());
    std::fprintf(out, "checks:\n");
    for (const Check& c : r.checks) {
        std::string line = "  " + c.name + ": ";
        if (c.status == Status::ok) line += c.detail.empty() ? "ok" : "ok (" + c.detail + ")";
        else if (c.status == Status::failed) line += "FAILED: " + c.detail;
        else line += "not checked (" + c.detail + ")";
        std::fprintf(out, "%s\n", escapeText(line).c_str());
    }
    std::fprintf(out, "%s\n", escapeText(summaryLine(r)).c_str());
    for (const std::string& h : r.hints) std::fprintf(out, "hint: %s\n", escapeText(h).c_str());
    std::fprintf(out, "%s\n", verdictLine(r));
}

std::string jsonLine(const Report& r) {
    using tool::jsonText;
    using Json = nlohmann::ordered_json;
    const int status = exitStatus(r);
    Json j;
    j["schemaVersion"] = kSchemaVersion;
    j["file"] = jsonText(r.file);
    j["result"] = resultName(r);
    j["exitStatus"] = status;
    j["ok"] = status == 0;
    j["error"] = r.error.empty() ? Json(nullptr) : jsonText(r.error);
    j["tmd"] = r.tmd.empty() ? Json(nullptr) : tool::tmdJson(r.tmd.data());
    Json checks = Json::array();
    for (const Check& c : r.checks) {
        Json check = {{"name", jsonText(c.name)}, {"status", statusName(c.status)}, {"detail", jsonText(c.detail)}};
        if (c.content >= 0) {
            char cid[16];
            std::snprintf(cid, sizeof cid, "%08x", static_cast<unsigned>(c.cid));
            check["content"] = c.content;
            check["cid"] = cid;
            check["layout"] = c.disc ? "disc" : "plain";
        }
        checks.push_back(std::move(check));
    }
    j["checks"] = std::move(checks);
    Json summary = Json::object();
    for (Group g : kGroups) summary[groupName(g)] = statusName(stateOf(r, g).status);
    j["summary"] = std::move(summary);
    Json hints = Json::array();
    for (const std::string& h : r.hints) hints.push_back(jsonText(h));
    j["hints"] = std::move(hints);
    // ASCII only, so that the line is the same whatever the reader's locale.
    return j.dump(-1, ' ', true) + "\n";
}

}  // namespace inspect
