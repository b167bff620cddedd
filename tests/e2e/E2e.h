// What the end-to-end tests run: dadovuctl to its end, checked against what
// it should print, and dadovu-sim as a node until it is stopped.
#pragma once

#include <Process.h>
#include <TestDaemon.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace E2e {

using namespace std::chrono_literals;
using SoapTest::Child;
using SoapTest::Concat;
using SoapTest::ProcessResult;
using SoapTest::Run;
using SoapTest::TempDir;

// Runs dadovuctl with `args`, then "--config" `config` unless it is empty
// (so that no settings of the machine are read), for at most 20 s.
inline ProcessResult Ctl(std::vector<std::string> args, const std::string& config, bool terminalStderr = false) {
    args.insert(args.begin(), DADOVUCTL_PATH);
    if (!config.empty()) args.insert(args.end(), {"--config", config});
    return Run(args, 20s, terminalStderr);
}

// The exit status or signal, standard output and standard error, for failure messages.
inline std::string Describe(const ProcessResult& r) {
    return "exit " + std::to_string(r.exitStatus) + " signal " + std::to_string(r.signal) + "\nstdout:\n" + r.out +
           "\nstderr:\n" + r.err;
}

// Runs dadovuctl as Ctl does and expects its exit status, its whole standard
// output, and the start of its standard error ("": nothing at all).
inline void ExpectCtl(const std::vector<std::string>& args, const std::string& config, int exitStatus,
                      const std::string& out, const std::string& err) {
    const ProcessResult r = Ctl(args, config);
    const std::string what = ::testing::PrintToString(args) + "\n" + Describe(r);
    EXPECT_EQ(r.exitStatus, exitStatus) << what;
    EXPECT_EQ(r.out, out) << what;
    EXPECT_EQ(err.empty() ? r.err : r.err.substr(0, err.size()), err) << what;
}

// "127.0.0.1:PORT" where nothing listens any more.
inline std::string ClosedNode() {
    SoapTest::TestDaemon daemon;
    daemon.Stop();
    return "127.0.0.1:" + std::to_string(daemon.Port());
}

// dadovu-sim serving `componentsDir` on 127.0.0.1 with an ephemeral port, with
// `extraArgs` (TLS, authorization). Throws std::runtime_error, with what it
// wrote, when it does not print its endpoint within 10 s.
class SimNode {
public:
    explicit SimNode(const std::string& componentsDir, const std::vector<std::string>& extraArgs = {})
        : child_(Concat({DADOVU_SIM_PATH, "--listen", "127.0.0.1:0", "--components", componentsDir}, extraArgs)),
          uri_(child_.FirstLine(10s)) {}
    const std::string& Uri() const { return uri_; }
    // "127.0.0.1:PORT", what --node takes to reach it.
    std::string HostPort() const {
        const std::size_t host = uri_.find("//") + 2;
        return uri_.substr(host, uri_.find('/', host) - host);
    }
    int Port() const { return std::stoi(uri_.substr(uri_.find(':', 6) + 1)); }
    // Sends `signal` and waits up to 10 s for the simulator to end.
    ProcessResult Stop(int signal = SIGTERM) { return child_.Finish(10s, signal); }

private:
    Child child_;
    std::string uri_;
};

}  // namespace E2e
