// dadovu-sim --fleet as a real process: the nodes file, one node per loopback
// address, nodes independent of each other, dead nodes that never answer,
// refusing nodes, dadovuctl against fleet nodes, and two thousand kept-alive
// connections held at once by a handful of threads.
#include "E2e.h"

#include <RawHttp.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using E2e::Describe;
using SoapTest::RawConnection;

const std::string kPath = "/dadovu.ctrl.server/lnkrpcserver";

std::string Envelope(const std::string& method, const std::string& args) {
    return "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><m:" + method +
           " xmlns:m=\"urn:dadovu:control\">" + args + "</m:" + method + "></s:Body></s:Envelope>";
}

std::string StatusRequest(const std::string& level, const std::string& target) {
    return Envelope("status", "<level>" + level + "</level><target>" + target + "</target>");
}

// "127.0.1.N" for node N (1..254) and the like: the README's address scheme.
std::string NodeAddress(std::size_t node) {
    const std::size_t index = node - 1, block = index / 254 + 1;
    return "127." + std::to_string(block >> 8) + "." + std::to_string(block & 255) + "." +
           std::to_string(index % 254 + 1);
}

// The text between <status ...> and </status> of a status answer.
std::string StatusText(const std::string& response) {
    const std::size_t open = response.find("<status xsi:type=\"xsd:string\">");
    const std::size_t close = response.find("</status>");
    if (open == std::string::npos || close == std::string::npos) return "no status in: " + response;
    return response.substr(open + 30, close - open - 30);
}

