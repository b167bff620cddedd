// dadovuctl against dadovu-sim, both as real processes: every command's output
// and exit status, each failure class the simulator can produce, and several
// nodes at once.
#include "SimNode.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

using E2e::Describe;
using E2e::ProcessResult;
using nlohmann::json;

// web needs db; report needs broken, whose start always fails; slow takes
// a while to start.
// Returns the directory's path.
std::string WriteComponents(const E2e::TempDir& dir) {
    dir.Write("db.conf", "name = db\ndescription = Database\ncategory = storage\nevents = backup\n");
    dir.Write("web.conf",
              "name = web\ndescription = Web front end\ncategory = frontend\nprerequisites = db\nevents = reload\n");
    dir.Write("broken.conf", "name = broken\ndescription = Fails to start\ncategory = batch\nstart_fails = true\n");
    dir.Write("report.conf", "name = report\ncategory = batch\nprerequisites = broken\n");
    dir.Write("slow.conf", "name = slow\ncategory = batch\nstart_time_ms = 600\n");
    dir.Write("glacial.conf", "name = glacial\ncategory = batch\nstart_time_ms = 20000\n");
    return dir.Path();
}

class SimCtl : public ::testing::Test {
protected:
    ProcessResult Ctl(std::vector<std::string> args) {
        args.push_back("--uri");
        args.push_back(sim_.Uri());
        return E2e::Ctl(args, config_);
    }
    // The records of every component, by name.
    std::map<std::string, json> Components() {
        const ProcessResult r = Ctl({"status", "--list", "--json"});
        EXPECT_EQ(r.exitStatus, 0) << Describe(r);
        std::map<std::string, json> byName;
        for (const auto& c : json::parse(r.out)) byName[c["name"].get<std::string>()] = c;
        return byName;
    }

    E2e::TempDir dir_;
    E2e::TempDir components_;
    std::string config_ = dir_.Write("node.conf", "[log]\nFILE = " + dir_.Path() + "/node.log\n");
    E2e::SimNode sim_{WriteComponents(components_)};  // after the members above
};

