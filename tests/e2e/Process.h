// Child processes for end-to-end tests: run a program to its end with its
// output captured, or keep one running (a daemon) and read its standard output.
// Every wait has a timeout; nothing a test starts outlives the test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace E2e {

using Env = std::vector<std::pair<std::string, std::string>>;  // set in the child's environment

struct ProcessResult {
    int exitStatus = -1;  // the exit status, or -1 when the child ended by a signal
    int signal = 0;       // the signal that ended it, or 0
    bool timedOut = false;  // it did not end in time and was killed
    std::string out, err;   // standard output and error
};

// Runs `argv` (argv[0] a path) with standard input from /dev/null and `env`
// added to this process's environment; kills it when it has not ended after
// `timeout`. With `terminalStderr` its standard error is a pseudo-terminal
// (what it writes there arrives in `err`, line ends as the terminal makes
// them). Throws std::runtime_error when it cannot be started.
ProcessResult Run(const std::vector<std::string>& argv, const Env& env = {},
                  std::chrono::milliseconds timeout = std::chrono::seconds(20), bool terminalStderr = false);

// A child that runs until it is stopped: its standard output is read by a
// thread of its own (so the child never blocks on a full pipe), its standard
// error goes to `stderrPath`. The destructor stops it: SIGTERM, then SIGKILL
// after 5 s, and reaps it.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const Env& env, const std::string& stderrPath);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // The next whole line of standard output without its '\n'. Throws
    // std::runtime_error when none arrives within `timeout` or output ends.
    std::string ReadLine(std::chrono::milliseconds timeout);
    // Sends SIGTERM and waits (5 s, then SIGKILL) for the child; returns what
    // waitpid reported. Later calls return the same.
    int Stop();

private:
    void Drain(int fd);

    pid_t pid_ = -1;
    int waitStatus_ = 0;
    bool reaped_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string buffer_;
    bool eof_ = false;
    std::thread reader_;
};

// A directory of its own under $TMPDIR (or /tmp), removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    // Writes `content` to the file `name` in the directory; returns its path.
    std::string Write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

}  // namespace E2e
