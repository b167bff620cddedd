// Client connections: non-blocking sockets with poll deadlines, and TLS on them.

#include "Connection.h"

#include "Errors.h"
#include "Resolver.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace QxLnkImpl {

namespace {

// OpenSSL registers its exit-time cleanup when first initialised. Doing that
// while this library loads puts the cleanup after the destruction of any
// messenger that a library loaded later keeps in a static object. Little
// more is done here: OpenSSL's configuration file, error strings and
// algorithms (some two million instructions) are loaded by the first TLS
// context, as SSL_CTX_new initialises the rest, and a process that makes no
// TLS connection never pays for them. OPENSSL_init_crypto(0) would return at
// once, having nothing to do, and each OPENSSL_INIT_NO_* flag turns its part
// off for good; OPENSSL_INIT_ASYNC adds but two thread-local keys.
[[maybe_unused]] const bool kOpenSslInitialised = OPENSSL_init_crypto(OPENSSL_INIT_ASYNC, nullptr) == 1;

std::string ErrnoText(int error) {
    char buffer[256];
    // GNU strerror_r returns the text, which need not be in `buffer`.
    return std::string(strerror_r(error, buffer, sizeof(buffer)));
}

int RemainingMs(Clock::time_point deadline) {
    const auto now = Clock::now();
    if (now >= deadline) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

// Waits until `fd` is ready for `events`; false when the deadline passes first.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int timeout = RemainingMs(deadline);
        if (timeout == 0) return false;
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, timeout);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) throw TransportError("poll failed: " + ErrnoText(errno));
    }
}

