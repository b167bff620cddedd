// dadovuctl against dadovu-sim, both as real processes: every command's output
// and exit status and each failure class the simulator produces, several nodes
// at once, HTTPS with client certificates, the WSDL, and the simulator's own
// start and stop.
#include "E2e.h"

#include <TestPki.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <pwd.h>

#include <set>

namespace {

using E2e::Describe;
using E2e::ProcessResult;
using E2e::SimNode;

struct Step {
    std::vector<std::string> args;
    int exitStatus;
    std::string out, err;  // err: what standard error starts with ("" for nothing)
    std::string config = "";  // the settings file, when not the fixture's
};

class Sim : public ::testing::Test {
protected:
    // Runs each step's dadovuctl command with `extraArgs` appended, in order.
    void Run(const std::vector<Step>& steps, const std::vector<std::string>& extraArgs = {}) {
        for (const Step& s : steps) {
            const std::string& config = s.config.empty() ? config_ : s.config;
            E2e::ExpectCtl(E2e::Concat(s.args, extraArgs), config, s.exitStatus, s.out, s.err);
        }
    }
    E2e::TempDir dir_, components_;
    const std::string config_ = dir_.Write("node.conf", "[log]\nFILE = " + dir_.Path() + "/node.log\n");
};

TEST_F(Sim, EveryCommandAndEachFailureClass) {
    const std::pair<const char*, const char*> definitions[] = {
        {"db.conf", "description = Database\ncategory = storage\nevents = backup"},
        {"web.conf", "description = Web front end\ncategory = frontend\nprerequisites = db\nevents = reload"},
        {"broken.conf", "description = Fails to start\ncategory = batch\nstart_fails = true"},
        {"report.conf", "category = batch\nprerequisites = broken"},
        {"slow.conf", "category = batch\nstart_time_ms = 300"},
        {"glacial.conf", "category = batch\nstart_time_ms = 3600000"},
        {"extra.def", "name = extra\nprerequisites = db"}};  // not loaded at start: not *.conf
    for (const auto& [file, text] : definitions) components_.Write(file, text);
    SimNode sim(components_.Path());
    const passwd* user = getpwuid(geteuid());
    ASSERT_NE(user, nullptr);
    // Each error line names the request, its target and the endpoint, then the kind and the daemon's code.
    const auto error = [&](const std::string& request, const std::string& what) {
        return "dadovuctl: " + request + " at " + sim.Uri() + ": " + what + "\n";
    };
    // add and delete: the daemon's refusals in words.
    const auto refused = [&](const std::string& request, const std::string& words, int code) {
        return error(request, "refused: " + words + " (result code " + std::to_string(code) + ")");
    };
    Run({{{"start", "web"}, 0, "", ""},
         {{"status", "web,db", "--level", "2"}, 0, "db state=running pid=4001\nweb state=running pid=4002\n", ""},
         {{"stop", "db"}, 0, "", ""},
         {{"status", "w*,@storage"}, 0, "db state=stopped\nweb state=stopped\n", ""},
         {{"start", "@storage"}, 0, "", ""},
         {{"stop", "@storage", "--kill", "--target-id", "ops"}, 0, "", ""},
         {{"notify", "reload", "now", "*"}, 0, "", ""},
         {{"status", "web,db", "--level", "6"}, 0,
          "db state=stopped pid=- description=\"Database\" category=storage prerequisites=- events=backup\n"
          "web state=stopped pid=- description=\"Web front end\" category=frontend prerequisites=db events=reload "
          "value.reload=\"now\"\n", ""},
         {{"user"}, 0, "uid=" + std::to_string(geteuid()) + "(" + user->pw_name + ")\n", ""},
         {{"start", "slow", "--async"}, 0, "1024\n", ""},
         {{"progress", "1024", "--wait", "--interval", "50"}, 0,
          "info: Start of target 'slow' requested.\ninfo: Starting component slow.\n"
          "info: Component slow is running with process ID 4004.\ninfo: Command finished with result 0.\n"
          "request 1024: finished (code 0)\n", ""},
         {{"start", "report", "--async"}, 0, "1025\n", ""},
         {{"progress", "1025", "--wait", "--interval", "50"}, 5,
          "info: Start of target 'report' requested.\ninfo: Starting component broken.\n"
          "error: Component broken failed to start.\n"
          "warning: Component report was not started: its prerequisite broken is not running.\n"
          "error: Command finished with result 71.\nrequest 1025: failed (code 71)\n",
          "dadovuctl: request 1025 failed: code 71\n"},
         {{"add", "extra.def"}, 0, "", ""},
         {{"add", "extra.def"}, 8, "",
          refused("addcomponent 'extra.def'", "a component of that name exists already", 82)},
         {{"add", "../node.conf"}, 11, "",
          refused("addcomponent '../node.conf'", "not a plain file name, or the daemon has no components directory", 83)},
         {{"delete", "db"}, 8, "", refused("deletecomponent 'db'", "another component names it as a prerequisite", 86)},
         {{"delete", "extra"}, 0, "", ""},
         {{"delete", "nosuch"}, 3, "", refused("deletecomponent 'nosuch'", "no component of that name", 85)},
         {{"start", "nosuch"}, 3, "", error("start 'nosuch'", "no component matches the target (result code 65)")},
         {{"start", "broken"}, 4, "", error("start 'broken'", "a component of the target failed (result code 64)")},
         {{"start", "report"}, 5, "", error("start 'report'", "a prerequisite of the target failed (result code 71)")},
         {{"notify", "nosuch", "1", "*"}, 6, "",
          error("notify '*'", "no component of the target subscribes to the event (result code 73)")},
         {{"progress", "999999"}, 13, "", "dadovuctl: request 999999 is not known to the daemon (code 65)"},
         {{"start", "glacial", "--async"}, 0, "1026\n", ""},
         {{"progress", "1026", "--wait", "--wait-timeout", "1.5", "--interval", "50", "--timeout", "5"}, 12,
          "info: Start of target 'glacial' requested.\ninfo: Starting component glacial.\n",
          "dadovuctl: request 1026 has not ended after 1.5 s (last code 1)"},
         {{"status", "--list", "broken,glacial,web"}, 0, "NAME     STATE     PID  CATEGORY  DESCRIPTION\n"
          "broken   failed    -    batch     Fails to start\nglacial  starting  -    batch\n"
          "web      stopped   -    frontend  Web front end\n", ""}},
        {"--uri", sim.Uri()});
}

// With --ordered each node's lines come in the order the nodes were given,
// after "NODE: "; a node without output says "ok"; errors and the summary go
// to standard error.
TEST_F(Sim, SeveralNodesAnswerInTheOrderGivenWithTheWorstStatus) {
    components_.Write("database.conf", "category = storage\n");  // and nothing else on this node
    SimNode a(DADOVU_SIM_COMPONENTS), b(components_.Path());
    const std::string A = a.HostPort(), B = b.HostPort(), closed = E2e::ClosedNode();
    const auto endpoint = [](const std::string& node) { return "http://" + node + "/dadovu.ctrl.server/lnkrpcserver"; };
    const std::string none = "start 'webserver' at " + endpoint(B) + ": no component matches the target (result code 65)";
    Run({{{"start", "database", "--node", A, "--node", B}, 0, A + ": ok\n" + B + ": ok\n",
          "dadovuctl: summary: 2 asked, 2 succeeded, 0 failed, "},
         {{"status", "database,webserver", "--node", B, "--node", A}, 0,
          B + ": database state=running\n" + A + ": database state=running\n" + A + ": webserver state=stopped\n",
          "dadovuctl: summary: 2 asked, 2 succeeded, 0 failed, "},
         {{"start", "webserver", "--node", A, "--node", B}, 3, A + ": ok\n",
          "dadovuctl: " + B + ": " + none + "\ndadovuctl: summary: 2 asked, 1 succeeded, 1 failed (1 no_matching_component), "},
         {{"start", "webserver", "--async", "--json", "--node", B, "--node", A}, 3,
          R"({"error":{"details":[],"hint":null,"kind":"no_matching_component","may_have_acted":false,"message":")" +
              none + R"(","result_code":65},"exit_status":3,"node":")" + B +
              R"(","result":null})" "\n" R"({"error":null,"exit_status":0,"node":")" + A +
              R"(","result":{"request_id":1024,"target":"webserver"}})" "\n",
          "dadovuctl: " + B + ": " + none + "\n"},
         // A communication failure (9) outranks no match (3).
         {{"status", "webserver", "--node", A, "--node", closed, "--node", B}, 9, A + ": webserver state=running\n",
          "dadovuctl: " + closed + ": status 'webserver' at " + endpoint(closed) +
              ": the request was not sent: Connection refused"},
         // The sample node: the dashboard needs reportgen, whose start fails. One node: no prefix, no summary.
         {{"start", "dashboard", "--node", A}, 5, "",
          "dadovuctl: start 'dashboard' at " + endpoint(A) + ": a prerequisite of the target failed (result code 71)\n"}},
        {"--ordered"});
}

