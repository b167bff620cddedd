// Helpers of the request engine's tests: node settings written to temporary
// files, the request trace captured line by line, and the node's log read back.
#pragma once

#include <dadovu/dadovu.h>
#include <qxpal/config.h>
#include <qxpal/trace.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestDaemon.h"
#include "api/ControlComponentImpl.h"
#include "api/ControlComponentListImpl.h"
#include "engine/ControlImpl.h"

namespace EngineTest {

// The messenger section every engine test runs with. The shared messenger is
// configured once per process, by its first request: the short call timeout
// keeps a stuck request from hanging a test.
inline std::string MessengerSection(const std::string& extra = {}) {
    return "[lnk.http.ext.ctrl]\nCONNECT_TIMEOUT_MS = 2000\nTIMEOUT_MS = 2000\n" + extra;
}

// Splits `text` at `separator`.
inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// The node settings in force while it lives: a temporary directory holding the
// settings file and the node's log. Every change writes a new file (never a
// rewrite in place), so no cache can take it for the previous version; the
// files are removed with the directory, and the settings path in force before
// is restored. Not synchronised: change it from the test thread only.
class NodeSettings {
public:
    explicit NodeSettings(std::string messengerSection = MessengerSection())
        : previous_(QxPalConfig::GetConfigPath()), messenger_(std::move(messengerSection)) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dadovu-engine-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a settings directory");
        dir_ = pattern;
        Write();
    }
    ~NodeSettings() {
        QxPalConfig::SetConfigPath(previous_);
        for (const std::string& file : files_) ::unlink(file.c_str());
        ::unlink(LogPath().c_str());
        ::rmdir(dir_.c_str());
    }
    NodeSettings(const NodeSettings&) = delete;
    NodeSettings& operator=(const NodeSettings&) = delete;

    // "sec.cm.certificates" / "CERT_INSTALLED"; an empty text removes the key.
    void SetCertInstalled(const std::string& value) { certInstalled_ = value; Write(); }
    // "ctrl" / "CLOSE_CONN_AFTER_USE"; an empty text removes the key.
    void SetCloseConnection(const std::string& value) { closeConnection_ = value; Write(); }
    // The mask of the trace "ctrl.rpcclient", in the settings and in force.
    void SetTraceMask(unsigned mask) {
        traceMask_ = mask;
        Write();
        QxPalTrc::SetTraceMask("ctrl.rpcclient", mask);
    }

    const std::string& Dir() const { return dir_; }
    std::string LogPath() const { return dir_ + "/node.log"; }

    // The lines of the node's log so far, each split at its TABs: time,
    // severity, catalog, number, text.
    std::vector<std::vector<std::string>> LogEntries() const {
        std::vector<std::vector<std::string>> entries;
        std::ifstream in(LogPath());
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) entries.push_back(Split(line, '\t'));
        return entries;
    }

private:
    void Write() {
        std::ostringstream text;
        text << messenger_ << "\n[log]\nFILE = " << LogPath() << "\n";
        text << "\n[trace]\nctrl.rpcclient = " << traceMask_ << "\n";
        text << "\n[sec.cm.certificates]\n";
        if (!certInstalled_.empty()) text << "CERT_INSTALLED = " << certInstalled_ << "\n";
        text << "\n[ctrl]\n";
        if (!closeConnection_.empty()) text << "CLOSE_CONN_AFTER_USE = " << closeConnection_ << "\n";
        const std::string path = dir_ + "/node" + std::to_string(files_.size()) + ".conf";
        std::ofstream(path) << text.str();
        files_.push_back(path);
        QxPalConfig::SetConfigPath(path);
    }

    std::string previous_;
    std::string messenger_;
    std::string dir_;
    std::vector<std::string> files_;
    std::string certInstalled_ = "false";
    std::string closeConnection_ = "false";
    unsigned traceMask_ = 0;
};

