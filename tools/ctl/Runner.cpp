#include "Runner.h"

#include "Advice.h"
#include "NodeInput.h"
#include "Output.h"

#include <qxpal/config.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace DaDovuCtl {

void NodeResult::Fail(Exit exit, std::string kind, std::string message, std::vector<std::string> details) {
    status = exit;
    failure.emplace();
    failure->kind = std::move(kind);
    failure->message = std::move(message);
    failure->details = std::move(details);
}

void NodeResult::Fail(const DaDovu::Error& error) {
    std::tie(status, failure) = Explain(error);
}

void NodeContext::Say(NodeResult& result, const std::string& text) const {
    if (live) {
        statusLine->Print(std::cout, text);
    } else {
        result.out += text;
    }
}

namespace {

using Clock = std::chrono::steady_clock;

const char kProgram[] = "dadovuctl: ";

// Descriptors kept for everything but the connections of the requests in
// flight and the idle ones: the standard streams, the nodes file, the wake
// pipe, and the sockets of the library's name lookups (at most 64 run at once).
constexpr std::size_t kDescriptorMargin = 32 + 64;

// The most connections the client keeps idle, as its settings say.
std::size_t IdleConnectionCap() {
    try {
        if (QxPalConfig::ConfigNamespace_t("ctrl").Open().GetBool("CLOSE_CONN_AFTER_USE")) return 0;
    } catch (...) {
        // The client refuses settings it cannot read; the cap is then moot.
    }
    try {
        const long long cap = QxPalConfig::ConfigNamespace_t("lnk.http.ext.ctrl").Open().GetInt("MAX_IDLE_CONNECTIONS", 256);
        if (cap > 0) return static_cast<std::size_t>(cap);
    } catch (...) {
    }
    return 256;
}

// Raises the soft descriptor limit to the hard one, and returns the most
// requests in flight it leaves room for (at least 1), up to `wanted`.
std::size_t WithinDescriptorLimit(std::size_t wanted, StatusLine& line, bool quiet) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY) return wanted;
    const std::size_t descriptors = static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t idle = IdleConnectionCap();
    const std::size_t room = descriptors > idle + kDescriptorMargin ? descriptors - idle - kDescriptorMargin : 1;
    if (room >= wanted || quiet) return std::min(room, wanted);
    line.Print(std::cerr, std::string(kProgram) + "--parallel lowered from " + std::to_string(wanted) + " to " +
                              std::to_string(room) + ": the descriptor limit is " + std::to_string(descriptors) +
                              ", and up to " + std::to_string(idle) + " idle connections are kept\n");
    return room;
}

// The results of calls that have finished and not been handed on yet, by
// the node's place in the input. The fleet holds at most `parallel` such
// outcomes besides those in flight, so this stays small.
class Results {
public:
    void Put(std::size_t index, NodeResult result) {
        std::lock_guard<std::mutex> lock(mutex_);
        results_.insert_or_assign(index, std::move(result));
    }
    std::optional<NodeResult> Take(std::size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = results_.find(index);
        if (found == results_.end()) return std::nullopt;
        NodeResult result = std::move(found->second);
        results_.erase(found);
        return result;
    }

private:
    std::mutex mutex_;
    std::unordered_map<std::size_t, NodeResult> results_;
};

// Prints each node's result and counts it; the summary at the end.
class Reporter {
public:
    // `onWriteError` is called (once) when standard output fails.
    Reporter(bool json, bool several, bool quiet, StatusLine& line, std::function<void()> onWriteError)
        : json_(json), several_(several), quiet_(quiet), line_(line), onWriteError_(std::move(onWriteError)) {}

    void Started() { ++started_; }

