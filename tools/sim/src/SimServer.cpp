#include "SimServer.h"

#include "Fleet.h"
#include "Wsdl.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace DaDovuSim {

namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

// How long Stop waits for the answers of requests in progress.
constexpr std::chrono::seconds kAnswerGrace{10};
// How long writing one answer may take before the connection is dropped.
constexpr std::chrono::seconds kWriteTimeout{60};
// How long a TLS connection waits for the client's close_notify at its end,
// and a plain one for the client to close after the last answer.
constexpr std::chrono::seconds kTlsCloseTime{2};
constexpr std::chrono::seconds kLingerTime{2};
// Largest request head (request line and header fields).
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
// A pause before accepting again when accepting fails (out of descriptors).
constexpr std::chrono::milliseconds kAcceptPause{100};

// Beast's string view is boost::string_view in Boost 1.74 and
// boost::core::string_view from 1.81 on; both have data() and size().
template <typename View>
std::string_view Std(const View& text) {
    return std::string_view(text.data(), text.size());
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

// Whether the query names the parameter "wsdl" or "WSDL" (with or without a value).
bool AsksForWsdl(std::string_view query) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        item = item.substr(0, item.find('='));
        if (item == "wsdl" || item == "WSDL") return true;
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return false;
}

std::string OpenSslErrors() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text.empty() ? std::string("unknown error") : text;
}

struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// The verified client certificate of a TLS connection, if it sent one.
CallerIdentity Identify(SSL* ssl) {
    CallerIdentity caller;
    if (ssl == nullptr) return caller;
    const std::unique_ptr<X509, X509Free> cert(SSL_get1_peer_certificate(ssl));
    // With SSL_VERIFY_PEER a presented certificate that fails verification
    // ends the handshake; the result is checked all the same.
    if (!cert || SSL_get_verify_result(ssl) != X509_V_OK) return caller;
    caller.hasCertificate = true;
    const X509_NAME* subject = X509_get_subject_name(cert.get());
    if (subject == nullptr) return caller;
    const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (bio && X509_NAME_print_ex(bio.get(), subject, 0, XN_FLAG_RFC2253) >= 0) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio.get(), &data);
        if (length > 0 && data != nullptr) caller.subject.assign(data, static_cast<std::size_t>(length));
    }
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index >= 0) {
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, value);
        if (length >= 0 && utf8 != nullptr)
            caller.commonName.assign(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
        OPENSSL_free(utf8);
    }
    return caller;
}

// A Host header that can go into a URI unchanged, or "".
std::string UsableHost(std::string_view host) {
    const bool plain = !host.empty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
               c == ':' || c == '[' || c == ']' || c == '_';
    });
    return plain ? std::string(host) : std::string();
}

std::string EndpointText(const tcp::endpoint& endpoint) {
    const net::ip::address address = endpoint.address();
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

// Ends a connection with a reset rather than an orderly close: what a client
// of a refusing node, or one that may not connect at all, gets.
void Reset(tcp::socket& socket) {
    error_code ignored;
    socket.set_option(net::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
}

class Connection;

// What the server's connections and the engine's completions share: the
// open connections (each owned here while open, so that one waiting for the
// engine stays alive), whether the server still runs its threads, and the log.
struct Hub {
    std::mutex mutex;
    std::condition_variable emptied;  // connections became empty
    bool stopping = false;            // Stop has begun: no new connections
    bool alive = true;                // false once Stop gives up on open connections
    std::unordered_map<const Connection*, std::shared_ptr<Connection>> connections;

    std::mutex logMutex;
    std::ostream* log = nullptr;

    void Log(const std::string& line) {
        if (log == nullptr) return;
        std::lock_guard<std::mutex> lock(logMutex);
        *log << line << std::endl;
    }

    // Keeps `connection` until Remove; false when the server stops.
    bool Add(const std::shared_ptr<Connection>& connection) {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) return false;
        connections.emplace(connection.get(), connection);
        return true;
    }

    void Remove(const Connection* connection) {
        std::shared_ptr<Connection> last;  // released after the lock
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto it = connections.find(connection);
            if (it == connections.end()) return;
            last = std::move(it->second);
            connections.erase(it);
            if (connections.empty()) emptied.notify_all();
        }
    }

    // Runs `step` on the connection's strand if the connection is still open
    // and the server still runs (from any thread: the engine's completions).
    void Deliver(const std::weak_ptr<Connection>& weak, std::function<void(Connection&)> step);
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    explicit Connection(net::any_io_executor executor) : executor_(std::move(executor)) {}
    virtual ~Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const net::any_io_executor& Executor() const { return executor_; }
    // Both on the connection's strand: serve; and end, since the server stops.
    virtual void Begin() = 0;
    virtual void BeginShutdown() = 0;

private:
    net::any_io_executor executor_;
};

