// dadovuctl asking a fleet: about thirty nodes made of dadovu-sim processes,
// test daemons (one slow, one that matches no component), a daemon that
// never answers and closed ports. Results stream as nodes finish (or come in
// the order given), JSON Lines, the summary and the exit status, the bounds
// on threads, descriptors and memory, SIGINT and SIGTERM in the middle of a
// run, and the nodes file.
#include "E2e.h"

#include <TestDaemon.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string_view>
#include <thread>

namespace {

using namespace std::chrono_literals;
using E2e::Child;
using E2e::Describe;
using E2e::ProcessResult;
using SoapTest::RawDaemon;
using SoapTest::Reply;
using SoapTest::TestDaemon;
using Clock = std::chrono::steady_clock;

// The sanitizer of this build ("" for none): its runtime keeps freed memory
// (address) or runs a thread of its own (thread) in dadovuctl too.
constexpr std::string_view kSanitizer = DADOVU_E2E_SANITIZER;

std::string Node(int port) { return "127.0.0.1:" + std::to_string(port); }

// `count` distinct loopback ports where nothing listens: bound together, so
// that they differ, then closed.
std::vector<std::string> ClosedNodes(std::size_t count) {
    std::vector<int> sockets;
    std::vector<std::string> nodes;
    for (std::size_t i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no loopback port");
        sockets.push_back(fd);
        nodes.push_back(Node(ntohs(address.sin_port)));
    }
    for (int fd : sockets) ::close(fd);
    return nodes;
}

// Standard output's lines.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Waits up to `timeout` for `done`, looking every few milliseconds.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    for (; !done(); std::this_thread::sleep_for(5ms))
        if (Clock::now() > end) return false;
    return true;
}

// A door the slow daemon's handler waits at.
class Gate {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    void Wait(std::chrono::milliseconds atMost) {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait_for(lock, atMost, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// What one process looked like, at its busiest, while sampled.
struct Peak {
    long threads = 0;
    long descriptors = 0;
    long rssKb = 0;
};

// Samples the threads, open descriptors and resident memory of `pid` from
// /proc every 2 ms until it ends (or `finished` says so).
Peak Sample(pid_t pid, const std::function<bool()>& finished) {
    Peak peak;
    const std::string proc = "/proc/" + std::to_string(pid);
    while (!finished()) {
        std::ifstream status(proc + "/status");
        bool alive = false;
        for (std::string line; std::getline(status, line);) {
            // A zombie has no threads of its own left to count.
            if (line.rfind("State:", 0) == 0) alive = line.find('Z') == std::string::npos;
            if (!alive) continue;
            if (line.rfind("Threads:", 0) == 0) peak.threads = std::max(peak.threads, std::stol(line.substr(8)));
            if (line.rfind("VmRSS:", 0) == 0) peak.rssKb = std::max(peak.rssKb, std::stol(line.substr(6)));
        }
        if (!alive) break;
        std::error_code error;
        long descriptors = 0;
        for (std::filesystem::directory_iterator it(proc + "/fd", error), end; !error && it != end; it.increment(error))
            ++descriptors;
        peak.descriptors = std::max(peak.descriptors, descriptors);
        std::this_thread::sleep_for(2ms);
    }
    return peak;
}

// Descriptors of this process (past the standard three) that a child
// inherits: those without close-on-exec (a test daemon's sockets, say).
long InheritedDescriptors() {
    long count = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error)) {
        const int fd = std::stoi(it->path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        if (fd > 2 && flags >= 0 && (flags & FD_CLOEXEC) == 0) ++count;
    }
    return count;
}

// The fleet: six simulators and three test daemons, each asked by its node
// name and by its endpoint URI, a daemon answering "no component matches"
// (by name and URI), eight closed ports, a node that never answers and a slow
// node. `status webserver` succeeds on the simulators, the test daemons and
// the slow node.
class Fleet : public ::testing::Test {
protected:
    // How a node ends: "" in success, else its error's kind.
    struct Member {
        std::string node;
        std::string kind;
    };