// Captures the texts of the lines written to the trace "ctrl.rpcclient" while
// it lives, with the given mask in force (set through `settings`, which must
// outlive it). Thread-safe: lines may come from any thread.
class TraceCapture {
public:
    TraceCapture(NodeSettings& settings, unsigned mask) : settings_(settings) {
        QxPalTrc::SetTraceSink([this](const std::string& line) { Add(line); });
        settings_.SetTraceMask(mask);
    }
    ~TraceCapture() {
        settings_.SetTraceMask(0);
        QxPalTrc::SetTraceSink({});
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    struct Line {
        unsigned level;
        std::string source;  // "file:line"
        std::string text;
    };

    std::vector<Line> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const Line& line : Lines()) texts.push_back(line.text);
        return texts;
    }
    // How many captured lines read exactly `text`.
    std::size_t Count(const std::string& text) const {
        std::size_t count = 0;
        for (const Line& line : Lines()) count += line.text == text ? 1 : 0;
        return count;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    // A line is: time TAB thread TAB name TAB level TAB source:line TAB text.
    void Add(const std::string& line) {
        std::vector<std::string> fields;
        std::string::size_type start = 0;
        for (int i = 0; i < 5; ++i) {
            const std::string::size_type tab = line.find('\t', start);
            if (tab == std::string::npos) return;
            fields.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        if (fields[2] != "ctrl.rpcclient") return;
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(Line{static_cast<unsigned>(std::stoul(fields[3])), fields[4], line.substr(start)});
    }

    NodeSettings& settings_;
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

// A test of the engine: its own settings and its own daemon, on a fresh port.
class EngineFixture : public ::testing::Test {
protected:
    QxPalNet::URI_t Uri() const { return QxPalNet::URI_t(daemon_.Uri().c_str()); }
    // The one request the daemon received (a test failure when there is not exactly one).
    SoapTest::RecordedRequest OnlyRequest() const {
        const std::vector<SoapTest::RecordedRequest> requests = daemon_.Requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? SoapTest::RecordedRequest{} : requests.front();
    }

    NodeSettings settings_;
    SoapTest::TestDaemon daemon_;
    DaDovu::Control::Options options_;
};

// UTF-8 text of a String_t, for comparisons.
inline std::string Utf8(const QxPalStr::String_t& text) { return text.ToUtf8(); }

// A record with the given name and state, for filling lists.
inline DaDovu::ControlComponent Record(const char* name, DaDovu::ComponentState state = DaDovu::COMPONENT_RUNNING) {
    DaDovu::ControlComponent record;
    DaDovu::ControlComponentImpl* impl = DaDovu::ControlComponentImpl::GetImpl(record);
    impl->SetName(name);
    impl->SetState(state);
    return record;
}

// The names of the records of `list` from its cursor on (walking moves the cursor).
inline std::vector<std::string> RemainingNames(const DaDovu::ControlComponentList& list) {
    std::vector<std::string> names;
    while (!list.IsAtEnd()) {
        names.push_back(list.GetCurrent().GetName().ToUtf8());
        list.Next();
    }
    return names;
}

// One request function of the engine, run with fixed arguments against `uri`.
struct Request {
    std::string name;    // for test names
    std::string method;  // the remote method
    bool framed;         // runs in the request frame (false: a registration method)
    std::function<void(const DaDovu::Control::Options&, const QxPalNet::URI_t&)> run;
};

// Every request function of the engine.
inline std::vector<Request> AllRequests() {
    using DaDovu::Control;
    using DaDovu::ControlImpl_t;
    using QxPalNet::URI_t;
    return {
        {"Start", "start", true, [](const Control::Options& o, const URI_t& u) { ControlImpl_t::Start("t", false, o, u); }},
        {"Stop", "stop", true, [](const Control::Options& o, const URI_t& u) { ControlImpl_t::Stop("t", false, o, u); }},
        {"Notify", "notify", true,
         [](const Control::Options& o, const URI_t& u) { ControlImpl_t::Notify("e", "v", "t", o, u); }},
        {"GetUser", "getuser", true, [](const Control::Options& o, const URI_t& u) { ControlImpl_t::GetUser(o, u); }},
        {"Status", "status", true,
         [](const Control::Options& o, const URI_t& u) { ControlImpl_t::Status(Control::STATUS_NAMES, "t", o, u); }},
        {"StatusAsList", "statusaslist", true,
         [](const Control::Options& o, const URI_t& u) {
             DaDovu::ControlComponentList list;
             ControlImpl_t::Status(Control::STATUS_NAMES, "t", o, list, u);
         }},
        {"RequestProgress", "requestprogress", true,
         [](const Control::Options& o, const URI_t& u) {
             QxPalMsg::MessageList_t messages;
             ControlImpl_t::GetCommandProgress(1, o, messages, u);
         }},
        {"AddComponent", "addcomponent", false,
         [](const Control::Options&, const URI_t& u) { ControlImpl_t::AddComponent("f", u); }},
        {"DeleteComponent", "deletecomponent", false,
         [](const Control::Options&, const URI_t& u) { ControlImpl_t::DeleteComponent("c", u); }},
    };
}

inline void PrintTo(const Request& request, std::ostream* out) { *out << request.name; }

// The methods of the request frame with their own texts and message numbers.
struct FramedMethod {
    Request request;
    std::string word;  // as in "Exception when executing '<word>' method."
    unsigned communicationNo;
    unsigned securityNo;
    bool logsFailure;

    std::string FailureTrace() const { return "Exception when executing '" + word + "' method."; }
    std::string CommunicationText() const { return "Communication error when executing '" + word + "' method."; }
    std::string SecurityText() const { return "Security error when executing '" + word + "' method."; }
};

inline void PrintTo(const FramedMethod& method, std::ostream* out) { *out << method.request.name; }

inline std::vector<FramedMethod> FramedMethods() {
    const std::vector<Request> all = AllRequests();
    auto find = [&all](const std::string& name) {
        for (const Request& request : all)
            if (request.name == name) return request;
        throw std::logic_error("no request " + name);
    };
    return {
        {find("Start"), "Start", 12, 13, true},
        {find("Stop"), "Stop", 15, 16, false},
        {find("Notify"), "Notify", 18, 19, false},
        {find("GetUser"), "GetUser", 92, 93, false},
        {find("Status"), "Status", 21, 22, false},
        {find("StatusAsList"), "Status", 21, 22, false},
        {find("RequestProgress"), "RequestProgress", 166, 167, false},
    };
}

}  // namespace EngineTest
