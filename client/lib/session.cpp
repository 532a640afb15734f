// Verdict rules and event formatting.
#include "client/lib/session.h"

#include <cstdio>
#include <cstdlib>

namespace vetrona::client {

namespace {

uint32_t ClassOf(const EventView& event) {
    switch (event.index()) {
        case 0: return EVENT_CLASS_FILE;
        case 1: return EVENT_CLASS_REGISTRY;
        default: return EVENT_CLASS_PROCESS;
    }
}

int32_t OperationOf(const EventView& event) {
    if (auto* f = std::get_if<FileEventView>(&event)) return f->operation;
    if (auto* r = std::get_if<RegistryEventView>(&event)) return r->operation;
    return std::get<ProcessEventView>(event).isCreate ? 1 : 0;
}

std::string MainText(const EventView& event) {
    if (auto* f = std::get_if<FileEventView>(&event)) return f->name.Utf8();
    if (auto* r = std::get_if<RegistryEventView>(&event)) return r->keyPath.Utf8();
    return std::get<ProcessEventView>(event).imageName.Utf8();
}

std::optional<int32_t> ParseOperation(uint32_t eventClass, const std::string& name) {
    if (eventClass == EVENT_CLASS_PROCESS) {
        if (name == "start") return 1;
        if (name == "exit") return 0;
        return std::nullopt;
    }
    for (int32_t op = -1; op <= 11; ++op) {
        const char* known = eventClass == EVENT_CLASS_FILE ? FileOpName(op) : RegOpName(op);
        if (name == known) return op;
    }
    char* end = nullptr;
    long value = std::strtol(name.c_str(), &end, 10);
    if (!name.empty() && *end == '\0') return static_cast<int32_t>(value);
    return std::nullopt;
}

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string Hex(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

std::optional<VerdictRule> ParseVerdictRule(const std::string& text) {
    const size_t equals = text.rfind('=');
    if (equals == std::string::npos || equals + 1 >= text.size()) return std::nullopt;
    VerdictRule rule;
    char* end = nullptr;
    rule.verdict = static_cast<Verdict>(std::strtol(text.c_str() + equals + 1, &end, 10));
    if (*end != '\0') return std::nullopt;
    std::string head = text.substr(0, equals);
    const size_t tilde = head.find('~');
    if (tilde != std::string::npos) {
        rule.contains = head.substr(tilde + 1);
        head.resize(tilde);
    }
    const size_t colon = head.find(':');
    const std::string cls = head.substr(0, colon);
    if (cls == "file") rule.eventClass = EVENT_CLASS_FILE;
    else if (cls == "registry") rule.eventClass = EVENT_CLASS_REGISTRY;
    else if (cls == "process") rule.eventClass = EVENT_CLASS_PROCESS;
    else return std::nullopt;
    if (colon != std::string::npos) {
        rule.operation = ParseOperation(rule.eventClass, head.substr(colon + 1));
        if (!rule.operation) return std::nullopt;
    }
    return rule;
}

Verdict DecideVerdict(const std::vector<VerdictRule>& rules, const EventView& event, Verdict fallback) {
    for (const VerdictRule& rule : rules) {
        if (rule.eventClass != ClassOf(event)) continue;
        if (rule.operation && *rule.operation != OperationOf(event)) continue;
        if (!rule.contains.empty() && MainText(event).find(rule.contains) == std::string::npos) continue;
        return rule.verdict;
    }
    return fallback;
}

std::string FormatEventText(const EventView& event) {
    char line[256];
    if (auto* f = std::get_if<FileEventView>(&event)) {
        std::snprintf(line, sizeof(line), "file     pid %-6u %-20s ", f->processId, FileOpName(f->operation));
        std::string out = line + f->name.Utf8() + (f->name.truncated ? "..." : "");
        if (!f->destName.empty()) out += " -> " + f->destName.Utf8();
        return out;
    }
    if (auto* r = std::get_if<RegistryEventView>(&event)) {
        std::snprintf(line, sizeof(line), "registry pid %-6u %-20s ", r->processId, RegOpName(r->operation));
        std::string out = line + r->keyPath.Utf8();
        if (!r->name.empty()) out += " : " + r->name.Utf8();
        if (!r->data.empty()) out += " (" + std::to_string(r->data.bytes.size()) + " bytes)";
        return out;
    }
    const auto& p = std::get<ProcessEventView>(event);
    std::snprintf(line, sizeof(line), "process  pid %-6u %-20s parent %u ", p.processId, p.isCreate ? "start" : "exit",
                  p.parentProcessId);
    std::string out = line + p.imageName.Utf8();
    if (!p.commandLine.empty()) out += " [" + p.commandLine.Utf8() + "]";
    return out;
}

std::string FormatEventJson(const EventView& event, std::optional<Verdict> verdict) {
    std::string out = "{";
    auto field = [&out](const char* name, const std::string& value) {
        if (out.size() > 1) out += ",";
        out += "\"";
        out += name;
        out += "\":" + value;
    };
    if (auto* f = std::get_if<FileEventView>(&event)) {
        field("class", "\"file\"");
        field("pid", std::to_string(f->processId));
        field("operation", JsonString(FileOpName(f->operation)));
        field("major", std::to_string(f->majorFunction));
        field("name", JsonString(f->name.Utf8()));
        field("nameTruncated", f->name.truncated ? "true" : "false");
        if (!f->destName.empty()) field("destination", JsonString(f->destName.Utf8()));
        field("fileId", std::to_string(f->fileId));
        field("fileObject", std::to_string(f->fileObject));
    } else if (auto* r = std::get_if<RegistryEventView>(&event)) {
        field("class", "\"registry\"");
        field("pid", std::to_string(r->processId));
        field("operation", JsonString(RegOpName(r->operation)));
        field("key", JsonString(r->keyPath.Utf8()));
        if (!r->name.empty()) field("value", JsonString(r->name.Utf8()));
        if (!r->data.empty()) {
            field("dataType", std::to_string(r->dataType));
            field("data", JsonString(Hex(r->data.bytes)));
            field("dataTruncated", r->data.truncated ? "true" : "false");
        }
    } else {
        const auto& p = std::get<ProcessEventView>(event);
        field("class", "\"process\"");
        field("pid", std::to_string(p.processId));
        field("parent", std::to_string(p.parentProcessId));
        field("operation", p.isCreate ? "\"start\"" : "\"exit\"");
        field("image", JsonString(p.imageName.Utf8()));
        if (!p.commandLine.empty()) field("commandLine", JsonString(p.commandLine.Utf8()));
    }
    if (verdict) field("verdict", std::to_string(*verdict));
    return out + "}";
}

}  // namespace vetrona::client