    void Report(const std::string& node, const NodeResult& result) {
        const std::string shown = Sanitize(node, false);
        const std::string prefix = several_ ? shown + ": " : std::string();
        if (json_) {
            nlohmann::json error;
            if (result.failure) {
                const Failure& f = *result.failure;
                error = {{"kind", f.kind},
                         {"message", f.message},
                         {"details", f.details},
                         {"hint", f.hint.empty() ? nlohmann::json() : nlohmann::json(f.hint)},
                         {"result_code", f.resultCode ? nlohmann::json(*f.resultCode) : nlohmann::json()},
                         {"may_have_acted", f.mayHaveActed}};
            }
            line_.Print(std::cout, JsonLine({{"node", node},
                                             {"exit_status", ToInt(result.status)},
                                             {"result", result.result},
                                             {"error", std::move(error)}}));
        } else {
            std::string text = result.out;
            if (several_ && text.empty() && !result.failure) text = "ok\n";
            if (!text.empty()) line_.Print(std::cout, several_ ? PrefixLines(text, prefix) : text);
        }
        if (!std::cout) WriteFailed();
        if (result.failure) {
            std::string text = kProgram + prefix + Sanitize(result.failure->message, false) + "\n";
            if (!result.failure->hint.empty())
                text += kProgram + prefix + "hint: " + Sanitize(result.failure->hint, false) + "\n";
            line_.Print(std::cerr, text);
        }
        std::string progress;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++answered_;
            worst_ = DaDovuCtl::Worst(worst_, result.status);
            if (result.failure) {
                ++failures_[result.failure->kind];
            } else {
                ++succeeded_;
            }
            if (several_) {
                progress = std::to_string(answered_) + " answered, " + std::to_string(answered_ - succeeded_) +
                           " failed";
            }
        }
        if (several_) line_.Set(progress);
    }

    Exit Worst() {
        std::lock_guard<std::mutex> lock(mutex_);
        return worst_;
    }

    // The summary (several nodes), or the note alone (one node), on standard error.
    void Summary(const std::string& note) {
        line_.Set("");
        if (quiet_) return;
        std::string text;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            text = SummaryLocked(note);
        }
        if (!text.empty()) line_.Print(std::cerr, text);
    }

    // A word on standard error, unless the output is stuck.
    void Note(const std::string& text) {
        if (!quiet_) line_.TryPrint(std::cerr, kProgram + text + "\n", std::chrono::milliseconds(500));
    }

    // The errno of the first failed write on standard output; 0 when none failed.
    int WriteError() const { return writeErrno_.load(); }

    // Quits at once, with the summary of what was answered.
    [[noreturn]] void Abandon(int signal) {
        std::string text;
        std::unique_lock<std::mutex> lock = LockWithin(mutex_, std::chrono::seconds(1));
        if (lock.owns_lock()) {
            const std::size_t inFlight = started_ - answered_;
            text = SummaryLocked(std::string("interrupted by ") + SignalWatch::Name(signal) + " twice: " +
                                 std::to_string(inFlight) + (inFlight == 1 ? " request" : " requests") +
                                 " in flight abandoned");
            lock.unlock();
        }
        line_.TryPrint(std::cerr, text, std::chrono::seconds(1), true);
        std::_Exit(128 + signal);
    }

private:
    void WriteFailed() {
        int expected = 0;
        if (writeErrno_.compare_exchange_strong(expected, errno != 0 ? errno : EIO)) onWriteError_();
    }

    std::string SummaryLocked(const std::string& note) const {
        if (!several_) return note.empty() ? std::string() : kProgram + note + "\n";
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        std::vector<std::pair<std::string, std::size_t>> failures(failures_.begin(), failures_.end());
        std::stable_sort(failures.begin(), failures.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        std::string text = std::string(kProgram) + "summary: " + std::to_string(started_.load()) + " asked, " +
                           std::to_string(succeeded_) + " succeeded, " + std::to_string(answered_ - succeeded_) +
                           " failed";
        for (std::size_t i = 0; i < failures.size(); ++i) {
            text += (i == 0 ? " (" : ", ") + std::to_string(failures[i].second) + " " + failures[i].first;
        }
        if (!failures.empty()) text += ")";
        char wall[32];
        std::snprintf(wall, sizeof wall, ", %.2f s", seconds);
        text += wall;
        if (!note.empty()) text += "; " + note;
        return text + "\n";
    }

    const bool json_;
    const bool several_;
    const bool quiet_;
    StatusLine& line_;
    const std::function<void()> onWriteError_;
    std::atomic<int> writeErrno_{0};
    const Clock::time_point start_ = Clock::now();
    std::atomic<std::size_t> started_{0};  // nodes whose request began
    std::mutex mutex_;                     // guards what follows
    std::size_t answered_ = 0;
    std::size_t succeeded_ = 0;
    std::map<std::string, std::size_t> failures_;
    Exit worst_ = Exit::Ok;
};

// The node the base client is built for: it names the node in errors of the
// settings; the client's own endpoint is never asked.
std::string BaseNode(const RunSettings& settings) {
    if (settings.uri.empty() && !settings.nodes.empty()) return settings.nodes.front();
    return DaDovu::LOCAL_NODE;
}

}  // namespace