TEST_F(Sim, HttpsWithClientCertificatesAndAuthorizedSubjects) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    components_.Write("db.conf", "category = storage\n");
    components_.Write("web.conf", "prerequisites = db\n");
    // Settings trusting the test authority, with `cert` and its `key` as the client's certificate when given.
    const auto settings = [&](const std::string& name, const std::string& cert = "", const std::string& key = "") {
        std::string text = "[log]\nFILE = " + dir_.Path() + "/node.log\n[lnk.http.ext.ctrl]\nTIMEOUT_MS = 10000\n"
                           "CA_FILE = " + pki.CaFile() + "\n";
        if (!cert.empty()) text += "CLIENT_CERT = " + cert + "\nCLIENT_KEY = " + key + "\n";
        return dir_.Write(name, text + "[sec.cm.certificates]\nCERT_INSTALLED = true\n");
    };
    const std::string anonymous = settings("anonymous");
    const std::string client = settings("client", pki.ClientCert(), pki.ClientKey());
    const auto node = [&](const std::string& subjects) {  // asks for client certificates, authorizes `subjects`
        return std::make_unique<SimNode>(components_.Path(), std::vector<std::string>{
            "--tls-cert", pki.ServerCert(), "--tls-key", pki.ServerKey(), "--client-ca", pki.CaFile(), "--authorize",
            dir_.Write("subjects", subjects)});
    };
    const auto listed = node("# who may change components\n\n  CN=dadovu-test-client  \n");
    const auto unlisted = node("CN=dadovu-test-client-2\nCN=dadovu-test\n");
    ASSERT_EQ(listed->Uri().rfind("https://127.0.0.1:", 0), 0u) << listed->Uri();
    const std::string L = listed->Uri(), U = unlisted->Uri();
    // With TLS 1.3 the daemon's refusal of the certificate may arrive after the request went out.
    const std::string untrusted = "dadovuctl: status '*' at " + L + ": ";
    // A daemon's certificate that the client cannot verify is tested with QxLnk and in the hardening tests.
    // A client certificate from an authority the daemon does not trust ends the handshake.
    Run({{{"status", "--uri", L}, 9, "", untrusted,
          settings("stranger", pki.UntrustedServerCert(), pki.UntrustedServerKey())},
         {{"status", "--uri", L}, 10, "",  // no client certificate
          "dadovuctl: status '*' at " + L + ": not authenticated: ctrlauthentication\n",
          anonymous},
         {{"start", "web", "--uri", L}, 0, "", "", client},
         {{"uri", listed->HostPort()}, 0, L + "\n", "", client},  // https, as the settings say
         {{"status", "web", "--node", listed->HostPort()}, 0, "web state=running\n", "", client},
         {{"status", "--level", "0", "--uri", U}, 0, "db\nweb\n", "", client},  // who is not listed may look
         {{"start", "web", "--uri", U}, 10, "",
          "dadovuctl: start 'web' at " + U + ": not authorized: ctrlauthorization\n", client},
         {{"delete", "web", "--uri", U}, 10, "",  // add and delete are told the kind of their failure too
          "dadovuctl: deletecomponent 'web' at " + U + ": not authorized: ctrlauthorization\n", client}});
}

