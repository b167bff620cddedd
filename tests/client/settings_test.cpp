// Client settings, given in code and read from the node settings file: where
// requests go, what travels with them, and what is refused when a client is
// built. Also which clients share a connection pool.

#include <climits>
#include <functional>

#include "ClientTestSupport.h"

namespace {

using namespace ClientTest;

class ClientConfig : public ::testing::Test {
protected:
    std::string Node() const { return "127.0.0.1:" + std::to_string(daemon_.Port()); }

    TestDaemon daemon_;
};

TEST_F(ClientConfig, NodeNameMakesTheControlEndpointAndTheLastOneSetCounts) {
    Client byNode(ClientSettings().SetNode(Node()));
    EXPECT_EQ(byNode.GetEndpoint(), "http://" + Node() + "/dadovu.ctrl.server/lnkrpcserver");
    byNode.Start("web");
    ASSERT_EQ(daemon_.RequestCount(), 1u);
    EXPECT_EQ(daemon_.Requests()[0].path, "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(daemon_.Requests()[0].method, "start");

    Client byUri(ClientSettings().SetNode("elsewhere.invalid").SetEndpoint(daemon_.Uri("/other/path")));
    EXPECT_EQ(byUri.GetEndpoint(), daemon_.Uri("/other/path"));
    byUri.Status("*");
    EXPECT_EQ(daemon_.Requests().back().path, "/other/path");

    EXPECT_EQ(Client(ClientSettings().SetEndpoint("http://elsewhere.invalid/x").SetNode(Node())).GetEndpoint(),
              daemon_.Uri());
    EXPECT_EQ(Client(ClientSettings().SetNode(Node()).SetSecure(true)).GetEndpoint(),
              "https://" + Node() + "/dadovu.ctrl.server/lnkrpcserver");
    EXPECT_EQ(Client(ClientSettings().SetNode("::1")).GetEndpoint(), "http://[::1]/dadovu.ctrl.server/lnkrpcserver");
}

// The response limit, and a client certificate with its key in the same file, as given in code.
TEST_F(ClientConfig, LimitsAndIdentityGivenInCodeApply) {
    daemon_.Enqueue(Reply::Result(0).Output("status", std::string(10000, 'x')));
    const Error error = ErrorOf([&] { Client(At(daemon_.Uri()).SetMaxResponseBytes(1000)).Status("*"); });
    EXPECT_EQ(error.GetKind(), ErrorKind::MalformedAnswer) << error.what();

    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    TempDir dir;
    const std::string both = dir.Write("both.pem", FileText(pki.ObserverCert()) + FileText(pki.ObserverKey()));
    TestDaemon tls(SoapTest::TlsFiles{pki.ServerCert(), pki.ServerKey(), pki.CaFile(), true});
    Client(At(tls.Uri()).SetCaFile(pki.CaFile()).SetClientCertificate(both)).Start("web");
    EXPECT_EQ(tls.LastClientSubject(), "/CN=dadovu-test-observer");
}

TEST_F(ClientConfig, TargetIdTravelsWithEveryRequestButTheRegistrations) {
    const std::string id = "ops/7 \xC3\xA9";
    for (const bool withId : {true, false}) {
        daemon_.ClearRecords();
        Client client(At(daemon_.Uri()).SetTargetId(withId ? id : ""));
        client.Start("web");
        client.Stop("web");
        client.StartAsync("web");
        client.Notify("reload", "now", "web");
        client.Status("web");
        client.Components("web");
        client.GetUser();
        client.Progress(DaDovu::RequestId(1024));
        client.AddComponent("extra.conf");
        client.DeleteComponent("extra");
        const std::vector<SoapTest::RecordedRequest> requests = daemon_.Requests();
        const std::vector<std::string> methods = {"start",        "stop",           "start",   "notify",
                                                  "status",       "statusaslist",   "getuser", "requestprogress",
                                                  "addcomponent", "deletecomponent"};
        ASSERT_EQ(requests.size(), methods.size());
        for (std::size_t i = 0; i < methods.size(); ++i) {
            EXPECT_EQ(requests[i].method, methods[i]);
            const bool carries = withId && methods[i] != "addcomponent" && methods[i] != "deletecomponent";
            EXPECT_EQ(requests[i].targetId, carries ? std::optional<std::string>(id) : std::nullopt) << methods[i];
        }
    }
}

TEST_F(ClientConfig, CloseConnectionAfterUseSendsConnectionClose) {
    Client closing(At(daemon_.Uri()).SetCloseConnectionAfterUse(true));
    closing.Status("*");
    closing.Start("web");
    for (const SoapTest::RecordedRequest& request : daemon_.Requests())
        EXPECT_EQ(request.Header("connection"), "close");
    EXPECT_EQ(daemon_.ConnectionCount(), 2u);

    daemon_.ClearRecords();
    Client keeping(At(daemon_.Uri()));
    keeping.Status("*");
    keeping.Start("web");
    for (const SoapTest::RecordedRequest& request : daemon_.Requests())
        EXPECT_NE(request.Header("connection"), "close");
    EXPECT_EQ(daemon_.ConnectionCount(), 1u);
}

// Copies share the pool: one kept-alive connection serves them all, in turn.
TEST_F(ClientConfig, CopiesShareThePoolAndDistinctClientsDoNot) {
    std::optional<Client> original(Client(At(daemon_.Uri())));
    original->Status("*");
    Client copy = *original;
    copy.Status("*");
    Client assigned(At("http://elsewhere.invalid/"));
    assigned = copy;
    assigned.Start("web");
    Client moved(std::move(copy));
    original.reset();  // the copies keep the pool alive
    moved.Stop("web");
    assigned.GetUser();
    EXPECT_EQ(daemon_.RequestCount(), 5u);
    EXPECT_EQ(daemon_.ConnectionCount(), 1u);

    Client other(At(daemon_.Uri()));
    other.Status("*");
    EXPECT_EQ(daemon_.ConnectionCount(), 2u);
    moved.Status("*");
    other.Status("*");
    EXPECT_EQ(daemon_.ConnectionCount(), 2u);
}

// --- From the node settings file ---------------------------------------------

TEST_F(ClientConfig, FromNodeSettingsReadsTheCallTimeout) {
    RawDaemon silent(RawDaemon::Mode::NeverAnswer);
    NodeFile file(
        "[lnk.http.ext.ctrl]\nCONNECT_TIMEOUT_MS = 3000\nTIMEOUT_MS = 300\n"
        "[sec.cm.certificates]\nCERT_INSTALLED = false\n");
    Client client = Client::FromNodeSettings("127.0.0.1:" + std::to_string(silent.Port()));
    EXPECT_EQ(client.GetEndpoint(), silent.Uri());
    const auto begin = Clock::now();
    const Error error = ErrorOf([&] { client.Start("web"); });  // bound by TIMEOUT_MS, not by 60 s
    EXPECT_EQ(error.GetKind(), ErrorKind::NoAnswer) << error.what();
    EXPECT_LT(Clock::now() - begin, 5s);
    EXPECT_EQ(silent.RequestCount(), 1u);
}

// Of `extra`, the hooks, the target ID and the TLS settings count: its endpoint and timeouts do not.
TEST_F(ClientConfig, FromNodeSettingsTakesHooksTargetIdAndTlsOfExtra) {
    NodeFile file("[lnk.http.ext.ctrl]\nTIMEOUT_MS = 10000\n[ctrl]\nCLOSE_CONN_AFTER_USE = true\n");
    std::vector<std::string> traced;
    const ClientSettings extra = At("http://elsewhere.invalid/x")
                                     .SetCallTimeout(1ms)
                                     .SetTargetId("from-extra")
                                     .SetTraceHook([&](int, std::string_view text) { traced.emplace_back(text); });
    Client client = Client::FromNodeSettings(Node(), extra);
    EXPECT_EQ(client.GetEndpoint(), daemon_.Uri());
    client.Start("web");
    ASSERT_EQ(daemon_.RequestCount(), 1u);
    const SoapTest::RecordedRequest request = daemon_.Requests()[0];
    EXPECT_EQ(request.Header("connection"), "close");  // CLOSE_CONN_AFTER_USE of [ctrl]
    EXPECT_EQ(request.targetId, std::optional<std::string>("from-extra"));
    EXPECT_FALSE(traced.empty());
}

TEST_F(ClientConfig, FromNodeSettingsGoesSecureWithCertInstalled) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    TestDaemon tls(SoapTest::TlsFiles{pki.ServerCert(), pki.ServerKey(), "", false});
    NodeFile file("[lnk.http.ext.ctrl]\nCA_FILE = " + pki.CaFile() + "\n[sec.cm.certificates]\nCERT_INSTALLED = yes\n");
    Client client = Client::FromNodeSettings("127.0.0.1:" + std::to_string(tls.Port()));
    EXPECT_EQ(client.GetEndpoint(), tls.Uri());
    EXPECT_EQ(client.GetEndpoint().rfind("https://", 0), 0u);
    tls.Enqueue(Reply::Result(0).Output("status", "web state=running\n"));
    EXPECT_EQ(client.Status("web"), "web state=running\n");
}

// The TLS files and SetSecure(true) of `extra` take the place of the file's:
// a command line's --cacert and --https over the settings.
TEST_F(ClientConfig, FromNodeSettingsTakesTheTlsFilesAndSecureOfExtraOverTheFiles) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    TestDaemon tls(SoapTest::TlsFiles{pki.ServerCert(), pki.ServerKey(), "", false});
    NodeFile file("[lnk.http.ext.ctrl]\nCA_FILE = " + pki.UntrustedServerCert() + "\n");
    const std::string node = "127.0.0.1:" + std::to_string(tls.Port());
    tls.Enqueue(Reply::Result(0).Output("status", "web state=running\n"));
    EXPECT_EQ(ErrorOf([&] { Client::FromNodeSettings(node, ClientSettings().SetSecure(true)).Status("web"); })
                  .GetKind(),
              ErrorKind::Tls);  // the file's authority does not know the daemon
    Client client = Client::FromNodeSettings(node, ClientSettings().SetSecure(true).SetCaFile(pki.CaFile()));
    EXPECT_EQ(client.GetEndpoint(), tls.Uri());
    EXPECT_EQ(client.Status("web"), "web state=running\n");
    // Not secure in `extra` leaves the file's word: an unset flag weakens nothing.
    NodeFile secure("[sec.cm.certificates]\nCERT_INSTALLED = true\n");
    EXPECT_EQ(Client::FromNodeSettings(node, ClientSettings().SetSecure(false)).GetEndpoint(), tls.Uri());
}

