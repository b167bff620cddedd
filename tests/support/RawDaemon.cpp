#include "TestDaemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <list>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace SoapTest {

namespace {

// Every wait is cut into slices this long so that Stop() is noticed promptly.
constexpr int kSliceMs = 20;
// How long a closing connection waits for its client's end of file, so that
// the close is a FIN rather than an RST caused by unread input.
constexpr std::chrono::milliseconds kDrainTime{200};
constexpr std::size_t kPartialUnset = std::numeric_limits<std::size_t>::max();

// Closes a socket on every path out of its owner.
class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string ToLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The value of header `lowerName` in an HTTP head, "" when absent.
std::string HeadValue(const std::string& head, const std::string& lowerName) {
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head.size()) {
        const std::size_t start = pos + 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && ToLower(line.substr(0, colon)) == lowerName) {
            const std::size_t first = line.find_first_not_of(" \t", colon + 1);
            const std::size_t last = line.find_last_not_of(" \t");
            return first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
        }
        pos = end;
    }
    return std::string();
}

// The end of a chunked body that starts at `pos` in `data` (just past its
// trailers), or npos while it is incomplete.
std::size_t ChunkedEnd(const std::string& data, std::size_t pos) {
    for (;;) {
        const std::size_t lineEnd = data.find("\r\n", pos);
        if (lineEnd == std::string::npos) return std::string::npos;
        const std::string sizeText = data.substr(pos, lineEnd - pos);
        std::size_t size = 0;
        std::size_t digits = 0;
        for (const char c : sizeText) {
            const int value = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                              : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                              : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                                          : -1;
            if (value < 0 || digits == 15) break;  // chunk extensions follow, or an absurd size
            size = size * 16 + static_cast<std::size_t>(value);
            ++digits;
        }
        if (size == 0) {
            if (data.compare(lineEnd + 2, 2, "\r\n") == 0) return lineEnd + 4;
            const std::size_t trailersEnd = data.find("\r\n\r\n", lineEnd + 2);
            return trailersEnd == std::string::npos ? std::string::npos : trailersEnd + 4;
        }
        pos = lineEnd + 2 + size + 2;
        if (pos > data.size()) return std::string::npos;
    }
}

}  // namespace

struct RawDaemon::Impl {
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    Mode mode;
    std::string reply;
    std::atomic<std::size_t> partialBytes{kPartialUnset};
    std::atomic<long long> dripMs{50};
    std::atomic<long long> idleCloseMs{200};

    int listenFd = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> requests{0};
    std::atomic<std::size_t> connections{0};
    std::thread acceptThread;
    std::list<Worker> workers;  // touched by the accept thread only, then by Stop()

    Impl(Mode m, std::string r) : mode(m), reply(std::move(r)) {}

