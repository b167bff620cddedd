#include "ComponentDefinition.h"

#include "XmlText.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

namespace DaDovuSim {

namespace {

constexpr std::string_view kSuffix = ".conf";

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

bool IsNameChar(char c, bool colon) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-' || (colon && c == ':');
}

bool IsValidWord(std::string_view word, bool colon) {
    return !word.empty() && word.size() <= 256 &&
           std::all_of(word.begin(), word.end(), [colon](char c) { return IsNameChar(c, colon); });
}

// Splits a list value at commas and blanks; empty items are dropped.
std::vector<std::string> SplitList(std::string_view value) {
    std::vector<std::string> items;
    std::string current;
    for (char c : value) {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!current.empty()) items.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) items.push_back(std::move(current));
    return items;
}

std::optional<bool> ParseBool(std::string_view value) {
    std::string lower(value);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "true" || lower == "yes" || lower == "1") return true;
    if (lower == "false" || lower == "no" || lower == "0") return false;
    return std::nullopt;
}

std::optional<std::chrono::milliseconds> ParseTime(std::string_view value) {
    long long ms = 0;
    const char* end = value.data() + value.size();
    auto [ptr, ec] = std::from_chars(value.data(), end, ms);
    if (ec != std::errc() || ptr != end || ms < 0 || ms > kMaxTransitionTime.count()) return std::nullopt;
    return std::chrono::milliseconds(ms);
}

std::string DefaultName(const std::string& source) {
    std::string base = std::filesystem::path(source).filename().string();
    if (base.size() > kSuffix.size() && base.compare(base.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0)
        base.resize(base.size() - kSuffix.size());
    return base;
}

[[noreturn]] void Fail(const std::string& source, std::size_t line, const std::string& what) {
    std::string text = source.empty() ? std::string("definition") : source;
    if (line != 0) text += ":" + std::to_string(line);
    throw DefinitionError(text + ": " + what);
}

}  // namespace

const char* StateName(ComponentState state) {
    switch (state) {
    case ComponentState::Stopped: return "stopped";
    case ComponentState::Starting: return "starting";
    case ComponentState::Running: return "running";
    case ComponentState::Stopping: return "stopping";
    case ComponentState::Failed: return "failed";
    case ComponentState::Unknown: break;
    }
    return "unknown";
}

bool ComponentDefinition::Subscribes(std::string_view event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
}

bool IsValidName(std::string_view name) { return IsValidWord(name, false); }

bool IsCleanText(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned long codePoint = 0;
        if ((c & 0xe0) == 0xc0) { length = 2; codePoint = c & 0x1f; }
        else if ((c & 0xf0) == 0xe0) { length = 3; codePoint = c & 0x0f; }
        else if ((c & 0xf8) == 0xf0) { length = 4; codePoint = c & 0x07; }
        else return false;
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3f);
        }
        static constexpr unsigned long kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kMinimum[length] || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff) ||
            codePoint == 0xfffe || codePoint == 0xffff || (codePoint >= 0x80 && codePoint <= 0x9f))
            return false;
        i += length;
    }
    return true;
}