// A security setting that cannot be read never turns TLS off; the program hears of it.
TEST_F(ClientConfig, UnreadableCertInstalledMakesTheClientSecureAndWarns) {
    NodeFile file("[sec.cm.certificates]\nCERT_INSTALLED = perhaps\n");
    std::vector<std::pair<DaDovu::Severity, std::string>> logged;
    Client client = Client::FromNodeSettings(
        Node(),
        ClientSettings().SetLogHook([&](DaDovu::Severity s, std::string_view t) { logged.emplace_back(s, t); }));
    EXPECT_EQ(client.GetEndpoint(), "https://" + Node() + "/dadovu.ctrl.server/lnkrpcserver");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].first, DaDovu::Severity::Warning);
    EXPECT_NE(logged[0].second.find("CERT_INSTALLED"), std::string::npos) << logged[0].second;
    EXPECT_NE(logged[0].second.find("perhaps"), std::string::npos) << logged[0].second;
    // Secure means verified TLS: the plain-HTTP daemon is never sent a request.
    EXPECT_EQ(ErrorOf([&] { client.Status("*"); }).GetKind(), ErrorKind::Tls);
    EXPECT_EQ(daemon_.RequestCount(), 0u);
}

// --- TLS files: read by the first https request ---------------------------------

// Authorities, certificate and key that cannot be loaded: the client is built,
// an http request reads none of them, and every https request fails with Tls,
// naming the file and the reason, before a connection is made, until the file
// loads.
TEST(ClientTlsFiles, AreReadByTheFirstHttpsRequestAndFailItNamingFileAndReason) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    TempDir dir;
    const std::string junk = dir.Write("junk.pem", "not PEM\n");
    const std::string missing = dir.Path() + "/later.pem";
    const struct {
        std::string name;
        std::function<ClientSettings(ClientSettings)> set;
        std::string expected;  // the start of the detail
    } cases[] = {
        {"MissingCaFile", [&](ClientSettings s) { return s.SetCaFile(missing); },
         "Cannot load the CA file " + missing + ": No such file or directory"},
        {"CaFileNotPem", [&](ClientSettings s) { return s.SetCaFile(junk); },
         "Cannot load the CA file " + junk + ": no certificate or crl found"},
        {"MissingCaDirectory", [&](ClientSettings s) { return s.SetCaDirectory(dir.Path() + "/certs"); },
         "Cannot load the CA directory " + dir.Path() + "/certs: No such file or directory"},
        {"MissingCertificate",
         [&](ClientSettings s) { return s.SetCaFile(pki.CaFile()).SetClientCertificate(missing, pki.ClientKey()); },
         "Cannot load the client certificate " + missing + ": No such file or directory"},
        {"CertificateNotPem",
         [&](ClientSettings s) { return s.SetCaFile(pki.CaFile()).SetClientCertificate(junk, pki.ClientKey()); },
         "Cannot load the client certificate " + junk + ": no start line"},
        {"KeyNotPem",
         [&](ClientSettings s) { return s.SetCaFile(pki.CaFile()).SetClientCertificate(pki.ClientCert(), junk); },
         "Cannot load the client key " + junk + ": "},
        {"KeyOfAnotherCertificate",
         [&](ClientSettings s) {
             return s.SetCaFile(pki.CaFile()).SetClientCertificate(pki.ClientCert(), pki.ObserverKey());
         },
         "The client key " + pki.ObserverKey() + " does not match the client certificate " + pki.ClientCert()},
    };
    TestDaemon http;
    TestDaemon https(SoapTest::TlsFiles{pki.ServerCert(), pki.ServerKey(), pki.CaFile(), true});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client client(c.set(At(https.Uri())));
        client.ForNode(http.Uri()).Start("web");
        EXPECT_EQ(http.RequestCount(), 1u);
        http.ClearRecords();
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Error error = ErrorOf([&] { client.Start("web"); });
            EXPECT_EQ(error.GetKind(), ErrorKind::Tls) << error.what();
            EXPECT_FALSE(error.MayHaveActed());
            ASSERT_FALSE(error.GetDetails().empty()) << error.what();
            EXPECT_EQ(error.GetDetails()[0].rfind(c.expected, 0), 0u) << error.GetDetails()[0];
            EXPECT_NE(error.GetDetails()[0].find(https.Uri()), std::string::npos) << error.GetDetails()[0];
        }
        EXPECT_EQ(https.ConnectionCount(), 0u);
    }
    // The file that was missing is there now: the next https request loads it.
    Client client(At(https.Uri()).SetCaFile(missing).SetClientCertificate(pki.ClientCert(), pki.ClientKey()));
    EXPECT_EQ(ErrorOf([&] { client.Start("web"); }).GetKind(), ErrorKind::Tls);
    dir.Write("later.pem", FileText(pki.CaFile()));
    client.Start("web");
    EXPECT_EQ(https.RequestCount(), 1u);
}