void Hub::Deliver(const std::weak_ptr<Connection>& weak, std::function<void(Connection&)> step) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!alive) return;
    // The reference is dropped before the lock: once alive is false, no
    // thread but the server's own holds a connection.
    if (std::shared_ptr<Connection> connection = weak.lock()) {
        const net::any_io_executor executor = connection->Executor();
        net::post(executor, [connection = std::move(connection), step = std::move(step)] { step(*connection); });
    }
}

// Where a connection goes: the node it reached.
struct Route {
    const ControlService* service = nullptr;
    std::string endpoint;  // the node's URI, for the WSDL of a request without a usable Host
    std::string label;     // the node's address in a fleet's log lines, else ""
};

struct Settings {
    const ServerOptions& options;
    ssl::context* tls;  // null for plain HTTP
    std::shared_ptr<Hub> hub;
};

// One HTTP/1.1 connection, plain (Tls false) or over TLS. Every step runs on
// the connection's strand; one timer serves each phase that has a time limit
// (the handshake, waiting for a request, the answer delay, writing, the TLS
// close), and a generation count tells a stale expiry from the current one.
template <bool Tls>
class HttpConnection final : public Connection {
    using Stream = std::conditional_t<Tls, ssl::stream<tcp::socket>, tcp::socket>;

public:
    HttpConnection(const Settings& settings, tcp::socket socket, Route route, std::string peer)
        : Connection(socket.get_executor()),
          settings_(settings),
          stream_(MakeStream(std::move(socket), settings.tls)),
          timer_(Executor()),
          route_(std::move(route)),
          peer_(std::move(peer)) {}

    void Begin() override {
        if constexpr (Tls) {
            phase_ = Phase::Handshake;
            Arm(settings_.options.keepAliveTimeout);
            stream_.async_handshake(ssl::stream_base::server, [self = Self()](const error_code& ec) {
                self->Disarm();
                if (ec) return self->Close();
                self->caller_ = Identify(self->stream_.native_handle());
                self->ReadRequest();
            });
        } else {
            ReadRequest();
        }
    }

    void BeginShutdown() override {
        stopping_ = true;
        switch (phase_) {
        case Phase::Handshake:
        case Phase::Reading: Close(); break;  // idle, or a request not yet whole
        case Phase::Delaying:
            Disarm();
            Dispatch();
            break;
        case Phase::Handling:
        case Phase::Writing: keepAlive_ = false; break;  // closes once answered
        case Phase::Closing:
        case Phase::Closed: break;
        }
    }

private:
    enum class Phase { Handshake, Reading, Delaying, Handling, Writing, Closing, Closed };
    enum class Action { Soap, Wsdl, NotAllowed, NotFound };

    const Settings& settings_;
    Stream stream_;
    net::steady_timer timer_;
    unsigned generation_ = 0;  // of the timer's current wait
    Route route_;
    std::string peer_;  // "address:port" of the client
    CallerIdentity caller_;
    boost::beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    Phase phase_ = Phase::Reading;
    Action action_ = Action::NotFound;
    std::size_t served_ = 0;
    bool keepAlive_ = true;
    bool stopping_ = false;

    static Stream MakeStream(tcp::socket socket, ssl::context* tls) {
        if constexpr (Tls)
            return Stream(std::move(socket), *tls);
        else
            return Stream(std::move(socket));
    }

    std::shared_ptr<HttpConnection> Self() { return std::static_pointer_cast<HttpConnection>(shared_from_this()); }

    tcp::socket& Socket() {
        if constexpr (Tls)
            return stream_.next_layer();
        else
            return stream_;
    }

