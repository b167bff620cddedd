// dadovuctl: asks a node's control daemon to start and stop components, send
// events, report status and follow commands, from the command line.

#include "Commands.h"
#include "ExitStatus.h"
#include "Runner.h"

#include <CLI/CLI.hpp>
#include <dadovu/dadovu.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace DaDovuCtl;

std::string CheckNode(const std::string& node) {
    // A host name, an IPv4 address or a bracketed IPv6 address, with an
    // optional port: anything else would change the meaning of the URI built from it.
    static const std::regex pattern(R"(([A-Za-z0-9_]([A-Za-z0-9_.-]*[A-Za-z0-9_])?|\[[0-9A-Fa-f:.]+\])(:[0-9]{1,5})?)");
    if (std::regex_match(node, pattern)) return {};
    return "not a node name (host[:port]): " + node;
}

std::string CheckUri(const std::string& text) {
    const QxPalNet::URI_t uri(text.c_str());
    if (!uri.IsValid() || uri.FindIllegalCharacter() != -1 || (uri.GetScheme() != "http" && uri.GetScheme() != "https")) {
        return "not an http or https URI: " + text;
    }
    return {};
}

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

// The options that say where a request goes, and the settings file.
struct Place {
    Where where;
    std::string config;
    bool json = false;
};

void AddPlaceOptions(CLI::App* cmd, Place& place, bool printsData) {
    auto* uri = cmd->add_option("--uri", place.where.uri, "Send the request to this endpoint URI")
                    ->check(CLI::Validator(CheckUri, "URI", "uri"))
                    ->group("Where");
    cmd->add_option("--node", place.where.nodes,
                    "Send the request to this node's daemon (repeatable: to every node at once)")
        ->type_name("NAME")
        ->allow_extra_args(false)
        ->check(CLI::Validator(CheckNode, "NAME", "node"))
        ->excludes(uri)
        ->group("Where");
    cmd->add_option("--config", place.config, "Node settings file to use (sets QXPAL_CONFIG)")
        ->check(CLI::ExistingFile)
        ->group("Where");
    if (printsData) cmd->add_flag("--json", place.json, "Print machine-readable JSON");
}

void AddTargetId(CLI::App* cmd, std::string& targetId) {
    cmd->add_option("--target-id", targetId, "Target ID for the request's call options");
}

