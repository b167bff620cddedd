#include "TestDaemon.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <expat.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <future>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>
#include <type_traits>

namespace SoapTest {

namespace {

const std::string kEnvelopeOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
    " soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>";
constexpr const char* kEnvelopeClose = "</soap:Body></soap:Envelope>";
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
    for (const char c : text) {
        // A literal CR would be normalised away by the reader.
        const char* entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;"
                             : c == '\'' ? "&apos;" : c == '\r' ? "&#13;" : nullptr;
        entity != nullptr ? out.append(entity) : out.append(1, c);
    }
    return out;
}

std::string ToLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Fills method, methodNamespace, args, argTypes, targetId and xmlWellFormed of
// a request from its body. The method is the first child of the root's "Body"
// child (in any namespace); its children are the arguments: one with only text
// is recorded as that text, decoded; one with child elements as the exact bytes
// between its tags (taken by byte offsets, so prefixes, entities and whitespace
// stay as sent). targetId is the text of the first "TargetID" inside the
// root's "Header" child. A body that is not well-formed keeps what was read
// before the error.
// Where the current event lies. Expat 2.9 deprecates the functions without 64
// (cmake/ExpatFeatures.cmake).
long long ByteIndex(XML_Parser parser) {
#if HAVE_XML_GETCURRENTBYTEINDEX64
    return XML_GetCurrentByteIndex64(parser);
#else
    return XML_GetCurrentByteIndex(parser);
#endif
}

long long ByteCount(XML_Parser parser) {
#if HAVE_XML_GETCURRENTBYTECOUNT64
    return static_cast<long long>(XML_GetCurrentByteCount64(parser));
#else
    return XML_GetCurrentByteCount(parser);
#endif
}

class EnvelopeReader {
public:
    static void Read(RecordedRequest& request) {
        if (request.body.size() > static_cast<std::size_t>(INT_MAX)) return;
        std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)> parser(
            XML_ParserCreateNS(nullptr, ' '), &XML_ParserFree);
        if (!parser) throw std::bad_alloc();
        EnvelopeReader reader{parser.get(), request};
        XML_SetUserData(parser.get(), &reader);
        XML_SetElementHandler(
            parser.get(),
            [](void* self, const XML_Char* name, const XML_Char** attributes) {
                static_cast<EnvelopeReader*>(self)->Start(name, attributes);
            },
            [](void* self, const XML_Char*) { static_cast<EnvelopeReader*>(self)->End(); });
        XML_SetCharacterDataHandler(parser.get(), [](void* self, const XML_Char* text, int length) {
            static_cast<EnvelopeReader*>(self)->Text(text, length);
        });
        request.xmlWellFormed = XML_Parse(parser.get(), request.body.data(), static_cast<int>(request.body.size()),
                                          XML_TRUE) == XML_STATUS_OK;
    }

private:
    EnvelopeReader(XML_Parser parser, RecordedRequest& request) : parser_(parser), request_(request) {}

    // Expat joins a namespace URI and a local name with a space: {ns, local}.
    static std::pair<std::string, std::string> Split(const std::string& name) {
        const auto space = name.rfind(' ');
        if (space == std::string::npos) return {std::string(), name};
        return {name.substr(0, space), name.substr(space + 1)};
    }

    // Inside an argument of the first method, at `depth` below the argument.
    bool InArgument(int depth) const { return zone_ == "Body" && methods_ == 1 && depth_ == 4 + depth; }

    void Start(const XML_Char* qualified, const XML_Char** attributes) {
        const auto [ns, local] = Split(qualified);
        if (++depth_ == 2) zone_ = local;
        if (zone_ == "Header" && local == "TargetID" && !request_.targetId && targetDepth_ == 0) {
            targetDepth_ = depth_;
            text_.clear();
        }
        if (zone_ == "Body" && depth_ == 3 && ++methods_ == 1) {
            request_.method = local;
            request_.methodNamespace = ns;
        } else if (InArgument(0)) {
            argName_ = local;
            argType_.clear();
            for (const XML_Char** a = attributes; *a != nullptr; a += 2) {
                const auto attribute = Split(a[0]);
                if (attribute.second == "type" && attribute.first.find("XMLSchema-instance") != std::string::npos) {
                    argType_ = a[1];
                }
            }
            text_.clear();
            argHasChildren_ = false;
            contentStart_ = ByteIndex(parser_) + ByteCount(parser_);
        } else if (InArgument(1)) {
            argHasChildren_ = true;
        }
    }

    void Text(const XML_Char* text, int length) {
        if (InArgument(0) || targetDepth_ != 0) text_.append(text, static_cast<std::size_t>(length));
    }

    void End() {
        if (InArgument(0)) {
            std::string value = text_;
            const long long end = ByteIndex(parser_);
            if (argHasChildren_ && contentStart_ <= end && end <= static_cast<long long>(request_.body.size())) {
                value = request_.body.substr(static_cast<std::size_t>(contentStart_),
                                             static_cast<std::size_t>(end - contentStart_));
            }
            request_.args.emplace_back(argName_, std::move(value));
            request_.argTypes.emplace_back(argName_, argType_);
        }
        if (targetDepth_ == depth_) {
            request_.targetId = text_;
            targetDepth_ = 0;
        }
        if (--depth_ == 1) zone_.clear();
    }

