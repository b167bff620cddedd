// RPC clients and calls: one SOAP request over HTTP(S) per Invoke.

#include <qxlnk/rpc.h>

#include "RequestWriter.h"
#include "Errors.h"
#include "Http.h"
#include "MessengerImpl.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>

namespace QxLnkRpc {

namespace {

// What a call needs of its method and URI, made once and shared by the calls
// that recur: the checked endpoint and the request head. Immutable.
struct PreparedCall {
    std::string method;
    std::string userAgent;
    bool secure = false;
    std::string uri;   // as given, for messages
    QxLnkImpl::Endpoint endpoint;
    std::string head;  // the request head up to the value of Content-Length
};

}  // namespace

struct RpcCall::Impl {
    QxLnkMsg::Messenger messenger;
    std::shared_ptr<const PreparedCall> prepared;
    bool connectionClose = false;
    bool hasDeadline = false;
    std::chrono::steady_clock::time_point deadline;
    RpcCall::Options options;
};

namespace {

using QxLnkImpl::Clock;

// Room before the envelope for the head: Content-Length's digits and the end of the head.
constexpr char kCloseTail[] = "\r\nConnection: close\r\n\r\n";
constexpr std::size_t kTailRoom = 20 + sizeof(kCloseTail);

using Stage = QxLnkImpl::TransportError::Stage;

// The RpcException of the stage a call failed in.
[[noreturn]] void ThrowRpc(const std::string& reason, const std::string& uri, Stage stage = Stage::Exchange) {
    const QxPalMsg::Message_t message = QxLnkImpl::ErrorMessage(reason + " (" + uri + ")");
    switch (stage) {
    case Stage::Unsent: throw RpcUnsentException(message);
    case Stage::Tls: throw RpcTlsException(message);
    case Stage::Response: throw RpcResponseException(message);
    case Stage::Exchange: break;
    }
    throw RpcException(message);
}

bool HasControl(const std::string& text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return true;
    }
    return false;
}

void AppendPercentEncoded(std::string& out, std::string_view path) {
    static const char kHex[] = "0123456789ABCDEF";
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 15]);
        }
    }
}

// Writes the request into `out`: the envelope first (it may still refuse text
// that XML cannot carry), then the head into the room left before it, so that
// one write sends both. Returns where the request starts in `out`.
std::size_t BuildRequest(std::string& out, const RpcCall::Impl& call, const std::vector<const QxLnkSoap::SOAPArg*>& args) {
    const std::string& head = call.prepared->head;
    const std::size_t room = head.size() + kTailRoom;
    out.clear();
    out.resize(room);
    QxLnkImpl::AppendRequestEnvelope(out, call.prepared->method, static_cast<int>(args.size()), args.data(),
                                     call.options.HasTargetID() ? &call.options.GetTargetID() : nullptr);
    char tail[kTailRoom];
    char* end = std::to_chars(tail, tail + 20, out.size() - room).ptr;
    const std::size_t tailLength = call.connectionClose ? sizeof(kCloseTail) - 1 : 4;
    std::memcpy(end, kCloseTail + (call.connectionClose ? 0 : sizeof(kCloseTail) - 1 - 4), tailLength);
    end += tailLength;
    const std::size_t headLength = head.size() + static_cast<std::size_t>(end - tail);
    const std::size_t start = room - headLength;
    std::memcpy(&out[start], head.data(), head.size());
    std::memcpy(&out[start + head.size()], tail, static_cast<std::size_t>(end - tail));
    return start;
}

// An idle connection of `key` that the peer has not closed meanwhile, or null.
std::unique_ptr<QxLnkImpl::Connection> TakeIdle(QxLnkImpl::ConnectionPool& pool, const std::string& key) {
    for (;;) {
        std::unique_ptr<QxLnkImpl::Connection> connection = pool.Take(key);
        if (connection == nullptr || !connection->IsUnusable()) return connection;
        connection->SetIdle(false);  // the peer is gone: no goodbye
        connection->Close();
        pool.PutSpare(std::move(connection));
    }
}

