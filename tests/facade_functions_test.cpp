// The function-style interface against the test daemon: default options, the
// node as a C string, the daemon's accepted code as the result, and the same
// exceptions as Control.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "TestDaemon.h"
#include "facade_support.h"

namespace {

using DaDovu::Control;
using FacadeTest::ScopedSettings;
using QxPalNet::URI_t;
using QxPalStr::String_t;
using SoapTest::RecordedRequest;
using SoapTest::Reply;
using SoapTest::TestDaemon;

using Args = std::vector<std::pair<std::string, std::string>>;

class FunctionStyle : public ::testing::Test {
protected:
    static void SetUpTestSuite() { settings_ = std::make_unique<ScopedSettings>(FacadeTest::MessengerSettings()); }
    static void TearDownTestSuite() { settings_.reset(); }

    std::string Node() const { return FacadeTest::NodeOf(daemon_); }

    // What the daemon recorded of a request, without what differs between any
    // two requests (the client's connection).
    static std::string Shape(const RecordedRequest& r) {
        std::string shape = r.path + " " + r.method + " " + r.methodNamespace + " target-id:" +
                            (r.targetId ? *r.targetId : "<none>") + " ";
        for (const auto& [name, value] : r.args) shape += name + "=" + value + ";";
        for (const auto& [name, type] : r.argTypes) shape += name + ":" + type + ";";
        return shape + " ua:" + r.Header("user-agent") + " action:" + r.Header("soapaction");
    }

