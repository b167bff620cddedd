#include "Interrupt.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <system_error>

namespace DaDovuCtl {

Interrupt::Interrupt() {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) pipe_[0] = pipe_[1] = -1;
}

Interrupt::~Interrupt() {
    for (int fd : pipe_)
        if (fd >= 0) ::close(fd);
}

void Interrupt::Raise(int signal) {
    int none = 0;
    if (!signal_.compare_exchange_strong(none, signal)) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);  // a waiter between its check and its wait sees it
    }
    raised_.notify_all();
    if (pipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(pipe_[1], &byte, 1);
    }
}

bool Interrupt::WaitFor(std::chrono::steady_clock::duration span) {
    std::unique_lock<std::mutex> lock(mutex_);
    return raised_.wait_for(lock, span, [this] { return Raised(); });
}

SignalWatch::SignalWatch(std::function<void(int)> onFirst, std::function<void(int)> onAgain)
    : onFirst_(std::move(onFirst)), onAgain_(std::move(onAgain)) {
    sigemptyset(&watched_);
    sigaddset(&watched_, SIGINT);
    sigaddset(&watched_, SIGTERM);
    const int rc = ::pthread_sigmask(SIG_BLOCK, &watched_, &previous_);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_sigmask");
    try {
        thread_ = std::thread([this] { Watch(); });
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        throw;
    }
}

SignalWatch::~SignalWatch() {
    quit_ = true;
    // A signal aimed at the thread ends its wait; it takes it as the word to end.
    ::pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

const char* SignalWatch::Name(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
    }
}

void SignalWatch::Watch() {
    bool first = true;
    for (;;) {
        int signal = 0;
        if (::sigwait(&watched_, &signal) != 0) continue;
        if (quit_) return;
        if (first) {
            first = false;
            onFirst_(signal);
        } else {
            onAgain_(signal);
        }
    }
}

}  // namespace DaDovuCtl