// The same from the node settings file.
TEST(ClientTlsFiles, FromNodeSettingsAreReadByTheFirstHttpsRequest) {
    TestDaemon http;
    NodeFile file("[lnk.http.ext.ctrl]\nCA_FILE = /nonexistent/ca.pem\n");
    Client client = Client::FromNodeSettings("127.0.0.1:" + std::to_string(http.Port()));
    client.Start("web");
    EXPECT_EQ(http.RequestCount(), 1u);
    const Error error = ErrorOf([&] { client.ForNode("https://127.0.0.1:9/dadovu.ctrl.server/lnkrpcserver").Start("web"); });
    EXPECT_EQ(error.GetKind(), ErrorKind::Tls) << error.what();
    ASSERT_FALSE(error.GetDetails().empty());
    EXPECT_EQ(error.GetDetails()[0].rfind("Cannot load the CA file /nonexistent/ca.pem: No such file or directory", 0),
              0u)
        << error.GetDetails()[0];
}

// --- Refused when built ---------------------------------------------------------

struct Refusal {
    std::string name;
    std::function<Client()> build;
    ErrorKind kind;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, ThrowsItsKindNamingConnect) {
    const Error error = ErrorOf([&] { GetParam().build(); });
    EXPECT_EQ(error.GetKind(), GetParam().kind) << error.what();
    EXPECT_EQ(error.GetOperation(), "connect");
    EXPECT_EQ(std::string(error.what()).rfind("connect", 0), 0u) << error.what();
    EXPECT_FALSE(error.GetDetails().empty());
    EXPECT_EQ(error.GetResultCode(), std::nullopt);
    EXPECT_FALSE(error.MayHaveActed());
    // No line of a log can be forged through what the program was given.
    EXPECT_EQ(error.GetEndpoint().find_first_of("\r\n"), std::string::npos) << error.GetEndpoint();
    EXPECT_EQ(std::string(error.what()).find_first_of("\r\n"), std::string::npos) << error.what();
}

