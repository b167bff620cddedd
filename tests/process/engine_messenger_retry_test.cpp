// A shared messenger whose creation fails is not kept: the failure reaches the
// caller, and the next request creates the messenger again. A test executable
// of its own, because only the first requests of a process create it.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>

#include "TestDaemon.h"
#include "engine/ControlImpl.h"
#include "engine_support.h"

namespace {

using DaDovu::ControlImpl_t;

TEST(EngineMessenger, AFailedCreationIsRetriedByTheNextRequest) {
    SoapTest::TestDaemon daemon;
    const QxPalNet::URI_t uri(daemon.Uri().c_str());
    const DaDovu::Control::Options options;
    {
        EngineTest::NodeSettings broken("[lnk.http.ext.ctrl]\nTIMEOUT_MS = soon\n");
        EngineTest::TraceCapture trace(broken, 25);
        // Not one of the failures the frame translates: it passes unchanged.
        EXPECT_THROW(ControlImpl_t::Start("t", false, options, uri), QxPalMsg::IllegalArgumentError_t);
        EXPECT_THROW(ControlImpl_t::Stop("t", false, options, uri), QxPalMsg::IllegalArgumentError_t);
        EXPECT_EQ(trace.Count("Initializing messenger object."), 2u);
        EXPECT_EQ(trace.Count("Messenger object already exists."), 0u);
    }
    EXPECT_EQ(daemon.RequestCount(), 0u);

    EngineTest::NodeSettings settings;
    EngineTest::TraceCapture trace(settings, 25);
    EXPECT_EQ(ControlImpl_t::Start("t", false, options, uri), 0);
    EXPECT_EQ(ControlImpl_t::Start("t", false, options, uri), 0);
    EXPECT_EQ(trace.Count("Initializing messenger object."), 1u);
    EXPECT_EQ(trace.Count("Messenger object already exists."), 1u);
    EXPECT_EQ(daemon.RequestCount(), 2u);

    // Once created, it keeps its settings: a broken messenger section no longer matters.
    EngineTest::NodeSettings later("[lnk.http.ext.ctrl]\nTIMEOUT_MS = soon\n");
    EXPECT_EQ(ControlImpl_t::Start("t", false, options, uri), 0);
}

}  // namespace
