// The Control facade against the test daemon: each overload family reaches its
// remote method at the right endpoint with its flags and options, hands back
// what the daemon answered, and lets failures through unchanged; the
// asynchronous forms and their request IDs.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>
#include <vorazudor/secauth.h>

#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestDaemon.h"
#include "api/OptionsImpl.h"
#include "facade_support.h"

namespace {

using DaDovu::Control;
using FacadeTest::ScopedSettings;
using QxPalNet::URI_t;
using QxPalStr::String_t;
using SoapTest::RecordedRequest;
using SoapTest::Reply;
using SoapTest::TestDaemon;

constexpr const char kServerPath[] = "/dadovu.ctrl.server/lnkrpcserver";

class ControlFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { settings_ = std::make_unique<ScopedSettings>(FacadeTest::MessengerSettings()); }
    static void TearDownTestSuite() { settings_.reset(); }

    // An endpoint with a path of its own, to tell URI requests from by-node ones.
    URI_t Endpoint() const { return URI_t(daemon_.Uri("/by.uri/lnkrpcserver").c_str()); }
    String_t Node() const { return String_t(FacadeTest::NodeOf(daemon_).c_str()); }

    RecordedRequest OnlyRequest() const {
        const std::vector<RecordedRequest> requests = daemon_.Requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? RecordedRequest() : requests.back();
    }
    RecordedRequest LastRequest() const {
        const std::vector<RecordedRequest> requests = daemon_.Requests();
        EXPECT_FALSE(requests.empty());
        return requests.empty() ? RecordedRequest() : requests.back();
    }

    static std::unique_ptr<ScopedSettings> settings_;
    TestDaemon daemon_;
};
std::unique_ptr<ScopedSettings> ControlFixture::settings_;

using ControlFacade = ControlFixture;
using ControlAsync = ControlFixture;

using Args = std::vector<std::pair<std::string, std::string>>;

// --- start / stop ------------------------------------------------------------

TEST_F(ControlFacade, StartByUriPassesBootAndOptions) {
    Control::Options options;
    options.SetTargetID("tid-7");
    Control::Start("web", true, options, Endpoint());
    const RecordedRequest r = OnlyRequest();
    EXPECT_EQ(r.path, "/by.uri/lnkrpcserver");
    EXPECT_EQ(r.method, "start");
    EXPECT_EQ(r.args, (Args{{"target", "web"}, {"boot", "true"}, {"async", "false"}}));
    EXPECT_EQ(r.targetId, std::optional<std::string>("tid-7"));
}

TEST_F(ControlFacade, StartByNodeGoesToTheServerPathWithBootFalse) {
    Control::Options options;
    options.SetTargetID("tid-8");
    Control::Start("web", Node(), options);
    const RecordedRequest r = OnlyRequest();
    EXPECT_EQ(r.path, kServerPath);
    EXPECT_EQ(r.method, "start");
    EXPECT_EQ(r.args, (Args{{"target", "web"}, {"boot", "false"}, {"async", "false"}}));
    EXPECT_EQ(r.targetId, std::optional<std::string>("tid-8"));
}

TEST_F(ControlFacade, StopByUriPassesKill) {
    Control::Stop("web", true, Control::Options(), Endpoint());
    const RecordedRequest r = OnlyRequest();
    EXPECT_EQ(r.path, "/by.uri/lnkrpcserver");
    EXPECT_EQ(r.method, "stop");
    EXPECT_EQ(r.args, (Args{{"target", "web"}, {"kill", "true"}, {"async", "false"}}));
    EXPECT_FALSE(r.targetId.has_value());
}

TEST_F(ControlFacade, StopByNodeGoesToTheServerPathWithKillFalse) {
    Control::Stop("web", Node(), Control::Options());
    const RecordedRequest r = OnlyRequest();
    EXPECT_EQ(r.path, kServerPath);
    EXPECT_EQ(r.method, "stop");
    EXPECT_EQ(r.args, (Args{{"target", "web"}, {"kill", "false"}, {"async", "false"}}));
}

// --- notify ------------------------------------------------------------------

