// What each request of the engine puts on the wire: the method, its arguments
// in order with their values and types, the endpoint path, the client's name,
// the target ID header, "Connection: close" and the secure-communication switch.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "TestDaemon.h"
#include "engine/ControlImpl.h"
#include "engine_support.h"

namespace {

using DaDovu::Control;
using DaDovu::ControlImpl_t;
using EngineTest::EngineFixture;
using EngineTest::Request;
using SoapTest::RecordedRequest;
using SoapTest::Reply;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// --- Arguments, per method ----------------------------------------------------

class EngineWire : public EngineFixture {};

TEST_F(EngineWire, StartSendsTargetBootAndAsyncAsWords) {
    ControlImpl_t::Start("web*", false, options_, Uri());
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.method, "start");
    EXPECT_EQ(request.args, (Pairs{{"target", "web*"}, {"boot", "false"}, {"async", "false"}}));
    EXPECT_EQ(request.argTypes, (Pairs{{"target", "xsd:string"}, {"boot", "xsd:string"}, {"async", "xsd:string"}}));
    EXPECT_EQ(request.path, "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_TRUE(request.xmlWellFormed);
}

TEST_F(EngineWire, StartSendsBootTrueAndAsyncFromTheOptions) {
    options_.SetAsynchronous(true);
    ControlImpl_t::Start("db", true, options_, Uri());
    EXPECT_EQ(OnlyRequest().args, (Pairs{{"target", "db"}, {"boot", "true"}, {"async", "true"}}));
}

TEST_F(EngineWire, StartNamesTheClientAndItsVersion) {
    ControlImpl_t::Start("db", false, options_, Uri());
    EXPECT_EQ(OnlyRequest().Header("user-agent"), "dadovu.ctrl.client/1.5.0.0");
}

TEST_F(EngineWire, StopSendsTargetKillAndAsync) {
    ControlImpl_t::Stop("web", false, options_, Uri());
    options_.SetAsynchronous(true);
    ControlImpl_t::Stop("db", true, options_, Uri());
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "stop");
    EXPECT_EQ(requests[0].args, (Pairs{{"target", "web"}, {"kill", "false"}, {"async", "false"}}));
    EXPECT_EQ(requests[1].args, (Pairs{{"target", "db"}, {"kill", "true"}, {"async", "true"}}));
    EXPECT_EQ(requests[1].argTypes, (Pairs{{"target", "xsd:string"}, {"kill", "xsd:string"}, {"async", "xsd:string"}}));
}

TEST_F(EngineWire, NotifySendsEventValueTargetAndAsyncInThisOrder) {
    ControlImpl_t::Notify("reload", "now", "web", options_, Uri());
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.method, "notify");
    EXPECT_EQ(request.args, (Pairs{{"event", "reload"}, {"value", "now"}, {"target", "web"}, {"async", "false"}}));
    for (const auto& type : request.argTypes) EXPECT_EQ(type.second, "xsd:string") << type.first;
}

TEST_F(EngineWire, NotifySendsAnEmptyValueAsAnEmptyString) {
    ControlImpl_t::Notify("reload", "", "", options_, Uri());
    EXPECT_EQ(OnlyRequest().args, (Pairs{{"event", "reload"}, {"value", ""}, {"target", ""}, {"async", "false"}}));
}

TEST_F(EngineWire, TextsTravelUnchangedIncludingMarkupAndNonAscii) {
    const QxPalStr::String_t target("a<b>&\"c\" \xC3\xA9\xE2\x82\xAC \xF0\x9F\x98\x80");
    ControlImpl_t::Start(target, false, options_, Uri());
    EXPECT_EQ(OnlyRequest().Arg("target"), target.ToUtf8());
}

TEST_F(EngineWire, GetUserSendsNoArgumentAtAll) {
    ControlImpl_t::GetUser(options_, Uri());
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.method, "getuser");
    EXPECT_TRUE(request.args.empty());
}

TEST_F(EngineWire, StatusSendsLevelAsIntegerThenTarget) {
    daemon_.Enqueue(Reply::Result(0).Output("status", "ok"));
    ControlImpl_t::Status(Control::STATUS_PROCESSES, "web", options_, Uri());
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.method, "status");
    EXPECT_EQ(request.args, (Pairs{{"level", "2"}, {"target", "web"}}));
    EXPECT_EQ(request.argTypes, (Pairs{{"level", "xsd:int"}, {"target", "xsd:string"}}));
}

TEST_F(EngineWire, StatusAsListSendsLevelThenTarget) {
    DaDovu::ControlComponentList list;
    ControlImpl_t::Status(Control::STATUS_FULL, "db", options_, list, Uri());
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.method, "statusaslist");
    EXPECT_EQ(request.args, (Pairs{{"level", "7"}, {"target", "db"}}));
    EXPECT_EQ(request.argTypes, (Pairs{{"level", "xsd:int"}, {"target", "xsd:string"}}));
}

