// Client: the modern door. Each call converts its arguments, runs its method
// through the shared request frame with the client's policy, and converts
// the results; every failure leaves as a DaDovu::Error naming the operation,
// the endpoint and the target.

#include <dadovu/Client.h>
#include <dadovu/Functions.h>

#include <climits>
#include <new>
#include <thread>
#include <utility>

#include "api/ClientSettingsImpl.h"
#include "api/ClientValuesImpl.h"
#include "api/NodeUri.h"
#include "engine/ClientPolicy.h"
#include "engine/NodeSettings.h"
#include "engine/RequestFrame.h"
#include "soap/SOAPArgControlComponentList.h"

namespace DaDovu {

using Engine::ClientFailure;
using QxPalStr::String_t;
using Clock = std::chrono::steady_clock;

// Fixed when the client is built; shared by its copies.
struct Client::Impl {
    std::string endpoint;  // UTF-8, as errors name it
    QxPalNet::URI_t uri;
    bool secure = false;
    String_t targetId;
    Clock::duration callTimeout;
    // Shared by the clients of other nodes made from this one (ForNode).
    std::shared_ptr<const Engine::ClientPolicy> sharedPolicy;
    const Engine::ClientPolicy& policy;

    Impl(std::string endpointText, bool secureComm, String_t target, Clock::duration timeout,
         std::shared_ptr<const Engine::ClientPolicy> requestPolicy)
        : endpoint(std::move(endpointText)),
          uri(String_t(endpoint)),
          secure(secureComm),
          targetId(std::move(target)),
          callTimeout(timeout),
          sharedPolicy(std::move(requestPolicy)),
          policy(*sharedPolicy) {}
};

namespace {

[[noreturn]] void Refuse(ErrorKind kind, const std::string& detail) { throw ClientFailure{kind, std::nullopt, {detail}}; }

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values beyond U+10FFFF).
bool IsUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int length = 0;
        unsigned lowest = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            lowest = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            lowest = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            lowest = 0x10000;
        } else {
            return false;
        }
        if (end - p < length) return false;
        unsigned value = c & (0x3F >> (length - 1));
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            value = (value << 6) | (p[i] & 0x3F);
        }
        if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        p += length;
    }
    return true;
}

// An argument as the engine takes it. Throws ClientFailure for invalid UTF-8.
String_t Text(std::string_view utf8, const char* what) {
    if (!IsUtf8(utf8)) Refuse(ErrorKind::InvalidArgument, std::string("The ") + what + " is not valid UTF-8");
    return String_t(utf8);
}

// A text the library quotes in an error: control characters become '?', so
// that an error cannot forge lines.
std::string Quoted(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return out;
}

// Runs `body` and turns whatever it throws into a DaDovu::Error naming the
// request (`operation` of `target` at `endpoint`); std::bad_alloc passes
// unchanged.
template <typename Body>
auto Guarded(const std::string& endpoint, const char* operation, std::optional<std::string_view> target, Body&& body)
    -> decltype(body()) {
    auto fail = [&](ErrorKind kind, std::optional<int> code, std::vector<std::string> details) -> Error {
        std::optional<std::string> named;
        if (target) named = Quoted(*target);
        return Error(kind, operation, Quoted(endpoint), std::move(named), code, std::move(details));
    };
    try {
        return body();
    } catch (const ClientFailure& failure) {
        throw fail(failure.kind, failure.resultCode, failure.details);
    } catch (const QxPalMsg::Exception_t& caught) {
        ClientFailure failure = Engine::Classify(caught);
        throw fail(failure.kind, failure.resultCode, std::move(failure.details));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& caught) {
        throw fail(ErrorKind::NoAnswer, std::nullopt, {caught.what()});
    } catch (...) {
        throw fail(ErrorKind::NoAnswer, std::nullopt, {"an unknown failure"});
    }
}

// The request values of one call of `client` with `deadline`.
struct Call {
    Clock::time_point deadline;
    Engine::Request request;

