// What the requests with outputs deliver: the status text and its level check,
// the status as records appended to the caller's list, the user record, and
// the progress of a command with its messages.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestDaemon.h"
#include "api/ControlComponentListImpl.h"
#include "engine/ControlImpl.h"
#include "engine_support.h"

namespace {

using DaDovu::Control;
using DaDovu::ControlComponentList;
using DaDovu::ControlImpl_t;
using EngineTest::EngineFixture;
using EngineTest::RemainingNames;
using EngineTest::TraceCapture;
using SoapTest::Reply;
using Names = std::vector<std::string>;

std::string Component(const std::string& name, int state) {
    return "<ctrlcomp><name>" + name + "</name><description>d-" + name + "</description><category>c</category>" +
           "<pid>1</pid><xml>&lt;x/&gt;</xml><state>" + std::to_string(state) +
           "</state></ctrlcomp>";
}

// --- Status level ----------------------------------------------------------------

class EngineStatusLevel : public EngineFixture {
protected:
    // Runs both forms of status with `level`; expects the refusal text and no traffic.
    void ExpectRefused(int level, const std::string& shown) {
        const std::string text = "Illegal value for argument 'level' in method 'Status'. level=" + shown +
                                 ". Level must be in interval [0,7].";
        const auto statusLevel = static_cast<Control::StatusLevel>(level);
        try {
            ControlImpl_t::Status(statusLevel, "t", options_, Uri());
            ADD_FAILURE() << "no exception";
        } catch (const QxPalMsg::IllegalArgumentError_t& e) {
            ASSERT_EQ(e.GetMessageList().GetMessageCount(), 1);
            EXPECT_EQ(e.GetMessageList().GetMessageObject(0).GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), text);
        }
        ControlComponentList list;
        DaDovu::ControlComponentListImpl::GetImpl(list)->AddElement(EngineTest::Record("kept"));
        try {
            ControlImpl_t::Status(statusLevel, "t", options_, list, Uri());
            ADD_FAILURE() << "no exception";
        } catch (const QxPalMsg::IllegalArgumentError_t& e) {
            EXPECT_EQ(e.GetMessageList().GetMessageObject(0).GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), text);
        }
        EXPECT_EQ(RemainingNames(list), Names{"kept"});
        EXPECT_EQ(daemon_.RequestCount(), 0u);
    }
};

TEST_F(EngineStatusLevel, LevelsZeroToSevenAreSent) {
    for (int level = 0; level <= 7; ++level)
        ControlImpl_t::Status(static_cast<Control::StatusLevel>(level), "t", options_, Uri());
    const std::vector<SoapTest::RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 8u);
    EXPECT_EQ(requests[0].Arg("level"), "0");
    EXPECT_EQ(requests[7].Arg("level"), "7");
}

TEST_F(EngineStatusLevel, EightIsRefusedBeforeAnythingIsSent) { ExpectRefused(8, "8"); }

TEST_F(EngineStatusLevel, NegativeLevelsAreRefusedWithTheirSign) {
    ExpectRefused(-1, "-1");
    ExpectRefused(-2147483647 - 1, "-2147483648");
}

TEST_F(EngineStatusLevel, ARefusalIsTracedAfterTheAnnouncingLineAndNothingElseHappens) {
    TraceCapture trace(settings_, 25 | 4);
    EXPECT_THROW(ControlImpl_t::Status(static_cast<Control::StatusLevel>(8), "web", options_, Uri()),
                 QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(trace.Texts(), (Names{"Executing method 'status': level='8', target='web' on " + daemon_.Uri(),
                                    "Illegal value for argument 'level' in method 'Status'. level=8. "
                                    "Level must be in interval [0,7]."}));
}

// --- Status as text ----------------------------------------------------------------

class EngineStatusText : public EngineFixture {};

TEST_F(EngineStatusText, ReturnsTheDaemonsTextUnchanged) {
    const std::string text = "web   running  pid=42\n  db  stopped <none> & \xC3\xA9\n";
    daemon_.Enqueue(Reply::Result(1).Output("status", text));
    EXPECT_EQ(ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, Uri()).ToUtf8(), text);
}