TEST_F(EngineWire, RequestProgressSendsTheLowWordOfTheRequestIdAsSignedInteger) {
    QxPalMsg::MessageList_t messages;
    ControlImpl_t::GetCommandProgress(5, options_, messages, Uri());
    ControlImpl_t::GetCommandProgress(4294967295ull, options_, messages, Uri());
    ControlImpl_t::GetCommandProgress(1ull << 32, options_, messages, Uri());
    ControlImpl_t::GetCommandProgress(0xFFFFFFFF80000000ull, options_, messages, Uri());
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].method, "requestprogress");
    EXPECT_EQ(requests[0].args, (Pairs{{"RequestID", "5"}}));
    EXPECT_EQ(requests[0].argTypes, (Pairs{{"RequestID", "xsd:int"}}));
    EXPECT_EQ(requests[1].args, (Pairs{{"RequestID", "-1"}}));
    EXPECT_EQ(requests[2].args, (Pairs{{"RequestID", "0"}}));
    EXPECT_EQ(requests[3].args, (Pairs{{"RequestID", "-2147483648"}}));
}

TEST_F(EngineWire, AddComponentSendsTheFileName) {
    EXPECT_EQ(ControlImpl_t::AddComponent("/opt/comp/web.xml", Uri()), 0);
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.method, "addcomponent");
    EXPECT_EQ(request.args, (Pairs{{"filename", "/opt/comp/web.xml"}}));
    EXPECT_EQ(request.argTypes, (Pairs{{"filename", "xsd:string"}}));
}

TEST_F(EngineWire, DeleteComponentSendsTheComponentNameEvenWhenEmpty) {
    EXPECT_EQ(ControlImpl_t::DeleteComponent("", Uri()), 0);
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.method, "deletecomponent");
    EXPECT_EQ(request.args, (Pairs{{"componentname", ""}}));
}

// --- What every request shares ------------------------------------------------

class EveryRequest : public EngineFixture, public ::testing::WithParamInterface<Request> {};

TEST_P(EveryRequest, GoesToTheUriPathAsItsMethod) {
    GetParam().run(options_, Uri());
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.method, GetParam().method);
    EXPECT_EQ(request.path, "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(request.Header("user-agent"), "dadovu.ctrl.client/1.5.0.0");
}

TEST_P(EveryRequest, CarriesNoTargetIdUnlessOneIsSet) {
    GetParam().run(options_, Uri());
    options_.SetTargetID("");
    GetParam().run(options_, Uri());
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].targetId.has_value());
    EXPECT_FALSE(requests[1].targetId.has_value());
}

TEST_P(EveryRequest, CarriesTheTargetIdOfItsOptions) {
    options_.SetTargetID("node-7/instance 2");
    GetParam().run(options_, Uri());
    const RecordedRequest request = OnlyRequest();
    if (GetParam().framed) {
        ASSERT_TRUE(request.targetId.has_value());
        EXPECT_EQ(*request.targetId, "node-7/instance 2");
    } else {
        // The registration methods take no options: no target ID reaches them.
        EXPECT_FALSE(request.targetId.has_value());
    }
}

TEST_P(EveryRequest, KeepsTheConnectionUnlessClosingIsAsked) {
    GetParam().run(options_, Uri());
    settings_.SetCloseConnection("");
    GetParam().run(options_, Uri());
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].Header("connection"), "close");
    EXPECT_NE(requests[1].Header("connection"), "close");
}

TEST_P(EveryRequest, ClosesTheConnectionWhenTheSettingsAskForIt) {
    settings_.SetCloseConnection("true");
    GetParam().run(options_, Uri());
    GetParam().run(options_, Uri());
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Header("connection"), "close");
    EXPECT_EQ(requests[1].Header("connection"), "close");
    EXPECT_EQ(daemon_.ConnectionCount(), 2u);
}

TEST_P(EveryRequest, ReadsTheConnectionSettingAfreshAtEachRequest) {
    settings_.SetCloseConnection("true");
    GetParam().run(options_, Uri());
    settings_.SetCloseConnection("false");
    GetParam().run(options_, Uri());
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Header("connection"), "close");
    EXPECT_NE(requests[1].Header("connection"), "close");
}

// With a certificate installed every call asks for secure communication, which
// refuses a plain-http endpoint before anything is sent. (The secure path
// itself, over TLS, is tested in its own process: tests/process.)
TEST_P(EveryRequest, AsksForSecureCommunicationOnlyWithACertificateInstalled) {
    settings_.SetCertInstalled("true");
    try {
        GetParam().run(options_, Uri());
        EXPECT_FALSE(GetParam().framed) << "a framed request must fail";
    } catch (const DaDovu::CommunicationException&) {
        EXPECT_TRUE(GetParam().framed);
    }
    EXPECT_EQ(daemon_.RequestCount(), 0u);

    for (const char* notInstalled : {"false", "", "perhaps"}) {
        settings_.SetCertInstalled(notInstalled);
        GetParam().run(options_, Uri());
    }
    EXPECT_EQ(daemon_.RequestCount(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Engine, EveryRequest, ::testing::ValuesIn(EngineTest::AllRequests()),
                         [](const ::testing::TestParamInfo<Request>& param) { return param.param.name; });

}  // namespace
