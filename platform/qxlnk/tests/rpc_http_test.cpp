// Calls over plain HTTP against the test daemon: what goes on the wire, what
// comes back into the outputs, faults and failures, what is refused before
// anything is sent, and connection reuse.
#include "LnkTestSupport.h"

#include <TestDaemon.h>

#include <atomic>
#include <climits>
#include <thread>

namespace {

using namespace LnkTest;
using SoapTest::RawDaemon;
using SoapTest::RecordedRequest;
using SoapTest::Reply;

class RpcHttp : public ::testing::Test {
protected:
    Call NewCall(std::vector<std::shared_ptr<SOAPArg>> inputs = {}) {
        Call call;
        call.messenger = messenger_;
        call.uri = daemon_.Uri();
        call.inputs = std::move(inputs);
        return call;
    }

    SoapTest::TestDaemon daemon_;
    QxLnkMsg::Messenger messenger_ = MakeMessenger("TIMEOUT_MS = 10000\n");
};

TEST_F(RpcHttp, ArgumentsAndOutputsRoundTripExactly) {
    // Non-ASCII (2-, 3- and 4-byte UTF-8, a surrogate pair in UTF-16), markup and line ends.
    const std::string text = "K\xc3\xb6ln \xe2\x82\xac \xf0\x9f\x98\x80 <a href=\"x\">&amp;</a> 'q' a\r\nb";
    auto custom = std::make_shared<SOAPArg>(String_t("complist").Data());
    custom->SetXSITypeAttribute("cclist");
    Call call = NewCall({Text("target", String_t(text.c_str())), Int("level", INT_MIN), Text("async", ""), custom});
    call.method = "requestprogress";
    call.options.SetTargetID(String_t("node-7 <&>"));
    daemon_.SetHandler([](const RecordedRequest& r) {
        return Reply::Result(std::stoi(r.Arg("level").value())).ResponsePrefix("zz").Output("echo", *r.Arg("target"));
    });
    call.Run();
    EXPECT_EQ(call.result, INT_MIN);
    EXPECT_EQ(call.echo, text);
    EXPECT_EQ(call.httpStatus, 200);

    const RecordedRequest request = daemon_.Requests().at(0);
    EXPECT_TRUE(request.xmlWellFormed) << request.body;
    EXPECT_EQ(request.method + " " + request.methodNamespace, "requestprogress urn:qxlnk:rpc");
    EXPECT_EQ(request.argTypes, (std::vector<std::pair<std::string, std::string>>{
                                    {"target", "xsd:string"}, {"level", "xsd:int"}, {"async", "xsd:string"},
                                    {"complist", "lnk:cclist"}}));
    EXPECT_TRUE(Contains(request.body, "xmlns:lnk=\"urn:qxlnk:rpc\"")) << request.body;
    EXPECT_EQ(request.Arg("target"), text);
    EXPECT_EQ(request.Arg("level"), "-2147483648");
    EXPECT_EQ(request.Arg("async"), "");
    EXPECT_EQ(request.targetId, "node-7 <&>");
    EXPECT_EQ(request.path, "/dadovu.ctrl.server/lnkrpcserver");
    const std::vector<std::pair<std::string, std::string>> head = {
        {"content-type", "text/xml; charset=utf-8"}, {"soapaction", "\"urn:qxlnk:rpc#requestprogress\""},
        {"user-agent", "lnk.test.client/1.2.3.4"}, {"host", "127.0.0.1:" + std::to_string(daemon_.Port())},
        {"content-length", std::to_string(request.body.size())}, {"connection", ""}};
    for (const auto& [name, value] : head) EXPECT_EQ(request.Header(name), value) << name;

    daemon_.Enqueue(Reply::Result(0));
    Call plain = NewCall();  // no target ID, no Header
    plain.Run();
    EXPECT_FALSE(daemon_.Requests().at(1).targetId.has_value());
    EXPECT_FALSE(Contains(daemon_.Requests().at(1).body, "Header"));
}

TEST_F(RpcHttp, AnOutputLargerThanBeastsDefaultBodyLimitArrives) {
    const std::string big(10u << 20, 'x');
    daemon_.Enqueue(Reply::Result(1).Output("echo", big));
    Call call = NewCall();
    call.Run();
    EXPECT_EQ(call.echo, big);
}

// Malformed bodies and their positions over the wire: envelope_stream_test.cpp.
TEST_F(RpcHttp, FaultsAndBadResponsesRaiseTheirExceptionsNamingTheUri) {
    const struct {
        Reply reply;
        std::string expected;  // the outcome's beginning
        std::vector<std::string> parts;
        std::string settings = "";
    } cases[] = {
        {Reply::Fault("ctrlauthorization", "soap:Client", 500), "fault: ctrlauthorization", {}},
        {Reply::Fault("ctrlauthorization", "soap:Client", 200), "fault: ctrlauthorization", {}},
        {Reply::Raw("<html><body><h1>500 Server Error</h1></body></html>", 500, "text/html"), "soap: ", {"uri"}},
        {Reply::Raw("not here", 404, "text/plain"), "rpc: ", {"404", "uri"}},
        {Reply::Result(3).Output("echo", std::string(5000, 'y')), "soap: ", {"1000"}, "MAX_RESPONSE_BYTES = 1000\n"},
    };
    for (const auto& c : cases) {
        daemon_.Enqueue(c.reply);
        Call call = NewCall();
        if (!c.settings.empty()) call.messenger = MakeMessenger(c.settings);
        const std::string outcome = call.Outcome();
        EXPECT_EQ(outcome.rfind(c.expected, 0), 0u) << outcome;
        if (c.expected.rfind("fault", 0) == 0) { EXPECT_EQ(outcome, c.expected); }
        for (const auto& part : c.parts) EXPECT_TRUE(Contains(outcome, part == "uri" ? call.uri : part)) << outcome;
        EXPECT_FALSE(call.echo.has_value()) << outcome;
        EXPECT_EQ(call.result, -1) << outcome;
    }
}

TEST(RpcRefusal, WhatCannotBeSentSafelyIsRefusedBeforeConnecting) {
    RawDaemon daemon(RawDaemon::Mode::NeverAnswer);
    const QxLnkMsg::Messenger messenger = MakeMessenger("TIMEOUT_MS = 2000\n");
    const auto outcome = [&](std::vector<std::shared_ptr<SOAPArg>> inputs, bool secure, bool configured) {
        Call call;
        call.messenger = configured ? messenger : QxLnkMsg::Messenger();
        call.uri = daemon.Uri();
        call.inputs = std::move(inputs);
        call.attributes = Attributes(secure);
        return call.Outcome();
    };
    // Which text XML cannot carry is the writer's to tell (text_test.cpp).
    const QxPalStr::UTF16String units{u'x', 0xD801, u'y'};
    const std::string refused = outcome({Text("target", String_t(units.data(), units.size()))}, false, true);
    EXPECT_EQ(refused.rfind("argument: ", 0), 0u) << refused;
    const std::string secure = outcome({}, true, true);  // SECURE_COMM with an http URI
    EXPECT_TRUE(secure.rfind("rpc: ", 0) == 0 && Contains(secure, daemon.Uri())) << secure;
    EXPECT_EQ(outcome({}, false, false).rfind("rpc: ", 0), 0u) << "an empty messenger";

    QxLnkRpc::RpcClient client(Attributes(), messenger);
    QxLnkRpc::RpcCall call = client.CreateCall("start", QxPalNet::URI_t(daemon.Uri().c_str()), {});
    SOAPArg* none[] = {nullptr};
    EXPECT_THROW(call.Invoke(0, nullptr, "ISO-8859-1"), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(call.Invoke(1, none, "UTF-8"), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(call.Invoke(-1, nullptr, "UTF-8"), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(QxLnkRpc::RpcCall().Invoke(0, nullptr, "UTF-8"), QxPalMsg::IllegalStateError_t);
    const std::string base = "http://127.0.0.1:" + std::to_string(daemon.Port());
    for (const std::string& uri : {base + "/a b", base + "/a\rb", base + "/a\nHost: evil", base + "/a\tb",
                                   std::string("ftp://127.0.0.1/x"), std::string("http:///path"), std::string("")}) {
        EXPECT_THROW(client.CreateCall("start", QxPalNet::URI_t(uri.c_str()), {}), QxPalMsg::IllegalArgumentError_t)
            << uri;
    }
    QxPalConfig::Configuration_t evil = Attributes();
    evil.SetAttrValue("APP_NAME", "evil\r\nX-Injected: 1");
    EXPECT_THROW(QxLnkRpc::RpcClient(evil, messenger), QxPalMsg::IllegalArgumentError_t);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(daemon.ConnectionCount(), 0u);
}

TEST_F(RpcHttp, KeptAliveConnectionsAreSharedByCopiesAndClosedWhenEitherSideAsks) {
    const QxLnkMsg::Messenger copy = messenger_;
    for (int i = 0; i < 20; ++i) {
        if (i % 5 == 4) daemon_.Enqueue(Reply::Fault("ctrlauthorization"));  // a fault keeps the connection
        Call call = NewCall();
        call.messenger = i % 2 == 0 ? copy : messenger_;
        EXPECT_EQ(call.Outcome(), i % 5 == 4 ? "fault: ctrlauthorization" : "ok");
    }
    EXPECT_EQ(daemon_.ConnectionCount(), 1u);
    Call other = NewCall();  // another messenger has a pool of its own
    other.messenger = MakeMessenger();
    other.Run();
    EXPECT_EQ(daemon_.ConnectionCount(), 2u);

    for (const bool clientCloses : {true, false}) {
        SoapTest::TestDaemon daemon;
        for (int i = 0; i < 3; ++i) {
            if (!clientCloses) daemon.Enqueue(Reply::Result(0).CloseConnection());
            Call call = NewCall();
            call.uri = daemon.Uri();
            call.connectionClose = clientCloses;
            call.Run();
            EXPECT_EQ(call.result, 0);
            EXPECT_EQ(daemon.Requests().back().Header("connection"), clientCloses ? "close" : "");
        }
        EXPECT_EQ(daemon.ConnectionCount(), 3u) << clientCloses;
    }
}

TEST_F(RpcHttp, ConcurrentCallsOnCopiesOfOneMessengerGetTheirOwnAnswers) {
    daemon_.SetHandler([](const RecordedRequest& request) {
        return Reply::Result(0).Output("echo", request.Arg("target").value_or("?"));
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t, messenger = messenger_] {
            for (int i = 0; i < 25; ++i) {
                const std::string mine = "thread " + std::to_string(t) + " call " + std::to_string(i) + " \xc3\xa4";
                Call call = NewCall({Text("target", String_t(mine.c_str()))});
                call.messenger = messenger;
                wrong += call.Outcome() != "ok" || call.echo != mine || call.result != 0;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(daemon_.RequestCount(), 200u);
    EXPECT_LE(daemon_.ConnectionCount(), 8u) << "connections are reused";
}

}  // namespace
