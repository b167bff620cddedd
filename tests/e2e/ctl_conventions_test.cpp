// dadovuctl as an operator and a script meet it, as real processes: options
// on either side of the command, the environment's defaults, one JSON shape
// for every outcome, write errors, request IDs, a wait across a daemon's
// restart, the terminal it draws on, TLS flags, settings warnings, and the
// completion scripts and manual kept in step with --help.
#include "E2e.h"

#include <TestDaemon.h>
#include <TestPki.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using E2e::Describe;
using E2e::ProcessResult;
using E2e::SimNode;
using SoapTest::Reply;
using SoapTest::TestDaemon;
using namespace std::chrono_literals;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// dadovuctl with `args` under `env` (NAME=value words for env(1)).
ProcessResult CtlWithEnvironment(const std::vector<std::string>& env, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/env"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(DADOVUCTL_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return E2e::Run(argv, 20s);
}

// dadovuctl with `args` through bash, after `prelude`, with `redirect`
// applied to its standard output; its standard error arrives as the
// result's standard output, through a pipe that `prelude` does not limit.
ProcessResult CtlThroughShell(const std::string& prelude, const std::vector<std::string>& args,
                              const std::string& redirect) {
    std::string command = "set -o pipefail; (" + prelude + " exec '" DADOVUCTL_PATH "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    return E2e::Run({"/bin/bash", "-c", command + " 2>&1 " + redirect + ") | cat"}, 20s);
}

// The subcommands `dadovuctl --help` lists.
std::vector<std::string> Subcommands() {
    const std::string help = E2e::Ctl({"--help"}, "").out;
    std::vector<std::string> names;
    std::istringstream lines(help.substr(help.find("Subcommands:")));
    std::string line;
    std::getline(lines, line);
    static const std::regex entry(R"(^  ([a-z]+)\s.*)");
    for (std::smatch m; std::getline(lines, line) && !line.empty();)
        if (std::regex_match(line, m, entry)) names.push_back(m[1]);
    return names;
}

// The long options a --help text names.
std::set<std::string> LongOptions(const std::string& help) {
    std::set<std::string> names;
    static const std::regex option(R"(--[a-z][a-z-]*)");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it)
        names.insert(it->str());
    return names;
}

class Conventions : public ::testing::Test {
protected:
    E2e::TempDir dir_, components_;
    const std::string config_ = dir_.Write("node.conf", "[log]\nFILE = " + dir_.Path() + "/node.log\n");
};

