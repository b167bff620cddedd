#include "Commands.h"

#include "Output.h"

#include <optional>

#include <iostream>
#include <map>
#include <utility>

namespace DaDovuCtl {

namespace {

using DaDovu::Client;
using Clock = std::chrono::steady_clock;

// start and stop: {"target", "request_id"}, the ID null when the command was synchronous.
void Report(const NodeContext& context, NodeResult& result, const std::string& target,
            std::optional<DaDovu::RequestId> id) {
    if (context.json) {
        result.result = {{"target", target}, {"request_id", id ? nlohmann::json(id->GetValue()) : nlohmann::json()}};
    } else if (id) {
        result.out += std::to_string(id->GetValue()) + "\n";
    }
}

std::string MessageLine(const DaDovu::Message& m) {
    return SeverityName(m.GetSeverity()) + ": " + Sanitize(m.GetText(), false) + "\n";
}

std::string Seconds(std::chrono::milliseconds ms) {
    return std::to_string(ms.count() / 1000) + "." + std::to_string(ms.count() % 1000 / 100);
}

// "running", "finished", "failed", or "unknown" for an ID the daemon does not know.
const char* ProgressState(const ProgressCodes& codes, int code) {
    if (codes.running.count(code) != 0) return "running";
    if (DaDovu::Progress::StateOfCode(code) == DaDovu::ProgressState::UnknownRequest) return "unknown";
    return StatusOfResultCode(code) == Exit::Ok ? "finished" : "failed";
}

}  // namespace

Command StartCommand(const StartStopArgs& args) {
    return [args](Client& node, const NodeContext& context, NodeResult& result) {
        const DaDovu::StartMode mode = args.boot ? DaDovu::StartMode::Boot : DaDovu::StartMode::Normal;
        if (args.async) {
            Report(context, result, args.target, node.StartAsync(args.target, context.deadline, mode));
        } else {
            node.Start(args.target, context.deadline, mode);
            Report(context, result, args.target, std::nullopt);
        }
    };
}

Command StopCommand(const StartStopArgs& args) {
    return [args](Client& node, const NodeContext& context, NodeResult& result) {
        const DaDovu::StopMode mode = args.kill ? DaDovu::StopMode::Kill : DaDovu::StopMode::Normal;
        if (args.async) {
            Report(context, result, args.target, node.StopAsync(args.target, context.deadline, mode));
        } else {
            node.Stop(args.target, context.deadline, mode);
            Report(context, result, args.target, std::nullopt);
        }
    };
}

Command NotifyCommand(const NotifyArgs& args) {
    return [args](Client& node, const NodeContext& context, NodeResult& result) {
        node.Notify(args.event, args.value, args.target, context.deadline);
        if (context.json) result.result = {{"event", args.event}, {"value", args.value}, {"target", args.target}};
    };
}

Command StatusCommand(const StatusArgs& args) {
    return [args](Client& node, const NodeContext& context, NodeResult& result) {
        const auto level = static_cast<DaDovu::StatusLevel>(args.level);
        // JSON always carries the records: the daemon's text is for people.
        if (!args.list && !context.json) {
            const std::string text = node.Status(args.target, level, context.deadline);
            std::string shown = Sanitize(text, true);
            if (!shown.empty() && shown.back() != '\n') shown += '\n';
            result.out += shown;
            return;
        }
        const std::vector<DaDovu::Component> components = node.Components(args.target, level, context.deadline);
        if (context.json) {
            nlohmann::json records = nlohmann::json::array();
            for (const DaDovu::Component& c : components) records.push_back(ComponentToJson(c));
            result.result = {{"target", args.target}, {"level", args.level}, {"components", std::move(records)}};
            return;
        }
        std::vector<std::vector<std::string>> rows;
        rows.reserve(components.size() + 1);
        if (!args.noHeaders) rows.push_back({"NAME", "STATE", "PID", "CATEGORY", "DESCRIPTION"});
        const auto cell = [](const std::string& text, const char* empty) {
            const std::string s = Sanitize(text, false);
            return s.empty() ? std::string(empty) : s;
        };
        for (const DaDovu::Component& c : components) {
            const std::optional<int> pid = c.GetPid();
            rows.push_back({cell(c.GetName(), "-"), StateName(c.GetStateNumber()), pid ? std::to_string(*pid) : "-",
                            cell(c.GetCategory(), "-"), cell(c.GetDescription(), "")});
        }
        result.out += RenderTable(rows);
    };
}

Command UserCommand() {
    return [](Client& node, const NodeContext& context, NodeResult& result) {
        const DaDovu::User user = node.GetUser(context.deadline);
        if (context.json) {
            result.result = {{"uid", user.GetUid()},
                             {"user", user.GetName().empty() ? nlohmann::json() : nlohmann::json(user.GetName())}};
            return;
        }
        std::string text = "uid=" + std::to_string(user.GetUid());
        if (!user.GetName().empty()) text += "(" + Sanitize(user.GetName(), false) + ")";
        result.out += text + "\n";
    };
}

Command ProgressCommand(const ProgressArgs& args) {
    return [args](Client& node, const NodeContext& context, NodeResult& result) {
        const auto started = Clock::now();
        const auto deadline = started + args.waitTimeout;
        const std::string id = "request " + std::to_string(args.requestId);
        // How often each message text has been shown: a daemon may send the
        // whole history of a command with every answer, or only its latest part.
        std::map<std::string, int> shown;
        nlohmann::json messages = nlohmann::json::array();
        std::optional<int> code;  // the last code the daemon sent
        const auto state = [&] { return code ? ProgressState(args.codes, *code) : "unknown"; };
        const auto lastCode = [&] { return code ? " (last code " + std::to_string(*code) + ")" : std::string(); };
        const auto keep = [&] {
            if (!context.json) return;
            result.result = {{"request_id", args.requestId},
                             {"code", code ? nlohmann::json(*code) : nlohmann::json()},
                             {"state", state()},
                             {"messages", messages}};
        };
        // The line shows this node's wait while one node is asked.
        struct Clear {
            const NodeContext& context;
            ~Clear() {
                if (context.live) context.statusLine->Set("");
            }
        } clear{context};
        bool toldUnreachable = false;
        for (;;) {
            std::optional<DaDovu::Progress> progress;
            try {
                progress = node.Progress(DaDovu::RequestId(args.requestId), context.deadline);
            } catch (const DaDovu::Error& e) {
                // A daemon that restarts cannot be reached for a while: a wait
                // asks again until its end, as asking has no effect.
                const bool unreachable =
                    e.GetKind() == DaDovu::ErrorKind::NotSent || e.GetKind() == DaDovu::ErrorKind::NoAnswer;
                if (!args.wait || !unreachable) {
                    result.Fail(e);
                    keep();
                    return;
                }
                const auto now = Clock::now();
                if (now >= deadline) {
                    result.Fail(e);
                    result.failure->message = id + ": the daemon could not be reached before the wait's end (" +
                                              Seconds(args.waitTimeout) + " s)" + lastCode() + ": " + e.what();
                    keep();
                    return;
                }
                if (context.live && !context.quiet && !toldUnreachable) {
                    context.statusLine->Print(std::cerr, "dadovuctl: " + id + ": " + Sanitize(e.what(), false) +
                                                             "; asking again until the wait's end\n");
                }
                toldUnreachable = true;
                if (context.live) context.statusLine->Set(id + ": the daemon cannot be reached; asking again");
                if (context.interrupt->WaitFor(std::min<Clock::duration>(args.interval, deadline - now))) {
                    const int signal = context.interrupt->Signal();
                    result.Fail(static_cast<Exit>(128 + signal), "interrupted",
                                id + ": the wait was interrupted by " + SignalWatch::Name(signal) + lastCode());
                    keep();
                    return;
                }
                continue;
            }
            code = progress->GetCode();
            std::map<std::string, int> seenNow;
            for (const DaDovu::Message& m : progress->GetMessages()) {
                const std::string key = MessageLine(m);
                if (++seenNow[key] <= shown[key]) continue;
                ++shown[key];
                if (context.json) {
                    messages.push_back(MessageToJson(m));
                } else {
                    context.Say(result, key);
                }
            }
            if (state() == std::string("unknown")) {
                result.Fail(Exit::UnknownRequest, "unknown_request",
                            id + " is not known to the daemon (code " + std::to_string(*code) +
                                "): it never was, or the daemon has forgotten it (restarted, or too many newer "
                                "commands since)");
                keep();
                return;
            }
            if (!args.wait || state() != std::string("running")) break;
            const auto now = Clock::now();
            if (now >= deadline) {
                result.Fail(Exit::WaitTimeout, "wait_timeout",
                            id + " has not ended after " + Seconds(args.waitTimeout) + " s" + lastCode());
                keep();
                return;
            }
            if (context.live) {
                const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - started).count();
                context.statusLine->Set(id + " " + state() + " (code " + std::to_string(*code) + "), " +
                                        std::to_string(seconds) + " s");
            }
            if (context.interrupt->WaitFor(std::min<Clock::duration>(args.interval, deadline - now))) {
                const int signal = context.interrupt->Signal();
                result.Fail(static_cast<Exit>(128 + signal), "interrupted",
                            id + ": the wait was interrupted by " + SignalWatch::Name(signal) + lastCode());
                if (!context.json) result.out += id + ": " + state() + " (code " + std::to_string(*code) + ")\n";
                keep();
                return;
            }
        }
        if (state() == std::string("failed")) {
            result.Fail(StatusOfResultCode(*code), KindName(KindOfResultCode(*code)),
                        id + " failed: code " + std::to_string(*code));
            result.failure->resultCode = *code;
        }
        keep();
        if (!context.json) result.out += id + ": " + state() + " (code " + std::to_string(*code) + ")\n";
    };
}

