// The command engine: what start, stop, notify, status, progress and
// registration answer and do to the components, and how shutdown ends it all.
#include "CommandEngine.h"
#include "ResultCodes.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

namespace DaDovuSim {
namespace {

using namespace std::chrono_literals;

// Definitions from texts "name\nkey = value\n...": the first line names the file.
std::vector<ComponentDefinition> Defs(std::initializer_list<std::string> texts) {
    std::vector<ComponentDefinition> definitions;
    for (const std::string& text : texts) {
        const std::size_t newline = text.find('\n');
        definitions.push_back(ParseDefinition(newline == std::string::npos ? "" : text.substr(newline),
                                              text.substr(0, newline) + ".conf"));
    }
    return definitions;
}

// "result:" and a line "number/severity text (params)" per message.
std::string Messages(const CommandEngine::Progress& progress) {
    std::string text = std::to_string(progress.result) + ":";
    for (const auto& m : progress.messages) {
        text += "\n" + std::to_string(m.number) + "/" + std::to_string(m.severity) + " " + m.text + " (";
        for (const auto& p : m.params) text += (&p == &m.params.front() ? "" : ",") + p;
        text += ")";
    }
    return text;
}

template <typename Predicate>
bool WaitUntil(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!predicate() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
    return predicate();
}

TEST(Engine, StartAndStopFollowPrerequisitesAndReportFailures) {
    CommandEngine engine;
    engine.Load(Defs({"db", "web\nprerequisites = db", "broken\nstart_fails = true", "mid\nprerequisites = broken",
                      "app\nprerequisites = mid", "lone", "stubborn\nstop_fails = true"}));
    const auto states = [&] { return engine.Status(2, "*").text; };
    EXPECT_EQ(engine.Start("web", false, false), Result::kSuccess);
    EXPECT_EQ(engine.Start("app,lone", false, false), Result::kPrerequisiteFailed);  // lone does not depend on it
    EXPECT_EQ(engine.Start("app,broken", false, false), Result::kComponentFailed);  // its own failure outranks
    EXPECT_EQ(engine.Start("stubborn,web", false, false), Result::kSuccess);        // web runs already
    EXPECT_EQ(states(), "app state=stopped pid=-\nbroken state=failed pid=-\ndb state=running pid=4001\n"
                        "lone state=running pid=4003\nmid state=stopped pid=-\nstubborn state=running pid=4004\n"
                        "web state=running pid=4002\n");
    EXPECT_EQ(engine.Stop("db", false, false), Result::kSuccess);  // and web, which needs it
    EXPECT_EQ(engine.Stop("lone", true, false), Result::kSuccess);
    EXPECT_EQ(engine.Stop("lone", false, false), Result::kSuccess);  // stopped already
    EXPECT_EQ(engine.Stop("stubborn", false, false), Result::kComponentFailed);
    EXPECT_EQ(engine.Status(1, "stubborn").text, "stubborn state=failed\n");
    EXPECT_EQ(engine.Stop("stubborn,broken", false, false), Result::kSuccess);  // failed ones are cleared
    EXPECT_EQ(engine.Start("stubborn", false, false), Result::kSuccess);
    EXPECT_EQ(engine.Stop("stubborn", true, false), Result::kSuccess);  // a kill cannot fail
    EXPECT_EQ(states(), "app state=stopped pid=-\nbroken state=stopped pid=-\ndb state=stopped pid=-\n"
                        "lone state=stopped pid=-\nmid state=stopped pid=-\nstubborn state=stopped pid=-\n"
                        "web state=stopped pid=-\n");
    for (const char* target : {"nosuch", "", " , ", "w?"}) {
        EXPECT_EQ(engine.Start(target, false, false), Result::kNoMatch) << target;
        EXPECT_EQ(engine.Stop(target, false, true), Result::kNoMatch) << target;  // no request ID for nothing
    }
}

TEST(Engine, NotifyRecordsValuesAndEachStatusLevelAddsDetail) {
    CommandEngine engine;
    engine.Load(Defs({"db\nevents = backup", "web\ndescription = Web \"front\" \\ end\ncategory = frontend\n"
                                             "prerequisites = db\nevents = reload, rotate\nstop_time_ms = 7"}));
    ASSERT_EQ(engine.Start("web", false, false), Result::kSuccess);
    const std::tuple<const char*, const char*, const char*, int> notifications[] = {
        {"reload", "now & then", "*", 0}, {"reload", "x", "db", 73}, {"nobody", "x", "*", 73},
        {"reload", "x", "nosuch", 65},    {"reload", "later", "web", 0}};
    for (const auto& [event, value, target, result] : notifications)
        EXPECT_EQ(engine.Notify(event, value, target), result) << event << " to " << target;
    const char* details[] = {"web", " state=running", " pid=4002", " description=\"Web \\\"front\\\" \\\\ end\"",
                             " category=frontend", " prerequisites=db", " events=reload,rotate value.reload=\"later\"",
                             " start_time_ms=0 stop_time_ms=7 start_fails=false stop_fails=false notifications=2 "
                             "source=\"web.conf\""};
    std::string line;
    for (int level = 0; level <= 7; ++level) {
        line += details[level];
        EXPECT_EQ(engine.Status(level, "web").text, line + "\n") << "level " << level;
    }
    EXPECT_EQ(engine.Status(6, "d*").text, "db state=running pid=4001 description=\"\" category=- prerequisites=- "
                                           "events=backup\n");
    EXPECT_EQ(engine.Status(1, "*").text, "db state=running\nweb state=running\n");
    for (int level : {-1, 8})
        EXPECT_EQ(std::make_pair(engine.Status(level, "*").result, engine.StatusList(level, "*").result),
                  std::make_pair(Result::kInvalidArgument, Result::kInvalidArgument));
    EXPECT_EQ(std::make_pair(engine.Status(0, "nosuch").result, engine.Status(0, "nosuch").text),
              std::make_pair(Result::kNoMatch, std::string()));
    EXPECT_EQ(engine.StatusList(0, "").result, Result::kNoMatch);
}

TEST(Engine, RequestIdsNeverHaveTheFailureBit) {
    CommandEngine engine;
    engine.Load(Defs({"web"}));
    // 1024..1087, 1152..1215, 1280..1343, ...: a caller never reads one as a failure.
    for (int i = 0; i < 200; ++i) ASSERT_EQ(engine.Start("web", false, true), 1024 + i + i / 64 * 64) << i;
}

TEST(Engine, ProgressOfFinishedForgottenRunningQueuedAndCancelledCommands) {
    CommandEngine engine(EngineOptions{"", 4, 4001});  // remembers the 4 latest finished requests
    engine.Load(Defs({"db", "broken\nstart_fails = true", "app\nprerequisites = broken",
                      "slow\nprerequisites = db\nstart_time_ms = 1500", "gone", "glacial\nstart_time_ms = 3600000"}));
    const int forgotten = engine.Start("db", false, true);
    const int blocked = engine.Start("app", false, true);
    const int failed = engine.Start("broken", false, true);
    const int killed = engine.Stop("db", true, true);
    const int again = engine.Start("db", false, true);  // db gets the second process ID, 4002
    ASSERT_TRUE(WaitUntil([&] { return engine.GetProgress(again).result != Result::kRunning; }));
    EXPECT_EQ(Messages(engine.GetProgress(forgotten)), "65:");
    EXPECT_EQ(std::make_pair(engine.GetProgress(blocked).result, engine.GetProgress(failed).result),
              std::make_pair(Result::kPrerequisiteFailed, Result::kComponentFailed));
    EXPECT_EQ(Messages(engine.GetProgress(killed)), "0:\n2/0 Stop of target 'db' requested (kill). (db,true)\n"
                                                    "10/0 Component db killed. (db)\n"
                                                    "14/0 Command finished with result 0. (0)");

    // While slow starts, gone waits for its turn and is deleted meanwhile.
    const int slow = engine.Start("slow", true, true);
    ASSERT_TRUE(WaitUntil([&] { return engine.Status(1, "slow").text == "slow state=starting\n"; }));
    EXPECT_EQ(engine.DeleteComponent("slow").result, Result::kBusy);
    const int gone = engine.Start("gone", false, true);
    EXPECT_EQ(Messages(engine.GetProgress(slow)).substr(0, 3), "1:\n");
    EXPECT_EQ(Messages(engine.GetProgress(gone)), "1:\n1/0 Start of target 'gone' requested. (gone,false)");
    ASSERT_EQ(engine.DeleteComponent("gone").result, Result::kSuccess);
    ASSERT_TRUE(WaitUntil([&] { return engine.GetProgress(slow).result != Result::kRunning; }));
    ASSERT_TRUE(WaitUntil([&] { return engine.GetProgress(gone).result != Result::kRunning; }));
    EXPECT_EQ(Messages(engine.GetProgress(gone)), "64:\n1/0 Start of target 'gone' requested. (gone,false)\n"
                                                  "13/1 Component gone is no longer defined. (gone)\n"
                                                  "14/2 Command finished with result 64. (64)");
    EXPECT_EQ(Messages(engine.GetProgress(slow)), "0:\n1/0 Start of target 'slow' requested (boot). (slow,true)\n"
                                                  "7/0 Component db is already running. (db)\n"
                                                  "3/0 Starting component slow. (slow)\n"
                                                  "4/0 Component slow is running with process ID 4003. (slow,4003)\n"
                                                  "14/0 Command finished with result 0. (0)");

    // Shutdown cancels the running command and the queued one and releases a waiting caller.
    auto waiting = std::async(std::launch::async, [&] { return engine.Start("glacial", false, false); });
    ASSERT_TRUE(WaitUntil([&] { return engine.Status(1, "glacial").text == "glacial state=starting\n"; }));
    const int queued = engine.Stop("db", false, true);
    engine.Shutdown();
    ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready);
    EXPECT_THROW(waiting.get(), ShuttingDown);
    EXPECT_EQ(Messages(engine.GetProgress(queued)), "64:\n2/0 Stop of target 'db' requested. (db,false)\n"
                                                    "15/2 Command cancelled: the daemon is shutting down. ()");
    EXPECT_EQ(engine.Status(1, "glacial,db").text, "db state=running\nglacial state=stopped\n");
    EXPECT_THROW(engine.Start("db", false, false), ShuttingDown);
    EXPECT_THROW(engine.Stop("db", false, true), ShuttingDown);
    engine.Shutdown();  // idempotent
}

TEST(Engine, RegistrationReadsOnlyPlainFileNamesOfItsDirectory) {
    SoapTest::TempDir dir, outside;
    outside.Write("evil.conf", "");
    for (const auto& [file, text] : {std::pair{"base.conf", ""}, {"app.conf", "prerequisites = base"},
                                     {"orphan.conf", "prerequisites = ghost"}, {"bad.conf", "colour = blue"},
                                     {"plain", "name = plainfile"}})
        dir.Write(file, text);
    std::filesystem::create_directory(dir.Path() + "/sub.conf");
    CommandEngine engine(EngineOptions{dir.Path(), 10000, 4001});
    // A remote caller must never make the daemon read a file outside its directory.
    const std::string sibling = "../" + std::filesystem::path(outside.Path()).filename().string() + "/evil.conf";
    using namespace std::string_literals;
    for (const std::string& name :
         {outside.Path() + "/evil.conf", sibling, "sub.conf/x"s, ".."s, "."s, ""s, "base.conf\0x"s})
        EXPECT_EQ(engine.AddComponent(name).result, Result::kFileNameRefused) << name;
    EXPECT_EQ(CommandEngine().AddComponent("base.conf").result, Result::kFileNameRefused);  // no directory
    const std::pair<const char*, int> additions[] = {{"missing.conf", 80}, {"sub.conf", 80}, {"bad.conf", 81},
                                                     {"app.conf", 84},     {"base.conf", 0}, {"base", 82},
                                                     {"app", 0},           {"orphan", 84},   {"plain", 0}};
    for (const auto& [name, result] : additions) EXPECT_EQ(engine.AddComponent(name).result, result) << name;
    EXPECT_EQ(engine.AddComponent("bad").detail, "bad.conf:1: unknown key 'colour'");
    EXPECT_EQ(engine.Start("app", false, false), Result::kSuccess);
    EXPECT_EQ(engine.Status(1, "*").text, "app state=running\nbase state=running\nplainfile state=stopped\n");
    const std::pair<const char*, int> deletions[] = {{"ghost", 85}, {"base", 86}, {"app", 0}, {"base", 0}};
    for (const auto& [name, result] : deletions) EXPECT_EQ(engine.DeleteComponent(name).result, result) << name;
    EXPECT_EQ(engine.ComponentCount(), 1u);
}

}  // namespace
}  // namespace DaDovuSim