TEST_F(ControlFacade, NotifyByUriAndByNode) {
    Control::Notify("reload", "now", "web", Control::Options(), Endpoint());
    Control::Notify("reload", "later", "db", Node(), Control::Options().SetTargetID("tid-9"));
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/by.uri/lnkrpcserver");
    EXPECT_EQ(requests[0].method, "notify");
    EXPECT_EQ(requests[0].args, (Args{{"event", "reload"}, {"value", "now"}, {"target", "web"}, {"async", "false"}}));
    EXPECT_EQ(requests[1].path, kServerPath);
    EXPECT_EQ(requests[1].args, (Args{{"event", "reload"}, {"value", "later"}, {"target", "db"}, {"async", "false"}}));
    EXPECT_EQ(requests[1].targetId, std::optional<std::string>("tid-9"));
}

// --- status ------------------------------------------------------------------

TEST_F(ControlFacade, StatusTextByUriAndByNodeReturnsTheDaemonsText) {
    daemon_.Enqueue(Reply::Result(0).Output("status", "web: running"));
    daemon_.Enqueue(Reply::Result(0).Output("status", "db: stopped \xE2\x9C\x93"));
    EXPECT_EQ(Control::Status(Control::STATUS_STATES, "web", Control::Options(), Endpoint()).ToUtf8(), "web: running");
    EXPECT_EQ(Control::Status(Control::STATUS_FULL, "db", Node(), Control::Options()).ToUtf8(),
              "db: stopped \xE2\x9C\x93");
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/by.uri/lnkrpcserver");
    EXPECT_EQ(requests[0].method, "status");
    EXPECT_EQ(requests[0].args, (Args{{"level", "1"}, {"target", "web"}}));
    EXPECT_EQ(requests[1].path, kServerPath);
    EXPECT_EQ(requests[1].args, (Args{{"level", "7"}, {"target", "db"}}));
}

TEST_F(ControlFacade, StatusListByUriAndByNodeAppendsTheRecords) {
    const std::string web =
        "<ctrlcomp><name>web</name><description>Web server</description><category>app</category>"
        "<pid>4242</pid><xml></xml><state>2</state></ctrlcomp>";
    const std::string db =
        "<ctrlcomp><name>db</name><description>Database</description><category>data</category>"
        "<pid></pid><xml></xml><state>0</state></ctrlcomp>";
    daemon_.Enqueue(Reply::Result(0).RawOutput("complist", web, "cclist"));
    daemon_.Enqueue(Reply::Result(0).RawOutput("complist", db, "cclist"));

    DaDovu::ControlComponentList list;
    Control::Status(Control::STATUS_PROCESSES, "web", Control::Options(), list, Endpoint());
    Control::Status(Control::STATUS_PROCESSES, "db", Node(), Control::Options(), list);

    std::vector<std::string> names;
    std::vector<int> states;
    for (; !list.IsAtEnd(); list.Next()) {
        names.push_back(list.GetCurrent().GetName().ToUtf8());
        states.push_back(list.GetCurrent().GetState());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"web", "db"}));
    EXPECT_EQ(states, (std::vector<int>{DaDovu::COMPONENT_RUNNING, DaDovu::COMPONENT_STOPPED}));

    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/by.uri/lnkrpcserver");
    EXPECT_EQ(requests[0].method, "statusaslist");
    EXPECT_EQ(requests[1].path, kServerPath);
    EXPECT_EQ(requests[1].method, "statusaslist");
}

