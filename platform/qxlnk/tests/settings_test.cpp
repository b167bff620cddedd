// Messenger settings and server location from the node settings.

#include "LnkTestSupport.h"

namespace {

using LnkTest::MakeMessenger;
using LnkTest::TempSettings;
using QxPalStr::String_t;

TEST(MessengerSettings, DefaultsBuildAValidMessenger) {
    const QxLnkMsg::Messenger messenger = MakeMessenger();
    EXPECT_TRUE(messenger.IsValid());
    const QxLnkMsg::Messenger copy = messenger;
    EXPECT_EQ(copy.GetImpl(), messenger.GetImpl());
    EXPECT_FALSE(QxLnkMsg::Messenger().IsValid());
}

TEST(MessengerSettings, RefusesSettingsThatDoNotParseOrMakeNoSense) {
    for (const char* line : {"TIMEOUT_MS = soon\n", "TIMEOUT_MS = 0\n", "CONNECT_TIMEOUT_MS = -5\n",
                             "MAX_RESPONSE_BYTES = 0\n", "VERIFY_PEER = perhaps\n", "TIMEOUT_MS = 99999999999\n"}) {
        EXPECT_THROW(MakeMessenger(line), QxPalMsg::IllegalArgumentError_t) << line;
    }
}

TEST(LocateServer, ReadsThePortOfAServerFromTheNodeSettings) {
    TempSettings settings("[lnk.cb.servers]\ndadovu.ctrl.server = 4711\nother = 80\n");
    String_t host, protocol;
    int port = 0;
    QxLnkCb::LocateServer("node-a", "dadovu.ctrl.server", host, protocol, port);
    EXPECT_EQ(port, 4711);
    EXPECT_EQ(host.ToUtf8(), "node-a");
    EXPECT_EQ(protocol.ToUtf8(), "http");
}

TEST(LocateServer, UnknownServerOrBadPortNamesServerAndNode) {
    TempSettings settings("[lnk.cb.servers]\nbad.port = 80x\nzero = 0\nhigh = 65536\nempty =\n");
    for (const char* server : {"missing.server", "bad.port", "zero", "high", "empty", ""}) {
        String_t host, protocol;
        int port = 7;
        try {
            QxLnkCb::LocateServer("node-b", server, host, protocol, port);
            FAIL() << "found " << server;
        } catch (const QxLnkRpc::RpcException& error) {
            const std::string text = LnkTest::PlainText(error);
            EXPECT_NE(text.find(std::string("'") + server + "'"), std::string::npos) << text;
            EXPECT_NE(text.find("node-b"), std::string::npos) << text;
        }
        EXPECT_EQ(port, 7);
    }
}

}  // namespace
