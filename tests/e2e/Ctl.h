// Running dadovuctl from the end-to-end tests.
#pragma once

#include "Process.h"

#include <string>
#include <vector>

namespace E2e {

// Runs dadovuctl with `args`, the settings file `config` as QXPAL_CONFIG
// (so that no settings of the machine are read) and a 20 s timeout.
ProcessResult Ctl(const std::vector<std::string>& args, const std::string& config);

// "exit N", standard output and standard error, for failure messages.
std::string Describe(const ProcessResult& result);

// A TCP port on 127.0.0.1 that nothing listens on (bound, then released).
int ClosedPort();

}  // namespace E2e