TEST_F(EngineStatusText, AnAnswerWithoutStatusGivesAnEmptyText) {
    daemon_.Enqueue(Reply::Result(0));
    EXPECT_EQ(ControlImpl_t::Status(Control::STATUS_NAMES, "*", options_, Uri()).ToUtf8(), "");
}

TEST_F(EngineStatusText, ARejectedCodeRaisesEvenWithAText) {
    daemon_.Enqueue(Reply::Result(65).Output("status", "partial"));
    EXPECT_THROW(ControlImpl_t::Status(Control::STATUS_NAMES, "*", options_, Uri()), DaDovu::TargetException);
}

// --- Status as records ------------------------------------------------------------

class EngineStatusList : public EngineFixture {
protected:
    // A list with two records, its cursor on the second.
    void FillTwo(ControlComponentList& list) {
        DaDovu::ControlComponentListImpl* impl = DaDovu::ControlComponentListImpl::GetImpl(list);
        impl->AddElement(EngineTest::Record("old1"));
        impl->AddElement(EngineTest::Record("old2"));
        list.Next();
    }
};

TEST_F(EngineStatusList, RecordsFollowTheCallersEntriesWithTheCursorOnTheFirst) {
    ControlComponentList list;
    FillTwo(list);
    daemon_.Enqueue(Reply::Result(0).RawOutput(
        "complist", Component("web", DaDovu::COMPONENT_RUNNING) + Component("db", DaDovu::COMPONENT_STOPPED) +
                        Component("mq", DaDovu::COMPONENT_FAILED)));
    EXPECT_EQ(ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, list, Uri()), 0);
    ASSERT_FALSE(list.IsAtEnd());
    const DaDovu::ControlComponent first = list.GetCurrent();
    EXPECT_EQ(first.GetName().ToUtf8(), "old1");
    EXPECT_EQ(RemainingNames(list), (Names{"old1", "old2", "web", "db", "mq"}));
}

TEST_F(EngineStatusList, RecordsCarryEveryField) {
    ControlComponentList list;
    daemon_.Enqueue(Reply::Result(0).RawOutput("complist", Component("web", DaDovu::COMPONENT_STOPPING)));
    ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, list, Uri());
    ASSERT_FALSE(list.IsAtEnd());
    const DaDovu::ControlComponent record = list.GetCurrent();
    EXPECT_EQ(record.GetName().ToUtf8(), "web");
    EXPECT_EQ(record.GetDescription().ToUtf8(), "d-web");
    EXPECT_EQ(record.GetCategory().ToUtf8(), "c");
    EXPECT_EQ(record.GetPID().ToUtf8(), "1");
    EXPECT_EQ(record.GetXML().ToUtf8(), "<x/>");
    EXPECT_EQ(record.GetState(), DaDovu::COMPONENT_STOPPING);
}

TEST_F(EngineStatusList, NoRecordsLeaveTheListAndItsCursorAsTheyWere) {
    ControlComponentList list;
    FillTwo(list);
    daemon_.Enqueue(Reply::Result(0).RawOutput("complist", ""));
    ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, list, Uri());
    daemon_.Enqueue(Reply::Result(0));
    ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, list, Uri());
    EXPECT_EQ(RemainingNames(list), Names{"old2"});
}

TEST_F(EngineStatusList, RecordsAreKeptTogetherWithTheExceptionForARejectedCode) {
    ControlComponentList list;
    daemon_.Enqueue(Reply::Result(71).RawOutput("complist", Component("web", 4)));
    EXPECT_THROW(ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, list, Uri()),
                 DaDovu::PrerequisiteException);
    EXPECT_EQ(RemainingNames(list), Names{"web"});
}

TEST_F(EngineStatusList, AFailureDuringTheCallLeavesTheListUntouched) {
    // A response cut off after two complete records.
    std::string body = Reply::Result(0).RawOutput("complist", Component("web", 2) + Component("db", 2)).Body();
    body.resize(body.find("</complist>"));
    daemon_.Enqueue(Reply::Raw(body));
    ControlComponentList list;
    FillTwo(list);
    EXPECT_THROW(ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, list, Uri()),
                 DaDovu::CommunicationException);
    EXPECT_EQ(RemainingNames(list), Names{"old2"});
}

