// Temporary directories and child processes for tests: run a program to its
// end with its output captured, or start one (a daemon), read the first line
// it prints and stop it. Every wait has a deadline, and no child outlives the
// object that started it. Header-only; not thread-safe.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace SoapTest {

// A directory of its own under $TMPDIR (or /tmp), removed with its content on destruction.
class TempDir {
public:
    TempDir() : path_(std::filesystem::temp_directory_path() / "dadovu-test-XXXXXX") {
        if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    // Writes `content` to the file `name` in the directory; returns its path.
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream file(path_ + "/" + name, std::ios::binary);
        if (!(file << content).flush()) throw std::runtime_error("cannot write " + name);
        return path_ + "/" + name;
    }
    // The content of the file `name` ("" when there is none).
    std::string Read(const std::string& name) const {
        std::ifstream file(path_ + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

private:
    std::string path_;
};

struct ProcessResult {
    int exitStatus = -1;   // the exit status, or -1 when the child was ended by a signal
    int signal = 0;        // that signal (SIGKILL when it was killed for taking too long), or 0
    std::string out, err;  // standard output and error
};

// A child running `argv` (argv[0] a path) with standard input from
// `standardInput` (default /dev/null) and standard output and error in files;
// with `terminalStderr` its standard error is a pseudo-terminal (what it
// writes there arrives with the terminal's line ends, up to what the terminal
// buffers). Throws std::runtime_error when it cannot be started. The
// destructor kills and reaps a child still running.
class Child {
public:
    explicit Child(std::vector<std::string> argv, bool terminalStderr = false,
                   const std::string& standardInput = "/dev/null") {
        Fd terminal;
        if (terminalStderr) {
            pty_.fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
            if (pty_.fd < 0 || ::grantpt(pty_.fd) != 0 || ::unlockpt(pty_.fd) != 0 ||
                (terminal.fd = ::open(::ptsname(pty_.fd), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0)
                throw std::runtime_error("no pseudo-terminal");
        }
        std::vector<char*> args;
        for (auto& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, standardInput.c_str(), O_RDONLY, 0);
        const std::string out = files_.Path() + "/out", err = files_.Path() + "/err";
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
        if (terminal.fd >= 0)
            posix_spawn_file_actions_adddup2(&actions, terminal.fd, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
        const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    }
    ~Child() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The child's process ID while it runs (-1 once Finish has reaped it).
    pid_t Pid() const { return pid_; }
    // What the child has written to standard output (and, unless it is a
    // terminal, to standard error) so far.
    std::string Output() const { return files_.Read("out"); }
    std::string Errors() const { return files_.Read("err"); }

    // The first line of standard output without its '\n'. Throws
    // std::runtime_error when none comes within `timeout`.
    std::string FirstLine(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (std::string out;; Nap()) {
            if ((out = files_.Read("out")).find('\n') != std::string::npos) return out.substr(0, out.find('\n'));
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("no line in time; the child wrote: " + out + files_.Read("err"));
        }
    }

    // Sends `signal` (none when 0) and waits for the child to end, killing it
    // after `timeout`. Call once.
    ProcessResult Finish(std::chrono::milliseconds timeout, int signal = 0) {
        if (signal != 0) ::kill(pid_, signal);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = -1;
        for (; ::waitpid(pid_, &status, WNOHANG) == 0; Nap())
            if (std::chrono::steady_clock::now() > deadline) ::kill(pid_, SIGKILL);
        pid_ = -1;
        std::string err = files_.Read("err");
        char buffer[4096];
        for (ssize_t got; pty_.fd >= 0 && (got = ::read(pty_.fd, buffer, sizeof buffer)) > 0;)
            err.append(buffer, static_cast<std::size_t>(got));
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0,
                files_.Read("out"), err};
    }

private:
    struct Fd {  // owns a descriptor
        int fd = -1;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    };
    static void Nap() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

    TempDir files_;  // "out" and "err"
    Fd pty_;         // our side of the terminal
    pid_t pid_ = -1;
};

// `a` followed by `b`.
inline std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Runs `argv` to its end, killed after `timeout`.
inline ProcessResult Run(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20), bool terminalStderr = false) {
    return Child(argv, terminalStderr).Finish(timeout);
}

}  // namespace SoapTest
