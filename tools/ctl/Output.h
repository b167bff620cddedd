// How dadovuctl renders what a daemon sends: safe terminal text, error
// messages with their details, the component table and JSON values.
#pragma once

#include <dadovu/dadovu.h>
#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace DaDovuCtl {

// `utf8` with every control character (C0, DEL, C1) replaced by '?', so that
// text from a daemon cannot drive the terminal. With `multiline`, line feeds
// and tabs are kept; otherwise they become blanks.
std::string Sanitize(std::string_view utf8, bool multiline);

// Each message of `messages` on its own line, starting with `prefix`: its text
// and, for a catalogued message, "(catalog number)"; its details follow on
// lines indented by two blanks per level. Every line ends in '\n'.
std::string FormatMessages(const QxPalMsg::MessageList_t& messages, const std::string& prefix);

// "info", "warning", "error", "fatal", or the number.
std::string SeverityName(int severity);
// "stopped", "starting", "running", "stopping", "failed", "unknown", or the number.
std::string StateName(int state);

// {"severity", "catalog", "number", "text", "details": [...]}.
nlohmann::json MessageToJson(const QxPalMsg::Message_t& message);
// {"name", "state", "state_code", "pid", "category", "description", "xml"}.
nlohmann::json ComponentToJson(const DaDovu::ControlComponent& component);

// Columns separated by two blanks, each as wide as its widest cell (counted
// in code points); the last column is not padded. `rows[0]` is the heading.
std::string RenderTable(const std::vector<std::vector<std::string>>& rows);

// The JSON text dadovuctl prints: indented, invalid UTF-8 replaced, ending in '\n'.
std::string DumpJson(const nlohmann::json& value);

}  // namespace DaDovuCtl
