// A plain-socket HTTP/1.1 client for tests that need what a client library
// hides: thousands of connections held open at once, a chosen source
// address, a connection that is refused or never answered, "Expect:
// 100-continue". Loopback only; every read is bounded by a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace SoapTest {

class RawConnection {
public:
    // Connects to `host`:`port` (IPv4 addresses), from `source` (port 0)
    // when given. Connected() tells whether it did, Error() the errno if not.
    RawConnection(const std::string& host, int port, const std::string& source = "") {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        const int yes = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        if (!source.empty()) {
            ::inet_pton(AF_INET, source.c_str(), &address.sin_addr);
            if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                error_ = errno;
                return;
            }
        }
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
            error_ = EINVAL;
            return;
        }
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) error_ = errno;
    }
    ~RawConnection() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Connected() const { return fd_ >= 0 && error_ == 0; }
    int Error() const { return error_; }

    bool Send(std::string_view data) {
        while (!data.empty()) {
            const ssize_t sent = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) return false;
            data.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // One response: its head and as many body bytes as its Content-Length
    // says; nothing when none comes whole within `timeout` or the connection
    // ends first.
    std::optional<std::string> ReadResponse(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::size_t head = buffer_.find("\r\n\r\n");
            if (head != std::string::npos) {
                std::size_t length = 0;
                const std::size_t field = Lower(buffer_.substr(0, head)).find("\r\ncontent-length:");
                if (field != std::string::npos) length = std::strtoul(buffer_.c_str() + field + 17, nullptr, 10);
                if (buffer_.size() >= head + 4 + length) {
                    std::string response = buffer_.substr(0, head + 4 + length);
                    buffer_.erase(0, head + 4 + length);
                    return response;
                }
            }
            if (!Fill(deadline)) return std::nullopt;
        }
    }

    // Whether the peer ended the connection (an orderly close or a reset)
    // within `timeout`, reading and dropping what came before.
    bool Closed(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Fill(deadline)) buffer_.clear();
        return closed_;
    }

private:
    int fd_ = -1;
    int error_ = 0;
    bool closed_ = false;
    std::string buffer_;

    static std::string Lower(std::string text) {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        return text;
    }

    // Reads what comes before `deadline`; false on timeout or at the end.
    bool Fill(std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd entry{fd_, POLLIN, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            char chunk[16384];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                closed_ = true;
                return false;
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
            return true;
        }
    }
};

// A POST of `body` to `path` with a Host header, kept alive.
inline std::string PostRequest(const std::string& host, const std::string& path, const std::string& body,
                               const std::string& extraHeaders = "") {
    return "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: text/xml; charset=utf-8\r\n" +
           extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The body of a response as ReadResponse returns it.
inline std::string ResponseBody(const std::string& response) {
    const std::size_t head = response.find("\r\n\r\n");
    return head == std::string::npos ? std::string() : response.substr(head + 4);
}

}  // namespace SoapTest