    void Arm(std::chrono::steady_clock::duration time) {
        const unsigned generation = ++generation_;
        timer_.expires_after(time);
        timer_.async_wait([self = Self(), generation](const error_code& ec) {
            if (!ec && generation == self->generation_) self->Expired();
        });
    }

    void Disarm() {
        ++generation_;
        timer_.cancel();
    }

    void Expired() {
        if (phase_ == Phase::Delaying) return Dispatch();
        Close();  // a handshake, request, answer or close that took too long
    }

    void ReadRequest() {
        if (stopping_) return Close();
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(static_cast<std::uint64_t>(settings_.options.maxRequestBytes));
        // A large request's buffer is not kept for the idle time that follows.
        if (buffer_.size() == 0 && buffer_.capacity() > 64 * 1024) buffer_.shrink_to_fit();
        phase_ = Phase::Reading;
        Arm(settings_.options.keepAliveTimeout);
        http::async_read_header(stream_, buffer_, *parser_, [self = Self()](const error_code& ec, std::size_t) {
            self->HeadRead(ec);
        });
    }

    void HeadRead(const error_code& ec) {
        if (phase_ == Phase::Closed) return;
        if (ec) return ReadFailed(ec);
        const bool expectsContinue = EqualsIgnoringCase(Std(parser_->get()[http::field::expect]), "100-continue");
        if (expectsContinue && !parser_->is_done()) {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                             [self = Self()](const error_code& e, std::size_t) {
                                 if (e) return self->Close();
                                 self->ReadBody();
                             });
            return;
        }
        ReadBody();
    }

    void ReadBody() {
        if (phase_ == Phase::Closed) return;
        http::async_read(stream_, buffer_, *parser_, [self = Self()](const error_code& ec, std::size_t) {
            self->RequestRead(ec);
        });
    }

    void ReadFailed(const error_code& ec) {
        if (phase_ == Phase::Closed) return;
        Disarm();
        keepAlive_ = false;
        if (ec == http::error::body_limit) return Reply(413, "text/plain", "The request is too large.\n");
        if (ec == http::error::header_limit) return Reply(431, "text/plain", "The request head is too large.\n");
        if (ec.category() == http::make_error_code(http::error::bad_method).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return Reply(400, "text/plain", "The request is not HTTP/1.1.\n");
        Close();  // the client left, or the time ran out
    }

    void RequestRead(const error_code& ec) {
        if (phase_ == Phase::Closed) return;
        if (ec) return ReadFailed(ec);
        Disarm();
        ++served_;
        const auto& request = parser_->get();
        keepAlive_ = request.keep_alive() && served_ < settings_.options.keepAliveMaxCount && !stopping_;
        const std::string_view target = Std(request.target());
        const std::size_t question = target.find('?');
        const std::string_view path = target.substr(0, question);
        const std::string_view query = question == std::string_view::npos ? "" : target.substr(question + 1);
        if (path != kEndpointPath)
            action_ = Action::NotFound;
        else if (request.method() == http::verb::post)
            action_ = Action::Soap;
        else if (request.method() == http::verb::get && AsksForWsdl(query))
            action_ = Action::Wsdl;
        else
            action_ = Action::NotAllowed;
        if (action_ == Action::NotFound) return Dispatch();
        // The delay runs before the request is handled, so that what the
        // answer says is what held when it is sent.
        if (settings_.options.latency.count() > 0 && !stopping_) {
            phase_ = Phase::Delaying;
            return Arm(settings_.options.latency);
        }
        Dispatch();
    }

    void Dispatch() {
        phase_ = Phase::Handling;
        switch (action_) {
        case Action::NotFound: return Reply(404, "text/plain", "No such endpoint.\n");
        case Action::NotAllowed:
            return Reply(405, "text/plain", "POST SOAP 1.1 requests here; GET ?wsdl for the service description.\n",
                         "POST");
        case Action::Wsdl: {
            const std::string host = UsableHost(Std(parser_->get()[http::field::host]));
            const std::string endpoint =
                host.empty() ? route_.endpoint : std::string(Tls ? "https://" : "http://") + host + kEndpointPath;
            Log("GET ?wsdl");
            return Reply(200, "text/xml; charset=utf-8", WsdlForEndpoint(endpoint));
        }
        case Action::Soap: break;
        }
        const std::string body = std::move(parser_->get().body());
        parser_.reset();
        std::weak_ptr<Connection> weak = weak_from_this();
        const std::shared_ptr<Hub> hub = settings_.hub;
        try {
            route_.service->HandleAsync(body, caller_, [hub, weak](ServiceAnswer answer) {
                auto shared = std::make_shared<ServiceAnswer>(std::move(answer));
                hub->Deliver(weak, [shared](Connection& c) { static_cast<HttpConnection&>(c).Answered(*shared); });
            });
        } catch (const std::exception& e) {
            // Only running out of memory gets here; the connection goes with it.
            settings_.hub->Log(peer_ + " request failed: " + e.what());
            keepAlive_ = false;
            Reply(500, "text/plain", "The request could not be handled.\n");
        }
    }

    void Answered(ServiceAnswer& answer) {
        if (phase_ != Phase::Handling) return;  // closed meanwhile
        Log(answer.summary);
        Reply(answer.httpStatus, "text/xml; charset=utf-8", std::move(answer.body));
    }

    void Log(const std::string& what) {
        if (settings_.hub->log == nullptr) return;
        settings_.hub->Log(route_.label.empty() ? peer_ + " " + what : peer_ + " to " + route_.label + " " + what);
    }

    void Reply(unsigned status, const char* contentType, std::string body, const char* allow = nullptr) {
        parser_.reset();
        response_ = {};
        response_.version(11);
        response_.result(status);
        response_.set(http::field::content_type, contentType);
        if (allow != nullptr) response_.set(http::field::allow, allow);
        response_.keep_alive(keepAlive_ && !stopping_);
        response_.body() = std::move(body);
        response_.prepare_payload();
        phase_ = Phase::Writing;
        Arm(kWriteTimeout);
        http::async_write(stream_, response_, [self = Self()](const error_code& ec, std::size_t) {
            self->Written(ec);
        });
    }

    void Written(const error_code& ec) {
        if (phase_ == Phase::Closed) return;
        Disarm();
        response_ = {};
        if (ec) return Close();
        if (keepAlive_ && !stopping_) return ReadRequest();
        EndGracefully();
    }

    void EndGracefully() {
        phase_ = Phase::Closing;
        if constexpr (Tls) {
            // close_notify, and a short wait for the client's.
            Arm(kTlsCloseTime);
            stream_.async_shutdown([self = Self()](const error_code&) { self->Close(); });
        } else {
            // The answer may be followed by request bytes not read (a body
            // past its limit, a pipelined request): closing with them unread
            // would reset the connection, and the client could lose the
            // answer. So the sending side ends first, and what still comes is
            // read and dropped until the client closes (or a short time).
            error_code ignored;
            Socket().shutdown(tcp::socket::shutdown_send, ignored);
            Arm(kLingerTime);
            Drain();
        }
    }

    void Drain() {
        buffer_.consume(buffer_.size());
        Socket().async_read_some(buffer_.prepare(4096), [self = Self()](const error_code& ec, std::size_t) {
            if (self->phase_ == Phase::Closed) return;
            if (ec) return self->Close();
            self->Drain();
        });
    }

    void Close() {
        if (phase_ == Phase::Closed) return;
        phase_ = Phase::Closed;
        Disarm();
        // The parser and buffers stay: a read still pending completes (with
        // an error) through them before its handler sees the phase.
        error_code ignored;
        Socket().close(ignored);
        settings_.hub->Remove(this);
    }
};

