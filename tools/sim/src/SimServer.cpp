#include "SimServer.h"

#include "Wsdl.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <stdexcept>

namespace DaDovuSim {

namespace {

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

CallerIdentity Identify(const httplib::Request& request) {
    CallerIdentity caller;
    if (request.ssl == nullptr) return caller;
    const std::unique_ptr<X509, X509Free> cert(SSL_get1_peer_certificate(request.ssl));
    // With SSL_VERIFY_PEER a presented certificate that fails verification
    // ends the handshake; the result is checked all the same.
    if (!cert || SSL_get_verify_result(request.ssl) != X509_V_OK) return caller;
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
        if (length >= 0 && utf8 != nullptr) caller.commonName.assign(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
        OPENSSL_free(utf8);
    }
    return caller;
}

// A Host header that can go into a URI unchanged, or "".
std::string UsableHost(const std::string& host) {
    const bool plain = !host.empty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
               c == ':' || c == '[' || c == ']' || c == '_';
    });
    return plain ? host : std::string();
}

bool IsTls(const ServerOptions& options) { return !options.tlsCertFile.empty(); }

}  // namespace

SimServer::SimServer(const ControlService& service, ServerOptions options)
    : service_(service), options_(std::move(options)) {
    if (options_.tlsCertFile.empty() != options_.tlsKeyFile.empty())
        throw std::runtime_error("a TLS certificate needs its private key, and a key its certificate");
    if (!options_.clientCaFile.empty() && !IsTls(options_))
        throw std::runtime_error("client certificates can only be asked for over TLS");

    if (IsTls(options_)) {
        std::string error;
        auto setup = [this, &error](SSL_CTX& ctx) {
            SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
            if (SSL_CTX_use_certificate_chain_file(&ctx, options_.tlsCertFile.c_str()) != 1) {
                error = options_.tlsCertFile + ": " + OpenSslErrors();
                return false;
            }
            if (SSL_CTX_use_PrivateKey_file(&ctx, options_.tlsKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
                SSL_CTX_check_private_key(&ctx) != 1) {
                error = options_.tlsKeyFile + ": " + OpenSslErrors();
                return false;
            }
            if (!options_.clientCaFile.empty()) {
                STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options_.clientCaFile.c_str());
                if (names == nullptr ||
                    SSL_CTX_load_verify_locations(&ctx, options_.clientCaFile.c_str(), nullptr) != 1) {
                    if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
                    error = options_.clientCaFile + ": " + OpenSslErrors();
                    return false;
                }
                SSL_CTX_set_client_CA_list(&ctx, names);  // takes ownership
                // Ask for a certificate and verify one that comes, but let the
                // handshake finish without one: the service answers
                // "ctrlauthentication" to such a caller, which it could not
                // do if the handshake failed.
                SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER, nullptr);
                // Resumed sessions of verified clients need a context ID.
                static const unsigned char kContext[] = "dadovu-sim";
                SSL_CTX_set_session_id_context(&ctx, kContext, sizeof kContext - 1);
            }
            return true;
        };
        auto server = std::make_unique<httplib::SSLServer>(setup);
        if (!server->is_valid()) throw std::runtime_error("TLS setup failed: " + (error.empty() ? OpenSslErrors() : error));
        server_ = std::move(server);
    } else {
        server_ = std::make_unique<httplib::Server>();
    }

    const std::size_t threads = std::max<std::size_t>(1, options_.threads);
    server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server_->set_keep_alive_max_count(options_.keepAliveMaxCount);
    server_->set_keep_alive_timeout(static_cast<time_t>(options_.keepAliveTimeout.count()));
    server_->set_payload_max_length(options_.maxRequestBytes);
    server_->set_write_timeout(60);
    // Answers go out as several writes (head, body); without TCP_NODELAY a
    // kept-alive connection stalls on delayed acknowledgements each time.
    server_->set_tcp_nodelay(true);
    // cpp-httplib's default also sets SO_REUSEPORT, which lets a second daemon
    // bind the same port and silently take half of the connections; only
    // SO_REUSEADDR is wanted (a restart need not wait out TIME_WAIT).
    server_->set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    // The logger runs once an answer is written, on the thread that handled
    // its request: the request is no longer in progress then.
    server_->set_logger([this](const httplib::Request&, const httplib::Response&) { Answered(); });

    server_->Post(kEndpointPath, [this](const httplib::Request& request, httplib::Response& response) {
        Handling();
        Delay();
        ServiceAnswer answer = service_.Handle(request.body, Identify(request));
        response.status = answer.httpStatus;
        response.body = std::move(answer.body);
        response.set_header("Content-Type", "text/xml; charset=utf-8");
        Log(request.remote_addr + ":" + std::to_string(request.remote_port) + " " + answer.summary);
    });
    server_->Get(kEndpointPath, [this](const httplib::Request& request, httplib::Response& response) {
        Handling();
        Delay();
        if (request.has_param("wsdl") || request.has_param("WSDL")) {
            const std::string host = UsableHost(request.get_header_value("Host"));
            const std::string endpoint =
                host.empty() ? Uri() : std::string(IsTls(options_) ? "https://" : "http://") + host + kEndpointPath;
            response.set_content(WsdlForEndpoint(endpoint), "text/xml; charset=utf-8");
            Log(request.remote_addr + ":" + std::to_string(request.remote_port) + " GET ?wsdl");
            return;
        }
        response.status = 405;
        response.set_header("Allow", "POST");
        response.set_content("POST SOAP 1.1 requests here; GET ?wsdl for the service description.\n", "text/plain");
    });
}

