// Requests by node name: CreateURI and the node-name variants of the engine.

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>
#include <qxlnk/exceptions.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "TestDaemon.h"
#include "engine/ControlImpl.h"
#include "engine_support.h"

namespace {

using DaDovu::ControlImpl_t;
using DaDovu::CreateURI;
using EngineTest::EngineFixture;
using EngineTest::TraceCapture;
using QxPalStr::String_t;

const QxPalArray::CharArray_t kServer(DaDovu::SERVER_IDENTIFIER);

class EngineCreateUri : public EngineFixture {};

TEST_F(EngineCreateUri, SchemeFollowsTheCertificateSetting) {
    EXPECT_EQ(CreateURI("node1", kServer, false).ToUtf8(), "http://node1/dadovu.ctrl.server/lnkrpcserver");
    settings_.SetCertInstalled("true");
    EXPECT_EQ(CreateURI("node1", kServer, false).ToUtf8(), "https://node1/dadovu.ctrl.server/lnkrpcserver");
}

TEST_F(EngineCreateUri, TheServerIsTrimmedAndTheNodeIsNot) {
    EXPECT_EQ(CreateURI(" a b ", QxPalArray::CharArray_t(" \tsrv.x \n"), false).ToUtf8(),
              "http:// a b /srv.x/lnkrpcserver");
}

TEST_F(EngineCreateUri, LocatingWritesThePortAfterTheNode) {
    const std::string conf = settings_.Dir() + "/located.conf";
    std::ofstream(conf) << EngineTest::MessengerSection() << "[lnk.cb.servers]\ndadovu.ctrl.server = 4711\n";
    QxPalConfig::SetConfigPath(conf);
    EXPECT_EQ(CreateURI("node1", kServer, true).ToUtf8(), "http://node1:4711/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_THROW(CreateURI("node1", QxPalArray::CharArray_t("unknown.server"), true), QxLnkRpc::RpcException);
    ::unlink(conf.c_str());
}

class EngineByNode : public EngineFixture {
protected:
    String_t Node() const { return String_t(("127.0.0.1:" + std::to_string(daemon_.Port())).c_str()); }
};

TEST_F(EngineByNode, StartStopAndGetUserReachTheNodesDaemon) {
    daemon_.Enqueue(SoapTest::Reply::Result(0));
    daemon_.Enqueue(SoapTest::Reply::Result(0));
    daemon_.Enqueue(SoapTest::Reply::Result(0).Output("uid", "5", "xsd:int").Output("user", "op"));
    EXPECT_EQ(ControlImpl_t::Start("web", true, Node(), options_), 0);
    EXPECT_EQ(ControlImpl_t::Stop("web", true, Node(), options_), 0);
    EXPECT_EQ(ControlImpl_t::GetUser(Node(), options_).user.ToUtf8(), "op");
    const std::vector<SoapTest::RecordedRequest> requests = daemon_.Requests();
    ASSERT_EQ(requests.size(), 3u);
    const char* methods[] = {"start", "stop", "getuser"};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].method, methods[i]);
        EXPECT_EQ(requests[i].path, "/dadovu.ctrl.server/lnkrpcserver");
    }
    EXPECT_EQ(requests[0].Arg("boot"), "true");
    EXPECT_EQ(requests[1].Arg("kill"), "true");
}

TEST_F(EngineByNode, TheCertificateIsTestedOnceForTheUriAndOnceForTheCall) {
    TraceCapture trace(settings_, 1);
    ControlImpl_t::Start("web", false, Node(), options_);
    const std::vector<std::string> texts = trace.Texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "Certificate is not installed");
    EXPECT_EQ(texts[1], "Executing method 'start': target='web' on http://" + Node().ToUtf8() +
                            "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(texts[2], "Certificate is not installed");
}

}  // namespace