// A socket BIO that sends with MSG_NOSIGNAL: a peer that has gone must raise an
// error here, not SIGPIPE in the caller's process.
int BioWrite(BIO* bio, const char* data, int length) {
    auto* state = static_cast<Connection::BioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = send(state->fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_write(bio);
    return -1;
}

int BioRead(BIO* bio, char* data, int length) {
    auto* state = static_cast<Connection::BioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t received = recv(state->fd, data, static_cast<std::size_t>(length), 0);
    if (received > 0) return static_cast<int>(received);
    if (received == 0) {
        state->eof = true;
        return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_read(bio);
    return -1;
}

long BioCtrl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return static_cast<Connection::BioState*>(BIO_get_data(bio))->eof ? 1 : 0;
    default:
        return 0;
    }
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

struct BioMethodDeleter {
    void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

const BIO_METHOD* SocketBioMethod() {
    static const std::unique_ptr<BIO_METHOD, BioMethodDeleter> method = [] {
        std::unique_ptr<BIO_METHOD, BioMethodDeleter> created(
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qxlnk socket"));
        if (created == nullptr || BIO_meth_set_write(created.get(), &BioWrite) != 1 ||
            BIO_meth_set_read(created.get(), &BioRead) != 1 || BIO_meth_set_ctrl(created.get(), &BioCtrl) != 1 ||
            BIO_meth_set_create(created.get(), &BioCreate) != 1)
            created.reset();
        return created;
    }();
    return method.get();
}

bool IsIpLiteral(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

}  // namespace

std::string HostPort(const std::string& host, int port) {
    std::string text;
    if (host.find(':') != std::string::npos) {
        text = "[" + host + "]";
    } else {
        text = host;
    }
    text += ':';
    text += std::to_string(port);
    return text;
}

bool PeerSentAlert() {
    const unsigned long code = ERR_peek_last_error();
    const int reason = ERR_GET_REASON(code);
    return ERR_GET_LIB(code) == ERR_LIB_SSL && reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256;
}

std::string TakeOpenSslError() {
    const unsigned long error = ERR_peek_last_error();
    std::string text;
    if (error != 0) {
        const char* reason = ERR_reason_error_string(error);
        if (reason != nullptr) {
            text = reason;
        } else {
            char buffer[256];
            ERR_error_string_n(error, buffer, sizeof(buffer));
            text = buffer;
        }
    }
    ERR_clear_error();
    return text;
}

Connection::Connection() = default;

Connection::~Connection() { Close(); }

EnvelopeParser& Connection::Parser() {
    if (parser_ == nullptr) parser_ = std::make_unique<EnvelopeParser>();
    return *parser_;
}

void Connection::Close() {
    if (ssl_ != nullptr) {
        // One non-blocking attempt to say goodbye; its outcome changes nothing.
        if (idle_) {
            SSL_shutdown(ssl_);
            ERR_clear_error();
        }
        SSL_free(ssl_);  // frees the BIO too
        ssl_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    bio_ = BioState{};
    idle_ = false;
    cleanEnd_ = true;
    input_.begin = input_.end = 0;
}

void Connection::Connect(const Endpoint& endpoint, SSL_CTX* context, const Deadlines& deadlines) {
    Close();
    const bool connectFirst = deadlines.connect < deadlines.call;
    const Clock::time_point deadline = connectFirst ? deadlines.connect : deadlines.call;
    const int limitMs = connectFirst ? deadlines.connectMs : deadlines.callMs;

    const AddrInfoList addresses = Resolve(endpoint.host, endpoint.port, deadline, limitMs);
    std::size_t untried = 0;
    for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) ++untried;
    int lastError = 0;
    for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next, --untried) {
        // Each address gets an equal share of the time left, so that one that
        // silently drops packets (often IPv6) leaves time for the next; the last
        // gets all that is left.
        const Clock::time_point now = Clock::now();
        const Clock::time_point attemptDeadline =
            untried <= 1 || deadline <= now ? deadline : now + (deadline - now) / static_cast<int>(untried);
        const int fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        FdGuard guard(fd);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            if (errno != EINPROGRESS && errno != EINTR) {
                lastError = errno;
                continue;
            }
            if (!WaitFor(fd, POLLOUT, attemptDeadline)) {
                if (untried > 1 && Clock::now() < deadline) {
                    lastError = ETIMEDOUT;
                    continue;
                }
                throw TransportError("Connection to " + HostPort(endpoint.host, endpoint.port) + " timed out after " +
                                         std::to_string(limitMs) + " ms",
                                     true);
            }
            int error = 0;
            socklen_t length = sizeof(error);
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            if (error != 0) {
                lastError = error;
                continue;
            }
        }
        fd_ = guard.Release();
        break;
    }
    if (fd_ < 0) {
        if (lastError == ECONNREFUSED) throw TransportError("Connection refused by " + HostPort(endpoint.host, endpoint.port), true);
        throw TransportError("Cannot connect to " + HostPort(endpoint.host, endpoint.port) + ": " + ErrnoText(lastError), true);
    }
    if (endpoint.tls) {
        Deadlines handshake = deadlines;
        handshake.call = deadline;
        handshake.callMs = limitMs;
        Handshake(endpoint, context, handshake);
    }
}

void Connection::Handshake(const Endpoint& endpoint, SSL_CTX* context, const Deadlines& deadlines) {
    const BIO_METHOD* method = SocketBioMethod();
    ERR_clear_error();
    ssl_ = context != nullptr ? SSL_new(context) : nullptr;
    BIO* bio = ssl_ != nullptr && method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        const std::string reason = TakeOpenSslError();
        Close();
        throw TransportError("Cannot start a TLS session: " + (reason.empty() ? std::string("out of memory") : reason),
                             TransportError::Stage::Tls);
    }
    bio_.fd = fd_;
    bio_.eof = false;
    BIO_set_data(bio, &bio_);
    SSL_set_bio(ssl_, bio, bio);

    const bool ipLiteral = IsIpLiteral(endpoint.host);
    bool configured = ipLiteral || SSL_set_tlsext_host_name(ssl_, endpoint.host.c_str()) == 1;
    if (endpoint.verify) {
        SSL_set_verify(ssl_, SSL_VERIFY_PEER, nullptr);
        if (ipLiteral) {
            configured = configured && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), endpoint.host.c_str()) == 1;
        } else {
            SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            configured = configured && SSL_set1_host(ssl_, endpoint.host.c_str()) == 1;
        }
    } else {
        SSL_set_verify(ssl_, SSL_VERIFY_NONE, nullptr);
    }
    if (!configured) {
        const std::string reason = TakeOpenSslError();
        Close();
        throw TransportError("Cannot set up TLS for " + HostPort(endpoint.host, endpoint.port) + ": " + reason,
                             TransportError::Stage::Tls);
    }

    for (;;) {
        ERR_clear_error();
        const int rc = SSL_connect(ssl_);
        if (rc == 1) return;
        const int error = SSL_get_error(ssl_, rc);
        const int savedErrno = errno;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (!WaitFor(fd_, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadlines.call)) {
                Close();
                // A peer that takes the connection but does not complete
                // TLS (one that speaks plain HTTP, say) is a TLS failure too.
                throw TransportError("TLS handshake with " + HostPort(endpoint.host, endpoint.port) + " timed out after " +
                                         std::to_string(deadlines.callMs) + " ms",
                                     TransportError::Stage::Tls);
            }
            continue;
        }
        std::string reason;
        const long verified = SSL_get_verify_result(ssl_);
        if (endpoint.verify && verified != X509_V_OK) {
            reason = std::string("certificate verification failed: ") + X509_verify_cert_error_string(verified);
            ERR_clear_error();
        } else {
            reason = TakeOpenSslError();
            if (reason.empty()) {
                reason = error == SSL_ERROR_SYSCALL && savedErrno != 0 ? ErrnoText(savedErrno)
                                                                       : std::string("the peer closed the connection");
            }
        }
        Close();
        throw TransportError("TLS handshake with " + HostPort(endpoint.host, endpoint.port) + " failed: " + reason,
                             TransportError::Stage::Tls);
    }
}

