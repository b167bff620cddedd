// dadovuctl as a process against the scriptable test daemon: what each command
// sends, how it prints each answer, and which exit status each failure gives.
#include "Ctl.h"

#include <TestDaemon.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using E2e::Describe;
using E2e::ProcessResult;
using SoapTest::RecordedRequest;
using SoapTest::Reply;
using SoapTest::TestDaemon;

class CtlWire : public ::testing::Test {
protected:
    ProcessResult Ctl(std::vector<std::string> args) {
        args.push_back("--uri");
        args.push_back(daemon_.Uri());
        return E2e::Ctl(args, config_);
    }
    ProcessResult CtlBare(const std::vector<std::string>& args) { return E2e::Ctl(args, config_); }
    RecordedRequest OnlyRequest() {
        const auto requests = daemon_.Requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? RecordedRequest{} : requests.front();
    }

    E2e::TempDir dir_;
    // The node's log goes to a file: by default it is standard error.
    std::string config_ = dir_.Write("node.conf", "[log]\nFILE = " + dir_.Path() + "/node.log\n");
    TestDaemon daemon_;
};

TEST_F(CtlWire, StartSendsTargetBootAndTargetIdAndPrintsNothing) {
    const ProcessResult r = Ctl({"start", "web,db", "--boot", "--target-id", "T-1"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "");
    const RecordedRequest req = OnlyRequest();
    EXPECT_EQ(req.method, "start");
    EXPECT_EQ(req.Arg("target"), "web,db");
    EXPECT_EQ(req.Arg("boot"), "true");
    EXPECT_EQ(req.Arg("async"), "false");
    EXPECT_EQ(req.targetId, "T-1");
}

TEST_F(CtlWire, StartAsyncPrintsTheRequestIdWidenedWithItsSign) {
    daemon_.Enqueue(Reply::Result(-65));
    daemon_.Enqueue(Reply::Result(1029));
    const ProcessResult text = Ctl({"start", "web", "--async"});
    ASSERT_EQ(text.exitStatus, 0) << Describe(text);
    EXPECT_EQ(text.out, "18446744073709551551\n");
    const ProcessResult json = Ctl({"start", "web", "--async", "--json"});
    ASSERT_EQ(json.exitStatus, 0) << Describe(json);
    EXPECT_EQ(nlohmann::json::parse(json.out)["request_id"].get<unsigned long long>(), 1029u);
    const auto requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Arg("async"), "true");
    EXPECT_EQ(requests[0].Arg("boot"), "false");
    EXPECT_FALSE(requests[0].targetId.has_value());
}

