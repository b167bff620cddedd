// Helpers of the QxPal tests: node settings in a private temporary directory,
// the fields of written lines, message lists, threads and exception texts.
#pragma once

#include <qxpal/qxpal.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qxpal_test {

using namespace QxPalMsg;
using QxPalConfig::Configuration_t;
using QxPalNet::URI_t;
using QxPalStr::String_t;
using QxPalStr::UTF16String;
using QxPalTrc::TraceObj_t;
using QxPalXml::XmlWriter_t;

// Writes `text` to `path` in place (same inode).
inline void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The TAB-separated fields of each line of a file; a missing file has no lines.
inline std::vector<std::vector<std::string>> LineFields(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line + '\t');
        lines.emplace_back();
        for (std::string field; std::getline(fields, field, '\t');) lines.back().push_back(field);
    }
    return lines;
}

inline QxPalMsg::MessageList_t ListOf(std::initializer_list<QxPalMsg::Message_t> messages) {
    QxPalMsg::MessageList_t list;
    for (const auto& message : messages) list.Add(message);
    return list;
}

// Runs fn(0) .. fn(count - 1) on threads of their own and waits for them.
template <class Fn>
void OnThreads(int count, Fn&& fn) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) threads.emplace_back(fn, t);
    for (auto& thread : threads) thread.join();
}

// The plain text of the exception E that `run` raises, or "no exception".
template <class E, class Run>
std::string FailureOf(Run&& run) {
    try {
        run();
    } catch (const E& e) {
        return e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
    }
    return "no exception";
}

// Puts the settings file node.conf of a fresh private directory in force for
// the life of a test (written only when `text` is not empty).
class SettingsFile {
public:
    explicit SettingsFile(const std::string& text = "") {
        std::string pattern = (std::filesystem::temp_directory_path() / "qxpal-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        if (!text.empty()) WriteFile(Path(), text);
        QxPalConfig::SetConfigPath(Path());
    }
    ~SettingsFile() {
        QxPalConfig::SetConfigPath("");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    std::string Path() const { return File("node.conf"); }
    std::string File(const std::string& name) const { return (dir_ / name).string(); }
    // Writes a sibling file and renames it over the settings (a new inode), as an editor does.
    void Replace(const std::string& text) const {
        WriteFile(Path() + ".new", text);
        std::filesystem::rename(Path() + ".new", Path());
    }

private:
    std::filesystem::path dir_;
};

}  // namespace qxpal_test