// A dead node's connection: accepted, read and never answered, until the
// client leaves or the server stops. It takes no part in TLS either.
class SilentConnection final : public Connection {
public:
    SilentConnection(const Settings& settings, tcp::socket socket)
        : Connection(socket.get_executor()), hub_(settings.hub), socket_(std::move(socket)) {}

    void Begin() override { Read(); }
    void BeginShutdown() override { Close(); }

private:
    std::shared_ptr<Hub> hub_;
    tcp::socket socket_;
    std::array<char, 512> sink_{};
    bool closed_ = false;

    void Read() {
        socket_.async_read_some(net::buffer(sink_), [self = shared_from_this(), this](const error_code& ec, std::size_t) {
            if (closed_) return;
            if (ec) return Close();
            Read();
        });
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        error_code ignored;
        socket_.close(ignored);
        hub_->Remove(this);
    }
};

bool IsLoopback(const net::ip::address& address) {
    return address.is_v4() && (address.to_v4().to_uint() >> 24) == 127;
}

}  // namespace

class SimServer::Impl {
public:
    Impl(const ControlService* service, const Fleet* fleet, ServerOptions options)
        : options_(std::move(options)),
          service_(service),
          fleet_(fleet),
          acceptor_(net::make_strand(io_)),
          acceptPause_(acceptor_.get_executor()),
          work_(net::make_work_guard(io_)) {
        hub_->log = options_.log;
        if (options_.tlsCertFile.empty() != options_.tlsKeyFile.empty())
            throw std::runtime_error("a TLS certificate needs its private key, and a key its certificate");
        if (!options_.clientCaFile.empty() && options_.tlsCertFile.empty())
            throw std::runtime_error("client certificates can only be asked for over TLS");
        if (!options_.tlsCertFile.empty()) SetUpTls();
    }