// The last calls prepared on this thread. A program sends few methods to few
// URIs over and over; a hit skips checking the URI and building the head.
class PreparedCache {
public:
    std::shared_ptr<const PreparedCall> Find(std::string_view method, const std::string& uri,
                                             const std::string& userAgent, bool secure, bool verify) const {
        for (const auto& entry : entries_) {
            if (entry != nullptr && entry->uri == uri && entry->method == method && entry->userAgent == userAgent &&
                entry->secure == secure && entry->endpoint.verify == verify)
                return entry;
        }
        return nullptr;
    }
    void Add(std::shared_ptr<const PreparedCall> prepared) {
        entries_[next_] = std::move(prepared);
        next_ = (next_ + 1) % kEntries;
    }

private:
    static constexpr std::size_t kEntries = 8;
    std::shared_ptr<const PreparedCall> entries_[kEntries];
    std::size_t next_ = 0;
};

thread_local PreparedCache tPreparedCalls;

}  // namespace

// ---- RpcCall::Options ----

RpcCall::Options::Options() = default;
RpcCall::Options::Options(const Options&) = default;
RpcCall::Options& RpcCall::Options::operator=(const Options&) = default;
RpcCall::Options::~Options() = default;

void RpcCall::Options::SetTargetID(const QxPalStr::String_t& targetId) {
    targetId_ = targetId;
    hasTargetId_ = true;
}

// ---- RpcCall ----

RpcCall::RpcCall() = default;
RpcCall::RpcCall(const RpcCall&) = default;
RpcCall& RpcCall::operator=(const RpcCall&) = default;
RpcCall::~RpcCall() = default;
RpcCall::RpcCall(std::shared_ptr<Impl> impl) : Object(std::move(impl)) {}

RpcCall::Impl* RpcCall::GetImpl() const { return static_cast<Impl*>(impl_.get()); }

void RpcCall::SetDeadline(std::chrono::steady_clock::time_point deadline) {
    if (GetImpl() == nullptr) throw QxPalMsg::IllegalStateError_t(QxLnkImpl::ErrorMessage("The call is empty"));
    GetImpl()->hasDeadline = true;
    GetImpl()->deadline = deadline;
}

void RpcCall::SetConnectionClose() {
    if (GetImpl() == nullptr) throw QxPalMsg::IllegalStateError_t(QxLnkImpl::ErrorMessage("The call is empty"));
    GetImpl()->connectionClose = true;
}

