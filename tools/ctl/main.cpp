// dadovuctl: asks the control daemons of one node or of many to start and
// stop components, send events, report status and follow commands, from the
// command line.

#include "Commands.h"
#include "ExitStatus.h"
#include "NodeInput.h"
#include "Output.h"
#include "Runner.h"

#include <CLI/CLI.hpp>
#include <dadovu/dadovu.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace DaDovuCtl;

std::string CheckRequestId(const std::string& text) {
    unsigned long long id = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, id);
    if (text.empty() || ec != std::errc() || ptr != end) return "not a request ID (a decimal number): " + text;
    return {};
}

// A number of seconds: NaN and infinities pass a range check, as no
// comparison with them is true, so they are refused first.
std::string CheckFinite(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value)) return "not a finite number: " + text;
    return {};
}

// A request's deadline: more than 0 and at most a day.
std::string CheckTimeout(const std::string& text) {
    std::string problem = CheckFinite(text);
    if (!problem.empty()) return problem;
    const double value = std::strtod(text.c_str(), nullptr);
    if (value <= 0 || value > 86400) return "not a number of seconds above 0 and at most 86400: " + text;
    return {};
}

std::string CheckNodesFile(const std::string& text) {
    if (text == "-") return {};
    std::string path = text;
    return CLI::ExistingFile(path);
}