    Call(const Client::Impl& client, const Deadline& given, bool asynchronous)
        : deadline(given.At(Clock::now(), client.callTimeout)),
          request{client.uri, client.secure, &client.targetId, asynchronous, &deadline} {}
};

// A request ID is the daemon's signed 32-bit code widened with its sign.
RequestId RequestIdOf(int code) { return RequestId(static_cast<std::uint64_t>(static_cast<std::int64_t>(code))); }

// A pid's text as a number: decimal digits with white space around; anything
// else is no pid.
std::optional<int> ParsePid(std::string_view units) {
    std::size_t i = 0;
    const std::size_t n = units.size();
    auto blank = [](char u) { return u == ' ' || u == '\t' || u == '\n' || u == '\r'; };
    while (i < n && blank(units[i])) ++i;
    if (i == n) return std::nullopt;
    long long value = 0;
    const std::size_t first = i;
    while (i < n && units[i] >= '0' && units[i] <= '9') {
        value = value * 10 + (units[i] - '0');
        if (value > INT_MAX) return std::nullopt;
        ++i;
    }
    if (i == first) return std::nullopt;
    while (i < n && blank(units[i])) ++i;
    if (i != n) return std::nullopt;
    return static_cast<int>(value);
}

// Builds the records of a component list as the answer is parsed: each text
// is copied once, as the answer carries it, into the record that then moves
// into the vector.
class ComponentVector final : public Engine::ComponentRecordSink {
public:
    explicit ComponentVector(std::vector<Component>& out) : out_(out) {}

    void BeginRecord() override { record_ = Component::Impl(); }

    void TakeText(Field field, std::string& text) override {
        std::string* target = nullptr;
        switch (field) {
        case Field::Name: target = &record_.name; break;
        case Field::Description: target = &record_.description; break;
        case Field::Category: target = &record_.category; break;
        case Field::Xml: target = &record_.xml; break;
        case Field::Pid: record_.pid = ParsePid(text); return;
        }
        target->assign(text);
    }

    void TakeState(int state) override { record_.state = state; }

    void EndRecord() override {
        QxLnkSoap::ChargeResponseMemory(kRecordCost + TextCost(record_.name) + TextCost(record_.description) +
                                        TextCost(record_.category) + TextCost(record_.xml));
        out_.push_back(Component::Impl::Make(std::move(record_)));
    }

private:
    // A record besides its texts: its slot in the vector, its data and the
    // heap's bookkeeping of that.
    static constexpr std::size_t kRecordCost = sizeof(Component) + sizeof(Component::Impl) + 2 * sizeof(void*);
    static std::size_t TextCost(const std::string& text) {
        return text.capacity() > sizeof(std::string) ? text.capacity() : 0;  // short texts live in the string
    }

    std::vector<Component>& out_;
    Component::Impl record_;
};

std::vector<Message> Messages(const QxPalMsg::MessageList_t& list) {
    std::vector<Message> messages;
    messages.reserve(static_cast<std::size_t>(list.GetMessageCount()));
    for (int i = 0; i < list.GetMessageCount(); ++i) {
        const QxPalMsg::Message_t& message = list.GetMessageObject(i);
        const QxPalMsg::ParmList_t& parms = message.GetParameterList();
        std::vector<std::string> parameters;
        parameters.reserve(static_cast<std::size_t>(parms.GetCount()));
        for (int p = 0; p < parms.GetCount(); ++p) parameters.push_back(parms.GetParm(p).GetText().ToUtf8());
        messages.emplace_back(static_cast<Severity>(message.GetSeverity()), message.GetMessageCatalog(),
                              message.GetMessageNo(), message.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(),
                              std::move(parameters));
    }
    return messages;
}

