// The first requests of a process, which create the shared messenger from the
// settings in force. An executable of its own, so that no earlier request has
// created the messenger; one test, because the messenger is the process's.

#include <atomic>
#include <thread>

#include "TestEnvironment.h"

namespace {

using namespace DaDovuTest;
using DaDovu::ControlImpl_t;

TEST(FirstRequests, CreateTheSharedMessengerOnceAndItKeepsItsSettings) {
    SoapTest::TestDaemon plain;
    const QxPalNet::URI_t uri(plain.Uri().c_str());
    const DaDovu::Control::Options options;
    NodeSettings settings;
    TraceCapture trace(25);
    const std::string initializing = "Initializing messenger object.", exists = "Messenger object already exists.";

    // A creation that fails is not kept: its failure passes unchanged, and the
    // next request tries again.
    settings.Set("lnk.http.ext.ctrl", "TIMEOUT_MS", "soon");
    EXPECT_THROW(ControlImpl_t::Start("t", false, options, uri), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(ControlImpl_t::Stop("t", false, options, uri), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(trace.Count(initializing), 2u);
    EXPECT_EQ(plain.RequestCount(), 0u);
    // Each request reads the certificate setting before it obtains the messenger.
    const Texts first = trace.Get();
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(Texts(first.begin() + 1, first.begin() + 3), (Texts{"Certificate is not installed", initializing}));

    // Eight threads that make the first requests at once create it exactly once.
    settings.Set("lnk.http.ext.ctrl", "TIMEOUT_MS", "5000");
    trace.Clear();
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) std::this_thread::yield();
            if (Outcome([&] { return ControlImpl_t::Start("t", false, options, uri); }) == "returned 0") ++succeeded;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(succeeded.load(), kThreads);
    EXPECT_EQ(trace.Count(initializing), 1u);
    EXPECT_EQ(trace.Count(exists), static_cast<std::size_t>(kThreads - 1));
    for (const TraceCapture::Line& line : trace.Lines())
        EXPECT_TRUE(line.level == 25u || (line.text != initializing && line.text != exists)) << line.text;

    // Later requests find it, with the settings of its creation: a broken
    // section no longer matters.
    settings.Set("lnk.http.ext.ctrl", "TIMEOUT_MS", "soon");
    trace.Clear();
    EXPECT_EQ(ControlImpl_t::AddComponent("f", uri), 0);
    EXPECT_EQ(trace.Count(exists), 1u);
    EXPECT_EQ(trace.Count(initializing), 0u);

    EXPECT_EQ(plain.RequestCount(), static_cast<std::size_t>(kThreads + 1));
}

}  // namespace
