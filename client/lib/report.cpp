// The behaviour report: records gathered per run, and the page.
#include "client/lib/report.h"

#include "client/lib/report_page.h"
#include "client/lib/restore.h"
#include "client/lib/session.h"
#include "tools/sha256.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace vetrona::client {

namespace {

// File events kept per run for choosing which copy to restore.
constexpr size_t kChangeLimit = 200000;

// A path as one argument on a command line (cmd and sh alike).
std::string QuoteArgument(const std::string& text) { return "\"" + text + "\""; }

// Verdicts as the summary table counts them: allow, deny, backup, and every
// other answer (none included) as "other".
const char* VerdictBucket(const std::string& name) {
    if (name == "allow" || name == "deny" || name == "backup") return name.c_str();
    return "other";
}

struct Counts {
    int64_t allow = 0, deny = 0, backup = 0, other = 0;
    void Add(const std::string& verdictName) {
        const std::string bucket = VerdictBucket(verdictName);
        if (bucket == "allow") ++allow;
        else if (bucket == "deny") ++deny;
        else if (bucket == "backup") ++backup;
        else ++other;
    }
    int64_t Total() const { return allow + deny + backup + other; }
    Json ToJson() const { return {{"allow", allow}, {"deny", deny}, {"backup", backup}, {"other", other}}; }
};

std::string Str(const Json& record, const char* key) {
    auto it = record.find(key);
    if (it == record.end()) return {};
    if (it->is_string()) return it->get<std::string>();
    if (it->is_null()) return {};
    return it->dump();
}

int64_t Int(const Json& record, const char* key, int64_t fallback = 0) {
    auto it = record.find(key);
    return it != record.end() && it->is_number_integer() ? it->get<int64_t>() : fallback;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) break;
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return bytes;
}

std::string Base64(const std::vector<uint8_t>& bytes) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t n = (uint32_t{bytes[i]} << 16) | (i + 1 < bytes.size() ? uint32_t{bytes[i + 1]} << 8 : 0) |
                           (i + 2 < bytes.size() ? uint32_t{bytes[i + 2]} : 0);
        out += table[(n >> 18) & 63];
        out += table[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? table[n & 63] : '=';
    }
    return out;
}

// The source of a Content-Security-Policy hash: 'sha256-BASE64'.
std::string CspHash(const std::string& text) {
    return "'sha256-" + Base64(FromHex(vsim::Sha256Hex(std::vector<uint8_t>(text.begin(), text.end())))) + "'";
}

std::string Lossy(std::span<const uint8_t> bytes) {
    TextView view;
    view.bytes = bytes;
    return view.Utf8();
}

}  // namespace

void AnnotateEvent(Json* line, const EventView& event, Verdict verdict, int rule, const EventContext& context,
                   const VolumeNames& volumes, std::chrono::system_clock::time_point received) {
    Json& l = *line;
    l["time"] = IsoTime(received);
    std::string image;
    if (auto* f = std::get_if<FileEventView>(&event)) {
        l["path"] = UserFilePath(f->name.Utf8(), volumes);
        if (!f->destName.empty()) l["destinationPath"] = UserFilePath(f->destName.Utf8(), volumes);
    } else if (auto* r = std::get_if<RegistryEventView>(&event)) {
        l["path"] = UserRegistryPath(r->keyPath.Utf8());
    } else {
        const auto& p = std::get<ProcessEventView>(event);
        l["path"] = UserFilePath(p.imageName.Utf8(), volumes);
        image = p.imageName.Utf8();
    }
    if (image.empty() && context.imageOf) image = context.imageOf(EventProcessOf(event));
    if (!image.empty()) l["processImage"] = UserFilePath(image, volumes);
    l["verdictName"] = VerdictName(verdict);
    l["rule"] = rule >= 0 ? Json(rule + 1) : Json(rule == -1 ? "default" : "client");
}

namespace {

// The UTF-16 strings of registry data, each ended by a zero unit; a last one
// without its zero is kept.
std::vector<std::span<const uint8_t>> Utf16Strings(std::span<const uint8_t> bytes) {
    std::vector<std::span<const uint8_t>> strings;
    size_t start = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        if (bytes[i] == 0 && bytes[i + 1] == 0) {
            strings.push_back(bytes.subspan(start, i - start));
            start = i + 2;
        }
    }
    if (start < bytes.size()) strings.push_back(bytes.subspan(start));
    return strings;
}

}  // namespace

const char* RegistryTypeName(uint32_t type) {
    static const char* const names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    return type < std::size(names) ? names[type] : nullptr;
}

