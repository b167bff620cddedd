// Files for the QxPal tests: a private temporary directory, and whole-file
// writes that replace a file in one step, as an administrator's editor does.
#pragma once

#include <qxpal/config.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qxpal_test {

// A fresh directory under the system's temporary directory, removed with
// everything in it on destruction.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qxpal-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Writes `text` to `path` in place (same inode).
inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

// Writes `text` to a sibling file and renames it over `path` (a new inode).
inline void ReplaceFile(const std::string& path, const std::string& text) {
    const std::string temp = path + ".new";
    WriteFile(temp, text);
    std::filesystem::rename(temp, path);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type from = 0;
    for (;;) {
        const auto at = text.find(separator, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

// Lines of a file written line by line; the empty tail after the last "\n" is dropped.
inline std::vector<std::string> Lines(const std::string& text) {
    auto lines = Split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// Points the settings at a file of a private directory for the life of a test,
// and back at the environment's choice afterwards.
class SettingsFile {
public:
    explicit SettingsFile(const std::string& text = "") : path_(dir_.File("node.conf")) {
        if (!text.empty()) WriteFile(path_, text);
        QxPalConfig::SetConfigPath(path_);
    }
    ~SettingsFile() { QxPalConfig::SetConfigPath(""); }
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return dir_.File(name); }
    void Replace(const std::string& text) const { ReplaceFile(path_, text); }

private:
    TempDir dir_;
    std::string path_;
};

}  // namespace qxpal_test
