// What DaDovu's tests share: node settings in a temporary directory, the
// request trace captured line by line, the node's log read back, a fixture
// with its own settings and test daemon, and the headers the tests use.
#pragma once

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>
#include <qxpal/config.h>
#include <qxpal/trace.h>
#include <cxxabi.h>
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "TestDaemon.h"
#include "api/ControlComponentImpl.h"
#include "api/ControlComponentListImpl.h"
#include "api/OptionsImpl.h"
#include "engine/ControlImpl.h"

namespace DaDovuTest {

using Texts = std::vector<std::string>;

inline Texts Split(const std::string& text, char separator) {
    Texts parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

// The node settings in force while it lives: a temporary directory holding
// the settings files and the node's log. Every change writes a new file, so
// that no cache takes it for the previous one; the settings in force before
// are restored and the directory removed on destruction. The files never have
// a [trace] section, so switching them leaves the trace masks alone. The
// shared messenger takes its settings from the first request of a process:
// its short timeouts keep a stuck request from hanging a test.
// Not synchronised: change it from the test thread only.
class NodeSettings {
public:
    NodeSettings() : previous_(QxPalConfig::GetConfigPath()) {
        dir_ = (std::filesystem::temp_directory_path() / "dadovu-test-XXXXXX").string();
        if (::mkdtemp(dir_.data()) == nullptr) ADD_FAILURE() << "cannot create " << dir_;
        sections_["lnk.http.ext.ctrl"] = {{"CONNECT_TIMEOUT_MS", "3000"}, {"TIMEOUT_MS", "5000"}};
        Set("log", "FILE", LogPath());
    }
    ~NodeSettings() {
        QxPalConfig::SetConfigPath(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    NodeSettings(const NodeSettings&) = delete;
    NodeSettings& operator=(const NodeSettings&) = delete;

    // Sets `key` of `section` (an empty value removes it) and puts the result in force.
    void Set(const std::string& section, const std::string& key, const std::string& value) {
        if (value.empty()) sections_[section].erase(key);
        else sections_[section][key] = value;
        std::ostringstream text;
        for (const auto& [name, keys] : sections_) {
            text << "[" << name << "]\n";
            for (const auto& [k, v] : keys) text << k << " = " << v << "\n";
        }
        const std::string path = dir_ + "/node" + std::to_string(++files_) + ".conf";
        std::ofstream(path) << text.str();
        QxPalConfig::SetConfigPath(path);
    }
    void SetCertInstalled(const std::string& value) { Set("sec.cm.certificates", "CERT_INSTALLED", value); }
    void SetCloseConnection(const std::string& value) { Set("ctrl", "CLOSE_CONN_AFTER_USE", value); }

    const std::string& Dir() const { return dir_; }
    std::string LogPath() const { return dir_ + "/node.log"; }
    // The node's log so far, one "catalog number text" per line.
    Texts Log() const {
        Texts entries;
        std::ifstream in(LogPath());
        for (std::string line; std::getline(in, line);) {
            const Texts f = Split(line, '\t');  // time, severity, catalog, number, text
            entries.push_back(f.size() < 5 ? line : f[2] + " " + f[3] + " " + f[4]);
        }
        return entries;
    }

private:
    std::string previous_;
    std::string dir_;
    std::map<std::string, std::map<std::string, std::string>> sections_;
    int files_ = 0;
};

// Captures the lines of the trace `name` while it lives, with `mask` in force;
// restores the previous mask and removes the sink on destruction.
// Thread-safe: lines may come from any thread.
class TraceCapture {
public:
    struct Line {
        unsigned level;
        std::string source;  // "file:line"
        std::string text;
    };

    explicit TraceCapture(unsigned mask, std::string name = "ctrl.rpcclient")
        : name_(std::move(name)), previousMask_(QxPalTrc::TraceObj_t::Get(name_).GetMask()) {
        // Settings opened for the first time apply their [trace] section: open
        // them now, not in the middle of a request.
        QxPalConfig::ConfigNamespace_t("trace").Open();
        QxPalTrc::SetTraceSink([this](const std::string& line) { Add(line); });
        QxPalTrc::SetTraceMask(name_, mask);
    }
    ~TraceCapture() {
        QxPalTrc::SetTraceSink({});
        QxPalTrc::SetTraceMask(name_, previousMask_);
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<Line> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    Texts Get() const {
        Texts texts;
        for (const Line& line : Lines()) texts.push_back(line.text);
        return texts;
    }
    std::size_t Count(const std::string& text) const {
        const Texts texts = Get();
        return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    void Add(const std::string& line) {
        const Texts f = Split(line, '\t');  // time, thread, name, level, source:line, text
        if (f.size() < 6 || f[2] != name_) return;
        std::size_t text = 0;
        for (int i = 0; i < 5; ++i) text += f[i].size() + 1;
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(Line{static_cast<unsigned>(std::stoul(f[3])), f[4], line.substr(text)});
    }

    std::string name_;
    unsigned previousMask_;
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

// A test with its own settings and its own daemon, on a fresh port.
class DaemonTest : public ::testing::Test {
protected:
    QxPalNet::URI_t Uri() const { return QxPalNet::URI_t(daemon_.Uri().c_str()); }
    // The node name under which requests by node reach the daemon.
    std::string Node() const { return "127.0.0.1:" + std::to_string(daemon_.Port()); }
    // The last request the daemon received; a test failure when there was none.
    SoapTest::RecordedRequest Last() const {
        const std::vector<SoapTest::RecordedRequest> requests = daemon_.Requests();
        EXPECT_FALSE(requests.empty());
        return requests.empty() ? SoapTest::RecordedRequest{} : requests.back();
    }

    NodeSettings settings_;
    SoapTest::TestDaemon daemon_;
    DaDovu::Control::Options options_;
};

// A record from "name|description|category|pid|xml|state" (missing fields
// are empty, a missing state COMPONENT_UNKNOWN), and back.
inline DaDovu::ControlComponent Record(const std::string& fields) {
    Texts f = Split(fields, '|');
    f.resize(6);
    DaDovu::ControlComponent record;
    DaDovu::ControlComponentImpl* impl = DaDovu::ControlComponentImpl::GetImpl(record);
    impl->SetName(f[0].c_str());
    impl->SetDescription(f[1].c_str());
    impl->SetCategory(f[2].c_str());
    impl->SetPID(f[3].c_str());
    impl->SetXML(f[4].c_str());
    impl->SetState(static_cast<DaDovu::ComponentState>(f[5].empty() ? -1 : std::stoi(f[5])));
    return record;
}
inline std::string Fields(const DaDovu::ControlComponent& c) {
    return c.GetName().ToUtf8() + "|" + c.GetDescription().ToUtf8() + "|" + c.GetCategory().ToUtf8() + "|" +
           c.GetPID().ToUtf8() + "|" + c.GetXML().ToUtf8() + "|" + std::to_string(c.GetState());
}

inline void Append(DaDovu::ControlComponentList& list, std::initializer_list<const char*> records) {
    for (const char* record : records) DaDovu::ControlComponentListImpl::GetImpl(list)->AddElement(Record(record));
}

// The names of the records of `list` from its cursor on (walking moves the cursor).
inline Texts Walk(const DaDovu::ControlComponentList& list) {
    Texts names;
    for (; !list.IsAtEnd(); list.Next()) names.push_back(list.GetCurrent().GetName().ToUtf8());
    return names;
}

// The one message of `e` (a test failure when there is not exactly one):
// "catalog number severity: text | details".
inline std::string Describe(const QxPalMsg::Exception_t& e) {
    const QxPalMsg::MessageList_t& messages = e.GetMessageList();
    EXPECT_EQ(messages.GetMessageCount(), 1);
    if (messages.GetMessageCount() < 1) return {};
    const QxPalMsg::Message_t& m = messages.GetMessageObject(0);
    return std::string(m.GetMessageCatalog()) + " " + std::to_string(m.GetMessageNo()) + " " +
           std::to_string(static_cast<int>(m.GetSeverity())) + ": " + m.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8() +
           " | " + m.GetDetails().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
}

// What `request` did: "returned" and its value, or the demangled class of the
// exception it threw followed by Describe(e).
template <typename Request>
std::string Outcome(Request&& request) {
    try {
        if constexpr (std::is_void_v<decltype(request())>) {
            request();
            return "returned";
        } else {
            std::ostringstream value;
            value << request();
            return "returned " + value.str();
        }
    } catch (const QxPalMsg::Exception_t& e) {
        int status = 0;
        const std::unique_ptr<char, void (*)(void*)> name(
            abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), std::free);
        return std::string(name ? name.get() : typeid(e).name()) + " " + Describe(e);
    }
}

// A request as the daemon received it: method(name=value, ...) with ":int"
// after the name of an xsd:int argument (":<type>" for types other than
// xsd:string), then " tid=<target ID>" when one was sent.
inline std::string Wire(const SoapTest::RecordedRequest& r) {
    std::string text = r.method + "(";
    for (std::size_t i = 0; i < r.args.size(); ++i) {
        const std::string type = i < r.argTypes.size() ? r.argTypes[i].second : "?";
        text += (i == 0 ? "" : ", ") + r.args[i].first +
                (type == "xsd:string" ? "" : type == "xsd:int" ? ":int" : ":" + type) + "=" + r.args[i].second;
    }
    return text + ")" + (r.targetId ? " tid=" + *r.targetId : "");
}

}  // namespace DaDovuTest