bool Connection::IsUnusable() const {
    if (fd_ < 0) return true;
    if (ssl_ != nullptr && SSL_has_pending(ssl_) == 1) return true;
    pollfd entry{fd_, POLLIN, 0};
    const int ready = poll(&entry, 1, 0);
    if (ready == 0) return false;
    if (ready < 0) return errno != EINTR;
    // Readable while idle: end of stream, an error, or bytes nobody asked for
    // (a TLS close_notify among them). Only "nothing after all" keeps it.
    char byte;
    const ssize_t peeked = recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return !(peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

void Connection::WriteAll(const char* data, std::size_t length, const Deadlines& deadlines) {
    idle_ = false;
    answered_ = false;
    std::size_t written = 0;
    bool started = false;  // bytes may have reached the connection
    while (written < length) {
        if (ssl_ != nullptr) {
            ERR_clear_error();
            std::size_t count = 0;
            const int rc = SSL_write_ex(ssl_, data + written, length - written, &count);
            if (rc == 1) {
                written += count;
                started = true;
                continue;
            }
            const int error = SSL_get_error(ssl_, rc);
            const int savedErrno = errno;
            if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
                started = true;
                if (!WaitFor(fd_, error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadlines.call))
                    throw TransportError("Timed out after " + std::to_string(deadlines.callMs) +
                                         " ms sending the request");
                continue;
            }
            bool refusedSession = PeerSentAlert();
            if (!refusedSession && (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_SSL)) {
                // A peer that refused the session may have closed the
                // connection after its alert, before our write: the alert
                // is waiting to be read, and tells why.
                ERR_clear_error();
                char byte = 0;
                std::size_t read = 0;
                if (SSL_read_ex(ssl_, &byte, 1, &read) != 1) refusedSession = PeerSentAlert();
            }
            std::string reason = TakeOpenSslError();
            if (reason.empty()) reason = savedErrno != 0 ? ErrnoText(savedErrno) : "the peer closed the connection";
            if (refusedSession) throw TransportError("Cannot send the request: " + reason, TransportError::Stage::Tls);
            throw TransportError("Cannot send the request: " + reason, !started);
        }
        const ssize_t sent = send(fd_, data + written, length - written, MSG_NOSIGNAL);
        if (sent >= 0) {
            written += static_cast<std::size_t>(sent);
            started = true;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitFor(fd_, POLLOUT, deadlines.call))
                throw TransportError("Timed out after " + std::to_string(deadlines.callMs) +
                                     " ms sending the request", !started);
            continue;
        }
        throw TransportError("Cannot send the request: " + ErrnoText(errno), !started);
    }
}

std::size_t Connection::ReadSome(char* buffer, std::size_t capacity, const Deadlines& deadlines, bool expectWait) {
    if (expectWait && (ssl_ == nullptr || SSL_has_pending(ssl_) != 1) && !WaitFor(fd_, POLLIN, deadlines.call))
        ThrowResponseTimeout(deadlines);
    for (;;) {
        if (ssl_ != nullptr) {
            ERR_clear_error();
            std::size_t count = 0;
            const int rc = SSL_read_ex(ssl_, buffer, capacity, &count);
            if (rc == 1) {
                answered_ = true;
                return count;
            }
            const int error = SSL_get_error(ssl_, rc);
            const int savedErrno = errno;
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                if (!WaitFor(fd_, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadlines.call))
                    ThrowResponseTimeout(deadlines);
                continue;
            }
            if (error == SSL_ERROR_ZERO_RETURN) {
                ERR_clear_error();
                cleanEnd_ = true;
                return 0;
            }
            if (bio_.eof) {  // closed without close_notify
                ERR_clear_error();
                cleanEnd_ = false;
                return 0;
            }
            // A TLS 1.3 server checks the client's certificate after the
            // client has finished its handshake, so its refusal arrives as an
            // alert where the answer should be: the request was never taken.
            const bool refusedSession = !answered_ && PeerSentAlert();
            std::string reason = TakeOpenSslError();
            if (reason.empty())
                reason = savedErrno == ECONNRESET ? std::string("Connection reset by the peer")
                         : savedErrno != 0        ? ErrnoText(savedErrno)
                                                  : std::string("the peer closed the connection");
            throw TransportError("Cannot receive the response: " + reason,
                                 refusedSession ? TransportError::Stage::Tls : TransportError::Stage::Exchange);
        }
        const ssize_t received = recv(fd_, buffer, capacity, 0);
        if (received >= 0) return static_cast<std::size_t>(received);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitFor(fd_, POLLIN, deadlines.call)) ThrowResponseTimeout(deadlines);
            continue;
        }
        if (errno == ECONNRESET) throw TransportError("Connection reset by the peer before the response was complete");
        throw TransportError("Cannot receive the response: " + ErrnoText(errno));
    }
}

}  // namespace QxLnkImpl
