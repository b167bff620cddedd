// Self-tests of the test daemons: what the other suites rely on but cannot see
// from a client's side (how requests are read, who closes connections,
// stopping while clients are connected). The replies' forms are seen by every
// suite that parses them.
#include "TestDaemon.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace {

using SoapTest::RawDaemon;
using SoapTest::RecordedRequest;
using SoapTest::Reply;
using SoapTest::TestDaemon;
using namespace std::chrono_literals;

const std::string kPath = "/dadovu.ctrl.server/lnkrpcserver";
std::string Call(const std::string& method, const std::string& header = "", const std::string& args = "") {
    return "<?xml version=\"1.0\"?><S:Envelope xmlns:S=\"http://schemas.xmlsoap.org/soap/envelope/\""
           " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">" + header + "<S:Body><m:" + method +
           " xmlns:m=\"urn:ctl\">" + args + "</m:" + method + "></S:Body></S:Envelope>";
}

std::string HttpPost(const std::string& body) {
    return "POST " + kPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// A blocking TCP connection to 127.0.0.1, for checks at the byte level.
class RawConnection {
public:
    explicit RawConnection(int port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~RawConnection() { close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    void Send(const std::string& data) const {
        EXPECT_EQ(send(fd_, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
    }
    // Appends what arrives to `out` until the peer closes the connection
    // (true) or nothing more arrives for `quiet` (false).
    bool ReadToEnd(std::string& out, std::chrono::milliseconds quiet) const {
        const timeval limit{quiet.count() / 1000, quiet.count() % 1000 * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char buffer[4096];
        for (;;) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return n == 0 || errno != EAGAIN;
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

TEST(TestDaemon, RecordsTheRequestAsSent) {
    TestDaemon daemon;
    httplib::Client client("127.0.0.1", daemon.Port());
    client.set_keep_alive(true);
    const std::string nested = "<item xsi:type=\"xsd:string\">x &amp; y</item><item/>";
    const std::string body =
        Call("start", "<S:Header><h:TargetID xmlns:h=\"urn:hdr\">node 7</h:TargetID></S:Header>",
             "<target xsi:type=\"xsd:string\">a &lt;b&gt;</target><list xsi:type=\"m:cclist\">" + nested +
                 "</list><bare>1</bare>");
    ASSERT_TRUE(client.Post(kPath.c_str(), {{"X-Twice", "a"}, {"X-Twice", "b"}}, body, "text/xml"));
    ASSERT_TRUE(client.Post(kPath.c_str(), "<a><b></a>", "text/xml"));

    const std::vector<RecordedRequest> requests = daemon.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const RecordedRequest& r = requests[0];
    EXPECT_EQ(r.path, kPath);
    EXPECT_EQ(r.body, body);
    EXPECT_EQ(r.Header("x-twice") + "|" + r.Header("content-type"), "a, b|text/xml");
    EXPECT_TRUE(r.xmlWellFormed);
    EXPECT_EQ(r.method + " " + r.methodNamespace, "start urn:ctl");
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(r.args, (Pairs{{"target", "a <b>"}, {"list", nested}, {"bare", "1"}}));
    EXPECT_EQ(r.argTypes, (Pairs{{"target", "xsd:string"}, {"list", "m:cclist"}, {"bare", ""}}));
    EXPECT_EQ(r.targetId, "node 7");
    EXPECT_FALSE(requests[1].xmlWellFormed);
    EXPECT_EQ(requests[1].method, "");
    EXPECT_FALSE(requests[1].targetId.has_value());
    EXPECT_EQ(daemon.ConnectionCount(), 1u);
    daemon.ClearRecords();
    EXPECT_EQ(daemon.RequestCount() + daemon.ConnectionCount(), 0u);
}

TEST(TestDaemon, ClosesAConnectionWhenAskedAndEveryConnectionOnStop) {
    TestDaemon daemon;
    daemon.Enqueue(Reply::Result(3).CloseConnection());
    RawConnection closing(daemon.Port());
    RawConnection idle(daemon.Port());
    closing.Send(HttpPost(Call("start")));
    std::string response;
    EXPECT_TRUE(closing.ReadToEnd(response, 10s)) << "the daemon kept the connection open";
    EXPECT_NE(response.find("\r\nConnection: close\r\n"), std::string::npos) << response;

    idle.Send(HttpPost(Call("start")));
    response.clear();
    // Each read waits for 300 ms of silence after the answer: the connection must stay open.
    for (int i = 0; response.find("</soap:Envelope>") == std::string::npos; ++i) {
        ASSERT_LT(i, 30) << "no answer: " << response;
        ASSERT_FALSE(idle.ReadToEnd(response, 300ms)) << "the daemon closed a kept-alive connection";
    }
    // Stop must not wait for the idle connection's keep-alive timeout (30 s).
    auto stopped = std::async(std::launch::async, [&daemon] { daemon.Stop(); });
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready) << "Stop waited for the clients";
    EXPECT_TRUE(idle.ReadToEnd(response, 10s));
}

TEST(RawDaemon, ActsOnlyOnTheWholeRequestAndStopsWithClientsConnected) {
    const std::string reply = RawDaemon::HttpResponse("<ok/>");
    const std::string request = HttpPost(Call("start"));
    RawDaemon verbatim(RawDaemon::Mode::Verbatim, reply);
    RawConnection client(verbatim.Port());
    client.Send(request.substr(0, request.size() - 5));
    std::string got;
    EXPECT_FALSE(client.ReadToEnd(got, 200ms));
    EXPECT_EQ(got, "") << "answered before the whole body arrived";
    client.Send(request.substr(request.size() - 5));
    EXPECT_TRUE(client.ReadToEnd(got, 10s));
    EXPECT_EQ(got, reply);

    auto silent = std::make_unique<RawDaemon>(RawDaemon::Mode::NeverAnswer, reply);
    RawConnection waiting(silent->Port());
    RawConnection halfSent(silent->Port());
    waiting.Send(request);
    halfSent.Send("POST / HTTP/1.1\r\nHost");
    EXPECT_FALSE(waiting.ReadToEnd(got, 200ms));
    auto stopped = std::async(std::launch::async, [&silent] { silent.reset(); });
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready) << "Stop waited for the clients";
    EXPECT_TRUE(waiting.ReadToEnd(got, 10s));
    EXPECT_TRUE(halfSent.ReadToEnd(got, 10s));
    EXPECT_EQ(got, reply) << "the silent daemon sent something";
}

}  // namespace