    static std::unique_ptr<ScopedSettings> settings_;
    TestDaemon daemon_;
};
std::unique_ptr<ScopedSettings> FunctionStyle::settings_;

TEST_F(FunctionStyle, StartIsControlStartWithDefaultOptions) {
    daemon_.Enqueue(Reply::Result(0));
    daemon_.Enqueue(Reply::Result(0));
    EXPECT_EQ(DaDovu::Start("web", Node().c_str()), 0);
    Control::Start("web", String_t(Node().c_str()), Control::Options());
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Shape(requests[0]), Shape(requests[1]));
    EXPECT_EQ(requests[0].body, requests[1].body);
    EXPECT_EQ(requests[0].path, "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(requests[0].args, (Args{{"target", "web"}, {"boot", "false"}, {"async", "false"}}));
    EXPECT_FALSE(requests[0].targetId.has_value());
}

// On "localhost" the function is the local Control::Start: the same lines, the
// same endpoint, the same outcome. A target that XML cannot carry keeps both
// requests from being sent, whatever listens on the local node's default port.
TEST_F(FunctionStyle, StartOnLocalhostIsTheLocalControlStart) {
    const String_t target("\x01");
    const auto run = [](const std::function<void()>& request, std::string& outcome) {
        FacadeTest::TraceCapture trace(1);
        try {
            request();
            outcome = "returned";
        } catch (const QxPalMsg::Exception_t& e) {
            outcome = typeid(e).name();
        }
        return trace.Texts();
    };
    std::string functionOutcome;
    std::string controlOutcome;
    const std::vector<std::string> viaFunction = run([&] { DaDovu::Start(target, "localhost"); }, functionOutcome);
    const std::vector<std::string> viaControl =
        run([&] { Control::Start(target, Control::Options()); }, controlOutcome);
    EXPECT_EQ(viaFunction, viaControl);
    EXPECT_EQ(functionOutcome, controlOutcome);
    ASSERT_GE(viaFunction.size(), 2u);
    EXPECT_EQ(viaFunction[1],
              "Executing method 'start': target='\x01' on http://localhost/dadovu.ctrl.server/lnkrpcserver");
}

TEST_F(FunctionStyle, StartAndStopReturnTheAcceptedCode) {
    daemon_.Enqueue(Reply::Result(3));
    daemon_.Enqueue(Reply::Result(128));
    EXPECT_EQ(DaDovu::Start("web", Node().c_str()), 3);
    EXPECT_EQ(DaDovu::Stop("web", Node().c_str()), 128);
    const RecordedRequest stop = daemon_.Requests().back();
    EXPECT_EQ(stop.method, "stop");
    EXPECT_EQ(stop.path, "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(stop.args, (Args{{"target", "web"}, {"kill", "false"}, {"async", "false"}}));
}

TEST_F(FunctionStyle, StartAndStopThrowForFailingCodes) {
    daemon_.Enqueue(Reply::Result(65));
    daemon_.Enqueue(Reply::Result(64));
    EXPECT_THROW(DaDovu::Start("web", Node().c_str()), DaDovu::TargetException);
    EXPECT_THROW(DaDovu::Stop("web", Node().c_str()), DaDovu::ComponentException);
}

TEST_F(FunctionStyle, StatusReturnsZeroAndFillsTheText) {
    daemon_.Enqueue(Reply::Result(0).Output("status", "web: running"));
    String_t status("before");
    EXPECT_EQ(DaDovu::Status(Control::STATUS_STATES, "web", status, Node().c_str()), 0);
    EXPECT_EQ(status.ToUtf8(), "web: running");
    const RecordedRequest r = daemon_.Requests().back();
    EXPECT_EQ(r.method, "status");
    EXPECT_EQ(r.path, "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(r.args, (Args{{"level", "1"}, {"target", "web"}}));
}

TEST_F(FunctionStyle, StatusLevel8ThrowsAndLeavesTheTextUnchanged) {
    String_t status("before");
    EXPECT_THROW(DaDovu::Status(8, "web", status, Node().c_str()), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(status.ToUtf8(), "before");
    EXPECT_THROW(DaDovu::Status(-1, "web", status, Node().c_str()), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(status.ToUtf8(), "before");
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

TEST_F(FunctionStyle, StatusLeavesTheTextUnchangedWhenTheDaemonFails) {
    daemon_.Enqueue(Reply::Result(65).Output("status", "partial"));
    String_t status("before");
    EXPECT_THROW(DaDovu::Status(Control::STATUS_NAMES, "web", status, Node().c_str()), DaDovu::TargetException);
    EXPECT_EQ(status.ToUtf8(), "before");
}

TEST_F(FunctionStyle, NotifyReturnsTheCodeAndThrowsEventExceptionFor73) {
    daemon_.Enqueue(Reply::Result(0));
    daemon_.Enqueue(Reply::Result(73));
    EXPECT_EQ(DaDovu::Notify("reload", "now", "web", Node().c_str()), 0);
    EXPECT_THROW(DaDovu::Notify("reload", "now", "web", Node().c_str()), DaDovu::EventException);
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "notify");
    EXPECT_EQ(requests[0].path, "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(requests[0].args, (Args{{"event", "reload"}, {"value", "now"}, {"target", "web"}, {"async", "false"}}));
    EXPECT_FALSE(requests[0].targetId.has_value());
}

TEST_F(FunctionStyle, AnUnreachableNodeIsACommunicationException) {
    const std::string node = Node();
    daemon_.Stop();
    EXPECT_THROW(DaDovu::Start("web", node.c_str()), DaDovu::CommunicationException);
    String_t status("before");
    EXPECT_THROW(DaDovu::Status(0, "web", status, node.c_str()), DaDovu::CommunicationException);
    EXPECT_EQ(status.ToUtf8(), "before");
}

// A null node reads as an empty node name; the endpoint "http:///..." has no
// host, so the request is refused before anything is sent.
TEST_F(FunctionStyle, ANullNodeIsRefusedBeforeAnythingIsSent) {
    String_t status("before");
    EXPECT_THROW(DaDovu::Start("web", nullptr), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(DaDovu::Stop("web", nullptr), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(DaDovu::Status(0, "web", status, nullptr), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(DaDovu::Notify("ev", "1", "web", nullptr), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(status.ToUtf8(), "before");
}

TEST_F(FunctionStyle, RegistrationForwardsNamesAndReturnsTheCodeUnchecked) {
    daemon_.Enqueue(Reply::Result(65));
    daemon_.Enqueue(Reply::Result(2));
    const URI_t uri(daemon_.Uri().c_str());
    EXPECT_EQ(DaDovu::AddComponent("/etc/components/web.xml", uri), 65);
    EXPECT_EQ(DaDovu::DeleteComponent("web", uri), 2);
    const std::vector<RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "addcomponent");
    EXPECT_EQ(requests[0].args, (Args{{"filename", "/etc/components/web.xml"}}));
    EXPECT_EQ(requests[1].method, "deletecomponent");
    EXPECT_EQ(requests[1].args, (Args{{"componentname", "web"}}));
}

TEST_F(FunctionStyle, RegistrationReportsAFailedCallAsMinusOne) {
    const URI_t uri(daemon_.Uri().c_str());
    daemon_.Stop();
    EXPECT_EQ(DaDovu::AddComponent("/etc/components/web.xml", uri), -1);
    EXPECT_EQ(DaDovu::DeleteComponent("web", uri), -1);
}

}  // namespace