// A millisecond setting as the messenger reads it: 1 to INT_MAX.
std::string Milliseconds(std::chrono::milliseconds value, const char* name) {
    if (value.count() <= 0 || value.count() > INT_MAX)
        Refuse(ErrorKind::InvalidArgument, std::string("The ") + name + " must be from 1 to " +
                                               std::to_string(INT_MAX) + " ms, not " +
                                               std::to_string(value.count()) + " ms");
    return std::to_string(value.count());
}

std::string Count(std::size_t value, std::size_t maximum, const char* name) {
    if (value == 0 || value > maximum)
        Refuse(ErrorKind::InvalidArgument, std::string("The ") + name + " must be from 1 to " +
                                               std::to_string(maximum) + ", not " + std::to_string(value));
    return std::to_string(value);
}

// The endpoint of `settings` as a checked URI text.
std::string EndpointOf(const ClientSettings::Impl& settings, bool secure) {
    std::string endpoint;
    if (!settings.endpoint.empty()) {
        endpoint = settings.endpoint;
        if (!IsUtf8(endpoint)) Refuse(ErrorKind::InvalidArgument, "The endpoint is not valid UTF-8");
    } else {
        if (!IsUtf8(settings.node)) Refuse(ErrorKind::InvalidArgument, "The node name is not valid UTF-8");
        if (settings.node.empty()) Refuse(ErrorKind::InvalidArgument, "The node name is empty");
        static const QxPalArray::CharArray_t server(SERVER_IDENTIFIER);
        endpoint = MakeNodeUri(String_t(settings.node), server, false, secure).ToUtf8();
    }
    const QxPalNet::URI_t uri{String_t(endpoint)};
    if (uri.FindIllegalCharacter() >= 0)
        Refuse(ErrorKind::InvalidArgument, "The endpoint '" + Quoted(endpoint) + "' holds white space or a control character");
    if (!uri.IsValid() || (uri.GetScheme() != "http" && uri.GetScheme() != "https") || uri.GetHost().empty())
        Refuse(ErrorKind::InvalidArgument, "The endpoint '" + endpoint + "' is not an http or https URI with a host");
    if (secure && uri.GetScheme() != "https")
        Refuse(ErrorKind::Tls, "Secure communication is required, but the endpoint '" + endpoint + "' is not https");
    return endpoint;
}

// The messenger's settings of `settings`, under the names the messenger reads.
QxPalConfig::Configuration_t MessengerConfiguration(const ClientSettings::Impl& settings) {
    QxPalConfig::Configuration_t configuration;
    configuration.SetAttrValue("CONNECT_TIMEOUT_MS", Milliseconds(settings.connectTimeout, "connect timeout").c_str());
    configuration.SetAttrValue("TIMEOUT_MS", Milliseconds(settings.callTimeout, "call timeout").c_str());
    configuration.SetAttrValue("CA_FILE", settings.caFile.c_str());
    configuration.SetAttrValue("CA_DIR", settings.caDirectory.c_str());
    configuration.SetAttrValue("CLIENT_CERT", settings.certificateFile.c_str());
    configuration.SetAttrValue("CLIENT_KEY", settings.keyFile.c_str());
    configuration.SetAttrValue("VERIFY_PEER", settings.verifyPeer ? "true" : "false");
    configuration.SetAttrValue("MAX_RESPONSE_BYTES",
                               Count(settings.maxResponseBytes, INT_MAX, "maximum response size").c_str());
    configuration.SetAttrValue("MAX_IDLE_CONNECTIONS",
                               Count(settings.maxIdleConnections, 65536, "idle-connection cap").c_str());
    return configuration;
}

QxLnkMsg::Messenger MakeMessenger(const QxPalConfig::Configuration_t& configuration) {
    QxLnkMsg::Messenger::Options options;
    options.SendOnly(true).RegisterWithCb(false);
    return QxLnkMsg::Messenger(configuration, options);
}

