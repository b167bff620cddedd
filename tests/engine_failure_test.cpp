// Failures of a call: SOAP faults (the daemon's security words and any other
// text), transport and SOAP failures, what each method translates them into,
// what it attaches, and what it writes to the node's log; the registration
// methods' own catch frame; and no lock held while a call is in flight.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>
#include <qxlnk/exceptions.h>
#include <unistd.h>
#include <vorazudor/secauth.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "TestDaemon.h"
#include "engine/ControlImpl.h"
#include "engine_support.h"

namespace {

using DaDovu::ControlImpl_t;
using EngineTest::EngineFixture;
using EngineTest::FramedMethod;
using SoapTest::Reply;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The security test of every method needs a SOAP fault that no earlier handler
// of the frame takes: a fault is a SOAP failure, not an RPC failure.
static_assert(std::is_base_of<QxLnkSoap::SoapException, QxLnkSoap::SoapFaultException>::value, "");
static_assert(!std::is_base_of<QxLnkRpc::RpcException, QxLnkSoap::SoapFaultException>::value, "");

// The exception's one message is the method's message from the catalog "ctrl",
// and the caught failure's messages are attached to it as details.
void ExpectTranslated(const QxPalMsg::Exception_t& e, unsigned number, const std::string& text,
                      const std::string& detailText) {
    const QxPalMsg::MessageList_t& messages = e.GetMessageList();
    ASSERT_EQ(messages.GetMessageCount(), 1);
    const QxPalMsg::Message_t& message = messages.GetMessageObject(0);
    EXPECT_STREQ(message.GetMessageCatalog(), "ctrl");
    EXPECT_EQ(message.GetMessageNo(), number);
    EXPECT_EQ(message.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), text);
    EXPECT_EQ(message.GetSeverity(), QxPalMsg::SEVERITY_ERROR);
    EXPECT_EQ(message.GetDetails().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8(), detailText);
}

// --- Per method of the frame ----------------------------------------------------

class FramedFailure : public EngineFixture, public ::testing::WithParamInterface<FramedMethod> {
protected:
    void Run() { GetParam().request.run(options_, Uri()); }
    std::size_t LogCount() const { return settings_.LogEntries().size(); }
};

TEST_P(FramedFailure, AuthorizationFaultRaisesTheSecurityException) {
    daemon_.Enqueue(Reply::Fault("ctrlauthorization"));
    try {
        Run();
        ADD_FAILURE() << "no exception";
    } catch (const QxSecAuth::SecAuthException& e) {
        EXPECT_EQ(typeid(e), typeid(QxSecAuth::SecAuthException));
        ExpectTranslated(e, GetParam().securityNo, GetParam().SecurityText(), "ctrlauthorization");
    }
}

TEST_P(FramedFailure, AuthenticationFaultRaisesTheSecurityException) {
    daemon_.Enqueue(Reply::Fault("ctrlauthentication", "soap:Client"));
    try {
        Run();
        ADD_FAILURE() << "no exception";
    } catch (const DaDovu::ControlException&) {
        ADD_FAILURE() << "a security failure must not be a ControlException";
    } catch (const QxSecAuth::SecAuthException& e) {
        ExpectTranslated(e, GetParam().securityNo, GetParam().SecurityText(), "ctrlauthentication");
    }
}

TEST_P(FramedFailure, AFaultThatMerelyContainsASecurityWordIsACommunicationFailure) {
    for (const char* text : {"ctrlauthorization failed", " ctrlauthentication", "CTRLAUTHORIZATION", "ctrlauth",
                             "component web crashed"}) {
        SCOPED_TRACE(text);
        daemon_.Enqueue(Reply::Fault(text));
        try {
            Run();
            ADD_FAILURE() << "no exception";
        } catch (const DaDovu::CommunicationException& e) {
            ExpectTranslated(e, GetParam().communicationNo, GetParam().CommunicationText(), text);
        }
    }
}

TEST_P(FramedFailure, AMalformedResponseIsACommunicationFailure) {
    daemon_.Enqueue(Reply::Raw("<not-an-envelope"));
    try {
        Run();
        ADD_FAILURE() << "no exception";
    } catch (const DaDovu::CommunicationException& e) {
        const QxPalMsg::Message_t& message = e.GetMessageList().GetMessageObject(0);
        EXPECT_EQ(message.GetMessageNo(), GetParam().communicationNo);
        EXPECT_GT(message.GetDetails().GetMessageCount(), 0);
    }
}

