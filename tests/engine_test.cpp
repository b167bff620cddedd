// The request engine against the test daemon: what each method puts on the
// wire and writes to the trace, the daemon's result codes, what failures
// become and which of them reach the node's log.

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

#include "TestEnvironment.h"

namespace {

using namespace DaDovuTest;
using DaDovu::Control;
using DaDovu::ControlImpl_t;
using SoapTest::Reply;

const std::string kNoCert = "Certificate is not installed";
const std::string kAdded = "Added new component to the control component list";
const std::string kGeneral = "DaDovu::ControlException ctrl 10 2: Error. Check logfile for more information. | ";
const char kTarget[] = "w<b>&\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // markup and non-ASCII travel unchanged

// One request function of the engine, run with fixed arguments.
struct Request {
    std::string name;
    std::function<int(const Control::Options&, const QxPalNet::URI_t&)> run;
    Reply reply;                // the daemon's answer in the wire test
    std::string wire;           // what the daemon receives
    Texts trace;                // the announcing line (" on <uri>" follows), then the lines after the certificate test
    std::string word;           // the method in failure texts; "" for the registration methods
    unsigned number;            // its communication message; the security message is the next
    std::string withoutResult;  // the Outcome of an answer without "result"
};

void PrintTo(const Request& request, std::ostream* out) { *out << request.name; }

std::vector<Request> AllRequests() {
    const std::string t = kTarget;
    return {
        {"Start", [](auto& o, auto& u) { return ControlImpl_t::Start(kTarget, true, o, u); }, Reply::Result(0),
         "start(target=" + t + ", boot=true, async=false)",
         {"Executing method 'start': target='" + t + "'", "Finished executing method 'start': rc='0'"}, "Start", 12,
         kGeneral},
        {"Stop", [](auto& o, auto& u) { return ControlImpl_t::Stop("db", false, o, u); }, Reply::Result(0),
         "stop(target=db, kill=false, async=false)",
         {"Executing method 'stop': target='db'", "Finished executing method 'stop': rc='0'"}, "Stop", 15, kGeneral},
        {"Notify", [](auto& o, auto& u) { return ControlImpl_t::Notify("reload", "now", "web", o, u); },
         Reply::Result(0), "notify(event=reload, value=now, target=web, async=false)",
         {"Executing method 'notify': event='reload' value='now' target='web'",
          "Finished executing method 'notify': rc='0'"},
         "Notify", 18, "returned 0"},
        {"GetUser", [](auto& o, auto& u) { return ControlImpl_t::GetUser(o, u).uid; },
         Reply::Result(0).Output("uid", "-7", "xsd:int").Output("user", "qtadm"), "getuser()",
         {"Executing method 'getuser'", "Finished executing method 'getuser': rc='0' user='qtadm' uid='-7'"},
         "GetUser", 92, kGeneral},
        {"Status",
         [](auto& o, auto& u) { return ControlImpl_t::Status(Control::STATUS_DESCRIPTIONS, "web", o, u).GetLength(); },
         Reply::Result(0), "status(level:int=3, target=web)",
         {"Executing method 'status': level='3', target='web'", "Finished executing method 'status': rc='0'"},
         "Status", 21, kGeneral},
        {"StatusAsList",
         [](auto& o, auto& u) {
             DaDovu::ControlComponentList list;
             return ControlImpl_t::Status(Control::STATUS_FULL, "db", o, list, u);
         },
         Reply::Result(0).RawOutput("complist", "<ctrlcomp><name>a</name></ctrlcomp><ctrlcomp></ctrlcomp>"),
         "statusaslist(level:int=7, target=db)",
         {"Executing method 'statusaslist': level='7', target='db'", kAdded, kAdded,
          "Finished executing method 'status': rc='0'"},
         "Status", 21, kGeneral},
        {"RequestProgress",
         [](auto& o, auto& u) {
             QxPalMsg::MessageList_t messages;
             return ControlImpl_t::GetCommandProgress(5, o, messages, u);
         },
         Reply::Result(0), "requestprogress(RequestID:int=5)",
         {"Executing method 'GetCommandProgress'", "Finished executing method 'RequestProgress': rc='0'"},
         "RequestProgress", 166, "returned -1"},
        {"AddComponent", [](auto&, auto& u) { return ControlImpl_t::AddComponent("/opt/comp/web.xml", u); },
         Reply::Result(0), "addcomponent(filename=/opt/comp/web.xml)", {}, "", 0, "returned 0"},
        {"DeleteComponent", [](auto&, auto& u) { return ControlImpl_t::DeleteComponent("", u); }, Reply::Result(0),
         "deletecomponent(componentname=)", {}, "", 0, "returned 0"},
    };
}

std::vector<Request> FramedRequests() {
    std::vector<Request> framed;
    for (const Request& request : AllRequests())
        if (!request.word.empty()) framed.push_back(request);
    return framed;
}

class EveryRequest : public DaemonTest, public ::testing::WithParamInterface<Request> {
protected:
    std::string Run() { return Outcome([this] { return GetParam().run(options_, Uri()); }); }
    bool Framed() const { return !GetParam().word.empty(); }
};

TEST_P(EveryRequest, SendsItsArgumentsAndTracesItsLines) {
    {
        TraceCapture trace(1 | 4);
        daemon_.Enqueue(GetParam().reply);
        EXPECT_EQ(Run(), "returned " + std::string(GetParam().name == "GetUser" ? "-7" : "0"));
        const SoapTest::RecordedRequest request = Last();
        EXPECT_EQ(Wire(request), GetParam().wire);
        EXPECT_EQ(request.path, "/dadovu.ctrl.server/lnkrpcserver");
        EXPECT_EQ(request.Header("user-agent"), "dadovu.ctrl.client/1.5.0.0");
        EXPECT_TRUE(request.xmlWellFormed);

        Texts expected{kNoCert};
        const Texts& lines = GetParam().trace;
        if (!lines.empty()) {
            expected = {lines[0] + " on " + daemon_.Uri(), kNoCert};
            expected.insert(expected.end(), lines.begin() + 1, lines.end());
        }
        EXPECT_EQ(trace.Get(), expected);
        for (const TraceCapture::Line& line : trace.Lines()) {
            EXPECT_EQ(line.level, 1u) << line.text;
            EXPECT_EQ(line.source.rfind("RpcClientImpl:", 0), 0u) << line.source;
        }
    }
    TraceCapture off(2 | 8 | 16);  // no level of the request in full
    GetParam().run(options_, Uri());
    EXPECT_EQ(off.Get(), Texts{});
}

TEST_P(EveryRequest, SendsTargetIdConnectionCloseAndSecureCommOnlyWhenAsked) {
    GetParam().run(options_, Uri());
    options_.SetTargetID("");
    settings_.SetCloseConnection("false");
    GetParam().run(options_, Uri());
    options_.SetTargetID("node-7/instance 2");
    settings_.SetCloseConnection("true");
    GetParam().run(options_, Uri());
    settings_.SetCloseConnection("");  // read afresh by every request
    GetParam().run(options_, Uri());
    const std::vector<SoapTest::RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 4u);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        // The registration methods take no options: no target ID reaches them.
        EXPECT_EQ(requests[i].targetId.value_or("none"), Framed() && i >= 2 ? "node-7/instance 2" : "none") << i;
        EXPECT_EQ(requests[i].Header("connection") == "close", i == 2) << i;
    }
    // Secure communication refuses a plain-http endpoint before anything is
    // sent; a value that is not a boolean counts as a certificate installed.
    for (const char* installed : {"true", "perhaps"}) {
        settings_.SetCertInstalled(installed);
        TraceCapture trace(1);
        EXPECT_EQ(Run().rfind(Framed() ? "DaDovu::CommunicationException" : "returned -1", 0), 0u) << installed;
        EXPECT_EQ(trace.Count("Certificate is installed"), 1u) << installed;
    }
    settings_.SetCertInstalled("false");
    GetParam().run(options_, Uri());
    EXPECT_EQ(daemon_.RequestCount(), 5u);
}

