// Self-tests of the scriptable SOAP daemon over plain HTTP.
#include "TestDaemon.h"

#include "RawTestClient.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

namespace {

using SoapTest::RawTestClient;
using SoapTest::RecordedRequest;
using SoapTest::Reply;
using SoapTest::TestDaemon;
using namespace std::chrono_literals;

const std::string kPath = "/dadovu.ctrl.server/lnkrpcserver";

std::string Envelope(const std::string& header, const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
           " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
           " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">" +
           header + "<SOAP-ENV:Body>" + body + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string StartCall() {
    return Envelope("", "<ns:start xmlns:ns=\"urn:ctl\"><target xsi:type=\"xsd:string\">a</target></ns:start>");
}

httplib::Result Post(httplib::Client& client, const std::string& body) {
    return client.Post(kPath.c_str(), body, "text/xml; charset=utf-8");
}

std::string HttpPost(const std::string& body, bool close) {
    return "POST " + kPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n" +
           (close ? "Connection: close\r\n" : "") + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

TEST(TestDaemonRecording, RecordsMethodArgumentsTargetIdAndHeaders) {
    TestDaemon daemon;
    httplib::Client client("127.0.0.1", daemon.Port());
    const std::string nested = "<item xsi:type=\"xsd:string\">x &amp; y</item><item/>";
    const std::string body = Envelope(
        "<SOAP-ENV:Header><h:TargetID xmlns:h=\"urn:hdr\">node 7</h:TargetID></SOAP-ENV:Header>",
        "<ns:start xmlns:ns=\"urn:ctl\"><target xsi:type=\"xsd:string\">a &lt;b&gt;</target>"
        "<boot xsi:type=\"xsd:boolean\">false</boot><list xsi:type=\"ns:cclist\">" +
            nested + "</list><bare>1</bare></ns:start>");
    httplib::Headers headers{{"X-Custom", "Value"}};
    auto res = client.Post(kPath.c_str(), headers, body, "text/xml; charset=utf-8");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    const auto requests = daemon.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& r = requests[0];
    EXPECT_EQ(r.path, kPath);
    EXPECT_EQ(r.body, body);
    EXPECT_EQ(r.Header("x-custom"), "Value");
    EXPECT_EQ(r.Header("content-type"), "text/xml; charset=utf-8");
    EXPECT_EQ(r.Header("remote_addr"), "");
    EXPECT_TRUE(r.xmlWellFormed);
    EXPECT_EQ(r.method, "start");
    EXPECT_EQ(r.methodNamespace, "urn:ctl");
    EXPECT_EQ(r.ArgNames(), (std::vector<std::string>{"target", "boot", "list", "bare"}));
    EXPECT_EQ(r.Arg("target"), "a <b>");
    EXPECT_EQ(r.Arg("boot"), "false");
    EXPECT_EQ(r.Arg("list"), nested);
    EXPECT_EQ(r.Arg("missing"), std::nullopt);
    ASSERT_EQ(r.argTypes.size(), 4u);
    EXPECT_EQ(r.argTypes[0], (std::pair<std::string, std::string>("target", "xsd:string")));
    EXPECT_EQ(r.argTypes[2], (std::pair<std::string, std::string>("list", "ns:cclist")));
    EXPECT_EQ(r.argTypes[3], (std::pair<std::string, std::string>("bare", "")));
    EXPECT_EQ(r.targetId, "node 7");
    EXPECT_EQ(r.remote.rfind("127.0.0.1:", 0), 0u) << r.remote;
    EXPECT_EQ(r.clientSubject, "");
    EXPECT_EQ(daemon.LastClientSubject(), "");
}

TEST(TestDaemonRecording, NoHeaderMeansNoTargetIdAndMalformedXmlIsFlagged) {
    TestDaemon daemon;
    httplib::Client client("127.0.0.1", daemon.Port());
    ASSERT_TRUE(Post(client, StartCall()));
    ASSERT_TRUE(Post(client, "<a><b></a>"));
    const auto requests = daemon.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].targetId.has_value());
    EXPECT_TRUE(requests[0].xmlWellFormed);
    EXPECT_FALSE(requests[1].xmlWellFormed);
    EXPECT_EQ(requests[1].method, "");
}

TEST(TestDaemonRecording, WaitForRequestsAndClearRecords) {
    TestDaemon daemon;
    EXPECT_FALSE(daemon.WaitForRequests(1, 20ms));
    httplib::Client client("127.0.0.1", daemon.Port());
    ASSERT_TRUE(Post(client, StartCall()));
    EXPECT_TRUE(daemon.WaitForRequests(1, 5s));
    EXPECT_EQ(daemon.RequestCount(), 1u);
    EXPECT_EQ(daemon.ConnectionCount(), 1u);
    daemon.ClearRecords();
    EXPECT_EQ(daemon.RequestCount(), 0u);
    EXPECT_EQ(daemon.ConnectionCount(), 0u);
}

TEST(TestDaemonReplies, DefaultIsResultZeroAsAnExactEnvelope) {
    TestDaemon daemon;
    httplib::Client client("127.0.0.1", daemon.Port());
    auto res = Post(client, StartCall());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/xml; charset=utf-8");
    EXPECT_EQ(res->body,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
              " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
              " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
              " soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>"
              "<m:startResponse xmlns:m=\"urn:ctl\"><result xsi:type=\"xsd:int\">0</result></m:startResponse>"
              "</soap:Body></soap:Envelope>");
}

TEST(TestDaemonReplies, QueuedRepliesInOrderThenTheHandler) {
    TestDaemon daemon;
    daemon.Enqueue(Reply::Result(65));
    daemon.Enqueue(Reply::Raw("plain", 503, "text/plain").Header("X-Extra", "1"));
    daemon.SetHandler([](const RecordedRequest& r) {
        return Reply::Result(7).Output("user", r.Arg("target").value_or("?") + " & co").ResponsePrefix("ns");
    });
    httplib::Client client("127.0.0.1", daemon.Port());

    auto first = Post(client, StartCall());
    ASSERT_TRUE(first);
    EXPECT_NE(first->body.find("<result xsi:type=\"xsd:int\">65</result>"), std::string::npos) << first->body;

    auto second = Post(client, StartCall());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, 503);
    EXPECT_EQ(second->body, "plain");
    EXPECT_EQ(second->get_header_value("Content-Type"), "text/plain");
    EXPECT_EQ(second->get_header_value("X-Extra"), "1");

