// The request trace "ctrl.rpcclient": the announcing and finishing lines of
// each method, the level-4 lines of caught failures, the certificate and
// messenger lines, and the level test that decides whether a line is written.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>
#include <vorazudor/secauth.h>

#include <string>
#include <vector>

#include "TestDaemon.h"
#include "engine/ControlImpl.h"
#include "engine_support.h"

namespace {

using DaDovu::Control;
using DaDovu::ControlImpl_t;
using EngineTest::EngineFixture;
using EngineTest::FramedMethod;
using EngineTest::TraceCapture;
using SoapTest::Reply;
using Lines = std::vector<std::string>;

const std::string kNoCert = "Certificate is not installed";

class EngineTrace : public EngineFixture {
protected:
    std::string On() const { return " on " + daemon_.Uri(); }
};

// --- Announcing and finishing lines ----------------------------------------------

TEST_F(EngineTrace, Start) {
    TraceCapture trace(settings_, 1);
    ControlImpl_t::Start("web*", true, options_, Uri());
    EXPECT_EQ(trace.Texts(), (Lines{"Executing method 'start': target='web*'" + On(), kNoCert,
                                    "Finished executing method 'start': rc='0'"}));
}

TEST_F(EngineTrace, Stop) {
    TraceCapture trace(settings_, 1);
    daemon_.Enqueue(Reply::Result(-65));
    ControlImpl_t::Stop("db", true, options_, Uri());
    EXPECT_EQ(trace.Texts(), (Lines{"Executing method 'stop': target='db'" + On(), kNoCert,
                                    "Finished executing method 'stop': rc='-65'"}));
}

TEST_F(EngineTrace, Notify) {
    TraceCapture trace(settings_, 1);
    daemon_.Enqueue(Reply::Result(3));
    ControlImpl_t::Notify("reload", "now", "web", options_, Uri());
    EXPECT_EQ(trace.Texts(), (Lines{"Executing method 'notify': event='reload' value='now' target='web'" + On(),
                                    kNoCert, "Finished executing method 'notify': rc='3'"}));
}

TEST_F(EngineTrace, GetUser) {
    TraceCapture trace(settings_, 1);
    daemon_.Enqueue(Reply::Result(0).Output("uid", "-7", "xsd:int").Output("user", "qtadm"));
    ControlImpl_t::GetUser(options_, Uri());
    EXPECT_EQ(trace.Texts(), (Lines{"Executing method 'getuser'" + On(), kNoCert,
                                    "Finished executing method 'getuser': rc='0' user='qtadm' uid='-7'"}));
}

TEST_F(EngineTrace, Status) {
    TraceCapture trace(settings_, 1);
    daemon_.Enqueue(Reply::Result(0).Output("status", "all fine"));
    ControlImpl_t::Status(Control::STATUS_DESCRIPTIONS, "web", options_, Uri());
    EXPECT_EQ(trace.Texts(), (Lines{"Executing method 'status': level='3', target='web'" + On(), kNoCert,
                                    "Finished executing method 'status': rc='0'"}));
}

TEST_F(EngineTrace, StatusAsListFinishesWithTheWordStatus) {
    TraceCapture trace(settings_, 1);
    daemon_.Enqueue(Reply::Result(0).RawOutput(
        "complist", "<ctrlcomp><name>a</name><state>2</state></ctrlcomp><ctrlcomp><name>b</name></ctrlcomp>"));
    DaDovu::ControlComponentList list;
    ControlImpl_t::Status(Control::STATUS_FULL, "web", options_, list, Uri());
    EXPECT_EQ(trace.Texts(), (Lines{"Executing method 'statusaslist': level='7', target='web'" + On(), kNoCert,
                                    "Added new component to the control component list",
                                    "Added new component to the control component list",
                                    "Finished executing method 'status': rc='0'"}));
}

TEST_F(EngineTrace, RequestProgressNamesTheMethodDifferentlyInItsTwoLines) {
    TraceCapture trace(settings_, 1);
    daemon_.Enqueue(Reply::Result(65));
    QxPalMsg::MessageList_t messages;
    EXPECT_EQ(ControlImpl_t::GetCommandProgress(9, options_, messages, Uri()), 65);
    EXPECT_EQ(trace.Texts(), (Lines{"Executing method 'GetCommandProgress'" + On(), kNoCert,
                                    "Finished executing method 'RequestProgress': rc='65'"}));
}

TEST_F(EngineTrace, LinesAreWrittenWithLevelAndSourceName) {
    TraceCapture trace(settings_, 1 | 4);
    ControlImpl_t::Start("t", false, options_, Uri());
    daemon_.Enqueue(Reply::Fault("boom"));
    EXPECT_THROW(ControlImpl_t::Stop("t", false, options_, Uri()), DaDovu::CommunicationException);
    const std::vector<TraceCapture::Line> lines = trace.Lines();
    ASSERT_EQ(lines.size(), 6u);
    const unsigned levels[] = {1, 1, 1, 1, 1, 4};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].level, levels[i]) << lines[i].text;
        EXPECT_EQ(lines[i].source.rfind("RpcClientImpl:", 0), 0u) << lines[i].source;
    }
}

// --- The level test ----------------------------------------------------------------