// A client of `endpoint` on a messenger made of `configuration`.
std::shared_ptr<const Client::Impl> MakeClient(std::string endpoint, bool secure, const std::string& targetId,
                                               const QxPalConfig::Configuration_t& configuration,
                                               Clock::duration callTimeout, bool closeAfterUse, LogHook logHook,
                                               TraceHook traceHook) {
    if (!IsUtf8(targetId)) Refuse(ErrorKind::InvalidArgument, "The target ID is not valid UTF-8");
    {
        const Engine::ClientPolicy setup(QxLnkMsg::Messenger(), {}, traceHook, false);
        if (setup.Tracing(Engine::kLevelMessenger))
            setup.Trace(Engine::kLevelMessenger, "Initializing messenger object.", __LINE__);
    }
    auto policy = std::make_shared<const Engine::ClientPolicy>(MakeMessenger(configuration), std::move(logHook),
                                                               std::move(traceHook), closeAfterUse);
    return std::make_shared<const Client::Impl>(std::move(endpoint), secure, String_t(targetId), callTimeout,
                                                std::move(policy));
}

}  // namespace

// ---------------------------------------------------------------------------
// Building.

Client::Client(const ClientSettings& settings) {
    const ClientSettings::Impl& values = settings.GetImpl();
    // Errors of building name the operation "connect" and what the endpoint was to be.
    impl_ = Guarded(values.endpoint.empty() ? values.node : values.endpoint, "connect", std::nullopt, [&] {
        const std::string endpoint = EndpointOf(values, values.secure);
        return MakeClient(endpoint, values.secure, values.targetId, MessengerConfiguration(values),
                          values.callTimeout, values.closeConnectionAfterUse, values.logHook, values.traceHook);
    });
}

Client Client::FromNodeSettings(std::string_view node, const ClientSettings& extra) {
    const ClientSettings::Impl& values = extra.GetImpl();
    return Client(Guarded(std::string(node), "connect", std::nullopt, [&] {
        const Engine::CertificateSetting certificate = Engine::ReadCertificateSetting();
        QxPalConfig::Configuration_t configuration = Engine::MessengerSettings().Open();
        // The TLS files set in `extra` take the place of the file's.
        const std::pair<const char*, const std::string*> files[] = {{"CA_FILE", &values.caFile},
                                                                    {"CA_DIR", &values.caDirectory},
                                                                    {"CLIENT_CERT", &values.certificateFile},
                                                                    {"CLIENT_KEY", &values.keyFile}};
        for (const auto& [key, path] : files)
            if (!path->empty()) configuration.SetAttrValue(key, path->c_str());
        const bool secure = certificate.installed || values.secure;
        const bool closeAfterUse = Engine::ReadCloseConnectionAfterUse();
        const long long timeoutMs = configuration.GetInt("TIMEOUT_MS", 60000);
        ClientSettings::Impl where;
        where.node = std::string(node);
        const std::string endpoint = EndpointOf(where, secure);
        auto client = MakeClient(endpoint, secure, values.targetId, configuration,
                                 std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 60000), closeAfterUse,
                                 values.logHook, values.traceHook);
        if (!certificate.problem.empty())
            client->policy.LogText(Severity::Warning, Engine::CertificateProblemText(certificate.problem).ToUtf8());
        return client;
    }));
}

Client Client::ForNode(std::string_view node) const {
    return Client(Guarded(std::string(node), "connect", std::nullopt, [&] {
        ClientSettings::Impl where;
        if (node.find("://") != std::string_view::npos) {
            where.endpoint = std::string(node);
        } else {
            where.node = std::string(node);
        }
        return std::make_shared<const Impl>(EndpointOf(where, impl_->secure), impl_->secure, impl_->targetId,
                                            impl_->callTimeout, impl_->sharedPolicy);
    }));
}

