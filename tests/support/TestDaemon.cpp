#include "TestDaemon.h"

#include "ServerSockets.h"
#include "SoapRequestParser.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace SoapTest {

namespace {

constexpr const char* kEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* kEncodingNs = "http://schemas.xmlsoap.org/soap/encoding/";
constexpr const char* kXsiNs = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char* kXsdNs = "http://www.w3.org/2001/XMLSchema";
// Used for the response element when the request named no namespace.
constexpr const char* kDefaultMethodNs = "urn:dadovu-test-daemon";

// cpp-httplib's defaults would close a kept-alive connection after 5 requests
// or 5 s idle, which would make connection reuse depend on test timing; these
// keep a connection open as long as any test needs it. Stop() ends idle
// connections itself, so the long timeout never delays a shutdown.
constexpr std::size_t kKeepAliveMaxCount = 100000;
constexpr time_t kKeepAliveTimeoutSeconds = 30;
// cpp-httplib serves each connection on one pool thread for the connection's
// whole life: the pool must exceed the most connections any test holds at
// once (load tests use 16 client threads), or later connections wait unserved.
constexpr std::size_t kServerThreads = 32;
// cpp-httplib listens with a backlog of 5; 16 clients connecting at once would
// overflow it and wait for SYN retransmissions.
constexpr int kListenBacklog = 128;

std::string EscapeXml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '\r': out += "&#13;"; break;  // a literal CR would be normalised away by the reader
            default: out += c; break;
        }
    }
    return out;
}

std::string OutputElement(const std::string& name, const std::string& content, const std::string& xsiType) {
    std::string out = "<" + name;
    if (!xsiType.empty()) out += " xsi:type=\"" + EscapeXml(xsiType) + "\"";
    return out + ">" + content + "</" + name + ">";
}

std::string EnvelopeOpen() {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<soap:Envelope xmlns:soap=\"") + kEnvelopeNs +
           "\" xmlns:xsi=\"" + kXsiNs + "\" xmlns:xsd=\"" + kXsdNs + "\" soap:encodingStyle=\"" + kEncodingNs +
           "\"><soap:Body>";
}

constexpr const char* kEnvelopeClose = "</soap:Body></soap:Envelope>";

std::string ToLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The one-line subject of the peer certificate of `ssl`, "" when none.
std::string PeerSubject(const SSL* ssl) {
    if (ssl == nullptr) return std::string();
    std::unique_ptr<X509, decltype(&X509_free)> cert(SSL_get1_peer_certificate(ssl), &X509_free);
    if (!cert) return std::string();
    std::unique_ptr<char, void (*)(char*)> line(X509_NAME_oneline(X509_get_subject_name(cert.get()), nullptr, 0),
                                                [](char* p) { OPENSSL_free(p); });
    return line ? std::string(line.get()) : std::string();
}

// Exposes the listening socket, which cpp-httplib keeps protected.
template <class Base>
class Listener : public Base {
public:
    using Base::Base;
    int ListenSocket() const { return this->svr_sock_; }
};

}  // namespace

// ---------------------------------------------------------------- RecordedRequest

std::optional<std::string> RecordedRequest::Arg(const std::string& name) const {
    for (const auto& arg : args) {
        if (arg.first == name) return arg.second;
    }
    return std::nullopt;
}

std::vector<std::string> RecordedRequest::ArgNames() const {
    std::vector<std::string> names;
    names.reserve(args.size());
    for (const auto& arg : args) names.push_back(arg.first);
    return names;
}

