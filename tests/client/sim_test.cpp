// Clients against dadovu-sim as a real process: TLS identities of their own
// in one process, an asynchronous start followed to its end, and sixteen
// threads on one client.

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "ClientTestSupport.h"

namespace {

using namespace ClientTest;
using DaDovu::Message;
using DaDovu::ProgressState;
using DaDovu::StatusLevel;

// Each client has its own pool and so its own TLS identity: a connection the
// authorized client left in its pool never carries the other's requests.
TEST(ClientSim, TwoCertificatesInOneProcessKeepTheirOwnRights) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    TempDir components, files;
    components.Write("web.conf", "category = web\n");
    SimNode sim({"--components", components.Path(), "--tls-cert", pki.ServerCert(), "--tls-key", pki.ServerKey(),
                 "--client-ca", pki.CaFile(), "--authorize", files.Write("subjects", "CN=dadovu-test-client\n")});
    ASSERT_EQ(sim.Uri().rfind("https://127.0.0.1:", 0), 0u) << sim.Uri();
    const auto settings = [&](const std::string& cert, const std::string& key) {
        ClientSettings s = At(sim.Uri()).SetCaFile(pki.CaFile()).SetCallTimeout(20s);
        if (!cert.empty()) s.SetClientCertificate(cert, key);
        return s;
    };
    Client authorized(settings(pki.ClientCert(), pki.ClientKey()));
    Client observer(settings(pki.ObserverCert(), pki.ObserverKey()));
    Client anonymous(settings("", ""));

    authorized.Start("web");
    Error error = ErrorOf([&] { observer.Start("web"); });
    EXPECT_EQ(error.GetKind(), ErrorKind::NotAuthorized) << error.what();
    EXPECT_EQ(error.GetResultCode(), std::nullopt);
    EXPECT_EQ(observer.Status("web"), "web state=running\n");  // open to every authenticated caller
    EXPECT_EQ(ErrorOf([&] { observer.Stop("web"); }).GetKind(), ErrorKind::NotAuthorized);
    EXPECT_EQ(ErrorOf([&] { observer.StartAsync("web"); }).GetKind(), ErrorKind::NotAuthorized);
    EXPECT_EQ(ErrorOf([&] { observer.Notify("reload", "now", "web"); }).GetKind(), ErrorKind::NotAuthorized);
    EXPECT_EQ(observer.GetUser().GetUid(), static_cast<int>(::geteuid()));
    const std::vector<DaDovu::Component> seen = observer.Components("web");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].GetState(), DaDovu::COMPONENT_RUNNING);

    error = ErrorOf([&] { anonymous.Status("web"); });
    EXPECT_EQ(error.GetKind(), ErrorKind::NotAuthenticated) << error.what();
    EXPECT_EQ(ErrorOf([&] { anonymous.Start("web"); }).GetKind(), ErrorKind::NotAuthenticated);

    authorized.Stop("web");
    EXPECT_EQ(observer.Status("web"), "web state=stopped\n");
    EXPECT_EQ(ErrorOf([&] { observer.Start("web"); }).GetKind(), ErrorKind::NotAuthorized);
    EXPECT_EQ(authorized.Status("web"), "web state=stopped\n");
}

