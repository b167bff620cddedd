// Node resolution: the endpoint URI built from a node name, and where the
// by-node and local overloads of Control send their requests.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>
#include <qxlnk/exceptions.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestDaemon.h"
#include "facade_support.h"

namespace {

using DaDovu::Control;
using DaDovu::CreateURI;
using FacadeTest::ScopedSettings;
using FacadeTest::TraceCapture;
using QxPalArray::CharArray_t;
using QxPalStr::String_t;

const CharArray_t kServer(DaDovu::SERVER_IDENTIFIER);

std::string Uri(const std::string& node, const CharArray_t& server, bool locate) {
    return CreateURI(String_t(node.c_str()), server, locate).ToUtf8();
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class NodeResolution : public ::testing::Test {
protected:
    static void SetUpTestSuite() { settings_ = std::make_unique<ScopedSettings>(FacadeTest::MessengerSettings()); }
    static void TearDownTestSuite() { settings_.reset(); }

    static std::unique_ptr<ScopedSettings> settings_;
};
std::unique_ptr<ScopedSettings> NodeResolution::settings_;

// --- CreateURI ---------------------------------------------------------------

TEST_F(NodeResolution, ServerIdentifierIsAFixedDottedIdentifier) {
    EXPECT_STREQ(DaDovu::SERVER_IDENTIFIER, "dadovu.ctrl.server");
}

TEST_F(NodeResolution, BuildsHttpEndpointFromNodeAndServerIdentifier) {
    EXPECT_EQ(Uri("node17", kServer, false), "http://node17/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(Uri("localhost", kServer, false), "http://localhost/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(Uri("node17", CharArray_t("other.server"), false), "http://node17/other.server/lnkrpcserver");
}

TEST_F(NodeResolution, WritesTheNodeUnchanged) {
    EXPECT_EQ(Uri(" node 17 ", kServer, false), "http:// node 17 /dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(Uri("10.0.0.7:8080", kServer, false), "http://10.0.0.7:8080/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(Uri("", kServer, false), "http:///dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(Uri("n\xC3\xB6" "de", kServer, false), "http://n\xC3\xB6" "de/dadovu.ctrl.server/lnkrpcserver");
}

TEST_F(NodeResolution, TrimsTheServerIdentifier) {
    EXPECT_EQ(Uri("node17", CharArray_t("  dadovu.ctrl.server\t "), false),
              "http://node17/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(Uri("node17", CharArray_t(" a b "), false), "http://node17/a b/lnkrpcserver");
}

TEST_F(NodeResolution, UsesHttpsWhenACertificateIsInstalled) {
    {
        ScopedSettings cert("[sec.cm.certificates]\nCERT_INSTALLED = true\n");
        EXPECT_EQ(Uri("node17", kServer, false), "https://node17/dadovu.ctrl.server/lnkrpcserver");
    }
    {
        ScopedSettings noCert("[sec.cm.certificates]\nCERT_INSTALLED = false\n");
        EXPECT_EQ(Uri("node17", kServer, false), "http://node17/dadovu.ctrl.server/lnkrpcserver");
    }
    {
        // A value that is no boolean counts as no certificate; nothing is thrown.
        ScopedSettings unreadable("[sec.cm.certificates]\nCERT_INSTALLED = perhaps\n");
        EXPECT_EQ(Uri("node17", kServer, false), "http://node17/dadovu.ctrl.server/lnkrpcserver");
    }
}

TEST_F(NodeResolution, LocateWritesTheLocatedPortAfterTheNode) {
    ScopedSettings servers("[lnk.cb.servers]\ndadovu.ctrl.server = 4711\nother.server = 80\n");
    EXPECT_EQ(Uri("node17", kServer, true), "http://node17:4711/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(Uri("node17", CharArray_t("other.server"), true), "http://node17:80/other.server/lnkrpcserver");
    // Without `locate`, no port is written even when one is known.
    EXPECT_EQ(Uri("node17", kServer, false), "http://node17/dadovu.ctrl.server/lnkrpcserver");
}

TEST_F(NodeResolution, LocateWithCertificateUsesHttpsAndThePort) {
    ScopedSettings both("[sec.cm.certificates]\nCERT_INSTALLED = yes\n[lnk.cb.servers]\ndadovu.ctrl.server = 4711\n");
    EXPECT_EQ(Uri("node17", kServer, true), "https://node17:4711/dadovu.ctrl.server/lnkrpcserver");
}

TEST_F(NodeResolution, AnUnknownServerFailsToTheCallerOfCreateURI) {
    ScopedSettings servers("[lnk.cb.servers]\nother.server = 80\n");
    EXPECT_THROW(Uri("node17", kServer, true), QxLnkRpc::RpcException);
    try {
        Uri("node17", kServer, true);
        FAIL() << "no exception";
    } catch (const QxLnkRpc::RpcException& e) {
        EXPECT_NE(std::string(e.what()).find("dadovu.ctrl.server"), std::string::npos) << e.what();
    }
}

// --- where the overloads send requests -----------------------------------------

// Every overload without a node or URI goes to the local node. The announcing
// trace line names the endpoint before anything is sent; a target that XML
// cannot carry keeps the request from being sent at all, whatever listens on
// the local node's default port.
TEST_F(NodeResolution, LocalOverloadsAddressTheLocalNode) {
    const std::string local = " on http://localhost/dadovu.ctrl.server/lnkrpcserver";
    const String_t target("\x01");
    Control::Options options;
    options.SetTargetID("\x01");

    const std::vector<std::pair<std::string, std::function<void()>>> requests = {
        {"Executing method 'start':", [&] { Control::Start(target, options); }},
        {"Executing method 'stop':", [&] { Control::Stop(target, options); }},
        {"Executing method 'notify':", [&] { Control::Notify("ev", "1", target, options); }},
        {"Executing method 'status':", [&] { Control::Status(static_cast<Control::StatusLevel>(8), target, options); }},
        {"Executing method 'statusaslist':",
         [&] {
             DaDovu::ControlComponentList list;
             Control::Status(static_cast<Control::StatusLevel>(8), target, options, list);
         }},
        {"Executing method 'getuser'", [&] { Control::GetUser(options); }},
    };
    for (const auto& [announce, request] : requests) {
        TraceCapture trace(1);
        try {
            request();
        } catch (const QxPalMsg::Exception_t&) {
            // The outcome is not the point here; the endpoint is.
        }
        const std::vector<std::string> texts = trace.Texts();
        const auto line = std::find_if(texts.begin(), texts.end(),
                                       [&](const std::string& t) { return StartsWith(t, announce); });
        ASSERT_NE(line, texts.end()) << announce;
        EXPECT_TRUE(EndsWith(*line, local)) << *line;
    }
}

// A request by node tests for the certificate twice: once while its endpoint is
// built, before the announcing line, and once for the call attributes after it.
TEST_F(NodeResolution, ByNodeRequestTestsTheCertificateBeforeAndAfterItsAnnouncingLine) {
    SoapTest::TestDaemon daemon;
    const std::string node = FacadeTest::NodeOf(daemon);
    const std::string endpoint = "http://" + node + "/dadovu.ctrl.server/lnkrpcserver";

    const std::vector<std::pair<std::string, std::function<void()>>> requests = {
        {"Executing method 'start': target='web' on " + endpoint,
         [&] { Control::Start("web", String_t(node.c_str()), Control::Options()); }},
        {"Executing method 'stop': target='web' on " + endpoint,
         [&] { Control::Stop("web", String_t(node.c_str()), Control::Options()); }},
        {"Executing method 'getuser' on " + endpoint,
         [&] { Control::GetUser(String_t(node.c_str()), Control::Options()); }},
        {"Executing method 'start': target='web' on " + endpoint, [&] { DaDovu::Start("web", node.c_str()); }},
        {"Executing method 'notify': event='ev' value='1' target='web' on " + endpoint,
         [&] { DaDovu::Notify("ev", "1", "web", node.c_str()); }},
    };
    for (const auto& [announce, request] : requests) {
        TraceCapture trace(1);
        request();
        const std::vector<std::string> texts = trace.Texts();
        const auto line = std::find(texts.begin(), texts.end(), announce);
        ASSERT_NE(line, texts.end()) << announce;
        const auto isCertLine = [](const std::string& t) { return t == "Certificate is not installed"; };
        EXPECT_EQ(std::count_if(texts.begin(), line, isCertLine), 1) << announce;
        EXPECT_EQ(std::count_if(line, texts.end(), isCertLine), 1) << announce;
        EXPECT_TRUE(std::none_of(texts.begin(), texts.end(),
                                 [](const std::string& t) { return t == "Certificate is installed"; }));
    }
}

}  // namespace