// A [trace] section changed between two requests applies from the first line
// of the next request: the line that names the target and the URI.
TEST_P(EveryRequest, ATraceMaskChangedBetweenRequestsAppliesFromTheNextRequestsFirstLine) {
    std::mutex mutex;
    Texts lines;
    QxPalTrc::SetTraceSink([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(Split(line, '\t').back());
    });
    const std::string first = GetParam().trace.empty() ? kNoCert : GetParam().trace[0] + " on " + daemon_.Uri();
    for (const char* mask : {"1", "0", "1", "0"}) {
        settings_.Set("trace", "ctrl.rpcclient", mask);
        {
            std::lock_guard<std::mutex> lock(mutex);
            lines.clear();
        }
        daemon_.Enqueue(GetParam().reply);
        Run();
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(lines.empty() ? std::string("none") : lines.front(), *mask == '1' ? first : "none") << mask;
    }
    QxPalTrc::SetTraceSink({});
}

// A "result" that is not an xsd:int makes the answer malformed: read from its
// leading digits, "ERROR" or "" would pass for success, "0x40" for 0.
TEST_P(EveryRequest, AResultThatIsNotAnIntegerIsAMalformedAnswer) {
    for (const char* text : {"ERROR", "", "0x40", "64abc", "2147483648", "-2147483649", "1 2", "+", "\xD9\xA3"}) {
        daemon_.Enqueue(Reply::Empty().Output("result", text, "xsd:int"));
        EXPECT_EQ(Run().rfind(Framed() ? "DaDovu::CommunicationException" : "returned -1", 0), 0u) << text;
    }
    for (const char* text : {" 0\n", "+0", "-0"}) {
        daemon_.Enqueue(Reply::Empty().Output("result", text, "xsd:int"));
        EXPECT_EQ(Run().rfind("returned ", 0), 0u) << text;
    }
}