    void SetUp() override {
        for (int i = 0; i < 6; ++i) sims_.push_back(std::make_unique<E2e::SimNode>(DADOVU_SIM_COMPONENTS));
        const auto running = [](const SoapTest::RecordedRequest&) {
            return Reply::Result(0).Output("status", "webserver state=running");
        };
        for (int i = 0; i < 3; ++i) {
            daemons_.push_back(std::make_unique<TestDaemon>());
            daemons_.back()->SetHandler(running);
        }
        refusing_.SetHandler([](const SoapTest::RecordedRequest&) { return Reply::Result(65); });
        slow_.SetHandler([this](const SoapTest::RecordedRequest&) {
            gate_.Wait(10s);
            return Reply::Result(0).Output("status", "webserver state=running");
        });
        closed_ = ClosedNodes(8);
    }
    void TearDown() override { gate_.Open(); }  // no handler may hold the slow daemon's end

    // The nodes that answer at once and succeed.
    std::vector<Member> Fast() const {
        std::vector<Member> members;
        for (const auto& sim : sims_) members.push_back({sim->HostPort(), ""}), members.push_back({sim->Uri(), ""});
        for (const auto& daemon : daemons_)
            members.push_back({Node(daemon->Port()), ""}), members.push_back({daemon->Uri(), ""});
        return members;
    }
    std::vector<Member> Failing(bool withDead) const {
        std::vector<Member> members{{Node(refusing_.Port()), "no_matching_component"},
                                    {refusing_.Uri(), "no_matching_component"}};
        for (const std::string& node : closed_) members.push_back({node, "not_sent"});
        if (withDead) members.push_back({Node(dead_.Port()), "no_answer"});
        return members;
    }
    // Every node, the slow one first, the failing ones among the fast ones.
    std::vector<Member> All() const {
        std::vector<Member> members{{Node(slow_.Port()), ""}};
        const std::vector<Member> fast = Fast(), failing = Failing(true);
        for (std::size_t i = 0; i < std::max(fast.size(), failing.size()); ++i) {
            if (i < fast.size()) members.push_back(fast[i]);
            if (i < failing.size()) members.push_back(failing[i]);
        }
        return members;
    }
    // A nodes file of `members`, one node a line.
    std::string NodesFile(const std::vector<Member>& members, const std::string& name = "nodes.txt") const {
        std::string text;
        for (const Member& m : members) text += m.node + "\n";
        return dir_.Write(name, text);
    }
    // dadovuctl with `args` and the fixture's settings, running.
    std::unique_ptr<Child> Start(std::vector<std::string> args, const std::string& standardInput = "/dev/null") const {
        args.insert(args.begin(), DADOVUCTL_PATH);
        return Launch(std::move(args), standardInput);
    }
    // `argv` (which runs dadovuctl) with the fixture's settings appended, running.
    std::unique_ptr<Child> Launch(std::vector<std::string> argv, const std::string& standardInput = "/dev/null") const {
        argv.insert(argv.end(), {"--config", config_});
        return std::make_unique<Child>(argv, false, standardInput);
    }

    E2e::TempDir dir_;
    // At most two idle connections, so that the descriptors tell the bound.
    const std::string config_ = dir_.Write("node.conf", "[lnk.http.ext.ctrl]\nMAX_IDLE_CONNECTIONS = 2\n");
    std::vector<std::unique_ptr<E2e::SimNode>> sims_;
    std::vector<std::unique_ptr<TestDaemon>> daemons_;
    TestDaemon refusing_;
    Gate gate_;  // declared before the slow daemon, which it outlives
    TestDaemon slow_;
    RawDaemon dead_{RawDaemon::Mode::NeverAnswer};
    std::vector<std::string> closed_;
};

// "dadovuctl: summary: ASKED asked, ..., N.NN s" and what follows.
std::string SummaryLine(const std::string& err) {
    const std::size_t at = err.find("dadovuctl: summary: ");
    return at == std::string::npos ? std::string() : err.substr(at, err.find('\n', at) - at);
}

TEST_F(Fleet, EachResultIsPrintedAsItsNodeFinishesThenTheSummaryAndTheWorstStatus) {
    const std::vector<Member> all = All();
    ASSERT_EQ(all.size(), 30u);
    const auto child = Start({"status", "webserver", "--nodes-file", NodesFile(all), "--timeout", "3"});
    // The slow node is first and is held: the others' lines come before its answer.
    const std::size_t fast = Fast().size();
    const bool streamed = WaitUntil([&] { return Lines(child->Output()).size() >= fast; }, 15s);
    const std::string before = child->Output();
    EXPECT_EQ(slow_.RequestCount(), 1u);  // asked, and not answered yet
    gate_.Open();
    const ProcessResult r = child->Finish(20s);
    ASSERT_TRUE(streamed) << before << "\n" << Describe(r);
    EXPECT_EQ(before.find(Node(slow_.Port())), std::string::npos) << before;

    EXPECT_EQ(r.exitStatus, 9) << Describe(r);  // communication (not sent, no answer) outranks no match (3)
    // Every node that succeeded has its line, after its name; the slow one's comes last.
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), fast + 1) << r.out;
    for (const Member& m : all) {
        const std::string prefix = m.node + ": webserver state=";
        const auto found = std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.rfind(prefix, 0) == 0;
        });
        EXPECT_EQ(found, m.kind.empty() ? 1 : 0) << m.node << "\n" << r.out;
        // Each failure names its node on standard error.
        EXPECT_EQ(r.err.find("dadovuctl: " + m.node + ": status 'webserver' at ") != std::string::npos, !m.kind.empty())
            << m.node << "\n" << r.err;
    }
    EXPECT_EQ(lines.back().rfind(Node(slow_.Port()) + ": ", 0), 0u) << r.out;
    // The failures counted by kind, most first; then the wall time.
    const std::string summary = SummaryLine(r.err);
    EXPECT_TRUE(std::regex_match(summary, std::regex("dadovuctl: summary: 30 asked, 19 succeeded, 11 failed "
                                                     R"(\(8 not_sent, 2 no_matching_component, 1 no_answer\), )"
                                                     R"([0-9]+\.[0-9]{2} s)")))
        << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - summary.size() - 1), summary + "\n") << r.err;  // the last line
}

