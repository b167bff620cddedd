// Transport faults against byte-level daemons: refused connections, silent and
// dripping peers, resets, cut-short and odd responses, and idle connections
// that the peer closes.

#include "LnkTestSupport.h"

#include <TestDaemon.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>

namespace {

using LnkTest::Call;
using LnkTest::ElapsedMs;
using LnkTest::MakeMessenger;
using SoapTest::RawDaemon;

const std::string kResultBody =
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
    "<m:startResponse xmlns:m=\"urn:m\"><result>5</result></m:startResponse></s:Body></s:Envelope>";

std::string RpcText(Call& call) {
    try {
        call.Run();
    } catch (const QxLnkRpc::RpcException& error) {
        return LnkTest::PlainText(error);
    }
    ADD_FAILURE() << "no RpcException";
    return {};
}

// A port on 127.0.0.1 that refuses connections while this object lives: bound, never listening.
class RefusingPort {
public:
    RefusingPort() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot bind");
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() { close(fd_); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int Port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

TEST(Transport, RefusedConnectionNamesAddressAndUri) {
    RefusingPort port;
    Call call;
    call.messenger = MakeMessenger();
    call.uri = "http://127.0.0.1:" + std::to_string(port.Port()) + "/x/lnkrpcserver";
    const std::string text = RpcText(call);
    EXPECT_EQ(text, "Connection refused by 127.0.0.1:" + std::to_string(port.Port()) + " (" + call.uri + ")");
}

// A listening port whose accept queue is full: Linux drops further SYNs, so a
// connect neither succeeds nor fails until the client gives up.
class UnansweredPort {
public:
    UnansweredPort() : listener_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(listener_, 0) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin_port);
        for (int i = 0; i < 3; ++i) {
            const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
            fillers_.push_back(filler);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the handshakes settle
    }
    ~UnansweredPort() {
        for (const int filler : fillers_) close(filler);
        close(listener_);
    }
    UnansweredPort(const UnansweredPort&) = delete;
    UnansweredPort& operator=(const UnansweredPort&) = delete;
    int Port() const { return port_; }

private:
    int listener_;
    int port_ = 0;
    std::vector<int> fillers_;
};

TEST(Transport, ConnectIsCutOffAtTheConnectTimeout) {
    UnansweredPort port;
    Call call;
    call.messenger = MakeMessenger("CONNECT_TIMEOUT_MS = 300\nTIMEOUT_MS = 20000\n");
    call.uri = "http://127.0.0.1:" + std::to_string(port.Port()) + "/x/lnkrpcserver";
    std::string text;
    const long long elapsed = ElapsedMs([&] { text = RpcText(call); });
    EXPECT_LT(elapsed, 1500);
    EXPECT_NE(text.find("timed out after 300 ms"), std::string::npos) << text;
}

TEST(Transport, UnknownHostNameIsAnRpcException) {
    Call call;
    call.messenger = MakeMessenger("CONNECT_TIMEOUT_MS = 2000\n");
    call.uri = "http://no-such-host.invalid:8080/x/lnkrpcserver";
    const std::string text = RpcText(call);
    EXPECT_NE(text.find("no-such-host.invalid"), std::string::npos) << text;
}

TEST(Transport, SilentPeerIsCutOffAtTheTimeout) {
    RawDaemon daemon(RawDaemon::Mode::NeverAnswer);
    Call call;
    call.messenger = MakeMessenger("TIMEOUT_MS = 300\n");
    call.uri = daemon.Uri();
    std::string text;
    const long long elapsed = ElapsedMs([&] { text = RpcText(call); });
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 1500);
    EXPECT_NE(text.find("300 ms"), std::string::npos) << text;
    EXPECT_NE(text.find(call.uri), std::string::npos) << text;
    EXPECT_EQ(daemon.RequestCount(), 1u);
}

TEST(Transport, DrippingPeerIsCutOffAtTheTimeout) {
    RawDaemon daemon(RawDaemon::Mode::Drip, RawDaemon::HttpResponse(kResultBody));
    daemon.SetDripInterval(std::chrono::milliseconds(100));
    Call call;
    call.messenger = MakeMessenger("TIMEOUT_MS = 500\n");
    call.uri = daemon.Uri();
    const long long elapsed = ElapsedMs([&] { RpcText(call); });
    EXPECT_LT(elapsed, 2500);
    EXPECT_EQ(call.result, -1);
}

TEST(Transport, ResetAfterTheRequestIsNeverRetried) {
    RawDaemon daemon(RawDaemon::Mode::DropAfterRequest);
    Call call;
    call.messenger = MakeMessenger();
    call.uri = daemon.Uri();
    const std::string text = RpcText(call);
    EXPECT_NE(text.find(call.uri), std::string::npos) << text;
    EXPECT_EQ(daemon.RequestCount(), 1u);
    EXPECT_EQ(daemon.ConnectionCount(), 1u);
}

TEST(Transport, TruncatedResponseIsAnRpcException) {
    for (const std::size_t cut : {std::size_t{10}, std::size_t{80}, RawDaemon::HttpResponse(kResultBody).size() - 5}) {
        RawDaemon daemon(RawDaemon::Mode::Partial, RawDaemon::HttpResponse(kResultBody));
        daemon.SetPartialBytes(cut);
        Call call;
        call.messenger = MakeMessenger();
        call.uri = daemon.Uri();
        const std::string text = RpcText(call);
        EXPECT_NE(text.find("before the response was complete"), std::string::npos) << cut << ": " << text;
        // Outputs are filled as the body streams in; the exception tells the
        // caller not to trust them. One cut short of its end stays untouched.
        if (cut < 200) {
            EXPECT_EQ(call.result, -1) << cut;
        }
    }
}

TEST(Transport, PeerClosingWithoutAnyAnswerIsAnRpcException) {
    RawDaemon daemon(RawDaemon::Mode::Partial, RawDaemon::HttpResponse(kResultBody));
    daemon.SetPartialBytes(0);
    Call call;
    call.messenger = MakeMessenger();
    call.uri = daemon.Uri();
    EXPECT_NE(RpcText(call).find("without a response"), std::string::npos);
}

TEST(Transport, ReadsBodiesFramedByEndOfStreamAndChunkedBodies) {
    const std::string chunked = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                [] {
                                    std::string out;
                                    for (std::size_t i = 0; i < kResultBody.size(); i += 37) {
                                        const std::string piece = kResultBody.substr(i, 37);
                                        char size[16];
                                        std::snprintf(size, sizeof(size), "%zx\r\n", piece.size());
                                        out += size + piece + "\r\n";
                                    }
                                    return out + "0\r\n\r\n";
                                }();
    for (const std::string& response :
         {"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n" + kResultBody,
          "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + kResultBody, chunked}) {
        RawDaemon daemon(RawDaemon::Mode::Verbatim, response);
        Call call;
        call.messenger = MakeMessenger();
        call.uri = daemon.Uri();
        call.Run();
        EXPECT_EQ(call.result, 5) << response;
    }
}

TEST(Transport, MalformedHttpIsAnRpcException) {
    RawDaemon daemon(RawDaemon::Mode::Verbatim, "SOAP/9 banana\r\n\r\n");
    Call call;
    call.messenger = MakeMessenger();
    call.uri = daemon.Uri();
    EXPECT_NE(RpcText(call).find("HTTP"), std::string::npos);
}

TEST(Transport, OversizedDeclaredLengthIsRefusedBeforeTheBody) {
    RawDaemon daemon(RawDaemon::Mode::Verbatim,
                     "HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\n" + kResultBody);
    Call call;
    call.messenger = MakeMessenger("MAX_RESPONSE_BYTES = 100000\n");
    call.uri = daemon.Uri();
    EXPECT_THROW(call.Run(), QxLnkSoap::SoapException);
}

TEST(Transport, IdleConnectionClosedByThePeerIsReplacedTransparently) {
    RawDaemon daemon(RawDaemon::Mode::CloseIdle, RawDaemon::HttpResponse(kResultBody));
    daemon.SetIdleClose(std::chrono::milliseconds(50));
    const QxLnkMsg::Messenger messenger = MakeMessenger();
    for (int i = 0; i < 3; ++i) {
        Call call;
        call.messenger = messenger;
        call.uri = daemon.Uri();
        call.Run();
        EXPECT_EQ(call.result, 5);
        // Long enough for the daemon to have closed the idle connection.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_EQ(daemon.RequestCount(), 3u);
    EXPECT_EQ(daemon.ConnectionCount(), 3u);
}

TEST(Transport, IdleConnectionKeptOpenByThePeerIsReused) {
    RawDaemon daemon(RawDaemon::Mode::CloseIdle, RawDaemon::HttpResponse(kResultBody));
    daemon.SetIdleClose(std::chrono::seconds(30));
    const QxLnkMsg::Messenger messenger = MakeMessenger();
    for (int i = 0; i < 3; ++i) {
        Call call;
        call.messenger = messenger;
        call.uri = daemon.Uri();
        call.Run();
        EXPECT_EQ(call.result, 5);
    }
    EXPECT_EQ(daemon.RequestCount(), 3u);
    EXPECT_EQ(daemon.ConnectionCount(), 1u);
}

TEST(Transport, BytesAfterTheResponseKeepTheConnectionOutOfThePool) {
    RawDaemon daemon(RawDaemon::Mode::CloseIdle, RawDaemon::HttpResponse(kResultBody) + "garbage");
    daemon.SetIdleClose(std::chrono::seconds(30));
    const QxLnkMsg::Messenger messenger = MakeMessenger();
    for (int i = 0; i < 2; ++i) {
        Call call;
        call.messenger = messenger;
        call.uri = daemon.Uri();
        call.Run();
        EXPECT_EQ(call.result, 5);
    }
    EXPECT_EQ(daemon.ConnectionCount(), 2u);
}

TEST(Transport, TextXmlCannotCarrySendsNothing) {
    RawDaemon daemon(RawDaemon::Mode::NeverAnswer);
    const QxPalStr::UTF16String nul = {u'a', 0x0000};
    const QxPalStr::UTF16String control = {0x0001};
    const QxPalStr::UTF16String surrogate = {u'x', 0xD801, u'y'};
    for (const auto& units : {nul, control, surrogate}) {
        Call call;
        call.messenger = MakeMessenger();
        call.uri = daemon.Uri();
        call.inputs = {{"target", QxPalStr::String_t(units.data(), units.size())}};
        EXPECT_THROW(call.Run(), QxPalMsg::IllegalArgumentError_t);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(daemon.ConnectionCount(), 0u);
}

}  // namespace
