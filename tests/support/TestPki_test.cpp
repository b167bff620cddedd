// Self-tests of the test certificate authority and of the daemon over HTTPS.
#include "TestDaemon.h"
#include "TestPki.h"

#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using SoapTest::Reply;
using SoapTest::TestDaemon;
using SoapTest::TestPki;
using SoapTest::TlsFiles;

const char* const kPath = "/dadovu.ctrl.server/lnkrpcserver";
const std::string kCall =
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
    "<m:getuser xmlns:m=\"urn:ctl\"/></s:Body></s:Envelope>";

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

X509Ptr LoadCert(const std::string& path) {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file) return X509Ptr(nullptr, &X509_free);
    return X509Ptr(PEM_read_X509(file.get(), nullptr, nullptr, nullptr), &X509_free);
}

// The verification error of `certPath` against the authority in `caPath`
// (X509_V_OK when it verifies).
int VerifyError(const std::string& certPath, const std::string& caPath) {
    X509Ptr cert = LoadCert(certPath);
    if (!cert) return -1;
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), &X509_STORE_free);
    if (X509_STORE_load_file(store.get(), caPath.c_str()) != 1) return -1;
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), &X509_STORE_CTX_free);
    if (X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr) != 1) return -1;
    X509_verify_cert(ctx.get());
    return X509_STORE_CTX_get_error(ctx.get());
}

bool MatchesLocalNames(const std::string& certPath) {
    X509Ptr cert = LoadCert(certPath);
    return cert && X509_check_host(cert.get(), "localhost", 0, 0, nullptr) == 1 &&
           X509_check_ip_asc(cert.get(), "127.0.0.1", 0) == 1;
}

TlsFiles ServerFiles(const TestPki& pki) { return {pki.ServerCert(), pki.ServerKey(), "", false}; }

std::unique_ptr<httplib::SSLClient> TrustingClient(const TestDaemon& daemon, const std::string& caFile,
                                                   const std::string& cert = "", const std::string& key = "") {
    auto client = cert.empty() ? std::make_unique<httplib::SSLClient>("127.0.0.1", daemon.Port())
                               : std::make_unique<httplib::SSLClient>("127.0.0.1", daemon.Port(), cert, key);
    client->set_ca_cert_path(caFile.c_str());
    client->enable_server_certificate_verification(true);
    client->set_connection_timeout(std::chrono::seconds(5));
    client->set_read_timeout(std::chrono::seconds(5));
    return client;
}