std::string RecordedRequest::Header(const std::string& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

// ---------------------------------------------------------------- Reply

Reply Reply::Result(int code) {
    Reply reply;
    reply.Output("result", std::to_string(code), "xsd:int");
    return reply;
}

Reply Reply::Empty() { return Reply(); }

Reply Reply::Fault(const std::string& faultString, const std::string& faultCode, int httpStatus) {
    Reply reply;
    reply.kind_ = Kind::Fault;
    reply.faultString_ = faultString;
    reply.faultCode_ = faultCode;
    reply.status_ = httpStatus;
    return reply;
}

Reply Reply::Raw(std::string body, int httpStatus, std::string contentType) {
    Reply reply;
    reply.kind_ = Kind::Raw;
    reply.raw_ = std::move(body);
    reply.status_ = httpStatus;
    reply.contentType_ = std::move(contentType);
    return reply;
}

Reply& Reply::Output(const std::string& name, const std::string& text, const std::string& xsiType) {
    outputs_.push_back(OutputElement(name, EscapeXml(text), xsiType));
    return *this;
}

Reply& Reply::RawOutput(const std::string& name, const std::string& innerXml, const std::string& xsiType) {
    outputs_.push_back(OutputElement(name, innerXml, xsiType));
    return *this;
}

Reply& Reply::ResponsePrefix(const std::string& prefix) {
    if (!prefix.empty()) prefix_ = prefix;
    return *this;
}

Reply& Reply::Header(const std::string& name, const std::string& value) {
    headers_.emplace_back(name, value);
    return *this;
}

Reply& Reply::Delay(std::chrono::milliseconds delay) {
    delay_ = delay;
    return *this;
}

Reply& Reply::CloseConnection() {
    close_ = true;
    return *this;
}

std::string Reply::Body() const { return Body("method", kDefaultMethodNs); }

std::string Reply::Body(const std::string& method, const std::string& methodNamespace) const {
    switch (kind_) {
        case Kind::Raw:
            return raw_;
        case Kind::Fault:
            return EnvelopeOpen() + "<soap:Fault><faultcode>" + EscapeXml(faultCode_) + "</faultcode><faultstring>" +
                   EscapeXml(faultString_) + "</faultstring></soap:Fault>" + kEnvelopeClose;
        case Kind::Response:
            break;
    }
    const std::string element = prefix_ + ":" + (method.empty() ? std::string("method") : method) + "Response";
    const std::string ns = methodNamespace.empty() ? std::string(kDefaultMethodNs) : methodNamespace;
    std::string body = EnvelopeOpen() + "<" + element + " xmlns:" + prefix_ + "=\"" + EscapeXml(ns) + "\">";
    for (const auto& output : outputs_) body += output;
    return body + "</" + element + ">" + kEnvelopeClose;
}

// ---------------------------------------------------------------- TestDaemon

struct TestDaemon::Impl {
    std::unique_ptr<httplib::Server> server;
    std::thread listenThread;
    std::future<void> listenDone;
    int port = 0;
    bool tls = false;
    std::atomic<bool> stopped{false};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;  // a request arrived, or stopping
    bool stopping = false;
    std::deque<Reply> queue;
    std::function<Reply(const RecordedRequest&)> handler = [](const RecordedRequest&) { return Reply::Result(0); };
    std::vector<RecordedRequest> requests;
    std::set<std::string> connections;
    std::string lastClientSubject;

    template <class Base>
    void Start(std::unique_ptr<Listener<Base>> listener) {
        IgnoreSigpipe();
        listener->set_keep_alive_max_count(kKeepAliveMaxCount);
        listener->set_keep_alive_timeout(kKeepAliveTimeoutSeconds);
        listener->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
        const auto serve = [this](const httplib::Request& req, httplib::Response& res) { Serve(req, res); };
        listener->Get(".*", serve);
        listener->Post(".*", serve);
        listener->Put(".*", serve);
        listener->Delete(".*", serve);
        listener->set_logger([this](const httplib::Request& req, const httplib::Response& res) { Written(req, res); });
        // Answers go out in a few writes (head, body); without this, Nagle's
        // algorithm and delayed ACKs hold each answer back for tens of ms.
        listener->set_tcp_nodelay(true);

        port = listener->bind_to_any_port("127.0.0.1");
        if (port <= 0) throw std::runtime_error("TestDaemon: cannot bind 127.0.0.1");
        ::listen(listener->ListenSocket(), kListenBacklog);
        server = std::move(listener);

        std::promise<void> done;
        listenDone = done.get_future();
        listenThread = std::thread([this, done = std::move(done)]() mutable {
            server->listen_after_bind();
            done.set_value();
        });
        // listen_after_bind marks the server running before it accepts, and
        // returns only on failure or stop(): one of the two comes at once.
        while (!server->is_running()) {
            if (listenDone.wait_for(std::chrono::milliseconds(1)) == std::future_status::ready) {
                listenThread.join();
                throw std::runtime_error("TestDaemon: cannot listen on 127.0.0.1");
            }
        }
    }

    void Stop() {
        if (stopped.exchange(true)) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        server->stop();
        // Workers keep idle kept-alive connections (and connections in a TLS
        // handshake) until their client speaks or the keep-alive timeout
        // passes; ending the connections' input makes them return now (an
        // answer not yet written is then dropped). Repeated because a
        // connection may be mid-request the first time.
        do {
            ShutdownServerSockets(port, -1, SHUT_RD);
        } while (listenDone.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready);
        listenThread.join();
    }

    void Serve(const httplib::Request& req, httplib::Response& res) {
        RecordedRequest record;
        record.path = req.target.empty() ? req.path : req.target;
        for (const auto& header : req.headers) {
            std::string name = ToLower(header.first);
            // cpp-httplib adds the connection's addresses as pseudo-headers.
            if (name == "remote_addr" || name == "remote_port" || name == "local_addr" || name == "local_port") {
                continue;
            }
            auto it = record.headers.find(name);
            if (it == record.headers.end()) {
                record.headers.emplace(std::move(name), header.second);
            } else {
                it->second += ", " + header.second;
            }
        }
        record.body = req.body;
        record.remote = req.remote_addr + ":" + std::to_string(req.remote_port);
        record.clientSubject = PeerSubject(req.ssl);
        ParseSoapRequest(record);

        std::optional<Reply> reply;
        std::function<Reply(const RecordedRequest&)> currentHandler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(record);
            connections.insert(record.remote);
            lastClientSubject = record.clientSubject;
            if (!queue.empty()) {
                reply = std::move(queue.front());
                queue.pop_front();
            } else {
                currentHandler = handler;
            }
        }
        changed.notify_all();

        if (!reply) {
            try {
                reply = currentHandler(record);
            } catch (const std::exception& e) {
                reply = Reply::Raw(std::string("TestDaemon handler threw: ") + e.what(), 500, "text/plain");
            } catch (...) {
                reply = Reply::Raw("TestDaemon handler threw", 500, "text/plain");
            }
        }

        if (reply->GetDelay().count() > 0) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, reply->GetDelay(), [this] { return stopping; });
        }

        res.status = reply->HttpStatus();
        res.body = reply->Body(record.method, record.methodNamespace);
        if (!reply->ContentType().empty()) res.set_header("Content-Type", reply->ContentType());
        for (const auto& header : reply->Headers()) res.set_header(header.first, header.second);
        if (reply->ClosesConnection() && ToLower(req.get_header_value("Connection")) != "close") {
            res.set_header("Connection", "close");
        }
    }

    // Called by cpp-httplib once a response has been written.
    void Written(const httplib::Request& req, const httplib::Response& res) const {
        // cpp-httplib keeps the connection open despite a "Connection: close"
        // set on the response: ending its input makes the worker see end of
        // file on its next read and close the connection. (Before the answer is
        // written this would stop it from being written at all.)
        if (ToLower(res.get_header_value("Connection")) == "close") {
            ShutdownServerSockets(port, req.remote_port, SHUT_RD);
        }
    }
};