TEST_F(Sim, WsdlIsWellFormedAndNamesEveryMethodAtTheAddressAsked) {
    SimNode sim(components_.Path());
    httplib::Client client("127.0.0.1", sim.Port());
    client.set_read_timeout(5);
    const std::string endpoint = "/dadovu.ctrl.server/lnkrpcserver", wsdl = dir_.Path() + "/control.wsdl";
    // The address is the endpoint asked for, unless the Host header could break out of it.
    for (const auto& [host, location] : std::vector<std::pair<std::string, std::string>>{
             {"node17.example:8443", "http://node17.example:8443" + endpoint}, {"x\"/><evil a=\"", sim.Uri()}}) {
        const auto response = client.Get(endpoint + "?wsdl", httplib::Headers{{"Host", host}});
        ASSERT_TRUE(response && response->status == 200) << httplib::to_string(response.error());
        dir_.Write("control.wsdl", response->body);
        const ProcessResult lint = E2e::Run({XMLLINT_PATH, "--noout", wsdl});
        EXPECT_EQ(lint.exitStatus, 0) << lint.err;
        EXPECT_EQ(E2e::Run({XMLLINT_PATH, "--xpath", "string(//*[local-name()='address']/@location)", wsdl}).out,
                  location + "\n");
    }
    // Each method is an operation of the port type and of the binding, with a request and a response message.
    const std::string names =
        E2e::Run({XMLLINT_PATH, "--xpath", "//*[local-name()='operation' or local-name()='message']/@name", wsdl}).out;
    std::multiset<std::string> found, expected;
    for (std::size_t at = 0; (at = names.find("name=\"", at)) != std::string::npos; at += 6)
        found.insert(names.substr(at + 6, names.find('"', at + 6) - at - 6));
    for (const std::string method : {"start", "stop", "notify", "getuser", "status", "statusaslist", "requestprogress",
                                     "addcomponent", "deletecomponent"})
        expected.insert({method, method, method + "Request", method + "Response"});
    EXPECT_EQ(found, expected) << names;
}

