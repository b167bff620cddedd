// The shared state behind Messenger handles (not installed).
#pragma once

#include <qxlnk/messenger.h>

#include "Connection.h"
#include "Pool.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace QxLnkMsg {

// Settings read once, the TLS context and the connection pool. Immutable but
// for the pool, which is thread-safe, and the TLS context, made once, so any
// number of calls may share it.
struct Messenger::Impl {
    Impl(const QxPalConfig::Configuration_t& settings, const Messenger::Options& options);

    // The TLS context, made by the first call that opens a TLS connection:
    // loading the trusted certificates (the system's store takes hundreds of
    // millions of instructions) is left to the processes that need them.
    // Thread-safe; once made, the context is kept for the messenger's life.
    // Throws TransportError (Stage::Tls), naming the file and the reason,
    // when the context cannot be made; the next TLS connection tries again.
    SSL_CTX* TlsContext();

    int connectTimeoutMs = 5000;
    int timeoutMs = 60000;
    std::uint64_t maxResponseBytes = std::uint64_t{64} << 20;
    bool verifyPeer = true;
    Messenger::Options options;

    // The files the TLS context is made of ("" when not set).
    std::string caFile;
    std::string caDir;
    std::string clientCert;
    std::string clientKey;

private:
    std::mutex tlsMutex_;                  // held while the context is made
    std::atomic<SSL_CTX*> tls_{nullptr};   // the context once made (owned by sslContext_)
    QxLnkImpl::SslCtxPtr sslContext_;      // written once, under tlsMutex_

public:
    // Declared last: destroyed first, while the TLS context still exists.
    QxLnkImpl::ConnectionPool pool;
};

}  // namespace QxLnkMsg
