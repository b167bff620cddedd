// Transport faults against byte-level daemons: refused and unanswered connects,
// silent and dripping peers, resets, cut-short and odd responses, and idle
// connections that the peer closes.
#include "LnkTestSupport.h"

#include <TestDaemon.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>

namespace {

using namespace LnkTest;
using SoapTest::RawDaemon;

const std::string kResultBody =
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
    "<m:startResponse xmlns:m=\"urn:m\"><result>5</result></m:startResponse></s:Body></s:Envelope>";

Call CallTo(const std::string& uri, const std::string& settings = "") {
    Call call;
    call.messenger = MakeMessenger(settings);
    call.uri = uri;
    return call;
}

// A port on 127.0.0.1 that refuses connections (bound, not listening), or whose
// connects are never answered: listening with a full accept queue, so that Linux
// drops further SYNs.
class Port {
public:
    explicit Port(bool unanswered) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        auto* any = reinterpret_cast<sockaddr*>(&address);
        if (fd_ < 0 || bind(fd_, any, length) != 0 || (unanswered && listen(fd_, 0) != 0) ||
            getsockname(fd_, any, &length) != 0)
            throw std::runtime_error("cannot bind");
        number = ntohs(address.sin_port);
        for (int i = 0; unanswered && i < 3; ++i) {
            fillers_.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(fillers_.back(), any, length);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the handshakes settle
    }
    ~Port() {
        for (const int filler : fillers_) close(filler);
        close(fd_);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    std::string Uri() const { return "http://127.0.0.1:" + std::to_string(number) + "/x/lnkrpcserver"; }
    int number = 0;

private:
    int fd_;
    std::vector<int> fillers_;
};

TEST(Transport, ConnectFailuresRaiseRpcExceptionsWithinTheConnectTimeout) {
    const Port refusing(false);
    Call refused = CallTo(refusing.Uri());
    EXPECT_EQ(refused.Outcome(),
              "rpc: Connection refused by 127.0.0.1:" + std::to_string(refusing.number) + " (" + refusing.Uri() + ")");
    const Port unanswered(true);
    Call call = CallTo(unanswered.Uri(), "CONNECT_TIMEOUT_MS = 300\nTIMEOUT_MS = 20000\n");
    std::string outcome;
    EXPECT_LT(ElapsedMs([&] { outcome = call.Outcome(); }), 1500);
    EXPECT_TRUE(outcome.rfind("rpc: ", 0) == 0 && Contains(outcome, "timed out after 300 ms")) << outcome;
    Call unknown = CallTo("http://no-such-host.invalid:8080/x/lnkrpcserver", "CONNECT_TIMEOUT_MS = 2000\n");
    outcome = unknown.Outcome();
    EXPECT_TRUE(outcome.rfind("rpc: ", 0) == 0 && Contains(outcome, "no-such-host.invalid")) << outcome;
}

TEST(Transport, PeersThatFailAfterTheRequestRaiseExceptionsAndAreNeverAskedAgain) {
    const std::string response = RawDaemon::HttpResponse(kResultBody);
    const struct {
        RawDaemon::Mode mode;
        std::string reply, settings, part;
        std::size_t partialBytes = 0;
        long long maxMs = 5000, minMs = 0;
    } cases[] = {
        {RawDaemon::Mode::NeverAnswer, "", "TIMEOUT_MS = 300\n", "300 ms", 0, 1500, 290},
        {RawDaemon::Mode::Drip, response, "TIMEOUT_MS = 500\n", "", 0, 2500},
        {RawDaemon::Mode::DropAfterRequest, "", "", ""},
        {RawDaemon::Mode::Partial, response, "", "before the response was complete", 10},
        {RawDaemon::Mode::Partial, response, "", "before the response was complete", 80},
        {RawDaemon::Mode::Partial, response, "", "before the response was complete", response.size() - 5},
        {RawDaemon::Mode::Partial, response, "", "without a response", 0},
        {RawDaemon::Mode::Verbatim, "SOAP/9 banana\r\n\r\n", "", "HTTP"},
        {RawDaemon::Mode::Verbatim, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n" + response, "", "101"},
        {RawDaemon::Mode::Verbatim, [&] {
             std::string interim;
             for (int i = 0; i < 9; ++i) interim += "HTTP/1.1 100 Continue\r\n\r\n";
             return interim + response;
         }(), "", "interim"},
    };
    for (const auto& c : cases) {
        RawDaemon daemon(c.mode, c.reply);
        if (c.mode == RawDaemon::Mode::Partial) daemon.SetPartialBytes(c.partialBytes);
        daemon.SetDripInterval(std::chrono::milliseconds(100));
        Call call = CallTo(daemon.Uri(), c.settings);
        std::string outcome;
        const long long elapsed = ElapsedMs([&] { outcome = call.Outcome(); });
        EXPECT_TRUE(outcome.rfind("rpc: ", 0) == 0 && Contains(outcome, c.part) && Contains(outcome, call.uri))
            << outcome;
        EXPECT_TRUE(elapsed >= c.minMs && elapsed < c.maxMs) << elapsed << " ms: " << outcome;
        EXPECT_EQ(daemon.RequestCount(), 1u) << outcome;
        EXPECT_EQ(daemon.ConnectionCount(), 1u) << outcome;
        // Outputs are filled as the body streams in; one cut just short of its end may have filled one.
        if (c.partialBytes < 200) { EXPECT_EQ(call.result, -1) << outcome; }
    }
    RawDaemon oversized(RawDaemon::Mode::Verbatim,
                        "HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\n" + kResultBody);
    EXPECT_EQ(CallTo(oversized.Uri(), "MAX_RESPONSE_BYTES = 100000\n").Outcome().rfind("soap: ", 0), 0u);
    // A server error is no answer, however much its body looks like one.
    RawDaemon serverError(RawDaemon::Mode::Verbatim,
                          "HTTP/1.1 500 Internal Server Error\r\nContent-Length: " +
                              std::to_string(kResultBody.size()) + "\r\n\r\n" + kResultBody);
    Call failed = CallTo(serverError.Uri());
    const std::string outcome = failed.Outcome();
    EXPECT_TRUE(outcome.rfind("soap: ", 0) == 0 && Contains(outcome, "500")) << outcome;
}

TEST(Transport, ReadsBodiesFramedByEndOfStreamOrChunkedAndAfterInterimResponses) {
    std::string chunked = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (std::size_t i = 0; i < kResultBody.size(); i += 37) {
        const std::string piece = kResultBody.substr(i, 37);
        char size[16];
        std::snprintf(size, sizeof(size), "%zx\r\n", piece.size());
        chunked += size + piece + "\r\n";
    }
    for (const std::string& response :
         {"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n" + kResultBody,
          "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + kResultBody, chunked + "0\r\n\r\n",
          "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX-Note: 1\r\n\r\n" +
              RawDaemon::HttpResponse(kResultBody)}) {
        RawDaemon daemon(RawDaemon::Mode::Verbatim, response);
        Call call = CallTo(daemon.Uri());
        EXPECT_EQ(call.OutcomeAndResult(), "ok 5") << response;
    }
}

// With room for two idle connections, a third host's closes the one idle longest.
TEST(Transport, IdleConnectionsBeyondTheLimitCloseTheLongestIdleFirst) {
    std::vector<std::unique_ptr<RawDaemon>> daemons;
    for (int i = 0; i < 3; ++i) {
        daemons.push_back(std::make_unique<RawDaemon>(RawDaemon::Mode::CloseIdle, RawDaemon::HttpResponse(kResultBody)));
        daemons.back()->SetIdleClose(std::chrono::milliseconds(30000));
    }
    Call call = CallTo(daemons[0]->Uri(), "MAX_IDLE_CONNECTIONS = 2\n");
    // The first daemon's connection goes when the third's is put; the third's
    // when the first connects again (the second's was used since); the first's
    // when the third connects again. The second's stays throughout.
    for (const std::size_t i : {0, 1, 2, 2, 1, 0, 0, 1, 2}) {
        call.uri = daemons[i]->Uri();
        EXPECT_EQ(call.OutcomeAndResult(), "ok 5") << i;
        call.result = -1;
    }
    std::vector<std::size_t> connections;
    for (const auto& daemon : daemons) connections.push_back(daemon->ConnectionCount());
    EXPECT_EQ(connections, (std::vector<std::size_t>{2, 1, 2}));
}

TEST(Transport, AnIdleConnectionIsReusedUnlessThePeerClosedItOrSentMore) {
    const struct {
        int idleCloseMs;
        std::string extra;
        std::size_t connections;
    } cases[] = {{30000, "", 1}, {50, "", 3}, {30000, "garbage", 3}};
    for (const auto& c : cases) {
        RawDaemon daemon(RawDaemon::Mode::CloseIdle, RawDaemon::HttpResponse(kResultBody) + c.extra);
        daemon.SetIdleClose(std::chrono::milliseconds(c.idleCloseMs));
        Call call = CallTo(daemon.Uri());
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(call.OutcomeAndResult(), "ok 5");
            call.result = -1;
            // Long enough for the daemon to have closed the idle connection.
            if (c.idleCloseMs < 1000) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        EXPECT_EQ(daemon.RequestCount(), 3u);
        EXPECT_EQ(daemon.ConnectionCount(), c.connections) << c.idleCloseMs << " " << c.extra;
    }
}

}  // namespace