TEST(TestPki, CertificatesHaveTheAdvertisedProperties) {
    const TestPki& pki = TestPki::Shared();
    EXPECT_EQ(&pki, &TestPki::Shared());
    EXPECT_EQ(VerifyError(pki.ServerCert(), pki.CaFile()), X509_V_OK);
    EXPECT_TRUE(MatchesLocalNames(pki.ServerCert()));
    EXPECT_EQ(VerifyError(pki.ClientCert(), pki.CaFile()), X509_V_OK);
    X509Ptr client = LoadCert(pki.ClientCert());
    ASSERT_TRUE(client);
    char subject[256] = {};
    X509_NAME_oneline(X509_get_subject_name(client.get()), subject, sizeof subject);
    EXPECT_STREQ(subject, "/CN=dadovu-test-client");

    EXPECT_EQ(VerifyError(pki.UntrustedServerCert(), pki.CaFile()), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
    EXPECT_EQ(VerifyError(pki.UntrustedServerCert(), pki.OtherCaFile()), X509_V_OK);
    EXPECT_TRUE(MatchesLocalNames(pki.UntrustedServerCert()));

    EXPECT_EQ(VerifyError(pki.WrongHostServerCert(), pki.CaFile()), X509_V_OK);
    EXPECT_FALSE(MatchesLocalNames(pki.WrongHostServerCert()));
    X509Ptr wrong = LoadCert(pki.WrongHostServerCert());
    ASSERT_TRUE(wrong);
    EXPECT_EQ(X509_check_host(wrong.get(), "wrong.example", 0, 0, nullptr), 1);

    EXPECT_EQ(VerifyError(pki.ExpiredServerCert(), pki.CaFile()), X509_V_ERR_CERT_HAS_EXPIRED);
    EXPECT_TRUE(MatchesLocalNames(pki.ExpiredServerCert()));
}

TEST(TestPki, OwnInstanceRemovesItsDirectory) {
    std::string dir;
    {
        TestPki pki;
        dir = pki.Dir();
        EXPECT_TRUE(std::filesystem::exists(pki.ServerKey()));
        EXPECT_NE(pki.Dir(), TestPki::Shared().Dir());
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(TestDaemonTls, ServesHttpsWithTheTrustedServerCertificate) {
    const TestPki& pki = TestPki::Shared();
    TestDaemon daemon(ServerFiles(pki));
    EXPECT_EQ(daemon.Uri(), "https://127.0.0.1:" + std::to_string(daemon.Port()) + kPath);
    daemon.Enqueue(Reply::Result(4));
    auto client = TrustingClient(daemon, pki.CaFile());
    auto res = client->Post(kPath, kCall, "text/xml");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_NE(res->body.find("<m:getuserResponse xmlns:m=\"urn:ctl\"><result xsi:type=\"xsd:int\">4</result>"),
              std::string::npos);
    ASSERT_EQ(daemon.RequestCount(), 1u);
    EXPECT_EQ(daemon.Requests()[0].method, "getuser");
    EXPECT_EQ(daemon.LastClientSubject(), "");

    // A client that trusts only the other authority refuses this daemon.
    auto distrusting = TrustingClient(daemon, pki.OtherCaFile());
    EXPECT_FALSE(distrusting->Post(kPath, kCall, "text/xml"));
}

TEST(TestDaemonTls, OptionalClientCertificateIsVerifiedAndRecorded) {
    const TestPki& pki = TestPki::Shared();
    TestDaemon daemon(TlsFiles{pki.ServerCert(), pki.ServerKey(), pki.CaFile(), false});

    auto anonymous = TrustingClient(daemon, pki.CaFile());
    auto res = anonymous->Post(kPath, kCall, "text/xml");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(daemon.LastClientSubject(), "");

    auto identified = TrustingClient(daemon, pki.CaFile(), pki.ClientCert(), pki.ClientKey());
    res = identified->Post(kPath, kCall, "text/xml");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(daemon.LastClientSubject(), "/CN=dadovu-test-client");
    const auto requests = daemon.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].clientSubject, "");
    EXPECT_EQ(requests[1].clientSubject, "/CN=dadovu-test-client");

    // A certificate from an authority the daemon does not trust is refused.
    auto stranger = TrustingClient(daemon, pki.CaFile(), pki.UntrustedServerCert(), pki.UntrustedServerKey());
    EXPECT_FALSE(stranger->Post(kPath, kCall, "text/xml"));
    EXPECT_EQ(daemon.RequestCount(), 2u);
}

TEST(TestDaemonTls, RequiredClientCertificateRefusesAnonymousClients) {
    const TestPki& pki = TestPki::Shared();
    TestDaemon daemon(TlsFiles{pki.ServerCert(), pki.ServerKey(), pki.CaFile(), true});
    auto anonymous = TrustingClient(daemon, pki.CaFile());
    EXPECT_FALSE(anonymous->Post(kPath, kCall, "text/xml"));
    EXPECT_EQ(daemon.RequestCount(), 0u);

    auto identified = TrustingClient(daemon, pki.CaFile(), pki.ClientCert(), pki.ClientKey());
    auto res = identified->Post(kPath, kCall, "text/xml");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(daemon.LastClientSubject(), "/CN=dadovu-test-client");
}

TEST(TestDaemonTls, FaultyServerCertificatesAreRefusedByAVerifyingClient) {
    const TestPki& pki = TestPki::Shared();
    TestDaemon wrongHost(TlsFiles{pki.WrongHostServerCert(), pki.WrongHostServerKey(), "", false});
    EXPECT_FALSE(TrustingClient(wrongHost, pki.CaFile())->Post(kPath, kCall, "text/xml"));
    TestDaemon expired(TlsFiles{pki.ExpiredServerCert(), pki.ExpiredServerKey(), "", false});
    EXPECT_FALSE(TrustingClient(expired, pki.CaFile())->Post(kPath, kCall, "text/xml"));
    EXPECT_EQ(wrongHost.RequestCount() + expired.RequestCount(), 0u);
}

TEST(TestDaemonTls, BadFilesThrow) {
    const TestPki& pki = TestPki::Shared();
    EXPECT_THROW(TestDaemon(TlsFiles{pki.Dir() + "/missing.pem", pki.ServerKey(), "", false}), std::runtime_error);
    EXPECT_THROW(TestDaemon(TlsFiles{pki.ServerCert(), pki.ClientKey(), "", false}), std::runtime_error);
    EXPECT_THROW(TestDaemon(TlsFiles{pki.ServerCert(), pki.ServerKey(), "", true}), std::invalid_argument);
}

TEST(TestDaemonTls, StopEndsIdleTlsConnections) {
    const TestPki& pki = TestPki::Shared();
    TestDaemon daemon(ServerFiles(pki));
    auto client = TrustingClient(daemon, pki.CaFile());
    client->set_keep_alive(true);
    ASSERT_TRUE(client->Post(kPath, kCall, "text/xml"));
    ASSERT_TRUE(client->Post(kPath, kCall, "text/xml"));
    EXPECT_EQ(daemon.ConnectionCount(), 1u);
    daemon.Stop();  // must not wait for the idle connection's keep-alive timeout
    EXPECT_FALSE(client->Post(kPath, kCall, "text/xml"));
}

}  // namespace
