// A blocking-free TCP client for the daemons' self-tests: connects to
// 127.0.0.1, sends bytes and reads with a timeout. Not thread-safe.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace SoapTest {

class RawTestClient {
public:
    enum class End { Closed, Reset, Timeout };

    // Throws std::runtime_error when it cannot connect.
    explicit RawTestClient(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (fd_ < 0) throw std::runtime_error("socket failed");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            throw std::runtime_error("connect failed");
        }
    }
    ~RawTestClient() { close(fd_); }
    RawTestClient(const RawTestClient&) = delete;
    RawTestClient& operator=(const RawTestClient&) = delete;

    // Whether all of `data` was sent.
    bool Send(const std::string& data) const {
        return send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }

    // Appends what arrives to `out` until the peer closes or resets the
    // connection, or `timeout` passes.
    End ReadToEnd(std::string& out, std::chrono::milliseconds timeout) const {
        return Read(out, timeout, std::string::npos);
    }

    // Appends to `out` until it holds at least `size` bytes; Timeout when it
    // got them (or time ran out) with the connection still open.
    End ReadAtLeast(std::string& out, std::size_t size, std::chrono::milliseconds timeout) const {
        return Read(out, timeout, size);
    }

private:
    End Read(std::string& out, std::chrono::milliseconds timeout, std::size_t enough) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < enough) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return End::Timeout;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n == 0) return End::Closed;
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return errno == ECONNRESET ? End::Reset : End::Closed;
            }
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return End::Timeout;
    }

    int fd_;
};

}  // namespace SoapTest
