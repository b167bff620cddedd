#include "ControlService.h"

#include "ResultCodes.h"
#include "SoapMessage.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <climits>
#include <fstream>
#include <future>
#include <memory>
#include <optional>

namespace DaDovuSim {

namespace {

std::string_view TrimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

const std::string& Text(const SoapRequest& request, std::string_view name) {
    const SoapArgument* argument = request.Find(name);
    if (argument == nullptr)
        throw SoapFault("soap:Client",
                        "missing argument '" + std::string(name) + "' of method '" + request.method + "'");
    return argument->value;
}

// The lexical forms of xsd:boolean, blanks around them ignored.
std::optional<bool> Flag(std::string_view text) {
    text = TrimBlanks(text);
    if (text == "true" || text == "1") return true;
    if (text == "false" || text == "0") return false;
    return std::nullopt;
}

std::optional<long long> Integer(std::string_view text) {
    text = TrimBlanks(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

// Text for the one-line request log: C0 and C1 controls and DEL as \xNN, so
// that no request can break a log line or forge another.
std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escaped[16];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else if (c1) {
            std::snprintf(escaped, sizeof escaped, "\\xC2\\x%02X", static_cast<unsigned char>(text[++i]));
            out += escaped;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Quoted(std::string_view text) { return "'" + Printable(text) + "'"; }

// Longer texts and targets of more terms are answered 66: a target is matched
// against every component under the engine's lock, an event value is kept by
// every subscriber, and an asynchronous request's target by its record.
constexpr std::size_t kMaxTextBytes = 4096;
constexpr std::size_t kMaxTargetTerms = 256;

bool Usable(std::string_view text) { return text.size() <= kMaxTextBytes; }

bool UsableTarget(std::string_view target) {
    return Usable(target) && static_cast<std::size_t>(std::count(target.begin(), target.end(), ',')) < kMaxTargetTerms;
}

// A start or stop that a handler leaves to the engine, whose completion
// writes the result.
struct Deferred {
    bool start = true;
    std::string target;
    bool flag = false;
    bool async = false;
};

using Handler = void (*)(CommandEngine&, const SoapRequest&, SoapResponseWriter&, std::string&,
                         std::optional<Deferred>&);

struct Method {
    std::string_view name;
    bool changesComponents;  // refused to callers outside the authorization list
    Handler handler;
};

void Finish(SoapResponseWriter& writer, std::string& summary, int result) {
    writer.AddInt("result", result);
    summary += " -> " + std::to_string(result);
}

void StartOrStop(const SoapRequest& r, SoapResponseWriter& w, std::string& summary, std::optional<Deferred>& later,
                 bool start) {
    const char* flagName = start ? "boot" : "kill";
    const std::string& target = Text(r, "target");
    const std::string& flagText = Text(r, flagName);
    const std::string& asyncText = Text(r, "async");
    summary += " target=" + Quoted(target) + " " + flagName + "=" + Printable(flagText) +
               " async=" + Printable(asyncText);
    const auto flag = Flag(flagText);
    const auto async = Flag(asyncText);
    if (!flag || !async || !UsableTarget(target)) return Finish(w, summary, Result::kInvalidArgument);
    later = Deferred{start, target, *flag, *async};
}

void DoStart(CommandEngine&, const SoapRequest& r, SoapResponseWriter& w, std::string& s, std::optional<Deferred>& l) {
    StartOrStop(r, w, s, l, true);
}

void DoStop(CommandEngine&, const SoapRequest& r, SoapResponseWriter& w, std::string& s, std::optional<Deferred>& l) {
    StartOrStop(r, w, s, l, false);
}

void DoNotify(CommandEngine& engine, const SoapRequest& r, SoapResponseWriter& w, std::string& summary,
              std::optional<Deferred>&) {
    const std::string& event = Text(r, "event");
    const std::string& value = Text(r, "value");
    const std::string& target = Text(r, "target");
    const std::string& asyncText = Text(r, "async");
    summary += " event=" + Quoted(event) + " value=" + Quoted(value) + " target=" + Quoted(target);
    // Notification takes no time, so an asynchronous one is answered like a
    // synchronous one; the flag is still checked.
    if (!Flag(asyncText) || !Usable(event) || !Usable(value) || !UsableTarget(target))
        return Finish(w, summary, Result::kInvalidArgument);
    Finish(w, summary, engine.Notify(event, value, target));
}

void DoGetUser(CommandEngine&, const SoapRequest&, SoapResponseWriter& w, std::string& summary,
               std::optional<Deferred>&) {
    const UserAccount user = CurrentUser();
    Finish(w, summary, user.known ? Result::kSuccess : Result::kNoUser);
    w.AddInt("uid", user.uid);
    w.AddString("user", user.name);
}

// The level as an int, or nullopt when it is no number or none that fits.
std::optional<int> Level(const SoapRequest& r, std::string& summary) {
    const std::string& text = Text(r, "level");
    summary += " level=" + Printable(text);
    const auto level = Integer(text);
    if (!level || *level < INT_MIN || *level > INT_MAX) return std::nullopt;
    return static_cast<int>(*level);
}

void DoStatus(CommandEngine& engine, const SoapRequest& r, SoapResponseWriter& w, std::string& summary,
               std::optional<Deferred>&) {
    const auto level = Level(r, summary);
    const std::string& target = Text(r, "target");
    summary += " target=" + Quoted(target);
    const auto status = level && UsableTarget(target) ? engine.Status(*level, target)
                                                      : CommandEngine::StatusText{Result::kInvalidArgument, {}};
    Finish(w, summary, status.result);
    w.AddString("status", status.text);
}

void DoStatusList(CommandEngine& engine, const SoapRequest& r, SoapResponseWriter& w, std::string& summary,
                   std::optional<Deferred>&) {
    const auto level = Level(r, summary);
    const std::string& target = Text(r, "target");
    summary += " target=" + Quoted(target);
    const auto status = level && UsableTarget(target) ? engine.StatusList(*level, target)
                                                      : CommandEngine::StatusRecords{Result::kInvalidArgument, {}};
    Finish(w, summary, status.result);
    summary += " (" + std::to_string(status.records.size()) + " records)";
    w.AddComponentList("complist", status.records);
}

void DoProgress(CommandEngine& engine, const SoapRequest& r, SoapResponseWriter& w, std::string& summary,
                 std::optional<Deferred>&) {
    const std::string& text = Text(r, "RequestID");
    summary += " RequestID=" + Printable(text);
    const auto id = Integer(text);
    CommandEngine::Progress progress;
    if (!id)
        progress.result = Result::kInvalidArgument;
    else if (*id < INT_MIN || *id > INT_MAX)
        progress.result = Result::kNoMatch;  // no request ID is that large
    else
        progress = engine.GetProgress(static_cast<int>(*id));
    Finish(w, summary, progress.result);
    w.AddMessageList("MsgList", progress.messages);
}

void DoAdd(CommandEngine& engine, const SoapRequest& r, SoapResponseWriter& w, std::string& summary,
            std::optional<Deferred>&) {
    const std::string& fileName = Text(r, "filename");
    summary += " filename=" + Quoted(fileName);
    const auto outcome = engine.AddComponent(fileName);
    Finish(w, summary, outcome.result);
    summary += " (" + outcome.detail + ")";
}

void DoDelete(CommandEngine& engine, const SoapRequest& r, SoapResponseWriter& w, std::string& summary,
               std::optional<Deferred>&) {
    const std::string& name = Text(r, "componentname");
    summary += " componentname=" + Quoted(name);
    const auto outcome = engine.DeleteComponent(name);
    Finish(w, summary, outcome.result);
    summary += " (" + outcome.detail + ")";
}

constexpr Method kMethods[] = {
    {"start", true, DoStart},
    {"stop", true, DoStop},
    {"notify", true, DoNotify},
    {"getuser", false, DoGetUser},
    {"status", false, DoStatus},
    {"statusaslist", false, DoStatusList},
    {"requestprogress", true, DoProgress},
    {"addcomponent", true, DoAdd},
    {"deletecomponent", true, DoDelete},
};

}  // namespace

bool SubjectMatches(const std::string& line, const CallerIdentity& caller) {
    if (!caller.hasCertificate) return false;
    if (line == caller.subject) return true;
    // "CN=name" names a common name only when it is no more than that: a line
    // holding further attributes is a whole subject, which a certificate whose
    // common name reads like one must not match.
    return !caller.commonName.empty() && line.size() > 3 && line.compare(0, 3, "CN=") == 0 &&
           line.find_first_of(",+=", 3) == std::string::npos && line.compare(3, std::string::npos, caller.commonName) == 0;
}

std::vector<std::string> LoadSubjectList(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    std::vector<std::string> subjects;
    std::string line;
    while (std::getline(in, line)) {
        const std::string_view trimmed = TrimBlanks(line);
        if (trimmed.empty() || trimmed.front() == '#') continue;
        subjects.emplace_back(trimmed);
    }
    if (in.bad()) throw std::runtime_error(path + ": cannot be read");
    return subjects;
}

UserAccount CurrentUser() {
    UserAccount account;
    const uid_t uid = geteuid();
    account.uid = static_cast<long long>(uid);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0) size = 16384;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error == 0 && found != nullptr && found->pw_name != nullptr) {
            account.known = true;
            account.name = found->pw_name;
        }
        return account;
    }
}

ControlService::ControlService(CommandEngine& engine, SecurityPolicy policy)
    : ControlService(std::make_shared<const SecurityPolicy>(std::move(policy)), engine) {}

ControlService::ControlService(std::shared_ptr<const SecurityPolicy> policy, CommandEngine& engine)
    : engine_(engine), policy_(std::move(policy)) {}

ServiceAnswer ControlService::Handle(std::string_view body, const CallerIdentity& caller) const {
    // Shared with the completion, which may still be returning from
    // set_value when this caller has gone on.
    auto promise = std::make_shared<std::promise<ServiceAnswer>>();
    std::future<ServiceAnswer> answer = promise->get_future();
    HandleAsync(body, caller, [promise](ServiceAnswer a) { promise->set_value(std::move(a)); });
    return answer.get();
}

void ControlService::HandleAsync(std::string_view body, const CallerIdentity& caller, AnswerHandler done) const {
    const SecurityPolicy& policy = *policy_;
    std::string summary = "?";
    const auto fault = [&summary](const std::string& code, const std::string& text) {
        return ServiceAnswer{500, WriteSoapFault(code, text), summary + " -> fault " + code + " " + text};
    };
    try {
        if (policy.requireCertificate && !caller.hasCertificate) throw SoapFault("soap:Client", "ctrlauthentication");
        const SoapRequest request = ParseSoapRequest(body);
        summary = request.method;
        const Method* method = nullptr;
        for (const auto& m : kMethods)
            if (m.name == request.method) method = &m;
        if (method == nullptr) throw SoapFault("soap:Client", "unknown method '" + request.method + "'");
        if (method->changesComponents && policy.restrictChanges) {
            bool authorized = false;
            for (const auto& line : policy.authorizedSubjects) authorized = authorized || SubjectMatches(line, caller);
            if (!authorized) throw SoapFault("soap:Client", "ctrlauthorization");
        }
        SoapResponseWriter writer(method->name);
        std::optional<Deferred> later;
        method->handler(engine_, request, writer, summary, later);
        if (!later) return done(ServiceAnswer{200, writer.Finish(), std::move(summary)});

        // A start or stop: answered when the engine says how it ended, which
        // for a synchronous command is once it has run.
        struct Pending {
            SoapResponseWriter writer;
            std::string summary;
            AnswerHandler done;
        };
        auto pending = std::make_shared<Pending>(Pending{std::move(writer), std::move(summary), std::move(done)});
        engine_.Submit(later->start, later->target, later->flag, later->async,
                       [pending](std::optional<int> result) {
                           if (!result) {
                               const ShuttingDown e;
                               return pending->done(ServiceAnswer{500, WriteSoapFault("soap:Server", e.what()),
                                                                  pending->summary + " -> fault soap:Server " +
                                                                      e.what()});
                           }
                           Finish(pending->writer, pending->summary, *result);
                           pending->done(ServiceAnswer{200, pending->writer.Finish(), std::move(pending->summary)});
                       });
    } catch (const SoapFault& f) {
        done(fault(f.Code(), f.what()));
    }
}

}  // namespace DaDovuSim
