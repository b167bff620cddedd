// Calls over HTTPS (verification of the daemon's certificate and name, the
// client certificate, SECURE_COMM, kept-alive TLS connections), the messenger's
// settings, and server location from the node settings.
#include "LnkTestSupport.h"

#include <TestDaemon.h>
#include <TestPki.h>

namespace {

using namespace LnkTest;
using SoapTest::TestDaemon;

const SoapTest::TestPki& Pki() { return SoapTest::TestPki::Shared(); }

SoapTest::TlsFiles Server(const std::string& cert, const std::string& key, bool askClient = false) {
    return {cert, key, askClient ? Pki().CaFile() : "", askClient};
}

TEST(Tls, VerifiedCallsWorkByAddressAndByNameOverKeptAliveConnections) {
    TestDaemon daemon(Server(Pki().ServerCert(), Pki().ServerKey()));
    Call call;
    call.messenger = MakeMessenger("CA_FILE = " + Pki().CaFile() + "\n");
    call.inputs = {Text("target", String_t("t\xc3\xbc"))};
    const std::string byName = daemon.Uri("localhost", "/x");
    for (const std::string& uri : {daemon.Uri(), daemon.Uri(), byName, daemon.Uri(), daemon.Uri()}) {
        if (daemon.RequestCount() == 3) daemon.Enqueue(SoapTest::Reply::Result(0).CloseConnection());
        call.uri = uri;
        call.result = -1;
        EXPECT_EQ(call.OutcomeAndResult(), "ok 0") << uri;
    }
    EXPECT_EQ(daemon.Requests().at(0).Arg("target"), "t\xc3\xbc");
    EXPECT_EQ(daemon.ConnectionCount(), 3u) << "one per host name, kept alive until the daemon closes it";
}

TEST(Tls, RefusesWhatCannotBeVerifiedBeforeSendingAnything) {
    const std::string trusting = "CA_FILE = " + Pki().CaFile() + "\n";
    const std::string client = "CLIENT_CERT = " + Pki().ClientCert() + "\nCLIENT_KEY = " + Pki().ClientKey() + "\n";
    const struct {
        SoapTest::TlsFiles server;
        std::string settings;
        bool secure;
        std::string expected;  // "ok", or a part of the RpcException's text
    } cases[] = {
        {Server(Pki().UntrustedServerCert(), Pki().UntrustedServerKey()), trusting, false, "issuer"},
        {Server(Pki().ExpiredServerCert(), Pki().ExpiredServerKey()), trusting, false, "expired"},
        {Server(Pki().WrongHostServerCert(), Pki().WrongHostServerKey()), trusting, false, "mismatch"},
        {Server(Pki().ServerCert(), Pki().ServerKey()), "", false, ""},  // the system's authorities do not know it
        {Server(Pki().UntrustedServerCert(), Pki().UntrustedServerKey()), "VERIFY_PEER = false\n", false, "ok"},
        {Server(Pki().UntrustedServerCert(), Pki().UntrustedServerKey()), "VERIFY_PEER =\n", false, "issuer"},
        {Server(Pki().UntrustedServerCert(), Pki().UntrustedServerKey()), "VERIFY_PEER = false\n", true, "issuer"},
        {Server(Pki().ServerCert(), Pki().ServerKey()), trusting, true, "ok"},
        {Server(Pki().ServerCert(), Pki().ServerKey(), true), trusting + client, false, "ok"},
        {Server(Pki().ServerCert(), Pki().ServerKey(), true), trusting, false, ""},  // no client certificate
    };
    for (const auto& c : cases) {
        TestDaemon daemon(c.server);
        Call call;
        call.messenger = MakeMessenger(c.settings);
        call.attributes = Attributes(c.secure);
        for (const std::string& uri : {daemon.Uri(), daemon.Uri("localhost", "/x")}) {
            call.uri = uri;
            const std::string outcome = call.Outcome();
            if (c.expected == "ok") {
                EXPECT_EQ(outcome, "ok") << c.settings;
            } else {
                EXPECT_TRUE(outcome.rfind("rpc: ", 0) == 0 && Contains(outcome, c.expected) && Contains(outcome, uri))
                    << c.settings << outcome;
            }
        }
        EXPECT_EQ(daemon.RequestCount(), c.expected == "ok" ? 2u : 0u) << c.settings;
        if (c.server.requireClientCert && c.expected == "ok") {
            EXPECT_TRUE(Contains(daemon.LastClientSubject(), "dadovu-test-client")) << daemon.LastClientSubject();
        }
    }
}

TEST(MessengerSettings, RefusesSettingsThatDoNotParseAndCertificatesThatDoNotLoad) {
    for (const char* line : {"TIMEOUT_MS = soon\n", "TIMEOUT_MS = 0\n", "CONNECT_TIMEOUT_MS = -5\n",
                             "MAX_RESPONSE_BYTES = 0\n", "VERIFY_PEER = perhaps\n", "TIMEOUT_MS = 99999999999\n",
                             "MAX_RESPONSE_BYTES = 2147483648\n", "MAX_IDLE_CONNECTIONS = 0\n"}) {
        EXPECT_THROW(MakeMessenger(line), QxPalMsg::IllegalArgumentError_t) << line;
    }
    for (const std::string& lines :
         {std::string("CA_FILE = /nonexistent/ca.pem\n"), std::string("CLIENT_CERT = /nonexistent/cert.pem\n"),
          "CLIENT_KEY = " + Pki().ClientKey() + "\n",
          "CLIENT_CERT = " + Pki().ClientCert() + "\nCLIENT_KEY = " + Pki().ServerKey() + "\n"}) {  // not its key
        EXPECT_THROW(MakeMessenger(lines), QxLnkRpc::RpcException) << lines;
    }
}

TEST(LocateServer, ReadsThePortOfAServerOrNamesServerAndNode) {
    TempSettings settings("[lnk.cb.servers]\ndadovu.ctrl.server = 4711\nbad.port = 80x\nzero = 0\nhigh = 65536\n"
                          "empty =\n");
    String_t host, protocol;
    int port = 0;
    QxLnkCb::LocateServer("node-a", "dadovu.ctrl.server", host, protocol, port);
    EXPECT_EQ(std::to_string(port) + " " + host.ToUtf8() + " " + protocol.ToUtf8(), "4711 node-a http");
    for (const char* server : {"missing.server", "bad.port", "zero", "high", "empty", ""}) {
        const std::string outcome = OutcomeOf([&] { QxLnkCb::LocateServer("node-b", server, host, protocol, port); });
        EXPECT_TRUE(outcome.rfind("rpc: ", 0) == 0 && Contains(outcome, std::string("'") + server + "'") &&
                    Contains(outcome, "node-b"))
            << outcome;
        EXPECT_EQ(port, 4711);
    }
}

}  // namespace
