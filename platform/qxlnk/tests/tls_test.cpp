// Calls over HTTPS (verification of the daemon's certificate and name, the
// client certificate, SECURE_COMM, kept-alive TLS connections), the messenger's
// settings, and server location from the node settings.
#include "LnkTestSupport.h"

#include <Process.h>
#include <TestDaemon.h>
#include <TestPki.h>

#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace LnkTest;
using SoapTest::TestDaemon;

const SoapTest::TestPki& Pki() { return SoapTest::TestPki::Shared(); }

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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

TEST(MessengerSettings, RefusesSettingsThatDoNotParse) {
    for (const char* line : {"TIMEOUT_MS = soon\n", "TIMEOUT_MS = 0\n", "CONNECT_TIMEOUT_MS = -5\n",
                             "MAX_RESPONSE_BYTES = 0\n", "VERIFY_PEER = perhaps\n", "TIMEOUT_MS = 99999999999\n",
                             "MAX_RESPONSE_BYTES = 2147483648\n", "MAX_IDLE_CONNECTIONS = 0\n"}) {
        EXPECT_THROW(MakeMessenger(line), QxPalMsg::IllegalArgumentError_t) << line;
    }
    // Whatever its file holds, a key without its certificate cannot work.
    EXPECT_THROW(MakeMessenger("CLIENT_KEY = " + Pki().ClientKey() + "\n"), QxLnkRpc::RpcTlsException);
}

// "tls: <text>" for an RpcTlsException, else the outcome as OutcomeOf words it.
std::string TlsOutcome(Call& call) {
    try {
        call.Run();
        return "ok";
    } catch (const QxLnkRpc::RpcTlsException& e) {
        return "tls: " + e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
    } catch (...) {
        return OutcomeOf([&] { throw; });
    }
}

// The authorities, certificate and key are files read by the first TLS
// connection, not by the messenger's constructor: a plain HTTP call reads
// none of them. One that cannot be loaded fails each TLS call, naming the file
// and the reason, before anything is connected; the next call tries again.
TEST(TlsFiles, AreLoadedByTheFirstTlsConnectionAndFailItNamingFileAndReason) {
    SoapTest::TempDir dir;
    const std::string junk = dir.Write("junk.pem", "not PEM\n");
    const std::string missing = dir.Path() + "/later.pem";
    const std::string ca = "CA_FILE = " + Pki().CaFile() + "\n";
    const struct {
        std::string settings;
        std::string expected;  // the start of the message
    } cases[] = {
        {"CA_FILE = " + missing + "\n", "Cannot load the CA file " + missing + ": No such file or directory"},
        {"CA_FILE = " + junk + "\n", "Cannot load the CA file " + junk + ": no certificate or crl found"},
        {"CA_FILE = " + dir.Path() + "\n", "Cannot load the CA file " + dir.Path() + ": Is a directory"},
        {"CA_DIR = " + dir.Path() + "/certs\n",
         "Cannot load the CA directory " + dir.Path() + "/certs: No such file or directory"},
        {"CA_DIR = " + junk + "\n", "Cannot load the CA directory " + junk + ": Not a directory"},
        {ca + "CLIENT_CERT = " + missing + "\nCLIENT_KEY = " + Pki().ClientKey() + "\n",
         "Cannot load the client certificate " + missing + ": No such file or directory"},
        {ca + "CLIENT_CERT = " + junk + "\nCLIENT_KEY = " + Pki().ClientKey() + "\n",
         "Cannot load the client certificate " + junk + ": no start line"},
        {ca + "CLIENT_CERT = " + Pki().ClientCert() + "\nCLIENT_KEY = " + missing + "\n",
         "Cannot load the client key " + missing + ": No such file or directory"},
        {ca + "CLIENT_CERT = " + Pki().ClientCert() + "\nCLIENT_KEY = " + junk + "\n",
         "Cannot load the client key " + junk + ": unsupported"},
        {ca + "CLIENT_CERT = " + Pki().ClientCert() + "\n",  // the key expected in the certificate's file
         "Cannot load the client key " + Pki().ClientCert() + ": unsupported"},
        {ca + "CLIENT_CERT = " + Pki().ClientCert() + "\nCLIENT_KEY = " + Pki().ServerKey() + "\n",
         "The client key " + Pki().ServerKey() + " does not match the client certificate " + Pki().ClientCert() +
             " (key values mismatch)"},
    };
    TestDaemon http;
    TestDaemon https(Server(Pki().ServerCert(), Pki().ServerKey(), true));
    for (const auto& c : cases) {
        Call call;
        call.messenger = MakeMessenger(c.settings);
        call.uri = http.Uri();
        EXPECT_EQ(call.Outcome(), "ok") << c.settings;
        call.uri = https.Uri();
        for (int attempt = 0; attempt < 2; ++attempt) {
            const std::string outcome = TlsOutcome(call);
            EXPECT_EQ(outcome.rfind("tls: " + c.expected, 0), 0u) << c.settings << outcome;
            EXPECT_TRUE(Contains(outcome, https.Uri())) << outcome;
        }
    }
    EXPECT_EQ(http.RequestCount(), std::size(cases));
    EXPECT_EQ(https.ConnectionCount(), 0u) << "nothing is connected without the files";

    // The missing file is there now: the same messenger loads it and calls.
    Call call;
    call.messenger = MakeMessenger("CA_FILE = " + missing + "\nCLIENT_CERT = " + Pki().ClientCert() +
                                   "\nCLIENT_KEY = " + Pki().ClientKey() + "\n");
    call.uri = https.Uri();
    EXPECT_EQ(TlsOutcome(call).rfind("tls: Cannot load the CA file", 0), 0u);
    dir.Write("later.pem", FileText(Pki().CaFile()));
    EXPECT_EQ(TlsOutcome(call), "ok");
    EXPECT_EQ(https.RequestCount(), 1u);
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
