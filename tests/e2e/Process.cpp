#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

extern char** environ;

namespace E2e {

namespace {

using Clock = std::chrono::steady_clock;

// Owns a file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
};

Pipe MakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

// The environment of this process with `env` set on top.
std::vector<std::string> MergedEnvironment(const Env& env) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : env) merged[key] = value;
    std::vector<std::string> out;
    for (const auto& [key, value] : merged) out.push_back(key + "=" + value);
    return out;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// Spawns `argv` with stdin from /dev/null, stdout to `outFd`, stderr to
// `errFd` (or the file `errPath` when errFd < 0).
pid_t Spawn(const std::vector<std::string>& argv, const Env& env, int outFd, int errFd, const std::string& errPath) {
    if (argv.empty()) throw std::runtime_error("no program to run");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    struct Cleanup {
        posix_spawn_file_actions_t* a;
        ~Cleanup() { posix_spawn_file_actions_destroy(a); }
    } cleanup{&actions};
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    if (errFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> envText = MergedEnvironment(env);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(envText);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data());
    if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    return pid;
}

void Decode(int status, ProcessResult& result) {
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

// Waits for `pid` until `deadline`; true when it was reaped into `status`.
bool WaitUntil(pid_t pid, Clock::time_point deadline, int& status) {
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;  // not our child any more: nothing left to wait for
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

// A pseudo-terminal: `read` is the master side, `write` the terminal.
Pipe MakeTerminal() {
    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.Get() < 0 || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
    }
    char name[128];
    if (::ptsname_r(master.Get(), name, sizeof name) != 0) throw std::runtime_error("ptsname_r failed");
    Fd terminal(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (terminal.Get() < 0) throw std::runtime_error(std::string("open ") + name + ": " + std::strerror(errno));
    return Pipe{Fd(master.Release()), Fd(terminal.Release())};
}

ProcessResult Run(const std::vector<std::string>& argv, const Env& env, std::chrono::milliseconds timeout,
                  bool terminalStderr) {
    Pipe out = MakePipe();
    Pipe err = terminalStderr ? MakeTerminal() : MakePipe();
    const pid_t pid = Spawn(argv, env, out.write.Get(), err.write.Get(), "");
    out.write.Reset();
    err.write.Reset();

    // Whatever happens below, the child does not outlive this call.
    struct Reaper {
        pid_t pid;
        bool done = false;
        ~Reaper() {
            if (done) return;
            ::kill(pid, SIGKILL);
            int ignored = 0;
            ::waitpid(pid, &ignored, 0);
        }
    } reaper{pid};

    ProcessResult result;
    const auto deadline = Clock::now() + timeout;
    bool outOpen = true, errOpen = true;
    char buf[4096];
    while (outOpen || errOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd fds[2] = {{outOpen ? out.read.Get() : -1, POLLIN, 0}, {errOpen ? err.read.Get() : -1, POLLIN, 0}};
        const int n = ::poll(fds, 2, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {  // a terminal's master reads EIO once it is closed
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
    }
    int status = 0;
    if (result.timedOut || !WaitUntil(pid, deadline + std::chrono::seconds(1), status)) {
        result.timedOut = true;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    reaper.done = true;
    Decode(status, result);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Env& env, const std::string& stderrPath) {
    Pipe out = MakePipe();
    pid_ = Spawn(argv, env, out.write.Get(), -1, stderrPath);
    out.write.Reset();
    try {
        reader_ = std::thread([this, fd = out.read.Get()] { Drain(fd); });
    } catch (...) {
        Stop();
        throw;
    }
    out.read.Release();  // the reader thread owns it now
}

ChildProcess::~ChildProcess() {
    Stop();
    if (reader_.joinable()) reader_.join();
}

void ChildProcess::Drain(int fd) {
    Fd owned(fd);
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (got <= 0) {
            eof_ = true;
            changed_.notify_all();
            return;
        }
        buffer_.append(buf, static_cast<std::size_t>(got));
        changed_.notify_all();
    }
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t newline = std::string::npos;
    const bool got = changed_.wait_for(lock, timeout, [&] {
        newline = buffer_.find('\n');
        return newline != std::string::npos || eof_;
    });
    if (!got || newline == std::string::npos) {
        throw std::runtime_error(got ? "the child's output ended before a whole line"
                                     : "no line from the child in time");
    }
    std::string line = buffer_.substr(0, newline);
    buffer_.erase(0, newline + 1);
    return line;
}

int ChildProcess::Stop() {
    if (reaped_ || pid_ <= 0) return waitStatus_;
    ::kill(pid_, SIGTERM);
    if (!WaitUntil(pid_, Clock::now() + std::chrono::seconds(5), waitStatus_)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &waitStatus_, 0);
    }
    reaped_ = true;
    return waitStatus_;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/dadovu-e2e-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& content) const {
    const std::string path = path_ + "/" + name;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush()) throw std::runtime_error("cannot write " + path);
    return path;
}

}  // namespace E2e
