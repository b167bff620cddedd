// Requests answered by a scripted daemon: what StartAsync sends and leaves
// behind, Progress and Components with every field the daemon sent, and Wait
// delivering each message once.

#include <cstdint>
#include <thread>

#include "ClientTestSupport.h"

namespace {

using namespace ClientTest;
using DaDovu::Message;
using DaDovu::ProgressState;
using DaDovu::RequestId;
using DaDovu::Severity;

// A "Message" element of a MsgList as the daemon writes it; `text` and the
// parameters are inserted as given (already escaped).
std::string MessageXml(int severity, const std::string& catalog, const std::string& number, const std::string& text,
                       const std::vector<std::string>& parameters = {}) {
    std::string xml = "<Message><Severity>" + std::to_string(severity) + "</Severity><Catalog><CatalogID>" + catalog +
                      "</CatalogID><MsgNo>" + number + "</MsgNo></Catalog><MsgString>" + text + "</MsgString>";
    if (!parameters.empty()) {
        xml += "<Params>";
        for (const std::string& parameter : parameters) xml += "<Param>" + parameter + "</Param>";
        xml += "</Params>";
    }
    return xml + "</Message>";
}

Reply ProgressReply(int code, const std::vector<std::string>& messages) {
    std::string inner;
    for (const std::string& message : messages) inner += message;
    return Reply::Result(code).RawOutput("MsgList", inner, "msglist");
}

class ClientAsync : public ::testing::Test {
protected:
    TestDaemon daemon_;
    Client client_{At(daemon_.Uri())};
};

TEST_F(ClientAsync, ProgressKeepsEveryFieldOfTheMessages) {
    daemon_.Enqueue(
        ProgressReply(1, {MessageXml(2, "sim", "5", "Component db failed &amp; &lt;stopped&gt;", {"db", "x&lt;y", ""}),
                          MessageXml(0, "", "", "no catalog"),
                          MessageXml(3, "ctrl", "4294967295", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", {"\xF0\x9F\x98\x80"}),
                          MessageXml(1, "sim", " 14 ", "spaced number")}));
    const DaDovu::Progress progress = client_.Progress(RequestId(1234));
    EXPECT_EQ(progress.GetState(), ProgressState::Running);
    EXPECT_EQ(progress.GetCode(), 1);
    const std::vector<Message> expected = {
        Message(Severity::Error, "sim", 5, "Component db failed & <stopped>", {"db", "x<y", ""}),
        Message(Severity::Info, "", 0, "no catalog"),
        Message(Severity::Fatal, "ctrl", 4294967295u, "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", {"\xF0\x9F\x98\x80"}),
        Message(Severity::Warning, "sim", 14, "spaced number")};
    ASSERT_EQ(progress.GetMessages().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Message& m = progress.GetMessages()[i];
        EXPECT_EQ(m, expected[i]) << i;
        EXPECT_EQ(m.GetSeverity(), expected[i].GetSeverity()) << i;
        EXPECT_EQ(m.GetCatalog(), expected[i].GetCatalog()) << i;
        EXPECT_EQ(m.GetNumber(), expected[i].GetNumber()) << i;
        EXPECT_EQ(m.GetText(), expected[i].GetText()) << i;
        EXPECT_EQ(m.GetParameters(), expected[i].GetParameters()) << i;
    }
    const SoapTest::RecordedRequest request = daemon_.Requests().at(0);
    EXPECT_EQ(request.method, "requestprogress");
    EXPECT_EQ(request.Arg("RequestID"), std::optional<std::string>("1234"));
}

TEST_F(ClientAsync, ComponentsKeepEveryFieldOfTheRecords) {
    daemon_.Enqueue(Reply::Result(0).RawOutput(
        "complist",
        "<ctrlcomp><name>db</name><description>d &amp; \xC3\xA9</description><category>storage</category>"
        "<pid> 42 </pid><xml>&lt;component name=\"db\"/&gt;</xml><state>2</state></ctrlcomp>"
        "<ctrlcomp><name>odd</name><pid>4x</pid><state>9</state></ctrlcomp><ctrlcomp><name>bare</name></ctrlcomp>",
        "cclist"));
    const std::vector<DaDovu::Component> records = client_.Components("*", DaDovu::StatusLevel::Events);
    EXPECT_EQ(daemon_.Requests().at(0).Arg("level"), std::optional<std::string>("6"));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].GetName(), "db");
    EXPECT_EQ(records[0].GetDescription(), "d & \xC3\xA9");
    EXPECT_EQ(records[0].GetCategory(), "storage");
    EXPECT_EQ(records[0].GetPid(), std::optional<int>(42));
    EXPECT_EQ(records[0].GetXml(), "<component name=\"db\"/>");
    EXPECT_EQ(records[0].GetState(), DaDovu::COMPONENT_RUNNING);
    EXPECT_EQ(records[1].GetPid(), std::nullopt);
    EXPECT_EQ(records[1].GetState(), DaDovu::COMPONENT_OTHER);
    EXPECT_EQ(records[1].GetStateNumber(), 9);
    EXPECT_EQ(records[2].GetDescription(), "");  // nothing of the record before it
    EXPECT_EQ(records[2].GetPid(), std::nullopt);
    EXPECT_EQ(records[2].GetState(), DaDovu::COMPONENT_UNKNOWN);
}

