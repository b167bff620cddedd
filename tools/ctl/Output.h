// How dadovuctl renders what a daemon sends: safe terminal text, the
// component table and JSON values.
#pragma once

#include <dadovu/Client.h>
#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace DaDovuCtl {

// `utf8` with every control character (C0, DEL, C1) replaced by '?', so that
// text from a daemon cannot drive the terminal. With `multiline`, line feeds
// and tabs are kept; otherwise they become blanks.
std::string Sanitize(std::string_view utf8, bool multiline);

// "info", "warning", "error", "fatal", or the number.
std::string SeverityName(DaDovu::Severity severity);
// "stopped", "starting", "running", "stopping", "failed", "unknown", or the number.
std::string StateName(int state);

// {"severity", "catalog", "number", "text", "parameters": [...]}.
nlohmann::json MessageToJson(const DaDovu::Message& message);
// {"name", "state", "state_code", "pid", "category", "description", "xml"};
// "pid" is the process ID as a number; it and the texts are null when the
// daemon sent none (or an empty one).
nlohmann::json ComponentToJson(const DaDovu::Component& component);

// Columns separated by two blanks, each as wide as its widest cell (counted
// in code points); the last column is not padded. `rows[0]` is the heading.
std::string RenderTable(const std::vector<std::vector<std::string>>& rows);

// The JSON text of `uri --json`: indented, invalid UTF-8 replaced, ending in '\n'.
std::string DumpJson(const nlohmann::json& value);
// One line of JSON Lines: `value` on one line, invalid UTF-8 replaced,
// ending in '\n'.
std::string JsonLine(const nlohmann::json& value);

// `text` with `prefix` before each of its lines; every line ends in '\n'.
std::string PrefixLines(const std::string& text, const std::string& prefix);

}  // namespace DaDovuCtl