Command AddCommand(const std::string& fileName) {
    return [fileName](Client& node, const NodeContext& context, NodeResult& result) {
        node.AddComponent(fileName, context.deadline);
        if (context.json) result.result = {{"file", fileName}};
    };
}

Command DeleteCommand(const std::string& componentName) {
    return [componentName](Client& node, const NodeContext& context, NodeResult& result) {
        node.DeleteComponent(componentName, context.deadline);
        if (context.json) result.result = {{"component", componentName}};
    };
}

namespace {

// Each message of `messages` on its own line after `prefix`, with its
// catalog and number; its details follow indented by two blanks per level.
void FormatMessages(std::string& out, const QxPalMsg::MessageList_t& messages, const std::string& prefix, int depth) {
    for (int i = 0; i < messages.GetMessageCount(); ++i) {
        const QxPalMsg::Message_t& m = messages.GetMessageObject(i);
        out += prefix;
        out.append(static_cast<std::size_t>(2 * depth), ' ');
        out += Sanitize(m.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), false);
        const std::string catalog = m.GetMessageCatalog();
        if (!catalog.empty()) out += " (" + Sanitize(catalog, false) + " " + std::to_string(m.GetMessageNo()) + ")";
        out += '\n';
        FormatMessages(out, m.GetDetails(), prefix, depth + 1);
    }
}

}  // namespace

