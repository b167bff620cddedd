// Calls over plain HTTP against the test daemon: what goes on the wire, what
// comes back into the outputs, faults and failures, and connection reuse.

#include "LnkTestSupport.h"

#include <TestDaemon.h>

#include <atomic>
#include <thread>

namespace {

using LnkTest::Call;
using LnkTest::MakeMessenger;
using QxPalStr::String_t;
using SoapTest::RecordedRequest;
using SoapTest::Reply;
using SoapTest::TestDaemon;

constexpr auto kWait = std::chrono::seconds(5);

class RpcHttp : public ::testing::Test {
protected:
    Call NewCall(const std::string& method = "start") {
        Call call;
        call.messenger = messenger_;
        call.uri = daemon_.Uri();
        call.method = method;
        return call;
    }

    TestDaemon daemon_;
    QxLnkMsg::Messenger messenger_ = MakeMessenger("TIMEOUT_MS = 10000\n");
};

// ------------------------------------------------------------------ wire format

TEST_F(RpcHttp, SendsTheArgumentsTheDaemonRecordsExactly) {
    // Non-ASCII (2-, 3- and 4-byte UTF-8, a surrogate pair in UTF-16) and markup.
    const std::string text = "K\xc3\xb6ln \xe2\x82\xac \xf0\x9f\x98\x80 <a href=\"x\">&amp;</a> 'q' a\r\nb";
    Call call = NewCall();
    call.inputs = {{"target", String_t(text.c_str())}, {"boot", String_t("false")}, {"async", String_t("")}};
    call.Run();
    EXPECT_EQ(call.result, 0);

    ASSERT_EQ(daemon_.RequestCount(), 1u);
    const RecordedRequest request = daemon_.Requests().front();
    EXPECT_TRUE(request.xmlWellFormed) << request.body;
    EXPECT_EQ(request.method, "start");
    EXPECT_EQ(request.methodNamespace, QxLnkSoap::SERVICE_NAMESPACE);
    EXPECT_EQ(request.ArgNames(), (std::vector<std::string>{"target", "boot", "async"}));
    EXPECT_EQ(request.Arg("target"), text);
    EXPECT_EQ(request.Arg("boot"), "false");
    EXPECT_EQ(request.Arg("async"), "");
    for (const auto& type : request.argTypes) EXPECT_EQ(type.second, "xsd:string") << type.first;
    EXPECT_FALSE(request.targetId.has_value());
}

TEST_F(RpcHttp, WritesTheHttpHeadOfASoap11Request) {
    Call call = NewCall("getuser");
    call.Run();
    const RecordedRequest request = daemon_.Requests().at(0);
    EXPECT_EQ(request.path, "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(request.Header("content-type"), "text/xml; charset=utf-8");
    EXPECT_EQ(request.Header("soapaction"), "\"urn:qxlnk:rpc#getuser\"");
    EXPECT_EQ(request.Header("user-agent"), "lnk.test.client/1.2.3.4");
    EXPECT_EQ(request.Header("host"), "127.0.0.1:" + std::to_string(daemon_.Port()));
    EXPECT_EQ(request.Header("content-length"), std::to_string(request.body.size()));
    EXPECT_EQ(request.Header("connection"), "");
}

TEST_F(RpcHttp, SendsIntegerArgumentsAndTheTargetId) {
    QxLnkRpc::RpcCall::Options options;
    options.SetTargetID(String_t("node-7 <&>"));
    QxLnkRpc::RpcClient client(LnkTest::Attributes(), messenger_);
    QxLnkRpc::RpcCall call = client.CreateCall("requestprogress", QxPalNet::URI_t(daemon_.Uri().c_str()), options);
    const String_t name("RequestID");
    QxLnkSoap::SOAPArgInt id(name.Data(), -2147483647 - 1);
    id.SetTypeAttribute();
    const QxLnkSoap::SOAPArg* args[] = {&id};
    call.SetArgs(1, args);
    int result = -1;
    QxLnkSoap::SOAPArgInt resultArg(String_t("result").Data(), &result);
    QxLnkSoap::SOAPArg* outputs[] = {&resultArg};
    const QxLnkRpc::RpcResponse response = call.Invoke(1, outputs, "UTF-8");
    EXPECT_EQ(response.GetHttpStatus(), 200);
    EXPECT_EQ(result, 0);

    const RecordedRequest request = daemon_.Requests().at(0);
    EXPECT_EQ(request.Arg("RequestID"), "-2147483648");
    EXPECT_EQ(request.argTypes.at(0).second, "xsd:int");
    EXPECT_EQ(request.targetId, "node-7 <&>");
}

// ------------------------------------------------------------------ outputs

TEST_F(RpcHttp, FillsOutputsByLocalNameWhateverThePrefix) {
    const std::string text = "\xe6\x97\xa5\xe6\x9c\xac \xf0\x90\x90\xb7 <&>";
    daemon_.Enqueue(Reply::Result(65).ResponsePrefix("zz").Output("echo", text));
    Call call = NewCall();
    call.Run();
    EXPECT_EQ(call.result, 65);
    ASSERT_TRUE(call.echoReceived);
    EXPECT_EQ(call.echo.ToUtf8(), text);
}

TEST_F(RpcHttp, LeavesOutputsThatTheResponseLacksUntouched) {
    daemon_.Enqueue(Reply::Empty().Output("other", "x"));
    Call call = NewCall();
    call.Run();
    EXPECT_EQ(call.result, -1);
    EXPECT_FALSE(call.echoReceived);
}

TEST_F(RpcHttp, ReceivesResponsesLargerThanBeastsDefaultBodyLimit) {
    const std::string big(10u << 20, 'x');
    daemon_.Enqueue(Reply::Result(1).Output("echo", big));
    Call call = NewCall();
    call.Run();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.echo.Size(), big.size());
}

// ------------------------------------------------------------------ failures

TEST_F(RpcHttp, FaultBecomesSoapFaultExceptionWithHttp500And200) {
    for (const int status : {500, 200}) {
        daemon_.Enqueue(Reply::Fault("ctrlauthorization", "soap:Client", status));
        Call call = NewCall();
        try {
            call.Run();
            FAIL() << "no exception for HTTP " << status;
        } catch (const QxLnkSoap::SoapFaultException& fault) {
            EXPECT_EQ(LnkTest::PlainText(fault), "ctrlauthorization");
            EXPECT_EQ(fault.GetFaultCode().ToUtf8(), "soap:Client");
        }
    }
    // The connection stays usable after a fault.
    Call call = NewCall();
    call.Run();
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(daemon_.ConnectionCount(), 1u);
}

TEST_F(RpcHttp, HtmlErrorPageIsASoapExceptionNotAFault) {
    daemon_.Enqueue(Reply::Raw("<html><body><h1>500 Internal Server Error</h1></body></html>", 500, "text/html"));
    Call call = NewCall();
    try {
        call.Run();
        FAIL() << "no exception";
    } catch (const QxLnkSoap::SoapFaultException&) {
        FAIL() << "an HTML page is no fault";
    } catch (const QxLnkSoap::SoapException& error) {
        EXPECT_NE(LnkTest::PlainText(error).find(daemon_.Uri()), std::string::npos) << LnkTest::PlainText(error);
    }
}

TEST_F(RpcHttp, OtherHttpStatusesAreRpcExceptionsNamingStatusAndUri) {
    daemon_.Enqueue(Reply::Raw("not here", 404, "text/plain"));
    Call call = NewCall();
    try {
        call.Run();
        FAIL() << "no exception";
    } catch (const QxLnkRpc::RpcException& error) {
        const std::string text = LnkTest::PlainText(error);
        EXPECT_NE(text.find("404"), std::string::npos) << text;
        EXPECT_NE(text.find(daemon_.Uri()), std::string::npos) << text;
    }
}

TEST_F(RpcHttp, MalformedXmlIsASoapExceptionWithPosition) {
    daemon_.Enqueue(Reply::Raw("<?xml version=\"1.0\"?>\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/"
                               "envelope/\">\n<s:Body><r><result>0</r></s:Body></s:Envelope>"));
    Call call = NewCall();
    try {
        call.Run();
        FAIL() << "no exception";
    } catch (const QxLnkSoap::SoapException& error) {
        const std::string text = LnkTest::PlainText(error);
        EXPECT_NE(text.find("line 3"), std::string::npos) << text;
    }
    EXPECT_EQ(call.result, -1) << "the output's end never arrived";
}

TEST_F(RpcHttp, BillionLaughsIsRefused) {
    std::string body = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        body += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) body += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
        body += "\">";
    }
    body += "]><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><r><echo>&lol9;</echo>"
            "</r></s:Body></s:Envelope>";
    daemon_.Enqueue(Reply::Raw(body));
    Call call = NewCall();
    EXPECT_THROW(call.Run(), QxLnkSoap::SoapException);
    EXPECT_FALSE(call.echoReceived);
}