TEST_F(SimCtl, StatusListIsATableOfEveryComponent) {
    const ProcessResult r = Ctl({"status", "--list"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "NAME     STATE    PID  CATEGORY  DESCRIPTION");
    EXPECT_NE(r.out.find("\nweb      stopped  -    frontend  Web front end\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nreport   stopped  -    batch\n"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 7);
}

TEST_F(SimCtl, StartStartsThePrerequisitesAndStatusShowsThem) {
    ProcessResult r = Ctl({"start", "web"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "");
    auto components = Components();
    EXPECT_EQ(components["web"]["state"], "running");
    EXPECT_EQ(components["db"]["state"], "running");
    EXPECT_NE(components["web"]["pid"], "");
    EXPECT_EQ(components["slow"]["state"], "stopped");

    r = Ctl({"status", "web,db", "--level", "2"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("db state=running pid=[0-9]+\nweb state=running pid=[0-9]+\n")))
        << r.out;
}

TEST_F(SimCtl, StopStopsWhatNeedsTheTargetAndKillStopsAtOnce) {
    ASSERT_EQ(Ctl({"start", "web"}).exitStatus, 0);
    ProcessResult r = Ctl({"stop", "db"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    auto components = Components();
    EXPECT_EQ(components["db"]["state"], "stopped");
    EXPECT_EQ(components["web"]["state"], "stopped");

    ASSERT_EQ(Ctl({"start", "@storage"}).exitStatus, 0);
    r = Ctl({"stop", "@storage", "--kill", "--target-id", "ops"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(Components()["db"]["state"], "stopped");
}

TEST_F(SimCtl, NotifyReachesTheSubscribers) {
    ProcessResult r = Ctl({"notify", "reload", "now", "*"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    r = Ctl({"status", "web", "--level", "6"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_NE(r.out.find("value.reload=\"now\""), std::string::npos) << r.out;
}

TEST_F(SimCtl, UserNamesTheSimulatorsUser) {
    const ProcessResult r = Ctl({"user", "--json"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["uid"], static_cast<int>(::geteuid()));
    const passwd* pw = ::getpwuid(::geteuid());
    if (pw != nullptr) {
        EXPECT_EQ(j["user"], pw->pw_name);
    }
}

TEST_F(SimCtl, AsyncStartIsFollowedToItsEnd) {
    ProcessResult r = Ctl({"start", "slow", "--async"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    ASSERT_TRUE(std::regex_match(r.out, std::regex("[0-9]+\n"))) << r.out;
    const std::string id = r.out.substr(0, r.out.size() - 1);

    r = Ctl({"progress", id, "--wait", "--interval", "50"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_NE(r.out.find("info: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("slow"), std::string::npos) << r.out;
    const std::string last = "request " + id + ": finished (code 0)\n";
    ASSERT_GE(r.out.size(), last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
    // Every message is printed once, however many times it was asked for.
    std::vector<std::string> lines;
    for (std::size_t pos = 0, end; (end = r.out.find('\n', pos)) != std::string::npos; pos = end + 1) {
        lines.push_back(r.out.substr(pos, end - pos));
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end()) << r.out;
    EXPECT_EQ(Components()["slow"]["state"], "running");

    r = Ctl({"progress", id, "--json"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["state"], "finished");
    EXPECT_EQ(j["code"], 0);
    EXPECT_FALSE(j["messages"].empty());
}

TEST_F(SimCtl, AsyncStartThatFailsEndsWithTheStatusOfItsFailure) {
    const ProcessResult start = Ctl({"start", "report", "--async"});
    ASSERT_EQ(start.exitStatus, 0) << Describe(start);
    const std::string id = start.out.substr(0, start.out.find('\n'));
    const ProcessResult r = Ctl({"progress", id, "--wait", "--interval", "50"});
    EXPECT_EQ(r.exitStatus, 5) << Describe(r);
    EXPECT_NE(r.out.find("request " + id + ": failed (code 71)"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("request " + id + " failed: code 71"), std::string::npos) << r.err;
}

TEST_F(SimCtl, ProgressWaitTimesOut) {
    const ProcessResult start = Ctl({"start", "glacial", "--async"});
    ASSERT_EQ(start.exitStatus, 0) << Describe(start);
    const std::string id = start.out.substr(0, start.out.find('\n'));
    const ProcessResult r = Ctl({"progress", id, "--wait", "--timeout", "0.3", "--interval", "50"});
    EXPECT_EQ(r.exitStatus, 12) << Describe(r);
}

TEST_F(SimCtl, AddAndDeleteChangeTheComponents) {
    components_.Write("extra.conf", "name = extra\ncategory = batch\nprerequisites = db\n");
    ProcessResult r = Ctl({"add", "extra.conf"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(Components().count("extra"), 1u);

    r = Ctl({"add", "extra.conf"});  // exists already
    EXPECT_EQ(r.exitStatus, 8) << Describe(r);
    EXPECT_NE(r.err.find("refused to add the component from extra.conf: result code 82"), std::string::npos) << r.err;
    r = Ctl({"add", "../node.conf"});  // not a plain file name
    EXPECT_EQ(r.exitStatus, 8) << Describe(r);
    r = Ctl({"delete", "db"});  // web and extra need it
    EXPECT_EQ(r.exitStatus, 8) << Describe(r);

    r = Ctl({"delete", "extra"});
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(Components().count("extra"), 0u);
}

// Each failure class the simulator produces, with its exit status and message.
TEST_F(SimCtl, EachFailureHasTheExitStatusOfItsClass) {
    struct Case {
        std::vector<std::string> args;
        int exitStatus;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"start", "nosuch"}, 3, "dadovuctl: No component matches target. (ctrl 4)\n"},
        {{"status", "nosuch*"}, 3, "dadovuctl: No component matches target. (ctrl 4)\n"},
        {{"start", "broken"}, 4, "dadovuctl: Error in the target component. (ctrl 7)\n"},
        {{"start", "report"}, 5, "dadovuctl: Error in one of the target prerequisites. (ctrl 6)\n"},
        {{"notify", "nosuch", "1", "*"}, 6, "dadovuctl: No target component subscribed for this event. (ctrl 5)\n"},
        {{"delete", "nosuch"}, 8, "dadovuctl: the daemon refused to delete the component nosuch: result code 85\n"},
        {{"progress", "999999"}, 3, "dadovuctl: request 999999 failed: code 65\n"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = Ctl(c.args);
        EXPECT_EQ(r.exitStatus, c.exitStatus) << ::testing::PrintToString(c.args) << "\n" << Describe(r);
        EXPECT_EQ(r.err, c.message) << ::testing::PrintToString(c.args);
    }
    const ProcessResult level = Ctl({"status", "--level", "9"});
    EXPECT_EQ(level.exitStatus, 11) << Describe(level);
    const ProcessResult usage = Ctl({"notify", "reload"});
    EXPECT_EQ(usage.exitStatus, 2) << Describe(usage);
    EXPECT_EQ(Components()["broken"]["state"], "failed");
}

TEST_F(SimCtl, StoppedSimulatorIsACommunicationFailure) {
    std::string uri;
    {
        E2e::SimNode gone(components_.Path());  // a node that has come and gone
        uri = gone.Uri();
    }
    const ProcessResult r = E2e::Ctl({"start", "web", "--uri", uri}, config_);
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);
    EXPECT_EQ(r.err.rfind("dadovuctl: Communication error when executing 'Start' method. (ctrl 12)\n", 0), 0u)
        << r.err;
}

TEST(SimNodes, SeveralNodesAnswerUnderTheirNamesWithTheWorstStatus) {
    E2e::TempDir dir, first, second;
    WriteComponents(first);
    second.Write("db.conf", "name = db\ncategory = storage\n");  // no web on this node
    const std::string config = dir.Write("node.conf", "[log]\nFILE = " + dir.Path() + "/node.log\n");
    E2e::SimNode a(first.Path()), b(second.Path());

    ProcessResult r = E2e::Ctl({"start", "db", "--node", a.HostPort(), "--node", b.HostPort()}, config);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "== " + a.HostPort() + " ==\n== " + b.HostPort() + " ==\n");

    r = E2e::Ctl({"status", "db,web", "--node", b.HostPort(), "--node", a.HostPort()}, config);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "== " + b.HostPort() + " ==\ndb state=running\n== " + a.HostPort() +
                         " ==\ndb state=running\nweb state=stopped\n");

    r = E2e::Ctl({"start", "web", "--node", a.HostPort(), "--node", b.HostPort()}, config);
    EXPECT_EQ(r.exitStatus, 3) << Describe(r);
    EXPECT_EQ(r.err, "dadovuctl: " + b.HostPort() + ": No component matches target. (ctrl 4)\n");

    r = E2e::Ctl({"status", "--list", "--json", "--node", a.HostPort(), "--node", b.HostPort()}, config);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    const json j = json::parse(r.out);
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["node"], a.HostPort());
    EXPECT_EQ(j[0]["result"].size(), 6u);
    EXPECT_EQ(j[1]["result"].size(), 1u);
}

TEST(SimSamples, TheSampleComponentsBehaveAsDescribed) {
    E2e::TempDir dir;
    const std::string config = dir.Write("node.conf", "[log]\nFILE = " + dir.Path() + "/node.log\n");
    E2e::SimNode sim(DADOVU_SIM_COMPONENTS);
    ProcessResult r = E2e::Ctl({"status", "--list", "--uri", sim.Uri()}, config);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_NE(r.out.find("webserver"), std::string::npos) << r.out;
    r = E2e::Ctl({"start", "dashboard", "--uri", sim.Uri()}, config);
    EXPECT_EQ(r.exitStatus, 5) << Describe(r);
}

}  // namespace