int Run(const RunSettings& settings, const Command& command) {
    Interrupt interrupt;
    std::unique_ptr<NodeInput> input;
    if (!settings.nodesFile.empty()) {
        input = std::make_unique<NodeInput>(settings.nodesFile, interrupt.WakeDescriptor());
    } else if (!settings.uri.empty()) {
        input = std::make_unique<NodeInput>(std::vector<std::string>{settings.uri});
    } else if (settings.nodes.empty()) {
        input = std::make_unique<NodeInput>(std::vector<std::string>{DaDovu::LOCAL_NODE});
    } else {
        input = std::make_unique<NodeInput>(settings.nodes);
    }
    const bool several = input->Several();

    StatusLine line(!settings.quiet && StatusLine::Capable());
    const std::size_t parallel = WithinDescriptorLimit(settings.parallel, line, settings.quiet);

    DaDovu::ClientSettings extra;
    if (!settings.targetId.empty()) extra.SetTargetId(settings.targetId);
    if (settings.https) extra.SetSecure(true);
    if (!settings.caFile.empty()) extra.SetCaFile(settings.caFile);
    if (!settings.certificateFile.empty()) extra.SetClientCertificate(settings.certificateFile, settings.keyFile);
    if (settings.verbosity > 0) {
        // Requests (1) and caught failures (4); with -vv also the connections' set-up.
        const int deepest = settings.verbosity > 1 ? 1000 : 4;
        extra.SetTraceHook([&line, deepest](int level, std::string_view text) {
            if (level <= deepest) line.Print(std::cerr, kProgram + ("trace: " + Sanitize(text, false)) + "\n");
        });
    }
    if (!settings.quiet) {
        // What the client would log: a settings problem it works around, say.
        // Its failures are logged too, but each is told as the node's error
        // already; -v shows them all.
        const bool all = settings.verbosity > 0;
        extra.SetLogHook([&line, all](DaDovu::Severity severity, std::string_view text) {
            if (!all && severity != DaDovu::Severity::Warning) return;
            line.Print(std::cerr, kProgram + ("log: " + SeverityName(severity)) + ": " + Sanitize(text, false) + "\n");
        });
    }
    std::optional<DaDovu::Client> base;
    try {
        base = DaDovu::Client::FromNodeSettings(BaseNode(settings), extra);
    } catch (const DaDovu::Error& e) {  // the settings: no node can be asked
        line.Print(std::cerr, kProgram + Sanitize(e.what(), false) + "\n");
        return ToInt(StatusOfKind(e.GetKind()));
    }
    DaDovu::Fleet fleet(*base);
    fleet.SetParallel(parallel).SetOrdered(settings.ordered);

    DaDovu::Deadline deadline;
    if (settings.timeoutSeconds) deadline = std::chrono::duration<double>(*settings.timeoutSeconds);

    Reporter reporter(settings.json, several, settings.quiet, line, [&fleet] { fleet.Stop(); });
    Results results;
    // Declared after the fleet, so that the watch ends before the fleet does.
    SignalWatch watch(
        [&](int signal) {
            interrupt.Raise(signal);
            fleet.Stop();
            reporter.Note(std::string(SignalWatch::Name(signal)) +
                          (several ? ": asking no further node; waiting for the requests in flight"
                                   : ": waiting for the request in flight") +
                          " (send it again to quit at once)");
        },
        [&](int signal) { reporter.Abandon(signal); });

    const DaDovu::Fleet::NodeSource source = [&]() -> std::optional<std::string> {
        if (interrupt.Raised()) return std::nullopt;
        return input->Next();
    };
    const DaDovu::Fleet::NodeCall call = [&](DaDovu::Client& node, DaDovu::FleetOutcome& outcome) {
        reporter.Started();
        NodeContext context;
        context.node = outcome.GetNode();
        context.json = settings.json;
        context.live = !several && !settings.json;
        context.quiet = settings.quiet;
        context.deadline = deadline;
        context.interrupt = &interrupt;
        context.statusLine = &line;
        NodeResult result;
        try {
            command(node, context, result);
        } catch (const DaDovu::Error& e) {
            result.Fail(e);
            outcome.SetError(e);
        } catch (const std::exception& e) {
            result.Fail(Exit::Failure, "failure", e.what());
        } catch (...) {
            result.Fail(Exit::Failure, "failure", "an unknown failure");
        }
        results.Put(outcome.GetIndex(), std::move(result));
    };
    const DaDovu::Fleet::OutcomeHandler handler = [&](const DaDovu::FleetOutcome& outcome) {
        std::optional<NodeResult> result = results.Take(outcome.GetIndex());
        if (!result) {  // the node's client could not be built, or the result not kept
            result.emplace();
            if (outcome.GetError()) {
                result->Fail(*outcome.GetError());
            } else {
                result->Fail(Exit::Failure, "failure", "no result");
            }
        }
        reporter.Report(outcome.GetNode(), *result);
    };

    fleet.Run(source, call, handler);
    const int signal = interrupt.Signal();

    std::string note;
    if (signal != 0) {
        note = std::string("interrupted by ") + SignalWatch::Name(signal) + (several ? ": no further node was asked" : "");
    } else if (!input->BadLine().empty()) {
        line.Print(std::cerr, kProgram + input->BadLine() + "\n");
        note = "the nodes file has a bad line: no further node was asked";
    }
    if (reporter.WriteError() != 0) {
        // The results could not all be printed: the run is not what was
        // asked. main says "write error" once standard output is flushed.
        line.Set("");
        return ToInt(Exit::Failure);
    }
    reporter.Summary(note);
    if (signal != 0) return 128 + signal;
    if (!input->BadLine().empty()) return ToInt(Exit::Usage);
    return ToInt(reporter.Worst());
}

}  // namespace DaDovuCtl