// The process: exit 0 on SIGTERM and SIGINT even with an idle kept-alive
// connection open, 1 when it cannot start, 2 for a usage error.
TEST_F(Sim, StartsAndStopsAsAProcess) {
    for (int signal : {SIGTERM, SIGINT}) {
        SimNode sim(DADOVU_SIM_COMPONENTS, {"--generate", "3"});
        httplib::Client client("127.0.0.1", sim.Port());
        client.set_keep_alive(true);
        ASSERT_TRUE(client.Get("/dadovu.ctrl.server/lnkrpcserver?wsdl"));
        Run({{{"status", "comp*,webserver", "--level", "0"}, 0, "comp00001\ncomp00002\ncomp00003\nwebserver\n", ""}},
            {"--uri", sim.Uri()});
        const ProcessResult stopped = sim.Stop(signal);
        EXPECT_EQ(stopped.exitStatus, 0) << Describe(stopped);
        Run({{{"start", "webserver"}, 9, "",
              "dadovuctl: start 'webserver' at " + sim.Uri() + ": the request was not sent: Connection refused"}},
            {"--uri", sim.Uri()});
    }
    components_.Write("a.conf", "prerequisites = b\n");
    components_.Write("b.conf", "prerequisites = a\n");
    SimNode sim(DADOVU_SIM_COMPONENTS);
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    const std::pair<std::vector<std::string>, int> starts[] = {
        {{"--no-such-option"}, 2}, {{"--listen", "nonsense"}, 2}, {{"--listen", "127.0.0.1:70000"}, 2},
        {{"--components", dir_.Path() + "/missing"}, 2}, {{"--client-ca", pki.CaFile()}, 2},
        {{"--tls-cert", pki.ServerCert(), "--tls-key", pki.UntrustedServerKey()}, 1},
        {{"--tls-cert", config_, "--tls-key", pki.ServerKey()}, 1}, {{"--authorize", config_}, 2},
        {{"--listen", sim.HostPort()}, 1},  // the address is in use
        {{"--components", components_.Path()}, 1}};
    for (const auto& [args, exitStatus] : starts) {
        const ProcessResult r = E2e::Run(E2e::Concat({DADOVU_SIM_PATH}, args));
        EXPECT_EQ(r.exitStatus, exitStatus) << ::testing::PrintToString(args) << "\n" << Describe(r);
        if (args[0] == "--components" && exitStatus == 1) {
            EXPECT_NE(r.err.find("prerequisite cycle: a -> b -> a"), std::string::npos) << r.err;
        }
    }
}

}  // namespace
