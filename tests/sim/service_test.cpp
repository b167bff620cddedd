// The daemon's endpoint: each method's answer, the faults for requests it
// cannot take, authentication and authorization, and the HTTP server.
#include "ControlService.h"
#include "Fleet.h"
#include "SimServer.h"
#include "SimTestSupport.h"
#include "SoapMessage.h"

#include <RawHttp.h>
#include <TestPki.h>
#include <httplib.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <sstream>
#include <thread>

namespace DaDovuSim {
namespace {

using SimTest::SoapRequest;

std::string Call(const ControlService& service, const std::string& body, const CallerIdentity& caller = {}) {
    const ServiceAnswer answer = service.Handle(body, caller);
    return std::to_string(answer.httpStatus) + " " + SimTest::BodyEntry(answer.body);
}

// A response as the daemon writes it: the result, then `outputs`.
std::string Answer(const std::string& method, int result, const std::string& outputs = "") {
    return "200 <m:" + method + "Response xmlns:m=\"urn:dadovu:control\"><result xsi:type=\"xsd:int\">" +
           std::to_string(result) + "</result>" + outputs + "</m:" + method + "Response>";
}

std::string Out(const std::string& name, const std::string& text, const std::string& type = "xsd:string") {
    return "<" + name + " xsi:type=\"" + type + "\">" + text + "</" + name + ">";
}

std::string Fault(const std::string& text, const std::string& code = "soap:Client") {
    return "500 <soap:Fault><faultcode>" + code + "</faultcode><faultstring>" + text + "</faultstring></soap:Fault>";
}

std::string Start(const std::string& target, const std::string& boot = "false", const std::string& async = "false") {
    return SoapRequest("start", {{"target", target}, {"boot", boot}, {"async", async}});
}

std::string Status(const std::string& level, const std::string& target, const std::string& method = "status") {
    return SoapRequest(method, {{"level", level}, {"target", target}});
}

class Service : public ::testing::Test {
protected:
    Service() {
        engine.Load({ParseDefinition("description = a & b\nevents = e", "web.conf"), ParseDefinition("", "db.conf")});
    }
    CommandEngine engine;
};

TEST_F(Service, AnswersEachMethodOrFaults) {
    const ControlService service(engine, {});
    const passwd* account = getpwuid(geteuid());
    ASSERT_NE(account, nullptr);
    const std::string noMessages = Out("MsgList", "", "m:msglist"), user =
        Answer("getuser", 0, Out("uid", std::to_string(geteuid()), "xsd:int") + Out("user", account->pw_name));
    const std::string soap11 = "<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'>";
    const std::pair<std::string, std::string> calls[] = {
        {Start("web"), Answer("start", 0)},
        {SoapRequest("stop", {{"target", "db"}, {"kill", "1"}, {"async", "0"}}), Answer("stop", 0)},
        {SoapRequest("notify", {{"event", "e"}, {"value", "v"}, {"target", "*"}, {"async", "true"}}),
         Answer("notify", 0)},
        {Status("1", "*"), Answer("status", 0, Out("status", "db state=stopped\nweb state=running\n"))},
        {Status(" 2 ", "web"), Answer("status", 0, Out("status", "web state=running pid=4001\n"))},
        {Status("0", "w*", "statusaslist"),
         Answer("statusaslist", 0, Out("complist", "<ctrlcomp><name>web</name><description>a &amp; b</description>"
                                   "<category></category><pid>4001</pid><xml>&lt;component name=\"web\"&gt;&lt;"
                                   "description&gt;a &amp;amp; b&lt;/description&gt;&lt;category&gt;&lt;/category&gt;"
                                   "&lt;event&gt;e&lt;/event&gt;&lt;start timeMs=\"0\" fails=\"false\"/&gt;&lt;stop "
                                   "timeMs=\"0\" fails=\"false\"/&gt;&lt;/component&gt;</xml><state>2</state>"
                                   "</ctrlcomp>", "m:cclist"))},
        {SoapRequest("getuser"), user},
        {SoapRequest("requestprogress", {{"RequestID", "1024"}}), Answer("requestprogress", 65, noMessages)},
        {Start("db, \r<&>]]>", "false", "true"), Answer("start", 1024)},
        {SoapRequest("deletecomponent", {{"componentname", "ghost"}}), Answer("deletecomponent", 85)},
        {SoapRequest("addcomponent", {{"filename", "x.conf"}}), Answer("addcomponent", 83)},  // no directory
        // Values that cannot be used answer 66.
        {Start("web", "maybe"), Answer("start", 66)},
        {Start("web", "false", "TRUE"), Answer("start", 66)},
        {Status("eight", "*"), Answer("status", 66, Out("status", ""))},
        {Status("99999999999999999999", "*"), Answer("status", 66, Out("status", ""))},
        // Texts beyond 4096 bytes and targets beyond 256 terms are not taken.
        {Start(std::string(4097, 'w')), Answer("start", 66)},
        {Status("0", std::string(256, ','), "statusaslist"), Answer("statusaslist", 66, Out("complist", "", "m:cclist"))},
        {SoapRequest("notify", {{"event", "e"}, {"value", std::string(4097, 'v')}, {"target", "*"}, {"async", "0"}}),
         Answer("notify", 66)},
        {SoapRequest("requestprogress", {{"RequestID", "x1"}}), Answer("requestprogress", 66, noMessages)},
        // What is not a SOAP 1.1 request with known method and arguments is a fault.
        {SoapRequest("start", {{"target", "web"}, {"async", "false"}}),
         Fault("missing argument 'boot' of method 'start'")},
        {SoapRequest("reboot"), Fault("unknown method 'reboot'")},
        {"", Fault("the request is not well-formed XML: no element found at line 1")},
        {"this is not XML", Fault("the request is not well-formed XML: syntax error at line 1")},
        {"<Envelope><Body><start/></Body></Envelope>", Fault("the request is not a SOAP 1.1 envelope")},
        {soap11 + "</e:Envelope>", Fault("the envelope has no Body")},
        {soap11 + "<e:Body/></e:Envelope>", Fault("the Body holds no method element")},
        {"<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope'><e:Body><start/></e:Body></e:Envelope>",
         Fault("only SOAP 1.1 envelopes are understood", "soap:VersionMismatch")},
        {SoapRequest("getuser", {}, "<s:Session xmlns:s='urn:s' SOAP-ENV:mustUnderstand='1'>42</s:Session>"),
         Fault("header entry 'Session' is not understood", "soap:MustUnderstand")},
        {SoapRequest("getuser", {}, "<t:TargetID xmlns:t='urn:t' SOAP-ENV:mustUnderstand='1'>node7</t:TargetID>"),
         user},
        // Entity expansion bombs need a document type declaration, which SOAP forbids anyway.
        {"<?xml version='1.0'?><!DOCTYPE e:Envelope [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;&a;'>]>" + soap11 +
             "<e:Body><start><target>&b;</target></start></e:Body></e:Envelope>",
         Fault("document type declarations are not allowed in SOAP messages")},
    };
    for (const auto& [request, answer] : calls) EXPECT_EQ(Call(service, request), answer) << request;
    // The one-line summary of a request shows controls escaped, C1 ones too.
    EXPECT_EQ(service.Handle(Start("a\nb\xC2\x9B" "2J"), {}).summary, "start target='a\\x0Ab\\xC2\\x9B2J' boot=false async=false -> 65");
    const auto progress = Call(service, SoapRequest("requestprogress", {{"RequestID", "1024"}}));
    EXPECT_NE(progress.find("<MsgList xsi:type=\"m:msglist\"><Message><Severity>0</Severity><Catalog><CatalogID>sim"
                            "</CatalogID><MsgNo>1</MsgNo></Catalog><MsgString>Start of target 'db, &#13;&lt;&amp;&gt;]]"
                            "&gt;' requested.</MsgString><Params><Param>db, &#13;&lt;&amp;&gt;]]&gt;</Param><Param>"
                            "false</Param></Params></Message>"),
              std::string::npos)
        << progress;
    engine.Shutdown();
    EXPECT_EQ(Call(service, Start("web")), Fault("The daemon is shutting down.", "soap:Server"));
    EXPECT_EQ(Call(service, Status("0", "web")), Answer("status", 0, Out("status", "web\n")));
}

TEST_F(Service, AuthenticatesByCertificateAndLetsUnlistedSubjectsOnlyLook) {
    const ControlService anyCaller(engine, SecurityPolicy{true, false, {}});
    for (const std::string& body : {Start("web"), Status("0", "*"), SoapRequest("getuser"), std::string("junk")})
        EXPECT_EQ(Call(anyCaller, body), Fault("ctrlauthentication")) << body;
    EXPECT_EQ(Call(anyCaller, Start("web"), CallerIdentity{true, "CN=anyone", "anyone"}), Answer("start", 0));

    const ControlService listed(engine, SecurityPolicy{true, true, {"CN=operator,O=Example", "CN=admin"}});
    const CallerIdentity stranger{true, "CN=stranger,O=Example", "stranger"};
    for (const std::string& body :
         {Start("db"), SoapRequest("stop", {{"target", "web"}, {"kill", "false"}, {"async", "false"}}),
          SoapRequest("notify", {{"event", "e"}, {"value", ""}, {"target", "*"}, {"async", "false"}}),
          SoapRequest("requestprogress", {{"RequestID", "1024"}}), SoapRequest("addcomponent", {{"filename", "x"}}),
          SoapRequest("deletecomponent", {{"componentname", "web"}})})
        EXPECT_EQ(Call(listed, body, stranger), Fault("ctrlauthorization")) << body;
    for (const std::string& body : {Status("1", "*"), Status("0", "*", "statusaslist"), SoapRequest("getuser")})
        EXPECT_EQ(Call(listed, body, stranger).substr(0, 4), "200 ") << body;
    EXPECT_EQ(engine.Status(1, "*").text, "db state=stopped\nweb state=running\n");  // nothing the stranger asked ran
    for (const CallerIdentity& listedOne : {CallerIdentity{true, "CN=operator,O=Example", "operator"},
                                            CallerIdentity{true, "CN=admin,OU=Ops,O=Example", "admin"}})
        EXPECT_EQ(Call(listed, Start("db"), listedOne), Answer("start", 0)) << listedOne.subject;
    EXPECT_EQ(Call(listed, Status("0", "*")), Fault("ctrlauthentication"));

    const CallerIdentity ops{true, "CN=ops,O=Example", "ops"};
    for (const char* line : {"CN=op", "CN=ops2", "cn=ops", "O=Example", "CN=ops,O=Example,"})
        EXPECT_FALSE(SubjectMatches(line, ops)) << line;
    EXPECT_TRUE(SubjectMatches("CN=ops,O=Example", ops) && SubjectMatches("CN=ops", ops));
    EXPECT_FALSE(SubjectMatches("CN=", CallerIdentity{true, "O=Example", ""}));
    EXPECT_FALSE(SubjectMatches("CN=ops", CallerIdentity{false, "CN=ops", "ops"}));
    // A common name that reads like a listed subject is not that subject.
    EXPECT_FALSE(SubjectMatches("CN=operator,O=Example",
                                CallerIdentity{true, "CN=operator\\,O\\=Example,O=Evil", "operator,O=Example"}));
}

// That it keeps its port to itself is tested end to end, with a second dadovu-sim on its address.
TEST(SimServer, CarriesManyRequestsOnOneConnection) {
    CommandEngine engine;
    const ControlService service(engine, {});
    std::ostringstream log;
    ServerOptions options;
    options.log = &log;
    options.latency = std::chrono::milliseconds(10);
    SimServer server(service, options);
    server.Start();

    httplib::Client client("127.0.0.1", server.Port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    client.set_read_timeout(10, 0);
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) {
        const auto answer = client.Post(kEndpointPath, SoapRequest("getuser"), "text/xml; charset=utf-8");
        ASSERT_TRUE(answer) << "request " << i;
        ASSERT_EQ(answer->status, 200);
        ASSERT_EQ(answer->get_header_value("Content-Type"), "text/xml; charset=utf-8");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - began, 40 * options.latency);
    // Each log line begins with the client's address and port: one connection carried them all.
    const std::string lines = log.str(), peer = lines.substr(0, lines.find(' ') + 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 40);
    for (std::size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1)
        ASSERT_EQ(lines.compare(at, peer.size(), peer), 0) << lines;
    EXPECT_EQ(client.Post("/other.server/lnkrpcserver", SoapRequest("getuser"), "text/xml")->status, 404);
    EXPECT_EQ(client.Get(kEndpointPath)->status, 405);
}

// Stopping the daemon as its main does (the engine, then the server) still
// answers a start in progress, with the fault that says why it ended.
TEST(SimServer, AnswersARequestInProgressWhenStopped) {
    CommandEngine engine;
    engine.Load({ParseDefinition("start_time_ms = 30000", "slow.conf")});
    const ControlService service(engine, {});
    SimServer server(service, {});
    server.Start();
    httplib::Client client("127.0.0.1", server.Port());
    client.set_read_timeout(20, 0);
    std::thread stopper([&] {
        while (engine.Status(1, "slow").text != "slow state=starting\n")
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        engine.Shutdown();
        server.Stop();
    });
    const auto answer = client.Post(kEndpointPath, Start("slow"), "text/xml; charset=utf-8");
    stopper.join();
    ASSERT_TRUE(answer) << httplib::to_string(answer.error());
    EXPECT_EQ(std::to_string(answer->status) + " " + SimTest::BodyEntry(answer->body),
              Fault("The daemon is shutting down.", "soap:Server"));
}

// One thread serves: answers delayed on timers overlap, and a synchronous
// start waiting for its component's start time leaves the thread free for
// other connections.
TEST(SimServer, WaitsOnTimersAndOnTheEngineWithoutHoldingItsThread) {
    using Clock = std::chrono::steady_clock;
    CommandEngine engine;
    engine.Load({ParseDefinition("start_time_ms = 1500", "slow.conf"), ParseDefinition("", "quick.conf")});
    const ControlService service(engine, {});
    ServerOptions delayed;
    delayed.threads = 1;
    delayed.latency = std::chrono::milliseconds(400);
    SimServer slowServer(service, delayed);
    slowServer.Start();
    const auto call = [](int port, const std::string& body) {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(20, 0);
        const auto answer = client.Post(kEndpointPath, body, "text/xml; charset=utf-8");
        return answer ? std::to_string(answer->status) + " " + SimTest::BodyEntry(answer->body) : std::string("none");
    };
    auto began = Clock::now();
    std::vector<std::future<std::string>> calls;
    for (int i = 0; i < 12; ++i)
        calls.push_back(std::async(std::launch::async, call, slowServer.Port(), Status("0", "quick")));
    for (auto& c : calls) EXPECT_EQ(c.get(), Answer("status", 0, Out("status", "quick\n")));
    EXPECT_GE(Clock::now() - began, delayed.latency);
    EXPECT_LT(Clock::now() - began, 6 * delayed.latency);  // twelve in a row would take 4.8 s

    ServerOptions single;
    single.threads = 1;
    SimServer server(service, single);
    server.Start();
    auto start = std::async(std::launch::async, call, server.Port(), Start("slow"));
    while (engine.Status(1, "slow").text != "slow state=starting\n") std::this_thread::sleep_for(std::chrono::milliseconds(2));
    began = Clock::now();
    EXPECT_EQ(call(server.Port(), Status("1", "*")),
              Answer("status", 0, Out("status", "quick state=stopped\nslow state=starting\n")));
    EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(1000));
    EXPECT_EQ(start.get(), Answer("start", 0));
}

// What is not a request the endpoint takes gets an HTTP answer of its own:
// too large a body 413 (and the connection closes), another path 404, a
// request that expects "100 Continue" gets it before its body is read.
TEST(SimServer, LimitsRequestSizeAndAnswersExpectContinue) {
    CommandEngine engine;
    const ControlService service(engine, {});
    ServerOptions options;
    options.maxRequestBytes = 2000;
    SimServer server(service, options);
    server.Start();
    using namespace std::chrono_literals;
    SoapTest::RawConnection big("127.0.0.1", server.Port());
    ASSERT_TRUE(big.Connected());
    ASSERT_TRUE(big.Send(SoapTest::PostRequest("h", kEndpointPath, std::string(3000, ' '))));
    const auto refused = big.ReadResponse(10s);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->substr(0, 12), "HTTP/1.1 413");
    EXPECT_TRUE(big.Closed(10s));