Exit PrintUri(const std::string& node, bool locate, bool https, bool json) {
    const std::string prefix = "dadovuctl: ";
    Exit status = Exit::Ok;
    std::string uri;
    nlohmann::json error;
    try {
        uri = DaDovu::CreateURI(QxPalStr::String_t(node.c_str()), QxPalArray::CharArray_t(DaDovu::SERVER_IDENTIFIER),
                                locate)
                  .ToUtf8();
        if (https && uri.compare(0, 7, "http://") == 0) uri.insert(4, "s");
    } catch (const QxPalMsg::Exception_t& e) {
        std::string text;
        FormatMessages(text, e.GetMessageList(), prefix, 0);
        if (text.empty()) text = prefix + Sanitize(e.what(), false) + "\n";
        std::cerr << text;
        const bool illegal = dynamic_cast<const QxPalMsg::IllegalArgumentError_t*>(&e) != nullptr;
        status = illegal ? Exit::IllegalArgument : Exit::Failure;
        error = {{"kind", illegal ? "invalid_argument" : "failure"},
                 {"message", std::string(e.what())},
                 {"details", nlohmann::json::array()},
                 {"hint", nullptr},
                 {"result_code", nullptr},
                 {"may_have_acted", false}};
    }
    if (json) {
        std::cout << JsonLine({{"node", node},
                               {"exit_status", ToInt(status)},
                               {"result", status == Exit::Ok ? nlohmann::json{{"uri", uri}} : nlohmann::json()},
                               {"error", std::move(error)}});
    } else if (status == Exit::Ok) {
        std::cout << Sanitize(uri, false) << "\n";
    }
    std::cout << std::flush;
    return status;
}

}  // namespace DaDovuCtl