Client::Client(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
Client::Client(const Client& other) = default;
// A moved-from client stays a client of the same daemon: moving shares.
Client::Client(Client&& other) noexcept : impl_(other.impl_) {}
Client& Client::operator=(const Client& other) = default;
Client& Client::operator=(Client&& other) noexcept {
    impl_ = other.impl_;
    return *this;
}
Client::~Client() = default;

const std::string& Client::GetEndpoint() const { return impl_->endpoint; }

// ---------------------------------------------------------------------------
// The calls.

void Client::Start(std::string_view target, Deadline deadline, StartMode mode) {
    Guarded(impl_->endpoint, "start", target, [&] {
        const Call call(*impl_, deadline, false);
        Engine::RunTargetCommand(impl_->policy, call.request, Engine::kStart, Text(target, "target"),
                                 mode == StartMode::Boot);
    });
}

void Client::Stop(std::string_view target, Deadline deadline, StopMode mode) {
    Guarded(impl_->endpoint, "stop", target, [&] {
        const Call call(*impl_, deadline, false);
        Engine::RunTargetCommand(impl_->policy, call.request, Engine::kStop, Text(target, "target"),
                                 mode == StopMode::Kill);
    });
}

RequestId Client::StartAsync(std::string_view target, Deadline deadline, StartMode mode) {
    return Guarded(impl_->endpoint, "start", target, [&] {
        const Call call(*impl_, deadline, true);
        return RequestIdOf(Engine::RunTargetCommand(impl_->policy, call.request, Engine::kStart,
                                                    Text(target, "target"), mode == StartMode::Boot));
    });
}

RequestId Client::StopAsync(std::string_view target, Deadline deadline, StopMode mode) {
    return Guarded(impl_->endpoint, "stop", target, [&] {
        const Call call(*impl_, deadline, true);
        return RequestIdOf(Engine::RunTargetCommand(impl_->policy, call.request, Engine::kStop,
                                                    Text(target, "target"), mode == StopMode::Kill));
    });
}

void Client::Notify(std::string_view event, std::string_view value, std::string_view target, Deadline deadline) {
    Guarded(impl_->endpoint, "notify", target, [&] {
        const Call call(*impl_, deadline, false);
        Engine::RunNotify(impl_->policy, call.request, Text(event, "event"), Text(value, "value"),
                          Text(target, "target"));
    });
}

std::string Client::Status(std::string_view target, StatusLevel level, Deadline deadline) {
    return Guarded(impl_->endpoint, "status", target, [&] {
        const Call call(*impl_, deadline, false);
        String_t status;
        Engine::RunStatusText(impl_->policy, call.request, static_cast<int>(level), Text(target, "target"), status);
        return status.ToUtf8();
    });
}

std::vector<Component> Client::Components(std::string_view target, StatusLevel level, Deadline deadline) {
    return Guarded(impl_->endpoint, "statusaslist", target, [&] {
        const Call call(*impl_, deadline, false);
        std::vector<Component> components;
        ComponentVector sink(components);
        Engine::RunStatusList(impl_->policy, call.request, static_cast<int>(level), Text(target, "target"), sink);
        return components;
    });
}

User Client::GetUser(Deadline deadline) {
    return Guarded(impl_->endpoint, "getuser", std::nullopt, [&] {
        const Call call(*impl_, deadline, false);
        int uid = -1;
        String_t name;
        Engine::RunGetUser(impl_->policy, call.request, uid, name);
        return User(uid, name.ToUtf8());
    });
}

::DaDovu::Progress Client::Progress(RequestId id, Deadline deadline) {
    return Guarded(impl_->endpoint, "requestprogress", std::nullopt, [&] {
        const Call call(*impl_, deadline, false);
        QxPalMsg::MessageList_t messages;
        const int code = Engine::RunProgress(impl_->policy, call.request, id.GetValue(), messages);
        return ::DaDovu::Progress(::DaDovu::Progress::StateOfCode(code), code, Messages(messages));
    });
}

namespace {

// "addcomponent" and "deletecomponent": a failing code is an Error too.
void Register(const Client::Impl& client, const Engine::Registration& registration, std::string_view name,
              const char* what, const Deadline& deadline) {
    Guarded(client.endpoint, registration.remoteName, name, [&] {
        Call call(client, deadline, false);
        call.request.targetId = nullptr;  // these requests never carry a target ID
        const int code = Engine::RunRegistration(client.policy, call.request, registration, Text(name, what));
        if ((code & 64) != 0) throw ClientFailure{Engine::KindOfResultCode(code), code, {}};
    });
}

}  // namespace

void Client::AddComponent(std::string_view fileName, Deadline deadline) {
    Register(*impl_, Engine::kAddComponent, fileName, "file name", deadline);
}

void Client::DeleteComponent(std::string_view componentName, Deadline deadline) {
    Register(*impl_, Engine::kDeleteComponent, componentName, "component name", deadline);
}

// ---------------------------------------------------------------------------
// Waiting, for every implementation of the interface.

ClientInterface::~ClientInterface() = default;

namespace {

constexpr Clock::duration kDefaultWait = std::chrono::seconds(60);
constexpr Clock::duration kFirstPause = std::chrono::milliseconds(50);
constexpr Clock::duration kLongestPause = std::chrono::seconds(1);
// No request is started with less time left than this: it would most likely
// end in its own timeout rather than in an answer.
constexpr Clock::duration kLeastRequestTime = std::chrono::milliseconds(50);

// Hands `onMessage` the messages of `now` that `delivered` lacks, in order,
// and remembers them. A daemon's list normally grows at its end; a list that
// changed otherwise is compared message by message, so that a message is
// delivered as many times as it occurs beyond what was delivered already.
void DeliverNew(const std::vector<Message>& now, std::vector<Message>& delivered,
                const std::function<void(const Message&)>& onMessage) {
    std::size_t prefix = 0;
    while (prefix < now.size() && prefix < delivered.size() && now[prefix] == delivered[prefix]) ++prefix;
    const bool grew = prefix == delivered.size();
    for (std::size_t i = grew ? prefix : 0; i < now.size(); ++i) {
        if (!grew) {
            std::size_t seenBefore = 0;
            for (const Message& message : delivered) seenBefore += message == now[i] ? 1 : 0;
            std::size_t occurrences = 0;
            for (std::size_t j = 0; j <= i; ++j) occurrences += now[j] == now[i] ? 1 : 0;
            if (occurrences <= seenBefore) continue;
        }
        delivered.push_back(now[i]);
        if (onMessage) onMessage(now[i]);
    }
}

}  // namespace

::DaDovu::Progress ClientInterface::Wait(RequestId id, Deadline deadline,
                                         const std::function<void(const Message&)>& onMessage) {
    const Clock::time_point end = deadline.At(Clock::now(), kDefaultWait);
    std::vector<Message> delivered;
    Clock::duration pause = kFirstPause;
    std::optional<::DaDovu::Progress> last;
    for (;;) {
        std::optional<::DaDovu::Progress> answered;
        try {
            answered = Progress(id, Deadline(end));
        } catch (const Error& error) {
            // A poll cut short by the wait's own deadline ends the wait as
            // the deadline does: with the command still running as far as
            // is known. Any other failure, or one before any answer, is the
            // caller's.
            const bool cutByDeadline = error.GetKind() == ErrorKind::NoAnswer || error.GetKind() == ErrorKind::NotSent;
            if (last && cutByDeadline && Clock::now() >= end) return std::move(*last);
            throw;
        }
        ::DaDovu::Progress& progress = *answered;
        DeliverNew(progress.GetMessages(), delivered, onMessage);
        if (progress.GetState() != ProgressState::Running) return std::move(progress);
        const Clock::time_point now = Clock::now();
        if (end - now < pause + kLeastRequestTime) {
            // Too little time is left for another request after the pause:
            // spend what can be spent and report the command as running.
            if (end - now < kLeastRequestTime * 2) return std::move(progress);
            pause = end - now - kLeastRequestTime;
        }
        last = std::move(progress);
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestPause);
    }
}

}  // namespace DaDovu