TEST_F(Fleet, OrderedJsonLinesComeInTheOrderGivenEachWithItsFourKeys) {
    const std::vector<Member> all = All();
    const auto child =
        Start({"status", "webserver", "--nodes-file", NodesFile(all), "--json", "--ordered", "--parallel", "8",
               "--timeout", "2"});
    // Nothing can be printed while the first node is held, however many others have answered.
    ASSERT_TRUE(WaitUntil([&] { return slow_.RequestCount() == 1; }, 10s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(child->Output(), "");
    gate_.Open();
    const ProcessResult r = child->Finish(30s);
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);

    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), all.size()) << r.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const nlohmann::json line = nlohmann::json::parse(lines[i], nullptr, false);
        ASSERT_TRUE(line.is_object()) << lines[i];
        EXPECT_EQ(line.size(), 4u) << lines[i];
        for (const char* key : {"node", "exit_status", "result", "error"}) EXPECT_TRUE(line.contains(key)) << lines[i];
        EXPECT_EQ(line.value("node", ""), all[i].node) << i;
        if (all[i].kind.empty()) {
            EXPECT_EQ(line["exit_status"], 0) << lines[i];
            EXPECT_TRUE(line["error"].is_null()) << lines[i];
            EXPECT_EQ(line["result"]["target"], "webserver") << lines[i];  // and the records the node sent
            EXPECT_TRUE(line["result"]["components"].is_array()) << lines[i];
        } else {
            EXPECT_EQ(line["exit_status"], all[i].kind == "no_matching_component" ? 3 : 9) << lines[i];
            EXPECT_TRUE(line["result"].is_null()) << lines[i];
            ASSERT_TRUE(line["error"].is_object()) << lines[i];
            EXPECT_EQ(line["error"]["kind"], all[i].kind) << lines[i];
            EXPECT_NE(line["error"]["message"].get<std::string>().find(" at "), std::string::npos) << lines[i];
            EXPECT_TRUE(line["error"]["details"].is_array()) << lines[i];
        }
    }
    EXPECT_NE(SummaryLine(r.err).find("30 asked, 19 succeeded, 11 failed"), std::string::npos) << r.err;
}

