// The command engine: what start, stop, notify, status, progress and
// registration answer and do to the components.
#include "CommandEngine.h"
#include "ResultCodes.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

namespace DaDovuSim {
namespace {

using namespace std::chrono_literals;

// Long enough that a command is certainly still running when the test looks;
// Shutdown ends such a wait at once.
constexpr std::chrono::milliseconds kForever = std::chrono::minutes(30);

ComponentDefinition Def(const std::string& name, std::vector<std::string> prerequisites = {},
                        const std::string& category = "") {
    ComponentDefinition d;
    d.name = name;
    d.category = category;
    d.source = name + ".conf";
    d.prerequisites = std::move(prerequisites);
    return d;
}

ComponentDefinition Failing(const std::string& name, std::vector<std::string> prerequisites = {}) {
    auto d = Def(name, std::move(prerequisites));
    d.startFails = true;
    return d;
}

template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

ComponentState StateOf(const CommandEngine& engine, const std::string& name) {
    const auto status = engine.StatusList(0, name);
    return status.records.size() == 1 ? status.records[0].state : ComponentState::Unknown;
}

std::string PidOf(const CommandEngine& engine, const std::string& name) {
    const auto status = engine.StatusList(0, name);
    return status.records.size() == 1 ? status.records[0].pid : "?";
}

std::vector<int> Numbers(const std::vector<ProgressMessage>& messages) {
    std::vector<int> numbers;
    for (const auto& m : messages) numbers.push_back(m.number);
    return numbers;
}

TEST(EngineStart, StartsPrerequisitesFirstAndGivesProcessIds) {
    CommandEngine engine;
    engine.Load({Def("web", {"db", "cache"}), Def("db"), Def("cache"), Def("other")});
    EXPECT_EQ(engine.Start("web", false, false), Result::kSuccess);
    for (const char* name : {"web", "db", "cache"}) EXPECT_EQ(StateOf(engine, name), ComponentState::Running) << name;
    EXPECT_EQ(StateOf(engine, "other"), ComponentState::Stopped);
    EXPECT_EQ(PidOf(engine, "other"), "");
    const std::set<std::string> pids{PidOf(engine, "web"), PidOf(engine, "db"), PidOf(engine, "cache")};
    EXPECT_EQ(pids, (std::set<std::string>{"4001", "4002", "4003"}));
    EXPECT_EQ(PidOf(engine, "web"), "4003");  // started last
    // Starting what runs changes nothing.
    EXPECT_EQ(engine.Start("*", false, false), Result::kSuccess);
    EXPECT_EQ(PidOf(engine, "web"), "4003");
    EXPECT_EQ(PidOf(engine, "other"), "4004");
}

TEST(EngineStart, NoMatchAnswers65) {
    CommandEngine engine;
    engine.Load({Def("web")});
    EXPECT_EQ(engine.Start("nosuch", false, false), Result::kNoMatch);
    EXPECT_EQ(engine.Start("", false, false), Result::kNoMatch);
    EXPECT_EQ(engine.Stop("w?", false, false), Result::kNoMatch);
    EXPECT_EQ(engine.Start("nosuch", false, true), Result::kNoMatch);  // no request ID for nothing
}

TEST(EngineStart, FailingComponentAnswers64) {
    CommandEngine engine;
    engine.Load({Failing("broken", {"db"}), Def("db")});
    EXPECT_EQ(engine.Start("broken", false, false), Result::kComponentFailed);
    EXPECT_EQ(StateOf(engine, "broken"), ComponentState::Failed);
    EXPECT_EQ(PidOf(engine, "broken"), "");
    EXPECT_EQ(StateOf(engine, "db"), ComponentState::Running);
    // A failed component is tried again, and fails again.
    EXPECT_EQ(engine.Start("broken", false, false), Result::kComponentFailed);
}

TEST(EngineStart, FailingPrerequisiteAnswers71AndBlocksItsDependents) {
    CommandEngine engine;
    engine.Load({Def("app", {"mid"}), Def("mid", {"broken"}), Failing("broken"), Def("side")});
    EXPECT_EQ(engine.Start("app,side", false, false), Result::kPrerequisiteFailed);
    EXPECT_EQ(StateOf(engine, "broken"), ComponentState::Failed);
    EXPECT_EQ(StateOf(engine, "mid"), ComponentState::Stopped);
    EXPECT_EQ(StateOf(engine, "app"), ComponentState::Stopped);
    EXPECT_EQ(StateOf(engine, "side"), ComponentState::Running);  // independent of the failure
}

TEST(EngineStart, OwnFailureOutranksPrerequisiteFailure) {
    CommandEngine engine;
    engine.Load({Def("app", {"broken"}), Failing("broken")});
    // Both selected: "broken" itself failed, which is what the caller hears.
    EXPECT_EQ(engine.Start("*", false, false), Result::kComponentFailed);
}

TEST(EngineStop, StopsDependentsFirstAndKills) {
    CommandEngine engine;
    engine.Load({Def("web", {"db"}), Def("db"), Def("lone")});
    ASSERT_EQ(engine.Start("*", false, false), Result::kSuccess);
    EXPECT_EQ(engine.Stop("db", false, false), Result::kSuccess);
    EXPECT_EQ(StateOf(engine, "db"), ComponentState::Stopped);
    EXPECT_EQ(StateOf(engine, "web"), ComponentState::Stopped);  // it needed db
    EXPECT_EQ(PidOf(engine, "web"), "");
    EXPECT_EQ(StateOf(engine, "lone"), ComponentState::Running);
    EXPECT_EQ(engine.Stop("lone", true, false), Result::kSuccess);
    EXPECT_EQ(StateOf(engine, "lone"), ComponentState::Stopped);
    EXPECT_EQ(engine.Stop("lone", false, false), Result::kSuccess);  // already stopped
}

TEST(EngineStop, FailingStopAnswers64ButKillAlwaysWorks) {
    auto stubborn = Def("stubborn");
    stubborn.stopFails = true;
    CommandEngine engine;
    engine.Load({stubborn, Failing("broken")});
    ASSERT_EQ(engine.Start("stubborn", false, false), Result::kSuccess);
    EXPECT_EQ(engine.Stop("stubborn", false, false), Result::kComponentFailed);
    EXPECT_EQ(StateOf(engine, "stubborn"), ComponentState::Failed);
    EXPECT_EQ(engine.Stop("stubborn", false, false), Result::kSuccess);  // a failed one is cleared
    EXPECT_EQ(StateOf(engine, "stubborn"), ComponentState::Stopped);
    ASSERT_EQ(engine.Start("stubborn", false, false), Result::kSuccess);
    EXPECT_EQ(engine.Stop("stubborn", true, false), Result::kSuccess);
    EXPECT_EQ(StateOf(engine, "stubborn"), ComponentState::Stopped);

    ASSERT_EQ(engine.Start("broken", false, false), Result::kComponentFailed);
    EXPECT_EQ(engine.Stop("broken", false, false), Result::kSuccess);
    EXPECT_EQ(StateOf(engine, "broken"), ComponentState::Stopped);
}

TEST(EngineNotify, RecordsForSubscribersOr73) {
    auto web = Def("web");
    web.events = {"reload"};
    auto db = Def("db");
    db.events = {"backup"};
    CommandEngine engine;
    engine.Load({web, db});
    EXPECT_EQ(engine.Notify("reload", "now & then", "*"), Result::kSuccess);
    EXPECT_EQ(engine.Notify("reload", "x", "db"), Result::kNoSubscriber);
    EXPECT_EQ(engine.Notify("nobody", "x", "*"), Result::kNoSubscriber);
    EXPECT_EQ(engine.Notify("reload", "x", "nosuch"), Result::kNoMatch);
    const auto status = engine.Status(6, "*");
    EXPECT_NE(status.text.find("web state=stopped pid=- description=\"\" category=- prerequisites=- events=reload "
                               "value.reload=\"now & then\"\n"),
              std::string::npos)
        << status.text;
    EXPECT_EQ(status.text.find("value.backup"), std::string::npos);
    EXPECT_EQ(engine.Notify("reload", "later", "web"), Result::kSuccess);
    EXPECT_NE(engine.Status(7, "web").text.find("value.reload=\"later\""), std::string::npos);
    EXPECT_NE(engine.Status(7, "web").text.find("notifications=2"), std::string::npos);
}

TEST(EngineStatus, DetailGrowsWithTheLevel) {
    auto web = Def("web", {"db"}, "frontend");
    web.description = "Web \"front\"\nend";
    web.events = {"reload", "rotate"};
    web.startTime = 0ms;
    web.stopTime = 7ms;
    CommandEngine engine;
    engine.Load({web, Def("db")});
    ASSERT_EQ(engine.Start("web", false, false), Result::kSuccess);
    const std::string lines[] = {
        "web",
        "web state=running",
        "web state=running pid=4002",
        "web state=running pid=4002 description=\"Web \\\"front\\\"\\nend\"",
        "web state=running pid=4002 description=\"Web \\\"front\\\"\\nend\" category=frontend",
        "web state=running pid=4002 description=\"Web \\\"front\\\"\\nend\" category=frontend prerequisites=db",
        "web state=running pid=4002 description=\"Web \\\"front\\\"\\nend\" category=frontend prerequisites=db "
        "events=reload,rotate",
        "web state=running pid=4002 description=\"Web \\\"front\\\"\\nend\" category=frontend prerequisites=db "
        "events=reload,rotate start_time_ms=0 stop_time_ms=7 start_fails=false stop_fails=false notifications=0 "
        "source=\"web.conf\"",
    };
    for (int level = 0; level <= 7; ++level) {
        const auto status = engine.Status(level, "web");
        EXPECT_EQ(status.result, Result::kSuccess);
        EXPECT_EQ(status.text, lines[level] + "\n") << "level " << level;
    }
    const auto both = engine.Status(1, "*");
    EXPECT_EQ(both.text, "db state=running\nweb state=running\n");
}

TEST(EngineStatus, RefusesLevelsOutside0To7AndEmptySelections) {
    CommandEngine engine;
    engine.Load({Def("web")});
    EXPECT_EQ(engine.Status(8, "*").result, Result::kInvalidArgument);
    EXPECT_EQ(engine.Status(-1, "*").result, Result::kInvalidArgument);
    EXPECT_EQ(engine.StatusList(8, "*").result, Result::kInvalidArgument);
    EXPECT_EQ(engine.Status(0, "nosuch").result, Result::kNoMatch);
    EXPECT_EQ(engine.Status(0, "nosuch").text, "");
    EXPECT_EQ(engine.StatusList(0, "").result, Result::kNoMatch);
}

TEST(EngineStatus, ListCarriesStateNumbersAndDefinitionXml) {
    CommandEngine engine;
    auto web = Def("web", {}, "frontend");
    web.description = "front";
    engine.Load({web, Failing("broken")});
    engine.Start("*", false, false);
    const auto status = engine.StatusList(3, "*");
    ASSERT_EQ(status.result, Result::kSuccess);
    ASSERT_EQ(status.records.size(), 2u);
    EXPECT_EQ(status.records[0].name, "broken");
    EXPECT_EQ(static_cast<int>(status.records[0].state), 4);
    EXPECT_EQ(status.records[1].name, "web");
    EXPECT_EQ(static_cast<int>(status.records[1].state), 2);
    EXPECT_EQ(status.records[1].description, "front");
    EXPECT_EQ(status.records[1].category, "frontend");
    EXPECT_EQ(status.records[1].pid, "4001");
    EXPECT_EQ(status.records[1].xml, DefinitionToXml(web));
}

TEST(EngineAsync, RequestIdsNeverHaveTheFailureBit) {
    CommandEngine engine;
    engine.Load({Def("web")});
    int previous = 0;
    for (int i = 0; i < 300; ++i) {
        const int id = engine.Start("web", false, true);
        EXPECT_EQ(id & 64, 0) << id;
        EXPECT_GE(id, kFirstRequestId);
        EXPECT_GT(id, previous);
        previous = id;
    }
    // 300 IDs with 64 of every 128 values skipped reach past 1024 + 2 * 300 - 64.
    EXPECT_GT(previous, kFirstRequestId + 2 * 300 - 128);
}

TEST(EngineAsync, ProgressRunningThenFinishedWithMessages) {
    auto slow = Def("slow", {"db"});
    slow.startTime = kForever;
    CommandEngine engine;
    engine.Load({slow, Def("db")});
    const int id = engine.Start("slow", true, true);
    ASSERT_FALSE(Result::IsFailure(id));
    ASSERT_TRUE(WaitUntil([&] { return StateOf(engine, "slow") == ComponentState::Starting; }));
    const auto running = engine.GetProgress(id);
    EXPECT_EQ(running.result, Result::kRunning);
    EXPECT_EQ(Numbers(running.messages), (std::vector<int>{1, 3, 4, 3}));
    EXPECT_EQ(running.messages[0].params, (std::vector<std::string>{"slow", "true"}));
    EXPECT_EQ(running.messages[0].text, "Start of target 'slow' requested (boot).");
    EXPECT_EQ(running.messages[2].params, (std::vector<std::string>{"db", "4001"}));
    EXPECT_EQ(running.messages[3].text, "Starting component slow.");

    // A second command waits for the first.
    const int second = engine.Start("db", false, true);
    EXPECT_EQ(engine.GetProgress(second).result, Result::kRunning);
    EXPECT_EQ(Numbers(engine.GetProgress(second).messages), std::vector<int>{1});
}

TEST(EngineAsync, FinishedRequestsAnswerTheSynchronousCode) {
    CommandEngine engine;
    engine.Load({Def("app", {"broken"}), Failing("broken"), Def("fine")});
    const int blocked = engine.Start("app", false, true);
    const int failed = engine.Start("broken", false, true);
    const int fine = engine.Start("fine", false, true);
    const int stopped = engine.Stop("fine", true, true);
    ASSERT_TRUE(WaitUntil([&] { return engine.GetProgress(stopped).result != Result::kRunning; }));
    const auto b = engine.GetProgress(blocked);
    EXPECT_EQ(b.result, Result::kPrerequisiteFailed);
    EXPECT_EQ(Numbers(b.messages), (std::vector<int>{1, 3, 5, 6, 14}));
    EXPECT_EQ(b.messages[3].severity, 1);
    EXPECT_EQ(b.messages[4].severity, 2);
    EXPECT_EQ(b.messages[4].params, std::vector<std::string>{"71"});
    EXPECT_EQ(engine.GetProgress(failed).result, Result::kComponentFailed);
    EXPECT_EQ(engine.GetProgress(fine).result, Result::kSuccess);
    EXPECT_EQ(engine.GetProgress(fine).messages.back().severity, 0);
    const auto s = engine.GetProgress(stopped);
    EXPECT_EQ(s.result, Result::kSuccess);
    EXPECT_EQ(Numbers(s.messages), (std::vector<int>{2, 10, 14}));
    EXPECT_EQ(s.messages[0].params, (std::vector<std::string>{"fine", "true"}));
}

TEST(EngineAsync, UnknownAndForgottenRequestsAnswer65) {
    EngineOptions options;
    options.retainedRequests = 2;
    CommandEngine engine(options);
    engine.Load({Def("web")});
    EXPECT_EQ(engine.GetProgress(kFirstRequestId).result, Result::kNoMatch);
    EXPECT_EQ(engine.GetProgress(-5).result, Result::kNoMatch);
    const int first = engine.Start("web", false, true);
    const int second = engine.Start("web", false, true);
    const int third = engine.Start("web", false, true);
    ASSERT_TRUE(WaitUntil([&] { return engine.GetProgress(third).result != Result::kRunning; }));
    EXPECT_EQ(engine.GetProgress(first).result, Result::kNoMatch);
    EXPECT_TRUE(engine.GetProgress(first).messages.empty());
    EXPECT_EQ(engine.GetProgress(second).result, Result::kSuccess);
    EXPECT_EQ(engine.GetProgress(third).result, Result::kSuccess);
}

TEST(EngineShutdown, ReleasesWaitingCallersAndCancelsTheRunningCommand) {
    auto slow = Def("slow");
    slow.startTime = kForever;
    CommandEngine engine;
    engine.Load({slow, Def("later")});
    auto waiting = std::async(std::launch::async, [&] { return engine.Start("slow", false, false); });
    ASSERT_TRUE(WaitUntil([&] { return StateOf(engine, "slow") == ComponentState::Starting; }));
    const int queued = engine.Start("later", false, true);
    engine.Shutdown();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_THROW(waiting.get(), ShuttingDown);
    EXPECT_EQ(StateOf(engine, "slow"), ComponentState::Stopped);
    EXPECT_EQ(StateOf(engine, "later"), ComponentState::Stopped);
    const auto progress = engine.GetProgress(queued);
    EXPECT_EQ(progress.result, Result::kComponentFailed);
    EXPECT_EQ(Numbers(progress.messages), (std::vector<int>{1, 15}));
    EXPECT_THROW(engine.Start("later", false, false), ShuttingDown);
    EXPECT_THROW(engine.Stop("later", false, true), ShuttingDown);
    // What takes no command still answers.
    EXPECT_EQ(engine.Status(0, "*").result, Result::kSuccess);
    engine.Shutdown();  // idempotent
}

class EngineRegistration : public ::testing::Test {
protected:
    SimTest::TempDir dir;
    CommandEngine engine{EngineOptions{dir.Path(), 10000, 4001}};
};

TEST_F(EngineRegistration, AddCodes) {
    dir.Write("base.conf", "description = base\n");
    dir.Write("app.conf", "prerequisites = base\n");
    dir.Write("orphan.conf", "prerequisites = ghost\n");
    dir.Write("bad.conf", "colour = blue\n");
    dir.Write("plain", "name = plainfile\n");
    EXPECT_EQ(engine.AddComponent("missing.conf").result, Result::kFileNotFound);
    EXPECT_EQ(engine.AddComponent("bad.conf").result, Result::kInvalidDefinition);
    EXPECT_EQ(engine.AddComponent("bad.conf").detail, "bad.conf:1: unknown key 'colour'");
    EXPECT_EQ(engine.AddComponent("app.conf").result, Result::kUnknownPrerequisite);
    EXPECT_EQ(engine.AddComponent("base.conf").result, Result::kSuccess);
    EXPECT_EQ(engine.AddComponent("base").result, Result::kAlreadyExists);  // ".conf" may be left out
    EXPECT_EQ(engine.AddComponent("app").result, Result::kSuccess);
    EXPECT_EQ(engine.AddComponent("orphan.conf").result, Result::kUnknownPrerequisite);
    EXPECT_EQ(engine.AddComponent("plain").result, Result::kSuccess);  // a file of that exact name comes first
    EXPECT_EQ(engine.ComponentCount(), 3u);
    EXPECT_EQ(engine.Start("app", false, false), Result::kSuccess);
}

TEST_F(EngineRegistration, RefusesNamesOutsideTheDirectory) {
    SimTest::TempDir outside;
    outside.Write("evil.conf", "description = outside\n");
    dir.Write("ok.conf", "");
    for (const std::string& name : {outside.Path() + "/evil.conf", std::string("../evil.conf"), std::string("sub/x.conf"),
                                   std::string(".."), std::string("."), std::string(""),
                                   std::string("ok.conf\0x", 9)})
        EXPECT_EQ(engine.AddComponent(name).result, Result::kFileNameRefused) << name;
    EXPECT_EQ(engine.ComponentCount(), 0u);

    CommandEngine noDirectory;
    EXPECT_EQ(noDirectory.AddComponent("ok.conf").result, Result::kFileNameRefused);
}

TEST_F(EngineRegistration, DirectoriesAreNotFiles) {
    std::filesystem::create_directory(dir.Path() + "/sub.conf");
    EXPECT_EQ(engine.AddComponent("sub.conf").result, Result::kFileNotFound);
}

TEST_F(EngineRegistration, DeleteCodes) {
    auto slow = Def("slow");
    slow.startTime = kForever;
    engine.Load({Def("base"), Def("app", {"base"}), slow});
    EXPECT_EQ(engine.DeleteComponent("ghost").result, Result::kUnknownComponent);
    EXPECT_EQ(engine.DeleteComponent("base").result, Result::kStillRequired);
    engine.Start("slow", false, true);
    ASSERT_TRUE(WaitUntil([&] { return StateOf(engine, "slow") == ComponentState::Starting; }));
    EXPECT_EQ(engine.DeleteComponent("slow").result, Result::kBusy);
    ASSERT_EQ(engine.Stop("app", false, true) & 64, 0);  // queued behind the slow start
    EXPECT_EQ(engine.DeleteComponent("app").result, Result::kSuccess);
    EXPECT_EQ(engine.DeleteComponent("base").result, Result::kSuccess);
    EXPECT_EQ(engine.ComponentCount(), 1u);
    engine.Shutdown();
}

TEST_F(EngineRegistration, QueuedCommandReportsComponentsDeletedMeanwhile) {
    // The first start takes long enough for the test to delete the component
    // that the second one is queued for.
    auto slow = Def("slow");
    slow.startTime = 1500ms;
    engine.Load({slow, Def("gone")});
    engine.Start("slow", false, true);
    ASSERT_TRUE(WaitUntil([&] { return StateOf(engine, "slow") == ComponentState::Starting; }));
    const int id = engine.Start("gone", false, true);
    ASSERT_EQ(engine.DeleteComponent("gone").result, Result::kSuccess);
    ASSERT_TRUE(WaitUntil([&] { return engine.GetProgress(id).result != Result::kRunning; }));
    const auto progress = engine.GetProgress(id);
    EXPECT_EQ(progress.result, Result::kComponentFailed);
    EXPECT_EQ(Numbers(progress.messages), (std::vector<int>{1, 13, 14}));
}

}  // namespace
}  // namespace DaDovuSim