// The options of every request: where it goes, how many at once, how long
// each may take, how the results are shown.
void AddRunOptions(CLI::App* cmd, RunSettings& run, std::string& config, bool targetId) {
    auto* uri = cmd->add_option("--uri", run.uri, "Send the request to this endpoint URI")
                    ->check(CLI::Validator(CheckUri, "URI", "uri"))
                    ->group("Where");
    auto* node = cmd->add_option("--node", run.nodes,
                                 "Send the request to this node's daemon (repeatable: to every node)")
                     ->type_name("NAME")
                     ->allow_extra_args(false)
                     ->check(CLI::Validator(CheckNode, "NAME", "node"))
                     ->excludes(uri)
                     ->group("Where");
    cmd->add_option("--nodes-file", run.nodesFile,
                    "Send the request to every node of FILE (- for standard input): one node name or endpoint "
                    "URI per line; blank lines and # comments are skipped")
        ->type_name("FILE")
        ->check(CLI::Validator(CheckNodesFile, "", "nodes file"))
        ->excludes(uri)
        ->excludes(node)
        ->group("Where");
    cmd->add_option("--config", config, "Node settings file to use (sets QXPAL_CONFIG)")
        ->check(CLI::ExistingFile)
        ->group("Where");
    cmd->add_option("--parallel", run.parallel,
                    "Ask at most N nodes at once (default 64; 1..4096, lowered to fit the descriptor limit)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096))
        ->group("Fleet");
    cmd->add_flag("--ordered", run.ordered, "Print the nodes' results in the order the nodes were given")
        ->group("Fleet");
    cmd->add_option("--timeout", run.timeoutSeconds,
                    "Give each request at most this many seconds (default: TIMEOUT_MS of the settings, or 60)")
        ->type_name("SECONDS")
        ->check(CLI::Validator(CheckTimeout, "", "timeout"));
    cmd->add_flag("--json", run.json,
                  "Print JSON Lines: one object per node, {\"node\", \"exit_status\", \"result\", \"error\"}");
    if (targetId) cmd->add_option("--target-id", run.targetId, "Target ID for the request's call options");
}

int Main(int argc, char** argv) {
    CLI::App app("Control the components of one node or many through their control daemons.", "dadovuctl");
    app.set_version_flag("--version", std::string("dadovuctl ") + DaDovu::CLIENT_APP_VERSION);
    app.footer("Where a request goes: --uri URI, --node NAME (repeatable), --nodes-file FILE, or the\n"
               "local node \"localhost\". With several nodes, at most --parallel N requests are in\n"
               "flight; each node's result is printed as it finishes (--ordered: in the order\n"
               "given), each line after \"NODE: \", and a summary ends standard error. SIGINT or\n"
               "SIGTERM asks no further node and waits for the requests in flight; a second one\n"
               "quits at once. The node settings file (QXPAL_CONFIG, or --config) holds the\n"
               "transport settings: [lnk.http.ext.ctrl] TIMEOUT_MS, CA_FILE, CLIENT_CERT, CLIENT_KEY;\n"
               "[sec.cm.certificates] CERT_INSTALLED (https for nodes).\n\n" +
               ExitStatusTable());
    app.require_subcommand(1);

    RunSettings run;
    std::string config;
    StartStopArgs startArgs, stopArgs;
    NotifyArgs notifyArgs;
    StatusArgs statusArgs;
    ProgressArgs progressArgs;
    std::string progressId;
    double waitTimeoutSeconds = 60.0;
    int intervalMs = 200;
    std::vector<int> runningCodes{1};
    std::string addFile, deleteName, uriNode;
    bool locate = false, uriJson = false;

    auto* start = app.add_subcommand("start", "Start the components that TARGET selects");
    start->add_option("TARGET", startArgs.target, "Target expression")->required();
    start->add_flag("--boot", startArgs.boot, "Start as part of the node's boot");
    start->add_flag("--async", startArgs.async, "Answer at once and print the request ID (see progress)");
    AddRunOptions(start, run, config, true);

    auto* stop = app.add_subcommand("stop", "Stop the components that TARGET selects");
    stop->add_option("TARGET", stopArgs.target, "Target expression")->required();
    stop->add_flag("--kill", stopArgs.kill, "Kill the components instead of waiting for them to end");
    stop->add_flag("--async", stopArgs.async, "Answer at once and print the request ID (see progress)");
    AddRunOptions(stop, run, config, true);

    auto* notify = app.add_subcommand("notify", "Send EVENT with VALUE to the components of TARGET that subscribe to it");
    notify->add_option("EVENT", notifyArgs.event, "Event name")->required();
    notify->add_option("VALUE", notifyArgs.value, "Event value")->required();
    notify->add_option("TARGET", notifyArgs.target, "Target expression")->required();
    AddRunOptions(notify, run, config, true);

    auto* status = app.add_subcommand("status", "Show the status of the components that TARGET selects");
    status->add_option("TARGET", statusArgs.target, "Target expression (default: \"*\", every component)");
    auto* level = status->add_option("--level", statusArgs.level,
                                     "Detail level 0..7 (default 1; 4 with --list)");
    status->add_flag("--list", statusArgs.list, "A table of name, state, PID, category and description");
    AddRunOptions(status, run, config, true);

    auto* user = app.add_subcommand("user", "Show which user the daemon's processes run as");
    AddRunOptions(user, run, config, true);

    auto* progress = app.add_subcommand("progress", "Show how far an asynchronous start or stop has got");
    progress->add_option("ID", progressId, "Request ID printed by start/stop --async")
        ->required()
        ->check(CLI::Validator(CheckRequestId, "ID", "request ID"));
    progress->add_flag("--wait", progressArgs.wait, "Follow the command until it ends, printing each new message");
    progress->add_option("--wait-timeout", waitTimeoutSeconds,
                         "With --wait: give up after this many seconds in all (default 60); "
                         "--timeout bounds each request")
        ->type_name("SECONDS")
        ->check(CLI::Validator(CheckFinite, "", "finite"))
        ->check(CLI::Range(0.0, 86400.0).description(""));
    progress->add_option("--interval", intervalMs, "With --wait: milliseconds between two requests (default 200)")
        ->check(CLI::Range(10, 60000));
    progress->add_option("--running-codes", runningCodes,
                         "Progress codes that mean the command is still running (default 1); any other code "
                         "means it has ended, in failure when its bit of value 64 is set")
        ->delimiter(',')
        ->allow_extra_args(false);
    AddRunOptions(progress, run, config, true);

    auto* add = app.add_subcommand("add", "Have the daemon add a component from FILE (a path on the node)");
    add->add_option("FILE", addFile, "Component definition file, as the daemon sees it")->required();
    AddRunOptions(add, run, config, false);

    auto* del = app.add_subcommand("delete", "Have the daemon remove the component NAME");
    del->add_option("NAME", deleteName, "Component name")->required();
    AddRunOptions(del, run, config, false);

    auto* uri = app.add_subcommand("uri", "Print the endpoint URI of NODE's control daemon");
    uri->add_option("NODE", uriNode, "Node name")->required()->check(CLI::Validator(CheckNode, "NODE", "node"));
    uri->add_flag("--locate", locate, "Add the daemon's port from server location ([lnk.cb.servers])");
    uri->add_option("--config", config, "Node settings file to use (sets QXPAL_CONFIG)")->check(CLI::ExistingFile);
    uri->add_flag("--json", uriJson, "Print machine-readable JSON");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : ToInt(Exit::Usage);
    }

    // Before the first request: the library reads the settings afresh from here on.
    if (!config.empty() && ::setenv("QXPAL_CONFIG", config.c_str(), 1) != 0) {
        std::cerr << "dadovuctl: cannot set QXPAL_CONFIG\n";
        return ToInt(Exit::Failure);
    }

    Command command;
    if (*start) {
        command = StartCommand(startArgs);
    } else if (*stop) {
        command = StopCommand(stopArgs);
    } else if (*notify) {
        command = NotifyCommand(notifyArgs);
    } else if (*status) {
        if (statusArgs.target.empty() && status->get_option("TARGET")->count() == 0) statusArgs.target = "*";
        if (level->count() == 0) statusArgs.level = statusArgs.list ? 4 : 1;
        command = StatusCommand(statusArgs);
    } else if (*user) {
        command = UserCommand();
    } else if (*progress) {
        std::from_chars(progressId.data(), progressId.data() + progressId.size(), progressArgs.requestId);
        progressArgs.waitTimeout = std::chrono::milliseconds(static_cast<long long>(waitTimeoutSeconds * 1000.0));
        progressArgs.interval = std::chrono::milliseconds(intervalMs);
        progressArgs.codes.running = std::set<int>(runningCodes.begin(), runningCodes.end());
        command = ProgressCommand(progressArgs);
    } else if (*add) {
        command = AddCommand(addFile);
    } else if (*del) {
        command = DeleteCommand(deleteName);
    } else {
        return ToInt(PrintUri(uriNode, locate, uriJson));
    }
    try {
        return Run(run, command);
    } catch (const UsageError& e) {
        std::cerr << "dadovuctl: " << e.what() << "\n";
        return ToInt(Exit::Usage);
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "dadovuctl: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "dadovuctl: unknown failure\n";
    }
    return ToInt(Exit::Failure);
}
