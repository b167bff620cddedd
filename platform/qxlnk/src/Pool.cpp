// The pool of idle kept-alive connections.

#include "Pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>

namespace QxLnkImpl {

// Every pool of the process, so that fork() handlers can hold their locks.
struct ForkGuard {
    static std::mutex& Mutex() {
        static std::mutex* const mutex = new std::mutex();  // never destroyed: pools may outlive statics
        return *mutex;
    }
    static std::vector<ConnectionPool*>& Pools() {
        static auto* const pools = new std::vector<ConnectionPool*>();
        return *pools;
    }
    // Forks seen by this process (the count is copied into a child, and the
    // child adds one).
    static std::atomic<std::uint64_t>& Forks() {
        static std::atomic<std::uint64_t> forks{0};
        return forks;
    }

    static void Prepare() {
        Mutex().lock();
        for (ConnectionPool* pool : Pools()) pool->mutex_.lock();
    }
    static void Parent() {
        for (ConnectionPool* pool : Pools()) pool->mutex_.unlock();
        Mutex().unlock();
    }
    static void Child() {
        Forks().fetch_add(1, std::memory_order_relaxed);
        Parent();
    }

    static void Register(ConnectionPool* pool) {
        static const int registered = pthread_atfork(&Prepare, &Parent, &Child);
        static_cast<void>(registered);
        std::lock_guard<std::mutex> lock(Mutex());
        Pools().push_back(pool);
    }
    static void Unregister(ConnectionPool* pool) {
        std::lock_guard<std::mutex> lock(Mutex());
        std::vector<ConnectionPool*>& pools = Pools();
        pools.erase(std::remove(pools.begin(), pools.end(), pool), pools.end());
    }
};

namespace {
void Abandon(std::vector<std::unique_ptr<Connection>>& inherited);
}  // namespace

ConnectionPool::ConnectionPool(std::size_t maxIdle, std::size_t maxIdlePerKey)
    : maxIdle_(maxIdle), maxIdlePerKey_(maxIdlePerKey), forks_(ForkGuard::Forks().load(std::memory_order_relaxed)) {
    ForkGuard::Register(this);
}

// A child that ends (exit() destroys a static messenger's pool) closes what it
// inherited without a goodbye, which would end the parent's TLS sessions.
ConnectionPool::~ConnectionPool() {
    ForkGuard::Unregister(this);
    std::vector<std::unique_ptr<Connection>> inherited;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DropInherited(inherited);
    }
    Abandon(inherited);
}

void ConnectionPool::DropInherited(std::vector<std::unique_ptr<Connection>>& dropped) {
    const std::uint64_t forks = ForkGuard::Forks().load(std::memory_order_relaxed);
    if (forks == forks_) return;
    forks_ = forks;
    for (auto& entry : idle_) {
        for (Idle& idle : entry.second) dropped.push_back(std::move(idle.connection));
    }
    idle_.clear();
    idleCount_ = 0;
}

namespace {

// Closes connections another process opened: without a goodbye, which would
// end that process's TLS session, only this process's copy of the socket.
void Abandon(std::vector<std::unique_ptr<Connection>>& inherited) {
    for (auto& connection : inherited) {
        connection->SetIdle(false);
        connection->Close();
    }
}

}  // namespace

std::unique_ptr<Connection> ConnectionPool::Take(const std::string& key) {
    std::vector<std::unique_ptr<Connection>> inherited;
    std::unique_ptr<Connection> connection = TakeLocked(key, inherited);
    Abandon(inherited);
    return connection;
}

std::unique_ptr<Connection> ConnectionPool::TakeLocked(const std::string& key,
                                                       std::vector<std::unique_ptr<Connection>>& inherited) {
    std::lock_guard<std::mutex> lock(mutex_);
    DropInherited(inherited);
    const auto found = idle_.find(key);
    if (found == idle_.end() || found->second.empty()) return nullptr;
    std::unique_ptr<Connection> connection = std::move(found->second.back().connection);
    found->second.pop_back();
    --idleCount_;
    return connection;
}

std::unique_ptr<Connection> ConnectionPool::Put(const std::string& key, std::unique_ptr<Connection> connection) {
    std::vector<std::unique_ptr<Connection>> inherited;
    std::unique_ptr<Connection> surplus = PutLocked(key, std::move(connection), inherited);
    Abandon(inherited);
    return surplus;
}

std::unique_ptr<Connection> ConnectionPool::PutLocked(const std::string& key, std::unique_ptr<Connection> connection,
                                                      std::vector<std::unique_ptr<Connection>>& inherited) {
    std::lock_guard<std::mutex> lock(mutex_);
    DropInherited(inherited);
    std::vector<Idle>& idle = idle_[key];
    if (idle.size() >= maxIdlePerKey_) return connection;
    idle.push_back({std::move(connection), puts_++});
    if (++idleCount_ <= maxIdle_) return nullptr;

    // Over the maximum: the connection idle longest goes, and keys left
    // without connections are forgotten.
    auto oldest = idle_.end();
    for (auto it = idle_.begin(); it != idle_.end();) {
        if (it->second.empty()) {
            it = idle_.erase(it);
            continue;
        }
        if (oldest == idle_.end() || it->second.front().order < oldest->second.front().order) oldest = it;
        ++it;
    }
    std::unique_ptr<Connection> evicted = std::move(oldest->second.front().connection);
    oldest->second.erase(oldest->second.begin());
    --idleCount_;
    return evicted;
}

std::unique_ptr<Connection> ConnectionPool::TakeSpare() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!spare_.empty()) {
            std::unique_ptr<Connection> connection = std::move(spare_.back());
            spare_.pop_back();
            return connection;
        }
    }
    return std::make_unique<Connection>();
}

void ConnectionPool::PutSpare(std::unique_ptr<Connection> closed) {
    if (closed == nullptr || closed->IsConnected()) return;  // only closed objects; others just go
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.size() < kMaxSpare) spare_.push_back(std::move(closed));
}

}  // namespace QxLnkImpl
