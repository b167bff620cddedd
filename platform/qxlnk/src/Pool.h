// The pool of idle kept-alive connections that the copies of a messenger share (not installed).
#pragma once

#include "Connection.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace QxLnkImpl {

// Idle connections by key (scheme, host, port, verification), at most
// `maxIdle` in all and `maxIdlePerKey` for one key, so that a process talking
// to many nodes does not keep a descriptor open for each. Thread-safe; its
// lock is held only to take or put a connection, never while one is used,
// checked or closed.
class ConnectionPool {
public:
    explicit ConnectionPool(std::size_t maxIdle = 256, std::size_t maxIdlePerKey = 64)
        : maxIdle_(maxIdle), maxIdlePerKey_(maxIdlePerKey) {}
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // The most recently returned idle connection of `key`, or null. The caller
    // checks it (Connection::IsUnusable) before use.
    std::unique_ptr<Connection> Take(const std::string& key);
    // Keeps `connection` for later calls to `key`; hands it back when the key
    // has its maximum of idle connections, or hands back the connection idle
    // longest (of any key) when the pool is over its maximum, for the caller
    // to close unlocked. Null when it keeps everything.
    std::unique_ptr<Connection> Put(const std::string& key, std::unique_ptr<Connection> connection);

    // Closed connection objects keep their buffers and parser, so that a call
    // that must connect anew reuses them instead of allocating its own.
    // TakeSpare gives one (or a new object); PutSpare takes a closed one and
    // drops it beyond the limit.
    std::unique_ptr<Connection> TakeSpare();
    void PutSpare(std::unique_ptr<Connection> closed);

private:
    struct Idle {
        std::unique_ptr<Connection> connection;
        std::uint64_t order;  // when it was put, in the pool's count of puts
    };

    static constexpr std::size_t kMaxSpare = 8;
    const std::size_t maxIdle_;
    const std::size_t maxIdlePerKey_;
    std::mutex mutex_;
    // Each key's connections, oldest first; empty lists stay until the pool
    // is next over its maximum, so that a put after a take allocates nothing.
    std::unordered_map<std::string, std::vector<Idle>> idle_;
    std::size_t idleCount_ = 0;
    std::uint64_t puts_ = 0;
    std::vector<std::unique_ptr<Connection>> spare_;
};

}  // namespace QxLnkImpl