    SoapTest::RawConnection polite("127.0.0.1", server.Port());
    const std::string body = SoapRequest("getuser");
    ASSERT_TRUE(polite.Send("POST " + std::string(kEndpointPath) + " HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\n"
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n"));
    const auto interim = polite.ReadResponse(10s);
    ASSERT_TRUE(interim);
    EXPECT_EQ(*interim, "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(polite.Send(body));
    const auto answer = polite.ReadResponse(10s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->substr(0, 12), "HTTP/1.1 200");
    // The same connection carries on: a wrong path, then a request too large.
    ASSERT_TRUE(polite.Send(SoapTest::PostRequest("h", "/elsewhere", body)));
    const auto missing = polite.ReadResponse(10s);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->substr(0, 12), "HTTP/1.1 404");
    EXPECT_FALSE(polite.Closed(100ms));
}

// A connection carries --keep-alive-max requests, the last answered with
// "Connection: close"; an idle one is closed after --keep-alive-timeout.
TEST(SimServer, EndsConnectionsAfterTheirRequestsOrIdleTime) {
    using namespace std::chrono_literals;
    CommandEngine engine;
    const ControlService service(engine, {});
    ServerOptions options;
    options.keepAliveMaxCount = 3;
    options.keepAliveTimeout = std::chrono::seconds(1);
    SimServer server(service, options);
    server.Start();
    SoapTest::RawConnection busy("127.0.0.1", server.Port()), idle("127.0.0.1", server.Port());
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(busy.Send(SoapTest::PostRequest("h", kEndpointPath, SoapRequest("getuser"))));
        const auto answer = busy.ReadResponse(10s);
        ASSERT_TRUE(answer) << i;
        EXPECT_EQ(answer->find("Connection: close") != std::string::npos, i == 3) << *answer;
    }
    EXPECT_TRUE(busy.Closed(5s));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(idle.Closed(10s));
    EXPECT_GE(std::chrono::steady_clock::now() - began, 500ms);
}

// A request waiting out its answer delay is answered at once when the server
// stops, and an idle kept-alive connection is closed.
TEST(SimServer, StopAnswersDelayedRequestsAndClosesIdleConnections) {
    using namespace std::chrono_literals;
    CommandEngine engine;
    const ControlService service(engine, {});
    ServerOptions options;
    options.latency = 30s;
    SimServer server(service, options);
    server.Start();
    SoapTest::RawConnection idle("127.0.0.1", server.Port()), waiting("127.0.0.1", server.Port());
    ASSERT_TRUE(idle.Connected() && waiting.Connected());
    ASSERT_TRUE(waiting.Send(SoapTest::PostRequest("h", kEndpointPath, SoapRequest("getuser"))));
    while (server.OpenConnections() < 2) std::this_thread::sleep_for(2ms);
    std::this_thread::sleep_for(50ms);  // the request is read and waits out its delay
    const auto began = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
    const auto answer = waiting.ReadResponse(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->substr(0, 12), "HTTP/1.1 200");
    EXPECT_NE(answer->find("Connection: close"), std::string::npos) << *answer;
    EXPECT_TRUE(idle.Closed(5s));
    EXPECT_FALSE(server.IsRunning());
}

// A fleet over TLS asking for client certificates, in one process: each
// node is reached at its own address and keeps its own state, a caller
// without a certificate is answered "ctrlauthentication", a dead node's
// connection completes no handshake, a refusing node's is reset.
TEST(SimServer, ServesAFleetOverTlsByTheAddressReached) {
    using namespace std::chrono_literals;
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    const FleetOptions fleetOptions{6, 1.0 / 6, 1.0 / 6, 5};
    Fleet fleet(fleetOptions, {ParseDefinition("", "db.conf"), ParseDefinition("prerequisites = db", "web.conf")},
                EngineOptions{}, SecurityPolicy{true, false, {}});
    ServerOptions options;
    options.tlsCertFile = pki.ServerCert();
    options.tlsKeyFile = pki.ServerKey();
    options.clientCaFile = pki.CaFile();
    options.threads = 2;
    SimServer server(fleet, options);
    server.Start();
    std::vector<std::size_t> live;
    std::size_t dead = 0, refusing = 0;
    for (std::size_t i = 0; i < fleet.Size(); ++i) {
        if (fleet.Role(i) == NodeRole::Live) live.push_back(i);
        if (fleet.Role(i) == NodeRole::Dead) dead = i;
        if (fleet.Role(i) == NodeRole::Refusing) refusing = i;
    }
    ASSERT_EQ(live.size(), 4u);
    EXPECT_EQ(server.Uri(), server.NodeUri(live[0]));
    EXPECT_EQ(server.NodeUri(refusing),
              "https://" + Ipv4Text(FleetNodeAddress(refusing)) + ":" + std::to_string(server.RefusingPort()) +
                  kEndpointPath);
    EXPECT_NE(server.RefusingPort(), server.Port());

    // The test certificate names 127.0.0.1, not the nodes' addresses.
    const auto client = [&](std::size_t node, bool withCertificate) {
        auto c = withCertificate ? std::make_unique<httplib::SSLClient>(Ipv4Text(FleetNodeAddress(node)), server.Port(),
                                                                        pki.ClientCert(), pki.ClientKey())
                                 : std::make_unique<httplib::SSLClient>(Ipv4Text(FleetNodeAddress(node)), server.Port());
        c->enable_server_certificate_verification(false);
        c->set_keep_alive(true);
        c->set_read_timeout(10, 0);
        c->set_connection_timeout(10, 0);
        return c;
    };
    const auto call = [&](httplib::SSLClient& c, const std::string& body) {
        const auto answer = c.Post(kEndpointPath, body, "text/xml; charset=utf-8");
        return answer ? std::to_string(answer->status) + " " + SimTest::BodyEntry(answer->body)
                      : "error " + httplib::to_string(answer.error());
    };
    auto first = client(live[0], true), second = client(live[1], true), anonymous = client(live[2], false);
    EXPECT_EQ(call(*first, Start("web")), Answer("start", 0));
    EXPECT_EQ(call(*first, Status("1", "*")), Answer("status", 0, Out("status", "db state=running\nweb state=running\n")));
    EXPECT_EQ(call(*second, Status("1", "*")), Answer("status", 0, Out("status", "db state=stopped\nweb state=stopped\n")));
    EXPECT_EQ(call(*anonymous, Status("1", "*")), Fault("ctrlauthentication"));
    EXPECT_EQ(fleet.Engine(live[3]).Status(1, "web").text, "web state=stopped\n");

    SoapTest::RawConnection silent(Ipv4Text(FleetNodeAddress(dead)), server.Port());
    ASSERT_TRUE(silent.Connected());
    ASSERT_TRUE(silent.Send(std::string("\x16\x03\x01\x00\x05hello", 10)));  // no ServerHello comes back
    EXPECT_FALSE(silent.ReadResponse(300ms));
    EXPECT_FALSE(silent.Closed(10ms));
    SoapTest::RawConnection refused(Ipv4Text(FleetNodeAddress(refusing)), server.RefusingPort());
    EXPECT_EQ(refused.Error(), ECONNREFUSED);
    SoapTest::RawConnection reset(Ipv4Text(FleetNodeAddress(refusing)), server.Port());
    EXPECT_TRUE(!reset.Connected() || reset.Closed(5s));
    // The three clients' kept-alive connections and the silent one.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (server.OpenConnections() < 4 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(server.OpenConnections(), 4u);
    fleet.Shutdown();
    server.Stop();
    EXPECT_TRUE(silent.Closed(5s));
    EXPECT_EQ(server.OpenConnections(), 0u);
}

}  // namespace
}  // namespace DaDovuSim
