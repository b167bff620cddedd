#include "Commands.h"

#include "Output.h"

#include <map>
#include <thread>
#include <utility>

namespace DaDovuCtl {

namespace {

using DaDovu::Control;
using QxPalStr::String_t;

Control::Options MakeOptions(const std::string& targetId) {
    Control::Options options;
    if (!targetId.empty()) options.SetTargetID(String_t(targetId.c_str()));
    return options;
}

Outcome RequestId(const Request& request, unsigned long long id) {
    if (request.json) return {Exit::Ok, {{"request_id", id}}};
    request.sink->Out(std::to_string(id) + "\n");
    return {};
}

// The failure of a request whose result code the library hands back unchecked.
Outcome Refused(const Request& request, const std::string& what, int code) {
    if (code == -1) {
        request.sink->Err(request.errorPrefix + "the request to " + what +
                          " could not be completed; the node's log says why\n");
        return {Exit::Communication, nullptr};
    }
    const Exit status = StatusOfResultCode(code);
    if (status != Exit::Ok) {
        request.sink->Err(request.errorPrefix + "the daemon refused to " + what + ": result code " +
                          std::to_string(code) + "\n");
    }
    return {status, nullptr};
}

std::string MessageLine(const QxPalMsg::Message_t& m) {
    return SeverityName(m.GetSeverity()) + ": " + Sanitize(m.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), false) +
           "\n";
}

std::string Seconds(std::chrono::milliseconds ms) {
    std::string text = std::to_string(ms.count() / 1000) + "." + std::to_string(ms.count() % 1000 / 100);
    return text;
}

const char* ProgressState(const ProgressCodes& codes, int code) {
    if (codes.running.count(code) != 0) return "running";
    return StatusOfResultCode(code) == Exit::Ok ? "finished" : "failed";
}

}  // namespace

Command StartCommand(const StartStopArgs& args) {
    return [args](const Request& request) -> Outcome {
        Control::Options options = MakeOptions(args.targetId);
        const String_t target(args.target.c_str());
        if (args.async) return RequestId(request, Control::StartAsync(target, args.boot, options, request.uri));
        Control::Start(target, args.boot, options, request.uri);
        return {};
    };
}

Command StopCommand(const StartStopArgs& args) {
    return [args](const Request& request) -> Outcome {
        Control::Options options = MakeOptions(args.targetId);
        const String_t target(args.target.c_str());
        if (args.async) return RequestId(request, Control::StopAsync(target, args.kill, options, request.uri));
        Control::Stop(target, args.kill, options, request.uri);
        return {};
    };
}

Command NotifyCommand(const NotifyArgs& args) {
    return [args](const Request& request) -> Outcome {
        Control::Notify(String_t(args.event.c_str()), String_t(args.value.c_str()), String_t(args.target.c_str()),
                        MakeOptions(args.targetId), request.uri);
        return {};
    };
}

Command StatusCommand(const StatusArgs& args) {
    return [args](const Request& request) -> Outcome {
        const auto level = static_cast<Control::StatusLevel>(args.level);
        const String_t target(args.target.c_str());
        const Control::Options options = MakeOptions(args.targetId);
        if (!args.list) {
            const std::string text = Control::Status(level, target, options, request.uri).ToUtf8();
            if (request.json) return {Exit::Ok, {{"status", text}}};
            std::string shown = Sanitize(text, true);
            if (!shown.empty() && shown.back() != '\n') shown += '\n';
            request.sink->Out(shown);
            return {};
        }
        DaDovu::ControlComponentList list;
        Control::Status(level, target, options, list, request.uri);
        nlohmann::json components = nlohmann::json::array();
        std::vector<std::vector<std::string>> rows{{"NAME", "STATE", "PID", "CATEGORY", "DESCRIPTION"}};
        for (; !list.IsAtEnd(); list.Next()) {
            const DaDovu::ControlComponent c = list.GetCurrent();
            if (request.json) {
                components.push_back(ComponentToJson(c));
                continue;
            }
            auto cell = [](const String_t& text, const char* empty) {
                const std::string s = Sanitize(text.ToUtf8(), false);
                return s.empty() ? std::string(empty) : s;
            };
            rows.push_back({cell(c.GetName(), "-"), StateName(c.GetState()), cell(c.GetPID(), "-"),
                            cell(c.GetCategory(), "-"), cell(c.GetDescription(), "")});
        }
        if (request.json) return {Exit::Ok, std::move(components)};
        request.sink->Out(RenderTable(rows));
        return {};
    };
}

