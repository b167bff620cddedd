#include "Commands.h"

#include "Output.h"

#include <iostream>
#include <map>
#include <utility>

namespace DaDovuCtl {

namespace {

using DaDovu::Client;
using Clock = std::chrono::steady_clock;

void PrintRequestId(const NodeContext& context, NodeResult& result, DaDovu::RequestId id) {
    if (context.json) {
        result.result = {{"request_id", id.GetValue()}};
    } else {
        result.out += std::to_string(id.GetValue()) + "\n";
    }
}

std::string MessageLine(const DaDovu::Message& m) {
    return SeverityName(m.GetSeverity()) + ": " + Sanitize(m.GetText(), false) + "\n";
}

std::string Seconds(std::chrono::milliseconds ms) {
    return std::to_string(ms.count() / 1000) + "." + std::to_string(ms.count() % 1000 / 100);
}

const char* ProgressState(const ProgressCodes& codes, int code) {
    if (codes.running.count(code) != 0) return "running";
    return StatusOfResultCode(code) == Exit::Ok ? "finished" : "failed";
}

}  // namespace

Command StartCommand(const StartStopArgs& args) {
    return [args](Client& node, const NodeContext& context, NodeResult& result) {
        const DaDovu::StartMode mode = args.boot ? DaDovu::StartMode::Boot : DaDovu::StartMode::Normal;
        if (args.async) {
            PrintRequestId(context, result, node.StartAsync(args.target, context.deadline, mode));
        } else {
            node.Start(args.target, context.deadline, mode);
        }
    };
}

Command StopCommand(const StartStopArgs& args) {
    return [args](Client& node, const NodeContext& context, NodeResult& result) {
        const DaDovu::StopMode mode = args.kill ? DaDovu::StopMode::Kill : DaDovu::StopMode::Normal;
        if (args.async) {
            PrintRequestId(context, result, node.StopAsync(args.target, context.deadline, mode));
        } else {
            node.Stop(args.target, context.deadline, mode);
        }
    };
}

Command NotifyCommand(const NotifyArgs& args) {
    return [args](Client& node, const NodeContext& context, NodeResult&) {
        node.Notify(args.event, args.value, args.target, context.deadline);
    };
}

Command StatusCommand(const StatusArgs& args) {
    return [args](Client& node, const NodeContext& context, NodeResult& result) {
        const auto level = static_cast<DaDovu::StatusLevel>(args.level);
        if (!args.list) {
            const std::string text = node.Status(args.target, level, context.deadline);
            if (context.json) {
                result.result = {{"status", text}};
                return;
            }
            std::string shown = Sanitize(text, true);
            if (!shown.empty() && shown.back() != '\n') shown += '\n';
            result.out += shown;
            return;
        }
        const std::vector<DaDovu::Component> components = node.Components(args.target, level, context.deadline);
        if (context.json) {
            result.result = nlohmann::json::array();
            for (const DaDovu::Component& c : components) result.result.push_back(ComponentToJson(c));
            return;
        }
        std::vector<std::vector<std::string>> rows{{"NAME", "STATE", "PID", "CATEGORY", "DESCRIPTION"}};
        rows.reserve(components.size() + 1);
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
            result.result = {{"uid", user.GetUid()}, {"user", user.GetName()}};
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
        const std::string id = std::to_string(args.requestId);
        // How often each message text has been shown: a daemon may send the
        // whole history of a command with every answer, or only its latest part.
        std::map<std::string, int> shown;
        nlohmann::json messages = nlohmann::json::array();
        int code = -1;
        const auto data = [&] {
            return nlohmann::json{{"request_id", args.requestId},
                                  {"code", code},
                                  {"state", ProgressState(args.codes, code)},
                                  {"messages", messages}};
        };
        // The line shows this node's wait while one node is asked.
        struct Clear {
            const NodeContext& context;
            ~Clear() {
                if (context.live) context.statusLine->Set("");
            }
        } clear{context};
        for (;;) {
            const DaDovu::Progress progress = node.Progress(DaDovu::RequestId(args.requestId), context.deadline);
            code = progress.GetCode();
            std::map<std::string, int> seenNow;
            for (const DaDovu::Message& m : progress.GetMessages()) {
                const std::string key = MessageLine(m);
                if (++seenNow[key] <= shown[key]) continue;
                ++shown[key];
                if (context.json) {
                    messages.push_back(MessageToJson(m));
                } else {
                    context.Say(result, key);
                }
            }
            const std::string state = ProgressState(args.codes, code);
            if (!args.wait || state != "running") break;
            const auto now = Clock::now();
            if (now >= deadline) {
                result.Fail(Exit::WaitTimeout, "wait_timeout",
                            "request " + id + " has not ended after " + Seconds(args.waitTimeout) + " s (last code " +
                                std::to_string(code) + ")");
                if (context.json) result.result = data();
                return;
            }
            if (context.live) {
                const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - started).count();
                context.statusLine->Set("request " + id + " " + state + " (code " + std::to_string(code) + "), " +
                                        std::to_string(seconds) + " s");
            }
            if (context.interrupt->WaitFor(std::min<Clock::duration>(args.interval, deadline - now))) {
                const int signal = context.interrupt->Signal();
                result.Fail(static_cast<Exit>(128 + signal), "interrupted",
                            "request " + id + ": the wait was interrupted by " + SignalWatch::Name(signal) +
                                " (last code " + std::to_string(code) + ")");
                if (context.json) {
                    result.result = data();
                } else {
                    result.out += "request " + id + ": " + state + " (code " + std::to_string(code) + ")\n";
                }
                return;
            }
        }
        const std::string state = ProgressState(args.codes, code);
        if (state == "failed") {
            result.Fail(StatusOfResultCode(code), KindName(KindOfResultCode(code)),
                        "request " + id + " failed: code " + std::to_string(code));
        }
        if (context.json) {
            result.result = data();
        } else {
            result.out += "request " + id + ": " + state + " (code " + std::to_string(code) + ")\n";
        }
    };
}

Command AddCommand(const std::string& fileName) {
    return [fileName](Client& node, const NodeContext& context, NodeResult&) {
        node.AddComponent(fileName, context.deadline);
    };
}

Command DeleteCommand(const std::string& componentName) {
    return [componentName](Client& node, const NodeContext& context, NodeResult&) {
        node.DeleteComponent(componentName, context.deadline);
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

Exit PrintUri(const std::string& node, bool locate, bool json) {
    const std::string prefix = "dadovuctl: ";
    try {
        const std::string uri = DaDovu::CreateURI(QxPalStr::String_t(node.c_str()),
                                                  QxPalArray::CharArray_t(DaDovu::SERVER_IDENTIFIER), locate)
                                    .ToUtf8();
        std::cout << (json ? DumpJson({{"uri", uri}}) : Sanitize(uri, false) + "\n") << std::flush;
        return Exit::Ok;
    } catch (const QxPalMsg::Exception_t& e) {
        std::string text;
        FormatMessages(text, e.GetMessageList(), prefix, 0);
        if (text.empty()) text = prefix + Sanitize(e.what(), false) + "\n";
        std::cerr << text;
        return dynamic_cast<const QxPalMsg::IllegalArgumentError_t*>(&e) != nullptr ? Exit::IllegalArgument
                                                                                   : Exit::Failure;
    }
}

}  // namespace DaDovuCtl