std::vector<std::string> RegistryStrings(std::span<const uint8_t> data) {
    auto strings = Utf16Strings(data);
    while (!strings.empty() && strings.back().empty()) strings.pop_back();
    std::vector<std::string> out;
    for (const auto& s : strings) out.push_back(Lossy(s));
    return out;
}

std::string RegistryDataText(uint32_t type, std::span<const uint8_t> data, bool truncated) {
    std::string text;
    switch (type) {
        case 1:    // REG_SZ
        case 2:    // REG_EXPAND_SZ
        case 6: {  // REG_LINK
            // Programs read up to the first zero, but what follows it is kept
            // in the value and may be what matters: it is shown after a NUL.
            auto strings = Utf16Strings(data);
            while (strings.size() > 1 && strings.back().empty()) strings.pop_back();
            for (size_t i = 0; i < strings.size(); ++i) text += (i ? std::string(1, '\0') : std::string()) + Lossy(strings[i]);
            break;
        }
        case 7: {  // REG_MULTI_SZ: as a JSON array, so a quote or comma in a string cannot read as two
            text = Json(RegistryStrings(data)).dump(-1, ' ', false, Json::error_handler_t::replace);
            break;
        }
        case 4:    // REG_DWORD
        case 5: {  // REG_DWORD_BIG_ENDIAN
            if (data.size() == 4) {
                uint32_t v = type == 4 ? (uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24)
                                       : (uint32_t{data[3]} | uint32_t{data[2]} << 8 | uint32_t{data[1]} << 16 | uint32_t{data[0]} << 24);
                char number[40];
                std::snprintf(number, sizeof(number), "%u (0x%08x)", v, v);
                text = number;
                break;
            }
            [[fallthrough]];
        }
        case 11: {  // REG_QWORD
            if (type == 11 && data.size() == 8) {
                uint64_t v = 0;
                for (int i = 7; i >= 0; --i) v = (v << 8) | data[static_cast<size_t>(i)];
                char number[48];
                std::snprintf(number, sizeof(number), "%llu (0x%016llx)", static_cast<unsigned long long>(v),
                              static_cast<unsigned long long>(v));
                text = number;
                break;
            }
            [[fallthrough]];
        }
        default: {
            static const char digits[] = "0123456789abcdef";
            const size_t shown = std::min<size_t>(data.size(), 64);
            for (size_t i = 0; i < shown; ++i) {
                if (i) text += ' ';
                text += digits[data[i] >> 4];
                text += digits[data[i] & 15];
            }
            if (data.size() > shown) text += " ... (" + std::to_string(data.size()) + " bytes)";
        }
    }
    if (truncated) text += " ... (cut by the driver)";
    return text;
}

std::string ScriptSafeJson(const Json& value) {
    const std::string text = value.dump(-1, ' ', true, Json::error_handler_t::replace);
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        switch (c) {
            case '<': out += "\\u003c"; break;
            case '>': out += "\\u003e"; break;
            case '&': out += "\\u0026"; break;
            default: out += c;
        }
    }
    return out;
}

bool Disguising(char32_t c) {
    struct Range {
        char32_t first, last;
    };
    static const Range ranges[] = {
        {0x0000, 0x001f}, {0x007f, 0x009f}, {0x00ad, 0x00ad}, {0x034f, 0x034f}, {0x0600, 0x0605}, {0x061c, 0x061c},
        {0x06dd, 0x06dd}, {0x070f, 0x070f}, {0x0890, 0x0891}, {0x08e2, 0x08e2}, {0x115f, 0x1160}, {0x17b4, 0x17b5},
        {0x180b, 0x180f}, {0x200b, 0x200f}, {0x2028, 0x202e}, {0x2060, 0x206f}, {0x3164, 0x3164}, {0xfe00, 0xfe0f},
        {0xfeff, 0xfeff}, {0xffa0, 0xffa0}, {0xfff0, 0xfffb}, {0x110bd, 0x110bd}, {0x110cd, 0x110cd},
        {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0000, 0xe0fff},
    };
    for (const Range& r : ranges) {
        if (c >= r.first && c <= r.last) return true;
    }
    return false;
}

