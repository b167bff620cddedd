// What the end-to-end tests run: dadovu-sim as a child process serving a
// directory of component definitions, and dadovuctl against it.
#pragma once

#include "Ctl.h"
#include "Process.h"

#include <memory>
#include <string>
#include <vector>

namespace E2e {

// One simulated node: dadovu-sim listening on 127.0.0.1 with an ephemeral
// port, stopped (SIGTERM, then SIGKILL) and reaped on destruction.
class SimNode {
public:
    // Starts the simulator on `componentsDir` with `extraArgs` added (TLS,
    // authorization, latency) and waits up to 10 s for its endpoint URI.
    // Throws std::runtime_error (with the simulator's standard error) when it
    // does not come up.
    explicit SimNode(const std::string& componentsDir, const std::vector<std::string>& extraArgs = {});

    // The endpoint URI the simulator printed.
    const std::string& Uri() const { return uri_; }
    // "127.0.0.1:PORT": what --node takes to reach this simulator.
    std::string HostPort() const;
    // What the simulator wrote to standard error so far.
    std::string Log() const;

private:
    TempDir dir_;
    std::string logPath_;
    std::unique_ptr<ChildProcess> process_;
    std::string uri_;
};

}  // namespace E2e