RpcResponse RpcCall::Invoke(int count, QxLnkSoap::SOAPArg* const* outputs, const char* encoding) {
    Impl* call = GetImpl();
    if (call == nullptr) throw QxPalMsg::IllegalStateError_t(QxLnkImpl::ErrorMessage("The call is empty"));
    if (encoding != nullptr && strcasecmp(encoding, "UTF-8") != 0)
        QxLnkImpl::ThrowIllegalArgument("Unsupported encoding '" + QxLnkImpl::Printable(encoding) +
                                        "': requests are sent in UTF-8");
    if (count < 0 || (count > 0 && outputs == nullptr))
        QxLnkImpl::ThrowIllegalArgument("Invoke needs a count of zero or more and that many outputs");
    for (int i = 0; i < count; ++i) {
        if (outputs[i] == nullptr) QxLnkImpl::ThrowIllegalArgument("Invoke was given a null output");
    }
    const PreparedCall& prepared = *call->prepared;
    QxLnkMsg::Messenger::Impl* messenger = call->messenger.GetImpl();
    if (messenger == nullptr) ThrowRpc("The messenger is not configured", prepared.uri, Stage::Unsent);
    if (prepared.secure && !prepared.endpoint.tls)
        ThrowRpc("Secure communication is required, but the URI is not https", prepared.uri, Stage::Tls);

    const auto now = Clock::now();
    QxLnkImpl::Deadlines deadlines;
    deadlines.connectMs = messenger->connectTimeoutMs;
    deadlines.callMs = messenger->timeoutMs;
    deadlines.connect = now + std::chrono::milliseconds(deadlines.connectMs);
    deadlines.call = now + std::chrono::milliseconds(deadlines.callMs);
    if (call->hasDeadline) {
        // The call's own deadline replaces TIMEOUT_MS: it bounds everything,
        // connecting included, and messages give the time the call had.
        if (call->deadline <= now) ThrowRpc("The call's deadline passed before it was sent", prepared.uri, Stage::Unsent);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(call->deadline - now).count();
        deadlines.call = call->deadline;
        deadlines.callMs = static_cast<int>(std::min<long long>(left, INT_MAX));
        if (deadlines.call < deadlines.connect) {
            deadlines.connect = deadlines.call;
            deadlines.connectMs = deadlines.callMs;
        }
    }

    const std::string& key = prepared.endpoint.key;
    std::unique_ptr<QxLnkImpl::Connection> connection = TakeIdle(messenger->pool, key);
    bool reused = connection != nullptr;
    if (!reused) connection = messenger->pool.TakeSpare();

    std::size_t start = 0;
    try {
        start = BuildRequest(connection->RequestBuffer(), *call, args_);
    } catch (...) {
        // Nothing was sent: an idle connection stays as good as it was.
        if (reused) {
            std::unique_ptr<QxLnkImpl::Connection> surplus = messenger->pool.Put(key, std::move(connection));
        } else {
            messenger->pool.PutSpare(std::move(connection));
        }
        throw;
    }
    const std::string& request = connection->RequestBuffer();

    QxLnkImpl::HttpOutcome outcome;
    QxLnkImpl::EnvelopeParser* envelope = nullptr;
    try {
        for (;;) {
            if (!connection->IsConnected())
                connection->Connect(prepared.endpoint, prepared.endpoint.tls ? messenger->TlsContext() : nullptr,
                                    deadlines);
            try {
                connection->WriteAll(request.data() + start, request.size() - start, deadlines);
                break;
            } catch (const QxLnkImpl::TransportError& error) {
                // An idle connection that failed before taking one byte had been
                // closed by the peer: the request may go out on a new one.
                if (!reused || !error.IsRequestUnsent()) throw;
                connection->Close();
                reused = false;
            }
        }
        envelope = &connection->Parser();
        envelope->Begin(count, outputs, &prepared.uri, &deadlines,
                        QxLnkSoap::kResponseMemoryFactor * static_cast<std::size_t>(messenger->maxResponseBytes));
        outcome = QxLnkImpl::ReceiveResponse(*connection, *envelope, messenger->maxResponseBytes, deadlines, prepared.uri);
    } catch (const QxLnkImpl::TransportError& error) {
        ThrowRpc(error.what(), prepared.uri, error.GetStage());
    }

    // The envelope lives in the connection: learn its verdict before another
    // call can take the connection from the pool.
    std::exception_ptr verdict;
    try {
        envelope->CheckResult(outcome.status == 500);
    } catch (...) {
        verdict = std::current_exception();
    }
    connection->SetIdle(true);
    if (outcome.reusable && !call->connectionClose) {
        connection = messenger->pool.Put(key, std::move(connection));  // null unless surplus
    }
    if (connection != nullptr) {
        connection->Close();
        messenger->pool.PutSpare(std::move(connection));
    }
    if (verdict) std::rethrow_exception(verdict);
    return RpcResponse(outcome.status);
}

// ---- RpcClient ----

RpcClient::RpcClient(const QxPalConfig::Configuration_t& attributes, const QxLnkMsg::Messenger& messenger)
    : messenger_(messenger) {
    const std::string* name = attributes.Find("APP_NAME");
    const std::string* version = attributes.Find("APP_VERSION");
    const std::string_view product = name != nullptr && !name->empty() ? std::string_view(*name) : "QxLnk";
    const bool versioned = version != nullptr && !version->empty();
    userAgent_.reserve(product.size() + (versioned ? 1 + version->size() : 0));
    userAgent_ = product;
    if (versioned) {
        userAgent_ += '/';
        userAgent_ += *version;
    }
    if (HasControl(userAgent_))
        QxLnkImpl::ThrowIllegalArgument("APP_NAME and APP_VERSION must not contain control characters");
    const std::string* secure = attributes.Find("SECURE_COMM");
    secure_ = secure != nullptr && strcasecmp(secure->c_str(), "SSL") == 0;
}

