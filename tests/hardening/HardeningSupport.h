// Helpers of the hardening tests: node settings in force while an object
// lives, dadovu-sim run as a child process, and what a process holds (open
// descriptors, resident memory).
#pragma once

#include <qxpal/exception.h>

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace Hardening {

// A temporary directory holding the node settings file (and the node's log),
// in force while it lives; the previous settings path is restored after.
class NodeSettings {
public:
    // `sections`: the settings text; a [log] section naming a file in the
    // directory is added.
    explicit NodeSettings(const std::string& sections);
    ~NodeSettings();
    NodeSettings(const NodeSettings&) = delete;
    NodeSettings& operator=(const NodeSettings&) = delete;

    const std::string& Dir() const { return dir_; }

private:
    std::string previous_, dir_, file_;
};

// dadovu-sim listening on 127.0.0.1 (`port` 0 for a free one) with `args`
// added. Its standard error goes to this process's (a sanitizer's report
// included). The destructor stops it
// (SIGTERM, then SIGKILL after 5 s) and reaps it.
class Sim {
public:
    // Waits up to 20 s for the endpoint URI; throws std::runtime_error when
    // it does not come.
    explicit Sim(const std::vector<std::string>& args, int port = 0);
    ~Sim();
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    const std::string& Uri() const { return uri_; }
    int Port() const { return port_; }
    // Sends `signal` and reaps the process (SIGKILL after 5 s). Idempotent.
    void Stop(int signal);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string uri_;
    int port_ = 0;
};

// The plain text of an exception's messages and details, in UTF-8.
std::string PlainText(const QxPalMsg::Exception_t& error);

// Open file descriptors of this process.
std::size_t OpenDescriptors();
// Resident memory of this process in bytes.
std::size_t ResidentBytes();

// Whether this build runs under a sanitizer (its memory use says nothing then).
constexpr bool kSanitized =
#ifdef DADOVU_HARDENING_SANITIZED
    true;
#else
    false;
#endif

// Whether this process runs under valgrind, whose own memory is counted as the
// process's resident memory.
bool UnderValgrind();

}  // namespace Hardening