// --- User query ----------------------------------------------------------------------

class EngineUser : public EngineFixture {};

TEST_F(EngineUser, NameAndNumberAreCopied) {
    daemon_.Enqueue(Reply::Result(0).Output("uid", "1001", "xsd:int").Output("user", "qtadm"));
    const DaDovu::ControlUser user = ControlImpl_t::GetUser(options_, Uri());
    EXPECT_EQ(user.uid, 1001);
    EXPECT_EQ(user.user.ToUtf8(), "qtadm");
}

TEST_F(EngineUser, ANegativeUidIsKept) {
    daemon_.Enqueue(Reply::Result(0).Output("uid", "-2", "xsd:int").Output("user", "nobody"));
    EXPECT_EQ(ControlImpl_t::GetUser(options_, Uri()).uid, -2);
}

TEST_F(EngineUser, MissingOutputsGiveMinusOneAndAnEmptyName) {
    daemon_.Enqueue(Reply::Result(0));
    const DaDovu::ControlUser user = ControlImpl_t::GetUser(options_, Uri());
    EXPECT_EQ(user.uid, -1);
    EXPECT_EQ(user.user.ToUtf8(), "");
}

TEST_F(EngineUser, Result75RaisesGetUserException) {
    daemon_.Enqueue(Reply::Result(75).Output("uid", "0", "xsd:int").Output("user", "root"));
    try {
        ControlImpl_t::GetUser(options_, Uri());
        ADD_FAILURE() << "no exception";
    } catch (const DaDovu::GetUserException& e) {
        const QxPalMsg::Message_t& message = e.GetMessageList().GetMessageObject(0);
        EXPECT_EQ(message.GetMessageNo(), 91u);
        EXPECT_EQ(message.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(),
                  "Can not get username for Q-Tier processes.");
    }
}

// --- Command progress ------------------------------------------------------------------

class EngineProgress : public EngineFixture {};

TEST_F(EngineProgress, ACodeThatOtherMethodsRejectIsReturned) {
    QxPalMsg::MessageList_t messages;
    for (int code : {65, 64, 74, -1, 0, 1}) {
        daemon_.Enqueue(Reply::Result(code));
        EXPECT_EQ(ControlImpl_t::GetCommandProgress(7, options_, messages, Uri()), code);
    }
}

TEST_F(EngineProgress, TheDaemonsMessagesReplaceTheList) {
    QxPalMsg::MessageList_t messages;
    messages.Add(QxPalMsg::Message_t(QxPalStr::String_t("old")));
    daemon_.Enqueue(Reply::Result(0).RawOutput(
        "MsgList",
        "<Message><Severity>1</Severity><Catalog><CatalogID>ctrl</CatalogID><MsgNo>4</MsgNo></Catalog>"
        "<MsgString>first</MsgString></Message>"
        "<Message><Severity>2</Severity><Catalog><CatalogID>ctrl</CatalogID><MsgNo>5</MsgNo></Catalog>"
        "<MsgString>second</MsgString><Params><Param>p</Param></Params></Message>"));
    EXPECT_EQ(ControlImpl_t::GetCommandProgress(7, options_, messages, Uri()), 0);
    ASSERT_EQ(messages.GetMessageCount(), 2);
    EXPECT_EQ(messages.GetMessageObject(0).GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), "first");
    EXPECT_EQ(messages.GetMessageObject(1).GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), "second");
    EXPECT_EQ(messages.GetMessageObject(1).GetSeverity(), QxPalMsg::SEVERITY_ERROR);
}

TEST_F(EngineProgress, AnAnswerWithoutMessagesLeavesTheList) {
    QxPalMsg::MessageList_t messages;
    messages.Add(QxPalMsg::Message_t(QxPalStr::String_t("old")));
    daemon_.Enqueue(Reply::Result(2));
    EXPECT_EQ(ControlImpl_t::GetCommandProgress(7, options_, messages, Uri()), 2);
    ASSERT_EQ(messages.GetMessageCount(), 1);
    EXPECT_EQ(messages.GetMessageObject(0).GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), "old");
}

}  // namespace