// Without "result" each method keeps its initial code; "requestprogress" and
// the registration methods return a rejected code unchecked.
TEST_P(EveryRequest, AnswerWithoutResultOrWithARejectedCode) {
    TraceCapture trace(1 | 4);
    daemon_.Enqueue(Reply::Empty());
    EXPECT_EQ(Run(), GetParam().withoutResult);
    trace.Clear();
    daemon_.Enqueue(Reply::Result(65));
    const bool unchecked = !Framed() || GetParam().word == "RequestProgress";
    EXPECT_EQ(Run(), unchecked ? "returned 65" : "DaDovu::TargetException ctrl 4 2: No component matches target. | ");
    const Texts lines = trace.Get();
    // No finishing line after a rejected code; the registration methods
    // trace only the certificate test.
    EXPECT_EQ(lines.size(), !Framed() ? 1u : unchecked ? 3u : 2u);
    EXPECT_EQ(lines.back(), Framed() && unchecked ? "Finished executing method 'RequestProgress': rc='65'" : kNoCert);
    EXPECT_EQ(settings_.Log(), Texts{});
}

INSTANTIATE_TEST_SUITE_P(Engine, EveryRequest, ::testing::ValuesIn(AllRequests()),
                         [](const auto& param) { return param.param.name; });

using FramedRequest = EveryRequest;