TEST_F(Fleet, ThreadsAndDescriptorsStayWithinTheParallelismAndTheIdleCap) {
    gate_.Open();
    const std::vector<Member> all = All();
    const std::string nodes = NodesFile(all);
    const auto run = [&](const std::vector<std::string>& argv, std::size_t parallel) {
        const long inherited = InheritedDescriptors();
        const auto child = Launch(argv);
        const Peak peak = Sample(child->Pid(), [] { return false; });
        const ProcessResult r = child->Finish(30s);
        EXPECT_EQ(r.exitStatus, 9) << Describe(r);
        EXPECT_NE(SummaryLine(r.err).find("30 asked, 19 succeeded"), std::string::npos) << r.err;
        // The workers, the main thread and the signal thread (no name is looked up: every node is an address).
        EXPECT_LE(peak.threads, static_cast<long>(parallel) + 2 + (kSanitizer == "thread" ? 1 : 0)) << Describe(r);
        EXPECT_GE(peak.threads, 3);  // it was sampled while the workers ran
        // A connection per request in flight, the two idle ones, and the process's own: the standard
        // three, the wake pipe, the nodes file; and what it inherited from this process.
        EXPECT_LE(peak.descriptors, static_cast<long>(parallel) + 2 + 6 + inherited) << inherited << " inherited";
        return r;
    };
    run({DADOVUCTL_PATH, "status", "webserver", "--nodes-file", nodes, "--parallel", "4", "--timeout", "1"}, 4);
    // Within a low descriptor limit, the parallelism is lowered to fit it: 120 - 2 idle - 96 kept for the rest.
    const ProcessResult low = run({"/bin/sh", "-c", "ulimit -n 120 && exec \"$0\" \"$@\"", DADOVUCTL_PATH, "status",
                                   "webserver", "--nodes-file", nodes, "--timeout", "1"},
                                  22);
    EXPECT_NE(low.err.find("dadovuctl: --parallel lowered from 64 to 22: the descriptor limit is 120"),
              std::string::npos)
        << low.err;
    // A low soft limit is raised to the hard one first.
    const ProcessResult soft = run({"/bin/sh", "-c", "ulimit -S -n 120 && exec \"$0\" \"$@\"", DADOVUCTL_PATH,
                                    "status", "webserver", "--nodes-file", nodes, "--timeout", "1", "--parallel", "8"},
                                   8);
    EXPECT_EQ(soft.err.find("lowered"), std::string::npos) << soft.err;
}

TEST_F(Fleet, MemoryDoesNotGrowWithTheNodesAnswered) {
    // Many answers of a closed port (each refused at once), with --json: a
    // run that kept what it printed would grow by megabytes.
    const std::string closed = closed_.front();
    const auto peak = [&](std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) text += closed + "\n";
        const std::string nodes = dir_.Write("many-" + std::to_string(count), text);
        const auto child = Start({"user", "--nodes-file", nodes, "--json"});
        const Peak sampled = Sample(child->Pid(), [] { return false; });
        const ProcessResult r = child->Finish(60s);
        EXPECT_EQ(r.exitStatus, 9);
        EXPECT_EQ(Lines(r.out).size(), count);
        EXPECT_NE(SummaryLine(r.err).find(std::to_string(count) + " asked, 0 succeeded"), std::string::npos) << r.err;
        return sampled.rssKb;
    };
    const long few = peak(1000), many = peak(20000);
    if (!kSanitizer.empty()) GTEST_SKIP() << "the sanitizer's memory: " << few << " kB, then " << many << " kB";
    EXPECT_LT(many, few + 3 * 1024) << "resident kB with 1000 nodes: " << few << ", with 20000: " << many;
}