    XML_Parser parser_;
    RecordedRequest& request_;
    int depth_ = 0;        // of the element being read; the root is 1
    std::string zone_;     // local name of the root's child being read
    int methods_ = 0;      // children of the Body seen so far
    int targetDepth_ = 0;  // depth of the TargetID being read, 0 outside it
    std::string text_;     // of the argument or TargetID being read
    std::string argName_, argType_;
    bool argHasChildren_ = false;
    long long contentStart_ = 0;  // byte offset just past the argument's start tag
};

// Shuts down (with `how`) every connected TCP socket of this process whose
// local end is 127.0.0.1:`localPort` and, when `peerPort` is not negative,
// whose remote port is `peerPort`. The sockets stay open: their owners see end
// of file and close them themselves, so no descriptor is closed behind
// anybody's back.
//
// cpp-httplib 0.11.4 keeps no handle on its accepted connections, waits for
// the next request of an idle kept-alive connection without looking at
// Server::stop(), and ignores "Connection: close" set on a response; this is
// how the daemon ends such connections at once.
void ShutdownServerSockets(int localPort, int peerPort, int how) noexcept {
    const auto closeDir = [](DIR* d) { closedir(d); };
    std::unique_ptr<DIR, decltype(closeDir)> dir(opendir("/proc/self/fd"), closeDir);
    if (!dir) return;
    while (const dirent* entry = readdir(dir.get())) {
        // A descriptor may be closed and reused while we look at it: every
        // check is made on the descriptor as it is now, and a socket passing
        // them all belongs to this daemon's port whatever its history.
        const int fd = std::atoi(entry->d_name);
        sockaddr_in local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        int listening = 1;
        socklen_t optLen = sizeof listening;
        if (fd == dirfd(dir.get()) || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
            localLen != sizeof local || local.sin_family != AF_INET || ntohs(local.sin_port) != localPort ||
            ntohl(local.sin_addr.s_addr) != INADDR_LOOPBACK ||
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optLen) != 0 || listening != 0) {
            continue;
        }
        if (peerPort < 0 || (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0 &&
                             peer.sin_family == AF_INET && ntohs(peer.sin_port) == peerPort)) {
            shutdown(fd, how);
        }
    }
}

// The one-line subject of the peer certificate of `ssl`, "" when none.
std::string PeerSubject(const SSL* ssl) {
    if (ssl == nullptr) return std::string();
    std::unique_ptr<X509, decltype(&X509_free)> cert(SSL_get1_peer_certificate(ssl), &X509_free);
    if (!cert) return std::string();
    char line[512] = {};
    X509_NAME_oneline(X509_get_subject_name(cert.get()), line, sizeof line);
    return line;
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
    for (const auto& arg : args) names.push_back(arg.first);
    return names;
}

