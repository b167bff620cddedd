// Fleet: every node called once and handed on once, within the parallelism,
// as the calls finish or in input order; stopping; failures of the source,
// the call and the handler; and a real run over loopback daemons, some gone.

#include <dadovu/Fleet.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "ClientTestSupport.h"

namespace ClientTest {
namespace {

using DaDovu::Fleet;
using DaDovu::FleetOutcome;
using DaDovu::FleetSummary;

// Nodes "127.0.0.1:1", "127.0.0.1:2", ... (never connected to by the calls
// that only count), yielded one at a time.
Fleet::NodeSource Nodes(std::size_t count) {
    auto next = std::make_shared<std::size_t>(0);
    return [next, count]() -> std::optional<std::string> {
        if (*next == count) return std::nullopt;
        return "127.0.0.1:" + std::to_string(++*next);
    };
}

Client AnyClient() { return Client(ClientSettings().SetCallTimeout(5s)); }

// Counts the calls in flight and the most there were at once.
struct InFlight {
    std::atomic<int> now{0};
    std::atomic<int> most{0};
    void Enter() {
        const int current = ++now;
        int seen = most.load();
        while (current > seen && !most.compare_exchange_weak(seen, current)) {
        }
    }
    void Leave() { --now; }
};

TEST(Fleet, EveryNodeIsCalledAndHandedOnOnceWithinTheParallelism) {
    Fleet fleet(AnyClient());
    fleet.SetParallel(8);
    InFlight inFlight;
    std::set<std::size_t> handed;
    const FleetSummary summary = fleet.Run(
        Nodes(200),
        [&](Client& node, FleetOutcome& outcome) {
            inFlight.Enter();
            std::this_thread::sleep_for(std::chrono::milliseconds(outcome.GetIndex() % 3));
            outcome.SetText(node.GetEndpoint());
            inFlight.Leave();
        },
        [&](const FleetOutcome& outcome) {
            EXPECT_TRUE(handed.insert(outcome.GetIndex()).second) << outcome.GetIndex();
            EXPECT_EQ(outcome.GetNode(), "127.0.0.1:" + std::to_string(outcome.GetIndex() + 1));
            EXPECT_EQ(outcome.GetText(), "http://" + outcome.GetNode() + "/dadovu.ctrl.server/lnkrpcserver");
        });
    EXPECT_EQ(handed.size(), 200u);
    EXPECT_EQ(summary.GetAsked(), 200u);
    EXPECT_EQ(summary.GetSucceeded(), 200u);
    EXPECT_TRUE(summary.GetFailures().empty());
    EXPECT_FALSE(summary.WasStopped());
    EXPECT_LE(inFlight.most.load(), 8);
    EXPECT_GE(inFlight.most.load(), 2);  // the calls did overlap
}

TEST(Fleet, OutcomesStreamBeforeTheLastCallEnds) {
    // The last node's call waits until an earlier outcome has been handed on.
    Fleet fleet(AnyClient());
    fleet.SetParallel(4);
    std::mutex mutex;
    std::condition_variable changed;
    bool firstHandedOn = false;
    bool lastSawFirst = false;
    fleet.Run(
        Nodes(4),
        [&](Client&, FleetOutcome& outcome) {
            if (outcome.GetIndex() != 3) return;
            std::unique_lock<std::mutex> lock(mutex);
            lastSawFirst = changed.wait_for(lock, 10s, [&] { return firstHandedOn; });
        },
        [&](const FleetOutcome&) {
            std::lock_guard<std::mutex> lock(mutex);
            firstHandedOn = true;
            changed.notify_all();
        });
    EXPECT_TRUE(lastSawFirst);
}

TEST(Fleet, ASourceWaitingForItsInputHoldsUpNeitherTheOutcomesNorStop) {
    // The second node is not there yet: the source waits until the first
    // node's outcome has been handed on, then until Stop, called meanwhile
    // from another thread, has returned.
    Fleet fleet(AnyClient());
    fleet.SetParallel(4);
    std::mutex mutex;
    std::condition_variable changed;
    bool firstHandedOn = false, stopReturned = false, sawFirst = false, sawStop = false;
    std::size_t yielded = 0;
    std::thread stopper;
    const FleetSummary summary = fleet.Run(
        [&]() -> std::optional<std::string> {
            if (yielded++ == 0) return std::string("127.0.0.1:1");
            std::unique_lock<std::mutex> lock(mutex);
            sawFirst = changed.wait_for(lock, 10s, [&] { return firstHandedOn; });
            stopper = std::thread([&] {
                fleet.Stop();
                std::lock_guard<std::mutex> stopped(mutex);
                stopReturned = true;
                changed.notify_all();
            });
            sawStop = changed.wait_for(lock, 10s, [&] { return stopReturned; });
            return std::nullopt;
        },
        [](Client&, FleetOutcome&) {},
        [&](const FleetOutcome&) {
            std::lock_guard<std::mutex> lock(mutex);
            firstHandedOn = true;
            changed.notify_all();
        });
    if (stopper.joinable()) stopper.join();
    EXPECT_TRUE(sawFirst);
    EXPECT_TRUE(sawStop);
    EXPECT_EQ(yielded, 2u);
    EXPECT_EQ(summary.GetAsked(), 1u);
}

TEST(Fleet, OrderedHandsOnInInputOrderAndStartsNoNodeTooFarAhead) {
    Fleet fleet(AnyClient());
    constexpr std::size_t kParallel = 4;
    fleet.SetParallel(kParallel).SetOrdered(true);
    std::atomic<std::size_t> handedOn{0};
    std::atomic<bool> tooFarAhead{false};
    std::vector<std::size_t> order;
    fleet.Run(
        Nodes(60),
        [&](Client&, FleetOutcome& outcome) {
            if (outcome.GetIndex() >= handedOn.load() + kParallel) tooFarAhead = true;
            // Early nodes are the slowest: finishing order is not input order.
            std::this_thread::sleep_for(std::chrono::milliseconds(outcome.GetIndex() % kParallel == 0 ? 4 : 0));
        },
        [&](const FleetOutcome& outcome) {
            order.push_back(outcome.GetIndex());
            ++handedOn;
        });
    ASSERT_EQ(order.size(), 60u);
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(tooFarAhead.load());
}

TEST(Fleet, FailuresAreTheOutcomesErrorsAndCountedByKind) {
    Fleet fleet(AnyClient());
    std::size_t failed = 0;
    const FleetSummary summary = fleet.Run(
        Nodes(30),
        [](Client& node, FleetOutcome& outcome) {
            if (outcome.GetIndex() % 3 == 0)
                throw Error(ErrorKind::NoMatchingComponent, "start", node.GetEndpoint(), std::string("web"), 65);
            if (outcome.GetIndex() % 3 == 1) throw std::runtime_error("not an Error");
        },
        [&](const FleetOutcome& outcome) {
            if (outcome.GetIndex() % 3 == 2) {
                EXPECT_TRUE(outcome.Succeeded());
                return;
            }
            ASSERT_FALSE(outcome.Succeeded());
            ++failed;
            if (outcome.GetIndex() % 3 == 0) {
                EXPECT_EQ(outcome.GetError()->GetResultCode(), 65);
            } else {
                EXPECT_EQ(outcome.GetError()->GetDetails().at(0), "not an Error");
            }
        });
    EXPECT_EQ(failed, 20u);
    EXPECT_EQ(summary.GetSucceeded(), 10u);
    EXPECT_EQ(summary.GetFailures().at(ErrorKind::NoMatchingComponent), 10u);
    EXPECT_EQ(summary.GetFailures().at(ErrorKind::NoAnswer), 10u);
}

TEST(Fleet, ABadNodeNameIsThatNodesInvalidArgument) {
    Fleet fleet(AnyClient());
    std::vector<std::string> nodes = {"good.example", "bad@node", "http://127.0.0.1:1/x"};
    std::size_t next = 0;
    std::vector<std::optional<ErrorKind>> kinds(3);
    fleet.SetOrdered(true).Run(
        [&]() -> std::optional<std::string> {
            if (next == nodes.size()) return std::nullopt;
            return nodes[next++];
        },
        [](Client&, FleetOutcome&) {},
        [&](const FleetOutcome& outcome) {
            if (!outcome.Succeeded()) kinds[outcome.GetIndex()] = outcome.GetError()->GetKind();
        });
    EXPECT_EQ(kinds[0], std::nullopt);
    EXPECT_EQ(kinds[1], ErrorKind::InvalidArgument);
    EXPECT_EQ(kinds[2], std::nullopt);
}

TEST(Fleet, StopStartsNoFurtherNodeAndHandsOnThoseInFlight) {
    Fleet fleet(AnyClient());
    fleet.SetParallel(4);
    std::atomic<std::size_t> called{0};
    std::size_t handed = 0;
    const FleetSummary summary = fleet.Run(
        Nodes(1000),
        [&](Client&, FleetOutcome&) {
            ++called;
            std::this_thread::sleep_for(1ms);
        },
        [&](const FleetOutcome&) {
            if (++handed == 10) fleet.Stop();
        });
    EXPECT_TRUE(summary.WasStopped());
    EXPECT_EQ(summary.GetAsked(), called.load());  // every call started was handed on
    EXPECT_EQ(handed, called.load());
    EXPECT_LT(called.load(), 20u);
}

TEST(Fleet, ExceptionsOfTheSourceAndTheHandlerEndTheRunAndReachTheCaller) {
    struct Broken {};
    Fleet fleet(AnyClient());
    std::size_t yielded = 0;
    EXPECT_THROW(fleet.Run(
                     [&]() -> std::optional<std::string> {
                         if (++yielded == 5) throw Broken{};
                         return "node" + std::to_string(yielded);
                     },
                     [](Client&, FleetOutcome&) {}, [](const FleetOutcome&) {}),
                 Broken);
    EXPECT_THROW(fleet.Run(Nodes(50), [](Client&, FleetOutcome&) {}, [](const FleetOutcome&) { throw Broken{}; }),
                 Broken);
    // The fleet runs again afterwards.
    EXPECT_EQ(fleet.Run(Nodes(3), [](Client&, FleetOutcome&) {}, [](const FleetOutcome&) {}).GetAsked(), 3u);
}

TEST(Fleet, ParallelismOutOfRangeIsRefused) {
    Fleet fleet(AnyClient());
    EXPECT_EQ(ErrorOf([&] { fleet.SetParallel(0); }).GetKind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(ErrorOf([&] { fleet.SetParallel(100000); }).GetKind(), ErrorKind::InvalidArgument);
}

TEST(Fleet, AsksLoopbackDaemonsThroughOnePoolAndReportsTheGoneAsNotSent) {
    std::vector<std::unique_ptr<TestDaemon>> daemons;
    std::vector<std::string> nodes;
    for (int i = 0; i < 6; ++i) {
        daemons.push_back(std::make_unique<TestDaemon>());
        nodes.push_back("127.0.0.1:" + std::to_string(daemons.back()->Port()));
    }
    daemons[2]->Stop();
    daemons[4]->Stop();
    std::size_t next = 0;
    Fleet fleet(Client(ClientSettings().SetCallTimeout(5s)));
    std::vector<std::string> texts(nodes.size());
    const FleetSummary summary = fleet.SetParallel(3).Run(
        [&]() -> std::optional<std::string> {
            if (next == 2 * nodes.size()) return std::nullopt;
            return nodes[next++ % nodes.size()];  // each node twice: the second call reuses its connection
        },
        [](Client& node, FleetOutcome& outcome) {
            node.Start("web");
            outcome.SetText("started");
        },
        [&](const FleetOutcome& outcome) {
            if (outcome.Succeeded()) texts[outcome.GetIndex() % nodes.size()] = outcome.GetText();
        });
    EXPECT_EQ(summary.GetAsked(), 12u);
    EXPECT_EQ(summary.GetSucceeded(), 8u);
    EXPECT_EQ(summary.GetFailures().at(ErrorKind::NotSent), 4u);
    for (std::size_t i : {0, 1, 3, 5}) {
        EXPECT_EQ(texts[i], "started");
        EXPECT_EQ(daemons[i]->RequestCount(), 2u);
        EXPECT_LE(daemons[i]->ConnectionCount(), 2u);
    }
}

}  // namespace
}  // namespace ClientTest
