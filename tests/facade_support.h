// Helpers of the facade tests: node settings in a temporary file, captured
// request trace lines, and the daemon's node name.
#pragma once

#include <qxpal/config.h>
#include <qxpal/trace.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestDaemon.h"

namespace FacadeTest {

// Settings every facade test runs with. The shared messenger is configured
// from the first request of the process, so its call timeout is kept short
// here (a stuck request fails instead of hanging the test); failures that a
// request writes to the node's log stay out of the test output.
inline std::string MessengerSettings() {
    return "[lnk.http.ext.ctrl]\nCONNECT_TIMEOUT_MS = 5000\nTIMEOUT_MS = 10000\n[log]\nFILE = /dev/null\n";
}

// Makes a temporary settings file with `text` the node settings in force, and
// restores the settings that were in force before on destruction.
class ScopedSettings {
public:
    explicit ScopedSettings(const std::string& text) : previous_(QxPalConfig::GetConfigPath()) {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/facade-XXXXXX.conf";
        const int fd = ::mkstemps(pattern.data(), 5);
        if (fd < 0) throw std::runtime_error("cannot create a settings file");
        ::close(fd);
        path_ = pattern;
        std::ofstream(path_) << text;
        QxPalConfig::SetConfigPath(path_);
    }
    ~ScopedSettings() {
        QxPalConfig::SetConfigPath(previous_);
        std::remove(path_.c_str());
    }
    ScopedSettings(const ScopedSettings&) = delete;
    ScopedSettings& operator=(const ScopedSettings&) = delete;

private:
    std::string previous_;
    std::string path_;
};

// Captures the texts of the lines written to the trace "ctrl.rpcclient" with
// `mask` in force; restores the previous mask and removes the sink on destruction.
// REQUIRES: the settings in force do not change while it lives.
class TraceCapture {
public:
    explicit TraceCapture(unsigned mask, std::string name = "ctrl.rpcclient")
        : name_(std::move(name)), previousMask_(QxPalTrc::TraceObj_t::Get(name_).GetMask()) {
        // Settings opened for the first time apply their [trace] section, which
        // would replace the mask set here in the middle of a request: open them now.
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

    // The texts of this trace's lines, in the order written.
    std::vector<std::string> Texts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
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
        if (fields[2] != name_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(line.substr(start));
    }

    std::string name_;
    unsigned previousMask_;
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

// The node name under which requests by node reach `daemon`.
inline std::string NodeOf(const SoapTest::TestDaemon& daemon) {
    return "127.0.0.1:" + std::to_string(daemon.Port());
}

}  // namespace FacadeTest