TEST_F(Conventions, OptionsStandOnEitherSideOfTheCommandWithShortFormsAndTheEnvironmentBelowThem) {
    SimNode sim(DADOVU_SIM_COMPONENTS);
    const std::string U = sim.Uri(), N = sim.HostPort(), closed = E2e::ClosedNode();
    const std::string row = "cache  stopped  -    storage   In-memory cache\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--uri", U, "status", "--list", "cache"},
             {"status", "--list", "cache", "--uri", U},
             {"-c", config_, "-n", N, "status", "cache", "-l"}}) {
        const ProcessResult r = E2e::Ctl(args, config_);
        EXPECT_EQ(r.exitStatus, 0) << ::testing::PrintToString(args) << Describe(r);
        EXPECT_EQ(r.out, "NAME   STATE    PID  CATEGORY  DESCRIPTION\n" + row) << ::testing::PrintToString(args);
    }
    E2e::ExpectCtl({"-u", U, "status", "-l", "--no-headers", "cache"}, config_, 0, "cache  stopped  -  storage  In-memory cache\n", "");

    // The environment says where requests go when no flag does.
    const std::vector<std::string> status{"status", "cache", "--config", config_};
    ProcessResult r = CtlWithEnvironment({"DADOVU_URI=" + U}, status);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "cache state=stopped\n");
    r = CtlWithEnvironment({"DADOVU_NODE=" + N}, status);
    EXPECT_EQ(r.out, "cache state=stopped\n") << Describe(r);
    r = CtlWithEnvironment({"DADOVU_URI=http://" + closed + "/x"}, E2e::Concat(status, {"--uri", U}));
    EXPECT_EQ(r.out, "cache state=stopped\n") << Describe(r);
    r = CtlWithEnvironment({"DADOVU_URI=" + U, "DADOVU_NODE=" + N}, status);
    EXPECT_EQ(r.exitStatus, 2) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "DADOVU_URI and DADOVU_NODE are both set")) << r.err;
    r = CtlWithEnvironment({"DADOVU_NODE=evil@host"}, status);
    EXPECT_EQ(r.exitStatus, 2) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "DADOVU_NODE: not a node name")) << r.err;

    // An unknown command is named, with the closest ones.
    r = E2e::Ctl({"--uri", U, "stauts"}, config_);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err.rfind("dadovuctl: unknown command 'stauts'; did you mean status", 0), 0u) << r.err;
    r = E2e::Ctl({"frobnicate"}, config_);
    EXPECT_EQ(r.err.rfind("dadovuctl: unknown command 'frobnicate'\n", 0), 0u) << r.err;

    // Usage errors send nothing.
    TestDaemon daemon;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"progress", "1", "--wait-timeout", "5"}, {"progress", "1", "--interval", "50"},
             {"status", "--no-headers"}, {"add", "x.conf", "--target-id", "t"}, {"uri", "node17", "--node", "a"},
             {"status", "--key", config_}, {"status", "--cacert", dir_.Path() + "/missing.pem"},
             {"status", "-v", "-q"}, {"progress", "4294967296"}, {"progress", "99999999999999999999999"},
             {"progress", "-1"}, {"status", "--uri", "http://127.0.0.1:99999/x"}, {"status", "--node", "a:70000"}}) {
        r = E2e::Ctl(E2e::Concat(args, {"--uri", daemon.Uri()}), config_);
        if (args[0] == "uri") r = E2e::Ctl(args, config_);
        EXPECT_EQ(r.exitStatus, 2) << ::testing::PrintToString(args) << Describe(r);
    }
    EXPECT_TRUE(Contains(E2e::Ctl({"status", "--uri", "http://127.0.0.1:99999/x"}, "").err, "port 99999 is out of range"));
    EXPECT_TRUE(Contains(E2e::Ctl({"status", "--cacert", dir_.Path() + "/missing.pem"}, "").err, "missing.pem"));
    EXPECT_EQ(daemon.RequestCount(), 0u);

    // The highest request ID travels as the wire's -1; one above it is refused (above).
    daemon.Enqueue(Reply::Result(0));
    E2e::ExpectCtl({"progress", "4294967295", "--uri", daemon.Uri()}, config_, 0, "request 4294967295: finished (code 0)\n", "");
    ASSERT_EQ(daemon.Requests().size(), 1u);
    EXPECT_EQ(daemon.Requests()[0].args, (std::vector<std::pair<std::string, std::string>>{{"RequestID", "-1"}}));

    // The exit-status table is in the top-level help only; each command's
    // help names the options of every request.
    EXPECT_TRUE(Contains(E2e::Ctl({"--help"}, "").out, "  10  security"));
    for (const std::string& command : Subcommands()) {
        const std::string help = E2e::Ctl({command, "--help"}, "").out;
        EXPECT_FALSE(Contains(help, "Exit status:")) << command;
        if (command != "uri" && command != "completion") {
            EXPECT_TRUE(Contains(help, "--nodes-file") && Contains(help, "--json")) << command << help;
        }
    }
}