    ~Impl() { Stop(); }

    void Start() {
        {
            std::lock_guard<std::mutex> lock(hub_->mutex);
            if (started_ || hub_->stopping) throw std::runtime_error("the server was already started or stopped");
        }
        Bind();
        started_ = true;
        running_ = true;
        Accept();
        const std::size_t threads = std::max<std::size_t>(1, options_.threads);
        threads_.reserve(threads);
        for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
    }

    void Stop() {
        const std::lock_guard<std::mutex> serial(stopMutex_);
        std::vector<std::shared_ptr<Connection>> open;
        {
            std::lock_guard<std::mutex> lock(hub_->mutex);
            hub_->stopping = true;
            for (const auto& entry : hub_->connections) open.push_back(entry.second);
        }
        if (threads_.empty()) return;
        net::post(acceptor_.get_executor(), [this] {
            error_code ignored;
            acceptor_.close(ignored);
            acceptPause_.cancel();
        });
        // Idle connections close now; those with a request in progress close
        // once it is answered (the engine has released callers waiting for it).
        for (auto& connection : open) {
            const net::any_io_executor executor = connection->Executor();
            net::post(executor, [connection = std::move(connection)] { connection->BeginShutdown(); });
        }
        open.clear();
        std::unordered_map<const Connection*, std::shared_ptr<Connection>> left;
        {
            std::unique_lock<std::mutex> lock(hub_->mutex);
            hub_->emptied.wait_for(lock, kAnswerGrace, [this] { return hub_->connections.empty(); });
            hub_->alive = false;
            left.swap(hub_->connections);
        }
        work_.reset();
        io_.stop();
        for (auto& thread : threads_) thread.join();
        threads_.clear();
        left.clear();  // what the handlers still hold goes with the io_context
        error_code ignored;
        refusing_.close(ignored);
        running_ = false;
    }

    int Port() const { return port_; }
    int RefusingPort() const { return refusingPort_; }

    std::string Uri() const {
        if (fleet_ != nullptr) {
            for (std::size_t i = 0; i < fleet_->Size(); ++i)
                if (fleet_->Role(i) == NodeRole::Live) return NodeUri(i);
            return NodeUri(0, port_);
        }
        std::string host = options_.host;
        if (host.find(':') != std::string::npos) host = "[" + host + "]";
        return Scheme() + host + ":" + std::to_string(port_) + kEndpointPath;
    }

    std::string NodeUri(std::size_t index, int port = 0) const {
        if (fleet_ == nullptr) return Uri();
        if (port == 0) port = fleet_->Role(index) == NodeRole::Refusing ? refusingPort_ : port_;
        return Scheme() + Ipv4Text(FleetNodeAddress(index)) + ":" + std::to_string(port) + kEndpointPath;
    }

    bool IsRunning() const { return running_; }