TEST_F(RpcHttp, RefusesResponsesOverMaxResponseBytes) {
    Call call = NewCall();
    call.messenger = MakeMessenger("MAX_RESPONSE_BYTES = 1000\n");
    daemon_.Enqueue(Reply::Result(3).Output("echo", std::string(5000, 'y')));
    try {
        call.Run();
        FAIL() << "no exception";
    } catch (const QxLnkSoap::SoapException& error) {
        EXPECT_NE(LnkTest::PlainText(error).find("1000"), std::string::npos) << LnkTest::PlainText(error);
    }
    EXPECT_FALSE(call.echoReceived);
    daemon_.Enqueue(Reply::Result(4).Output("echo", std::string(500, 'y')));
    call.Run();
    EXPECT_EQ(call.result, 4);
}

TEST_F(RpcHttp, AnUnconfiguredMessengerRaisesRpcException) {
    Call call = NewCall();
    call.messenger = QxLnkMsg::Messenger();
    EXPECT_FALSE(call.messenger.IsValid());
    EXPECT_THROW(call.Run(), QxLnkRpc::RpcException);
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

TEST_F(RpcHttp, AnEmptyCallCannotBeInvoked) {
    QxLnkRpc::RpcCall call;
    EXPECT_FALSE(call.IsValid());
    EXPECT_THROW(call.Invoke(0, nullptr, "UTF-8"), QxPalMsg::IllegalStateError_t);
}

TEST_F(RpcHttp, RefusesOtherEncodings) {
    QxLnkRpc::RpcClient client(LnkTest::Attributes(), messenger_);
    QxLnkRpc::RpcCall call = client.CreateCall("start", QxPalNet::URI_t(daemon_.Uri().c_str()), {});
    EXPECT_THROW(call.Invoke(0, nullptr, "ISO-8859-1"), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

TEST_F(RpcHttp, RefusesNullOutputsBeforeSendingAnything) {
    QxLnkRpc::RpcClient client(LnkTest::Attributes(), messenger_);
    QxLnkRpc::RpcCall call = client.CreateCall("start", QxPalNet::URI_t(daemon_.Uri().c_str()), {});
    QxLnkSoap::SOAPArg* outputs[] = {nullptr};
    EXPECT_THROW(call.Invoke(1, outputs, "UTF-8"), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(call.Invoke(-1, nullptr, "UTF-8"), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

TEST_F(RpcHttp, RefusesUrisWithWhiteSpaceOrControlsOrWithoutHttp) {
    QxLnkRpc::RpcClient client(LnkTest::Attributes(), messenger_);
    const std::string base = "http://127.0.0.1:" + std::to_string(daemon_.Port());
    for (const std::string& uri :
         {base + "/a b", base + "/a\rb", base + "/a\nHost: evil", base + "/a\tb", std::string("ftp://127.0.0.1/x"),
          std::string("http:///path"), std::string("not a uri"), std::string("")}) {
        EXPECT_THROW(client.CreateCall("start", QxPalNet::URI_t(uri.c_str()), {}), QxPalMsg::IllegalArgumentError_t)
            << uri;
    }
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

TEST_F(RpcHttp, RefusesAppNamesThatWouldBreakTheHead) {
    QxPalConfig::Configuration_t attributes = LnkTest::Attributes();
    attributes.SetAttrValue("APP_NAME", "evil\r\nX-Injected: 1");
    EXPECT_THROW(QxLnkRpc::RpcClient(attributes, messenger_), QxPalMsg::IllegalArgumentError_t);
}

// ------------------------------------------------------------------ connections

TEST_F(RpcHttp, SequentialCallsReuseOneKeptAliveConnection) {
    for (int i = 0; i < 20; ++i) {
        Call call = NewCall();
        call.Run();
        ASSERT_EQ(call.result, 0);
    }
    EXPECT_EQ(daemon_.RequestCount(), 20u);
    EXPECT_EQ(daemon_.ConnectionCount(), 1u);
}

TEST_F(RpcHttp, CopiesOfAMessengerShareThePool) {
    QxLnkMsg::Messenger copy = messenger_;
    for (int i = 0; i < 4; ++i) {
        Call call = NewCall();
        call.messenger = (i % 2 == 0) ? copy : messenger_;
        call.Run();
    }
    EXPECT_EQ(daemon_.ConnectionCount(), 1u);
    // A different messenger has its own pool.
    Call other = NewCall();
    other.messenger = MakeMessenger();
    other.Run();
    EXPECT_EQ(daemon_.ConnectionCount(), 2u);
}

TEST_F(RpcHttp, SetConnectionCloseAsksForCloseAndNeverPools) {
    for (int i = 0; i < 3; ++i) {
        Call call = NewCall();
        call.connectionClose = true;
        call.Run();
        EXPECT_EQ(call.result, 0);
    }
    EXPECT_EQ(daemon_.ConnectionCount(), 3u);
    for (const auto& request : daemon_.Requests()) EXPECT_EQ(request.Header("connection"), "close");
}

TEST_F(RpcHttp, ConnectionCloseFromTheDaemonIsHonoured) {
    for (int i = 0; i < 3; ++i) {
        daemon_.Enqueue(Reply::Result(0).CloseConnection());
        Call call = NewCall();
        call.Run();
        EXPECT_EQ(call.result, 0);
    }
    EXPECT_EQ(daemon_.ConnectionCount(), 3u);
    Call call = NewCall();
    call.Run();
    EXPECT_EQ(daemon_.ConnectionCount(), 4u);
}

TEST_F(RpcHttp, ConcurrentCallsOnCopiesGetTheirOwnAnswers) {
    daemon_.SetHandler([](const RecordedRequest& request) {
        return Reply::Result(0).Output("echo", request.Arg("target").value_or("?"));
    });
    constexpr int kThreads = 8;
    constexpr int kCalls = 25;
    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t, messenger = messenger_] {
            for (int i = 0; i < kCalls; ++i) {
                const std::string mine = "thread " + std::to_string(t) + " call " + std::to_string(i) + " \xc3\xa4";
                Call call;
                call.messenger = messenger;
                call.uri = daemon_.Uri();
                call.inputs = {{"target", String_t(mine.c_str())}};
                try {
                    call.Run();
                    if (call.echo.ToUtf8() != mine || call.result != 0) ++mismatches;
                } catch (...) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(daemon_.RequestCount(), static_cast<std::size_t>(kThreads * kCalls));
    EXPECT_LE(daemon_.ConnectionCount(), static_cast<std::size_t>(kThreads)) << "connections are reused";
}

TEST_F(RpcHttp, ResolvesHostNames) {
    Call call = NewCall();
    call.uri = daemon_.Uri("localhost", "/x/lnkrpcserver");
    call.Run();
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(daemon_.Requests().at(0).Header("host"), "localhost:" + std::to_string(daemon_.Port()));
}

}  // namespace
