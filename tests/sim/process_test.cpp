// The dadovu-sim process: the endpoint URI on its first line, clean exit on
// SIGTERM and SIGINT, exit codes for bad arguments and definitions.
#include "SimTestSupport.h"

#include <httplib.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// A dadovu-sim child process with its standard output on a pipe and its
// standard error in a file. Killed and reaped on destruction if still running.
class SimProcess {
public:
    SimProcess(std::vector<std::string> args, const std::string& errFile) {
        args.insert(args.begin(), SIM_EXECUTABLE);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int rc = posix_spawn(&pid_, SIM_EXECUTABLE, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
        if (rc != 0) {
            close(out_);
            throw std::runtime_error("cannot start " + std::string(SIM_EXECUTABLE));
        }
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The first line of standard output, or "" when none came in time.
    std::string FirstLine(std::chrono::milliseconds timeout = 30s) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c = 0;
            if (read(out_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return "";
    }

    void Signal(int signal) const { kill(pid_, signal); }

    // The exit status once the process has ended, or -1 after the timeout.
    int Wait(std::chrono::milliseconds timeout = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kStatus = SimTest::SoapRequest("status", SimTest::Arg("level", "1", "xsd:int") + SimTest::Arg("target", "*"));

class SimProcessTest : public ::testing::TestWithParam<int> {};

TEST_P(SimProcessTest, PrintsTheUriFirstAndStopsCleanlyOnSignal) {
    SimTest::TempDir dir;
    SimProcess sim({"--listen", "127.0.0.1:0", "--components", std::string(SIM_SOURCE_DIR) + "/components",
                    "--generate", "3"},
                   dir.Path() + "/err");
    const std::string uri = sim.FirstLine();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(uri, match, std::regex(R"(http://127\.0\.0\.1:(\d+)/dadovu\.ctrl\.server/lnkrpcserver)")))
        << "first line: '" << uri << "'; stderr: " << ReadFile(dir.Path() + "/err");
    const int port = std::stoi(match[1]);

    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);  // an idle kept-alive connection must not hold up the exit
    client.set_read_timeout(10, 0);
    const auto answer = client.Post("/dadovu.ctrl.server/lnkrpcserver", kStatus, "text/xml; charset=utf-8");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_NE(answer->body.find("webserver state=stopped"), std::string::npos);
    EXPECT_NE(answer->body.find("comp00003 state=stopped"), std::string::npos);

    sim.Signal(GetParam());
    EXPECT_EQ(sim.Wait(), 0) << ReadFile(dir.Path() + "/err");
}

INSTANTIATE_TEST_SUITE_P(Signals, SimProcessTest, ::testing::Values(SIGTERM, SIGINT));

TEST(SimProcessArguments, UsageErrorsExitWith2) {
    SimTest::TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--no-such-option"}, std::vector<std::string>{"--listen", "nonsense"},
          std::vector<std::string>{"--listen", "127.0.0.1:70000"},
          std::vector<std::string>{"--tls-cert", std::string(SIM_SOURCE_DIR) + "/dadovu-control.wsdl"},
          std::vector<std::string>{"--components", dir.Path() + "/missing"}}) {
        SimProcess sim(args, dir.Path() + "/err");
        EXPECT_EQ(sim.Wait(), 2) << args.front();
    }
}

TEST(SimProcessArguments, BadDefinitionsExitWith1Naming) {
    SimTest::TempDir dir;
    dir.Write("a.conf", "prerequisites = b\n");
    dir.Write("b.conf", "prerequisites = a\n");
    SimProcess sim({"--components", dir.Path()}, dir.Path() + "/err.txt");
    EXPECT_EQ(sim.Wait(), 1);
    EXPECT_NE(ReadFile(dir.Path() + "/err.txt").find("prerequisite cycle: a -> b -> a"), std::string::npos)
        << ReadFile(dir.Path() + "/err.txt");
}

}  // namespace
