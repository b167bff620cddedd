#include "Scheduler.h"

namespace DaDovuSim {

Scheduler::Scheduler() : thread_([this] { Main(); }) {}

Scheduler::~Scheduler() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Scheduler::Schedule(const void* owner, Clock::time_point when, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto old = pending_.find(owner);
        if (old != pending_.end()) {
            tasks_.erase(old->second);
            pending_.erase(old);
        }
        pending_.emplace(owner, tasks_.emplace(when, std::make_pair(owner, std::move(task))));
    }
    wake_.notify_all();
}

void Scheduler::Forget(const void* owner) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto old = pending_.find(owner);
    if (old != pending_.end()) {
        tasks_.erase(old->second);
        pending_.erase(old);
    }
    if (std::this_thread::get_id() == thread_.get_id()) return;
    idle_.wait(lock, [&] { return running_ != owner; });
}

void Scheduler::Main() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_) break;
        if (tasks_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto first = tasks_.begin();
        if (first->first > Clock::now()) {
            // A copy: the task may be dropped while this waits.
            const Clock::time_point when = first->first;
            wake_.wait_until(lock, when);
            continue;
        }
        std::function<void()> task = std::move(first->second.second);
        running_ = first->second.first;
        pending_.erase(running_);
        tasks_.erase(first);
        lock.unlock();
        task();
        task = nullptr;  // what the task holds goes before its owner may
        lock.lock();
        running_ = nullptr;
        idle_.notify_all();
    }
}

}  // namespace DaDovuSim