TEST_P(FramedRequest, FailuresBecomeTheMethodsExceptionsAndOnlyStartLogsThem) {
    const Request& method = GetParam();
    const std::string n = std::to_string(method.number), s = std::to_string(method.number + 1);
    const std::string communication =
        "DaDovu::CommunicationException ctrl " + n + " 2: Communication error when executing '" + method.word +
        "' method. | ";
    const std::string security =
        "QxSecAuth::SecAuthException ctrl " + s + " 2: Security error when executing '" + method.word + "' method. | ";
    // Only a fault text that is exactly a security word is a security failure.
    const std::vector<std::pair<std::string, bool>> faults = {
        {"ctrlauthorization", true}, {"ctrlauthentication", true},  {"ctrlauthorization failed", false},
        {" ctrlauthentication", false}, {"CTRLAUTHORIZATION", false}, {"ctrlauth", false},
        {"disk full", false}};
    TraceCapture trace(4);
    Texts traced;
    for (const auto& [text, secure] : faults) {
        daemon_.Enqueue(Reply::Fault(text, secure ? "soap:Client" : "soap:Server"));
        EXPECT_EQ(Run(), (secure ? security : communication) + text);
        traced.push_back("Exception when executing '" + method.word + "' method." + text);
    }
    daemon_.Enqueue(Reply::Raw("<not-an-envelope"));
    const std::string malformed = Run();
    const QxPalNet::URI_t uri = Uri();
    daemon_.Stop();
    for (const std::string& outcome : {malformed, Outcome([&] { return method.run(options_, uri); })}) {
        EXPECT_EQ(outcome.rfind(communication, 0), 0u) << outcome;
        EXPECT_GT(outcome.size(), communication.size()) << "the failure is attached";
    }

    Texts lines = trace.Get();
    ASSERT_EQ(lines.size(), faults.size() + 2);
    lines.resize(faults.size());
    EXPECT_EQ(lines, traced);

    const Texts log = settings_.Log();
    ASSERT_EQ(log.size(), method.word == "Start" ? faults.size() + 2 : 0u) << "only start logs, a line per failure";
    for (std::size_t i = 0; i < log.size(); ++i) {
        const std::string kind = i < 2 ? s + " Security" : n + " Communication";
        EXPECT_EQ(log[i].rfind("ctrl " + kind + " error when executing 'Start' method.", 0), 0u) << log[i];
        EXPECT_NE(log[i].find(i < faults.size() ? faults[i].first : " "), std::string::npos) << log[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, FramedRequest, ::testing::ValuesIn(FramedRequests()),
                         [](const auto& param) { return param.param.name; });

// --- Result codes -------------------------------------------------------------

using EngineResult = DaemonTest;

TEST_F(EngineResult, CodesAreAcceptedOrRaiseTheirException) {
    const auto start = [this] { return ControlImpl_t::Start("t", false, options_, Uri()); };
    for (int code : {0, 1, 63, 128, -65, INT_MAX - 64}) {
        daemon_.Enqueue(Reply::Result(code));
        EXPECT_EQ(start(), code);
    }
    const std::pair<int, std::string> rejected[] = {
        {64, "DaDovu::ComponentException ctrl 7 2: Error in the target component. | "},
        {65, "DaDovu::TargetException ctrl 4 2: No component matches target. | "},
        {70, "QxSecAuth::SecAuthException ctrl 8 2: Not authorized. | "},
        {71, "DaDovu::PrerequisiteException ctrl 6 2: Error in one of the target prerequisites. | "},
        {73, "DaDovu::EventException ctrl 5 2: No target component subscribed for this event. | "},
        {74, "QxSecAuth::SecAuthException ctrl 9 2: Not authenticated. | "},
        {75, "DaDovu::GetUserException ctrl 91 2: Can not get username for Q-Tier processes. | "},
        {66, kGeneral}, {72, kGeneral}, {76, kGeneral}, {127, kGeneral}, {192, kGeneral}, {-1, kGeneral},
        {INT_MIN + 64, kGeneral},
    };
    for (const auto& [code, expected] : rejected) {
        daemon_.Enqueue(Reply::Result(code));
        EXPECT_EQ(Outcome(start), expected) << code;
    }
    // Handlers of the families catch across the library's boundary.
    for (int i = 0; i < 4; ++i) daemon_.Enqueue(Reply::Result(65));
    EXPECT_THROW(start(), DaDovu::TargetException);
    EXPECT_THROW(start(), DaDovu::ControlException);
    EXPECT_THROW(start(), QxPalMsg::RuntimeException_t);
    EXPECT_THROW(start(), QxPalMsg::Exception_t);
    daemon_.Enqueue(Reply::Result(70));
    EXPECT_THROW(try { start(); } catch (const DaDovu::ControlException&) { ADD_FAILURE() << "a ControlException"; },
                 QxSecAuth::SecAuthException);
}

// --- Failures outside the frame's families, the registration frame -----------

using EngineFrame = DaemonTest;

TEST_F(EngineFrame, OtherFailuresPassUnchangedAndAFailingLogChangesNothing) {
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, QxPalNet::URI_t("ftp://127.0.0.1/x")),
                 QxPalMsg::IllegalArgumentError_t);
    settings_.SetCloseConnection("maybe");
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, Uri()), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(settings_.Log(), Texts{});
    EXPECT_EQ(daemon_.RequestCount(), 0u);

    settings_.SetCloseConnection("");
    std::ofstream(settings_.Dir() + "/blocker") << "x";  // the log's directory is a file
    settings_.Set("log", "FILE", settings_.Dir() + "/blocker/node.log");
    daemon_.Enqueue(Reply::Fault("disk full"));
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, Uri()), DaDovu::CommunicationException);
    daemon_.Enqueue(Reply::Fault("ctrlauthorization"));
    EXPECT_THROW(ControlImpl_t::Start("t", false, options_, Uri()), QxSecAuth::SecAuthException);
}

TEST_F(EngineFrame, RegistrationReturnsMinusOneAfterTracingAndLoggingAFailure) {
    TraceCapture trace(4);
    daemon_.Enqueue(Reply::Fault("no such file"));
    EXPECT_EQ(ControlImpl_t::AddComponent("web.xml", Uri()), -1);
    daemon_.Enqueue(Reply::Fault("ctrlauthentication"));  // no security exception here
    EXPECT_EQ(ControlImpl_t::DeleteComponent("web", Uri()), -1);
    settings_.SetCloseConnection("maybe");  // any failure of the base library's family
    EXPECT_EQ(ControlImpl_t::AddComponent("web.xml", Uri()), -1);
    EXPECT_EQ(ControlImpl_t::DeleteComponent("web", QxPalNet::URI_t("ftp://127.0.0.1/x")), -1);
    settings_.SetCloseConnection("");
    const QxPalNet::URI_t uri = Uri();
    daemon_.Stop();
    EXPECT_EQ(ControlImpl_t::AddComponent("web.xml", uri), -1);
    EXPECT_EQ(daemon_.RequestCount(), 2u);

    const Texts log = settings_.Log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0], "ctrl 23 Error calling LNK RPC method add component: no such file");
    EXPECT_EQ(log[1], "ctrl 24 Error calling LNK RPC method delete component: ctrlauthentication");
    const std::string unreachable = "ctrl 23 Error calling LNK RPC method add component: ";
    EXPECT_EQ(log[4].rfind(unreachable, 0), 0u) << log[4];
    EXPECT_NE(log[4].find(std::to_string(daemon_.Port()), unreachable.size()), std::string::npos) << log[4];
    Texts lines = trace.Get();
    ASSERT_EQ(lines.size(), 5u);
    lines.resize(2);
    EXPECT_EQ(lines, (Texts{"Exception caught: Error=no such file", "Exception caught: Error=ctrlauthentication"}));
}