TEST_F(Conventions, JsonIsOneObjectPerNodeWithTypedResultsWhateverTheOutcome) {
    components_.Write("db.conf", "category = storage\nevents = backup");
    components_.Write("broken.conf", "start_fails = true");
    components_.Write("report.conf", "prerequisites = broken");
    components_.Write("extra.def", "name = extra");
    SimNode sim(components_.Path());
    const std::string U = sim.Uri(), closed = "http://" + E2e::ClosedNode() + "/dadovu.ctrl.server/lnkrpcserver";
    // Each run: one line per node, each with the four keys; returns the lines.
    const auto lines = [&](const std::vector<std::string>& args, int exitStatus, std::size_t count) {
        const ProcessResult r = E2e::Ctl(E2e::Concat(args, {"--json"}), config_);
        EXPECT_EQ(r.exitStatus, exitStatus) << ::testing::PrintToString(args) << Describe(r);
        std::vector<nlohmann::json> objects;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            objects.push_back(nlohmann::json::parse(line));
            const nlohmann::json& o = objects.back();
            EXPECT_EQ(o.size(), 4u) << line;
            EXPECT_TRUE(o.at("exit_status").is_number_integer()) << line;
            EXPECT_EQ(o.at("error").is_null(), o.at("exit_status") == 0) << line;
        }
        EXPECT_EQ(objects.size(), count) << ::testing::PrintToString(args) << Describe(r);
        if (objects.size() < count) objects.resize(count);
        return objects;
    };
    const auto one = [&](const std::vector<std::string>& args, int exitStatus) {
        return lines(E2e::Concat(args, {"--uri", U}), exitStatus, 1)[0];
    };

    EXPECT_EQ(one({"start", "db"}, 0)["result"], (nlohmann::json{{"target", "db"}, {"request_id", nullptr}}));
    const nlohmann::json status = one({"status", "db,broken"}, 0)["result"];
    ASSERT_EQ(status["components"].size(), 2u) << status;
    EXPECT_EQ(status["level"], 4);
    EXPECT_EQ(status["components"][0]["name"], "broken");
    EXPECT_TRUE(status["components"][0]["pid"].is_null()) << status;
    EXPECT_TRUE(status["components"][0]["category"].is_null()) << status;
    EXPECT_TRUE(status["components"][1]["pid"].is_number_integer()) << status;
    EXPECT_EQ(status["components"][1]["state"], "running");
    EXPECT_EQ(status["components"][1]["state_code"], 2);
    EXPECT_TRUE(one({"user"}, 0)["result"]["uid"].is_number_integer());
    EXPECT_EQ(one({"notify", "backup", "now", "db"}, 0)["result"],
              (nlohmann::json{{"event", "backup"}, {"value", "now"}, {"target", "db"}}));
    const nlohmann::json async = one({"stop", "db", "--async"}, 0)["result"];
    ASSERT_TRUE(async["request_id"].is_number_unsigned()) << async;
    const std::string id = std::to_string(async["request_id"].get<unsigned long long>());
    const nlohmann::json progress = one({"progress", id, "--wait", "--interval", "20"}, 0)["result"];
    EXPECT_EQ(progress["code"], 0);
    EXPECT_EQ(progress["state"], "finished");
    ASSERT_FALSE(progress["messages"].empty());
    EXPECT_EQ(progress["messages"][0]["catalog"], "sim");  // as the daemon sent them
    EXPECT_EQ(progress["messages"][0]["number"], 2);
    EXPECT_EQ(one({"add", "extra.def"}, 0)["result"], (nlohmann::json{{"file", "extra.def"}}));
    EXPECT_EQ(one({"delete", "extra"}, 0)["result"], (nlohmann::json{{"component", "extra"}}));

    // Every failure class: the error's kind and code, and null for a result.
    const struct {
        std::vector<std::string> args;
        int exitStatus;
        const char* kind;
        int code;  // -1: none
    } failures[] = {
        {{"start", "nosuch"}, 3, "no_matching_component", 65},
        {{"start", "broken"}, 4, "component_failed", 64},
        {{"start", "report"}, 5, "prerequisite_failed", 71},
        {{"notify", "nosuch", "1", "*"}, 6, "event_not_subscribed", 73},
        {{"add", "db.conf"}, 8, "daemon_error", 82},
        {{"add", "../node.conf"}, 11, "invalid_argument", 83},
        {{"delete", "nosuch"}, 3, "no_matching_component", 85},
        {{"status", "--level", "9"}, 11, "invalid_argument", -1},
        {{"progress", "999999"}, 13, "unknown_request", -1},
    };
    for (const auto& f : failures) {
        const nlohmann::json o = one(f.args, f.exitStatus);
        const std::string what = ::testing::PrintToString(f.args) + " " + o.dump();
        EXPECT_EQ(o["error"]["kind"], f.kind) << what;
        if (f.code >= 0) {
            EXPECT_EQ(o["error"]["result_code"], f.code) << what;
        }
        if (f.args[0] != "progress") {
            EXPECT_TRUE(o["result"].is_null()) << what;
        }
        EXPECT_EQ(o["error"]["may_have_acted"], false) << what;
    }
    EXPECT_TRUE(Contains(one({"add", "db.conf"}, 8)["error"]["message"], "a component of that name exists already"));
    // Several nodes: the same shape, one line each, and the worst status.
    const std::vector<nlohmann::json> several = lines({"start", "db", "--nodes-file", dir_.Write("nodes", sim.HostPort() + "\n" + closed + "\n"),
                     "--ordered"}, 9, 2);
    EXPECT_EQ(several[0]["result"], (nlohmann::json{{"target", "db"}, {"request_id", nullptr}}));
    EXPECT_EQ(several[1]["error"]["kind"], "not_sent");
    EXPECT_TRUE(several[1]["error"]["result_code"].is_null());
    EXPECT_TRUE(several[1]["error"]["hint"].is_null());
    // One node's failure is the same line.
    EXPECT_EQ(lines({"start", "db", "--uri", closed}, 9, 1)[0]["error"]["kind"], "not_sent");
    // uri: the same shape, the node as given.
    EXPECT_EQ(lines({"uri", "node17"}, 0, 1)[0]["result"]["uri"], "http://node17/dadovu.ctrl.server/lnkrpcserver");
}

