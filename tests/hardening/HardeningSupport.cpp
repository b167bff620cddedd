#include "HardeningSupport.h"

#include <qxpal/config.h>
#include <qxpal/message.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

extern char** environ;

namespace Hardening {

NodeSettings::NodeSettings(const std::string& sections) : previous_(QxPalConfig::GetConfigPath()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dadovu-hardening-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a settings directory");
    dir_ = pattern;
    file_ = dir_ + "/node.conf";
    std::ofstream(file_) << sections << "\n[log]\nFILE = " << dir_ << "/node.log\n";
    QxPalConfig::SetConfigPath(file_);
}

NodeSettings::~NodeSettings() {
    QxPalConfig::SetConfigPath(previous_);
    ::unlink(file_.c_str());
    ::unlink((dir_ + "/node.log").c_str());
    ::rmdir(dir_.c_str());
}

Sim::Sim(const std::vector<std::string>& args, int port) {
    std::vector<std::string> argv{DADOVU_SIM_PATH, "--listen", "127.0.0.1:" + std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // The environment, with the simulator's own ThreadSanitizer suppressions
    // where this is a ThreadSanitizer build.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
#ifdef DADOVU_SIM_TSAN_SUPPRESSIONS
    auto tsan = std::find_if(environment.begin(), environment.end(),
                             [](const std::string& entry) { return entry.rfind("TSAN_OPTIONS=", 0) == 0; });
    if (tsan == environment.end()) tsan = environment.insert(environment.end(), "TSAN_OPTIONS=");
    *tsan += ":suppressions=" DADOVU_SIM_TSAN_SUPPRESSIONS;
#endif
    std::vector<char*> variables;
    for (std::string& entry : environment) variables.push_back(entry.data());
    variables.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, pointers.data(), variables.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
    if (rc != 0) {
        pid_ = -1;
        ::close(out_);
        throw std::runtime_error("cannot start dadovu-sim: " + std::string(std::strerror(rc)));
    }
    // The first line of its output is the endpoint URI.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string line;
    while (line.empty() || line.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{out_, POLLIN, 0};
        char c;
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0 || ::read(out_, &c, 1) != 1) {
            Stop(SIGKILL);
            throw std::runtime_error("dadovu-sim printed no endpoint URI");
        }
        line += c;
    }
    uri_ = line.substr(0, line.size() - 1);
    const auto colon = uri_.find(':', uri_.find("://") + 3);
    port_ = std::atoi(uri_.c_str() + colon + 1);
}

Sim::~Sim() { Stop(SIGTERM); }

void Sim::Stop(int signal) {
    if (pid_ < 0) return;
    ::kill(pid_, signal);
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) ::usleep(10000);
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    ::close(out_);
}

std::string PlainText(const QxPalMsg::Exception_t& error) {
    return error.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
}

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
        --count;  // the directory's own descriptor
    }
    return count;
}

std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

bool UnderValgrind() {
#ifdef RUNNING_ON_VALGRIND
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

}  // namespace Hardening