// The sample node: the webserver needs the database and the cache; the
// dashboard needs reportgen, whose start fails.
TEST(ClientSim, StartAsyncThenWaitFollowsTheCommandToItsEnd) {
    SimNode sim({"--components", DADOVU_SIM_COMPONENTS});
    Client client(At(sim.Uri()).SetCallTimeout(20s));
    const DaDovu::RequestId id = client.StartAsync("webserver");
    EXPECT_GE(id.GetValue(), 1024u);
    std::vector<Message> delivered;
    const DaDovu::Progress progress = client.Wait(id, 60s, [&](const Message& m) { delivered.push_back(m); });
    EXPECT_EQ(progress.GetState(), ProgressState::Finished);
    EXPECT_EQ(progress.GetCode(), 0);
    EXPECT_EQ(delivered, progress.GetMessages());
    ASSERT_GE(delivered.size(), 2u);
    EXPECT_EQ(delivered.front(), Message(DaDovu::Severity::Info, "sim", 1, "Start of target 'webserver' requested.",
                                         delivered.front().GetParameters()));
    EXPECT_EQ(delivered.front().GetParameters().at(0), "webserver");
    EXPECT_EQ(delivered.back(), Message(DaDovu::Severity::Info, "sim", 14, "Command finished with result 0.", {"0"}));
    EXPECT_EQ(client.Status("webserver,database,cache"),
              "cache state=running\ndatabase state=running\nwebserver state=running\n");

    const DaDovu::Progress failed = client.Wait(client.StartAsync("dashboard"), 60s);
    EXPECT_EQ(failed.GetState(), ProgressState::Failed);
    EXPECT_EQ(failed.GetCode(), 71);
    EXPECT_EQ(client.Progress(DaDovu::RequestId(999999)).GetState(), ProgressState::UnknownRequest);
}

// Sixteen threads on one client, each on a component of its own, every
// answer checked; the connections the client opens stay about one per thread.
TEST(ClientSim, SixteenThreadsShareOneClient) {
    constexpr int kThreads = 16, kRounds = 12;
    TempDir components;
    for (int t = 0; t < kThreads; ++t)
        components.Write("c" + std::to_string(t) + ".conf", "category = load\nevents = ping\n");
    SimNode sim({"--components", components.Path(), "--verbose"});
    Client client(At(sim.Uri()).SetCallTimeout(30s));
    const passwd* user = ::getpwuid(::geteuid());
    ASSERT_NE(user, nullptr);
    const std::string userName = user->pw_name;

    std::mutex mutex;
    std::vector<std::string> problems;
    std::atomic<long> requests{0};
    const auto check = [&](bool ok, const std::string& what) {
        if (ok) return;
        std::lock_guard<std::mutex> lock(mutex);
        problems.push_back(what);
    };
    const auto run = [&](int t) {
        const std::string name = "c" + std::to_string(t);
        try {
            for (int round = 0; round < kRounds; ++round) {
                const std::string value = std::to_string(t * 1000 + round);
                client.Start(name);
                check(client.Status(name) == name + " state=running\n", name + " not running");
                const std::vector<DaDovu::Component> records = client.Components(name);
                check(records.size() == 1 && records[0].GetName() == name &&
                          records[0].GetState() == DaDovu::COMPONENT_RUNNING && records[0].GetPid().has_value(),
                      name + ": records");
                client.Notify("ping", value, name);
                check(
                    client.Status(name, StatusLevel::Events).find(" value.ping=\"" + value + "\"") != std::string::npos,
                    name + ": value " + value);
                const DaDovu::User u = client.GetUser();
                check(u.GetUid() == static_cast<int>(::geteuid()) && u.GetName() == userName, "user");
                const Error refused = ErrorOf([&] { client.Start("nosuch" + value); });
                check(refused.GetKind() == ErrorKind::NoMatchingComponent &&
                          refused.GetTarget() == std::optional<std::string>("nosuch" + value),
                      name + ": " + refused.what());
                client.Stop(name);
                check(client.Status(name, StatusLevel::Names) == name + "\n", name + ": names");
                check(client.Status(name) == name + " state=stopped\n", name + " not stopped");
                requests += 10;
            }
        } catch (const Error& error) {
            check(false, error.what());
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(run, t);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(problems, std::vector<std::string>{});
    EXPECT_EQ(requests.load(), long{kThreads} * kRounds * 10);

    // One line per request on the simulator's standard error, naming the client's address and port.
    const SoapTest::ProcessResult stopped = sim.Stop();
    std::istringstream lines(stopped.err);
    std::set<std::string> connections;
    long answered = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("127.0.0.1:", 0) != 0) continue;
        ++answered;
        connections.insert(line.substr(0, line.find(' ')));
    }
    EXPECT_EQ(answered, requests.load());
    RecordProperty("connections", static_cast<int>(connections.size()));
    EXPECT_GE(connections.size(), 1u);
    EXPECT_LE(connections.size(), std::size_t{kThreads + 4});
}

}  // namespace
