// The daemon's HTTP(S) transport, event-driven on Boost.Asio and Beast: POST
// to the endpoint runs a SOAP request through a ControlService; GET on the
// endpoint with "?wsdl" answers the WSDL with its address set to the
// endpoint that was asked.
//
// A few threads (ServerOptions::threads) run one io_context; connections hold
// no thread. Each connection's steps run in order on a strand of its own; a
// request waits on timers (the answer delay, idle time) and on the engine's
// completion (a synchronous start or stop), never on a blocked thread, so a
// handful of threads carry thousands of kept-alive connections.
//
// One node: the server listens on ServerOptions::host and every connection
// reaches the one ControlService. A fleet: it listens on 0.0.0.0 at
// ServerOptions::port, takes connections only from 127.0.0.0/8 to
// 127.0.0.0/8, and tells the nodes apart by the local address each
// connection reached (see Fleet.h). Connections to a dead node are read and
// never answered; those to a refusing node are reset at once, and its URI
// names a second port, bound and never listened on, where the system itself
// refuses every connection.
#pragma once

#include "ControlService.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

namespace DaDovuSim {

class Fleet;

// The daemon's server identifier and the endpoint path built from it.
inline constexpr const char* kServerIdentifier = "dadovu.ctrl.server";
inline constexpr const char* kEndpointPath = "/dadovu.ctrl.server/lnkrpcserver";

struct ServerOptions {
    std::string host = "127.0.0.1";  // an IPv4 or IPv6 address or a host name; not used by a fleet
    int port = 0;                    // 0: any free port
    // HTTPS when both are set (PEM files: certificate chain, private key).
    std::string tlsCertFile;
    std::string tlsKeyFile;
    // Ask every client for a certificate and verify it against these
    // authorities; a client without one still completes the handshake (the
    // service then decides). Requires TLS.
    std::string clientCaFile;
    std::chrono::milliseconds latency{0};  // added before every answer, on a timer
    std::size_t threads = 4;               // threads running the event loop
    std::size_t keepAliveMaxCount = 100000;
    std::chrono::seconds keepAliveTimeout{60};
    std::size_t maxRequestBytes = 4 * 1024 * 1024;  // a request's body
    std::ostream* log = nullptr;  // one line per request when set; not owned
};

class SimServer {
public:
    // One node. `service` must outlive the server. Throws std::runtime_error
    // when the TLS material cannot be used.
    SimServer(const ControlService& service, ServerOptions options);
    // A fleet. `fleet` must outlive the server.
    SimServer(const Fleet& fleet, ServerOptions options);
    ~SimServer();  // Stop()
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds and serves on its threads until Stop. Throws std::runtime_error
    // when it cannot bind. Call once.
    void Start();

    int Port() const;
    // A fleet with refusing nodes: the port their URIs name, which nothing
    // listens on; otherwise 0.
    int RefusingPort() const;
    // One node: "http(s)://<host>:<port>/dadovu.ctrl.server/lnkrpcserver".
    // A fleet: the URI of its first live node (of node 1 when none is live).
    std::string Uri() const;
    // A fleet: node `index`'s URI (counted from 0), at RefusingPort() for a
    // refusing node. One node: Uri().
    std::string NodeUri(std::size_t index) const;
    // False once serving has ended (after Stop), or before Start.
    bool IsRunning() const;
    // Connections open now (dead nodes' included).
    std::size_t OpenConnections() const;

    // Stops accepting, closes idle connections, lets requests in progress be
    // answered (for at most 10 s), then ends every connection and joins the
    // threads. Idempotent; any thread but a server thread.
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace DaDovuSim