const std::string kLocal = "http://127.0.0.1:9/dadovu.ctrl.server/lnkrpcserver";

Client FromFile(const std::string& text) {
    NodeFile file(text);
    return Client::FromNodeSettings("127.0.0.1:9");
}

Client WithKeyOnly() { return Client(At(kLocal).SetClientCertificate("", SoapTest::TestPki::Shared().ClientKey())); }

std::vector<Refusal> Refusals() {
    using K = ErrorKind;
    const auto code = [](std::function<ClientSettings()> settings) {
        return [settings] { return Client(settings()); };
    };
    return {
        {"ZeroCallTimeout", code([] { return At(kLocal).SetCallTimeout(0ms); }), K::InvalidArgument},
        {"NegativeConnectTimeout", code([] { return At(kLocal).SetConnectTimeout(-5ms); }), K::InvalidArgument},
        {"CallTimeoutBeyondInt",
         code([] { return At(kLocal).SetCallTimeout(std::chrono::milliseconds(INT_MAX + 1LL)); }), K::InvalidArgument},
        {"ZeroMaxResponseBytes", code([] { return At(kLocal).SetMaxResponseBytes(0); }), K::InvalidArgument},
        {"MaxResponseBytesBeyondInt", code([] { return At(kLocal).SetMaxResponseBytes(std::size_t{1} << 31); }),
         K::InvalidArgument},
        {"ZeroIdleCap", code([] { return At(kLocal).SetMaxIdleConnections(0); }), K::InvalidArgument},
        {"FtpEndpoint", code([] { return At("ftp://127.0.0.1/dadovu"); }), K::InvalidArgument},
        {"EndpointWithoutHost", code([] { return At("http:///dadovu"); }), K::InvalidArgument},
        {"EndpointWithBlank", code([] { return At("http://127.0.0.1/a b"); }), K::InvalidArgument},
        {"EndpointWithNewline", code([] { return At("http://127.0.0.1/a\r\nX-Forged: 1"); }), K::InvalidArgument},
        {"NodeWithNewline", code([] { return ClientSettings().SetNode("127.0.0.1\nX-Forged: 1"); }),
         K::InvalidArgument},
        {"EndpointNotUtf8", code([] { return At("http://127.0.0.1/\xC3("); }), K::InvalidArgument},
        {"NodeWithAt", code([] { return ClientSettings().SetNode("user@127.0.0.1:9"); }), K::InvalidArgument},
        {"NodeWithSlash", code([] { return ClientSettings().SetNode("host/evil"); }), K::InvalidArgument},
        {"EmptyNode", code([] { return ClientSettings().SetNode(""); }), K::InvalidArgument},
        {"TargetIdNotUtf8", code([] { return At(kLocal).SetTargetId("\xFF"); }), K::InvalidArgument},
        {"KeyWithoutCertificate", WithKeyOnly, K::Tls},
        {"SecureHttpEndpoint", code([] { return At(kLocal).SetSecure(true); }), K::Tls},
        {"FileZeroTimeout", [] { return FromFile("[lnk.http.ext.ctrl]\nTIMEOUT_MS = 0\n"); }, K::InvalidArgument},
        {"FileTimeoutNotANumber", [] { return FromFile("[lnk.http.ext.ctrl]\nTIMEOUT_MS = soon\n"); },
         K::InvalidArgument},
        {"FileZeroMaxResponseBytes", [] { return FromFile("[lnk.http.ext.ctrl]\nMAX_RESPONSE_BYTES = 0\n"); },
         K::InvalidArgument},
        {"FileZeroIdleCap", [] { return FromFile("[lnk.http.ext.ctrl]\nMAX_IDLE_CONNECTIONS = 0\n"); },
         K::InvalidArgument},
        {"FileCloseConnectionNotABoolean", [] { return FromFile("[ctrl]\nCLOSE_CONN_AFTER_USE = perhaps\n"); },
         K::InvalidArgument},
        {"FileKeyWithoutCertificate",
         [] { return FromFile("[lnk.http.ext.ctrl]\nCLIENT_KEY = " + SoapTest::TestPki::Shared().ClientKey() + "\n"); },
         K::Tls},
        {"FileIsADirectory",
         [] {
             TempDir dir;
             NodeFile file(dir.Path(), /*asPath=*/true);
             return Client::FromNodeSettings("127.0.0.1:9");
         },
         K::InvalidArgument},
        {"FileNodeWithAt",
         [] {
             NodeFile file("");
             return Client::FromNodeSettings("user@127.0.0.1:9");
         },
         K::InvalidArgument},
    };
}

INSTANTIATE_TEST_SUITE_P(Client, Refused, ::testing::ValuesIn(Refusals()),
                         [](const ::testing::TestParamInfo<Refusal>& param) { return param.param.name; });

}  // namespace
