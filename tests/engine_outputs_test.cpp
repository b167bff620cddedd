// What the requests with outputs deliver: the status text and its level check,
// the status as records appended to the caller's list, the user record, and
// the progress of a command with its messages.

#include "TestEnvironment.h"

namespace {

using namespace DaDovuTest;
using DaDovu::Control;
using DaDovu::ControlImpl_t;
using SoapTest::Reply;

std::string Component(const std::string& name) { return "<ctrlcomp><name>" + name + "</name></ctrlcomp>"; }

using EngineOutputs = DaemonTest;

TEST_F(EngineOutputs, StatusLevelsOutside0To7AreRefusedBeforeAnythingIsSent) {
    for (int level = 0; level <= 7; ++level)
        ControlImpl_t::Status(static_cast<Control::StatusLevel>(level), "t", options_, Uri());
    ASSERT_EQ(daemon_.RequestCount(), 8u);
    EXPECT_EQ(Last().Arg("level"), "7");

    TraceCapture trace(4);
    DaDovu::ControlComponentList list;
    Append(list, {"kept"});
    for (int level : {8, -1, INT_MIN}) {
        const std::string text = "Illegal value for argument 'level' in method 'Status'. level=" +
                                 std::to_string(level) + ". Level must be in interval [0,7].";
        const std::string refused = "QxPalMsg::IllegalArgumentError_t  0 0: " + text + " | ";
        const auto status = static_cast<Control::StatusLevel>(level);
        EXPECT_EQ(Outcome([&] { return ControlImpl_t::Status(status, "web", options_, Uri()).ToUtf8(); }), refused);
        EXPECT_EQ(Outcome([&] { return ControlImpl_t::Status(status, "web", options_, list, Uri()); }), refused);
        EXPECT_EQ(trace.Count(text), 2u);
    }
    EXPECT_EQ(Walk(list), Texts{"kept"});
    EXPECT_EQ(daemon_.RequestCount(), 8u);
}

TEST_F(EngineOutputs, StatusTextIsTheDaemonsTextOnlyForAnAcceptedCode) {
    const std::string text = "web   running  pid=42\n  db  stopped <none> & \xC3\xA9\n";
    daemon_.Enqueue(Reply::Result(1).Output("status", text));
    EXPECT_EQ(ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, Uri()).ToUtf8(), text);
    daemon_.Enqueue(Reply::Result(0));
    EXPECT_EQ(ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, Uri()).ToUtf8(), "");
    daemon_.Enqueue(Reply::Result(65).Output("status", "partial"));
    EXPECT_THROW(ControlImpl_t::Status(Control::STATUS_NAMES, "*", options_, Uri()), DaDovu::TargetException);
}

TEST_F(EngineOutputs, StatusRecordsFollowTheCallersWithTheCursorOnTheFirst) {
    DaDovu::ControlComponentList list;
    Append(list, {"old1", "old2"});
    list.Next();
    const auto status = [&] { return ControlImpl_t::Status(Control::STATUS_FULL, "*", options_, list, Uri()); };
    // No records leave the list and its cursor as they were.
    daemon_.Enqueue(Reply::Result(0).RawOutput("complist", ""));
    daemon_.Enqueue(Reply::Result(0));
    status();
    status();
    ASSERT_EQ(list.GetCurrent().GetName().ToUtf8(), "old2");

    // A failure during the call (a response cut off after a complete record) leaves it untouched.
    std::string body = Reply::Result(0).RawOutput("complist", Component("cut") + Component("off")).Body();
    body.resize(body.find("</complist>"));
    daemon_.Enqueue(Reply::Raw(body));
    EXPECT_THROW(status(), DaDovu::CommunicationException);
    ASSERT_EQ(list.GetCurrent().GetName().ToUtf8(), "old2");

    daemon_.Enqueue(Reply::Result(0).RawOutput("complist", Component("web") + Component("db")));
    EXPECT_EQ(status(), 0);
    // Records of a rejected code are kept, and the exception raised.
    daemon_.Enqueue(Reply::Result(71).RawOutput("complist", Component("mq")));
    EXPECT_THROW(status(), DaDovu::PrerequisiteException);
    EXPECT_EQ(Walk(list), (Texts{"old1", "old2", "web", "db", "mq"}));
}

// Code 75 and its exception: the engine's result-code test and the facade's.
TEST_F(EngineOutputs, UserRecordIsCopiedAndMissingOutputsAreNotThePreviousAnswers) {
    daemon_.Enqueue(Reply::Result(0).Output("uid", "-2", "xsd:int").Output("user", "nobody"));
    daemon_.Enqueue(Reply::Result(0));
    const auto user = [this] {
        const DaDovu::ControlUser record = ControlImpl_t::GetUser(options_, Uri());
        return record.user.ToUtf8() + " " + std::to_string(record.uid);
    };
    EXPECT_EQ(user(), "nobody -2");
    EXPECT_EQ(user(), " -1");
}

TEST_F(EngineOutputs, ProgressSendsTheLowWordOfTheIdAndReplacesTheMessages) {
    QxPalMsg::MessageList_t messages;
    const std::pair<unsigned long long, std::string> ids[] = {
        {5, "5"}, {4294967295ull, "-1"}, {1ull << 32, "0"}, {0xFFFFFFFF80000000ull, "-2147483648"}};
    for (const auto& [id, sent] : ids) {
        EXPECT_EQ(ControlImpl_t::GetCommandProgress(id, options_, messages, Uri()), 0);
        EXPECT_EQ(Last().Arg("RequestID"), sent);
    }
    messages.Add(QxPalMsg::Message_t(QxPalStr::String_t("old")));
    daemon_.Enqueue(Reply::Result(2));
    EXPECT_EQ(ControlImpl_t::GetCommandProgress(7, options_, messages, Uri()), 2);
    ASSERT_EQ(messages.GetMessageCount(), 1);
    daemon_.Enqueue(Reply::Result(64).RawOutput(
        "MsgList", "<Message><Severity>1</Severity><MsgString>first</MsgString></Message>"
                   "<Message><Severity>2</Severity><MsgString>second</MsgString></Message>"));
    EXPECT_EQ(ControlImpl_t::GetCommandProgress(7, options_, messages, Uri()), 64);
    EXPECT_EQ(messages.Format(QxPalMsg::FORMAT_PLAIN).ToUtf8(), "first\nsecond");
    // A response cut off after a complete message leaves the caller's messages as they were.
    std::string body =
        Reply::Result(1).RawOutput("MsgList", "<Message><MsgString>new</MsgString></Message><Message>").Body();
    body.resize(body.find("<Message>", body.find("new")));
    daemon_.Enqueue(Reply::Raw(body));
    EXPECT_THROW(ControlImpl_t::GetCommandProgress(7, options_, messages, Uri()), DaDovu::CommunicationException);
    EXPECT_EQ(messages.Format(QxPalMsg::FORMAT_PLAIN).ToUtf8(), "first\nsecond");
}

}  // namespace