struct CodeState {
    int code;
    ProgressState state;
};

class ProgressCode : public ClientAsync, public ::testing::WithParamInterface<CodeState> {};

TEST_P(ProgressCode, MapsToItsState) {
    daemon_.Enqueue(ProgressReply(GetParam().code, {MessageXml(0, "sim", "1", "m")}));
    const DaDovu::Progress progress = client_.Progress(RequestId(1024));  // never an Error, whatever the code
    EXPECT_EQ(progress.GetState(), GetParam().state);
    EXPECT_EQ(progress.GetCode(), GetParam().code);
    EXPECT_EQ(progress.GetMessages().size(), 1u);
    EXPECT_EQ(DaDovu::Progress::StateOfCode(GetParam().code), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(Client, ProgressCode,
                         ::testing::Values(CodeState{1, ProgressState::Running}, CodeState{0, ProgressState::Finished},
                                           CodeState{65, ProgressState::UnknownRequest},
                                           CodeState{64, ProgressState::Failed}, CodeState{71, ProgressState::Failed},
                                           CodeState{2, ProgressState::Finished}),
                         [](const ::testing::TestParamInfo<CodeState>& param) {
                             return "Code" + std::to_string(param.param.code);
                         });

// Nothing of an asynchronous call stays behind for the next one.
TEST_F(ClientAsync, StartAsyncLeavesNothingBehind) {
    daemon_.Enqueue(Reply::Result(1024));
    EXPECT_EQ(client_.StartAsync("web", {}, DaDovu::StartMode::Boot), RequestId(1024));
    client_.Start("web");
    daemon_.Enqueue(Reply::Result(1025));
    EXPECT_EQ(client_.StopAsync("db", {}, DaDovu::StopMode::Kill), RequestId(1025));
    Client copy = client_;
    copy.Stop("db");
    client_.Notify("reload", "now", "web");
    daemon_.Enqueue(Reply::Result(65));
    EXPECT_EQ(ErrorOf([&] { client_.StartAsync("nosuch"); }).GetKind(), ErrorKind::NoMatchingComponent);
    std::thread([&] { client_.Start("web"); }).join();

    const std::vector<SoapTest::RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 7u);
    const std::vector<std::string> async = {"true", "false", "true", "false", "false", "true", "false"};
    for (std::size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].Arg("async"), std::optional<std::string>(async[i])) << i << " " << requests[i].method;
    EXPECT_EQ(requests[0].Arg("boot"), std::optional<std::string>("true"));
    EXPECT_EQ(requests[1].Arg("boot"), std::optional<std::string>("false"));
    EXPECT_EQ(requests[2].Arg("kill"), std::optional<std::string>("true"));
    EXPECT_EQ(requests[3].Arg("kill"), std::optional<std::string>("false"));
}

// A request ID is the daemon's code widened with its sign, and goes back as that code.
TEST_F(ClientAsync, RequestIdKeepsTheSignOfTheCode) {
    daemon_.Enqueue(Reply::Result(-65));  // the bit of value 64 is clear: not a failure
    const RequestId id = client_.StartAsync("web");
    EXPECT_EQ(id.GetValue(), static_cast<std::uint64_t>(std::int64_t{-65}));
    client_.Progress(id);
    EXPECT_EQ(daemon_.Requests().back().Arg("RequestID"), std::optional<std::string>("-65"));
}

// --- Wait -------------------------------------------------------------------------

const std::string kA = MessageXml(0, "sim", "1", "Start of target 'web' requested.", {"web", "false"});
const std::string kB = MessageXml(0, "sim", "3", "Starting component web.", {"web"});
const std::string kC = MessageXml(0, "sim", "14", "Command finished with result 0.", {"0"});

// Waits for request 1024 with `replies` scripted; returns the texts delivered.
std::vector<std::string> Delivered(TestDaemon& daemon, Client& client, const std::vector<Reply>& replies,
                                   DaDovu::Progress* last = nullptr) {
    for (const Reply& reply : replies) daemon.Enqueue(reply);
    std::vector<std::string> texts;
    const DaDovu::Progress progress =
        client.Wait(RequestId(1024), 30s, [&](const Message& message) { texts.push_back(message.GetText()); });
    if (last != nullptr) *last = progress;
    EXPECT_EQ(daemon.RequestCount(), replies.size());
    return texts;
}

