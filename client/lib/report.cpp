// The behaviour report: records gathered per run, and the page.
#include "client/lib/report.h"

#include "client/lib/report_page.h"
#include "client/lib/session.h"
#include "tools/sha256.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace vetrona::client {

namespace {

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

std::string RegistryDataText(uint32_t type, std::span<const uint8_t> data, bool truncated) {
    std::string text;
    auto units = [&](std::span<const uint8_t> bytes) {
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
    };
    switch (type) {
        case 1:    // REG_SZ
        case 2:    // REG_EXPAND_SZ
        case 6: {  // REG_LINK
            const auto strings = units(data);
            text = strings.empty() ? std::string() : Lossy(strings.front());
            break;
        }
        case 7: {  // REG_MULTI_SZ: strings, each ended by a zero, and an empty one last
            auto strings = units(data);
            while (!strings.empty() && strings.back().empty()) strings.pop_back();
            for (size_t i = 0; i < strings.size(); ++i) text += (i ? ", \"" : "\"") + Lossy(strings[i]) + "\"";
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

// --- gathering ---------------------------------------------------------------

struct Report::Impl {
    struct Node {
        uint32_t pid = 0;
        int parent = -1;
        std::string name, image, device, commandLine;
        Json start, exit;
        std::string startVerdict;
        bool machine = false;
        Counts counts;
    };
    struct FileRow {
        std::string path, device;
        std::vector<std::pair<std::string, int64_t>> operations;
        std::vector<std::string> renamedTo;
        std::set<int> processes;
        Counts verdicts;
        int64_t firstSeq = 0, lastSeq = 0;
    };
    struct TableRow {
        Counts counts;
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
        Json expectations = Json::array();
        Json steps = Json::object();
        Json volumes = Json::array();
        Json outcome;
        std::vector<FileRow> files;
        std::map<std::string, size_t> fileIndex;
        std::map<std::pair<std::string, std::string>, Counts> table;
        Counts totals;
        int64_t eventsTotal = 0, eventsListed = 0, rowsDropped = 0, nextSeq = 1;
    };

    std::string program;
    std::vector<Run> runs;
    size_t listed = 0;  // events listed on the page, all runs

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
        const uint32_t pid = static_cast<uint32_t>(Int(e, "pid"));
        ++r.eventsTotal;
        r.totals.Add(verdict);
        r.table[{cls.empty() ? std::string("malformed") : cls, cls.empty() ? std::string() : op}].Add(verdict);

        int node = -1;
        if (cls == "process" && op == "start") {
            const int parent = NodeOf(r, static_cast<uint32_t>(Int(e, "parent")));
            node = NewNode(r, pid);
            Node& n = r.nodes[static_cast<size_t>(node)];
            n.parent = parent;
            n.image = Str(e, "path");
            n.device = Str(e, "image");
            n.commandLine = Str(e, "commandLine");
            n.name = Str(e, "processName");
            n.start = Moment(e);
            n.startVerdict = verdict;
        } else if (cls == "process" && op == "exit") {
            // An exit may come after the id has a new owner: it belongs to the
            // newest process of that id and image that has not exited.
            const std::string image = Upper(Str(e, "image"));
            for (int i = static_cast<int>(r.nodes.size()) - 1; i >= 0 && node < 0; --i) {
                const Node& n = r.nodes[static_cast<size_t>(i)];
                if (n.pid == pid && n.exit.is_null() && (n.device.empty() || Upper(n.device) == image)) node = i;
            }
            if (node < 0) node = NodeOf(r, pid);
            Node& n = r.nodes[static_cast<size_t>(node)];
            n.exit = Moment(e);
            if (n.image.empty()) n.image = Str(e, "path");
            if (r.live.count(pid) && r.live[pid] == node) r.live.erase(pid);
        } else {
            node = NodeOf(r, pid);
            Node& n = r.nodes[static_cast<size_t>(node)];
            if (n.name.empty()) n.name = Str(e, "processName");
            if (n.image.empty()) n.image = Str(e, "processImage");
        }
        r.nodes[static_cast<size_t>(node)].counts.Add(verdict);

        Json row = {{"seq", e["seq"]}, {"time", e.value("time", Json())}, {"proc", node}, {"pid", pid}, {"cls", cls},
                    {"op", op}, {"path", Str(e, "path")}, {"verdict", VerdictBucket(verdict)}, {"verdictName", verdict},
                    {"rule", e.value("rule", Json())}};
        if (Int(e, "step") > 0) row["step"] = e["step"];
        if (e.contains("destinationPath")) row["dest"] = e["destinationPath"];
        if (e.contains("value")) row["value"] = e["value"];
        if (cls == "process" && e.contains("commandLine")) row["commandLine"] = e["commandLine"];
        if (cls == "registry" && e.contains("dataType")) {
            const std::vector<uint8_t> data = FromHex(Str(e, "data"));
            row["dataType"] = e["dataType"];
            row["data"] = RegistryDataText(static_cast<uint32_t>(Int(e, "dataType")), data, e.value("dataTruncated", false));
            row["dataBytes"] = data.size();
        }
        if (cls.empty()) row["error"] = Str(e, "error");

        if (cls == "file") File(r, e, row, node, op, verdict);
        if (cls == "registry") Keep(r, r.registry, row);
        if (std::string(VerdictBucket(verdict)) == "deny") Keep(r, r.denied, row);
        if (listed < kEventLimit) {
            r.events.push_back(row);
            ++r.eventsListed;
            ++listed;
        }
    }

    void Keep(Run& r, Json& list, const Json& row) {
        if (list.size() < kRowLimit) list.push_back(row);
        else ++r.rowsDropped;
    }

    void File(Run& r, const Json& e, const Json& row, int node, const std::string& op, const std::string& verdict) {
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
        auto found = std::find_if(f.operations.begin(), f.operations.end(), [&](const auto& o) { return o.first == op; });
        if (found == f.operations.end()) f.operations.emplace_back(op, 1);
        else ++found->second;
        if (row.contains("dest")) f.renamedTo.push_back(row["dest"].get<std::string>());
        f.processes.insert(node);
        f.verdicts.Add(verdict);
        f.lastSeq = Int(row, "seq");
    }

    Json RunData(const Run& r) const {
        Json nodes = Json::array();
        for (size_t i = 0; i < r.nodes.size(); ++i) {
            const Node& n = r.nodes[i];
            Json node = {{"key", i}, {"pid", n.pid}, {"parent", n.parent}, {"name", n.name}, {"image", n.image},
                         {"commandLine", n.commandLine}, {"machine", n.machine}, {"counts", n.counts.ToJson()},
                         {"events", n.counts.Total()}};
            if (!n.start.is_null()) node["start"] = n.start;
            if (!n.startVerdict.empty()) node["startVerdict"] = VerdictBucket(n.startVerdict);
            if (!n.exit.is_null()) node["exit"] = n.exit;
            nodes.push_back(node);
        }
        Json files = Json::array();
        for (const FileRow& f : r.files) {
            Json ops = Json::array();
            for (const auto& [op, count] : f.operations) ops.push_back({{"op", op}, {"count", count}});
            files.push_back({{"path", f.path}, {"device", f.device}, {"operations", ops}, {"renamedTo", f.renamedTo},
                             {"processes", f.processes}, {"verdicts", f.verdicts.ToJson()}, {"firstSeq", f.firstSeq},
                             {"lastSeq", f.lastSeq}});
        }
        Json table = Json::array();
        for (const auto& [key, counts] : r.table) {
            table.push_back({{"class", key.first}, {"operation", key.second}, {"events", counts.Total()},
                             {"allow", counts.allow}, {"deny", counts.deny}, {"backup", counts.backup},
                             {"other", counts.other}});
        }
        Json run = r.meta;
        run["volumes"] = r.volumes;
        run["totals"] = r.totals.ToJson();
        run["eventsTotal"] = r.eventsTotal;
        run["eventsListed"] = r.eventsListed;
        run["rowsDropped"] = r.rowsDropped;
        run["processes"] = nodes;
        run["events"] = r.events;
        run["denied"] = r.denied;
        run["files"] = files;
        run["registry"] = r.registry;
        run["backups"] = r.backups;
        run["table"] = table;
        run["steps"] = r.steps;
        run["expectations"] = r.expectations;
        if (!r.outcome.is_null()) run["outcome"] = r.outcome;
        return run;
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
    Impl::Run& r = impl_->Current();
    if (type == "event") {
        impl_->Event(r, record);
    } else if (type == "process") {
        impl_->Process(r, record);
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
        // A start names its child: the tree shows the scenario's name for it.
        if (Str(record, "kind") == "start" && record.contains("pid") && record.contains("name")) {
            for (auto it = r.nodes.rbegin(); it != r.nodes.rend(); ++it) {
                if (it->pid == static_cast<uint32_t>(Int(record, "pid"))) {
                    if (it->name.empty()) it->name = Str(record, "name");
                    r.byName[Str(record, "name")] = static_cast<int>(r.nodes.rend() - it - 1);
                    break;
                }
            }
        }
    } else if (type == "backup") {
        Json row = record;
        row.erase("type");
        impl_->Keep(r, r.backups, row);
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
    } else if (type == "error") {
        // A scenario that could not be loaded has a run of its own that says so;
        // an error while a run plays belongs to it.
        const std::string file = Str(record, "file");
        Impl::Run* target = &r;
        if (!file.empty() && file != Str(r.meta, "source")) {
            BeginRun("could not be played", file);
            target = &impl_->runs.back();
            target->meta["passed"] = false;
        }
        if (!target->meta.contains("errors")) target->meta["errors"] = Json::array();
        std::string text = Str(record, "error");
        if (Int(record, "line") > 0) text = "line " + std::to_string(Int(record, "line")) + ": " + text;
        if (!Str(record, "field").empty()) text = Str(record, "field") + ": " + text;
        target->meta["errors"].push_back(text);
    }
}

Json Report::Data() const {
    Json runs = Json::array();
    for (const Impl::Run& r : impl_->runs) runs.push_back(impl_->RunData(r));
    return {{"program", impl_->program}, {"generated", IsoTime(std::chrono::system_clock::now())},
            {"eventLimit", kEventLimit}, {"rowLimit", kRowLimit}, {"runs", runs}};
}

std::string Report::Html() const {
    const std::string style = kReportStyle;
    const std::string script = kReportScript;
    std::string page;
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; script-src " + CspHash(script) +
            "; style-src " + CspHash(style) + "; img-src data:\">\n";
    page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    page += "<title>Vetrona behaviour report</title>\n<style>" + style + "</style>\n</head>\n<body>\n";
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
