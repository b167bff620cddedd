// The daemon over real sockets: endpoint, WSDL, keep-alive, stopping, latency,
// HTTPS and client certificates.
#include "ControlService.h"
#include "SimServer.h"
#include "SimTestSupport.h"
#include "TestPki.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <sstream>

namespace DaDovuSim {
namespace {

using namespace std::chrono_literals;
using SimTest::Arg;
using SimTest::SoapRequest;
using SoapTest::TestPki;

const std::string kStatus = SoapRequest("status", Arg("level", "0", "xsd:int") + Arg("target", "*"));
const std::string kStartWeb = SoapRequest("start", Arg("target", "web") + Arg("boot", "false") + Arg("async", "false"));

ComponentDefinition Def(const std::string& name) {
    ComponentDefinition d;
    d.name = name;
    return d;
}

std::string FaultString(const std::string& body) {
    const auto envelope = SimTest::ParseXml(body);
    const auto* entry = envelope ? SimTest::SoapBodyEntry(*envelope) : nullptr;
    return entry && entry->local == "Fault" ? entry->Child("faultstring")->text : "";
}

std::string ResultOf(const std::string& body) {
    const auto envelope = SimTest::ParseXml(body);
    const auto* entry = envelope ? SimTest::SoapBodyEntry(*envelope) : nullptr;
    const auto* result = entry ? entry->Child("result") : nullptr;
    return result ? result->text : "<none>";
}

template <typename Client>
httplib::Result Post(Client& client, const std::string& body, const std::string& path = kEndpointPath) {
    httplib::Headers headers{{"SOAPAction", "\"\""}};
    return client.Post(path.c_str(), headers, body, "text/xml; charset=utf-8");
}

class Daemon {
public:
    explicit Daemon(ServerOptions options = {}, SecurityPolicy policy = {})
        : service(engine, std::move(policy)), server(service, std::move(options)) {
        engine.Load({Def("web"), Def("db")});
        server.Start();
    }
    ~Daemon() {
        engine.Shutdown();
        server.Stop();
    }
    CommandEngine engine;
    ControlService service;
    SimServer server;
};

TEST(SimServerHttp, ServesSoapAtTheEndpoint) {
    Daemon daemon;
    ASSERT_GT(daemon.server.Port(), 0);
    EXPECT_EQ(daemon.server.Uri(),
              "http://127.0.0.1:" + std::to_string(daemon.server.Port()) + "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_TRUE(daemon.server.IsRunning());
    httplib::Client client("127.0.0.1", daemon.server.Port());
    client.set_read_timeout(10, 0);

    const auto ok = Post(client, kStartWeb);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(ok->get_header_value("Content-Type"), "text/xml; charset=utf-8");
    EXPECT_EQ(ResultOf(ok->body), "0");

    const auto fault = Post(client, SoapRequest("nosuchmethod", ""));
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->status, 500);
    EXPECT_EQ(FaultString(fault->body), "unknown method 'nosuchmethod'");

    const auto elsewhere = Post(client, kStatus, "/other.server/lnkrpcserver");
    ASSERT_TRUE(elsewhere);
    EXPECT_EQ(elsewhere->status, 404);

    const auto get = client.Get(kEndpointPath);
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 405);
}

TEST(SimServerHttp, ServesTheWsdlWithTheAskedAddress) {
    Daemon daemon;
    httplib::Client client("127.0.0.1", daemon.server.Port());
    const auto wsdl = client.Get((std::string(kEndpointPath) + "?wsdl").c_str());
    ASSERT_TRUE(wsdl);
    EXPECT_EQ(wsdl->status, 200);
    std::string error;
    const auto root = SimTest::ParseXml(wsdl->body, &error);
    ASSERT_TRUE(root) << error;
    EXPECT_EQ(root->local, "definitions");
    EXPECT_NE(wsdl->body.find("location=\"" + daemon.server.Uri() + "\""), std::string::npos);

    httplib::Headers otherHost{{"Host", "node17.example:8443"}};
    const auto named = client.Get((std::string(kEndpointPath) + "?WSDL").c_str(), otherHost);
    ASSERT_TRUE(named);
    EXPECT_NE(named->body.find("location=\"http://node17.example:8443/dadovu.ctrl.server/lnkrpcserver\""),
              std::string::npos);

    httplib::Headers hostile{{"Host", "x\"/><evil a=\""}};
    const auto safe = client.Get((std::string(kEndpointPath) + "?wsdl").c_str(), hostile);
    ASSERT_TRUE(safe);
    EXPECT_TRUE(SimTest::ParseXml(safe->body));
    EXPECT_NE(safe->body.find("location=\"" + daemon.server.Uri() + "\""), std::string::npos);
}

TEST(SimServerHttp, OneConnectionCarriesManyRequests) {
    std::ostringstream log;
    ServerOptions options;
    options.log = &log;
    {
        Daemon daemon(options);
        httplib::Client client("127.0.0.1", daemon.server.Port());
        client.set_keep_alive(true);
        client.set_tcp_nodelay(true);
        for (int i = 0; i < 40; ++i) {
            const auto answer = Post(client, kStatus);
            ASSERT_TRUE(answer) << "request " << i;
            ASSERT_EQ(answer->status, 200);
        }
    }
    // Each log line begins with the client's address and port.
    std::set<std::string> peers;
    std::istringstream lines(log.str());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        peers.insert(line.substr(0, line.find(' ')));
        ++count;
    }
    EXPECT_EQ(count, 40);
    EXPECT_EQ(peers.size(), 1u) << log.str();
}

