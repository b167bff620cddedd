// Calls over HTTPS: verification of the daemon's certificate and name, the
// client certificate, SECURE_COMM, and kept-alive TLS connections.

#include "LnkTestSupport.h"

#include <TestDaemon.h>
#include <TestPki.h>

#include <thread>

namespace {

using LnkTest::Call;
using LnkTest::MakeMessenger;
using SoapTest::TestDaemon;
using SoapTest::TestPki;
using SoapTest::TlsFiles;

const TestPki& Pki() { return TestPki::Shared(); }

TlsFiles Server(const std::string& cert, const std::string& key) {
    TlsFiles files;
    files.certFile = cert;
    files.keyFile = key;
    return files;
}

std::string TrustingSettings() { return "CA_FILE = " + Pki().CaFile() + "\n"; }

std::string RpcText(Call& call) {
    try {
        call.Run();
    } catch (const QxLnkRpc::RpcException& error) {
        return LnkTest::PlainText(error);
    }
    ADD_FAILURE() << "no RpcException";
    return {};
}

TEST(Tls, VerifiedCallsWorkByAddressAndByNameOverOneConnection) {
    TestDaemon daemon(Server(Pki().ServerCert(), Pki().ServerKey()));
    const QxLnkMsg::Messenger messenger = MakeMessenger(TrustingSettings());
    for (const std::string& uri : {daemon.Uri(), daemon.Uri(), daemon.Uri("localhost", "/x/lnkrpcserver")}) {
        Call call;
        call.messenger = messenger;
        call.uri = uri;
        call.inputs = {{"target", QxPalStr::String_t("t\xc3\xbc")}};
        call.Run();
        EXPECT_EQ(call.result, 0) << uri;
    }
    EXPECT_EQ(daemon.Requests().at(0).Arg("target"), "t\xc3\xbc");
    EXPECT_EQ(daemon.ConnectionCount(), 2u) << "one connection per host name, kept alive";
}

TEST(Tls, RefusesAnUnknownAuthorityAnExpiredCertificateAndAWrongName) {
    struct Case {
        std::string cert, key, expected;
    };
    const std::vector<Case> cases = {
        {Pki().UntrustedServerCert(), Pki().UntrustedServerKey(), "issuer"},
        {Pki().ExpiredServerCert(), Pki().ExpiredServerKey(), "expired"},
        {Pki().WrongHostServerCert(), Pki().WrongHostServerKey(), "mismatch"},
    };
    for (const Case& c : cases) {
        TestDaemon daemon(Server(c.cert, c.key));
        Call call;
        call.messenger = MakeMessenger(TrustingSettings());
        call.uri = daemon.Uri();
        const std::string text = RpcText(call);
        EXPECT_NE(text.find(c.expected), std::string::npos) << text;
        EXPECT_NE(text.find(call.uri), std::string::npos) << text;
        EXPECT_EQ(daemon.RequestCount(), 0u);
        // The wrong name is wrong for "localhost" too (its name is checked, not just addresses).
        call.uri = daemon.Uri("localhost", "/x");
        EXPECT_FALSE(RpcText(call).empty());
    }
}

TEST(Tls, WithoutCaFileTheSystemAuthoritiesDoNotTrustTheTestAuthority) {
    TestDaemon daemon(Server(Pki().ServerCert(), Pki().ServerKey()));
    Call call;
    call.messenger = MakeMessenger();
    call.uri = daemon.Uri();
    EXPECT_FALSE(RpcText(call).empty());
    EXPECT_EQ(daemon.RequestCount(), 0u);
}

TEST(Tls, VerifyPeerFalseAcceptsAnyCertificateUnlessSecureCommIsSet) {
    TestDaemon daemon(Server(Pki().UntrustedServerCert(), Pki().UntrustedServerKey()));
    const QxLnkMsg::Messenger messenger = MakeMessenger("VERIFY_PEER = false\n");
    Call plain;
    plain.messenger = messenger;
    plain.uri = daemon.Uri();
    plain.Run();
    EXPECT_EQ(plain.result, 0);

    Call secure;
    secure.messenger = messenger;
    secure.uri = daemon.Uri();
    secure.attributes = LnkTest::Attributes(true);
    EXPECT_NE(RpcText(secure).find("issuer"), std::string::npos);
    EXPECT_EQ(daemon.RequestCount(), 1u);
}

TEST(Tls, SecureCommWithAnHttpUriSendsNothing) {
    SoapTest::RawDaemon daemon(SoapTest::RawDaemon::Mode::NeverAnswer);
    Call call;
    call.messenger = MakeMessenger(TrustingSettings());
    call.uri = daemon.Uri();
    call.attributes = LnkTest::Attributes(true);
    const std::string text = RpcText(call);
    EXPECT_NE(text.find(call.uri), std::string::npos) << text;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(daemon.ConnectionCount(), 0u);
}

TEST(Tls, SecureCommWithAnHttpsUriIsVerified) {
    TestDaemon daemon(Server(Pki().ServerCert(), Pki().ServerKey()));
    Call call;
    call.messenger = MakeMessenger(TrustingSettings());
    call.uri = daemon.Uri();
    call.attributes = LnkTest::Attributes(true);
    call.Run();
    EXPECT_EQ(call.result, 0);
}

TEST(Tls, PresentsTheClientCertificateFromTheSettings) {
    TlsFiles files = Server(Pki().ServerCert(), Pki().ServerKey());
    files.clientCaFile = Pki().CaFile();
    files.requireClientCert = true;
    TestDaemon daemon(files);

    Call call;
    call.messenger = MakeMessenger(TrustingSettings() + "CLIENT_CERT = " + Pki().ClientCert() +
                                   "\nCLIENT_KEY = " + Pki().ClientKey() + "\n");
    call.uri = daemon.Uri();
    call.Run();
    EXPECT_EQ(call.result, 0);
    EXPECT_NE(daemon.LastClientSubject().find("dadovu-test-client"), std::string::npos)
        << daemon.LastClientSubject();

    Call anonymous;
    anonymous.messenger = MakeMessenger(TrustingSettings());
    anonymous.uri = daemon.Uri();
    EXPECT_FALSE(RpcText(anonymous).empty());
    EXPECT_EQ(daemon.RequestCount(), 1u);
}

TEST(Tls, UnloadableCertificatesFailWhenTheMessengerIsBuilt) {
    EXPECT_THROW(MakeMessenger("CA_FILE = /nonexistent/ca.pem\n"), QxLnkRpc::RpcException);
    EXPECT_THROW(MakeMessenger("CLIENT_CERT = /nonexistent/cert.pem\n"), QxLnkRpc::RpcException);
    EXPECT_THROW(MakeMessenger("CLIENT_CERT = " + Pki().ClientCert() + "\nCLIENT_KEY = " + Pki().ServerKey() + "\n"),
                 QxLnkRpc::RpcException)
        << "a key that does not match";
    EXPECT_THROW(MakeMessenger("CLIENT_KEY = " + Pki().ClientKey() + "\n"), QxLnkRpc::RpcException);
}

TEST(Tls, AnIdleTlsConnectionClosedByThePeerIsReplaced) {
    auto daemon = std::make_unique<TestDaemon>(Server(Pki().ServerCert(), Pki().ServerKey()));
    const QxLnkMsg::Messenger messenger = MakeMessenger(TrustingSettings());
    Call call;
    call.messenger = messenger;
    call.uri = daemon->Uri();
    call.Run();
    daemon->Enqueue(SoapTest::Reply::Result(0).CloseConnection());
    call.Run();
    call.Run();
    EXPECT_EQ(daemon->ConnectionCount(), 2u);
    EXPECT_EQ(daemon->RequestCount(), 3u);
}

}  // namespace