    for (int i = 0; i < 2; ++i) {
        auto later = Post(client, StartCall());
        ASSERT_TRUE(later);
        EXPECT_NE(later->body.find("<ns:startResponse xmlns:ns=\"urn:ctl\"><result xsi:type=\"xsd:int\">7</result>"
                                   "<user xsi:type=\"xsd:string\">a &amp; co</user></ns:startResponse>"),
                  std::string::npos)
            << later->body;
    }
}

TEST(TestDaemonReplies, FaultHasSoapFaultShapeAndStatus500) {
    TestDaemon daemon;
    daemon.Enqueue(Reply::Fault("Access <denied>"));
    daemon.Enqueue(Reply::Fault("Bad", "soap:Client", 400));
    httplib::Client client("127.0.0.1", daemon.Port());

    auto res = Post(client, StartCall());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    EXPECT_EQ(res->body,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
              " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
              " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
              " soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>"
              "<soap:Fault><faultcode>soap:Server</faultcode><faultstring>Access &lt;denied&gt;</faultstring>"
              "</soap:Fault></soap:Body></soap:Envelope>");

    auto client400 = Post(client, StartCall());
    ASSERT_TRUE(client400);
    EXPECT_EQ(client400->status, 400);
    EXPECT_NE(client400->body.find("<faultcode>soap:Client</faultcode><faultstring>Bad</faultstring>"),
              std::string::npos);
}

TEST(TestDaemonReplies, EmptyAndRawOutputs) {
    Reply empty = Reply::Empty();
    EXPECT_NE(empty.Body().find("<m:methodResponse xmlns:m=\"urn:dadovu-test-daemon\"></m:methodResponse>"),
              std::string::npos)
        << empty.Body();
    Reply raw = Reply::Result(0).RawOutput("list", "<a>1</a>", "ns:cclist").RawOutput("x", "<b/>");
    EXPECT_NE(raw.Body("status", "urn:s").find("<m:statusResponse xmlns:m=\"urn:s\"><result xsi:type=\"xsd:int\">0"
                                               "</result><list xsi:type=\"ns:cclist\"><a>1</a></list><x><b/></x>"),
              std::string::npos)
        << raw.Body("status", "urn:s");
}

