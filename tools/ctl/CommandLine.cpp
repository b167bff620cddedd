#include "CommandLine.h"

#include "ExitStatus.h"
#include "NodeInput.h"

#include <dadovu/dadovu.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <set>

namespace DaDovuCtl {

namespace {

// The most a request ID may be: the wire carries its low 32 bits.
constexpr unsigned long long kMaxRequestId = 4294967295ULL;

std::string CheckRequestId(const std::string& text) {
    unsigned long long id = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, id);
    if (text.empty() || ptr != end || (ec != std::errc() && ec != std::errc::result_out_of_range))
        return "not a request ID (a decimal number): " + text;
    if (ec == std::errc::result_out_of_range || id > kMaxRequestId)
        return "not a request ID: " + text + " is above 4294967295";
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

const char kWhere[] = "Where requests go";
const char kTls[] = "TLS";
const char kFleet[] = "Many nodes";
const char kOutput[] = "Output";

// A single-valued option of `group`: given twice, the last counts, as with
// most tools, so that a wrapper script's default can be overridden after it.
template <typename T>
CLI::Option* Single(CLI::App& app, const char* names, T& value, const char* description, const char* group,
                    const char* typeName) {
    return app.add_option(names, value, description)
        ->type_name(typeName)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->group(group);
}

// The same for the name of a file that must exist.
CLI::Option* ExistingFile(CLI::App& app, const char* names, std::string& value, const char* description,
                          const char* group) {
    return Single(app, names, value, description, group, "FILE")->check(CLI::ExistingFile.description(""));
}

// The options of every request, on the top-level command: CLI11 hands those
// met after a subcommand up to it (fallthrough), so they may stand on either side.
void AddRequestOptions(CLI::App& app, Invocation& inv) {
    RunSettings& run = inv.run;
    auto* uri = Single(app, "-u,--uri", run.uri, "Send the request to this endpoint URI (default: $DADOVU_URI)",
                       kWhere, "URI")
                    ->check(CLI::Validator(CheckUri, "", "uri"));
    auto* node = app.add_option("-n,--node", run.nodes,
                                "Send the request to this node's daemon; repeat to ask several nodes "
                                "(default: $DADOVU_NODE, else localhost)")
                     ->type_name("NAME")
                     ->allow_extra_args(false)
                     ->check(CLI::Validator(CheckNode, "", "node"))
                     ->excludes(uri)
                     ->group(kWhere);
    Single(app, "-f,--nodes-file", run.nodesFile,
           "Send the request to every node of FILE (- for standard input): one node name or endpoint "
           "URI per line; blank lines and # comments are skipped",
           kWhere, "FILE")
        ->check(CLI::Validator(CheckNodesFile, "", "nodes file"))
        ->excludes(uri)
        ->excludes(node);
    ExistingFile(app, "-c,--config", inv.config, "Node settings file to use (instead of $QXPAL_CONFIG)", kWhere);
    Single(app, "--target-id", run.targetId, "Target ID of the requests (not for add and delete)", kWhere, "ID");
    Single(app, "-t,--timeout", run.timeoutSeconds,
           "Give each request at most this many seconds (default: TIMEOUT_MS of the settings, or 60)", kWhere,
           "SECONDS")
        ->check(CLI::Validator(CheckTimeout, "", "timeout"));

    app.add_flag("--https", run.https, "Reach nodes given by name over https, and verify their certificates")
        ->group(kTls);
    ExistingFile(app, "--cacert", run.caFile, "Verify daemons with the certificate authorities of this PEM file", kTls);
    auto* cert = ExistingFile(app, "--cert", run.certificateFile, "Client certificate (PEM) for mutual TLS", kTls);
    ExistingFile(app, "--key", run.keyFile, "Key of the client certificate (PEM; default: in the --cert file)", kTls)
        ->needs(cert);

    Single(app, "-p,--parallel", run.parallel,
           "Ask at most N nodes at once (default 64; 1..4096, lowered to fit the descriptor limit)", kFleet, "N")
        ->check(CLI::Range(1, 4096).description(""));
    app.add_flag("--ordered", run.ordered, "Print the nodes' results in the order the nodes were given")
        ->group(kFleet);

    app.add_flag("-j,--json", run.json,
                 "Print JSON Lines: one object per node, {\"node\", \"exit_status\", \"result\", \"error\"}")
        ->group(kOutput);
    // -v and -q exclude each other: checked in Complete(), on the values.
    app.add_flag("-v,--verbose", run.verbosity,
                 "Show the requests' trace on standard error (-vv: also connection set-up)")
        ->group(kOutput);
    app.add_flag("-q,--quiet", run.quiet, "Print no summary, progress line or warning; errors still")
        ->group(kOutput);
}

// Options that only requests take, and so refused for uri and completion.
const std::vector<std::string> kRequestOnly{"--uri",   "--node", "--nodes-file", "--target-id", "--timeout",
                                            "--https", "--cacert", "--cert",      "--key",       "--parallel",
                                            "--ordered"};

std::string RequestFooter() {
    return "Options of every request, before or after the command: -u/--uri, -n/--node, -f/--nodes-file,\n"
           "-c/--config, --target-id, -t/--timeout, --https, --cacert, --cert, --key, -p/--parallel,\n"
           "--ordered, -j/--json, -v/--verbose, -q/--quiet. See dadovuctl --help, and dadovuctl(1).";
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            // A swap of two neighbours counts as one edit ("stauts").
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) row[j] = std::min(row[j], diagonal);
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::vector<std::string> Suggestions(const CLI::App& app, const std::string& word) {
    std::vector<std::pair<std::size_t, std::string>> scored;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        const std::string& name = sub->get_name();
        const std::size_t distance = EditDistance(word, name);
        if (distance <= 2 || (word.size() >= 2 && name.compare(0, word.size(), word) == 0))
            scored.emplace_back(distance, name);
    }
    std::stable_sort(scored.begin(), scored.end());
    std::vector<std::string> names;
    for (auto& entry : scored) names.push_back(std::move(entry.second));
    return names;
}

std::string UnknownCommand(const CLI::App& app, const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") return {};
        if (arg.size() > 1 && arg[0] == '-') {
            if (arg.find('=') != std::string::npos) continue;
            // "-n node" and "--node node" take the next word; "-nnode" does not.
            const bool isLong = arg.compare(0, 2, "--") == 0;
            if (!isLong && arg.size() > 2) continue;
            const CLI::Option* option = app.get_option_no_throw(arg);
            if (option != nullptr && option->get_expected_max() != 0) ++i;
            continue;
        }
        for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
            if (sub->get_name() == arg) return {};
        return arg;
    }
    return {};
}