TEST(SimServerHttp, StopDoesNotWaitForIdleKeptAliveConnections) {
    ServerOptions options;
    options.keepAliveTimeout = std::chrono::seconds(300);
    auto daemon = std::make_unique<Daemon>(options);
    httplib::Client client("127.0.0.1", daemon->server.Port());
    client.set_keep_alive(true);
    ASSERT_TRUE(Post(client, kStatus));
    // The connection now idles on the server for up to 300 s.
    auto stopped = std::async(std::launch::async, [&] { daemon->server.Stop(); });
    ASSERT_EQ(stopped.wait_for(60s), std::future_status::ready);
    EXPECT_FALSE(daemon->server.IsRunning());
    EXPECT_FALSE(Post(client, kStatus));  // nothing listens any more
}

TEST(SimServerHttp, LatencyDelaysEveryAnswer) {
    ServerOptions options;
    options.latency = 300ms;
    Daemon daemon(options);
    httplib::Client client("127.0.0.1", daemon.server.Port());
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(Post(client, kStatus));
    EXPECT_GE(std::chrono::steady_clock::now() - began, 300ms);
}

TEST(SimServerHttp, RefusesAPortInUse) {
    Daemon first;
    CommandEngine engine;
    const ControlService service(engine, {});
    ServerOptions options;
    options.port = first.server.Port();
    SimServer second(service, options);
    EXPECT_THROW(second.Start(), std::runtime_error);
}

TEST(SimServerTls, RefusesUnusableMaterial) {
    const TestPki& pki = TestPki::Shared();
    CommandEngine engine;
    const ControlService service(engine, {});
    ServerOptions mismatched;
    mismatched.tlsCertFile = pki.ServerCert();
    mismatched.tlsKeyFile = pki.UntrustedServerKey();
    EXPECT_THROW(SimServer(service, mismatched), std::runtime_error);
    ServerOptions missing;
    missing.tlsCertFile = pki.Dir() + "/nosuch.pem";
    missing.tlsKeyFile = pki.ServerKey();
    EXPECT_THROW(SimServer(service, missing), std::runtime_error);
    ServerOptions caWithoutTls;
    caWithoutTls.clientCaFile = pki.CaFile();
    EXPECT_THROW(SimServer(service, caWithoutTls), std::runtime_error);
}