TEST_P(FramedFailure, AnUnreachableDaemonIsACommunicationFailure) {
    const QxPalNet::URI_t uri = Uri();
    daemon_.Stop();
    try {
        GetParam().request.run(options_, uri);
        ADD_FAILURE() << "no exception";
    } catch (const DaDovu::CommunicationException& e) {
        const QxPalMsg::Message_t& message = e.GetMessageList().GetMessageObject(0);
        EXPECT_EQ(message.GetMessageNo(), GetParam().communicationNo);
        EXPECT_EQ(message.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), GetParam().CommunicationText());
        EXPECT_GT(message.GetDetails().GetMessageCount(), 0);
    }
}

// Only "start" writes its translated failures to the node's log.
TEST_P(FramedFailure, OnlyStartLogsATranslatedFailure) {
    const QxPalNet::URI_t uri = Uri();
    daemon_.Enqueue(Reply::Fault("ctrlauthorization"));
    EXPECT_THROW(Run(), QxSecAuth::SecAuthException);
    daemon_.Stop();
    EXPECT_THROW(GetParam().request.run(options_, uri), DaDovu::CommunicationException);

    const auto entries = settings_.LogEntries();
    if (!GetParam().logsFailure) {
        EXPECT_TRUE(entries.empty()) << entries.size() << " log lines";
        return;
    }
    ASSERT_EQ(entries.size(), 2u);
    ASSERT_GE(entries[0].size(), 5u);
    EXPECT_EQ(entries[0][2], "ctrl");
    EXPECT_EQ(entries[0][3], std::to_string(GetParam().securityNo));
    EXPECT_TRUE(StartsWith(entries[0][4], GetParam().SecurityText())) << entries[0][4];
    EXPECT_NE(entries[0][4].find("ctrlauthorization"), std::string::npos) << entries[0][4];
    ASSERT_GE(entries[1].size(), 5u);
    EXPECT_EQ(entries[1][2], "ctrl");
    EXPECT_EQ(entries[1][3], std::to_string(GetParam().communicationNo));
    EXPECT_TRUE(StartsWith(entries[1][4], GetParam().CommunicationText())) << entries[1][4];
}

TEST_P(FramedFailure, ARejectedResultCodeIsNeitherLogged) {
    daemon_.Enqueue(Reply::Result(65));
    try {
        Run();
    } catch (const DaDovu::TargetException&) {
    }
    EXPECT_TRUE(settings_.LogEntries().empty());
}

INSTANTIATE_TEST_SUITE_P(Engine, FramedFailure, ::testing::ValuesIn(EngineTest::FramedMethods()),
                         [](const ::testing::TestParamInfo<FramedMethod>& param) { return param.param.request.name; });

// --- Start: one log line per failure ----------------------------------------------

class EngineStartFailure : public EngineFixture {};

TEST_F(EngineStartFailure, ACommunicationFailureWritesExactlyOneLogLineWithMessage12) {
    daemon_.Enqueue(Reply::Fault("disk full"));
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, Uri()), DaDovu::CommunicationException);
    const auto entries = settings_.LogEntries();
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_GE(entries[0].size(), 5u);
    EXPECT_EQ(entries[0][2], "ctrl");
    EXPECT_EQ(entries[0][3], "12");
    EXPECT_TRUE(StartsWith(entries[0][4], "Communication error when executing 'Start' method.")) << entries[0][4];
    EXPECT_NE(entries[0][4].find("disk full"), std::string::npos) << entries[0][4];
}

TEST_F(EngineStartFailure, AnUnwritableLogDoesNotChangeTheException) {
    // A log path inside a missing directory: Log throws, LogMessage swallows it.
    std::ofstream(settings_.Dir() + "/blocker") << "x";
    const std::string conf = settings_.Dir() + "/unwritable-log.conf";
    std::ofstream(conf) << EngineTest::MessengerSection() << "[log]\nFILE = " << settings_.Dir()
                        << "/blocker/node.log\n";
    QxPalConfig::SetConfigPath(conf);
    daemon_.Enqueue(Reply::Fault("disk full"));
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, Uri()), DaDovu::CommunicationException);
    daemon_.Enqueue(Reply::Fault("ctrlauthorization"));
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, Uri()), QxSecAuth::SecAuthException);
    ::unlink(conf.c_str());
    ::unlink((settings_.Dir() + "/blocker").c_str());
}

TEST_F(EngineStartFailure, ExceptionsOfOtherKindsPassUnchanged) {
    // A URI that the communication library refuses: not one of the four kinds.
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, QxPalNet::URI_t("ftp://127.0.0.1/x")),
                 QxPalMsg::IllegalArgumentError_t);
    // A settings value that does not parse.
    settings_.SetCloseConnection("maybe");
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, Uri()), QxPalMsg::IllegalArgumentError_t);
    EXPECT_TRUE(settings_.LogEntries().empty());
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