SimServer::~SimServer() { Stop(); }

void SimServer::Start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || started_) throw std::runtime_error("the server was already started or stopped");
    }
    if (options_.port == 0) {
        port_ = server_->bind_to_any_port(options_.host);
        if (port_ < 0) port_ = 0;
    } else if (server_->bind_to_port(options_.host, options_.port)) {
        port_ = options_.port;
    }
    if (port_ == 0)
        throw std::runtime_error("cannot listen on " + options_.host + ":" + std::to_string(options_.port));

    {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = true;
    }
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
    });
    // httplib's stop() does nothing until the listening loop runs, so a Stop
    // right after Start could otherwise leave that loop running for ever.
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (finished_ || server_->is_running()) break;
        changed_.wait_for(lock, std::chrono::milliseconds(1));
    }
}

std::string SimServer::Uri() const {
    std::string host = options_.host;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return std::string(IsTls(options_) ? "https://" : "http://") + host + ":" + std::to_string(port_) + kEndpointPath;
}

bool SimServer::IsRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_ && !finished_;
}

void SimServer::Stop() {
    const std::lock_guard<std::mutex> serial(stopMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (!thread_.joinable()) return;
    server_->stop();
    // Requests in progress are answered first (the engine has released those
    // waiting for it): cpp-httplib drops an answer whose connection's read
    // side has ended. A handler that never answers is not waited for beyond
    // the grace time.
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kAnswerGrace, [this] { return inFlight_ == 0; });
    }
    // The pool's threads end a kept-alive connection only after its idle
    // timeout; ending the read side of idle connections lets them go now.
    for (;;) {
        CloseIdleConnections();
        std::unique_lock<std::mutex> lock(mutex_);
        if (changed_.wait_for(lock, std::chrono::milliseconds(50), [this] { return finished_; })) break;
    }
    thread_.join();
}

namespace {
// Whether this thread is handling a request whose answer is not yet written.
thread_local bool tHandling = false;
}  // namespace

void SimServer::Handling() {
    tHandling = true;
    std::lock_guard<std::mutex> lock(mutex_);
    ++inFlight_;
}

void SimServer::Answered() {
    if (!tHandling) return;  // an answer cpp-httplib wrote without a handler (a malformed request)
    tHandling = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
    }
    changed_.notify_all();
}

void SimServer::Delay() {
    if (options_.latency.count() <= 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, options_.latency, [this] { return stopping_; });
}

void SimServer::Log(const std::string& line) {
    if (options_.log == nullptr) return;
    std::lock_guard<std::mutex> lock(logMutex_);
    *options_.log << line << std::endl;
}

void SimServer::CloseIdleConnections() const {
    // cpp-httplib does not expose its accepted sockets, so they are found
    // among the process's descriptors: connected TCP sockets whose local port
    // is this server's. Only accepted connections of this server can have
    // that local port while it is bound; SHUT_RD wakes a thread waiting for
    // the next request on it without cutting an answer being written.
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        int fd = -1;
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc()) continue;
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) continue;
        int port = -1;
        if (local.ss_family == AF_INET)
            port = ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
        else if (local.ss_family == AF_INET6)
            port = ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
        if (port != port_) continue;
        int type = 0;
        socklen_t typeLength = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM) continue;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
        shutdown(fd, SHUT_RD);
    }
}

}  // namespace DaDovuSim
