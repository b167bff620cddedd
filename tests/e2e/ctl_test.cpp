// dadovuctl as a process against the scriptable test daemon: what each command
// sends, what it prints for answers the simulator never gives, and the exit
// status of each failure only such a daemon can produce. With --json each node
// is one line of JSON Lines; "@URI@" in an expected text stands for the
// daemon's endpoint.
#include "E2e.h"

#include <TestDaemon.h>
#include <TestPki.h>
#include <gtest/gtest.h>

#include <thread>

namespace {

using E2e::Describe;
using E2e::ProcessResult;
using SoapTest::Reply;
using SoapTest::TestDaemon;

// The requests a daemon received, each as "method(name=value ...)" and "@TargetID" when there is one.
std::string Received(const TestDaemon& daemon) {
    std::string text;
    for (const auto& request : daemon.Requests()) {
        text += (text.empty() ? "" : " ") + request.method + "(";
        for (const auto& [name, value] : request.args) text += (text.back() == '(' ? "" : " ") + name + "=" + value;
        text += ")" + (request.targetId ? "@" + *request.targetId : "");
    }
    return text;
}

Reply Progress(int code, const std::vector<std::string>& texts = {}) {
    std::string xml;
    for (const auto& text : texts)
        xml += "<Message><Severity>0</Severity><Catalog><CatalogID>sim</CatalogID><MsgNo>1</MsgNo></Catalog>"
               "<MsgString>" + text + "</MsgString></Message>";
    return Reply::Result(code).RawOutput("MsgList", xml, "msglist");
}

std::string Component(const std::string& name, const std::string& description, const std::string& category,
                      const std::string& pid, int state) {
    return "<ctrlcomp><name>" + name + "</name><description>" + description + "</description><category>" + category +
           "</category><pid>" + pid + "</pid><xml>&lt;component/&gt;</xml><state>" + std::to_string(state) +
           "</state></ctrlcomp>";
}

class Ctl : public ::testing::Test {
protected:
    E2e::TempDir dir_;
    // The node's log goes to a file: by default it is standard error.
    const std::string config_ = dir_.Write("node.conf", "[log]\nFILE = " + dir_.Path() + "/node.log\n");
};

TEST_F(Ctl, EachCommandSendsItsArgumentsAndPrintsTheAnswer) {
    const struct {
        std::vector<std::string> args;
        std::vector<Reply> replies;
        int exitStatus;
        std::string out, err, received;  // err: what standard error starts with; received "*": not checked
    } cases[] = {
        {{"start", "web,db", "--boot", "--target-id", "T-1"}, {}, 0, "", "",
         "start(target=web,db boot=true async=false)@T-1"},
        {{"start", "web", "--async"}, {Reply::Result(-65)}, 0, "18446744073709551551\n", "",  // widened with its sign
         "start(target=web boot=false async=true)"},
        {{"start", "web", "--async", "--json"}, {Reply::Result(1029)}, 0,
         R"({"error":null,"exit_status":0,"node":"@URI@","result":{"request_id":1029,"target":"web"}})" "\n", "", "*"},
        {{"stop", "web", "--kill", "--async"}, {Reply::Result(1024)}, 0, "1024\n", "",
         "stop(target=web kill=true async=true)"},
        {{"notify", "reload", "-5", "@web"}, {}, 0, "", "", "notify(event=reload value=-5 target=@web async=false)"},
        // DEL, a carriage return and the 8-bit CSI are legal in XML but would drive a terminal.
        {{"status"}, {Reply::Result(0).Output("status", "web running\ndb\x7f stopped\r\xC2\x9B" "2J")}, 0,
         "web running\ndb? stopped??2J\n", "", "status(level=1 target=*)"},
        // JSON carries the records, whatever the level; DEL and C1 controls escaped.
        {{"status", "web", "--level", "7", "--json"},
         {Reply::Result(0).RawOutput("complist", Component("web", "a\tb\x7f\xC2\x9B" "2J", "", "", 0), "cclist")}, 0,
         R"({"error":null,"exit_status":0,"node":"@URI@","result":{"components":[{"category":null,)"
         R"("description":"a\tb\u007f\u009b2J","name":"web","pid":null,"state":"stopped","state_code":0,)"
         R"("xml":"<component/>"}],"level":7,"target":"web"}})" "\n", "", "statusaslist(level=7 target=web)"},
        {{"status", "--list"},
         {Reply::Result(0).RawOutput("complist", Component("web", "Web front end", "frontend", "4242", 2) +
                                                     Component("database", "", "", "", 0) +
                                                     Component("x", "Caf\xC3\xA9 \xC2\x9B", "b", "7", 9), "cclist")},
         0, "NAME      STATE    PID   CATEGORY  DESCRIPTION\nweb       running  4242  frontend  Web front end\n"
            "database  stopped  -     -\nx         9        7     b         Caf\xC3\xA9 ?\n",
         "", "statusaslist(level=4 target=*)"},
        {{"status", "--list", "--json", "--level", "2"},
         {Reply::Result(0).RawOutput("complist", Component("web", "Web", "frontend", "4242", 3), "cclist")}, 0,
         R"({"error":null,"exit_status":0,"node":"@URI@","result":{"components":[{"category":"frontend",)"
         R"("description":"Web","name":"web","pid":4242,"state":"stopping","state_code":3,"xml":"<component/>"}],)"
         R"("level":2,"target":"*"}})" "\n",
         "", "statusaslist(level=2 target=*)"},
        {{"user", "--json"}, {Reply::Result(0).Output("uid", "1001", "xsd:int").Output("user", "qtier")}, 0,
         R"({"error":null,"exit_status":0,"node":"@URI@","result":{"uid":1001,"user":"qtier"}})" "\n", "",
         "getuser()"},
        {{"progress", "1024"}, {Progress(1, {"starting web"})}, 0,
         "info: starting web\nrequest 1024: running (code 1)\n", "", "requestprogress(RequestID=1024)"},
        // Each new message is printed once, also when the daemon's history was trimmed meanwhile.
        {{"progress", "1030", "--wait", "--interval", "10"},
         {Progress(1, {"a"}), Progress(1, {"a", "b"}), Progress(1, {"b", "c"}), Progress(0, {"b", "c", "c"})}, 0,
         "info: a\ninfo: b\ninfo: c\ninfo: c\nrequest 1030: finished (code 0)\n", "",  // no progress line: no terminal
         "requestprogress(RequestID=1030) requestprogress(RequestID=1030) requestprogress(RequestID=1030) "
         "requestprogress(RequestID=1030)"},
        // Each message with the catalog and number the daemon sent.
        {{"progress", "1031", "--wait", "--interval", "10", "--json"}, {Progress(1), Progress(71, {"db failed"})}, 5,
         R"({"error":{"details":[],"hint":null,"kind":"prerequisite_failed","may_have_acted":false,)"
         R"("message":"request 1031 failed: code 71","result_code":71},)"
         R"("exit_status":5,"node":"@URI@","result":{"code":71,"messages":[{"catalog":"sim","number":1,)"
         R"("parameters":[],"severity":"info","text":"db failed"}],"request_id":1031,"state":"failed"}})" "\n",
         "dadovuctl: request 1031 failed: code 71\n", "*"},
        {{"progress", "5", "--wait", "--interval", "10", "--running-codes", "7,9"},
         {Reply::Result(7), Reply::Result(1)}, 0, "request 5: finished (code 1)\n", "", "*"},
        // A failing code of add and delete selects the exit status it does for other requests.
        {{"delete", "nosuch"}, {Reply::Result(65)}, 3, "",
         "dadovuctl: deletecomponent 'nosuch' at @URI@: no component matches the target (result code 65)\n",
         "deletecomponent(componentname=nosuch)"},
        {{"user"}, {Reply::Result(75)}, 7, "",
         "dadovuctl: getuser at @URI@: the daemon cannot name the user of its processes (result code 75)\n", "*"},
        {{"stop", "web"}, {Reply::Result(66)}, 8, "",
         "dadovuctl: stop 'web' at @URI@: the daemon reported an error (result code 66)\n", "*"},
        {{"stop", "web"}, {Reply::Result(70)}, 10, "", "dadovuctl: stop 'web' at @URI@: not authorized (result code 70)\n",
         "*"},
        {{"add", "x"}, {Reply::Result(74)}, 10, "",
         "dadovuctl: addcomponent 'x' at @URI@: not authenticated (result code 74)\n", "*"},
        // Not authorized, for add and delete too: the security status.
        {{"add", "x"}, {Reply::Result(70)}, 10, "", "dadovuctl: addcomponent 'x' at @URI@: not authorized", "*"},
        {{"delete", "x"}, {Reply::Result(70)}, 10, "", "dadovuctl: deletecomponent 'x' at @URI@: not authorized", "*"},
        // A failing add or delete with --json: the kind and the code.
        {{"delete", "x", "--json"}, {Reply::Result(82)}, 8,
         R"({"error":{"details":[],"hint":null,"kind":"daemon_error","may_have_acted":false,)"
         R"("message":"deletecomponent 'x' at @URI@: the daemon )"
         R"j(reported an error (result code 82)","result_code":82},"exit_status":8,"node":"@URI@","result":null})j" "\n",
         "dadovuctl: deletecomponent 'x' at @URI@: the daemon reported an error (result code 82)\n", "*"},
        {{"progress", "5"}, {Reply::Result(70)}, 10, "request 5: failed (code 70)\n",
         "dadovuctl: request 5 failed: code 70\n", "*"},
        {{"status", "--level", "-1"}, {}, 11, "",  // refused by the library: nothing is sent
         "dadovuctl: status '*' at @URI@: invalid argument: Illegal value for argument 'level' in method 'Status'. "
         "level=-1", ""},
        // --timeout: the deadline of each request.
        {{"status", "--timeout", "0.3"}, {}, 9, "",
         "dadovuctl: status '*' at @URI@: no answer (the daemon may have acted)", "*"},
    };
    const auto withUri = [](std::string text, const std::string& uri) {
        for (std::size_t at; (at = text.find("@URI@")) != std::string::npos;) text.replace(at, 5, uri);
        return text;
    };
    for (const auto& c : cases) {
        TestDaemon daemon;
        for (const Reply& reply : c.replies) daemon.Enqueue(reply);
        if (c.args[0] == "status" && c.args.size() > 1 && c.args[1] == "--timeout") {
            daemon.SetHandler([](const SoapTest::RecordedRequest&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // beyond --timeout
                return Reply::Result(0);
            });
        }
        E2e::ExpectCtl(E2e::Concat(c.args, {"--uri", daemon.Uri()}), config_, c.exitStatus, withUri(c.out, daemon.Uri()),
                       withUri(c.err, daemon.Uri()));
        EXPECT_EQ(c.received == "*" ? c.received : Received(daemon), c.received) << ::testing::PrintToString(c.args);
    }
}