std::string RecordedRequest::Header(const std::string& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

// ---------------------------------------------------------------- Reply

Reply Reply::Result(int code) { return Reply().Output("result", std::to_string(code), "xsd:int"); }

Reply Reply::Empty() { return Reply(); }

Reply Reply::Fault(const std::string& faultString, const std::string& faultCode, int httpStatus) {
    return Raw(kEnvelopeOpen + "<soap:Fault><faultcode>" + EscapeXml(faultCode) + "</faultcode><faultstring>" +
                   EscapeXml(faultString) + "</faultstring></soap:Fault>" + kEnvelopeClose,
               httpStatus);
}

Reply Reply::Raw(std::string body, int httpStatus, std::string contentType) {
    Reply reply;
    reply.raw_ = std::move(body);
    reply.status_ = httpStatus;
    reply.contentType_ = std::move(contentType);
    return reply;
}

Reply& Reply::Output(const std::string& name, const std::string& text, const std::string& xsiType) {
    return RawOutput(name, EscapeXml(text), xsiType);
}

Reply& Reply::RawOutput(const std::string& name, const std::string& innerXml, const std::string& xsiType) {
    const std::string type = xsiType.empty() ? std::string() : " xsi:type=\"" + EscapeXml(xsiType) + "\"";
    outputs_.push_back("<" + name + type + ">" + innerXml + "</" + name + ">");
    return *this;
}

Reply& Reply::ResponsePrefix(const std::string& prefix) {
    if (!prefix.empty()) prefix_ = prefix;
    return *this;
}

Reply& Reply::CloseConnection() {
    close_ = true;
    return *this;
}

std::string Reply::Body() const { return Body("method", kDefaultMethodNs); }

std::string Reply::Body(const std::string& method, const std::string& methodNamespace) const {
    if (raw_) return *raw_;
    const std::string element = prefix_ + ":" + (method.empty() ? std::string("method") : method) + "Response";
    const std::string ns = methodNamespace.empty() ? std::string(kDefaultMethodNs) : methodNamespace;
    std::string body = kEnvelopeOpen + "<" + element + " xmlns:" + prefix_ + "=\"" + EscapeXml(ns) + "\">";
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
    mutable std::condition_variable arrived;  // a request was recorded
    std::deque<Reply> queue;
    std::function<Reply(const RecordedRequest&)> handler;
    std::vector<RecordedRequest> requests;
    std::set<std::string> connections;
    std::string lastClientSubject;

    // Runs `f` under the mutex and returns what it returns.
    template <class F>
    auto Locked(F f) const {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }

    template <class Base>
    void Start(std::unique_ptr<Listener<Base>> listener) {
        static const bool sigpipeIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
        static_cast<void>(sigpipeIgnored);
        listener->set_keep_alive_max_count(kKeepAliveMaxCount);
        listener->set_keep_alive_timeout(kKeepAliveTimeoutSeconds);
        listener->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
        const auto serve = [this](const httplib::Request& req, httplib::Response& res) { Serve(req, res); };
        listener->Get(".*", serve).Post(".*", serve).Put(".*", serve).Delete(".*", serve);
        // cpp-httplib keeps the connection open despite a "Connection: close"
        // set on the response: ending its input once the answer is written
        // makes the worker see end of file on its next read and close it.
        listener->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
            if (ToLower(res.get_header_value("Connection")) == "close") {
                ShutdownServerSockets(port, req.remote_port, SHUT_RD);
            }
        });
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
            // cpp-httplib adds the connection's addresses as pseudo-headers (REMOTE_ADDR and so on).
            if (name.rfind("remote_", 0) == 0 || name.rfind("local_", 0) == 0) continue;
            const auto inserted = record.headers.emplace(std::move(name), header.second);
            if (!inserted.second) inserted.first->second += ", " + header.second;
        }
        record.body = req.body;
        record.remote = req.remote_addr + ":" + std::to_string(req.remote_port);
        record.clientSubject = PeerSubject(req.ssl);
        EnvelopeReader::Read(record);

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
        arrived.notify_all();
        try {
            if (!reply) reply = currentHandler ? currentHandler(record) : Reply::Result(0);
        } catch (const std::exception& e) {
            reply = Reply::Raw(std::string("TestDaemon handler threw: ") + e.what(), 500, "text/plain");
        }

        res.status = reply->HttpStatus();
        res.body = reply->Body(record.method, record.methodNamespace);
        if (!reply->ContentType().empty()) res.set_header("Content-Type", reply->ContentType());
        if (reply->ClosesConnection() && ToLower(req.get_header_value("Connection")) != "close") {
            res.set_header("Connection", "close");
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
        const auto fail = [&failure](const std::string& file) {
            char text[256] = {};
            ERR_error_string_n(ERR_get_error(), text, sizeof text);
            ERR_clear_error();
            failure = "cannot load " + file + ": " + text;
            return false;
        };
        if (SSL_CTX_use_certificate_chain_file(&ctx, tls.certFile.c_str()) != 1) return fail(tls.certFile);
        if (SSL_CTX_use_PrivateKey_file(&ctx, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(&ctx) != 1) {
            return fail(tls.keyFile);
        }
        if (tls.clientCaFile.empty()) return true;
        if (SSL_CTX_load_verify_locations(&ctx, tls.clientCaFile.c_str(), nullptr) != 1) {
            return fail(tls.clientCaFile);
        }
        // Names the acceptable authorities in the certificate request.
        if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(tls.clientCaFile.c_str())) {
            SSL_CTX_set_client_CA_list(&ctx, names);
        }
        // Without FAIL_IF_NO_PEER_CERT a client certificate is asked for and
        // verified when sent, but a client without one is still served.
        SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | (tls.requireClientCert ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                           nullptr);
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
    const std::string slash = !path.empty() && path.front() != '/' ? "/" : "";
    return (impl_->tls ? "https://" : "http://") + host + ":" + std::to_string(impl_->port) + slash + path;
}

void TestDaemon::Enqueue(Reply reply) { impl_->Locked([&] { impl_->queue.push_back(std::move(reply)); }); }

void TestDaemon::SetHandler(std::function<Reply(const RecordedRequest&)> handler) {
    impl_->Locked([&] { impl_->handler = std::move(handler); });
}

std::vector<RecordedRequest> TestDaemon::Requests() const { return impl_->Locked([this] { return impl_->requests; }); }

std::size_t TestDaemon::RequestCount() const { return impl_->Locked([this] { return impl_->requests.size(); }); }

bool TestDaemon::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->arrived.wait_for(lock, timeout, [this, count] { return impl_->requests.size() >= count; });
}

std::size_t TestDaemon::ConnectionCount() const { return impl_->Locked([this] { return impl_->connections.size(); }); }

std::string TestDaemon::LastClientSubject() const { return impl_->Locked([this] { return impl_->lastClientSubject; }); }

void TestDaemon::ClearRecords() {
    impl_->Locked([this] {
        impl_->requests.clear();
        impl_->connections.clear();
        impl_->lastClientSubject.clear();
    });
}

void TestDaemon::Stop() { impl_->Stop(); }

}  // namespace SoapTest