TEST_F(EngineTrace, NothingIsWrittenWhenTheLevelIsNotInTheMask) {
    for (unsigned mask : {0u, 2u, 4u, 8u | 16u}) {
        TraceCapture trace(settings_, mask);
        ControlImpl_t::Start("t", false, options_, Uri());
        ControlImpl_t::GetUser(options_, Uri());
        EXPECT_TRUE(trace.Texts().empty()) << "mask " << mask << ": " << trace.Texts().front();
    }
    EXPECT_EQ(daemon_.RequestCount(), 8u) << "requests are sent whatever the trace";
}

// --- Rejected codes and caught failures ------------------------------------------------

class FramedTrace : public EngineFixture, public ::testing::WithParamInterface<FramedMethod> {};

TEST_P(FramedTrace, ARejectedCodeLeavesNoFinishingLine) {
    TraceCapture trace(settings_, 1 | 4);
    daemon_.Enqueue(Reply::Result(65));
    if (GetParam().request.method == "requestprogress") {
        // Its codes are not checked: the request finishes, and says so.
        EXPECT_NO_THROW(GetParam().request.run(options_, Uri()));
        const Lines texts = trace.Texts();
        ASSERT_EQ(texts.size(), 3u);
        EXPECT_EQ(texts[2], "Finished executing method 'RequestProgress': rc='65'");
        return;
    }
    EXPECT_THROW(GetParam().request.run(options_, Uri()), DaDovu::TargetException);
    const Lines texts = trace.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind("Executing method '", 0), 0u) << texts[0];
    EXPECT_EQ(texts[1], kNoCert);
}

TEST_P(FramedTrace, ACaughtFailureWritesOneLevel4Line) {
    TraceCapture trace(settings_, 4);
    daemon_.Enqueue(Reply::Fault("boom"));
    EXPECT_THROW(GetParam().request.run(options_, Uri()), DaDovu::CommunicationException);
    daemon_.Enqueue(Reply::Fault("ctrlauthorization"));
    EXPECT_THROW(GetParam().request.run(options_, Uri()), QxSecAuth::SecAuthException);
    EXPECT_EQ(trace.Texts(), (Lines{GetParam().FailureTrace() + "boom", GetParam().FailureTrace() + "ctrlauthorization"}));
}

INSTANTIATE_TEST_SUITE_P(Engine, FramedTrace, ::testing::ValuesIn(EngineTest::FramedMethods()),
                         [](const ::testing::TestParamInfo<FramedMethod>& param) { return param.param.request.name; });

TEST_F(EngineTrace, ARegistrationFailureWritesOneLevel4Line) {
    TraceCapture trace(settings_, 4);
    daemon_.Enqueue(Reply::Fault("no such file"));
    EXPECT_EQ(ControlImpl_t::AddComponent("web.xml", Uri()), -1);
    daemon_.Enqueue(Reply::Fault("busy"));
    EXPECT_EQ(ControlImpl_t::DeleteComponent("web", Uri()), -1);
    EXPECT_EQ(trace.Texts(), (Lines{"Exception caught: Error=no such file", "Exception caught: Error=busy"}));
}

// --- Certificate and messenger lines -----------------------------------------------------

TEST_F(EngineTrace, TheCertificateLineFollowsTheSetting) {
    TraceCapture trace(settings_, 1);
    EXPECT_FALSE(DaDovu::IsCertInstalled());
    settings_.SetCertInstalled("true");
    EXPECT_TRUE(DaDovu::IsCertInstalled());
    settings_.SetCertInstalled("");
    EXPECT_FALSE(DaDovu::IsCertInstalled());
    settings_.SetCertInstalled("not a boolean");
    EXPECT_FALSE(DaDovu::IsCertInstalled());
    EXPECT_EQ(trace.Texts(), (Lines{kNoCert, "Certificate is installed", kNoCert, kNoCert}));
}

TEST_F(EngineTrace, ACertificateInstalledIsTracedDuringTheRequest) {
    settings_.SetCertInstalled("true");
    TraceCapture trace(settings_, 1);
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, Uri()), DaDovu::CommunicationException);
    EXPECT_EQ(trace.Texts(), (Lines{"Executing method 'start': target='t'" + On(), "Certificate is installed"}));
}

TEST_F(EngineTrace, EveryLaterRequestFindsTheMessenger) {
    ControlImpl_t::Start("t", false, options_, Uri());  // the messenger exists from here on
    TraceCapture trace(settings_, 25);
    ControlImpl_t::Start("t", false, options_, Uri());
    ControlImpl_t::AddComponent("f", Uri());
    EXPECT_EQ(trace.Count("Messenger object already exists."), 2u);
    EXPECT_EQ(trace.Count("Initializing messenger object."), 0u);
    for (const TraceCapture::Line& line : trace.Lines()) {
        if (line.text == "Messenger object already exists.") {
            EXPECT_EQ(line.level, 25u);
        }
    }
}

TEST_F(EngineTrace, TheMessengerLinesNeedAllBitsOfLevel25) {
    ControlImpl_t::Start("t", false, options_, Uri());
    TraceCapture trace(settings_, 1 | 8);
    ControlImpl_t::Start("t", false, options_, Uri());
    EXPECT_EQ(trace.Count("Messenger object already exists."), 0u);
}

}  // namespace
