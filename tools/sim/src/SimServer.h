// The daemon's HTTP(S) transport on cpp-httplib: POST to the endpoint runs a
// SOAP request through ControlService; GET on the endpoint with "?wsdl"
// answers the WSDL with its address set to the endpoint that was asked.
//
// cpp-httplib's small defaults (5 requests per connection, 5 s of idle
// keep-alive, a thread per core) would make a client that reuses one
// connection for many requests reconnect all the time, and would make a
// handful of clients queue behind each other; ServerOptions raises them. Each
// open connection holds a pool thread while it is kept alive, so `threads`
// must exceed the number of connections clients keep open at once.
#pragma once

#include "ControlService.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace DaDovuSim {

// The daemon's server identifier and the endpoint path built from it.
inline constexpr const char* kServerIdentifier = "dadovu.ctrl.server";
inline constexpr const char* kEndpointPath = "/dadovu.ctrl.server/lnkrpcserver";

struct ServerOptions {
    std::string host = "127.0.0.1";  // an IPv4 or IPv6 address or a host name
    int port = 0;                    // 0: any free port
    // HTTPS when both are set (PEM files: certificate chain, private key).
    std::string tlsCertFile;
    std::string tlsKeyFile;
    // Ask every client for a certificate and verify it against these
    // authorities; a client without one still completes the handshake (the
    // service then decides). Requires TLS.
    std::string clientCaFile;
    std::chrono::milliseconds latency{0};  // added before every answer
    std::size_t threads = 32;
    std::size_t keepAliveMaxCount = 100000;
    std::chrono::seconds keepAliveTimeout{60};
    std::size_t maxRequestBytes = 4 * 1024 * 1024;
    std::ostream* log = nullptr;  // one line per request when set; not owned
};

class SimServer {
public:
    // `service` must outlive the server. Throws std::runtime_error when the
    // TLS material cannot be used.
    SimServer(const ControlService& service, ServerOptions options);
    ~SimServer();  // Stop()
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds and serves on a thread of its own until Stop. Throws
    // std::runtime_error when it cannot bind. Call once.
    void Start();

    int Port() const { return port_; }
    // "http(s)://<host>:<port>/dadovu.ctrl.server/lnkrpcserver".
    std::string Uri() const;
    // False once serving has ended (after Stop, or if the server failed).
    bool IsRunning() const;

    // Stops accepting, ends idle kept-alive connections, lets requests in
    // progress finish and joins every server thread. Idempotent; any thread
    // but a server thread.
    void Stop();

private:
    const ControlService& service_;
    ServerOptions options_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // stopping_, finished_ or inFlight_ changed
    bool started_ = false;
    bool stopping_ = false;
    bool finished_ = false;
    int inFlight_ = 0;  // requests handled whose answers are not yet written
    std::mutex stopMutex_;  // serialises Stop
    std::mutex logMutex_;
    std::thread thread_;

    // How long Stop waits for the answers of requests in progress.
    static constexpr std::chrono::seconds kAnswerGrace{10};

    void Handling();  // a handler begins
    void Answered();  // an answer was written (cpp-httplib's logger)
    void Delay();
    void Log(const std::string& line);
    void CloseIdleConnections() const;
};

}  // namespace DaDovuSim