Command UserCommand(const std::string& targetId) {
    return [targetId](const Request& request) -> Outcome {
        const DaDovu::ControlUser user = Control::GetUser(MakeOptions(targetId), request.uri);
        const std::string name = user.user.ToUtf8();
        if (request.json) return {Exit::Ok, {{"uid", user.uid}, {"user", name}}};
        std::string text = "uid=" + std::to_string(user.uid);
        if (!name.empty()) text += "(" + Sanitize(name, false) + ")";
        request.sink->Out(text + "\n");
        return {};
    };
}

Command ProgressCommand(const ProgressArgs& args) {
    return [args](const Request& request) -> Outcome {
        using Clock = std::chrono::steady_clock;
        const Control::Options options = MakeOptions(args.targetId);
        const auto started = Clock::now();
        const auto deadline = started + args.timeout;
        const std::string id = std::to_string(args.requestId);
        // How often each message text has been shown: a daemon may send the
        // whole history of a command with every answer, or only its latest part.
        std::map<std::string, int> shown;
        nlohmann::json messages = nlohmann::json::array();
        int code = -1;
        for (;;) {
            QxPalMsg::MessageList_t list;
            code = Control::GetCommandProgress(args.requestId, options, list, request.uri);
            std::map<std::string, int> seenNow;
            for (int i = 0; i < list.GetMessageCount(); ++i) {
                const QxPalMsg::Message_t& m = list.GetMessageObject(i);
                const std::string key = MessageLine(m);
                if (++seenNow[key] <= shown[key]) continue;
                ++shown[key];
                if (request.json) {
                    messages.push_back(MessageToJson(m));
                } else {
                    request.sink->Out(key);
                }
            }
            const std::string state = ProgressState(args.codes, code);
            if (!args.wait || state != "running") break;
            const auto now = Clock::now();
            if (now >= deadline) {
                request.sink->Err(request.errorPrefix + "request " + id + " has not ended after " +
                                  Seconds(args.timeout) +
                                  " s (last code " + std::to_string(code) + ")\n");
                if (request.json) {
                    return {Exit::WaitTimeout,
                            {{"request_id", args.requestId}, {"code", code}, {"state", state}, {"messages", messages}}};
                }
                return {Exit::WaitTimeout, nullptr};
            }
            const auto seconds = std::chrono::duration_cast<std::chrono::milliseconds>(now - started).count() / 1000;
            const std::string who = request.labelled ? Sanitize(request.label, false) + ": " : std::string();
            request.statusLine->Set(request.slot, who + "request " + id + " " + state + " (code " +
                                                      std::to_string(code) + "), " + std::to_string(seconds) + " s");
            std::this_thread::sleep_for(std::min<Clock::duration>(args.interval, deadline - now));
        }
        request.statusLine->Set(request.slot, "");
        const std::string state = ProgressState(args.codes, code);
        const Exit status = state == "failed" ? StatusOfResultCode(code) : Exit::Ok;
        if (status != Exit::Ok) {
            request.sink->Err(request.errorPrefix + "request " + id + " failed: code " + std::to_string(code) + "\n");
        }
        if (request.json) {
            return {status, {{"request_id", args.requestId}, {"code", code}, {"state", state}, {"messages", messages}}};
        }
        request.sink->Out("request " + id + ": " + state + " (code " + std::to_string(code) + ")\n");
        return {status, nullptr};
    };
}

Command AddCommand(const std::string& fileName) {
    return [fileName](const Request& request) -> Outcome {
        const int code = DaDovu::AddComponent(String_t(fileName.c_str()), request.uri);
        return code == 0 ? Outcome{} : Refused(request, "add the component from " + Sanitize(fileName, false), code);
    };
}

Command DeleteCommand(const std::string& componentName) {
    return [componentName](const Request& request) -> Outcome {
        const int code = DaDovu::DeleteComponent(String_t(componentName.c_str()), request.uri);
        return code == 0 ? Outcome{} : Refused(request, "delete the component " + Sanitize(componentName, false), code);
    };
}

Exit PrintUri(const std::string& node, bool locate, bool json) {
    StatusLine line(false, 0);
    DirectSink sink(line);
    try {
        const std::string uri = DaDovu::CreateURI(String_t(node.c_str()),
                                                  QxPalArray::CharArray_t(DaDovu::SERVER_IDENTIFIER), locate)
                                    .ToUtf8();
        sink.Out(json ? DumpJson({{"uri", uri}}) : Sanitize(uri, false) + "\n");
        return Exit::Ok;
    } catch (...) {
        return ReportException(std::current_exception(), "dadovuctl: ", sink);
    }
}

}  // namespace DaDovuCtl
