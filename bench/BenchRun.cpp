#include "BenchRun.h"

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<unsigned long> gConnects{0};

}  // namespace

// Every connect() of the process, the shared libraries' included, comes here
// (the executable exports this symbol) and is counted, then passed on.
extern "C" __attribute__((visibility("default"))) int connect(int fd, const struct sockaddr* address, socklen_t length) {
    using Connect = int (*)(int, const struct sockaddr*, socklen_t);
    static const Connect real = [] {
        void* symbol = dlsym(RTLD_NEXT, "connect");
        Connect function = nullptr;
        std::memcpy(&function, &symbol, sizeof(function));
        return function;
    }();
    gConnects.fetch_add(1, std::memory_order_relaxed);
    if (real == nullptr) return -1;
    return real(fd, address, length);
}

namespace Bench {

namespace {

[[noreturn]] void Usage(const char* program, const char* problem) {
    if (problem != nullptr) std::fprintf(stderr, "%s: %s\n", program, problem);
    std::fprintf(stderr,
                 "usage: %s --uri URI [--scenario start|status|statusaslist] [--target T] [--level L]\n"
                 "       [--requests N] [--warmup N] [--threads T] [--close] [--expect RECORDS]\n",
                 program);
    std::exit(2);
}

long Number(const char* program, const char* option, const char* text, long minimum) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < minimum) {
        std::fprintf(stderr, "%s: %s needs a number of at least %ld\n", program, option, minimum);
        std::exit(2);
    }
    return value;
}

double Seconds(const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; }

struct Usage_t {
    double user = 0;
    double system = 0;
    long peakKiB = 0;
};

Usage_t ProcessUsage() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {Seconds(usage.ru_utime), Seconds(usage.ru_stime), usage.ru_maxrss};
}

// Where the threads wait until every client is built and warm.
class Gate {
public:
    void Arrive() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }
    void AwaitAll(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return arrived_ == count; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
    bool open_ = false;
};

struct Outcome {
    long items = 0;
    std::string error;
};

// The measured requests of one thread. Not inlined, so that
//   valgrind --tool=callgrind --toggle-collect='*MeasuredLoop*'
// counts the requests' instructions and nothing else.
__attribute__((noinline)) long MeasuredLoop(const Request& request, long count, long expect) {
    long items = 0;
    for (long i = 0; i < count; ++i) {
        const long received = request();
        if (expect > 0 && received != expect)
            throw std::runtime_error("a request returned " + std::to_string(received) + " records, not " +
                                     std::to_string(expect));
        items += received;
    }
    return items;
}

__attribute__((noinline)) void WarmupLoop(const Request& request, long count) {
    for (long i = 0; i < count; ++i) request();
}

}  // namespace

Config ParseArgs(int argc, char** argv, const char* client) {
    Config config;
    config.client = client;
    const char* program = argv[0];
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() -> const char* {
            if (!hasValue) Usage(program, (option + " needs a value").c_str());
            return argv[++i];
        };
        if (option == "--uri") {
            config.uri = value();
        } else if (option == "--scenario") {
            config.scenario = value();
        } else if (option == "--target") {
            config.target = value();
        } else if (option == "--level") {
            config.level = static_cast<int>(Number(program, "--level", value(), 0));
        } else if (option == "--requests") {
            config.requests = Number(program, "--requests", value(), 1);
        } else if (option == "--warmup") {
            config.warmup = Number(program, "--warmup", value(), 0);
        } else if (option == "--threads") {
            config.threads = static_cast<int>(Number(program, "--threads", value(), 1));
        } else if (option == "--expect") {
            config.expect = Number(program, "--expect", value(), 0);
        } else if (option == "--close") {
            config.close = true;
        } else if (option == "--help" || option == "-h") {
            Usage(program, nullptr);
        } else {
            Usage(program, ("unknown option " + option).c_str());
        }
    }
    if (config.uri.empty()) Usage(program, "--uri is required");
    if (config.scenario == "start") {
        if (config.target.empty()) config.target = "comp00001";
    } else if (config.scenario == "status") {
        if (config.target.empty()) config.target = "comp0001*";
    } else if (config.scenario == "statusaslist") {
        if (config.target.empty()) config.target = "*";
    } else {
        Usage(program, "the scenario must be start, status or statusaslist");
    }
    if (config.requests < config.threads) config.requests = config.threads;
    return config;
}

unsigned long ConnectCount() { return gConnects.load(std::memory_order_relaxed); }

int Run(const Config& config, const ClientFactory& makeClient) {
    const int threads = config.threads;
    std::vector<Outcome> outcomes(static_cast<std::size_t>(threads));
    std::vector<std::thread> workers;
    Gate gate;
    for (int t = 0; t < threads; ++t) {
        const long count = config.requests / threads + (t < config.requests % threads ? 1 : 0);
        workers.emplace_back([&, t, count] {
            Outcome& outcome = outcomes[static_cast<std::size_t>(t)];
            Request request;
            try {
                request = makeClient();
                WarmupLoop(request, config.warmup);
            } catch (const std::exception& error) {
                outcome.error = error.what();
            }
            gate.Arrive();
            if (!outcome.error.empty()) return;
            try {
                outcome.items = MeasuredLoop(request, count, config.expect);
            } catch (const std::exception& error) {
                outcome.error = error.what();
            }
        });
    }
    gate.AwaitAll(threads);
    const Usage_t before = ProcessUsage();
    const unsigned long connectsBefore = ConnectCount();
    const auto start = std::chrono::steady_clock::now();
    gate.Open();
    for (std::thread& worker : workers) worker.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Usage_t after = ProcessUsage();
    const unsigned long connects = ConnectCount() - connectsBefore;

    long items = 0;
    for (const Outcome& outcome : outcomes) {
        if (!outcome.error.empty()) {
            std::fprintf(stderr, "%s: %s\n", config.client.c_str(), outcome.error.c_str());
            return 1;
        }
        items += outcome.items;
    }
    const double requests = static_cast<double>(config.requests);
    const double user = (after.user - before.user) * 1e6 / requests;
    const double system = (after.system - before.system) * 1e6 / requests;
    std::printf(
        "client=%s scenario=%s threads=%d connection=%s requests=%ld items_per_request=%.0f wall_s=%.3f rps=%.0f "
        "cpu_us_per_request=%.2f user_us_per_request=%.2f sys_us_per_request=%.2f connects=%lu "
        "connects_per_request=%.4f peak_rss_kib=%ld\n",
        config.client.c_str(), config.scenario.c_str(), threads, config.close ? "close" : "keep", config.requests,
        static_cast<double>(items) / requests, wall, requests / wall, user + system, user, system, connects,
        static_cast<double>(connects) / requests, after.peakKiB);
    std::fflush(stdout);
    return 0;
}

}  // namespace Bench