ServerOptions TlsOptions(bool askForClients) {
    const TestPki& pki = TestPki::Shared();
    ServerOptions options;
    options.tlsCertFile = pki.ServerCert();
    options.tlsKeyFile = pki.ServerKey();
    if (askForClients) options.clientCaFile = pki.CaFile();
    return options;
}

std::unique_ptr<httplib::SSLClient> TlsClient(int port, bool withCertificate) {
    const TestPki& pki = TestPki::Shared();
    auto client = withCertificate
                      ? std::make_unique<httplib::SSLClient>("127.0.0.1", port, pki.ClientCert(), pki.ClientKey())
                      : std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    client->set_ca_cert_path(pki.CaFile().c_str());
    client->enable_server_certificate_verification(true);
    client->set_read_timeout(10, 0);
    return client;
}

TEST(SimServerTls, ServesHttps) {
    Daemon daemon(TlsOptions(false));
    EXPECT_EQ(daemon.server.Uri().rfind("https://127.0.0.1:", 0), 0u);
    auto client = TlsClient(daemon.server.Port(), false);
    const auto answer = Post(*client, kStatus);
    ASSERT_TRUE(answer) << httplib::to_string(answer.error());
    EXPECT_EQ(ResultOf(answer->body), "0");
    // A plain HTTP request gets no SOAP answer.
    httplib::Client plain("127.0.0.1", daemon.server.Port());
    plain.set_read_timeout(5, 0);
    const auto refused = Post(plain, kStatus);
    EXPECT_TRUE(!refused || refused->status != 200);
}

TEST(SimServerTls, ClientWithoutCertificateCompletesHandshakeAndFailsAuthentication) {
    SecurityPolicy policy;
    policy.requireCertificate = true;
    Daemon daemon(TlsOptions(true), policy);
    auto anonymous = TlsClient(daemon.server.Port(), false);
    const auto denied = Post(*anonymous, kStatus);
    ASSERT_TRUE(denied) << httplib::to_string(denied.error());
    EXPECT_EQ(denied->status, 500);
    EXPECT_EQ(FaultString(denied->body), "ctrlauthentication");

    auto known = TlsClient(daemon.server.Port(), true);
    const auto allowed = Post(*known, kStartWeb);
    ASSERT_TRUE(allowed) << httplib::to_string(allowed.error());
    EXPECT_EQ(ResultOf(allowed->body), "0");
}

TEST(SimServerTls, AuthorizationByCertificateSubject) {
    SecurityPolicy listed;
    listed.requireCertificate = true;
    listed.restrictChanges = true;
    listed.authorizedSubjects = {"CN=dadovu-test-client"};
    {
        Daemon daemon(TlsOptions(true), listed);
        auto client = TlsClient(daemon.server.Port(), true);
        const auto answer = Post(*client, kStartWeb);
        ASSERT_TRUE(answer);
        EXPECT_EQ(ResultOf(answer->body), "0");
    }
    SecurityPolicy others = listed;
    others.authorizedSubjects = {"CN=someone-else"};
    Daemon daemon(TlsOptions(true), others);
    auto client = TlsClient(daemon.server.Port(), true);
    const auto denied = Post(*client, kStartWeb);
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->status, 500);
    EXPECT_EQ(FaultString(denied->body), "ctrlauthorization");
    const auto looking = Post(*client, kStatus);
    ASSERT_TRUE(looking);
    EXPECT_EQ(ResultOf(looking->body), "0");
}

TEST(SimServerTls, CertificateFromAnUnknownAuthorityEndsTheHandshake) {
    const TestPki& pki = TestPki::Shared();
    SecurityPolicy policy;
    policy.requireCertificate = true;
    Daemon daemon(TlsOptions(true), policy);
    httplib::SSLClient client("127.0.0.1", daemon.server.Port(), pki.UntrustedServerCert(), pki.UntrustedServerKey());
    client.set_ca_cert_path(pki.CaFile().c_str());
    client.enable_server_certificate_verification(true);
    client.set_read_timeout(10, 0);
    const auto answer = Post(client, kStatus);
    EXPECT_FALSE(answer);
}

}  // namespace
}  // namespace DaDovuSim