// dadovu-sim --fleet with `args`, until the test ends. `nodesFile` names the
// --write-nodes file, which also tells the process apart in /proc.
class FleetSim {
public:
    FleetSim(const std::string& nodesFile, const std::vector<std::string>& args)
        : child_(E2e::Concat({DADOVU_SIM_PATH, "--listen", "127.0.0.1:0", "--components", DADOVU_SIM_COMPONENTS,
                              "--write-nodes", nodesFile},
                             args)),
          uri_(child_.FirstLine(20s)),
          nodesFile_(nodesFile) {
        const std::size_t host = uri_.find("//") + 2, colon = uri_.find(':', host);
        port_ = std::stoi(uri_.substr(colon + 1));
    }
    const std::string& Uri() const { return uri_; }
    int Port() const { return port_; }
    std::string HostPort(std::size_t node) const { return NodeAddress(node) + ":" + std::to_string(port_); }
    std::vector<std::string> Nodes() const {
        std::ifstream in(nodesFile_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // The process's ID, found by its nodes file among the command lines.
    pid_t Pid() const {
        DIR* proc = ::opendir("/proc");
        pid_t found = -1;
        while (const dirent* entry = proc ? ::readdir(proc) : nullptr) {
            const pid_t pid = std::atoi(entry->d_name);
            if (pid <= 0) continue;
            std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
            const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (cmdline.find(nodesFile_) != std::string::npos && cmdline.find("dadovu-sim") != std::string::npos)
                found = pid;
        }
        if (proc) ::closedir(proc);
        return found;
    }
    SoapTest::ProcessResult Stop() { return child_.Finish(15s, SIGTERM); }

private:
    E2e::Child child_;
    std::string uri_;
    std::string nodesFile_;
    int port_ = 0;
};

// How many entries a /proc/PID directory ("fd", "task") has.
std::size_t CountEntries(const std::string& path) {
    std::size_t count = 0;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
    }
    return count;
}

class SimFleet : public ::testing::Test {
protected:
    E2e::TempDir dir_;
    const std::string config_ =
        dir_.Write("node.conf", "[log]\nFILE = " + dir_.Path() + "/node.log\n[lnk.http.ext.ctrl]\nTIMEOUT_MS = 1500\n");
};

// Seed 1 draws, for twelve nodes with a quarter dead and a quarter refusing,
// R L D R L D L R L D L L (the draw is pinned by the unit tests): the first
// line names node 2, the first live one.
TEST_F(SimFleet, NodesFileDeadAndRefusingNodes) {
    const std::string nodesFile = dir_.Path() + "/nodes";
    FleetSim sim(nodesFile, {"--fleet", "12", "--dead-fraction", "0.25", "--refuse-fraction", "0.25"});
    const std::string roles = "RLDRLDLRLDLL";
    const std::vector<std::string> nodes = sim.Nodes();
    ASSERT_EQ(nodes.size(), 12u);
    EXPECT_EQ(sim.Uri(), nodes[1]);
    int refusingPort = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::string prefix = "http://" + NodeAddress(i + 1) + ":";
        ASSERT_EQ(nodes[i].rfind(prefix, 0), 0u) << nodes[i];
        const int port = std::stoi(nodes[i].substr(prefix.size()));
        EXPECT_EQ(nodes[i].substr(nodes[i].find('/', prefix.size())), kPath);
        if (roles[i] == 'R') {
            EXPECT_NE(port, sim.Port()) << nodes[i];
            if (refusingPort == 0) refusingPort = port;
            EXPECT_EQ(port, refusingPort) << nodes[i];
        } else {
            EXPECT_EQ(port, sim.Port()) << nodes[i];
        }
    }

    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::string address = NodeAddress(i + 1);
        const std::string request = SoapTest::PostRequest(address, kPath, StatusRequest("0", "database"));
        if (roles[i] == 'R') {
            // Refused at the port of its URI, and reset at the fleet's port.
            RawConnection refused(address, refusingPort);
            EXPECT_FALSE(refused.Connected()) << address;
            EXPECT_EQ(refused.Error(), ECONNREFUSED) << address;
            RawConnection reset(address, sim.Port());
            if (reset.Connected()) {
                reset.Send(request);
                EXPECT_TRUE(reset.Closed(5s)) << address;
            }
            continue;
        }
        RawConnection connection(address, sim.Port());
        ASSERT_TRUE(connection.Connected()) << address;
        ASSERT_TRUE(connection.Send(request));
        const auto answer = connection.ReadResponse(roles[i] == 'D' ? 1000ms : 10s);
        if (roles[i] == 'D') {
            EXPECT_FALSE(answer) << address << ": " << *answer;
            EXPECT_FALSE(connection.Closed(100ms)) << address;  // held open, silent
        } else {
            ASSERT_TRUE(answer) << address;
            EXPECT_EQ(StatusText(*answer), "database\n") << address;
        }
    }
    // 127.0.0.1 and an address past the fleet are no node: reset.
    for (const std::string& address : {std::string("127.0.0.1"), NodeAddress(13)}) {
        RawConnection none(address, sim.Port());
        if (none.Connected()) {
            none.Send(SoapTest::PostRequest(address, kPath, StatusRequest("0", "*")));
            EXPECT_TRUE(none.Closed(5s)) << address;
        }
    }

    // dadovuctl meets a live node, a dead one (its call times out) and a refusing one.
    const auto began = std::chrono::steady_clock::now();
    const SoapTest::ProcessResult ctl =
        E2e::Ctl({"status", "database", "--node", sim.HostPort(2), "--node", sim.HostPort(3), "--node",
                  NodeAddress(1) + ":" + std::to_string(refusingPort)},
                 config_);
    EXPECT_EQ(ctl.exitStatus, 9) << Describe(ctl);
    EXPECT_NE(ctl.out.find(sim.HostPort(2) + ": database state=stopped\n"), std::string::npos) << Describe(ctl);
    EXPECT_NE(ctl.err.find(sim.HostPort(3) + ": "), std::string::npos) << Describe(ctl);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 15s);

    const SoapTest::ProcessResult stopped = sim.Stop();
    EXPECT_EQ(stopped.exitStatus, 0) << Describe(stopped);
    EXPECT_NE(stopped.err.find("fleet of 12 nodes at 127.0.1.1..127.0.1.12 (6 live, 3 dead, 3 refusing)"),
              std::string::npos)
        << stopped.err;

    // The same seed draws the same nodes; another seed others.
    FleetSim again(dir_.Path() + "/again", {"--fleet", "12", "--dead-fraction", "0.25", "--refuse-fraction", "0.25",
                                            "--seed", "1"});
    FleetSim other(dir_.Path() + "/other", {"--fleet", "12", "--dead-fraction", "0.25", "--refuse-fraction", "0.25",
                                            "--seed", "2"});
    const auto ports = [](const std::vector<std::string>& uris, int port) {
        std::string pattern;
        for (const auto& uri : uris) pattern += uri.find(":" + std::to_string(port) + "/") == std::string::npos ? 'R' : '.';
        return pattern;
    };
    EXPECT_EQ(ports(again.Nodes(), again.Port()), "R..R...R....");
    EXPECT_NE(ports(other.Nodes(), other.Port()), "R..R...R....");

    // Usage errors (2), and a nodes file that cannot be written (1).
    const std::pair<std::vector<std::string>, int> starts[] = {
        {{"--dead-fraction", "0.5"}, 2},
        {{"--fleet", "0"}, 2},
        {{"--fleet", "100001"}, 2},
        {{"--fleet", "4", "--dead-fraction", "0.75", "--refuse-fraction", "0.5"}, 2},
        {{"--fleet", "4", "--refuse-fraction", "1.5"}, 2},
        {{"--fleet", "4", "--write-nodes", dir_.Path() + "/missing/nodes"}, 1}};
    for (const auto& [args, exitStatus] : starts) {
        const SoapTest::ProcessResult r = E2e::Run(E2e::Concat({DADOVU_SIM_PATH, "--listen", "127.0.0.1:0"}, args));
        EXPECT_EQ(r.exitStatus, exitStatus) << ::testing::PrintToString(args) << "\n" << Describe(r);
    }
}