CommandLine::CommandLine()
    : app_(std::make_unique<CLI::App>("Control the components of one node or many through their control daemons.",
                                      "dadovuctl")) {
    CLI::App& app = *app_;
    Invocation& inv = invocation_;
    // The release dadovuctl belongs to, and the client version the library
    // tells daemons (its requests' User-Agent).
    app.set_version_flag("-V,--version", std::string("dadovuctl " DADOVUCTL_VERSION " (client ") +
                                             DaDovu::CLIENT_APP_VERSION + ")");
    app.set_help_flag("-h,--help", "Print this help and exit");
    app.footer("Where a request goes: --uri URI, --node NAME (repeatable), --nodes-file FILE, else\n"
               "$DADOVU_URI or $DADOVU_NODE, else the local node \"localhost\". With several nodes, at\n"
               "most --parallel N requests are in flight; each node's result is printed as it finishes\n"
               "(--ordered: in the order given), each line after \"NODE: \", and a summary ends standard\n"
               "error. SIGINT or SIGTERM asks no further node and waits for the requests in flight; a\n"
               "second one quits at once. The node settings file (--config, else $QXPAL_CONFIG, else\n"
               "/etc/qxpal/node.conf) holds the transport settings: [lnk.http.ext.ctrl] TIMEOUT_MS,\n"
               "CA_FILE, CLIENT_CERT, CLIENT_KEY...; [sec.cm.certificates] CERT_INSTALLED (https for\n"
               "nodes); the TLS options above take precedence over them.\n\n" +
               ExitStatusTable());
    app.require_subcommand(1);
    AddRequestOptions(app, inv);

    const auto command = [&](const char* name, const char* description) {
        CLI::App* sub = app.add_subcommand(name, description);
        sub->fallthrough();
        sub->footer(RequestFooter());
        return sub;
    };

    auto* start = command("start", "Start the components that TARGET selects");
    start->add_option("TARGET", inv.startStop.target, "Target expression")->required();
    start->add_flag("--boot", inv.startStop.boot, "Start as part of the node's boot");
    start->add_flag("-a,--async", inv.startStop.async, "Answer at once with the request ID (see progress)");

    auto* stop = command("stop", "Stop the components that TARGET selects");
    stop->add_option("TARGET", inv.startStop.target, "Target expression")->required();
    stop->add_flag("-k,--kill", inv.startStop.kill, "Kill the components instead of waiting for them to end");
    stop->add_flag("-a,--async", inv.startStop.async, "Answer at once with the request ID (see progress)");

    auto* notify = command("notify", "Send EVENT with VALUE to the components of TARGET that subscribe to it");
    notify->add_option("EVENT", inv.notify.event, "Event name")->required();
    notify->add_option("VALUE", inv.notify.value, "Event value")->required();
    notify->add_option("TARGET", inv.notify.target, "Target expression")->required();

    auto* status = command("status", "Show the status of the components that TARGET selects");
    status->add_option("TARGET", inv.status.target, "Target expression (default: \"*\", every component)");
    status->add_option("--level", inv.status.level, "Detail level 0..7 (default 1; 4 with --list or --json)")
        ->type_name("N");
    auto* list = status->add_flag("-l,--list", inv.status.list,
                                  "A table of name, state, PID, category and description");
    status->add_flag("-H,--no-headers", inv.status.noHeaders, "With --list: no heading line")->needs(list);

    command("user", "Show which user the daemon's processes run as");

    auto* progress = command("progress", "Show how far an asynchronous start or stop has got");
    progress->add_option("ID", progressId_, "Request ID printed by start/stop --async (0..4294967295)")
        ->required()
        ->check(CLI::Validator(CheckRequestId, "", "request ID"));
    auto* wait = progress->add_flag("-w,--wait", inv.progress.wait,
                                    "Follow the command until it ends, printing each new message; a daemon that "
                                    "cannot be reached is asked again");
    progress
        ->add_option("--wait-timeout", waitTimeoutSeconds_,
                     "With --wait: give up after this many seconds in all (default 60)")
        ->type_name("SECONDS")
        ->check(CLI::Validator(CheckFinite, "", "finite"))
        ->check(CLI::Range(0.0, 86400.0).description(""))
        ->needs(wait);
    progress->add_option("--interval", intervalMs_, "With --wait: milliseconds between two requests (default 200)")
        ->type_name("MS")
        ->check(CLI::Range(10, 60000).description(""))
        ->needs(wait);
    progress
        ->add_option("--running-codes", runningCodes_,
                     "Progress codes that mean the command is still running (default 1); any other code "
                     "means it has ended, in failure when its bit of value 64 is set")
        ->type_name("CODES")
        ->delimiter(',')
        ->allow_extra_args(false);

    auto* add = command("add", "Have the daemon add a component from FILE (a file name on the node)");
    add->add_option("FILE", inv.addFile, "Component definition file, as the daemon sees it")->required();

    auto* del = command("delete", "Have the daemon remove the component NAME");
    del->add_option("NAME", inv.deleteName, "Component name")->required();

    auto* uri = command("uri", "Print the endpoint URI of NODE's control daemon (nothing is sent)");
    uri->add_option("NODE", inv.uriNode, "Node name")->required()->check(CLI::Validator(CheckNode, "", "node"));
    uri->add_flag("--locate", inv.locate, "Add the daemon's port from server location ([lnk.cb.servers])");
    uri->footer("Takes --config, --json and --https of the options of every request.");

    auto* completion = command("completion", "Print the completion script for SHELL (bash or zsh)");
    completion->add_option("SHELL", inv.shell, "bash or zsh")->required()->check(CLI::IsMember({"bash", "zsh"}).description(""));
    completion->footer("bash: source <(dadovuctl completion bash)\n"
                       "zsh:  dadovuctl completion zsh > \"${fpath[1]}/_dadovuctl\"");
}