ComponentDefinition ParseDefinition(std::string_view text, const std::string& source) {
    if (text.size() > kMaxDefinitionBytes) Fail(source, 0, "larger than " + std::to_string(kMaxDefinitionBytes) + " bytes");
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

    ComponentDefinition definition;
    definition.source = source;
    std::set<std::string, std::less<>> seen;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!IsCleanText(line)) Fail(source, lineNo, "not UTF-8 text, or a control character");
        line = Trim(line);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;

        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) Fail(source, lineNo, "expected 'key = value'");
        const std::string_view key = Trim(line.substr(0, equals));
        const std::string_view value = Trim(line.substr(equals + 1));
        if (!seen.insert(std::string(key)).second) Fail(source, lineNo, "key '" + std::string(key) + "' given twice");

        if (key == "name") {
            if (!IsValidName(value)) Fail(source, lineNo, "invalid component name '" + std::string(value) + "'");
            definition.name = value;
        } else if (key == "description") {
            definition.description = value;
        } else if (key == "category") {
            if (!value.empty() && !IsValidName(value))
                Fail(source, lineNo, "invalid category '" + std::string(value) + "'");
            definition.category = value;
        } else if (key == "prerequisites") {
            for (auto& item : SplitList(value)) {
                if (!IsValidName(item)) Fail(source, lineNo, "invalid prerequisite name '" + item + "'");
                if (std::find(definition.prerequisites.begin(), definition.prerequisites.end(), item) ==
                    definition.prerequisites.end())
                    definition.prerequisites.push_back(std::move(item));
            }
        } else if (key == "events") {
            for (auto& item : SplitList(value)) {
                if (!IsValidWord(item, true)) Fail(source, lineNo, "invalid event name '" + item + "'");
                if (!definition.Subscribes(item)) definition.events.push_back(std::move(item));
            }
        } else if (key == "start_time_ms" || key == "stop_time_ms") {
            const auto time = ParseTime(value);
            if (!time)
                Fail(source, lineNo, std::string(key) + " must be a whole number of milliseconds from 0 to " +
                                         std::to_string(kMaxTransitionTime.count()));
            (key == "start_time_ms" ? definition.startTime : definition.stopTime) = *time;
        } else if (key == "start_fails" || key == "stop_fails") {
            const auto flag = ParseBool(value);
            if (!flag) Fail(source, lineNo, std::string(key) + " must be true or false");
            (key == "start_fails" ? definition.startFails : definition.stopFails) = *flag;
        } else {
            Fail(source, lineNo, "unknown key '" + std::string(key) + "'");
        }
    }

    if (definition.name.empty()) {
        definition.name = DefaultName(source);
        if (!IsValidName(definition.name))
            Fail(source, 0, "no 'name' given, and the file name is not a valid component name");
    }
    if (std::find(definition.prerequisites.begin(), definition.prerequisites.end(), definition.name) !=
        definition.prerequisites.end())
        Fail(source, 0, "component '" + definition.name + "' names itself as a prerequisite");
    return definition;
}

ComponentDefinition LoadDefinitionFile(const std::string& path) {
    const std::string source = std::filesystem::path(path).filename().string();
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(source, 0, "cannot be read");
    std::string text;
    text.resize(kMaxDefinitionBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) Fail(source, 0, "cannot be read");
    text.resize(static_cast<std::size_t>(in.gcount()));
    return ParseDefinition(text, source);
}

std::vector<ComponentDefinition> LoadDefinitionDirectory(const std::string& directory) {
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<fs::path> files;
    fs::directory_iterator it(directory, error);
    if (error) throw DefinitionError(directory + ": " + error.message());
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error) throw DefinitionError(directory + ": " + error.message());
        const fs::path& path = it->path();
        if (path.extension() == kSuffix && it->is_regular_file(error)) files.push_back(path);
    }
    if (error) throw DefinitionError(directory + ": " + error.message());
    std::sort(files.begin(), files.end());
    std::vector<ComponentDefinition> definitions;
    definitions.reserve(files.size());
    for (const auto& file : files) definitions.push_back(LoadDefinitionFile(file.string()));
    return definitions;
}

std::vector<ComponentDefinition> GenerateDefinitions(std::size_t count) {
    std::vector<ComponentDefinition> definitions;
    definitions.reserve(count);
    const int width = std::max<int>(5, static_cast<int>(std::to_string(count).size()));
    for (std::size_t i = 1; i <= count; ++i) {
        ComponentDefinition definition;
        char name[40];
        std::snprintf(name, sizeof name, "comp%0*zu", width, i);
        char category[16];
        std::snprintf(category, sizeof category, "group%02zu", (i - 1) % 10 + 1);
        definition.name = name;
        definition.category = category;
        definition.description = "Generated component " + std::to_string(i);
        definition.events = {"ping"};
        definitions.push_back(std::move(definition));
    }
    return definitions;
}

std::string DefinitionToXml(const ComponentDefinition& d) {
    std::string xml = "<component name=\"";
    AppendXmlAttribute(xml, d.name);
    xml += "\"><description>";
    AppendXmlText(xml, d.description);
    xml += "</description><category>";
    AppendXmlText(xml, d.category);
    xml += "</category>";
    for (const auto& p : d.prerequisites) {
        xml += "<prerequisite>";
        AppendXmlText(xml, p);
        xml += "</prerequisite>";
    }
    for (const auto& e : d.events) {
        xml += "<event>";
        AppendXmlText(xml, e);
        xml += "</event>";
    }
    xml += "<start timeMs=\"" + std::to_string(d.startTime.count()) + "\" fails=\"" +
           (d.startFails ? "true" : "false") + "\"/>";
    xml += "<stop timeMs=\"" + std::to_string(d.stopTime.count()) + "\" fails=\"" +
           (d.stopFails ? "true" : "false") + "\"/>";
    xml += "</component>";
    return xml;
}

}  // namespace DaDovuSim