TEST_F(ClientAsync, WaitDeliversEachMessageOnceInOrder) {
    DaDovu::Progress last;
    EXPECT_EQ(Delivered(daemon_, client_,
                        {ProgressReply(1, {kA}), ProgressReply(1, {kA}), ProgressReply(1, {kA, kB}),
                         ProgressReply(0, {kA, kB, kC})},
                        &last),
              (std::vector<std::string>{"Start of target 'web' requested.", "Starting component web.",
                                        "Command finished with result 0."}));
    EXPECT_EQ(last.GetState(), ProgressState::Finished);
    EXPECT_EQ(last.GetCode(), 0);
    EXPECT_EQ(last.GetMessages().size(), 3u);
    for (const SoapTest::RecordedRequest& request : daemon_.Requests())
        EXPECT_EQ(request.Arg("RequestID"), std::optional<std::string>("1024"));
}

TEST_F(ClientAsync, WaitDeliversRepeatedMessagesAsOftenAsTheyOccur) {
    EXPECT_EQ(Delivered(daemon_, client_,
                        {ProgressReply(1, {kA}), ProgressReply(1, {kA, kA}), ProgressReply(64, {kA, kA, kB})}),
              (std::vector<std::string>{"Start of target 'web' requested.", "Start of target 'web' requested.",
                                        "Starting component web."}));
}

// A daemon that forgot its oldest messages: those delivered are not delivered again.
TEST_F(ClientAsync, WaitDeliversNothingTwiceWhenOldMessagesAreDropped) {
    EXPECT_EQ(Delivered(daemon_, client_, {ProgressReply(1, {kA, kB}), ProgressReply(0, {kB, kC})}),
              (std::vector<std::string>{"Start of target 'web' requested.", "Starting component web.",
                                        "Command finished with result 0."}));
}

struct Abort {
    std::string text;
};

TEST_F(ClientAsync, ExceptionOfTheCallbackReachesTheCallerUnchanged) {
    daemon_.SetHandler([](const SoapTest::RecordedRequest&) { return ProgressReply(1, {kA}); });
    try {
        client_.Wait(RequestId(1024), 30s, [](const Message& message) { throw Abort{message.GetText()}; });
        ADD_FAILURE() << "Wait returned";
    } catch (const Abort& abort) {
        EXPECT_EQ(abort.text, "Start of target 'web' requested.");
    }
    EXPECT_EQ(daemon_.RequestCount(), 1u);  // the wait ended there
}

TEST_F(ClientAsync, WaitReturnsRunningWhenTheDeadlinePassesFirst) {
    daemon_.SetHandler([](const SoapTest::RecordedRequest&) { return ProgressReply(1, {}); });
    const auto begin = Clock::now();
    const DaDovu::Progress progress = client_.Wait(RequestId(1024), 300ms);
    EXPECT_LT(Clock::now() - begin, 5s);
    EXPECT_EQ(progress.GetState(), ProgressState::Running);
    EXPECT_EQ(progress.GetCode(), 1);
    EXPECT_GE(daemon_.RequestCount(), 1u);
    // A point in time as the deadline, already passed: no request reaches the daemon.
    daemon_.ClearRecords();
    try {
        EXPECT_EQ(client_.Wait(RequestId(1024), Clock::now() - 1s).GetState(), ProgressState::Running);
    } catch (const Error& error) {
        EXPECT_EQ(error.GetKind(), ErrorKind::NotSent) << error.what();
    }
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

// Disabled: the library fails this (see the report). A poll that is cut
// short by the wait's own deadline ends the wait with Error NoAnswer ("the
// daemon may have acted") instead of the last progress, still Running.
TEST_F(ClientAsync, WaitReturnsRunningWhenTheDeadlineCutsAPollShort) {
    daemon_.SetHandler([](const SoapTest::RecordedRequest&) {
        std::this_thread::sleep_for(400ms);
        return ProgressReply(1, {});
    });
    DaDovu::Progress progress;
    EXPECT_NO_THROW(progress = client_.Wait(RequestId(1024), 600ms));
    EXPECT_EQ(progress.GetState(), ProgressState::Running);
}

TEST_F(ClientAsync, WaitPassesOnTheFailuresOfItsRequests) {
    daemon_.Enqueue(ProgressReply(1, {}));
    daemon_.Enqueue(Reply::Fault("ctrlauthorization"));
    const Error error = ErrorOf([&] { client_.Wait(RequestId(1024), 30s); });
    EXPECT_EQ(error.GetKind(), ErrorKind::NotAuthorized) << error.what();
    EXPECT_EQ(error.GetOperation(), "requestprogress");
}

}  // namespace