    void Start() {
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listenFd < 0) throw std::runtime_error("RawDaemon: socket failed");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd, 128) != 0 ||
            getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            close(listenFd);
            throw std::runtime_error(std::string("RawDaemon: cannot listen on 127.0.0.1: ") + std::strerror(errno));
        }
        port = ntohs(addr.sin_port);
        acceptThread = std::thread([this] { AcceptLoop(); });
    }

    void Stop() {
        if (stopping.exchange(true)) return;
        acceptThread.join();
        for (auto& worker : workers) worker.thread.join();
        workers.clear();
        close(listenFd);
    }

    void AcceptLoop() {
        while (!stopping) {
            pollfd p{listenFd, POLLIN, 0};
            if (poll(&p, 1, kSliceMs) > 0) {
                const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd >= 0) {
                    ++connections;
                    Worker& worker = workers.emplace_back();
                    worker.thread = std::thread([this, fd, &worker] {
                        Serve(fd);
                        worker.done = true;
                    });
                }
            }
            for (auto it = workers.begin(); it != workers.end();) {
                if (it->done) {
                    it->thread.join();
                    it = workers.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    // Waits up to one slice for `events` on `fd`; false when stopping.
    bool WaitFor(int fd, short events) const {
        pollfd p{fd, events, 0};
        poll(&p, 1, kSliceMs);
        return !stopping;
    }

    // Reads one complete request (head, then a Content-Length or chunked
    // body) into `pending`, leaving bytes of any next request there. With
    // `idle` set, gives up when no byte of the request came within it. False
    // when the client closed, the wait gave up, or the daemon stops.
    bool ReadRequest(int fd, std::string& pending, std::optional<std::chrono::milliseconds> idle) {
        const auto idleDeadline = std::chrono::steady_clock::now() + idle.value_or(std::chrono::milliseconds(0));
        bool headCounted = false;
        for (;;) {
            const std::size_t headEnd = pending.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                if (!headCounted) {
                    headCounted = true;
                    ++requests;
                }
                const std::string head = pending.substr(0, headEnd + 4);
                std::size_t end = std::string::npos;
                if (ToLower(HeadValue(head, "transfer-encoding")).find("chunked") != std::string::npos) {
                    end = ChunkedEnd(pending, head.size());
                } else {
                    const std::string length = HeadValue(head, "content-length");
                    const unsigned long long bodySize = length.empty() ? 0 : std::strtoull(length.c_str(), nullptr, 10);
                    if (pending.size() - head.size() >= bodySize) end = head.size() + bodySize;
                }
                if (end != std::string::npos) {
                    pending.erase(0, end);
                    return true;
                }
            }
            if (!WaitFor(fd, POLLIN)) return false;
            char buffer[8192];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                pending.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                return false;
            } else if (idle && pending.empty() && std::chrono::steady_clock::now() >= idleDeadline) {
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
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                if (!WaitFor(fd, POLLOUT)) return false;
            } else {
                return false;
            }
        }
        return true;
    }

    // Sleeps `duration` in slices; false when stopping.
    bool Sleep(std::chrono::milliseconds duration) const {
        const auto deadline = std::chrono::steady_clock::now() + duration;
        while (!stopping) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::milliseconds(0)) return true;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                left, std::chrono::milliseconds(kSliceMs)));
        }
        return false;
    }

    // Sends FIN and waits briefly for the client's, discarding its input.
    void CloseGracefully(int fd) const {
        shutdown(fd, SHUT_WR);
        const auto deadline = std::chrono::steady_clock::now() + kDrainTime;
        while (std::chrono::steady_clock::now() < deadline && WaitFor(fd, POLLIN)) {
            char buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
        }
    }

    void Serve(int rawFd) {
        const Socket socket(rawFd);
        const int fd = socket.get();
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string pending;
        if (!ReadRequest(fd, pending, std::nullopt)) return;

        switch (mode) {
            case Mode::NeverAnswer:
                // Swallows whatever else comes until the client leaves or we stop.
                while (WaitFor(fd, POLLIN)) {
                    char buffer[4096];
                    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
                }
                return;
            case Mode::DropAfterRequest: {
                // A zero linger time makes close() reset the connection.
                const linger reset{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                return;
            }
            case Mode::Partial: {
                const std::size_t wanted = partialBytes;
                const std::size_t count = std::min(wanted == kPartialUnset ? reply.size() / 2 : wanted, reply.size());
                if (SendAll(fd, reply.data(), count)) CloseGracefully(fd);
                return;
            }
            case Mode::Drip:
                for (std::size_t i = 0; i < reply.size(); ++i) {
                    if (i > 0 && !Sleep(std::chrono::milliseconds(dripMs.load()))) return;
                    if (!SendAll(fd, reply.data() + i, 1)) return;
                }
                CloseGracefully(fd);
                return;
            case Mode::Verbatim:
                if (SendAll(fd, reply.data(), reply.size())) CloseGracefully(fd);
                return;
            case Mode::CloseIdle:
                do {
                    if (!SendAll(fd, reply.data(), reply.size())) return;
                } while (ReadRequest(fd, pending, std::chrono::milliseconds(idleCloseMs.load())));
                if (!stopping) CloseGracefully(fd);
                return;
        }
    }
};

RawDaemon::RawDaemon(Mode mode, std::string reply) : impl_(std::make_unique<Impl>(mode, std::move(reply))) {
    impl_->Start();
}

RawDaemon::~RawDaemon() { impl_->Stop(); }

void RawDaemon::SetPartialBytes(std::size_t bytes) { impl_->partialBytes = bytes; }

void RawDaemon::SetDripInterval(std::chrono::milliseconds interval) { impl_->dripMs = interval.count(); }

void RawDaemon::SetIdleClose(std::chrono::milliseconds after) { impl_->idleCloseMs = after.count(); }

int RawDaemon::Port() const { return impl_->port; }

std::string RawDaemon::Uri(const std::string& path) const {
    std::string uri = "http://127.0.0.1:" + std::to_string(impl_->port);
    if (!path.empty() && path.front() != '/') uri += '/';
    return uri + path;
}

std::size_t RawDaemon::RequestCount() const { return impl_->requests; }

std::size_t RawDaemon::ConnectionCount() const { return impl_->connections; }

std::string RawDaemon::HttpResponse(const std::string& body, const std::string& extraHeaders) {
    std::string headers = extraHeaders;
    if (!headers.empty() && (headers.size() < 2 || headers.compare(headers.size() - 2, 2, "\r\n") != 0)) {
        headers += "\r\n";
    }
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body;
}

}  // namespace SoapTest