TEST_F(Ctl, ProgressWaitShowsAProgressLineOnATerminalAndErasesIt) {
    TestDaemon daemon;
    for (int code : {1, 1, 1, 0}) daemon.Enqueue(Reply::Result(code));
    // A terminal that can redraw a line: TERM says which.
    const ProcessResult r = E2e::Run({"/usr/bin/env", "TERM=xterm", DADOVUCTL_PATH, "progress", "77", "--wait",
                                      "--interval", "10", "--uri", daemon.Uri(), "--config", config_},
                                     std::chrono::seconds(20), true);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "request 77: finished (code 0)\n");
    EXPECT_EQ(r.err.rfind("request 77 running (code 1), 0 s", 0), 0u) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - 4), "\r\033[K") << r.err;  // erased before the end, nothing else written
    EXPECT_EQ(r.err.find('\n'), std::string::npos) << r.err;
}

TEST_F(Ctl, SeveralNodesAreAskedAtOnce) {
    // Each daemon answers only once the other has been asked too: nodes asked
    // one after the other would make the first one wait in vain.
    TestDaemon a, b;
    const auto answer = [](const TestDaemon& other, const std::string& name) {
        const bool both = other.WaitForRequests(1, std::chrono::seconds(5));
        return Reply::Result(0).Output("status", both ? name + ": both" : name);
    };
    a.SetHandler([&](const SoapTest::RecordedRequest&) { return answer(b, "a"); });
    b.SetHandler([&](const SoapTest::RecordedRequest&) { return answer(a, "b"); });
    const std::string A = "127.0.0.1:" + std::to_string(a.Port()), B = "127.0.0.1:" + std::to_string(b.Port());
    E2e::ExpectCtl({"status", "--node", B, "--node", A, "--ordered"}, config_, 0, B + ": b: both\n" + A + ": a: both\n",
                   "dadovuctl: summary: 2 asked, 2 succeeded, 0 failed, ");
}