TEST_F(ControlFacade, StatusLevelOutOfRangeSendsNothing) {
    DaDovu::ControlComponentList list;
    const auto bad = static_cast<Control::StatusLevel>(8);
    EXPECT_THROW(Control::Status(bad, "web", Control::Options(), Endpoint()), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(Control::Status(bad, "web", Node(), Control::Options()), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(Control::Status(static_cast<Control::StatusLevel>(-1), "web", Node(), Control::Options(), list),
                 QxPalMsg::IllegalArgumentError_t);
    EXPECT_TRUE(list.IsAtEnd());
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

// --- user, progress ----------------------------------------------------------

TEST_F(ControlFacade, GetUserByUriAndByNodeReturnsTheRecord) {
    daemon_.Enqueue(Reply::Result(0).Output("uid", "1001", "xsd:int").Output("user", "ctrl"));
    daemon_.Enqueue(Reply::Result(0).Output("uid", "0", "xsd:int").Output("user", "root"));
    const DaDovu::ControlUser byUri = Control::GetUser(Control::Options(), Endpoint());
    const DaDovu::ControlUser byNode = Control::GetUser(Node(), Control::Options());
    EXPECT_EQ(byUri.uid, 1001);
    EXPECT_EQ(byUri.user.ToUtf8(), "ctrl");
    EXPECT_EQ(byNode.uid, 0);
    EXPECT_EQ(byNode.user.ToUtf8(), "root");
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/by.uri/lnkrpcserver");
    EXPECT_EQ(requests[0].method, "getuser");
    EXPECT_EQ(requests[1].path, kServerPath);
    EXPECT_EQ(requests[1].method, "getuser");
}

TEST_F(ControlFacade, GetCommandProgressReturnsTheCodeUncheckedAndReplacesTheMessages) {
    daemon_.Enqueue(Reply::Result(65).RawOutput(
        "MsgList",
        "<Message><Severity>0</Severity><Catalog><CatalogID>ctrl</CatalogID><MsgNo>1</MsgNo></Catalog>"
        "<MsgString>stopping web</MsgString></Message>",
        "msglist"));
    QxPalMsg::MessageList_t messages;
    messages.Add(QxPalMsg::Message_t(String_t("old")));
    EXPECT_EQ(Control::GetCommandProgress(5, Control::Options(), messages, Endpoint()), 65);
    ASSERT_EQ(messages.GetMessageCount(), 1);
    EXPECT_EQ(messages.GetMessageObject(0).GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), "stopping web");
    const RecordedRequest r = OnlyRequest();
    EXPECT_EQ(r.path, "/by.uri/lnkrpcserver");
    EXPECT_EQ(r.method, "requestprogress");
    EXPECT_EQ(r.Arg("RequestID"), std::optional<std::string>("5"));
}

// --- failures pass unchanged -------------------------------------------------

TEST_F(ControlFacade, FailingResultCodesReachTheCallerUnchanged) {
    daemon_.Enqueue(Reply::Result(65));
    daemon_.Enqueue(Reply::Result(71));
    daemon_.Enqueue(Reply::Result(73));
    daemon_.Enqueue(Reply::Result(75));
    daemon_.Enqueue(Reply::Result(74));
    EXPECT_THROW(Control::Start("web", Node(), Control::Options()), DaDovu::TargetException);
    EXPECT_THROW(Control::Stop("web", false, Control::Options(), Endpoint()), DaDovu::PrerequisiteException);
    EXPECT_THROW(Control::Notify("ev", "1", "web", Node(), Control::Options()), DaDovu::EventException);
    EXPECT_THROW(Control::GetUser(Node(), Control::Options()), DaDovu::GetUserException);
    EXPECT_THROW(Control::Status(Control::STATUS_NAMES, "web", Node(), Control::Options()),
                 QxSecAuth::SecAuthException);
}

TEST_F(ControlFacade, AnUnreachableNodeIsACommunicationException) {
    const String_t node = Node();
    daemon_.Stop();
    EXPECT_THROW(Control::Start("web", node, Control::Options()), DaDovu::CommunicationException);
    EXPECT_THROW(Control::GetUser(node, Control::Options()), DaDovu::CommunicationException);
}

// --- asynchronous start and stop -----------------------------------------------

TEST_F(ControlAsync, StartAsyncLeavesTheOptionsAsynchronous) {
    daemon_.Enqueue(Reply::Result(7));
    Control::Options options;
    ASSERT_FALSE(Control::OptionsImpl::GetImpl(options).GetAsynchronous());
    EXPECT_EQ(Control::StartAsync("web", false, options, Endpoint()), 7u);
    EXPECT_TRUE(Control::OptionsImpl::GetImpl(options).GetAsynchronous());
    EXPECT_EQ(LastRequest().Arg("async"), std::optional<std::string>("true"));

    // A later plain Start with the same options is asynchronous too, by URI and by node.
    Control::Start("web", false, options, Endpoint());
    EXPECT_EQ(LastRequest().Arg("async"), std::optional<std::string>("true"));
    Control::Start("web", Node(), options);
    EXPECT_EQ(LastRequest().Arg("async"), std::optional<std::string>("true"));
    EXPECT_EQ(daemon_.RequestCount(), 3u);
}

TEST_F(ControlAsync, StartAsyncPassesBootAndTargetID) {
    Control::Options options;
    options.SetTargetID("tid-1");
    Control::StartAsync("web", true, options, Endpoint());
    const RecordedRequest r = OnlyRequest();
    EXPECT_EQ(r.method, "start");
    EXPECT_EQ(r.args, (Args{{"target", "web"}, {"boot", "true"}, {"async", "true"}}));
    EXPECT_EQ(r.targetId, std::optional<std::string>("tid-1"));
}

TEST_F(ControlAsync, ANegativeCodeIsWidenedWithItsSign) {
    daemon_.Enqueue(Reply::Result(-65));
    daemon_.Enqueue(Reply::Result(-65));
    Control::Options options;
    const unsigned long long twoTo64Minus65 = std::numeric_limits<unsigned long long>::max() - 64;
    EXPECT_EQ(Control::StartAsync("web", false, options, Endpoint()), twoTo64Minus65);
    EXPECT_EQ(Control::StopAsync("web", false, options, Endpoint()), twoTo64Minus65);
    // Accepted positive codes stay as they are.
    daemon_.Enqueue(Reply::Result(128));
    EXPECT_EQ(Control::StartAsync("web", false, options, Endpoint()), 128u);
}

TEST_F(ControlAsync, TheRequestIDTravelsBackToGetCommandProgressUnchanged) {
    daemon_.Enqueue(Reply::Result(-65));
    Control::Options options;
    const unsigned long long id = Control::StopAsync("web", false, options, Endpoint());
    QxPalMsg::MessageList_t messages;
    Control::GetCommandProgress(id, options, messages, Endpoint());
    EXPECT_EQ(LastRequest().method, "requestprogress");
    EXPECT_EQ(LastRequest().Arg("RequestID"), std::optional<std::string>("-65"));
}

TEST_F(ControlAsync, AFailingCodeIsAnExceptionNotARequestID) {
    daemon_.Enqueue(Reply::Result(64));
    daemon_.Enqueue(Reply::Result(64));
    daemon_.Enqueue(Reply::Result(65));
    Control::Options options;
    EXPECT_THROW(Control::StartAsync("web", false, options, Endpoint()), DaDovu::ComponentException);
    EXPECT_THROW(Control::StopAsync("web", true, options, Endpoint()), DaDovu::ComponentException);
    EXPECT_THROW(Control::StartAsync("web", false, options, Endpoint()), DaDovu::TargetException);
    // The flag was set before the request was sent, and stays set.
    EXPECT_TRUE(Control::OptionsImpl::GetImpl(options).GetAsynchronous());
}

TEST_F(ControlAsync, StopAsyncLeavesTheOptionsAsynchronousAndPassesKill) {
    daemon_.Enqueue(Reply::Result(9));
    Control::Options options;
    EXPECT_EQ(Control::StopAsync("web", true, options, Endpoint()), 9u);
    EXPECT_TRUE(Control::OptionsImpl::GetImpl(options).GetAsynchronous());
    EXPECT_EQ(LastRequest().args, (Args{{"target", "web"}, {"kill", "true"}, {"async", "true"}}));
    Control::Stop("web", Node(), options);
    EXPECT_EQ(LastRequest().args, (Args{{"target", "web"}, {"kill", "false"}, {"async", "true"}}));
    Control::Notify("ev", "1", "web", options, Endpoint());
    EXPECT_EQ(LastRequest().Arg("async"), std::optional<std::string>("true"));
}

}  // namespace
