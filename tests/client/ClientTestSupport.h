// What the Client tests share: the error a call throws, a node settings file
// named by QXPAL_CONFIG while an object lives, dadovu-sim as a child process,
// and standard error captured while an object lives.
#pragma once

#include <dadovu/Client.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Process.h"
#include "TestDaemon.h"
#include "TestPki.h"

// How the failure messages of the tests print the library's values.
namespace DaDovu {
inline void PrintTo(ErrorKind kind, std::ostream* out) { *out << Describe(kind); }
inline void PrintTo(ProgressState state, std::ostream* out) { *out << "ProgressState " << static_cast<int>(state); }
inline void PrintTo(const Message& m, std::ostream* out) {
    *out << "{" << static_cast<int>(m.GetSeverity()) << " " << m.GetCatalog() << " " << m.GetNumber() << " \""
         << m.GetText() << "\"";
    for (const std::string& parameter : m.GetParameters()) *out << " [" << parameter << "]";
    *out << "}";
}
}  // namespace DaDovu

namespace ClientTest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using DaDovu::Client;
using DaDovu::ClientSettings;
using DaDovu::Error;
using DaDovu::ErrorKind;
using SoapTest::RawDaemon;
using SoapTest::Reply;
using SoapTest::TempDir;
using SoapTest::TestDaemon;

// The DaDovu::Error that `call` throws; a test failure (and an Error of kind
// DaemonError named "nothing thrown") when it throws none. Any other
// exception escapes and fails the test.
template <typename Call>
Error ErrorOf(Call&& call) {
    try {
        call();
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "no DaDovu::Error was thrown";
    return Error(ErrorKind::DaemonError, "nothing thrown", "");
}

// A settings for `endpoint`, with the defaults otherwise.
inline ClientSettings At(const std::string& endpoint) { return ClientSettings().SetEndpoint(endpoint); }

// The content of the file at `path`.
inline std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// An endpoint on 127.0.0.1 where nothing listens any more.
inline std::string ClosedUri() {
    TestDaemon daemon;
    daemon.Stop();
    return daemon.Uri();
}

// A node settings file with `text`, named by QXPAL_CONFIG while this lives
// (each in a directory of its own, so that no cached file is taken for it).
class NodeFile {
public:
    // `text` is the file's content; with `asPath`, QXPAL_CONFIG names `text`
    // itself (a directory, a missing file).
    explicit NodeFile(const std::string& text, bool asPath = false) {
        if (const char* value = std::getenv("QXPAL_CONFIG")) previous_ = value;
        ::setenv("QXPAL_CONFIG", asPath ? text.c_str() : dir_.Write("node.conf", text).c_str(), 1);
    }
    ~NodeFile() {
        if (previous_)
            ::setenv("QXPAL_CONFIG", previous_->c_str(), 1);
        else
            ::unsetenv("QXPAL_CONFIG");
    }
    NodeFile(const NodeFile&) = delete;
    NodeFile& operator=(const NodeFile&) = delete;

private:
    TempDir dir_;
    std::optional<std::string> previous_;
};

// dadovu-sim on 127.0.0.1 with an ephemeral port and `args`; stopped and
// reaped at the latest on destruction.
class SimNode {
public:
    explicit SimNode(const std::vector<std::string>& args)
        : child_(SoapTest::Concat({DADOVU_SIM_PATH, "--listen", "127.0.0.1:0"}, args)), uri_(child_.FirstLine(20s)) {}
    const std::string& Uri() const { return uri_; }
    // Stops it (SIGTERM) and returns what it wrote. Call once.
    SoapTest::ProcessResult Stop() { return child_.Finish(10s, SIGTERM); }

private:
    SoapTest::Child child_;
    std::string uri_;
};

// Standard error (descriptor 2) goes to a file while this lives, or until Take().
class CapturedStandardError {
public:
    CapturedStandardError() : saved_(::dup(2)) {
        std::fflush(stderr);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::dup2(fd, 2), 2);
        ::close(fd);
    }
    ~CapturedStandardError() { Restore(); }
    CapturedStandardError(const CapturedStandardError&) = delete;
    CapturedStandardError& operator=(const CapturedStandardError&) = delete;

    // Restores standard error and returns what was written to it.
    std::string Take() {
        Restore();
        return dir_.Read("stderr");
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        std::cerr.flush();
        std::clog.flush();
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }

    TempDir dir_;
    std::string path_ = dir_.Path() + "/stderr";
    int saved_;
};

}  // namespace ClientTest