// 300 nodes, past the first /24 block: each address reaches a node of its
// own, and what one node is told or does leaves the others as they were.
TEST_F(SimFleet, EachAddressReachesItsOwnIndependentNode) {
    FleetSim sim(dir_.Path() + "/nodes", {"--fleet", "300"});
    ASSERT_EQ(sim.Nodes().size(), 300u);
    EXPECT_EQ(sim.Nodes()[254], "http://127.0.2.1:" + std::to_string(sim.Port()) + kPath);
    EXPECT_EQ(sim.Nodes()[299], "http://" + NodeAddress(300) + ":" + std::to_string(sim.Port()) + kPath);
    EXPECT_EQ(NodeAddress(300), "127.0.2.46");
    // Every node is told its own number, on a kept-alive connection of its own.
    for (std::size_t node = 1; node <= 300; ++node) {
        RawConnection connection(NodeAddress(node), sim.Port());
        ASSERT_TRUE(connection.Connected()) << node;
        const std::string notify = Envelope("notify", "<event>reload</event><value>node " + std::to_string(node) +
                                                          "</value><target>webserver</target><async>false</async>");
        ASSERT_TRUE(connection.Send(SoapTest::PostRequest(NodeAddress(node), kPath, notify)));
        const auto told = connection.ReadResponse(10s);
        ASSERT_TRUE(told && told->find("<result xsi:type=\"xsd:int\">0</result>") != std::string::npos) << node;
    }
    for (std::size_t node = 1; node <= 300; ++node) {
        RawConnection connection(NodeAddress(node), sim.Port());
        ASSERT_TRUE(connection.Send(SoapTest::PostRequest(NodeAddress(node), kPath, StatusRequest("6", "webserver"))));
        const auto status = connection.ReadResponse(10s);
        ASSERT_TRUE(status) << node;
        EXPECT_NE(StatusText(*status).find(" value.reload=\"node " + std::to_string(node) + "\"\n"), std::string::npos)
            << node << ": " << StatusText(*status);
    }

    // dadovuctl: a start on node 1 leaves nodes 2 and 255 stopped; request IDs count per node.
    const std::string A = sim.HostPort(1), B = sim.HostPort(2), C = sim.HostPort(255);
    const auto ctl = [&](const std::vector<std::string>& args, int exitStatus, const std::string& out,
                         const std::string& err = "") { E2e::ExpectCtl(args, config_, exitStatus, out, err); };
    ctl({"start", "webserver", "--node", A}, 0, "");
    ctl({"status", "database,webserver", "--level", "2", "--ordered", "--node", A, "--node", B, "--node", C}, 0,
        A + ": database state=running pid=4001\n" + A + ": webserver state=running pid=4003\n" + B +
            ": database state=stopped pid=-\n" + B + ": webserver state=stopped pid=-\n" + C +
            ": database state=stopped pid=-\n" + C + ": webserver state=stopped pid=-\n",
        "dadovuctl: summary: 3 asked, 3 succeeded");
    ctl({"start", "cache", "--async", "--node", C}, 0, "1024\n");
    ctl({"start", "cache", "--async", "--node", C}, 0, "1025\n");
    ctl({"start", "database", "--async", "--node", B}, 0, "1024\n");
    ctl({"stop", "dashboard", "--node", B}, 0, "");
    ctl({"delete", "dashboard", "--node", B}, 0, "");
    ctl({"status", "dash*", "--level", "0", "--node", A}, 0, "dashboard\n");
    ctl({"status", "dash*", "--level", "0", "--node", B}, 3, "", "dadovuctl: status 'dash*' at http://" + B + "/");
    const SoapTest::ProcessResult stopped = sim.Stop();
    EXPECT_EQ(stopped.exitStatus, 0) << Describe(stopped);
}