// The authorities are read by the first https request: a CA file that cannot
// be loaded leaves a node asked over http alone, and fails one asked over
// https with 9, naming the file and the reason, before connecting to it.
TEST_F(Ctl, ACaFileThatCannotBeLoadedFailsHttpsNodesOnly) {
    const std::string missing = dir_.Path() + "/missing-ca.pem";
    const std::string settings = dir_.Write(
        "bad-ca.conf", "[log]\nFILE = " + dir_.Path() + "/node.log\n[lnk.http.ext.ctrl]\nCA_FILE = " + missing + "\n");
    TestDaemon http;
    http.Enqueue(Reply::Result(0).Output("status", "web state=running\n"));
    E2e::ExpectCtl({"status", "--uri", http.Uri()}, settings, 0, "web state=running\n", "");
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    TestDaemon https(SoapTest::TlsFiles{pki.ServerCert(), pki.ServerKey(), "", false});
    E2e::ExpectCtl({"status", "--uri", https.Uri()}, settings, 9, "",
                   "dadovuctl: status '*' at " + https.Uri() + ": TLS failed: Cannot load the CA file " + missing +
                       ": No such file or directory");
    EXPECT_EQ(https.ConnectionCount(), 0u);
}

TEST_F(Ctl, UnreachableNodesUsageErrorsAndSettings) {
    // The transport's reason follows as a detail, for add and delete as for the other requests.
    const std::string closed = "http://" + E2e::ClosedNode() + "/dadovu.ctrl.server/lnkrpcserver";
    E2e::ExpectCtl({"status", "--uri", closed}, config_, 9, "",
                   "dadovuctl: status '*' at " + closed + ": the request was not sent: Connection refused");
    E2e::ExpectCtl({"add", "web.conf", "--uri", closed}, config_, 9, "",
                   "dadovuctl: addcomponent 'web.conf' at " + closed + ": the request was not sent: Connection refused");

    // The settings file makes node names resolve to https, and names the port --locate finds.
    const std::string settings = dir_.Write(
        "cert.conf", "[sec.cm.certificates]\nCERT_INSTALLED = true\n[lnk.cb.servers]\ndadovu.ctrl.server = 4711\n");
    const std::string endpoint = "node17/dadovu.ctrl.server/lnkrpcserver";
    E2e::ExpectCtl({"uri", "node17"}, config_, 0, "http://" + endpoint + "\n", "");
    E2e::ExpectCtl({"uri", "node17", "--json"}, config_, 0,
                   R"({"error":null,"exit_status":0,"node":"node17","result":{"uri":"http://)" + endpoint + "\"}}\n", "");
    E2e::ExpectCtl({"uri", "node17", "--locate"}, settings, 0, "https://node17:4711/dadovu.ctrl.server/lnkrpcserver\n",
                   "");
    E2e::ExpectCtl({"uri", "node17", "--locate"}, config_, 1, "",
                   "dadovuctl: The server 'dadovu.ctrl.server' is not known on node 'node17'");

    TestDaemon daemon;  // usage errors send nothing
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"start"}, {"notify", "reload"}, {"status", "--bogus"}, {"status", "--level", "high"},
             {"status", "--uri", daemon.Uri(), "--node", "a"}, {"status", "--node", "a/b"},
             {"status", "--node", "evil@host"}, {"status", "--uri", "ftp://127.0.0.1/x"},
             {"status", "--uri", "http://127.0.0.1/a b"}, {"progress", "12x"}, {"progress", "-5"}, {"uri", "a b"},
             {"progress", "1", "--interval", "0"}, {"progress", "1", "--wait", "--wait-timeout", "nan"},
             {"progress", "1", "--wait", "--wait-timeout", "inf"}, {"progress", "1", "--wait", "--timeout", "nan"},
             {"status", "--timeout", "0"}, {"status", "--timeout", "-1"}, {"status", "--timeout", "inf"},
             {"status", "--parallel", "0"}, {"status", "--parallel", "4097"}, {"status", "--parallel", "x"},
             {"status", "--nodes-file", dir_.Path() + "/no"}, {"status", "--nodes-file", "-", "--node", "a"},
             {"status", "--nodes-file", "-", "--uri", daemon.Uri()},
             {"uri", "node17", "--config", dir_.Path() + "/no"}}) {
        const ProcessResult r = E2e::Ctl(args, "");
        EXPECT_EQ(r.exitStatus, 2) << ::testing::PrintToString(args) << "\n" << Describe(r);
        EXPECT_FALSE(r.err.empty()) << ::testing::PrintToString(args);
    }
    EXPECT_EQ(daemon.RequestCount(), 0u);

    // The help of each command: ctl_conventions_test.cpp.
}

}  // namespace