TEST_F(Conventions, AChangeSentButUnansweredSaysTheDaemonMayHaveCarriedItOutAndVerboseShowsTheTrace) {
    TestDaemon daemon;
    daemon.SetHandler([](const SoapTest::RecordedRequest&) {
        std::this_thread::sleep_for(1500ms);  // beyond --timeout
        return Reply::Result(0);
    });
    ProcessResult r = E2e::Ctl({"start", "web", "--timeout", "0.3", "--uri", daemon.Uri()}, config_);
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "\ndadovuctl: hint: the request was sent, but no verdict came back: the daemon may "
                                "have carried it out")) << r.err;
    r = E2e::Ctl({"start", "web", "--timeout", "0.3", "--json", "--uri", daemon.Uri()}, config_);
    const nlohmann::json line = nlohmann::json::parse(r.out);
    EXPECT_EQ(line["error"]["kind"], "no_answer");
    EXPECT_EQ(line["error"]["may_have_acted"], true);
    EXPECT_TRUE(Contains(line["error"]["hint"].get<std::string>(), "may have carried it out"));

    TestDaemon quick;
    quick.Enqueue(Reply::Result(0).Output("status", "web state=running"));
    r = E2e::Ctl({"-v", "status", "web", "--uri", quick.Uri()}, config_);
    EXPECT_EQ(r.out, "web state=running\n");
    EXPECT_TRUE(Contains(r.err, "dadovuctl: trace: Executing method 'status'")) << r.err;
}

TEST_F(Conventions, AWriteErrorOnStandardOutputFailsTheRun) {
    SimNode sim(DADOVU_SIM_COMPONENTS);
    // A file larger than the limit cannot be written (EFBIG), as a full disk would refuse it.
    const std::string limit = "trap '' XFSZ; ulimit -f 0;";
    const std::string file = "> '" + dir_.Path() + "/out'";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"status", "--list", "--json", "--uri", sim.Uri(), "--config", config_},
             {"status", "--node", sim.HostPort(), "--node", sim.HostPort(), "--config", config_},
             {"--version"},
             {"completion", "bash"}}) {
        ProcessResult r = CtlThroughShell(limit, args, file);
        EXPECT_EQ(r.exitStatus, 1) << ::testing::PrintToString(args) << Describe(r);
        EXPECT_TRUE(Contains(r.out, "dadovuctl: write error")) << ::testing::PrintToString(args) << r.out;
        r = CtlThroughShell("", args, ">&-");  // a closed standard output
        EXPECT_EQ(r.exitStatus, 1) << ::testing::PrintToString(args) << Describe(r);
        EXPECT_TRUE(Contains(r.out, "dadovuctl: write error")) << ::testing::PrintToString(args) << r.out;
    }
}

