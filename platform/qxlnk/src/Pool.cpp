// The pool of idle kept-alive connections.

#include "Pool.h"

namespace QxLnkImpl {

ConnectionPool::~ConnectionPool() = default;

std::unique_ptr<Connection> ConnectionPool::Take(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = idle_.find(key);
    if (found == idle_.end() || found->second.empty()) return nullptr;
    std::unique_ptr<Connection> connection = std::move(found->second.back());
    found->second.pop_back();
    return connection;
}

std::unique_ptr<Connection> ConnectionPool::Put(const std::string& key, std::unique_ptr<Connection> connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::unique_ptr<Connection>>& idle = idle_[key];
    if (idle.size() >= maxIdlePerKey_) return connection;
    idle.push_back(std::move(connection));
    return nullptr;
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
