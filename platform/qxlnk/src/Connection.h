// One client connection (TCP, optionally TLS) with its reusable buffers (not installed).
#pragma once

#include "Deadlines.h"
#include "EnvelopeParser.h"

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace QxLnkImpl {

// Where a call goes and how.
struct Endpoint {
    std::string host;      // name or IP literal, without the brackets of IPv6
    int port = 0;
    bool tls = false;
    bool verify = true;    // verify the peer's certificate and name (TLS only)
    std::string key;       // the pool key: scheme, host, port and verification
};

// "host:port", with the brackets of an IPv6 address, for messages and the Host header.
std::string HostPort(const std::string& host, int port);

struct SslCtxDeleter {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;

// The last OpenSSL error of this thread as text ("" when there is none); clears the queue.
std::string TakeOpenSslError();
// Whether the last OpenSSL error of this thread is a fatal alert the peer
// sent (its certificate checks, say); leaves the queue as it is.
bool PeerSentAlert();

// Bytes received and not yet parsed.
struct InputBuffer {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
};

// A non-blocking socket, with a TLS session over it for https, that a call
// connects, writes its request to and reads its response from. Every wait is
// a poll bounded by the call's deadlines. Closing it closes the socket; a TLS
// connection that ended cleanly says goodbye first. Not synchronised: one
// call uses it at a time, and the pool holds it in between.
class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Resolves, connects and, for TLS, completes the handshake with `endpoint`
    // (`context` required for TLS). Throws TransportError.
    void Connect(const Endpoint& endpoint, SSL_CTX* context, const Deadlines& deadlines);
    bool IsConnected() const { return fd_ >= 0; }
    void Close();

    // Before an idle connection is reused: true when the peer has closed it,
    // it failed, or it holds bytes nobody asked for. Never blocks.
    bool IsUnusable() const;

    // Writes all of `data`. Throws TransportError; its IsRequestUnsent() says
    // that not one byte reached the connection.
    void WriteAll(const char* data, std::size_t length, const Deadlines& deadlines);
    // Reads at least one byte; 0 at the end of the stream. Throws TransportError.
    // `expectWait`: bytes are unlikely to be there yet (the first read of an
    // answer), so the read waits for them first instead of trying in vain.
    std::size_t ReadSome(char* buffer, std::size_t capacity, const Deadlines& deadlines, bool expectWait = false);
    // Whether the last end of stream was a clean one (always true without TLS).
    bool WasEndClean() const { return cleanEnd_; }

    // Whether the connection stands between two exchanges (a response was read
    // completely); only then does closing a TLS connection send close_notify.
    void SetIdle(bool idle) { idle_ = idle; }

    std::string& RequestBuffer() { return request_; }
    InputBuffer& Input() { return input_; }
    EnvelopeParser& Parser();

    // The state the socket BIO works on.
    struct BioState {
        int fd = -1;
        bool eof = false;
    };

private:
    void Handshake(const Endpoint& endpoint, SSL_CTX* context, const Deadlines& deadlines);

    int fd_ = -1;
    SSL* ssl_ = nullptr;
    BioState bio_;
    bool idle_ = false;
    bool cleanEnd_ = true;
    bool answered_ = false;  // bytes of an answer came since the last request was written
    std::string request_;
    InputBuffer input_;
    std::unique_ptr<EnvelopeParser> parser_;
};

}  // namespace QxLnkImpl
