// floor_client: the least a client can do for a request. It writes a request
// prepared before the clock starts on one kept-alive socket per thread (or a
// new socket per request with --close) and reads the answer by its
// Content-Length, with no XML work at all. What DaDovu costs beyond it is the
// price of building, sending and understanding SOAP.
//
//   floor_client --uri URI [--scenario start|status|statusaslist] ...   (options: BenchRun.h)
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchRun.h"

namespace {

struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string hostPort;
    std::string path;
};

Endpoint Resolve(const std::string& uri) {
    const std::string scheme = "http://";
    if (uri.compare(0, scheme.size(), scheme) != 0) throw std::runtime_error("the floor speaks plain http only");
    const std::size_t slash = uri.find('/', scheme.size());
    Endpoint endpoint;
    endpoint.hostPort = uri.substr(scheme.size(), slash - scheme.size());
    endpoint.path = slash == std::string::npos ? "/" : uri.substr(slash);
    const std::size_t colon = endpoint.hostPort.rfind(':');
    std::string host = endpoint.hostPort.substr(0, colon);
    const std::string port = colon == std::string::npos ? "80" : endpoint.hostPort.substr(colon + 1);
    if (!host.empty() && host.front() == '[') host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr)
        throw std::runtime_error("cannot resolve " + endpoint.hostPort);
    std::memcpy(&endpoint.address, found->ai_addr, found->ai_addrlen);
    endpoint.length = found->ai_addrlen;
    freeaddrinfo(found);
    return endpoint;
}

std::string PrepareRequest(const Bench::Config& config, const Endpoint& endpoint) {
    std::string arguments;
    if (config.scenario == "start") {
        arguments = "<target>" + config.target + "</target><boot>false</boot><async>false</async>";
    } else {
        arguments = "<level>" + std::to_string(config.level) + "</level><target>" + config.target + "</target>";
    }
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
        "<m:" + config.scenario + " xmlns:m=\"urn:dadovu:control\">" + arguments + "</m:" + config.scenario +
        "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return "POST " + endpoint.path + " HTTP/1.1\r\nHost: " + endpoint.hostPort +
           "\r\nContent-Type: text/xml; charset=utf-8\r\nSOAPAction: \"urn:dadovu:control#" + config.scenario +
           "\"\r\nContent-Length: " + std::to_string(body.size()) + (config.close ? "\r\nConnection: close" : "") +
           "\r\n\r\n" + body;
}

class Socket {
public:
    Socket() = default;
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    void Open(const Endpoint& endpoint) {
        fd_ = socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) != 0)
            throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    void SendAll(const std::string& data) const {
        for (std::size_t sent = 0; sent < data.size();) {
            const ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error(std::string("send: ") + std::strerror(errno));
            sent += static_cast<std::size_t>(n);
        }
    }
    // Appends what arrives to `buffer`; 0 at the end of the stream.
    std::size_t Receive(std::vector<char>& buffer, std::size_t& used) const {
        if (buffer.size() - used < 16384) buffer.resize(buffer.size() * 2);
        for (;;) {
            const ssize_t n = recv(fd_, buffer.data() + used, buffer.size() - used, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
            used += static_cast<std::size_t>(n);
            return static_cast<std::size_t>(n);
        }
    }

private:
    int fd_ = -1;
};

// The length of the whole response once its head has arrived, or 0 before.
std::size_t ResponseLength(const std::vector<char>& buffer, std::size_t used) {
    static const char kEnd[] = "\r\n\r\n";
    const char* begin = buffer.data();
    const char* headEnd = static_cast<const char*>(memmem(begin, used, kEnd, 4));
    if (headEnd == nullptr) return 0;
    static const char kField[] = "\r\ncontent-length:";
    for (const char* p = begin; p + sizeof(kField) - 1 < headEnd; ++p) {
        if (strncasecmp(p, kField, sizeof(kField) - 1) == 0)
            return static_cast<std::size_t>(headEnd + 4 - begin) +
                   std::strtoul(p + sizeof(kField) - 1, nullptr, 10);
    }
    throw std::runtime_error("a response without Content-Length");
}

}  // namespace

int main(int argc, char** argv) {
    const Bench::Config config = Bench::ParseArgs(argc, argv, "floor");
    Endpoint endpoint;
    std::string request;
    try {
        endpoint = Resolve(config.uri);
        request = PrepareRequest(config, endpoint);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "floor_client: %s\n", error.what());
        return 1;
    }
    const long records = config.scenario == "statusaslist" ? config.expect : 1;

    return Bench::Run(config, [&]() -> Bench::Request {
        auto socket = std::make_shared<Socket>();
        auto buffer = std::make_shared<std::vector<char>>(65536);
        return [&, socket, buffer] {
            if (!socket->IsOpen()) socket->Open(endpoint);
            socket->SendAll(request);
            std::size_t used = 0;
            std::size_t length = 0;
            while (length == 0 || used < length) {
                if (socket->Receive(*buffer, used) == 0) throw std::runtime_error("the connection closed early");
                if (length == 0) length = ResponseLength(*buffer, used);
            }
            if (std::memcmp(buffer->data(), "HTTP/1.1 200", 12) != 0) throw std::runtime_error("not a 200 answer");
            if (config.close) socket->Close();
            return records;
        };
    });
}
