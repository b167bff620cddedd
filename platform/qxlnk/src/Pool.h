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
//
// A connection is only ever used by the process that opened it: after a
// fork(), the child finds the pool empty (it drops what it inherited without
// a word on the wire, closing only its own copies of the sockets) and the
// parent keeps its connections. The pool's lock is held across fork() so that
// the child never inherits it locked.
class ConnectionPool {
public:
    explicit ConnectionPool(std::size_t maxIdle = 256, std::size_t maxIdlePerKey = 64);
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
    friend struct ForkGuard;
    // In a child process, drops the connections inherited from the parent.
    // REQUIRES: mutex_ held.
    void DropInherited(std::vector<std::unique_ptr<Connection>>& dropped);
    // Take and Put under the lock; what the process inherited goes to `inherited`.
    std::unique_ptr<Connection> TakeLocked(const std::string& key, std::vector<std::unique_ptr<Connection>>& inherited);
    std::unique_ptr<Connection> PutLocked(const std::string& key, std::unique_ptr<Connection> connection,
                                          std::vector<std::unique_ptr<Connection>>& inherited);

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
    std::uint64_t forks_;  // the process's count of forks when the pool last checked
};

}  // namespace QxLnkImpl