RpcClient::~RpcClient() = default;

RpcCall RpcClient::CreateCall(const char* method, const QxPalNet::URI_t& uri, const RpcCall::Options& options) const {
    const std::string_view methodName = method != nullptr ? method : "";
    const std::string& printable = uri.GetUtf8();
    const QxLnkMsg::Messenger::Impl* settings = messenger_.GetImpl();
    const bool verify = secure_ || settings == nullptr || settings->verifyPeer;
    auto call = std::make_shared<RpcCall::Impl>();
    call->messenger = messenger_;
    call->options = options;
    call->prepared = tPreparedCalls.Find(methodName, printable, userAgent_, secure_, verify);
    if (call->prepared != nullptr) return RpcCall(std::move(call));

    QxLnkImpl::CheckMethodName(methodName);
    // Without white space or controls (checked first) the URI is printable as it is.
    const int illegal = uri.FindIllegalCharacter();
    if (illegal >= 0) {
        char code[16];
        std::snprintf(code, sizeof(code), "U+%04X", static_cast<unsigned>(illegal));
        QxLnkImpl::ThrowIllegalArgument("The URI '" + QxLnkImpl::Printable(printable) +
                                        "' contains white space or a control character (" + code + ")");
    }
    if (!uri.IsValid()) QxLnkImpl::ThrowIllegalArgument("'" + printable + "' is not a valid URI");
    const std::string& scheme = uri.GetScheme();
    const bool tls = scheme == "https";
    if (!tls && scheme != "http") QxLnkImpl::ThrowIllegalArgument("The URI '" + printable + "' is not http or https");
    if (uri.GetHost().empty()) QxLnkImpl::ThrowIllegalArgument("The URI '" + printable + "' names no host");
    const int defaultPort = tls ? 443 : 80;
    const int port = uri.GetPort() == 0 ? defaultPort : uri.GetPort();
    if (port < 1 || port > 65535) QxLnkImpl::ThrowIllegalArgument("The URI '" + printable + "' has an invalid port");

    auto prepared = std::make_shared<PreparedCall>();
    prepared->method.assign(methodName);
    prepared->userAgent = userAgent_;
    prepared->secure = secure_;
    prepared->uri = printable;

    QxLnkImpl::Endpoint& endpoint = prepared->endpoint;
    endpoint.host = uri.GetHost();
    endpoint.port = port;
    endpoint.tls = tls;
    endpoint.verify = verify;
    const std::string hostPort = QxLnkImpl::HostPort(endpoint.host, port);
    endpoint.key.reserve(20 + hostPort.size());
    endpoint.key = tls ? "https://" : "http://";
    endpoint.key += hostPort;
    if (tls && !endpoint.verify) endpoint.key += "#unverified";

    std::string& head = prepared->head;
    const std::string& path = uri.GetPathAndQuery();
    head.reserve(160 + path.size() + hostPort.size() + userAgent_.size() + methodName.size());
    head += "POST ";
    AppendPercentEncoded(head, std::string_view(path).substr(0, path.find('#')));
    if (path.empty() || path[0] == '#') head += '/';
    head += " HTTP/1.1\r\nHost: ";
    // The port is named unless it is the scheme's default.
    head.append(hostPort, 0, port == defaultPort ? hostPort.rfind(':') : std::string::npos);
    head += "\r\nUser-Agent: ";
    head += userAgent_;
    head += "\r\nContent-Type: text/xml; charset=utf-8\r\nSOAPAction: \"";
    head += QxLnkSoap::SERVICE_NAMESPACE;
    head += '#';
    head += methodName;
    head += "\"\r\nContent-Length: ";
    call->prepared = prepared;
    tPreparedCalls.Add(std::move(prepared));
    return RpcCall(std::move(call));
}

}  // namespace QxLnkRpc