TEST_F(Conventions, AWaitAsksAgainAcrossADaemonsRestartThenEndsWithTheUnknownId) {
    components_.Write("glacial.conf", "start_time_ms = 3600000");
    auto first = std::make_unique<SimNode>(components_.Path());
    const std::string U = first->Uri();
    const std::string port = std::to_string(first->Port());
    E2e::ExpectCtl({"start", "glacial", "--async", "--uri", U}, config_, 0, "1024\n", "");
    SoapTest::Child wait({DADOVUCTL_PATH, "progress", "1024", "--wait", "--interval", "50", "--wait-timeout", "60",
                          "--uri", U, "--config", config_});
    const auto until = [&](const std::function<bool()>& condition) {
        for (auto end = std::chrono::steady_clock::now() + 10s; !condition();) {
            ASSERT_LT(std::chrono::steady_clock::now(), end) << wait.Output() << wait.Errors();
            std::this_thread::sleep_for(20ms);
        }
    };
    until([&] { return Contains(wait.Output(), "Starting component glacial."); });
    first->Stop(SIGKILL);
    first.reset();
    until([&] { return Contains(wait.Errors(), "asking again until the wait's end"); });
    // The daemon comes back on its port, without the command.
    SoapTest::Child second(
        {DADOVU_SIM_PATH, "--listen", "127.0.0.1:" + port, "--components", components_.Path()});
    ASSERT_EQ(second.FirstLine(10s), U);
    const ProcessResult r = wait.Finish(20s);
    EXPECT_EQ(r.exitStatus, 13) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "request 1024 is not known to the daemon")) << r.err;
    second.Finish(10s, SIGTERM);
}

TEST_F(Conventions, TheProgressLineNeedsACapableTerminalAndIsErasedOnInterrupt) {
    TestDaemon daemon;
    for (int code : {1, 1, 1, 0}) daemon.Enqueue(Reply::Result(code));
    const std::vector<std::string> args{"/usr/bin/env", "TERM=dumb", DADOVUCTL_PATH, "progress", "77", "--wait",
                                        "--interval", "10", "--uri", daemon.Uri(), "--config", config_};
    ProcessResult r = E2e::Run(args, 20s, true);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "request 77: finished (code 0)\n");
    EXPECT_EQ(r.err, "");  // no line drawn, nothing erased

    // Ctrl-C while the line is shown: the line is gone when dadovuctl ends.
    TestDaemon running;
    running.SetHandler([](const SoapTest::RecordedRequest&) { return Reply::Result(1); });
    SoapTest::Child wait({"/usr/bin/env", "TERM=xterm", DADOVUCTL_PATH, "progress", "78", "--wait", "--interval", "10",
                          "--uri", running.Uri(), "--config", config_},
                         true);
    running.WaitForRequests(3, 10s);
    std::this_thread::sleep_for(100ms);
    r = wait.Finish(20s, SIGINT);
    EXPECT_EQ(r.exitStatus, 130) << Describe(r);
    const std::size_t erased = r.err.rfind("\r\033[K");
    ASSERT_NE(erased, std::string::npos) << r.err;
    EXPECT_FALSE(Contains(r.err.substr(erased), "running (code 1)")) << r.err;  // not drawn again
}

TEST_F(Conventions, TlsFlagsHintsAndSettingsWarnings) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    SimNode tls(DADOVU_SIM_COMPONENTS, {"--tls-cert", pki.ServerCert(), "--tls-key", pki.ServerKey(), "--client-ca",
                                        pki.CaFile(), "--authorize", dir_.Write("subjects", "CN=nobody\n")});
    const std::string U = tls.Uri(), N = tls.HostPort();
    const std::vector<std::string> identity{"--cacert", pki.CaFile(), "--cert", pki.ClientCert(), "--key",
                                            pki.ClientKey()};
    E2e::ExpectCtl(E2e::Concat({"status", "cache", "--uri", U}, identity), config_, 0, "cache state=stopped\n", "");
    E2e::ExpectCtl(E2e::Concat({"--https", "status", "cache", "--node", N}, identity), config_, 0,
                   "cache state=stopped\n", "");
    E2e::ExpectCtl({"uri", "node17", "--https"}, config_, 0, "https://node17/dadovu.ctrl.server/lnkrpcserver\n", "");

    // Each security fault says what to check.
    ProcessResult r = E2e::Ctl({"status", "--uri", U, "--cacert", pki.CaFile()}, config_);
    EXPECT_EQ(r.exitStatus, 10) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "hint:") && Contains(r.err, "client certificate is configured")) << r.err;
    r = E2e::Ctl(E2e::Concat({"start", "cache", "--uri", U}, identity), config_);
    EXPECT_EQ(r.exitStatus, 10) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "hint:") && Contains(r.err, "is authorized on the node")) << r.err;
    r = E2e::Ctl({"status", "--uri", U}, config_);  // the system's authorities do not know the test's
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "hint:") && Contains(r.err, "--cacert")) << r.err;
    // Plain http to a daemon that speaks only https.
    r = E2e::Ctl({"start", "cache", "--uri", "http://" + N + "/dadovu.ctrl.server/lnkrpcserver"}, config_);
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "try an https:// URI")) << r.err;

    // Settings: what does not parse and unknown keys are told; the run goes on.
    const std::string odd = dir_.Write("odd.conf", "[log]\nFILE = " + dir_.Path() + "/node.log\n{\"not\": \"ini\"}\n"
                                                   "[lnk.http.ext.ctrl]\nTIMEOUT = 1000\n[elsewhere]\nANYTHING = 1\n");
    SimNode plain(DADOVU_SIM_COMPONENTS);
    r = E2e::Ctl({"status", "cache", "--uri", plain.Uri()}, odd);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.err, "dadovuctl: warning: " + odd + ":3: not a [section], a 'KEY = value' line or a comment: ignored\n"
                     "dadovuctl: warning: " + odd + ":5: unknown key 'TIMEOUT' in [lnk.http.ext.ctrl]: ignored; "
                     "did you mean TIMEOUT_MS?\n");
    EXPECT_EQ(E2e::Ctl({"-q", "status", "cache", "--uri", plain.Uri()}, odd).err, "");
    // A settings file named in the environment that cannot be read would lose its TLS settings.
    r = CtlWithEnvironment({"QXPAL_CONFIG=" + dir_.Path() + "/nonexistent"}, {"status", "--uri", plain.Uri()});
    EXPECT_EQ(r.exitStatus, 2) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "QXPAL_CONFIG names the settings file")) << r.err;
}