TEST_F(CtlWire, StopSendsKillAndAsync) {
    daemon_.Enqueue(Reply::Result(1024));
    const ProcessResult r = Ctl({"stop", "web", "--kill", "--async"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "1024\n");
    const RecordedRequest req = OnlyRequest();
    EXPECT_EQ(req.method, "stop");
    EXPECT_EQ(req.ArgNames(), (std::vector<std::string>{"target", "kill", "async"}));
    EXPECT_EQ(req.Arg("kill"), "true");
    EXPECT_EQ(req.Arg("async"), "true");
}

TEST_F(CtlWire, NotifySendsEventValueAndTargetEvenWhenTheValueLooksLikeAnOption) {
    const ProcessResult r = Ctl({"notify", "reload", "-5", "@web"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "");
    const RecordedRequest req = OnlyRequest();
    EXPECT_EQ(req.method, "notify");
    EXPECT_EQ(req.Arg("event"), "reload");
    EXPECT_EQ(req.Arg("value"), "-5");
    EXPECT_EQ(req.Arg("target"), "@web");
    EXPECT_EQ(req.Arg("async"), "false");
}

TEST_F(CtlWire, StatusPrintsTheTextWithTerminalControlsDefused) {
    // DEL, a carriage return and the 8-bit CSI are legal in XML but would drive a terminal.
    daemon_.Enqueue(Reply::Result(0).Output("status", "web running\ndb\x7f stopped\r\xC2\x9B" "2J"));
    const ProcessResult r = Ctl({"status"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "web running\ndb? stopped??2J\n");
    const RecordedRequest req = OnlyRequest();
    EXPECT_EQ(req.method, "status");
    EXPECT_EQ(req.Arg("level"), "1");
    EXPECT_EQ(req.Arg("target"), "*");
}

TEST_F(CtlWire, StatusJsonKeepsTheTextUnchanged) {
    daemon_.Enqueue(Reply::Result(0).Output("status", "a\r\nb"));
    const ProcessResult r = Ctl({"status", "web", "--level", "7", "--json"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(nlohmann::json::parse(r.out)["status"], "a\r\nb");
    const RecordedRequest req = OnlyRequest();
    EXPECT_EQ(req.Arg("level"), "7");
    EXPECT_EQ(req.Arg("target"), "web");
}

std::string Entry(const std::string& name, const std::string& description, const std::string& category,
                  const std::string& pid, int state) {
    return "<ctrlcomp><name>" + name + "</name><description>" + description + "</description><category>" +
           category + "</category><pid>" + pid + "</pid><xml>&lt;component/&gt;</xml><state>" +
           std::to_string(state) + "</state></ctrlcomp>";
}

TEST_F(CtlWire, StatusListPrintsAnAlignedTable) {
    daemon_.Enqueue(Reply::Result(0).RawOutput(
        "complist",
        Entry("web", "Web front end", "frontend", "4242", 2) + Entry("database", "", "", "", 0) +
            Entry("x", "Caf\xC3\xA9 \xC2\x9B", "b", "7", 9),
        "cclist"));
    const ProcessResult r = Ctl({"status", "--list"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out,
              "NAME      STATE    PID   CATEGORY  DESCRIPTION\n"
              "web       running  4242  frontend  Web front end\n"
              "database  stopped  -     -\n"
              "x         9        7     b         Caf\xC3\xA9 ?\n");
    const RecordedRequest req = OnlyRequest();
    EXPECT_EQ(req.method, "statusaslist");
    EXPECT_EQ(req.Arg("level"), "4");
}

TEST_F(CtlWire, StatusListJsonHasEveryField) {
    daemon_.Enqueue(Reply::Result(0).RawOutput("complist", Entry("web", "Web", "frontend", "4242", 3), "cclist"));
    const ProcessResult r = Ctl({"status", "--list", "--json", "--level", "2"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["name"], "web");
    EXPECT_EQ(j[0]["state"], "stopping");
    EXPECT_EQ(j[0]["state_code"], 3);
    EXPECT_EQ(j[0]["pid"], "4242");
    EXPECT_EQ(j[0]["category"], "frontend");
    EXPECT_EQ(j[0]["description"], "Web");
    EXPECT_EQ(j[0]["xml"], "<component/>");
    EXPECT_EQ(OnlyRequest().Arg("level"), "2");
}

TEST_F(CtlWire, UserPrintsUidAndName) {
    daemon_.Enqueue(Reply::Result(0).Output("uid", "1001", "xsd:int").Output("user", "qtier"));
    daemon_.Enqueue(Reply::Result(0).Output("uid", "1001", "xsd:int").Output("user", "qtier"));
    const ProcessResult text = Ctl({"user"});
    ASSERT_EQ(text.exitStatus, 0) << Describe(text);
    EXPECT_EQ(text.out, "uid=1001(qtier)\n");
    const ProcessResult json = Ctl({"user", "--json"});
    ASSERT_EQ(json.exitStatus, 0) << Describe(json);
    EXPECT_EQ(nlohmann::json::parse(json.out), (nlohmann::json{{"uid", 1001}, {"user", "qtier"}}));
    EXPECT_EQ(daemon_.Requests()[0].method, "getuser");
}

std::string Messages(const std::vector<std::string>& texts) {
    std::string xml;
    for (const auto& t : texts) {
        xml += "<Message><Severity>0</Severity><Catalog><CatalogID>sim</CatalogID><MsgNo>1</MsgNo></Catalog>"
               "<MsgString>" + t + "</MsgString></Message>";
    }
    return xml;
}

TEST_F(CtlWire, ProgressWithoutWaitAsksOnceAndReportsTheState) {
    daemon_.Enqueue(Reply::Result(1).RawOutput("MsgList", Messages({"starting web"}), "msglist"));
    const ProcessResult r = Ctl({"progress", "1024"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "info: starting web\nrequest 1024: running (code 1)\n");
    const RecordedRequest req = OnlyRequest();
    EXPECT_EQ(req.method, "requestprogress");
    EXPECT_EQ(req.Arg("RequestID"), "1024");
}

TEST_F(CtlWire, ProgressWaitPrintsEachNewMessageOnceUntilTheCommandEnds) {
    daemon_.Enqueue(Reply::Result(1).RawOutput("MsgList", Messages({"a"}), "msglist"));
    daemon_.Enqueue(Reply::Result(1).RawOutput("MsgList", Messages({"a", "b"}), "msglist"));
    daemon_.Enqueue(Reply::Result(1).RawOutput("MsgList", Messages({"b", "c"}), "msglist"));  // history trimmed
    daemon_.Enqueue(Reply::Result(0).RawOutput("MsgList", Messages({"b", "c", "c"}), "msglist"));
    const ProcessResult r = Ctl({"progress", "1030", "--wait", "--interval", "10"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "info: a\ninfo: b\ninfo: c\ninfo: c\nrequest 1030: finished (code 0)\n");
    EXPECT_EQ(daemon_.RequestCount(), 4u);
    EXPECT_EQ(r.err, "") << "no progress line when standard error is not a terminal";
}

TEST_F(CtlWire, ProgressWaitShowsAProgressLineOnATerminal) {
    for (int i = 0; i < 3; ++i) daemon_.Enqueue(Reply::Result(1));
    daemon_.Enqueue(Reply::Result(0));
    const ProcessResult r =
        E2e::Run({DADOVUCTL_PATH, "progress", "77", "--wait", "--interval", "10", "--uri", daemon_.Uri()},
                 {{"QXPAL_CONFIG", config_}}, std::chrono::seconds(20), true);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "request 77: finished (code 0)\n");
    EXPECT_EQ(r.err.rfind("request 77 running (code 1), 0 s", 0), 0u) << r.err;
    // The line is erased before the program ends, and nothing else is written.
    EXPECT_EQ(r.err.substr(r.err.size() - 4), "\r\033[K") << r.err;
    EXPECT_EQ(r.err.find('\n'), std::string::npos) << r.err;
}

TEST_F(CtlWire, ProgressOfAFailedCommandExitsWithTheStatusItsCodeSelects) {
    daemon_.Enqueue(Reply::Result(1));
    daemon_.Enqueue(Reply::Result(71).RawOutput("MsgList", Messages({"db failed"}), "msglist"));
    const ProcessResult r = Ctl({"progress", "1031", "--wait", "--interval", "10", "--json"});
    EXPECT_EQ(r.exitStatus, 5) << Describe(r);
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["state"], "failed");
    EXPECT_EQ(j["code"], 71);
    ASSERT_EQ(j["messages"].size(), 1u);
    EXPECT_EQ(j["messages"][0]["text"], "db failed");
    EXPECT_NE(r.err.find("request 1031 failed: code 71"), std::string::npos) << r.err;
}

TEST_F(CtlWire, ProgressWaitGivesUpAfterItsTimeout) {
    daemon_.SetHandler([](const RecordedRequest&) { return Reply::Result(1); });
    const ProcessResult r = Ctl({"progress", "1032", "--wait", "--timeout", "0.3", "--interval", "50"});
    EXPECT_EQ(r.exitStatus, 12) << Describe(r);
    EXPECT_NE(r.err.find("request 1032 has not ended after 0.3 s (last code 1)"), std::string::npos) << r.err;
}

TEST_F(CtlWire, ProgressRunningCodesAreConfigurable) {
    daemon_.Enqueue(Reply::Result(7));
    daemon_.Enqueue(Reply::Result(1));
    const ProcessResult r = Ctl({"progress", "5", "--wait", "--interval", "10", "--running-codes", "7,9"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "request 5: finished (code 1)\n");
}

TEST_F(CtlWire, AddAndDeleteSendTheNameUnchanged) {
    const ProcessResult add = Ctl({"add", "extra.conf"});
    ASSERT_EQ(add.exitStatus, 0) << Describe(add);
    const ProcessResult del = Ctl({"delete", "web"});
    ASSERT_EQ(del.exitStatus, 0) << Describe(del);
    const auto requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "addcomponent");
    EXPECT_EQ(requests[0].Arg("filename"), "extra.conf");
    EXPECT_EQ(requests[1].method, "deletecomponent");
    EXPECT_EQ(requests[1].Arg("componentname"), "web");
}

TEST_F(CtlWire, AddAndDeleteReportARefusalInsteadOfSucceeding) {
    daemon_.Enqueue(Reply::Result(82));
    daemon_.Enqueue(Reply::Result(65));
    const ProcessResult add = Ctl({"add", "web.conf"});
    EXPECT_EQ(add.exitStatus, 8) << Describe(add);
    EXPECT_NE(add.err.find("refused to add the component from web.conf: result code 82"), std::string::npos);
    const ProcessResult del = Ctl({"delete", "nosuch"});
    EXPECT_EQ(del.exitStatus, 3) << Describe(del);
}

// Each class of failure has its own exit status, and its message on standard error.
struct FailureCase {
    std::vector<std::string> args;
    int code;
    int exitStatus;
    std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(c.args) << " answered " << c.code;
}

class CtlWireFailure : public CtlWire, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CtlWireFailure, ExitsWithTheStatusOfItsClass) {
    const FailureCase& c = GetParam();
    daemon_.Enqueue(Reply::Result(c.code));
    const ProcessResult r = Ctl(c.args);
    EXPECT_EQ(r.exitStatus, c.exitStatus) << Describe(r);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "dadovuctl: " + c.message + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    ResultCodes, CtlWireFailure,
    ::testing::Values(
        FailureCase{{"start", "nosuch"}, 65, 3, "No component matches target. (ctrl 4)"},
        FailureCase{{"start", "broken"}, 64, 4, "Error in the target component. (ctrl 7)"},
        FailureCase{{"start", "web"}, 71, 5, "Error in one of the target prerequisites. (ctrl 6)"},
        FailureCase{{"notify", "e", "v", "web"}, 73, 6, "No target component subscribed for this event. (ctrl 5)"},
        FailureCase{{"user"}, 75, 7, "Can not get username for Q-Tier processes. (ctrl 91)"},
        FailureCase{{"stop", "web"}, 66, 8, "Error. Check logfile for more information. (ctrl 10)"},
        FailureCase{{"status"}, 192, 8, "Error. Check logfile for more information. (ctrl 10)"},
        FailureCase{{"stop", "web"}, 70, 10, "Not authorized. (ctrl 8)"},
        FailureCase{{"status", "--list"}, 74, 10, "Not authenticated. (ctrl 9)"}),
    [](const ::testing::TestParamInfo<FailureCase>& param) {
        return param.param.args[0] + std::to_string(param.param.code);
    });

TEST_F(CtlWire, SecurityFaultIsASecurityFailureWithTheFaultAsDetail) {
    daemon_.Enqueue(Reply::Fault("ctrlauthorization"));
    const ProcessResult r = Ctl({"start", "web"});
    EXPECT_EQ(r.exitStatus, 10) << Describe(r);
    EXPECT_EQ(r.err.rfind("dadovuctl: Security error when executing 'Start' method. (ctrl 13)\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\ndadovuctl:   ctrlauthorization"), std::string::npos) << r.err;
}

TEST_F(CtlWire, OtherFaultIsACommunicationFailure) {
    daemon_.Enqueue(Reply::Fault("out of memory"));
    const ProcessResult r = Ctl({"stop", "web"});
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);
    EXPECT_EQ(r.err.rfind("dadovuctl: Communication error when executing 'Stop' method. (ctrl 15)\n", 0), 0u)
        << r.err;
}

TEST_F(CtlWire, UnreachableNodeIsACommunicationFailure) {
    const std::string uri = "http://127.0.0.1:" + std::to_string(E2e::ClosedPort()) + "/dadovu.ctrl.server/lnkrpcserver";
    const ProcessResult r = CtlBare({"status", "--uri", uri});
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);
    EXPECT_EQ(r.err.rfind("dadovuctl: Communication error when executing 'Status' method. (ctrl 21)\n", 0), 0u)
        << r.err;
    EXPECT_GT(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "the transport's reason follows as a detail";
}

TEST_F(CtlWire, FailedAddIsACommunicationFailureThatPointsToTheLog) {
    const std::string log = dir_.Path() + "/node.log";
    const std::string config = dir_.Write("log.conf", "[log]\nFILE = " + log + "\n");
    const std::string uri = "http://127.0.0.1:" + std::to_string(E2e::ClosedPort()) + "/dadovu.ctrl.server/lnkrpcserver";
    const ProcessResult r = E2e::Ctl({"add", "web.conf", "--uri", uri}, config);
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);
    EXPECT_NE(r.err.find("the node's log says why"), std::string::npos) << r.err;
    const ProcessResult cat = E2e::Run({"/bin/cat", log});
    EXPECT_NE(cat.out.find("Error calling LNK RPC method add component: "), std::string::npos) << cat.out;
}

TEST_F(CtlWire, LevelOutsideTheRangeIsAnIllegalArgumentAndSendsNothing) {
    for (const char* level : {"8", "-1"}) {
        const ProcessResult r = Ctl({"status", "--level", level});
        EXPECT_EQ(r.exitStatus, 11) << Describe(r);
        EXPECT_NE(r.err.find("Illegal value for argument 'level' in method 'Status'. level=" + std::string(level)),
                  std::string::npos)
            << r.err;
    }
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

TEST_F(CtlWire, ConfigOptionNamesTheSettingsFile) {
    // A target ID and an https scheme cannot come from an empty file: the
    // certificate flag in the file given makes node names resolve to https.
    const std::string config = dir_.Write("cert.conf", "[sec.cm.certificates]\nCERT_INSTALLED = true\n");
    const ProcessResult r = CtlBare({"uri", "node17", "--config", config});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "https://node17/dadovu.ctrl.server/lnkrpcserver\n");
    const ProcessResult missing = CtlBare({"uri", "node17", "--config", dir_.Path() + "/nosuch.conf"});
    EXPECT_EQ(missing.exitStatus, 2) << Describe(missing);
}

TEST_F(CtlWire, UriPrintsTheEndpointOfANode) {
    ProcessResult r = CtlBare({"uri", "node17"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "http://node17/dadovu.ctrl.server/lnkrpcserver\n");
    r = CtlBare({"uri", "node17", "--json"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(nlohmann::json::parse(r.out)["uri"], "http://node17/dadovu.ctrl.server/lnkrpcserver");
}

TEST_F(CtlWire, UriLocateTakesThePortFromServerLocation) {
    const std::string config = dir_.Write("cb.conf", "[lnk.cb.servers]\ndadovu.ctrl.server = 4711\n");
    ProcessResult r = E2e::Ctl({"uri", "node17", "--locate"}, config);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "http://node17:4711/dadovu.ctrl.server/lnkrpcserver\n");
    r = CtlBare({"uri", "node17", "--locate"});
    EXPECT_EQ(r.exitStatus, 1) << Describe(r);
    EXPECT_NE(r.err.find("dadovu.ctrl.server"), std::string::npos) << r.err;
}

TEST_F(CtlWire, UsageErrorsExitWithTwoAndSendNothing) {
    const std::vector<std::vector<std::string>> cases{
        {},
        {"frobnicate"},
        {"start"},
        {"status", "--bogus"},
        {"status", "--level", "high"},
        {"status", "--uri", daemon_.Uri(), "--node", "a"},
        {"status", "--node", "a/b"},
        {"status", "--node", "evil@host"},
        {"status", "--uri", "ftp://127.0.0.1/x"},
        {"status", "--uri", "http://127.0.0.1/a b"},
        {"progress", "12x"},
        {"progress", "-5"},
        {"progress", "1", "--interval", "0"},
        {"uri", "a b"},
    };
    for (const auto& args : cases) {
        const ProcessResult r = CtlBare(args);
        EXPECT_EQ(r.exitStatus, 2) << ::testing::PrintToString(args) << "\n" << Describe(r);
        EXPECT_FALSE(r.err.empty()) << ::testing::PrintToString(args);
    }
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

TEST_F(CtlWire, EveryCommandHasHelpAndTheMainHelpListsTheExitStatuses) {
    const ProcessResult main = CtlBare({"--help"});
    ASSERT_EQ(main.exitStatus, 0) << Describe(main);
    for (const char* needle : {"start", "stop", "notify", "status", "user", "progress", "add", "delete", "uri",
                               "Exit status:", "  3  no component matches the target", "  10  security"}) {
        EXPECT_NE(main.out.find(needle), std::string::npos) << needle << "\n" << main.out;
    }
    for (const char* command : {"start", "stop", "notify", "status", "user", "progress", "add", "delete", "uri"}) {
        const ProcessResult r = CtlBare({command, "--help"});
        EXPECT_EQ(r.exitStatus, 0) << command << "\n" << Describe(r);
        EXPECT_NE(r.out.find(command), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Exit status:"), std::string::npos) << r.out;
    }
    EXPECT_NE(CtlBare({"status", "--help"}).out.find("--list"), std::string::npos);
    EXPECT_NE(CtlBare({"stop", "--help"}).out.find("--kill"), std::string::npos);
    EXPECT_NE(CtlBare({"progress", "--help"}).out.find("--wait"), std::string::npos);
}

}  // namespace