int Main(int argc, char** argv) {
    CLI::App app("Control the components of a node through its control daemon.", "dadovuctl");
    app.set_version_flag("--version", std::string("dadovuctl ") + DaDovu::CLIENT_APP_VERSION);
    app.footer("Where a request goes: --uri URI, or --node NAME (repeatable), or the local node\n"
               "\"localhost\". The node settings file (QXPAL_CONFIG, or --config) holds the\n"
               "transport settings: [lnk.http.ext.ctrl] TIMEOUT_MS, CA_FILE, CLIENT_CERT, CLIENT_KEY;\n"
               "[sec.cm.certificates] CERT_INSTALLED (https for nodes); [log] FILE.\n\n" +
               ExitStatusTable());
    app.require_subcommand(1);

    Place place;
    StartStopArgs startArgs, stopArgs;
    NotifyArgs notifyArgs;
    StatusArgs statusArgs;
    std::string userTargetId;
    ProgressArgs progressArgs;
    std::string progressId;
    double timeoutSeconds = 60.0;
    int intervalMs = 200;
    std::vector<int> runningCodes{1};
    std::string addFile, deleteName, uriNode;
    bool locate = false;

    auto* start = app.add_subcommand("start", "Start the components that TARGET selects");
    start->add_option("TARGET", startArgs.target, "Target expression")->required();
    start->add_flag("--boot", startArgs.boot, "Start as part of the node's boot");
    start->add_flag("--async", startArgs.async, "Answer at once and print the request ID (see progress)");
    AddTargetId(start, startArgs.targetId);
    AddPlaceOptions(start, place, true);

    auto* stop = app.add_subcommand("stop", "Stop the components that TARGET selects");
    stop->add_option("TARGET", stopArgs.target, "Target expression")->required();
    stop->add_flag("--kill", stopArgs.kill, "Kill the components instead of waiting for them to end");
    stop->add_flag("--async", stopArgs.async, "Answer at once and print the request ID (see progress)");
    AddTargetId(stop, stopArgs.targetId);
    AddPlaceOptions(stop, place, true);

    auto* notify = app.add_subcommand("notify", "Send EVENT with VALUE to the components of TARGET that subscribe to it");
    notify->add_option("EVENT", notifyArgs.event, "Event name")->required();
    notify->add_option("VALUE", notifyArgs.value, "Event value")->required();
    notify->add_option("TARGET", notifyArgs.target, "Target expression")->required();
    AddTargetId(notify, notifyArgs.targetId);
    AddPlaceOptions(notify, place, false);

    auto* status = app.add_subcommand("status", "Show the status of the components that TARGET selects");
    status->add_option("TARGET", statusArgs.target, "Target expression (default: \"*\", every component)");
    auto* level = status->add_option("--level", statusArgs.level,
                                     "Detail level 0..7 (default 1; 4 with --list)");
    status->add_flag("--list", statusArgs.list, "A table of name, state, PID, category and description");
    AddTargetId(status, statusArgs.targetId);
    AddPlaceOptions(status, place, true);

    auto* user = app.add_subcommand("user", "Show which user the daemon's processes run as");
    AddTargetId(user, userTargetId);
    AddPlaceOptions(user, place, true);

    auto* progress = app.add_subcommand("progress", "Show how far an asynchronous start or stop has got");
    progress->add_option("ID", progressId, "Request ID printed by start/stop --async")
        ->required()
        ->check(CLI::Validator(CheckRequestId, "ID", "request ID"));
    progress->add_flag("--wait", progressArgs.wait, "Follow the command until it ends, printing each new message");
    progress->add_option("--timeout", timeoutSeconds, "With --wait: give up after this many seconds (default 60)")
        ->check(CLI::Validator(CheckFinite, "SECONDS", "finite"))
        ->check(CLI::Range(0.0, 86400.0));
    progress->add_option("--interval", intervalMs, "With --wait: milliseconds between two requests (default 200)")
        ->check(CLI::Range(10, 60000));
    progress->add_option("--running-codes", runningCodes,
                         "Progress codes that mean the command is still running (default 1); any other code "
                         "means it has ended, in failure when its bit of value 64 is set")
        ->delimiter(',')
        ->allow_extra_args(false);
    AddTargetId(progress, progressArgs.targetId);
    AddPlaceOptions(progress, place, true);

    auto* add = app.add_subcommand("add", "Have the daemon add a component from FILE (a path on the node)");
    add->add_option("FILE", addFile, "Component definition file, as the daemon sees it")->required();
    AddPlaceOptions(add, place, false);

    auto* del = app.add_subcommand("delete", "Have the daemon remove the component NAME");
    del->add_option("NAME", deleteName, "Component name")->required();
    AddPlaceOptions(del, place, false);

    auto* uri = app.add_subcommand("uri", "Print the endpoint URI of NODE's control daemon");
    uri->add_option("NODE", uriNode, "Node name")->required()->check(CLI::Validator(CheckNode, "NODE", "node"));
    uri->add_flag("--locate", locate, "Add the daemon's port from server location ([lnk.cb.servers])");
    uri->add_option("--config", place.config, "Node settings file to use (sets QXPAL_CONFIG)")
        ->check(CLI::ExistingFile);
    uri->add_flag("--json", place.json, "Print machine-readable JSON");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : ToInt(Exit::Usage);
    }

    // Before the first request: the library reads the settings afresh from here on.
    if (!place.config.empty() && ::setenv("QXPAL_CONFIG", place.config.c_str(), 1) != 0) {
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
        if (level->count() == 0) statusArgs.level = statusArgs.list ? DaDovu::Control::STATUS_CATEGORIES
                                                                    : DaDovu::Control::STATUS_STATES;
        command = StatusCommand(statusArgs);
    } else if (*user) {
        command = UserCommand(userTargetId);
    } else if (*progress) {
        std::from_chars(progressId.data(), progressId.data() + progressId.size(), progressArgs.requestId);
        progressArgs.timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000.0));
        progressArgs.interval = std::chrono::milliseconds(intervalMs);
        progressArgs.codes.running = std::set<int>(runningCodes.begin(), runningCodes.end());
        command = ProgressCommand(progressArgs);
    } else if (*add) {
        command = AddCommand(addFile);
    } else if (*del) {
        command = DeleteCommand(deleteName);
    } else {
        return ToInt(PrintUri(uriNode, locate, place.json));
    }
    return ToInt(Run(place.where, place.json, command));
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
