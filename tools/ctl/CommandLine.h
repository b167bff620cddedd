// The command line of dadovuctl: its subcommands and options, defined once
// for parsing, --help and the completion scripts.
#pragma once

#include "Commands.h"
#include "Runner.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace DaDovuCtl {

// What the command line asked for, filled by Parse.
struct Invocation {
    std::string command;  // the subcommand's name: "start", "status", ...
    RunSettings run;
    std::string config;  // --config; empty when not given
    StartStopArgs startStop;
    NotifyArgs notify;
    StatusArgs status;
    ProgressArgs progress;
    std::string addFile, deleteName, uriNode;
    bool locate = false;
    std::string shell;  // completion: "bash" or "zsh"
};

// The definitions, bound to an Invocation. Not copyable: CLI11 keeps pointers
// into the Invocation.
class CommandLine {
public:
    CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // Parses `argv`. Returns the exit status when the run ends here (--help,
    // --version: 0 after printing; a usage error: 2 after saying why on
    // standard error), nothing when `Get()` is to be run.
    std::optional<int> Parse(int argc, const char* const* argv);
    const Invocation& Get() const { return invocation_; }

    const CLI::App& App() const { return *app_; }

private:
    // Fills in what depends on several options or the environment; throws
    // UsageError.
    void Complete();

    std::unique_ptr<CLI::App> app_;
    Invocation invocation_;
    std::string progressId_;
    double waitTimeoutSeconds_ = 60.0;
    int intervalMs_ = 200;
    std::vector<int> runningCodes_{1};
};

// The subcommand names of `app` closest to `word` (at most two edits away,
// or starting with it), best first.
std::vector<std::string> Suggestions(const CLI::App& app, const std::string& word);

// The first word of `args` that is not an option nor an option's value, when
// it names no subcommand of `app`; empty otherwise.
std::string UnknownCommand(const CLI::App& app, const std::vector<std::string>& args);

}  // namespace DaDovuCtl
