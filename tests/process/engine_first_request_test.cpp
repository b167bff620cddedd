// The first requests of a process: eight threads that make them at the same
// moment configure the shared messenger exactly once. This file is a test
// executable of its own, so that no earlier request of another test has
// configured the messenger already.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "TestDaemon.h"
#include "engine/ControlImpl.h"
#include "engine_support.h"

namespace {

using DaDovu::ControlImpl_t;

TEST(EngineFirstRequest, EightThreadsAtOnceInitializeTheMessengerExactlyOnce) {
    EngineTest::NodeSettings settings;
    EngineTest::TraceCapture trace(settings, 25);
    SoapTest::TestDaemon daemon;
    const QxPalNet::URI_t uri(daemon.Uri().c_str());
    const DaDovu::Control::Options options;

    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            // Start together: every thread spins until all are ready.
            waiting.fetch_sub(1);
            while (waiting.load() > 0) std::this_thread::yield();
            try {
                if (ControlImpl_t::Start("t", false, options, uri) == 0) succeeded.fetch_add(1);
            } catch (const QxPalMsg::Exception_t& e) {
                ADD_FAILURE() << e.what();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(succeeded.load(), kThreads);
    EXPECT_EQ(daemon.RequestCount(), static_cast<std::size_t>(kThreads));
    EXPECT_EQ(trace.Count("Initializing messenger object."), 1u);
    EXPECT_EQ(trace.Count("Messenger object already exists."), static_cast<std::size_t>(kThreads - 1));

    // Every later request finds it.
    trace.Clear();
    ControlImpl_t::Stop("t", false, options, uri);
    EXPECT_EQ(trace.Count("Initializing messenger object."), 0u);
    EXPECT_EQ(trace.Count("Messenger object already exists."), 1u);
}

}  // namespace