// --- Registration -----------------------------------------------------------------

class EngineRegistration : public EngineFixture {};

TEST_F(EngineRegistration, AnUnreachableDaemonGivesMinusOneAndOneLogLine) {
    const QxPalNet::URI_t uri = Uri();
    const std::string port = std::to_string(daemon_.Port());
    daemon_.Stop();
    EXPECT_EQ(ControlImpl_t::AddComponent("web.xml", uri), -1);
    EXPECT_EQ(ControlImpl_t::DeleteComponent("web", uri), -1);
    const auto entries = settings_.LogEntries();
    ASSERT_EQ(entries.size(), 2u);
    const std::string addText = "Error calling LNK RPC method add component: ";
    const std::string deleteText = "Error calling LNK RPC method delete component: ";
    ASSERT_GE(entries[0].size(), 5u);
    EXPECT_EQ(entries[0][2], "ctrl");
    EXPECT_EQ(entries[0][3], "23");
    EXPECT_TRUE(StartsWith(entries[0][4], addText)) << entries[0][4];
    EXPECT_GT(entries[0][4].size(), addText.size());
    EXPECT_NE(entries[0][4].find(port), std::string::npos) << "the failure's own text: " << entries[0][4];
    ASSERT_GE(entries[1].size(), 5u);
    EXPECT_EQ(entries[1][3], "24");
    EXPECT_TRUE(StartsWith(entries[1][4], deleteText)) << entries[1][4];
    EXPECT_GT(entries[1][4].size(), deleteText.size());
}

TEST_F(EngineRegistration, TheFailureTextFollowsTheMessageText) {
    daemon_.Enqueue(Reply::Fault("no such file"));
    EXPECT_EQ(ControlImpl_t::AddComponent("web.xml", Uri()), -1);
    const auto entries = settings_.LogEntries();
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_GE(entries[0].size(), 5u);
    EXPECT_EQ(entries[0][4], "Error calling LNK RPC method add component: no such file");
}

TEST_F(EngineRegistration, ASecurityFaultIsNoSecurityExceptionHere) {
    daemon_.Enqueue(Reply::Fault("ctrlauthentication"));
    EXPECT_EQ(ControlImpl_t::DeleteComponent("web", Uri()), -1);
    const auto entries = settings_.LogEntries();
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_GE(entries[0].size(), 5u);
    EXPECT_EQ(entries[0][3], "24");
    EXPECT_EQ(entries[0][4], "Error calling LNK RPC method delete component: ctrlauthentication");
}

TEST_F(EngineRegistration, AFailingCodeIsReturnedWithoutLogOrFailureTrace) {
    EngineTest::TraceCapture trace(settings_, 1 | 4);
    daemon_.Enqueue(Reply::Result(65));
    EXPECT_EQ(ControlImpl_t::AddComponent("web.xml", Uri()), 65);
    EXPECT_TRUE(settings_.LogEntries().empty());
    // The certificate test is the only line: nothing announces or reports the request.
    EXPECT_EQ(trace.Texts(), std::vector<std::string>{"Certificate is not installed"});
}

TEST_F(EngineRegistration, AnyBaseLibraryFailureIsCaughtToo) {
    settings_.SetCloseConnection("maybe");  // IllegalArgumentError_t from the settings
    EXPECT_EQ(ControlImpl_t::AddComponent("web.xml", Uri()), -1);
    EXPECT_EQ(ControlImpl_t::DeleteComponent("web", QxPalNet::URI_t("ftp://127.0.0.1/x")), -1);
    EXPECT_EQ(settings_.LogEntries().size(), 2u);
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

// --- No lock while a call is in flight -------------------------------------------------

TEST_F(EngineStartFailure, ARequestInFlightDoesNotHoldUpAnotherOne) {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    daemon_.SetHandler([&](const SoapTest::RecordedRequest&) {
        std::unique_lock<std::mutex> lock(mutex);
        released.wait_for(lock, std::chrono::seconds(5), [&] { return release; });
        return Reply::Result(0);
    });
    std::atomic<bool> slowDone{false};
    std::thread slow([&] {
        try {
            ControlImpl_t::Start("slow", false, options_, Uri());
        } catch (const QxPalMsg::Exception_t&) {
        }
        slowDone = true;
    });
    ASSERT_TRUE(daemon_.WaitForRequests(1, std::chrono::seconds(5)));

    SoapTest::TestDaemon other;
    EXPECT_EQ(ControlImpl_t::Start("fast", false, options_, QxPalNet::URI_t(other.Uri().c_str())), 0);
    EXPECT_FALSE(slowDone.load()) << "the second request waited for the first one";

    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();
    slow.join();
}

}  // namespace
