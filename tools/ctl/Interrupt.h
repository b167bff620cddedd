// SIGINT and SIGTERM during a run: the signals are blocked in every thread and
// taken by one thread of their own (sigwait), which tells the run; no signal
// handler runs, so nothing async-signal-unsafe can happen in one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <signal.h>

namespace DaDovuCtl {

// Whether the run was interrupted, and by which signal. Thread-safe.
class Interrupt {
public:
    Interrupt();
    ~Interrupt();
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    // Records `signal` (the first one counts) and wakes every waiter.
    void Raise(int signal);
    bool Raised() const { return signal_.load() != 0; }
    int Signal() const { return signal_.load(); }
    // Waits `span`, or less when interrupted; returns whether it was.
    bool WaitFor(std::chrono::steady_clock::duration span);
    // A descriptor that becomes readable, and stays so, once interrupted
    // (for poll() beside another descriptor); -1 when none could be made.
    int WakeDescriptor() const { return pipe_[0]; }

private:
    std::atomic<int> signal_{0};
    std::mutex mutex_;
    std::condition_variable raised_;
    int pipe_[2] = {-1, -1};
};

// Blocks SIGINT and SIGTERM in the calling thread (and so in every thread
// started from it later: build it before any other thread starts) and takes
// them on a thread of its own: the first one calls `onFirst`, every later one
// `onAgain`, on that thread. The destructor ends the thread and restores the
// signal mask, so that a signal arriving afterwards has its default effect.
class SignalWatch {
public:
    SignalWatch(std::function<void(int)> onFirst, std::function<void(int)> onAgain);
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // "SIGINT", "SIGTERM", or "signal N".
    static const char* Name(int signal);

private:
    void Watch();

    std::function<void(int)> onFirst_, onAgain_;
    sigset_t watched_{};
    sigset_t previous_{};
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

}  // namespace DaDovuCtl