// The mutex of the shared messenger is not held while a call is in flight.
TEST_F(EngineFrame, ARequestInFlightDoesNotHoldUpAnotherOne) {
    std::promise<void> release;
    daemon_.SetHandler([released = release.get_future().share()](const SoapTest::RecordedRequest&) {
        released.wait_for(std::chrono::seconds(5));
        return Reply::Result(0);
    });
    std::atomic<bool> slowDone{false};
    std::thread slow([&] {
        Outcome([&] { return ControlImpl_t::Start("slow", false, options_, Uri()); });
        slowDone = true;
    });
    EXPECT_TRUE(daemon_.WaitForRequests(1, std::chrono::seconds(5)));
    SoapTest::TestDaemon other;
    EXPECT_EQ(ControlImpl_t::Start("fast", false, options_, QxPalNet::URI_t(other.Uri().c_str())), 0);
    EXPECT_FALSE(slowDone.load()) << "the second request waited for the first one";
    release.set_value();
    slow.join();
}

}  // namespace

namespace {

using namespace DaDovuTest;
using DaDovu::Control;

class TextFromTheDaemon : public DaemonTest {};

// A user name or fault string from the daemon that holds line feeds and TABs
// is one line of six columns in the trace, and one entry in the log.
TEST_F(TextFromTheDaemon, CannotForgeTraceLinesOrColumns) {
    const std::string forged = "root\n2026-12-07T00:00:00.000000Z\t1\tctrl.rpcclient\t1\tX:1\tforged";
    std::mutex mutex;
    Texts lines;
    QxPalTrc::SetTraceSink([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    });
    QxPalTrc::SetTraceMask("ctrl.rpcclient", 1 | 4);
    daemon_.Enqueue(SoapTest::Reply::Result(0).Output("uid", "0", "xsd:int").Output("user", forged));
    EXPECT_EQ(Control::GetUser(options_, Uri()).user.ToUtf8(), forged);  // the caller gets it unchanged
    daemon_.Enqueue(SoapTest::Reply::Fault(forged));
    EXPECT_THROW(Control::Start("web", false, options_, Uri()), DaDovu::CommunicationException);
    QxPalTrc::SetTraceSink({});
    QxPalTrc::SetTraceMask("ctrl.rpcclient", 0);
    std::size_t quoting = 0;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_EQ(Split(line, '\t').size(), 6u) << line;
        quoting += line.find("root\\n2026-12-07T00:00:00.000000Z\\t1\\tctrl.rpcclient") != std::string::npos;
    }
    EXPECT_EQ(quoting, 2u) << "the user line and the failure line";
    const Texts log = settings_.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("root\\n2026"), std::string::npos) << log[0];
}

// Writes a failed start's log entry to a standard error whose reader has gone
// (no [log] FILE); 0 when the caller got its exception and no SIGPIPE.
int StartWithAClosedStandardError(const std::string& uri) {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], STDERR_FILENO) < 0) return 2;
    ::close(ends[0]);
    ::close(ends[1]);
    try {
        Control::Start("web", false, Control::Options(), QxPalNet::URI_t(uri.c_str()));
    } catch (const DaDovu::CommunicationException&) {
        return 0;
    }
    return 3;
}

TEST(LogToAClosedPipeDeathTest, AFailedStartReachesTheCallerWithoutSigpipe) {
    // The child runs the test afresh, with a daemon of its own: a fork of this
    // threaded process could inherit a lock a daemon thread held.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    NodeSettings settings;
    settings.Set("log", "FILE", "");  // standard error
    SoapTest::TestDaemon daemon;
    daemon.Enqueue(SoapTest::Reply::Fault("boom"));
    EXPECT_EXIT(std::_Exit(StartWithAClosedStandardError(daemon.Uri())), ::testing::ExitedWithCode(0), "");
}

}  // namespace
