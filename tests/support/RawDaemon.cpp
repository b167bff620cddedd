#include "TestDaemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace SoapTest {

namespace {

using Clock = std::chrono::steady_clock;

// Every wait is cut into slices this long so that Stop() is noticed promptly.
constexpr int kSliceMs = 20;
// How long a closing connection waits for its client's end of file, so that
// the close is a FIN rather than an RST caused by unread input.
constexpr std::chrono::milliseconds kDrainTime{200};
constexpr std::size_t kPartialUnset = std::numeric_limits<std::size_t>::max();

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

}  // namespace

struct RawDaemon::Impl {
    Mode mode;
    std::string reply;
    std::atomic<std::size_t> partialBytes{kPartialUnset};
    std::atomic<long long> dripMs{50};
    std::atomic<long long> idleCloseMs{200};
    std::function<std::vector<std::string>(std::size_t)> pieces;
    std::atomic<long long> piecePauseUs{1000};
    std::atomic<std::size_t> answered{0};

    int listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> requests{0};
    std::atomic<std::size_t> connections{0};
    std::thread acceptThread;
    // One per connection, joined when the daemon is destroyed (a daemon serves
    // the few connections of one test). Touched by the accept thread only.
    std::vector<std::thread> workers;

    Impl(Mode m, std::string r) : mode(m), reply(std::move(r)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listenFd, 128) != 0 || getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            const std::string error = std::strerror(errno);
            if (listenFd >= 0) close(listenFd);
            throw std::runtime_error("RawDaemon: cannot listen on 127.0.0.1: " + error);
        }
        port = ntohs(addr.sin_port);
        acceptThread = std::thread([this] { AcceptLoop(); });
    }

    ~Impl() {
        stopping = true;
        acceptThread.join();
        for (auto& worker : workers) worker.join();
        close(listenFd);
    }

    void AcceptLoop() {
        while (WaitFor(listenFd, POLLIN)) {
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                ++connections;
                workers.emplace_back([this, fd] {
                    Serve(fd);
                    close(fd);
                });
            }
        }
    }

    // Waits up to one slice for `events` on `fd` (just sleeps for a negative
    // `fd`); false when stopping.
    bool WaitFor(int fd, short events) const {
        pollfd p{fd, events, 0};
        poll(&p, 1, kSliceMs);
        return !stopping;
    }

    // Reads one complete request (head, then its Content-Length body) into
    // `pending`, leaving bytes of any next request there. False when the
    // client closed, the daemon stops, or no byte came before `idleUntil`.
    bool ReadRequest(int fd, std::string& pending, Clock::time_point idleUntil) {
        bool counted = false;
        for (;;) {
            const std::size_t headEnd = pending.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                if (!counted) ++requests;
                counted = true;
                const char* length = strcasestr(pending.c_str(), "\r\ncontent-length:");
                const bool hasLength = length != nullptr && length < pending.c_str() + headEnd;
                const unsigned long long bodySize = hasLength ? std::strtoull(length + 17, nullptr, 10) : 0;
                if (pending.size() - headEnd - 4 >= bodySize) {
                    pending.erase(0, headEnd + 4 + bodySize);
                    return true;
                }
            }
            if (!WaitFor(fd, POLLIN)) return false;
            char buffer[8192];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                pending.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || !WouldBlock() || (pending.empty() && Clock::now() >= idleUntil)) {
                return false;
            }
        }
    }

    bool SendAll(int fd, const char* data, std::size_t size) const {
        while (size > 0) {
            const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= static_cast<std::size_t>(n);
            } else if (n == 0 || !WouldBlock() || !WaitFor(fd, POLLOUT)) {
                return false;
            }
        }
        return true;
    }

    // Discards the client's input until it closes, `until` passes or we stop.
    void Drain(int fd, Clock::time_point until) const {
        char buffer[4096];
        while (Clock::now() < until && WaitFor(fd, POLLIN)) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && !WouldBlock())) return;
        }
    }

    // Answers requests with their scripted pieces while the script has some.
    void ServePieces(int fd, std::string& pending) {
        do {
            const std::vector<std::string> answer = pieces ? pieces(answered++) : std::vector<std::string>();
            if (answer.empty()) break;
            for (std::size_t i = 0; i < answer.size(); ++i) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::microseconds(piecePauseUs.load()));
                if (answer[i].empty()) {  // the end of the answer is the end of the connection
                    shutdown(fd, SHUT_WR);
                    return Drain(fd, Clock::now() + kDrainTime);
                }
                if (!SendAll(fd, answer[i].data(), answer[i].size())) return;
            }
        } while (ReadRequest(fd, pending, Clock::now() + std::chrono::milliseconds(idleCloseMs.load())));
        shutdown(fd, SHUT_WR);
        Drain(fd, Clock::now() + kDrainTime);
    }

    void Serve(int fd) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string pending;
        if (!ReadRequest(fd, pending, Clock::time_point::max())) return;
        if (mode == Mode::NeverAnswer) return Drain(fd, Clock::time_point::max());
        if (mode == Mode::DropAfterRequest) {
            // A zero linger time makes close() reset the connection.
            const linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            return;
        }
        if (mode == Mode::Pieces) return ServePieces(fd, pending);
        const std::size_t wanted = mode != Mode::Partial ? reply.size() : partialBytes.load();
        const std::size_t count = std::min(wanted == kPartialUnset ? reply.size() / 2 : wanted, reply.size());
        // Drip sends one byte at a time, pausing before each but the first.
        const std::size_t piece = mode == Mode::Drip ? 1 : std::max<std::size_t>(count, 1);
        do {
            for (std::size_t sent = 0; sent < count; sent += piece) {
                const auto next = Clock::now() + std::chrono::milliseconds(sent > 0 ? dripMs.load() : 0);
                while (Clock::now() < next) {
                    if (!WaitFor(-1, 0)) return;
                }
                if (!SendAll(fd, reply.data() + sent, std::min(piece, count - sent))) return;
            }
        } while (mode == Mode::CloseIdle &&
                 ReadRequest(fd, pending, Clock::now() + std::chrono::milliseconds(idleCloseMs.load())));
        shutdown(fd, SHUT_WR);
        Drain(fd, Clock::now() + kDrainTime);
    }
};

RawDaemon::RawDaemon(Mode mode, std::string reply) : impl_(std::make_unique<Impl>(mode, std::move(reply))) {}

RawDaemon::~RawDaemon() = default;

void RawDaemon::SetPartialBytes(std::size_t bytes) { impl_->partialBytes = bytes; }

void RawDaemon::SetDripInterval(std::chrono::milliseconds interval) { impl_->dripMs = interval.count(); }

void RawDaemon::SetIdleClose(std::chrono::milliseconds after) { impl_->idleCloseMs = after.count(); }

void RawDaemon::SetPieces(std::function<std::vector<std::string>(std::size_t)> pieces) {
    impl_->pieces = std::move(pieces);
}

void RawDaemon::SetPiecePause(std::chrono::microseconds pause) { impl_->piecePauseUs = pause.count(); }

int RawDaemon::Port() const { return impl_->port; }

std::string RawDaemon::Uri(const std::string& path) const {
    const std::string slash = !path.empty() && path.front() != '/' ? "/" : "";
    return "http://127.0.0.1:" + std::to_string(impl_->port) + slash + path;
}

std::size_t RawDaemon::RequestCount() const { return impl_->requests; }

std::size_t RawDaemon::ConnectionCount() const { return impl_->connections; }

std::string RawDaemon::HttpResponse(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace SoapTest