TestDaemon::TestDaemon() : impl_(std::make_unique<Impl>()) {
    impl_->Start(std::make_unique<Listener<httplib::Server>>());
}

TestDaemon::TestDaemon(const TlsFiles& tls) : impl_(std::make_unique<Impl>()) {
    if (tls.requireClientCert && tls.clientCaFile.empty()) {
        throw std::invalid_argument("TestDaemon: requireClientCert needs clientCaFile");
    }
    std::string failure;
    const auto setup = [&tls, &failure](SSL_CTX& ctx) {
        const auto fail = [&failure](const std::string& what) {
            char text[256] = {};
            ERR_error_string_n(ERR_get_error(), text, sizeof text);
            ERR_clear_error();
            failure = what + ": " + text;
            return false;
        };
        if (SSL_CTX_use_certificate_chain_file(&ctx, tls.certFile.c_str()) != 1) {
            return fail("cannot load " + tls.certFile);
        }
        if (SSL_CTX_use_PrivateKey_file(&ctx, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(&ctx) != 1) {
            return fail("cannot load " + tls.keyFile);
        }
        if (!tls.clientCaFile.empty()) {
            if (SSL_CTX_load_verify_locations(&ctx, tls.clientCaFile.c_str(), nullptr) != 1) {
                return fail("cannot load " + tls.clientCaFile);
            }
            // Names the acceptable authorities in the certificate request.
            if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(tls.clientCaFile.c_str())) {
                SSL_CTX_set_client_CA_list(&ctx, names);
            }
            // Without FAIL_IF_NO_PEER_CERT a client certificate is asked for and
            // verified when sent, but a client without one is still served.
            SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | (tls.requireClientCert ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                               nullptr);
        }
        return true;
    };
    auto listener = std::make_unique<Listener<httplib::SSLServer>>(setup);
    if (!listener->is_valid()) throw std::runtime_error("TestDaemon: TLS setup failed: " + failure);
    impl_->tls = true;
    impl_->Start(std::move(listener));
}

TestDaemon::~TestDaemon() { impl_->Stop(); }

int TestDaemon::Port() const { return impl_->port; }

std::string TestDaemon::Uri(const std::string& path) const { return Uri("127.0.0.1", path); }

std::string TestDaemon::Uri(const std::string& host, const std::string& path) const {
    std::string uri = (impl_->tls ? "https://" : "http://") + host + ":" + std::to_string(impl_->port);
    if (!path.empty() && path.front() != '/') uri += '/';
    return uri + path;
}

void TestDaemon::Enqueue(Reply reply) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->queue.push_back(std::move(reply));
}

void TestDaemon::SetHandler(std::function<Reply(const RecordedRequest&)> handler) {
    if (!handler) handler = [](const RecordedRequest&) { return Reply::Result(0); };
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

std::vector<RecordedRequest> TestDaemon::Requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

std::size_t TestDaemon::RequestCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests.size();
}

bool TestDaemon::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [this, count] { return impl_->requests.size() >= count; });
}

std::size_t TestDaemon::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->connections.size();
}

std::string TestDaemon::LastClientSubject() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->lastClientSubject;
}

void TestDaemon::ClearRecords() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->requests.clear();
    impl_->connections.clear();
    impl_->lastClientSubject.clear();
}

void TestDaemon::Stop() { impl_->Stop(); }

}  // namespace SoapTest