// Two thousand connections from four client addresses to sixteen nodes, all
// open at once and each kept alive for a second request after every one of
// them has had its first answer. The simulator holds them on its few
// threads.
TEST_F(SimFleet, HoldsTwoThousandKeptAliveConnectionsAtOnce) {
    constexpr std::size_t kClients = 4, kPerClient = 500, kNodes = 16;
    // Both ends of every connection are in this process and the simulator.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < kClients * kPerClient + 200)
        GTEST_SKIP() << "only " << limit.rlim_cur << " descriptors may be open";

    FleetSim sim(dir_.Path() + "/nodes", {"--fleet", std::to_string(kNodes), "--threads", "2"});
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t opened = 0, released = 0;
    std::vector<std::string> failures;
    std::size_t answered = 0;

    const auto client = [&](std::size_t id) {
        const std::string source = "127.0.0." + std::to_string(2 + id);
        std::vector<std::unique_ptr<RawConnection>> connections;
        std::vector<std::string> addresses;
        std::string failure;
        const auto round = [&](const char* which) {
            // Every request first, then every answer: all are in flight at once.
            for (std::size_t i = 0; i < connections.size() && failure.empty(); ++i)
                if (!connections[i]->Send(SoapTest::PostRequest(addresses[i], kPath, StatusRequest("1", "cache"))))
                    failure = std::string(which) + ": cannot send on connection " + std::to_string(i);
            for (std::size_t i = 0; i < connections.size() && failure.empty(); ++i) {
                const auto answer = connections[i]->ReadResponse(60s);
                if (!answer || StatusText(*answer) != "cache state=stopped\n")
                    failure = std::string(which) + ": no answer on connection " + std::to_string(i) + " to " +
                              addresses[i] + (answer ? ": " + *answer : std::string());
            }
        };
        for (std::size_t i = 0; i < kPerClient && failure.empty(); ++i) {
            addresses.push_back(NodeAddress((id * kPerClient + i) % kNodes + 1));
            connections.push_back(std::make_unique<RawConnection>(addresses.back(), sim.Port(), source));
            if (!connections.back()->Connected())
                failure = "connection " + std::to_string(i) + " failed: " + std::strerror(connections.back()->Error());
        }
        if (failure.empty()) round("first round");
        {
            std::unique_lock<std::mutex> lock(mutex);
            ++opened;
            changed.notify_all();
            changed.wait(lock, [&] { return released > 0; });
        }
        if (failure.empty()) round("second round");
        std::lock_guard<std::mutex> lock(mutex);
        if (failure.empty())
            answered += 2 * connections.size();
        else
            failures.push_back(source + ": " + failure);
    };
    const auto began = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (std::size_t id = 0; id < kClients; ++id) clients.emplace_back(client, id);
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return opened == kClients; });
        // All of them open now: the simulator holds them with a few threads.
        const pid_t pid = sim.Pid();
        EXPECT_GT(pid, 0);
        if (pid > 0 && failures.empty()) {
            EXPECT_GE(CountEntries("/proc/" + std::to_string(pid) + "/fd"), kClients * kPerClient);
            EXPECT_LE(CountEntries("/proc/" + std::to_string(pid) + "/task"), 8u);
        }
        released = 1;
        changed.notify_all();
    }
    for (auto& thread : clients) thread.join();
    EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
    EXPECT_EQ(answered, 2 * kClients * kPerClient);
    RecordProperty("seconds", std::to_string(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count()));
    const SoapTest::ProcessResult stopped = sim.Stop();
    EXPECT_EQ(stopped.exitStatus, 0) << Describe(stopped);
}

}  // namespace
