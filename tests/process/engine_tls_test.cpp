// Requests with a certificate installed: "SECURE_COMM" takes them over TLS to
// an https endpoint. A test executable of its own, because the shared
// messenger keeps the settings of the process's first request, and these
// tests need it to trust the test authority.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TestDaemon.h"
#include "TestPki.h"
#include "engine/ControlImpl.h"
#include "engine_support.h"

namespace {

using DaDovu::ControlImpl_t;

class EngineTls : public ::testing::Test {
protected:
    EngineTls()
        : settings_(EngineTest::MessengerSection("CA_FILE = " + SoapTest::TestPki::Shared().CaFile() + "\n")),
          daemon_(SoapTest::TlsFiles{SoapTest::TestPki::Shared().ServerCert(),
                                     SoapTest::TestPki::Shared().ServerKey(), "", false}),
          uri_(daemon_.Uri().c_str()) {}

    EngineTest::NodeSettings settings_;
    SoapTest::TestDaemon daemon_;
    QxPalNet::URI_t uri_;
    DaDovu::Control::Options options_;
};

TEST_F(EngineTls, WithACertificateInstalledRequestsGoOverTls) {
    settings_.SetCertInstalled("true");
    EngineTest::TraceCapture trace(settings_, 1);
    EXPECT_EQ(ControlImpl_t::Start("web", false, options_, uri_), 0);
    SoapTest::RecordedRequest request = daemon_.Requests().at(0);
    EXPECT_EQ(request.method, "start");
    EXPECT_EQ(request.Arg("target"), "web");
    EXPECT_EQ(trace.Count("Certificate is installed"), 1u);

    EXPECT_EQ(ControlImpl_t::AddComponent("web.xml", uri_), 0);
    EXPECT_EQ(daemon_.RequestCount(), 2u);
}

TEST_F(EngineTls, WithACertificateInstalledAPlainEndpointIsRefusedBeforeSending) {
    settings_.SetCertInstalled("true");
    SoapTest::TestDaemon plain;
    EXPECT_THROW(ControlImpl_t::Start("web", false, options_, QxPalNet::URI_t(plain.Uri().c_str())),
                 DaDovu::CommunicationException);
    EXPECT_EQ(plain.RequestCount(), 0u);
}

TEST_F(EngineTls, ARequestByNodeReachesTheSecureDaemon) {
    settings_.SetCertInstalled("true");
    const std::string node = "127.0.0.1:" + std::to_string(daemon_.Port());
    EXPECT_EQ(ControlImpl_t::Start("web", false, QxPalStr::String_t(node.c_str()), options_), 0);
    EXPECT_EQ(daemon_.Requests().at(0).path, "/dadovu.ctrl.server/lnkrpcserver");
}

}  // namespace
