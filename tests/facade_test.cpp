// The Control facade and the function-style calls against the test daemon:
// where each overload sends its request and what it hands back, node
// resolution, the asynchronous forms, and failures passing unchanged.

#include <qxlnk/exceptions.h>
#include <iterator>

#include "TestEnvironment.h"

namespace {

using namespace DaDovuTest;
using DaDovu::Control;
using QxPalStr::String_t;
using SoapTest::Reply;

const std::string kNoCert = "Certificate is not installed";

// The daemon answers with every output that any method reads.
class Facade : public DaemonTest {
protected:
    Facade() {
        daemon_.SetHandler([](const SoapTest::RecordedRequest&) {
            return Reply::Result(0).Output("status", "S").Output("uid", "5", "xsd:int").Output("user", "u")
                .RawOutput("complist", "<ctrlcomp><name>c</name></ctrlcomp>")
                .RawOutput("MsgList", "<Message><MsgString>m</MsgString></Message>");
        });
    }
    // An endpoint with a path of its own, to tell requests by URI from requests by node.
    QxPalNet::URI_t Endpoint() const { return QxPalNet::URI_t(daemon_.Uri("/by.uri/lnkrpcserver").c_str()); }
    String_t NodeName() const { return String_t(Node().c_str()); }
};

TEST_F(Facade, EachOverloadSendsItsRequestAndHandsBackTheAnswer) {
    Control::Options tid;
    tid.SetTargetID("tid-7");
    const Control::Options none;
    const QxPalNet::URI_t uri = Endpoint();
    const String_t node = NodeName();
    const std::string n = Node();
    QxPalMsg::MessageList_t messages;
    String_t status("before");
    const auto list = [](const std::function<void(DaDovu::ControlComponentList&)>& request) {
        DaDovu::ControlComponentList records;
        request(records);
        return Walk(records).at(0);
    };
    const std::pair<std::function<std::string()>, std::string> rows[] = {
        {[&] { Control::Start("web", true, tid, uri); return ""; },
         "U start(target=web, boot=true, async=false) tid=tid-7"},
        {[&] { Control::Start("web", node, tid); return ""; },
         "N start(target=web, boot=false, async=false) tid=tid-7"},
        {[&] { Control::Stop("web", true, none, uri); return ""; }, "U stop(target=web, kill=true, async=false)"},
        {[&] { Control::Stop("web", node, tid); return ""; }, "N stop(target=web, kill=false, async=false) tid=tid-7"},
        {[&] { Control::Notify("reload", "now", "web", none, uri); return ""; },
         "U notify(event=reload, value=now, target=web, async=false)"},
        {[&] { Control::Notify("reload", "later", "db", node, tid); return ""; },
         "N notify(event=reload, value=later, target=db, async=false) tid=tid-7"},
        {[&] { return Control::Status(Control::STATUS_STATES, "web", tid, uri).ToUtf8(); },
         "U status(level:int=1, target=web) tid=tid-7 -> S"},
        {[&] { return Control::Status(Control::STATUS_FULL, "db", node, none).ToUtf8(); },
         "N status(level:int=7, target=db) -> S"},
        {[&] { return list([&](auto& l) { Control::Status(Control::STATUS_PROCESSES, "web", none, l, uri); }); },
         "U statusaslist(level:int=2, target=web) -> c"},
        {[&] { return list([&](auto& l) { Control::Status(Control::STATUS_NAMES, "db", node, tid, l); }); },
         "N statusaslist(level:int=0, target=db) tid=tid-7 -> c"},
        {[&] { return std::to_string(Control::GetUser(tid, uri).uid); }, "U getuser() tid=tid-7 -> 5"},
        {[&] { return Control::GetUser(node, none).user.ToUtf8(); }, "N getuser() -> u"},
        {[&] { return std::to_string(Control::GetCommandProgress(5, tid, messages, uri)); },
         "U requestprogress(RequestID:int=5) tid=tid-7 -> 0"},
        {[&] { return std::to_string(DaDovu::Start("web", n.c_str())); },
         "N start(target=web, boot=false, async=false) -> 0"},
        {[&] { return std::to_string(DaDovu::Stop("web", n.c_str())); },
         "N stop(target=web, kill=false, async=false) -> 0"},
        {[&] {
             const int code = DaDovu::Status(1, "web", status, n.c_str());
             return std::to_string(code) + status.ToUtf8();
         },
         "N status(level:int=1, target=web) -> 0S"},
        {[&] { return std::to_string(DaDovu::Notify("reload", "now", "web", n.c_str())); },
         "N notify(event=reload, value=now, target=web, async=false) -> 0"},
        {[&] { return std::to_string(DaDovu::AddComponent("/etc/web.xml", uri)); },
         "U addcomponent(filename=/etc/web.xml) -> 0"},
        {[&] { return std::to_string(DaDovu::DeleteComponent("web", uri)); },
         "U deletecomponent(componentname=web) -> 0"},
    };
    for (const auto& [request, expected] : rows) {
        TraceCapture trace(1);
        const std::string output = request();
        const Texts lines = trace.Get();
        const auto announcing = std::find_if(lines.begin(), lines.end(),
                                             [](const std::string& line) { return line.rfind("Executing", 0) == 0; });
        const std::string certificate = std::to_string(std::count(lines.begin(), announcing, kNoCert)) + "+" +
                                        std::to_string(std::count(announcing, lines.end(), kNoCert));
        const SoapTest::RecordedRequest r = Last();
        const std::string where =
            r.path == "/by.uri/lnkrpcserver" ? "U" : r.path == "/dadovu.ctrl.server/lnkrpcserver" ? "N" : r.path;
        EXPECT_EQ(where + " " + Wire(r) + (output.empty() ? "" : " -> " + output), expected);
        // A request by node tests for the certificate while its endpoint is
        // built, before its announcing line, and again for the call.
        if (announcing != lines.end()) {
            EXPECT_EQ(certificate, where == "N" ? "1+1" : "0+1") << expected;
        }
    }
    EXPECT_EQ(daemon_.RequestCount(), std::size(rows));
}

// The overloads without a node address "localhost"; a target that XML cannot
// carry keeps the request from being sent, whatever listens there (the trace
// shows it escaped).
TEST_F(Facade, OverloadsWithoutANodeAddressLocalhost) {
    const String_t bad("\x01");
    Control::Options options;
    options.SetTargetID("\x01");
    const std::pair<std::function<void()>, std::string> requests[] = {
        {[&] { Control::Start(bad, Control::Options()); }, "start': target='\\x01'"},
        {[&] { Control::Stop(bad, options); }, "stop': target='\\x01'"},
        {[&] { Control::Notify("ev", "1", bad, options); }, "notify': event='ev' value='1' target='\\x01'"},
        {[&] { Control::Status(Control::STATUS_FULL, bad, options); }, "status': level='7', target='\\x01'"},
        {[&] {
             DaDovu::ControlComponentList list;
             Control::Status(Control::STATUS_FULL, bad, options, list);
         },
         "statusaslist': level='7', target='\\x01'"},
        {[&] { Control::GetUser(options); }, "getuser'"},
        {[&] { DaDovu::Start(bad, "localhost"); }, "start': target='\\x01'"},  // the same as Control::Start
    };
    Texts results;
    for (const auto& [request, announced] : requests) {
        TraceCapture trace(1);
        results.push_back(Outcome(request));
        for (const std::string& line : trace.Get()) results.back() += " / " + line;
        EXPECT_NE(results.back().find("Executing method '" + announced +
                                      " on http://localhost/dadovu.ctrl.server/lnkrpcserver / "),
                  std::string::npos)
            << results.back();
    }
    EXPECT_EQ(results.back(), results.front());
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

TEST_F(Facade, CreateURIBuildsTheEndpointOfANode) {
    const auto uri = [](const char* node, const char* server, bool locate) {
        return DaDovu::CreateURI(node, QxPalArray::CharArray_t(server), locate).ToUtf8();
    };
    const char* const server = DaDovu::SERVER_IDENTIFIER;
    EXPECT_EQ(uri("node17", server, false), "http://node17/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(uri(" n\xC3\xB6" "de 1:80 ", "  dadovu.ctrl.server\t ", false),
              "http:// n\xC3\xB6" "de 1:80 /dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(uri("", " a b ", false), "http:///a b/lnkrpcserver");
    settings_.Set("lnk.cb.servers", server, "4711");
    EXPECT_EQ(uri("node17", server, true), "http://node17:4711/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(uri("node17", server, false), "http://node17/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(uri("fe80::1", server, true), "http://[fe80::1]:4711/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(uri("[::1]:80", server, false), "http://[::1]:80/dadovu.ctrl.server/lnkrpcserver");
    settings_.SetCertInstalled("yes");
    EXPECT_EQ(uri("node17", server, true), "https://node17:4711/dadovu.ctrl.server/lnkrpcserver");
    // Not a boolean: taken as installed, never as plain HTTP, and nothing thrown.
    settings_.SetCertInstalled("perhaps");
    {
        TraceCapture trace(4);
        EXPECT_EQ(uri("node17", server, false), "https://node17/dadovu.ctrl.server/lnkrpcserver");
        EXPECT_EQ(uri("node18", server, false), "https://node18/dadovu.ctrl.server/lnkrpcserver");
        // Traced each time, logged once; both name the key and the value.
        ASSERT_EQ(trace.Get().size(), 2u);
        EXPECT_NE(trace.Get()[0].find("CERT_INSTALLED"), std::string::npos) << trace.Get()[0];
        EXPECT_NE(trace.Get()[0].find("perhaps"), std::string::npos) << trace.Get()[0];
        const Texts log = settings_.Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find("CERT_INSTALLED"), std::string::npos) << log[0];
        EXPECT_NE(log[0].find("perhaps"), std::string::npos) << log[0];
    }
    // LocateServer's exception passes unchanged; its text is tested with QxLnk.
    EXPECT_THROW(uri("node17", "unknown.server", true), QxLnkRpc::RpcException);
}

TEST_F(Facade, AsynchronousFormsSetTheFlagAndReturnTheCodeWidened) {
    Control::Options options;
    options.SetTargetID("tid-1");
    daemon_.Enqueue(Reply::Result(7));
    EXPECT_EQ(Control::StartAsync("web", true, options, Endpoint()), 7u);
    EXPECT_EQ(Wire(Last()), "start(target=web, boot=true, async=true) tid=tid-1");
    EXPECT_TRUE(Control::OptionsImpl::GetImpl(options).GetAsynchronous());
    Control::Start("web", false, options, Endpoint());
    EXPECT_EQ(Last().Arg("async"), "true");
    Control::Start("web", NodeName(), options);
    EXPECT_EQ(Last().Arg("async"), "true");
    Control::Notify("ev", "1", "web", options, Endpoint());
    EXPECT_EQ(Last().Arg("async"), "true");

    Control::Options fresh;
    for (int code : {-65, -65, 128}) daemon_.Enqueue(Reply::Result(code));
    EXPECT_EQ(Control::StopAsync("web", true, fresh, Endpoint()), ULLONG_MAX - 64);
    EXPECT_EQ(Wire(Last()), "stop(target=web, kill=true, async=true)");
    const unsigned long long id = Control::StartAsync("web", false, fresh, Endpoint());
    EXPECT_EQ(id, ULLONG_MAX - 64);
    EXPECT_EQ(Control::StartAsync("web", false, fresh, Endpoint()), 128u);
    QxPalMsg::MessageList_t messages;
    Control::GetCommandProgress(id, fresh, messages, Endpoint());
    EXPECT_EQ(Last().Arg("RequestID"), "-65");

    // A failing code is an exception, not a request ID; the flag stays set.
    Control::Options failing;
    daemon_.Enqueue(Reply::Result(64));
    daemon_.Enqueue(Reply::Result(64));
    EXPECT_THROW(Control::StartAsync("web", false, failing, Endpoint()), DaDovu::ComponentException);
    EXPECT_THROW(Control::StopAsync("web", true, failing, Endpoint()), DaDovu::ComponentException);
    EXPECT_TRUE(Control::OptionsImpl::GetImpl(failing).GetAsynchronous());
}

TEST_F(Facade, FailuresReachTheCallerUnchanged) {
    const std::string n = Node();
    for (int code : {65, 71, 73, 75, 74}) daemon_.Enqueue(Reply::Result(code));
    EXPECT_THROW(Control::Start("web", NodeName(), options_), DaDovu::TargetException);
    EXPECT_THROW(Control::Stop("web", false, options_, Endpoint()), DaDovu::PrerequisiteException);
    EXPECT_THROW(DaDovu::Notify("ev", "1", "web", n.c_str()), DaDovu::EventException);
    EXPECT_THROW(Control::GetUser(NodeName(), options_), DaDovu::GetUserException);
    EXPECT_THROW(Control::Status(Control::STATUS_NAMES, "web", NodeName(), options_), QxSecAuth::SecAuthException);

    // Function-style Status assigns the text only when the request succeeded.
    String_t status("before");
    daemon_.Enqueue(Reply::Result(65).Output("status", "partial"));
    EXPECT_THROW(DaDovu::Status(0, "web", status, n.c_str()), DaDovu::TargetException);
    EXPECT_THROW(DaDovu::Status(8, "web", status, n.c_str()), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(DaDovu::Status(-1, "web", status, n.c_str()), QxPalMsg::IllegalArgumentError_t);
    // A null node is an empty node name: "http:///..." has no host.
    EXPECT_THROW(DaDovu::Start("web", nullptr), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(DaDovu::Stop("web", nullptr), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(DaDovu::Status(0, "web", status, nullptr), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(DaDovu::Notify("ev", "1", "web", nullptr), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(daemon_.RequestCount(), 6u);
    EXPECT_EQ(status.ToUtf8(), "before");
}

}  // namespace