std::string TitleText(const std::string& text) {
    std::string out;
    char buffer[16];
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        char32_t c = 0xfffd;
        size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (length == 1) {
            c = b;
        } else if (length > 1 && i + length <= text.size()) {
            c = b & (0x7f >> length);
            for (size_t k = 1; k < length; ++k) {
                const auto next = static_cast<unsigned char>(text[i + k]);
                if ((next & 0xc0) != 0x80) {
                    c = 0xfffd, length = k;
                    break;
                }
                c = (c << 6) | (next & 0x3f);
            }
        }
        i += length ? length : 1;
        if ((c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff) c = 0xfffd;
        if (Disguising(c)) {
            std::snprintf(buffer, sizeof(buffer), c < 0x20 || (c >= 0x7f && c <= 0x9f) ? "\\x%02x" : c < 0x10000 ? "\\u%04x" : "\\u{%x}", static_cast<unsigned>(c));
            out += buffer;
        } else if (c == '&' || c == '<' || c == '>' || c == '"' || c == '\'' || c >= 0x80) {
            std::snprintf(buffer, sizeof(buffer), "&#x%x;", static_cast<unsigned>(c));
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// --- gathering ---------------------------------------------------------------

namespace {

// File operations that change a file when they go through. Opens for
// writing or deleting only ask; an operation code the page does not know is
// counted as a change, so a new one is never left out of the list.
bool ChangesFile(const std::string& op) {
    static const std::set<std::string> asking = {"FileOpNone", "FileOpExecute", "FileOpOpen", "FileOpWriteAccess",
                                                 "FileOpDeleteAccess"};
    return !asking.count(op);
}

bool Important(const std::string& bucket, const Json& e) {
    return bucket == "deny" || bucket == "backup" || (e.contains("alerts") && e["alerts"].is_array() && !e["alerts"].empty());
}

}  // namespace

struct Report::Impl {
    struct Node {
        uint32_t pid = 0;
        int parent = -1;
        std::string name, image, device, commandLine, user;
        Json admin;  // true, false or not known
        Json start, exit;
        std::string startVerdict;
        Json startRule;
        bool machine = false;
        Counts counts;
        // Past the page's first events: how many of this process's events
        // are kept from its start, its latest ones, and what fell between.
        size_t kept = 0;
        std::deque<Json> latest;
        int64_t omitted = 0, omittedFrom = 0, omittedTo = 0;
    };
    struct FileRow {
        std::string path, device;
        std::vector<std::pair<std::string, int64_t>> operations;  // changes that went through
        std::vector<std::pair<std::string, int64_t>> deniedOperations;
        Json destinations = Json::array();                         // {op, path} of renames and the like
        std::set<int> processes;
        Counts verdicts;
        int creator = -1;                                          // the process whose create made the file
        std::vector<std::pair<int, int64_t>> firstChange;          // process, seq of its first change
        int64_t firstSeq = 0, lastSeq = 0;
        bool changed = false;
    };
    struct Run {
        Json meta = Json::object();
        std::vector<Node> nodes;
        std::map<uint32_t, int> live;          // pid -> its newest node still running
        std::map<std::string, int> byName;     // a scenario's process names
        Json events = Json::array();
        Json denied = Json::array();
        Json registry = Json::array();
        Json backups = Json::array();
        Json journalCopies = Json::array();  // copies the client's journal found (before a change, at a close)
        std::vector<Json> fileChanges;       // file events as the journal has them, for choosing a copy
        std::map<int64_t, int> changeProcs;  // their seq -> process
        Json expectations = Json::array();
        Json steps = Json::object();
        Json volumes = Json::array();
        Json outcome;
        std::vector<FileRow> files;
        std::map<std::string, size_t> fileIndex;
        std::map<int64_t, std::pair<int, int>> closes;      // seq of a close answered "backup" -> process, file
        std::map<std::string, std::pair<std::string, std::string>> values;  // key\nvalue -> data text, type
        std::map<std::pair<std::string, std::string>, Counts> table;
        Counts totals;
        int64_t eventsTotal = 0, rowsDropped = 0, nextSeq = 1;
        size_t importantKept = 0;
        std::string firstTime;
    };

    std::string program;
    std::vector<Run> runs;
    size_t listed = 0;  // events kept as the page's first ones, all runs

    Run& Current() {
        if (runs.empty()) {
            runs.emplace_back();
            runs.back().meta = {{"title", program}, {"source", ""}};
        }
        return runs.back();
    }

    int NewNode(Run& r, uint32_t pid) {
        r.nodes.emplace_back();
        r.nodes.back().pid = pid;
        const int index = static_cast<int>(r.nodes.size() - 1);
        r.live[pid] = index;
        return index;
    }

    // The process that a pid names now; a node of its own when the run has
    // not met it yet.
    int NodeOf(Run& r, uint32_t pid) {
        auto it = r.live.find(pid);
        if (it != r.live.end()) return it->second;
        return NewNode(r, pid);
    }

    void Process(Run& r, const Json& p) {
        const int index = NewNode(r, static_cast<uint32_t>(Int(p, "pid")));
        Node& n = r.nodes[static_cast<size_t>(index)];
        n.name = Str(p, "name");
        n.image = Str(p, "image");
        n.user = Str(p, "user");
        if (p.contains("admin") && p["admin"].is_boolean()) n.admin = p["admin"];
        n.machine = true;
        const std::string parent = Str(p, "parent");
        if (!parent.empty() && r.byName.count(parent)) n.parent = r.byName[parent];
        if (!n.name.empty()) r.byName[n.name] = index;
    }

    static Json Moment(const Json& e) {
        Json m = {{"seq", e.value("seq", Json())}, {"time", e.value("time", Json())}};
        if (e.contains("step") && Int(e, "step") > 0) m["step"] = e["step"];
        return m;
    }

    void Event(Run& r, Json e) {
        if (!e.contains("seq")) e["seq"] = r.nextSeq;
        r.nextSeq = Int(e, "seq") + 1;
        const std::string cls = Str(e, "class");
        const std::string op = e.contains("operation") ? Str(e, "operation") : std::string("malformed");
        const std::string verdict = e.contains("verdictName") ? Str(e, "verdictName") : std::string(VerdictName(static_cast<Verdict>(Int(e, "verdict", -1))));
        const std::string bucket = VerdictBucket(verdict);
        const uint32_t pid = static_cast<uint32_t>(Int(e, "pid"));
        if (r.eventsTotal++ == 0) r.firstTime = Str(e, "time");
        r.totals.Add(verdict);
        r.table[{cls.empty() ? std::string("malformed") : cls, cls.empty() ? std::string() : op}].Add(verdict);

        // The actor: the process that did it. A start is its creator's act
        // (the child did nothing yet, and a denied child never runs).
        int actor = -1, child = -1;
        if (cls == "process" && op == "start") {
            actor = NodeOf(r, static_cast<uint32_t>(Int(e, "parent")));
            child = NewNode(r, pid);
            Node& n = r.nodes[static_cast<size_t>(child)];
            n.parent = actor;
            n.image = Str(e, "path");
            n.device = Str(e, "image");
            n.commandLine = Str(e, "commandLine");
            n.name = Str(e, "processName");
            n.user = r.nodes[static_cast<size_t>(actor)].user;  // a process runs as its creator's user
            n.start = Moment(e);
            n.startVerdict = verdict;
            n.startRule = e.value("rule", Json());
            // A denied start made no process: the id names nothing new.
            if (bucket == "deny") r.live.erase(pid);
        } else if (cls == "process" && op == "exit") {
            // An exit may come after the id has a new owner: it belongs to the
            // newest process of that id and image that has not exited.
            const std::string image = Upper(Str(e, "image"));
            for (int i = static_cast<int>(r.nodes.size()) - 1; i >= 0 && actor < 0; --i) {
                const Node& n = r.nodes[static_cast<size_t>(i)];
                if (n.pid == pid && n.exit.is_null() && n.startVerdict != "deny" &&
                    (n.device.empty() || Upper(n.device) == image)) {
                    actor = i;
                }
            }
            if (actor < 0) actor = NodeOf(r, pid);
            Node& n = r.nodes[static_cast<size_t>(actor)];
            n.exit = Moment(e);
            if (n.image.empty()) n.image = Str(e, "path");
            if (r.live.count(pid) && r.live[pid] == actor) r.live.erase(pid);
        } else {
            actor = NodeOf(r, pid);
            Node& n = r.nodes[static_cast<size_t>(actor)];
            if (n.name.empty()) n.name = Str(e, "processName");
            if (n.image.empty()) n.image = Str(e, "processImage");
        }
        r.nodes[static_cast<size_t>(actor)].counts.Add(verdict);

        Json row = {{"seq", e["seq"]}, {"time", e.value("time", Json())}, {"proc", actor}, {"pid", pid}, {"cls", cls},
                    {"op", op}, {"path", Str(e, "path")}, {"verdict", bucket}, {"verdictName", verdict},
                    {"rule", e.value("rule", Json())}};
        if (child >= 0) row["child"] = child;
        if (Int(e, "step") > 0) row["step"] = e["step"];
        if (e.contains("destinationPath")) row["dest"] = e["destinationPath"];
        if (e.contains("value")) row["value"] = e["value"];
        if (cls == "process" && e.contains("commandLine")) row["commandLine"] = e["commandLine"];
        if (cls == "registry") Registry(r, e, row, op, bucket);
        if (e.contains("alerts") && e["alerts"].is_array()) row["alerts"] = e["alerts"];
        if (cls.empty()) row["error"] = Str(e, "error");

        if (cls == "file") File(r, e, row, actor, op, bucket);
        if (cls == "file" && r.fileChanges.size() < kChangeLimit) {
            Json change = {{"type", "event"}, {"class", "file"}, {"operation", op}, {"seq", e["seq"]}, {"pid", pid},
                           {"verdict", bucket == "deny" ? Json(VerdictDeny) : e.value("verdict", Json(0))}, {"path", Str(e, "path")}};
            if (e.contains("destinationPath")) change["destinationPath"] = e["destinationPath"];
            r.changeProcs[Int(e, "seq")] = actor;
            r.fileChanges.push_back(std::move(change));
        }
        if (cls == "registry") Keep(r, r.registry, row);
        if (bucket == "deny") Keep(r, r.denied, row);
        List(r, actor, row, Important(bucket, e));
    }

    // The page lists the run's first events; past them, every denied,
    // backed-up or alerting event, and each process's first and latest ones.
    void List(Run& r, int actor, Json& row, bool important) {
        Node& n = r.nodes[static_cast<size_t>(actor)];
        if (listed < kEventLimit) {
            ++listed;
        } else if (important && r.importantKept < kRowLimit) {
            ++r.importantKept;
        } else if (n.kept >= kFirstPerProcess) {
            n.latest.push_back(std::move(row));
            if (n.latest.size() > kLatestPerProcess) {
                const int64_t seq = Int(n.latest.front(), "seq");
                if (n.omitted++ == 0) n.omittedFrom = seq;
                n.omittedTo = seq;
                n.latest.pop_front();
            }
            return;
        }
        ++n.kept;
        r.events.push_back(std::move(row));
    }

    void Registry(Run& r, const Json& e, Json& row, const std::string& op, const std::string& bucket) {
        const bool valueOp = op.rfind("RegOpValue", 0) == 0;
        if (op == "RegOpKeyRenamed" && row.contains("value")) {
            row["newName"] = row["value"];
            row.erase("value");
        }
        if (valueOp && !row.contains("value")) row["defaultValue"] = true;
        const std::string key = Upper(Str(row, "path")) + "\n" + Upper(Str(row, "value"));
        auto known = r.values.find(key);
        if (valueOp && known != r.values.end()) {
            row["old"] = known->second.first;
            row["oldType"] = known->second.second;
        }
        if (e.contains("dataType")) {
            const uint32_t type = static_cast<uint32_t>(Int(e, "dataType"));
            const std::vector<uint8_t> data = FromHex(Str(e, "data"));
            const char* name = RegistryTypeName(type);
            row["dataType"] = e["dataType"];
            row["typeName"] = name ? std::string(name) : "type " + std::to_string(type);
            row["data"] = RegistryDataText(type, data, e.value("dataTruncated", false));
            row["dataBytes"] = data.size();
            if (type == 7) row["items"] = RegistryStrings(data);
            if (bucket != "deny" && (op == "RegOpValueCreated" || op == "RegOpValueModified")) {
                r.values[key] = {Str(row, "data"), Str(row, "typeName")};
            }
        }
        if (bucket != "deny" && op == "RegOpValueDeleted") r.values.erase(key);
    }

    void Keep(Run& r, Json& list, const Json& row) {
        if (list.size() < kRowLimit) list.push_back(row);
        else ++r.rowsDropped;
    }

    static void Count(std::vector<std::pair<std::string, int64_t>>& list, const std::string& op) {
        auto found = std::find_if(list.begin(), list.end(), [&](const auto& o) { return o.first == op; });
        if (found == list.end()) list.emplace_back(op, 1);
        else ++found->second;
    }

    void File(Run& r, const Json& e, const Json& row, int node, const std::string& op, const std::string& bucket) {
        const std::string device = Str(e, "name");
        const std::string key = Upper(device);
        auto it = r.fileIndex.find(key);
        if (it == r.fileIndex.end()) {
            if (r.files.size() >= kRowLimit) {
                ++r.rowsDropped;
                return;
            }
            r.files.emplace_back();
            r.files.back().path = Str(e, "path");
            r.files.back().device = device;
            r.files.back().firstSeq = Int(row, "seq");
            it = r.fileIndex.emplace(key, r.files.size() - 1).first;
        }
        FileRow& f = r.files[it->second];
        f.processes.insert(node);
        f.verdicts.Add(bucket);
        f.lastSeq = Int(row, "seq");
        if (bucket == "deny") {
            Count(f.deniedOperations, op);
            return;
        }
        if (bucket == "backup") r.closes[Int(row, "seq")] = {node, static_cast<int>(it->second)};
        if (!ChangesFile(op)) return;
        f.changed = true;
        Count(f.operations, op);
        if (row.contains("dest")) f.destinations.push_back({{"op", op}, {"path", row["dest"]}});
        if (op == "FileOpCreated" && f.creator < 0 && f.firstChange.empty()) f.creator = node;
        if (std::none_of(f.firstChange.begin(), f.firstChange.end(), [&](const auto& c) { return c.first == node; })) {
            f.firstChange.emplace_back(node, Int(row, "seq"));
        }
    }

    // Each copy's process and what it holds: per file, the newest byte-exact
    // copy made before the first change by a process other than the file's
    // creator is the one to restore; copies made after that change hold the
    // changed bytes. Also the run's outcome, counted from the copies.
    Json Backups(const Run& r, Json* outcome) const {
        Json rows = r.backups;
        std::map<int, std::vector<size_t>> byFile;
        for (size_t i = 0; i < rows.size(); ++i) {
            Json& b = rows[i];
            auto close = r.closes.find(Int(b, "seq"));
            if (close == r.closes.end()) continue;
            b["proc"] = close->second.first;
            byFile[close->second.second].push_back(i);
        }
        int64_t restorable = 0, bytes = 0, changed = 0;
        for (auto& [file, copies] : byFile) {
            const FileRow& f = r.files[static_cast<size_t>(file)];
            int64_t foreign = -1;
            int foreignBy = -1;
            for (const auto& [node, seq] : f.firstChange) {
                if (node != f.creator && (foreign < 0 || seq < foreign)) foreign = seq, foreignBy = node;
            }
            std::sort(copies.begin(), copies.end(), [&](size_t a, size_t b) { return Int(rows[a], "seq") < Int(rows[b], "seq"); });
            int restore = -1;
            for (size_t i : copies) {
                Json& b = rows[i];
                if (foreign >= 0 && Int(b, "seq") >= foreign) {
                    b["holds"] = "changed";
                    b["changedBy"] = foreignBy;
                    b["changedAt"] = foreign;
                    ++changed;
                } else if (b.value("exact", false) == true) {
                    b["holds"] = "earlier";
                    restore = static_cast<int>(i);
                } else {
                    b["holds"] = b["backup"].is_null() ? "missing" : "mismatch";
                }
            }
            if (restore >= 0) {
                rows[static_cast<size_t>(restore)]["holds"] = "restore";
                ++restorable;
                bytes += Int(rows[static_cast<size_t>(restore)], "backupBytes");
            }
        }
        *outcome = {{"copies", rows.size()}, {"filesRestorable", restorable}, {"bytesRestorable", bytes},
                    {"copiesOfChangedBytes", changed}, {"operationsDenied", r.totals.deny}};
        return rows;
    }

    // For each original the client's journal has copies of: the copy to
    // put back (as `vetrona-client restore` chooses it), the process whose
    // change it undoes, and the command line that restores it.
    Json RestoreRows(const Run& r) const {
        Json rows = Json::array();
        if (r.journalCopies.empty()) return rows;
        std::vector<Json> journal = r.fileChanges;
        for (const Json& copy : r.journalCopies) {
            Json line = copy;
            line["type"] = "backup";
            journal.push_back(std::move(line));
        }
        std::string source = "JOURNAL";
        if (r.meta.contains("client") && r.meta["client"].is_object()) {
            const std::string named = Str(r.meta["client"], "journal");
            if (!named.empty()) source = named;
        }
        for (const RestorePlan& plan : PlanRestore(journal)) {
            Json row = {{"original", plan.original}, {"backup", plan.copy.is_null() ? Json() : plan.copy.value("backup", Json())},
                        {"backupBytes", plan.copy.is_null() ? Json() : plan.copy.value("backupBytes", Json())},
                        {"sha256", plan.copy.is_null() ? Json() : plan.copy.value("sha256", Json())},
                        {"when", plan.copy.is_null() ? Json() : plan.copy.value("when", Json())}};
            if (plan.firstChange >= 0) {
                row["changedAt"] = plan.firstChange;
                auto it = r.changeProcs.find(plan.firstChange);
                if (it != r.changeProcs.end()) row["changedBy"] = it->second;
            }
            if (plan.copy.is_null()) row["reason"] = plan.reason;
            else row["command"] = "vetrona-client restore --journal " + QuoteArgument(source) + " --only " + QuoteArgument(plan.original);
            rows.push_back(std::move(row));
        }
        return rows;
    }

    Json RunData(const Run& r) const {
        Json nodes = Json::array();
        Json omitted = Json::array();
        Json events = r.events;
        for (size_t i = 0; i < r.nodes.size(); ++i) {
            const Node& n = r.nodes[i];
            Json node = {{"key", i}, {"pid", n.pid}, {"parent", n.parent}, {"name", n.name}, {"image", n.image},
                         {"commandLine", n.commandLine}, {"machine", n.machine}, {"counts", n.counts.ToJson()},
                         {"events", n.counts.Total()}};
            if (!n.user.empty()) node["user"] = n.user;
            if (!n.admin.is_null()) node["admin"] = n.admin;
            if (!n.start.is_null()) node["start"] = n.start;
            if (!n.startVerdict.empty()) {
                node["startVerdict"] = VerdictBucket(n.startVerdict);
                node["startRule"] = n.startRule;
            }
            if (!n.exit.is_null()) node["exit"] = n.exit;
            for (const Json& e : n.latest) events.push_back(e);
            if (n.omitted) omitted.push_back({{"proc", i}, {"count", n.omitted}, {"fromSeq", n.omittedFrom}, {"toSeq", n.omittedTo}});
            nodes.push_back(node);
        }
        std::stable_sort(events.begin(), events.end(), [](const Json& a, const Json& b) { return Int(a, "seq") < Int(b, "seq"); });
        Json files = Json::array();
        for (const FileRow& f : r.files) {
            if (!f.changed) continue;
            Json ops = Json::array(), denied = Json::array();
            for (const auto& [op, count] : f.operations) ops.push_back({{"op", op}, {"count", count}});
            for (const auto& [op, count] : f.deniedOperations) denied.push_back({{"op", op}, {"count", count}});
            files.push_back({{"path", f.path}, {"device", f.device}, {"operations", ops}, {"denied", denied},
                             {"destinations", f.destinations}, {"processes", f.processes},
                             {"verdicts", f.verdicts.ToJson()}, {"firstSeq", f.firstSeq}, {"lastSeq", f.lastSeq}});
        }
        Json table = Json::array();
        for (const auto& [key, counts] : r.table) {
            table.push_back({{"class", key.first}, {"operation", key.second}, {"events", counts.Total()},
                             {"allow", counts.allow}, {"deny", counts.deny}, {"backup", counts.backup},
                             {"other", counts.other}});
        }
        Json computed;
        Json run = r.meta;
        run["volumes"] = r.volumes;
        run["totals"] = r.totals.ToJson();
        run["eventsTotal"] = r.eventsTotal;
        run["eventsListed"] = events.size();
        run["omitted"] = omitted;
        run["rowsDropped"] = r.rowsDropped;
        run["processes"] = nodes;
        run["events"] = std::move(events);
        run["denied"] = r.denied;
        run["files"] = files;
        run["registry"] = r.registry;
        run["backups"] = Backups(r, &computed);
        run["restore"] = RestoreRows(r);
        run["computed"] = computed;
        run["table"] = table;
        run["steps"] = r.steps;
        run["expectations"] = r.expectations;
        if (!r.outcome.is_null()) run["outcome"] = r.outcome;
        return run;
    }

    // What the page is of: the scenario's title, the client's session, or
    // the runs' titles.
    std::string Title() const {
        std::string title;
        for (const Run& r : runs) {
            std::string one = Str(r.meta, "title");
            // A client session is told apart by its policy file and when its first event came.
            if (one == "vetrona-client session") {
                if (!Str(r.meta, "source").empty()) one += " " + Str(r.meta, "source");
                if (!r.firstTime.empty()) one += " from " + r.firstTime;
            }
            if (one.empty()) one = Str(r.meta, "source");
            title += (title.empty() ? "" : "; ") + one;
        }
        if (runs.size() > 1) title = std::to_string(runs.size()) + " runs: " + title;
        return title.empty() ? program : title;
    }
};

Report::Report(std::string program) : impl_(std::make_unique<Impl>()) { impl_->program = std::move(program); }
Report::~Report() = default;

void Report::BeginRun(const std::string& title, const std::string& source) {
    impl_->runs.emplace_back();
    impl_->runs.back().meta = {{"title", title}, {"source", source}};
}

void Report::Add(const Json& record) {
    if (!record.is_object()) return;
    const std::string type = Str(record, "type");
    if (type == "scenario") {
        BeginRun(Str(record, "title"), Str(record, "file"));
        if (record.contains("techniques")) impl_->runs.back().meta["techniques"] = record["techniques"];
        return;
    }
    if (type == "error") {
        // A scenario that could not be loaded has a run of its own that says
        // so; an error while a run plays belongs to it.
        const std::string file = Str(record, "file");
        Impl::Run* target = impl_->runs.empty() ? nullptr : &impl_->runs.back();
        if (target == nullptr || (!file.empty() && file != Str(target->meta, "source"))) {
            BeginRun("could not be played: " + (file.empty() ? impl_->program : file), file);
            target = &impl_->runs.back();
            target->meta["passed"] = false;
        }
        if (!target->meta.contains("errors")) target->meta["errors"] = Json::array();
        std::string text = Str(record, "error");
        if (Int(record, "line") > 0) text = "line " + std::to_string(Int(record, "line")) + ": " + text;
        if (!Str(record, "field").empty()) text = Str(record, "field") + ": " + text;
        target->meta["errors"].push_back(text);
        return;
    }
    Impl::Run& r = impl_->Current();
    if (type == "event") {
        impl_->Event(r, record);
    } else if (type == "process") {
        impl_->Process(r, record);
    } else if (type == "registry" && record.contains("values") && record["values"].is_array()) {
        // The machine's values before the run: the old data of a first change.
        for (const Json& v : record["values"]) {
            const uint32_t dataType = static_cast<uint32_t>(Int(v, "dataType"));
            const char* name = RegistryTypeName(dataType);
            r.values[Upper(Str(v, "key")) + "\n" + Upper(Str(v, "value"))] = {
                RegistryDataText(dataType, FromHex(Str(v, "data")), false), name ? std::string(name) : "type " + std::to_string(dataType)};
        }
    } else if (type == "volume") {
        r.volumes.push_back({{"drive", Str(record, "drive")}, {"device", Str(record, "device")}});
    } else if (type == "client") {
        Json client = record;
        client.erase("type");
        r.meta["client"] = client;
    } else if (type == "step") {
        const std::string number = std::to_string(Int(record, "step"));
        r.steps[number] = {{"what", Str(record, "what")}, {"process", Str(record, "process")},
                           {"status", Str(record, "status")}, {"ok", record.value("ok", true)}};
        // A start names its child: the tree shows the scenario's name for it,
        // and the user and elevation it was started with.
        if (Str(record, "kind") == "start" && record.contains("pid") && record.contains("name")) {
            for (auto it = r.nodes.rbegin(); it != r.nodes.rend(); ++it) {
                if (it->pid == static_cast<uint32_t>(Int(record, "pid")) && it->startVerdict != "deny") {
                    if (it->name.empty()) it->name = Str(record, "name");
                    if (!Str(record, "user").empty()) it->user = Str(record, "user");
                    if (record.contains("admin") && record["admin"].is_boolean()) it->admin = record["admin"];
                    r.byName[Str(record, "name")] = static_cast<int>(r.nodes.rend() - it - 1);
                    break;
                }
            }
        }
    } else if (type == "backup") {
        Json row = record;
        row.erase("type");
        impl_->Keep(r, r.backups, row);
    } else if (type == "journal-copy") {
        Json row = record;
        row.erase("type");
        impl_->Keep(r, r.journalCopies, row);
    } else if (type == "expectation") {
        impl_->Keep(r, r.expectations, {{"what", Str(record, "what")}, {"ok", record.value("ok", false)},
                                        {"detail", Str(record, "detail")}, {"line", Int(record, "line")}});
    } else if (type == "summary") {
        Json outcome = record;
        for (const char* key : {"type", "events", "file", "pool"}) outcome.erase(key);
        if (record.contains("pool") && record["pool"].is_object()) outcome["poolClean"] = record["pool"].value("clean", false);
        r.outcome = outcome;
    } else if (type == "result") {
        r.meta["passed"] = record.value("passed", false);
    }
}

Json Report::Data() const {
    Json runs = Json::array();
    for (const Impl::Run& r : impl_->runs) runs.push_back(impl_->RunData(r));
    return {{"program", impl_->program}, {"title", impl_->Title()}, {"generated", IsoTime(std::chrono::system_clock::now())},
            {"eventLimit", kEventLimit}, {"firstPerProcess", kFirstPerProcess}, {"latestPerProcess", kLatestPerProcess},
            {"rowLimit", kRowLimit}, {"runs", runs}};
}

std::string Report::Html() const {
    const std::string style = kReportStyle;
    const std::string script = kReportScript;
    std::string page;
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; script-src " + CspHash(script) +
            "; style-src " + CspHash(style) + "; base-uri 'none'; form-action 'none'\">\n";
    page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    page += "<title>" + TitleText(impl_->Title()) + " - Vetrona behaviour report</title>\n<style>" + style +
            "</style>\n</head>\n<body>\n";
    page += "<noscript><p>This report draws itself with its own script, which needs no network. Allow scripts for "
            "this file to see it; the data is in the element report-data below.</p></noscript>\n";
    page += "<main id=\"report\"></main>\n";
    page += "<script type=\"application/json\" id=\"report-data\">" + ScriptSafeJson(Data()) + "</script>\n";
    page += "<script>" + script + "</script>\n</body>\n</html>\n";
    return page;
}

bool Report::WriteFile(const std::string& path, std::string* error) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = "cannot write " + path;
        return false;
    }
    const std::string page = Html();
    out.write(page.data(), static_cast<std::streamsize>(page.size()));
    out.close();
    if (!out) {
        *error = "writing " + path + " failed";
        return false;
    }
    return true;
}

}  // namespace vetrona::client
