// A simulated fleet in one process: the address of each node, which nodes are
// dead or refusing, nodes that share definitions and nothing else, and the
// scheduler that carries every node's commands.
#include "ComponentRegistry.h"
#include "Fleet.h"
#include "ResultCodes.h"
#include "Scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

namespace DaDovuSim {
namespace {

using namespace std::chrono_literals;

std::uint32_t Address(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

TEST(FleetAddresses, CountThroughTheLoopbackRangeSkippingHostBytesZeroAnd255) {
    const std::pair<std::size_t, std::string> addresses[] = {
        {0, "127.0.1.1"},     {1, "127.0.1.2"},        {253, "127.0.1.254"}, {254, "127.0.2.1"},
        {9999, "127.0.40.94"}, {254 * 255, "127.1.0.1"}, {kMaxFleetAddresses - 1, "127.255.255.254"}};
    for (const auto& [index, text] : addresses) {
        EXPECT_EQ(Ipv4Text(FleetNodeAddress(index)), text) << index;
        EXPECT_EQ(FleetNodeIndex(FleetNodeAddress(index), kMaxFleetAddresses), index) << text;
    }
    // Every address of a fleet of 10,000 is a node's, each of a different one.
    for (std::size_t i = 0; i < 10000; ++i) ASSERT_EQ(FleetNodeIndex(FleetNodeAddress(i), 10000), i);
    // No node: the machine's own addresses, host bytes 0 and 255, beyond the fleet, outside 127.0.0.0/8.
    for (const std::uint32_t none : {Address(127, 0, 0, 1), Address(127, 0, 0, 2), Address(127, 0, 1, 0),
                                     Address(127, 0, 1, 255), Address(127, 0, 1, 11), Address(10, 0, 1, 1)})
        EXPECT_FALSE(FleetNodeIndex(none, 10)) << Ipv4Text(none);
    EXPECT_EQ(FleetNodeIndex(Address(127, 0, 1, 10), 10), 9u);
}

TEST(FleetRoles, ExactSharesDrawnFromTheSeedAlike) {
    const auto roles = DrawNodeRoles(1000, 0.1, 0.25, 7);
    EXPECT_EQ(std::count(roles.begin(), roles.end(), NodeRole::Dead), 100);
    EXPECT_EQ(std::count(roles.begin(), roles.end(), NodeRole::Refusing), 250);
    EXPECT_EQ(DrawNodeRoles(1000, 0.1, 0.25, 7), roles);
    EXPECT_NE(DrawNodeRoles(1000, 0.1, 0.25, 8), roles);
    // The draw does not depend on the machine (nor on the standard library's
    // distributions): the dead and refusing nodes of a small fleet, seed 1.
    std::string small;
    for (const NodeRole role : DrawNodeRoles(12, 0.25, 0.25, 1))
        small += role == NodeRole::Live ? 'L' : role == NodeRole::Dead ? 'D' : 'R';
    EXPECT_EQ(small, "RLDRLDLRLDLL");
    EXPECT_EQ(DrawNodeRoles(3, 0.5, 0.5, 1), DrawNodeRoles(3, 0.5, 0.5, 1));
    const auto all = DrawNodeRoles(4, 0.5, 0.5, 3);
    EXPECT_EQ(std::count(all.begin(), all.end(), NodeRole::Live), 0);
    const auto none = DrawNodeRoles(5, 0, 0, 3);
    EXPECT_EQ(std::count(none.begin(), none.end(), NodeRole::Live), 5);
    for (const auto& [deadShare, refuseShare] : {std::pair{0.6, 0.5}, {-0.1, 0.0}, {0.0, 1.5}})
        EXPECT_THROW(DrawNodeRoles(10, deadShare, refuseShare, 1), std::invalid_argument);
}

std::vector<ComponentDefinition> SampleDefinitions() {
    return {ParseDefinition("category = storage\nevents = backup", "db.conf"),
            ParseDefinition("prerequisites = db", "web.conf"), ParseDefinition("start_time_ms = 50", "slow.conf")};
}

TEST(Fleet, NodesShareDefinitionsAndNothingElse) {
    Fleet fleet(FleetOptions{3, 0, 0, 1}, SampleDefinitions(), EngineOptions{}, SecurityPolicy{});
    ASSERT_EQ(fleet.Size(), 3u);
    EXPECT_EQ(fleet.Count(NodeRole::Live), 3u);
    EXPECT_EQ(fleet.Engine(0).Start("web", false, false), Result::kSuccess);
    EXPECT_EQ(fleet.Engine(0).Notify("backup", "now", "*"), Result::kSuccess);
    EXPECT_EQ(fleet.Engine(0).Status(2, "*").text,
              "db state=running pid=4001\nslow state=stopped pid=-\nweb state=running pid=4002\n");
    for (std::size_t i : {1, 2})
        EXPECT_EQ(fleet.Engine(i).Status(6, "db").text,
                  "db state=stopped pid=- description=\"\" category=storage prerequisites=- events=backup\n");
    // Each node counts its own request IDs and process IDs.
    EXPECT_EQ(fleet.Engine(0).Start("slow", false, true), 1024);
    EXPECT_EQ(fleet.Engine(0).Start("slow", false, true), 1025);
    EXPECT_EQ(fleet.Engine(1).Start("slow", false, true), 1024);
    EXPECT_EQ(fleet.Engine(2).Start("db", false, false), Result::kSuccess);
    EXPECT_EQ(fleet.Engine(2).Status(2, "db").text, "db state=running pid=4001\n");
    // A node's components are its own to add and remove.
    EXPECT_EQ(fleet.Engine(1).Stop("*", true, false), Result::kSuccess);
    EXPECT_EQ(fleet.Engine(1).DeleteComponent("web").result, Result::kSuccess);
    EXPECT_EQ(fleet.Engine(1).DeleteComponent("db").result, Result::kSuccess);
    EXPECT_EQ(fleet.Engine(1).ComponentCount(), 1u);
    EXPECT_EQ(fleet.Engine(0).DeleteComponent("db").result, Result::kStillRequired);
    EXPECT_EQ(fleet.Engine(2).ComponentCount(), 3u);
    // One shutdown for all: every node's waiting callers are released.
    auto waiting = std::async(std::launch::async, [&] { return fleet.Engine(2).Start("slow", false, false); });
    fleet.Shutdown();
    ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready);
    try {
        EXPECT_EQ(waiting.get(), Result::kSuccess);  // it may have finished first
    } catch (const ShuttingDown&) {
    }
    EXPECT_THROW(fleet.Engine(0).Start("db", false, false), ShuttingDown);
}

TEST(Fleet, RefusesCountsAndSharesOutOfRange) {
    for (const FleetOptions& options : {FleetOptions{0, 0, 0, 1}, FleetOptions{kMaxFleetAddresses + 1, 0, 0, 1},
                                        FleetOptions{4, 0.75, 0.5, 1}})
        EXPECT_THROW(Fleet(options, {}, EngineOptions{}, SecurityPolicy{}), std::invalid_argument) << options.nodes;
    EXPECT_THROW(Fleet(FleetOptions{2, 0, 0, 1}, {ParseDefinition("prerequisites = x", "a.conf")}, EngineOptions{},
                       SecurityPolicy{}),
                 DefinitionError);
}

TEST(Registry, CopiesShareDefinitionsAndKeepTheirOwnStateAndDependents) {
    ComponentRegistry base;
    base.AddAll(SampleDefinitions());
    ComponentRegistry a = base, b = base;
    EXPECT_EQ(a.Find("db")->shared, b.Find("db")->shared);  // one definition, one XML text
    a.Find("db")->state = ComponentState::Running;
    EXPECT_EQ(b.Find("db")->state, ComponentState::Stopped);
    // A component added to one copy needs db there only.
    ASSERT_EQ(a.Add(ParseDefinition("prerequisites = db", "api.conf")), Result::kSuccess);
    for (ComponentRegistry* r : {&a, &b}) r->Find("web")->state = ComponentState::Running;
    a.Find("api")->state = ComponentState::Running;
    EXPECT_EQ(a.StopOrder({"db"}), (std::vector<std::string>{"api", "web", "db"}));
    EXPECT_EQ(b.StopOrder({"db"}), (std::vector<std::string>{"web", "db"}));
    b.Find("web")->state = ComponentState::Stopped;
    EXPECT_EQ(b.Remove("db"), Result::kStillRequired);
    ASSERT_EQ(b.Remove("web"), Result::kSuccess);
    EXPECT_EQ(b.Remove("db"), Result::kSuccess);
    EXPECT_EQ(a.Remove("db"), Result::kStillRequired);
    EXPECT_EQ(base.Remove("db"), Result::kStillRequired);
    EXPECT_EQ(base.Size(), 3u);
}

TEST(Scheduler, RunsTasksInTimeOrderReplacesAnOwnersTaskAndForgets) {
    Scheduler scheduler;
    std::mutex mutex;
    std::vector<std::string> ran;
    const auto note = [&](const std::string& what) {
        return [&, what] {
            std::lock_guard<std::mutex> lock(mutex);
            ran.push_back(what);
        };
    };
    int a = 0, b = 0, c = 0, d = 0;
    const auto now = Scheduler::Clock::now();
    scheduler.Schedule(&a, now + 60ms, note("a"));
    scheduler.Schedule(&b, now + 20ms, note("b"));
    scheduler.Schedule(&c, now + 40ms, note("c (replaced)"));
    scheduler.Schedule(&c, now + 40ms, note("c"));
    scheduler.Schedule(&d, now + 30ms, note("d (forgotten)"));
    scheduler.Forget(&d);
    const auto deadline = Scheduler::Clock::now() + 20s;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (ran.size() >= 3 || Scheduler::Clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(2ms);
    }
    std::this_thread::sleep_for(50ms);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(ran, (std::vector<std::string>{"b", "c", "a"}));

    // Forget waits for the owner's running task.
    std::atomic<bool> inside{false}, done{false};
    scheduler.Schedule(&a, Scheduler::Clock::now(), [&] {
        inside = true;
        std::this_thread::sleep_for(100ms);
        done = true;
    });
    while (!inside) std::this_thread::sleep_for(1ms);
    scheduler.Forget(&a);
    EXPECT_TRUE(done);
}

}  // namespace
}  // namespace DaDovuSim