TEST_F(Conventions, CompletionScriptsAndTheManualFollowTheHelp) {
    const std::vector<std::string> commands = Subcommands();
    ASSERT_GE(commands.size(), 10u);
    const std::string bash = E2e::Ctl({"completion", "bash"}, "").out;
    const std::string zsh = E2e::Ctl({"completion", "zsh"}, "").out;
    std::ifstream manual(DADOVUCTL_MAN_PAGE);
    std::stringstream page;
    page << manual.rdbuf();
    std::string roff = page.str();
    ASSERT_FALSE(roff.empty()) << DADOVUCTL_MAN_PAGE;
    for (std::size_t at; (at = roff.find("\\-")) != std::string::npos;) roff.replace(at, 2, "-");
    for (const std::string& command : commands) {
        EXPECT_TRUE(Contains(bash, " " + command)) << command;
        EXPECT_TRUE(Contains(zsh, "'" + command + ":")) << command;
        for (const std::string& option : LongOptions(E2e::Ctl({command, "--help"}, "").out)) {
            EXPECT_TRUE(Contains(bash, option + " ") || Contains(bash, option + "\"")) << command << " " << option;
            EXPECT_TRUE(Contains(zsh, option)) << command << " " << option;
            EXPECT_TRUE(Contains(roff, option)) << "dadovuctl.1 lacks " << option;
        }
    }

    // bash completes commands, options, and --node from the nodes file on the line.
    const std::string nodes = dir_.Write("nodes", "# rack 3\nnode17\n  node18   # spare\nhttps://x/y\n");
    const auto complete = [&](const std::string& words) {
        const std::string script = dir_.Write("completion.bash", bash);
        const ProcessResult r = E2e::Run({"/bin/bash", "-c", "source '" + script + "'; COMP_WORDS=(" + words +
                                                                  "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                                                  "_dadovuctl; echo \"${COMPREPLY[*]}\""});
        EXPECT_EQ(r.exitStatus, 0) << Describe(r);
        return r.out;
    };
    EXPECT_EQ(complete("dadovuctl st"), "start stop status\n");
    EXPECT_EQ(complete("dadovuctl -u x progress 5 --wa"), "--wait --wait-timeout\n");
    EXPECT_EQ(complete("dadovuctl -f " + nodes + " status --node ''"), "node17 node18\n");
    EXPECT_EQ(complete("dadovuctl completion ''"), "bash zsh\n");
    if (::access("/bin/zsh", X_OK) == 0) {
        const std::string script = dir_.Write("_dadovuctl", zsh);
        const ProcessResult r = E2e::Run({"/bin/zsh", "-n", script});
        EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    }
}

}  // namespace
