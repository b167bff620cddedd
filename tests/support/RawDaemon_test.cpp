// Self-tests of the byte-level fault daemon.
#include "TestDaemon.h"

#include "RawTestClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

using SoapTest::RawDaemon;
using SoapTest::RawTestClient;
using End = SoapTest::RawTestClient::End;
using namespace std::chrono_literals;

const std::string kBody = "<?xml version=\"1.0\"?><e/>";

std::string Request(const std::string& body = kBody) {
    return "POST /dadovu.ctrl.server/lnkrpcserver HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Polls `condition` for up to 10 s.
template <class Condition>
bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(RawDaemon, HttpResponseIsACompleteResponse) {
    EXPECT_EQ(RawDaemon::HttpResponse("abc"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(RawDaemon::HttpResponse("", "Connection: close"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n");
}

TEST(RawDaemon, UriNamesItsPort) {
    RawDaemon daemon(RawDaemon::Mode::Verbatim);
    EXPECT_GT(daemon.Port(), 0);
    EXPECT_EQ(daemon.Uri("/p"), "http://127.0.0.1:" + std::to_string(daemon.Port()) + "/p");
}

TEST(RawDaemon, VerbatimAnswersOnlyOnceTheWholeBodyArrived) {
    const std::string reply = RawDaemon::HttpResponse("<ok/>");
    RawDaemon daemon(RawDaemon::Mode::Verbatim, reply);
    RawTestClient client(daemon.Port());
    const std::string request = Request();
    ASSERT_TRUE(client.Send(request.substr(0, request.size() - 5)));
    std::string got;
    EXPECT_EQ(client.ReadToEnd(got, 200ms), End::Timeout);
    EXPECT_EQ(got, "");
    EXPECT_TRUE(Eventually([&] { return daemon.RequestCount() == 1u; }));  // the head is complete
    ASSERT_TRUE(client.Send(request.substr(request.size() - 5)));
    EXPECT_EQ(client.ReadToEnd(got, 10s), End::Closed);
    EXPECT_EQ(got, reply);
    EXPECT_EQ(daemon.ConnectionCount(), 1u);
}

TEST(RawDaemon, ReadsAChunkedBody) {
    RawDaemon daemon(RawDaemon::Mode::Verbatim, "done");
    RawTestClient client(daemon.Port());
    ASSERT_TRUE(client.Send("POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"));
    std::string got;
    EXPECT_EQ(client.ReadToEnd(got, 200ms), End::Timeout);
    ASSERT_TRUE(client.Send("1;ext=1\r\n!\r\n0\r\n\r\n"));
    EXPECT_EQ(client.ReadToEnd(got, 10s), End::Closed);
    EXPECT_EQ(got, "done");
}

TEST(RawDaemon, DropAfterRequestResetsTheConnection) {
    RawDaemon daemon(RawDaemon::Mode::DropAfterRequest, RawDaemon::HttpResponse("never"));
    RawTestClient client(daemon.Port());
    ASSERT_TRUE(client.Send(Request()));
    std::string got;
    EXPECT_EQ(client.ReadToEnd(got, 10s), End::Reset);
    EXPECT_EQ(got, "");
    EXPECT_EQ(daemon.RequestCount(), 1u);
}

TEST(RawDaemon, PartialSendsTheFirstBytesThenCloses) {
    const std::string reply = RawDaemon::HttpResponse("<a-long-enough-body/>");
    RawDaemon daemon(RawDaemon::Mode::Partial, reply);
    daemon.SetPartialBytes(20);
    RawTestClient client(daemon.Port());
    ASSERT_TRUE(client.Send(Request()));
    std::string got;
    EXPECT_EQ(client.ReadToEnd(got, 10s), End::Closed);
    EXPECT_EQ(got, reply.substr(0, 20));

    daemon.SetPartialBytes(static_cast<std::size_t>(-1) - 1);  // more than there is: the whole reply
    RawTestClient second(daemon.Port());
    ASSERT_TRUE(second.Send(Request()));
    std::string all;
    EXPECT_EQ(second.ReadToEnd(all, 10s), End::Closed);
    EXPECT_EQ(all, reply);
}

TEST(RawDaemon, PartialDefaultsToHalfTheReply) {
    RawDaemon daemon(RawDaemon::Mode::Partial, "0123456789");
    RawTestClient client(daemon.Port());
    ASSERT_TRUE(client.Send(Request()));
    std::string got;
    EXPECT_EQ(client.ReadToEnd(got, 10s), End::Closed);
    EXPECT_EQ(got, "01234");
}

TEST(RawDaemon, DripSendsOneByteAtATime) {
    const std::string reply = "0123456789";
    RawDaemon daemon(RawDaemon::Mode::Drip, reply);
    daemon.SetDripInterval(20ms);
    RawTestClient client(daemon.Port());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.Send(Request()));
    std::string got;
    EXPECT_EQ(client.ReadAtLeast(got, 1, 10s), End::Timeout);
    EXPECT_LT(got.size(), reply.size());
    EXPECT_EQ(client.ReadToEnd(got, 10s), End::Closed);
    EXPECT_EQ(got, reply);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9 * 20ms);
}

TEST(RawDaemon, NeverAnswerHoldsTheConnectionUntilStopped) {
    auto daemon = std::make_unique<RawDaemon>(RawDaemon::Mode::NeverAnswer, RawDaemon::HttpResponse("x"));
    RawTestClient client(daemon->Port());
    ASSERT_TRUE(client.Send(Request()));
    std::string got;
    EXPECT_EQ(client.ReadToEnd(got, 300ms), End::Timeout);
    EXPECT_EQ(got, "");
    EXPECT_EQ(daemon->RequestCount(), 1u);
    daemon.reset();  // must return although the client still waits
    EXPECT_NE(client.ReadToEnd(got, 10s), End::Timeout);
    EXPECT_EQ(got, "");
}

TEST(RawDaemon, StopsWhileARequestIsHalfSent) {
    auto daemon = std::make_unique<RawDaemon>(RawDaemon::Mode::Verbatim, "x");
    RawTestClient client(daemon->Port());
    ASSERT_TRUE(client.Send("POST / HTTP/1.1\r\nHost"));
    RawTestClient idle(daemon->Port());
    std::string got;
    EXPECT_EQ(client.ReadToEnd(got, 100ms), End::Timeout);
    EXPECT_TRUE(Eventually([&] { return daemon->ConnectionCount() == 2u; }));
    EXPECT_EQ(daemon->RequestCount(), 0u);
    daemon.reset();
    EXPECT_NE(client.ReadToEnd(got, 10s), End::Timeout);
    EXPECT_EQ(got, "");
}

TEST(RawDaemon, CloseIdleKeepsAliveThenClosesWhenIdle) {
    const std::string reply = RawDaemon::HttpResponse("<r/>");
    RawDaemon daemon(RawDaemon::Mode::CloseIdle, reply);
    daemon.SetIdleClose(500ms);
    RawTestClient client(daemon.Port());
    // Two pipelined requests, then one more: each is answered on the same connection.
    ASSERT_TRUE(client.Send(Request() + Request()));
    std::string got;
    EXPECT_EQ(client.ReadAtLeast(got, 2 * reply.size(), 10s), End::Timeout);
    EXPECT_EQ(got, reply + reply);
    ASSERT_TRUE(client.Send(Request()));
    got.clear();
    EXPECT_EQ(client.ReadToEnd(got, 10s), End::Closed);
    EXPECT_EQ(got, reply);
    EXPECT_EQ(daemon.RequestCount(), 3u);
    EXPECT_EQ(daemon.ConnectionCount(), 1u);
}

}  // namespace