TEST_F(Fleet, SigintStopsTakingNodesLetsTheRequestsInFlightEndAndPrintsTheSummary) {
    // Two workers: once the simulators have answered, both hang on the dead
    // node; the test daemons after it are never asked.
    std::vector<Member> members;
    for (const auto& sim : sims_) members.push_back({sim->HostPort(), ""}), members.push_back({sim->Uri(), ""});
    members.push_back({Node(dead_.Port()), "no_answer"});
    members.push_back({dead_.Uri(), "no_answer"});
    for (const auto& daemon : daemons_) members.push_back({Node(daemon->Port()), ""});
    const auto child =
        Start({"status", "webserver", "--nodes-file", NodesFile(members), "--parallel", "2", "--timeout", "3"});
    ASSERT_TRUE(WaitUntil([&] { return Lines(child->Output()).size() == 12 && dead_.RequestCount() == 2; }, 15s))
        << child->Output() << child->Errors();
    const auto interrupted = Clock::now();
    ::kill(child->Pid(), SIGINT);
    const ProcessResult r = child->Finish(20s);
    const auto took = Clock::now() - interrupted;
    EXPECT_EQ(r.exitStatus, 130) << Describe(r);
    EXPECT_LT(took, 3s + 3s);  // the requests in flight end at their deadline (3 s), then it quits
    EXPECT_EQ(Lines(r.out).size(), 12u) << r.out;
    EXPECT_NE(r.err.find("dadovuctl: SIGINT: asking no further node"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("dadovuctl: " + Node(dead_.Port()) + ": status 'webserver' at " + dead_.Uri() + ": no answer"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(std::regex_match(SummaryLine(r.err),
                                 std::regex(R"(dadovuctl: summary: 14 asked, 12 succeeded, 2 failed \(2 no_answer\), )"
                                            R"([0-9.]+ s; interrupted by SIGINT: no further node was asked)")))
        << r.err;
    for (const auto& daemon : daemons_) EXPECT_EQ(daemon->RequestCount(), 0u);
}

TEST_F(Fleet, ASecondSignalQuitsAtOnceAndOneNodesWaitEndsAtTheFirst) {
    std::vector<Member> members;
    for (const auto& sim : sims_) members.push_back({sim->HostPort(), ""});
    members.push_back({Node(dead_.Port()), ""});
    members.push_back({dead_.Uri(), ""});
    members.push_back({Node(daemons_[0]->Port()), ""});
    const auto child =
        Start({"status", "webserver", "--nodes-file", NodesFile(members), "--parallel", "2", "--timeout", "60"});
    ASSERT_TRUE(WaitUntil([&] { return Lines(child->Output()).size() == 6 && dead_.RequestCount() == 2; }, 15s))
        << child->Output() << child->Errors();
    ::kill(child->Pid(), SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return child->Errors().find("SIGTERM: asking no further node") != std::string::npos; },
                          5s))
        << child->Errors();
    const auto again = Clock::now();
    ::kill(child->Pid(), SIGTERM);
    const ProcessResult r = child->Finish(20s);
    EXPECT_LT(Clock::now() - again, 3s);  // not the 60 s of the requests in flight
    EXPECT_EQ(r.exitStatus, 128 + SIGTERM) << Describe(r);
    EXPECT_EQ(Lines(r.out).size(), 6u) << r.out;
    EXPECT_TRUE(std::regex_match(SummaryLine(r.err),
                                 std::regex(R"(dadovuctl: summary: 8 asked, 6 succeeded, 0 failed, [0-9.]+ s; )"
                                            R"(interrupted by SIGTERM twice: 2 requests in flight abandoned)")))
        << r.err;
    EXPECT_EQ(daemons_[0]->RequestCount(), 0u);

    // One node's progress --wait ends at the first signal, with the last state known.
    TestDaemon running;
    running.SetHandler([](const SoapTest::RecordedRequest&) { return Reply::Result(1); });
    const auto waiting = Start({"progress", "5", "--wait", "--interval", "20", "--uri", running.Uri()});
    ASSERT_TRUE(running.WaitForRequests(2, 10s));
    const auto interrupted = Clock::now();
    ::kill(waiting->Pid(), SIGINT);
    const ProcessResult w = waiting->Finish(20s);
    EXPECT_LT(Clock::now() - interrupted, 3s);
    EXPECT_EQ(w.exitStatus, 130) << Describe(w);
    EXPECT_EQ(w.out, "request 5: running (code 1)\n");
    EXPECT_NE(w.err.find("dadovuctl: request 5: the wait was interrupted by SIGINT (last code 1)\n"), std::string::npos)
        << w.err;
    EXPECT_NE(w.err.find("dadovuctl: interrupted by SIGINT\n"), std::string::npos) << w.err;
}

TEST_F(Fleet, NodesFileWithCommentsNamesAndUrisBadLinesAndNoNodes) {
    gate_.Open();
    TestDaemon& a = *daemons_[0];
    TestDaemon& b = *daemons_[1];
    const std::string A = Node(a.Port()), B = b.Uri(), C = sims_[0]->HostPort();
    const std::string mixed = dir_.Write(
        "mixed.txt", "# the fleet\n\n  " + A + "   # rack 1\r\n" + B + "\n\t# an indented comment\n" + C + "\n");
    const auto expect = [&](const ProcessResult& r, int exitStatus, const std::string& out, const std::string& err) {
        EXPECT_EQ(r.exitStatus, exitStatus) << Describe(r);
        EXPECT_EQ(r.out, out) << Describe(r);
        EXPECT_EQ(r.err.substr(0, err.size()), err) << Describe(r);
    };
    // (The test daemons answer the same text at every level; the simulator its names at level 0.)
    const std::string answered =
        A + ": webserver state=running\n" + B + ": webserver state=running\n" + C + ": webserver\n";
    ProcessResult r = Start({"status", "webserver", "--level", "0", "--nodes-file", mixed, "--ordered"})->Finish(20s);
    expect(r, 0, answered, "dadovuctl: summary: 3 asked, 3 succeeded, 0 failed, ");

    // The same from standard input.
    r = Start({"status", "webserver", "--level", "0", "--nodes-file", "-", "--ordered"}, mixed)->Finish(20s);
    expect(r, 0, answered, "dadovuctl: summary: 3 asked, 3 succeeded, 0 failed, ");

    // A bad line anywhere in a file: a usage error naming the line, and nothing is sent.
    a.ClearRecords();
    const std::pair<std::string, std::string> bad[] = {
        {A + "\nevil@host\n", ":2: not a node name (host[:port]) or endpoint URI: evil@host\n"},
        {"# x\n" + A + "\nnode 17\n", ":3: not one node name or URI: node 17\n"},
        {A + "\n" + A + "\n\nhttp://[::1/x\n", ":4: not an http or https URI: http://[::1/x\n"},
        {A + "\nftp://127.0.0.1/x # ftp\n", ":2: not an http or https URI: ftp://127.0.0.1/x\n"},
        {A + "\n" + std::string(5000, 'a') + "\n", ":2: a line longer than 4096 bytes\n"}};
    for (const auto& [text, problem] : bad) {
        const std::string file = dir_.Write("bad.txt", text);
        expect(Start({"status", "--nodes-file", file})->Finish(20s), 2, "", "dadovuctl: " + file + problem);
    }
    EXPECT_EQ(a.RequestCount(), 0u);

    // No nodes at all.
    for (const std::string& text : {std::string(), std::string("# nothing but comments\n\n   \n")}) {
        const std::string file = dir_.Write("empty.txt", text);
        expect(Start({"status", "--nodes-file", file})->Finish(20s), 2, "", "dadovuctl: " + file + ": no nodes\n");
        expect(Start({"status", "--nodes-file", "-"}, file)->Finish(20s), 2, "",
               "dadovuctl: standard input: no nodes\n");
    }

    // Standard input is read as the run goes: a bad line stops it there, after the nodes before it.
    const std::string piped = dir_.Write("piped.txt", A + "\n" + A + "\n" + A + "\nevil@host\n" + A + "\n");
    r = Start({"status", "webserver", "--nodes-file", "-", "--parallel", "1"}, piped)->Finish(20s);
    EXPECT_EQ(r.exitStatus, 2) << Describe(r);
    EXPECT_EQ(Lines(r.out).size(), 3u) << r.out;
    EXPECT_NE(r.err.find("dadovuctl: standard input:4: not a node name (host[:port]) or endpoint URI: evil@host\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(SummaryLine(r.err).find("3 asked, 3 succeeded, 0 failed"), std::string::npos) << r.err;
    EXPECT_EQ(a.RequestCount(), 3u);

    // A pipe that is written slowly: the nodes already read are answered and printed meanwhile.
    const std::string fifo = dir_.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Writer {
        int fd;
        ~Writer() {
            if (fd >= 0) ::close(fd);
        }
    } writer{::open(fifo.c_str(), O_RDWR | O_CLOEXEC)};  // read-write: the child's open does not wait for a writer
    ASSERT_GE(writer.fd, 0);
    const auto write = [&](const std::string& text) {
        ASSERT_EQ(::write(writer.fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    };
    write(A + "\n" + C + "\n" + B + "\n");
    const auto piping = Start({"status", "webserver", "--nodes-file", "-"}, fifo);
    EXPECT_TRUE(WaitUntil([&] { return Lines(piping->Output()).size() == 3; }, 10s)) << piping->Output();
    write(A + "\n");
    EXPECT_TRUE(WaitUntil([&] { return Lines(piping->Output()).size() == 4; }, 10s)) << piping->Output();
    ::close(writer.fd);  // the end of the input
    writer.fd = -1;
    r = piping->Finish(20s);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_NE(SummaryLine(r.err).find("4 asked, 4 succeeded"), std::string::npos) << r.err;

    // One node in a file: no prefix and no summary, as with --node.
    r = Start({"status", "webserver", "--nodes-file", dir_.Write("one.txt", A + "\n")})->Finish(20s);
    expect(r, 0, "webserver state=running\n", "");
    EXPECT_EQ(r.err, "");
}

}  // namespace