TEST(TestDaemonReplies, HandlerThatThrowsAnswers500) {
    TestDaemon daemon;
    daemon.SetHandler([](const RecordedRequest&) -> Reply { throw std::runtime_error("boom"); });
    httplib::Client client("127.0.0.1", daemon.Port());
    auto res = Post(client, StartCall());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    EXPECT_NE(res->body.find("boom"), std::string::npos);
}

TEST(TestDaemonReplies, DelayHoldsTheAnswer) {
    TestDaemon daemon;
    daemon.Enqueue(Reply::Result(1).Delay(150ms));
    httplib::Client client("127.0.0.1", daemon.Port());
    const auto start = std::chrono::steady_clock::now();
    auto res = Post(client, StartCall());
    ASSERT_TRUE(res);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
}

TEST(TestDaemonConnections, KeptAliveRequestsCountAsOneConnection) {
    TestDaemon daemon;
    httplib::Client client("127.0.0.1", daemon.Port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(Post(client, StartCall()));
    EXPECT_EQ(daemon.RequestCount(), 7u);
    EXPECT_EQ(daemon.ConnectionCount(), 1u);

    httplib::Client other("127.0.0.1", daemon.Port());
    ASSERT_TRUE(Post(other, StartCall()));
    EXPECT_EQ(daemon.ConnectionCount(), 2u);
}

TEST(TestDaemonConnections, CloseConnectionClosesAfterTheAnswer) {
    TestDaemon daemon;
    daemon.Enqueue(Reply::Result(3).CloseConnection());
    RawTestClient raw(daemon.Port());
    ASSERT_TRUE(raw.Send(HttpPost(StartCall(), false)));
    std::string response;
    ASSERT_EQ(raw.ReadToEnd(response, 10s), RawTestClient::End::Closed) << "the daemon kept the connection open";
    EXPECT_EQ(response.rfind("HTTP/1.1 200", 0), 0u) << response;
    EXPECT_NE(response.find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(response.find("<result xsi:type=\"xsd:int\">3</result>"), std::string::npos);
}

TEST(TestDaemonConnections, IdleKeptAliveConnectionStaysOpenUntilStop) {
    TestDaemon daemon;
    RawTestClient raw(daemon.Port());
    ASSERT_TRUE(raw.Send(HttpPost(StartCall(), false)));
    std::string response;
    EXPECT_EQ(raw.ReadToEnd(response, 300ms), RawTestClient::End::Timeout) << "closed a kept-alive connection";
    EXPECT_NE(response.find("HTTP/1.1 200"), std::string::npos);
    // Stop must not wait for the keep-alive timeout of the idle connection.
    daemon.Stop();
    std::string rest;
    EXPECT_EQ(raw.ReadToEnd(rest, 10s), RawTestClient::End::Closed);
    httplib::Client client("127.0.0.1", daemon.Port());
    client.set_connection_timeout(2s);
    EXPECT_FALSE(Post(client, StartCall()));
}

TEST(TestDaemonConnections, StopReleasesADelayedAnswer) {
    TestDaemon daemon;
    daemon.Enqueue(Reply::Result(1).Delay(60s));
    RawTestClient raw(daemon.Port());
    ASSERT_TRUE(raw.Send(HttpPost(StartCall(), true)));
    ASSERT_TRUE(daemon.WaitForRequests(1, 10s));
    daemon.Stop();
    std::string response;
    EXPECT_NE(raw.ReadToEnd(response, 10s), RawTestClient::End::Timeout);
}

TEST(TestDaemonUri, NamesSchemeHostPortAndPath) {
    TestDaemon daemon;
    const std::string port = std::to_string(daemon.Port());
    EXPECT_GT(daemon.Port(), 0);
    EXPECT_EQ(daemon.Uri(), "http://127.0.0.1:" + port + kPath);
    EXPECT_EQ(daemon.Uri("/x"), "http://127.0.0.1:" + port + "/x");
    EXPECT_EQ(daemon.Uri("localhost", "/y"), "http://localhost:" + port + "/y");
}

}  // namespace
