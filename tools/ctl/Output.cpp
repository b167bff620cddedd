#include "Output.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <optional>

namespace DaDovuCtl {

std::string Sanitize(std::string_view utf8, bool multiline) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c == '\n' || c == '\t') {
            out += multiline ? static_cast<char>(c) : ' ';
        } else if (c < 0x20 || c == 0x7f) {
            out += '?';
        } else if (c == 0xc2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(utf8[i + 1]) <= 0x9f) {
            // U+0080..U+009F: C1 controls, among them the 8-bit CSI.
            out += '?';
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

std::size_t CodePoints(const std::string& utf8) {
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

}  // namespace

std::string SeverityName(DaDovu::Severity severity) {
    switch (severity) {
        case DaDovu::Severity::Info: return "info";
        case DaDovu::Severity::Warning: return "warning";
        case DaDovu::Severity::Error: return "error";
        case DaDovu::Severity::Fatal: return "fatal";
    }
    return std::to_string(static_cast<int>(severity));
}

std::string StateName(int state) {
    switch (state) {
        case DaDovu::COMPONENT_STOPPED: return "stopped";
        case DaDovu::COMPONENT_STARTING: return "starting";
        case DaDovu::COMPONENT_RUNNING: return "running";
        case DaDovu::COMPONENT_STOPPING: return "stopping";
        case DaDovu::COMPONENT_FAILED: return "failed";
        case DaDovu::COMPONENT_UNKNOWN: return "unknown";
        default: return std::to_string(state);
    }
}

nlohmann::json MessageToJson(const DaDovu::Message& message) {
    return {
        {"severity", SeverityName(message.GetSeverity())},
        {"catalog", message.GetCatalog()},
        {"number", message.GetNumber()},
        {"text", message.GetText()},
        {"parameters", message.GetParameters()},
    };
}

namespace {

nlohmann::json TextOrNull(const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); }

}  // namespace

nlohmann::json ComponentToJson(const DaDovu::Component& component) {
    const int state = component.GetStateNumber();
    const std::optional<int> pid = component.GetPid();
    return {
        {"name", component.GetName()},
        {"state", StateName(state)},
        {"state_code", state},
        {"pid", pid ? nlohmann::json(*pid) : nlohmann::json()},
        {"category", TextOrNull(component.GetCategory())},
        {"description", TextOrNull(component.GetDescription())},
        {"xml", TextOrNull(component.GetXml())},
    };
}

std::string RenderTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], CodePoints(row[c]));
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line.append(widths[c] - CodePoints(row[c]) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + '\n';
    }
    return out;
}

namespace {

// The dump escapes C0 controls only; DEL and the C1 controls (which a
// terminal may read as commands) can stand only inside strings, where the
// \u escapes below decode to the same text.
std::string EscapeControls(const std::string& dumped) {
    std::string out;
    out.reserve(dumped.size() + 1);
    char escaped[8];
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        const auto c = static_cast<unsigned char>(dumped[i]);
        const auto next = i + 1 < dumped.size() ? static_cast<unsigned char>(dumped[i + 1]) : 0;
        if (c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F)) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c == 0x7F ? 0x7F : next);
            out += escaped;
            if (c == 0xC2) ++i;
        } else {
            out += dumped[i];
        }
    }
    return out + '\n';
}

}  // namespace

std::string DumpJson(const nlohmann::json& value) {
    return EscapeControls(value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string JsonLine(const nlohmann::json& value) {
    return EscapeControls(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string PrefixLines(const std::string& text, const std::string& prefix) {
    std::string out;
    out.reserve(text.size() + prefix.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        out += prefix;
        out.append(text, pos, end - pos);
        out += '\n';
        pos = end + 1;
    }
    return out;
}

}  // namespace DaDovuCtl
