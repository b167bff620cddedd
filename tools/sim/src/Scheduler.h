// A thread that runs timed tasks: the simulated start and stop times of
// components pass here. One scheduler can drive many command engines (a
// simulated fleet has one for all of its nodes), so a command that waits
// for a component's start time holds no thread.
//
// Each owner (an engine) has at most one task pending; scheduling another
// replaces it. Tasks run one at a time, in the order of their times.
//
// Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace DaDovuSim {

class Scheduler {
public:
    using Clock = std::chrono::steady_clock;

    Scheduler();
    ~Scheduler();  // drops the pending tasks and joins the thread
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Runs `task` on the scheduler's thread at `when` (at once when it has
    // passed), in place of `owner`'s pending task if it has one.
    void Schedule(const void* owner, Clock::time_point when, std::function<void()> task);

    // Drops `owner`'s pending task and, unless called from a task, waits for
    // a task of `owner` that is running: afterwards no task of `owner` runs.
    void Forget(const void* owner);

private:
    using Queue = std::multimap<Clock::time_point, std::pair<const void*, std::function<void()>>>;

    std::mutex mutex_;
    std::condition_variable wake_;  // the thread: a task was scheduled, or stopping
    std::condition_variable idle_;  // Forget: the running task ended
    Queue tasks_;
    std::unordered_map<const void*, Queue::iterator> pending_;  // each owner's task
    const void* running_ = nullptr;  // whose task runs now
    bool stopping_ = false;
    std::thread thread_;  // last: started once everything above exists

    void Main();
};

}  // namespace DaDovuSim
