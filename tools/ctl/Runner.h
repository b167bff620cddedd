// Runs one command on the nodes the command line names (one endpoint URI,
// nodes given with --node or read from a nodes file, or the local node)
// through DaDovu::Fleet: at most `parallel` requests in flight, each node's
// result printed as it finishes (or in the order given), a summary at the
// end, SIGINT and SIGTERM stopping the run.
#pragma once

#include "ExitStatus.h"
#include "Interrupt.h"
#include "StatusLine.h"

#include <dadovu/dadovu.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace DaDovuCtl {

// What a node's failure says: a stable snake_case kind (an ErrorKind's
// name, or dadovuctl's own "wait_timeout", "interrupted", "failure"), a
// message and its details.
struct Failure {
    std::string kind;
    std::string message;
    std::vector<std::string> details;
    std::string hint;               // what to check or do; empty when there is nothing to add
    std::optional<int> resultCode;  // the daemon's code, where it sent one
    bool mayHaveActed = false;      // sent, but no verdict came back
};

// What a command produced on one node.
struct NodeResult {
    Exit status = Exit::Ok;
    nlohmann::json result;           // the command's data for --json; null when it has none
    std::string out;                 // text for standard output, each line ending in '\n'
    std::optional<Failure> failure;  // set when status is not Ok

    void Fail(Exit exit, std::string kind, std::string message, std::vector<std::string> details = {});
    // The error as an operator reads it (Advice.h).
    void Fail(const DaDovu::Error& error);
};

// What a command knows of the run while it asks one node.
struct NodeContext {
    std::string node;          // as given: a node name or an endpoint URI
    bool json = false;         // --json: the command fills NodeResult::result, not out
    bool live = false;         // one node, in text: Say prints at once instead of keeping
    bool quiet = false;        // -q: no notes on standard error
    DaDovu::Deadline deadline;  // of each request (--timeout, else the settings' TIMEOUT_MS)
    Interrupt* interrupt = nullptr;
    StatusLine* statusLine = nullptr;

    // Text for standard output: printed at once when live, else kept in `result.out`.
    void Say(NodeResult& result, const std::string& text) const;
};

// One request (or a few, for progress --wait) on one node. A DaDovu::Error it
// throws becomes the node's failure, with what it left in `result`.
using Command = std::function<void(DaDovu::Client& node, const NodeContext& context, NodeResult& result)>;

struct RunSettings {
    std::string uri;                 // --uri; empty when not given
    std::vector<std::string> nodes;  // --node, in the order given
    std::string nodesFile;           // --nodes-file; "-" standard input; empty when not given
    bool json = false;
    std::size_t parallel = 64;
    bool ordered = false;
    std::optional<double> timeoutSeconds;  // --timeout
    std::string targetId;                  // --target-id
    bool https = false;                    // --https: nodes given by name over https
    std::string caFile, certificateFile, keyFile;  // --cacert, --cert, --key
    int verbosity = 0;                     // -v: the requests' trace; -vv: also the connections'
    bool quiet = false;                    // -q: no summary, progress line or warning
};

// Runs `command` on every node `settings` names; returns the exit status:
// the worst of the nodes', 2 when the nodes file is wrong, 128 + the signal
// when SIGINT or SIGTERM interrupted the run, 1 after a write error on
// standard output (no further node is asked then). Throws UsageError
// (NodeInput.h) for a nodes file found wrong before anything was sent.
int Run(const RunSettings& settings, const Command& command);

}  // namespace DaDovuCtl
