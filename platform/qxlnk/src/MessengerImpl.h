// The shared state behind Messenger handles (not installed).
#pragma once

#include <qxlnk/messenger.h>

#include "Connection.h"
#include "Pool.h"

#include <cstdint>

namespace QxLnkMsg {

// Settings read once, the TLS context and the connection pool. Immutable but
// for the pool, which is thread-safe, so any number of calls may share it.
struct Messenger::Impl {
    Impl(const QxPalConfig::Configuration_t& settings, const Messenger::Options& options);

    int connectTimeoutMs = 5000;
    int timeoutMs = 60000;
    std::uint64_t maxResponseBytes = std::uint64_t{64} << 20;
    bool verifyPeer = true;
    Messenger::Options options;
    QxLnkImpl::SslCtxPtr sslContext;
    // Declared last: destroyed first, while the TLS context still exists.
    QxLnkImpl::ConnectionPool pool;
};

}  // namespace QxLnkMsg