    std::size_t OpenConnections() const {
        std::lock_guard<std::mutex> lock(hub_->mutex);
        return hub_->connections.size();
    }

private:
    ServerOptions options_;
    const ControlService* service_;
    const Fleet* fleet_;
    // The TLS context outlives the io_context, whose handlers may hold the
    // last TLS streams.
    std::optional<ssl::context> tls_;
    net::io_context io_;
    std::shared_ptr<Hub> hub_ = std::make_shared<Hub>();
    Settings settings_{options_, nullptr, hub_};
    tcp::acceptor acceptor_;  // on a strand: Stop closes it from another thread
    net::steady_timer acceptPause_;
    tcp::acceptor refusing_{io_};  // a fleet's port for refusing nodes: bound, never listening
    net::executor_work_guard<net::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
    std::mutex stopMutex_;  // serialises Stop
    int port_ = 0;
    int refusingPort_ = 0;
    bool started_ = false;
    std::atomic<bool> running_{false};
    bool acceptFailing_ = false;  // on the acceptor's strand

    std::string Scheme() const { return tls_ ? "https://" : "http://"; }

    void SetUpTls() {
        tls_.emplace(ssl::context::tls_server);
        SSL_CTX* ctx = tls_->native_handle();
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        // The caller's identity is read once per connection, after the
        // handshake; a renegotiation could change the certificate after it.
        // Idle connections give their buffers back, which counts when
        // thousands stay open.
        SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
        if (SSL_CTX_use_certificate_chain_file(ctx, options_.tlsCertFile.c_str()) != 1)
            throw std::runtime_error("TLS setup failed: " + options_.tlsCertFile + ": " + OpenSslErrors());
        if (SSL_CTX_use_PrivateKey_file(ctx, options_.tlsKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx) != 1)
            throw std::runtime_error("TLS setup failed: " + options_.tlsKeyFile + ": " + OpenSslErrors());
        if (!options_.clientCaFile.empty()) {
            STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options_.clientCaFile.c_str());
            if (names == nullptr || SSL_CTX_load_verify_locations(ctx, options_.clientCaFile.c_str(), nullptr) != 1) {
                if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
                throw std::runtime_error("TLS setup failed: " + options_.clientCaFile + ": " + OpenSslErrors());
            }
            SSL_CTX_set_client_CA_list(ctx, names);  // takes ownership
            // Ask for a certificate and verify one that comes, but let the
            // handshake finish without one: the service answers
            // "ctrlauthentication" to such a caller, which it could not do
            // if the handshake failed.
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
            // Resumed sessions of verified clients need a context ID.
            static const unsigned char kContext[] = "dadovu-sim";
            SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1);
        }
        settings_.tls = &*tls_;
    }

    void Bind() {
        tcp::endpoint endpoint;
        if (fleet_ != nullptr) {
            // 127.0.0.0/8 cannot be bound as a block; the wildcard address
            // can, and Admit turns away what does not come from and go to it.
            endpoint = tcp::endpoint(net::ip::address_v4::any(), static_cast<unsigned short>(options_.port));
        } else {
            error_code ec;
            const net::ip::address address = net::ip::make_address(options_.host, ec);
            if (!ec) {
                endpoint = tcp::endpoint(address, static_cast<unsigned short>(options_.port));
            } else {
                tcp::resolver resolver(io_);
                const auto results = resolver.resolve(options_.host, std::to_string(options_.port), ec);
                if (ec || results.empty())
                    throw std::runtime_error("cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
                                             ": " + (ec ? ec.message() : std::string("no address")));
                endpoint = results.begin()->endpoint();
            }
        }
        error_code ec;
        const auto fail = [&](const char* what) {
            throw std::runtime_error("cannot listen on " + EndpointText(endpoint) + ": " + what + ": " + ec.message());
        };
        acceptor_.open(endpoint.protocol(), ec);
        if (ec) fail("socket");
        // SO_REUSEADDR lets a restart bind while old connections linger in
        // TIME_WAIT; SO_REUSEPORT is not set, so that a second daemon on a
        // port in use fails instead of silently taking half the connections.
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
        if (ec) fail("SO_REUSEADDR");
        acceptor_.bind(endpoint, ec);
        if (ec) fail("bind");
        acceptor_.listen(net::socket_base::max_listen_connections, ec);
        if (ec) fail("listen");
        port_ = acceptor_.local_endpoint().port();

        if (fleet_ != nullptr && fleet_->Count(NodeRole::Refusing) > 0) {
            // A port that is bound (so that nothing else takes it) and never
            // listened on: the system refuses every connection to it.
            const tcp::endpoint any(net::ip::address_v4::any(), 0);
            refusing_.open(any.protocol(), ec);
            if (!ec) refusing_.bind(any, ec);
            if (ec) throw std::runtime_error("cannot reserve a port for refusing nodes: " + ec.message());
            refusingPort_ = refusing_.local_endpoint().port();
        }
    }

    void Run() {
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception& e) {
                hub_->Log(std::string("dadovu-sim: a server thread caught: ") + e.what());
            }
        }
    }

    void Accept() {
        acceptor_.async_accept(net::make_strand(io_), [this](const error_code& ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
            if (ec) {
                // Out of descriptors, most likely: the connections waiting
                // are taken once some close.
                if (!acceptFailing_ && options_.log != nullptr)
                    hub_->Log("dadovu-sim: cannot accept a connection: " + ec.message());
                acceptFailing_ = true;
                acceptPause_.expires_after(kAcceptPause);
                acceptPause_.async_wait([this](const error_code& e) {
                    if (!e && acceptor_.is_open()) Accept();
                });
                return;
            }
            acceptFailing_ = false;
            Admit(std::move(socket));
            Accept();
        });
    }

    void Admit(tcp::socket socket) {
        error_code ec, ec2;
        const tcp::endpoint local = socket.local_endpoint(ec);
        const tcp::endpoint peer = socket.remote_endpoint(ec2);
        if (ec || ec2) return;  // gone already; the socket closes with it
        socket.set_option(tcp::no_delay(true), ec);  // an answer must not wait for an acknowledgement

        std::shared_ptr<Connection> connection;
        if (fleet_ == nullptr) {
            connection = MakeHttp(std::move(socket), Route{service_, Uri(), std::string()}, EndpointText(peer));
        } else {
            std::optional<std::size_t> index;
            if (IsLoopback(local.address()) && IsLoopback(peer.address()))
                index = FleetNodeIndex(local.address().to_v4().to_uint(), fleet_->Size());
            if (!index) return Reset(socket);  // from outside, or to no node
            switch (fleet_->Role(*index)) {
            case NodeRole::Refusing: return Reset(socket);
            case NodeRole::Dead: connection = std::make_shared<SilentConnection>(settings_, std::move(socket)); break;
            case NodeRole::Live:
                connection = MakeHttp(std::move(socket),
                                      Route{&fleet_->Service(*index), NodeUri(*index),
                                            Ipv4Text(local.address().to_v4().to_uint())},
                                      EndpointText(peer));
                break;
            }
        }
        if (!hub_->Add(connection)) return;  // stopping: it closes as it goes
        const net::any_io_executor executor = connection->Executor();
        net::post(executor, [connection = std::move(connection)] { connection->Begin(); });
    }

    std::shared_ptr<Connection> MakeHttp(tcp::socket socket, Route route, std::string peer) {
        if (tls_) return std::make_shared<HttpConnection<true>>(settings_, std::move(socket), std::move(route), std::move(peer));
        return std::make_shared<HttpConnection<false>>(settings_, std::move(socket), std::move(route), std::move(peer));
    }
};

SimServer::SimServer(const ControlService& service, ServerOptions options)
    : impl_(std::make_unique<Impl>(&service, nullptr, std::move(options))) {}

SimServer::SimServer(const Fleet& fleet, ServerOptions options)
    : impl_(std::make_unique<Impl>(nullptr, &fleet, std::move(options))) {}

SimServer::~SimServer() = default;

void SimServer::Start() { impl_->Start(); }
int SimServer::Port() const { return impl_->Port(); }
int SimServer::RefusingPort() const { return impl_->RefusingPort(); }
std::string SimServer::Uri() const { return impl_->Uri(); }
std::string SimServer::NodeUri(std::size_t index) const { return impl_->NodeUri(index); }
bool SimServer::IsRunning() const { return impl_->IsRunning(); }
std::size_t SimServer::OpenConnections() const { return impl_->OpenConnections(); }
void SimServer::Stop() { impl_->Stop(); }

}  // namespace DaDovuSim