std::optional<int> CommandLine::Parse(int argc, const char* const* argv) {
    CLI::App& app = *app_;
    try {
        app.parse(argc, argv);
        Complete();
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
        const std::string unknown = UnknownCommand(app, args);
        if (!unknown.empty()) {
            std::cerr << "dadovuctl: unknown command '" << unknown << "'";
            const std::vector<std::string> close = Suggestions(app, unknown);
            for (std::size_t i = 0; i < close.size() && i < 2; ++i)
                std::cerr << (i == 0 ? "; did you mean " : " or ") << close[i];
            std::cerr << (close.empty() ? "" : "?") << "\nRun dadovuctl --help for the commands.\n";
            return ToInt(Exit::Usage);
        }
        const int code = app.exit(e);
        return code == 0 ? 0 : ToInt(Exit::Usage);
    } catch (const UsageError& e) {
        std::cerr << "dadovuctl: " << e.what() << "\nRun dadovuctl --help for more information.\n";
        return ToInt(Exit::Usage);
    }
}

namespace {

// The value of the environment variable `name`; empty when unset.
std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

void CommandLine::Complete() {
    CLI::App& app = *app_;
    Invocation& inv = invocation_;
    for (const CLI::App* sub : app.get_subcommands()) inv.command = sub->get_name();
    RunSettings& run = inv.run;

    if (inv.command == "uri" || inv.command == "completion") {
        for (const std::string& name : kRequestOnly) {
            if (inv.command == "uri" && name == "--https") continue;
            if (app.get_option(name)->count() != 0) throw UsageError(inv.command + " does not take " + name);
        }
    }
    if (run.verbosity > 0 && run.quiet) throw UsageError("-v/--verbose and -q/--quiet exclude each other");
    if ((inv.command == "add" || inv.command == "delete") && !run.targetId.empty())
        throw UsageError(inv.command + " sends no target ID: --target-id is for the other requests");

    // The environment's defaults, below the flags: used only when no flag
    // says where requests go.
    const bool where = !run.uri.empty() || !run.nodes.empty() || !run.nodesFile.empty();
    const std::string envUri = Environment("DADOVU_URI"), envNode = Environment("DADOVU_NODE");
    if (!where && inv.command != "uri" && inv.command != "completion") {
        if (!envUri.empty() && !envNode.empty())
            throw UsageError("DADOVU_URI and DADOVU_NODE are both set: unset one, or say where with --uri or --node");
        if (!envUri.empty()) {
            const std::string problem = CheckUri(envUri);
            if (!problem.empty()) throw UsageError("DADOVU_URI: " + problem);
            run.uri = envUri;
        } else if (!envNode.empty()) {
            const std::string problem = CheckNode(envNode);
            if (!problem.empty()) throw UsageError("DADOVU_NODE: " + problem);
            run.nodes.push_back(envNode);
        }
    }

    if (inv.command == "status") {
        const CLI::App* status = app.get_subcommand("status");
        if (status->get_option("TARGET")->count() == 0) inv.status.target = "*";
        // Records fill the table's columns from level 4 on; the text's default is the states.
        if (status->get_option("--level")->count() == 0) inv.status.level = inv.status.list || run.json ? 4 : 1;
    }
    if (inv.command == "progress") {
        std::from_chars(progressId_.data(), progressId_.data() + progressId_.size(), inv.progress.requestId);
        inv.progress.waitTimeout = std::chrono::milliseconds(static_cast<long long>(waitTimeoutSeconds_ * 1000.0));
        inv.progress.interval = std::chrono::milliseconds(intervalMs_);
        inv.progress.codes.running = std::set<int>(runningCodes_.begin(), runningCodes_.end());
    }
}

}  // namespace DaDovuCtl
