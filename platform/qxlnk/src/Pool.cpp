// The pool of idle kept-alive connections.

#include "Pool.h"

namespace QxLnkImpl {

ConnectionPool::~ConnectionPool() = default;

std::unique_ptr<Connection> ConnectionPool::Take(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = idle_.find(key);
    if (found == idle_.end() || found->second.empty()) return nullptr;
    std::unique_ptr<Connection> connection = std::move(found->second.back().connection);
    found->second.pop_back();
    --idleCount_;
    return connection;
}

std::unique_ptr<Connection> ConnectionPool::Put(const std::string& key, std::unique_ptr<Connection> connection) {
    std::lock_guard<std::mutex> lock(mutex_);
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
