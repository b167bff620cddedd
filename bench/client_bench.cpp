// client_bench: DaDovu's modern interface (DaDovu::Client) against a running
// dadovu-sim, with the scenarios and output of e2e_bench, so that the two
// doors to the one engine are measured alike.
//
//   client_bench --uri URI [--scenario start|status|statusaslist] [--threads T]
//                [--requests N] [--close] ...        (options: BenchRun.h)
//
// One Client, built from settings in code, is shared by every thread (its
// connection pool then holds a connection per thread). No settings file takes
// part: QXPAL_CONFIG names an empty file of this run's own.
//
// Instructions per request, one thread:
//   valgrind --tool=callgrind --toggle-collect='*MeasuredLoop*' client_bench --uri URI --requests 2000
#include <dadovu/Client.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchRun.h"

namespace {

// An empty settings file named by QXPAL_CONFIG while the object lives, so
// that the machine's settings cannot take part.
class EmptySettings {
public:
    EmptySettings() {
        char pattern[] = "/tmp/dadovu-client-bench-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) {
            std::perror("client_bench: mkstemp");
            std::exit(1);
        }
        close(fd);
        path_ = pattern;
        setenv("QXPAL_CONFIG", path_.c_str(), 1);
    }
    ~EmptySettings() { unlink(path_.c_str()); }
    EmptySettings(const EmptySettings&) = delete;
    EmptySettings& operator=(const EmptySettings&) = delete;

private:
    std::string path_;
};

}  // namespace

int main(int argc, char** argv) {
    const Bench::Config config = Bench::ParseArgs(argc, argv, "dadovu-client");
    const EmptySettings settings;
    DaDovu::Client client(DaDovu::ClientSettings()
                              .SetEndpoint(config.uri)
                              .SetCloseConnectionAfterUse(config.close));
    const auto level = static_cast<DaDovu::StatusLevel>(config.level);
    const std::string target = config.target;

    return Bench::Run(config, [&]() -> Bench::Request {
        if (config.scenario == "start") {
            return [&] {
                client.Start(target);
                return 1L;
            };
        }
        if (config.scenario == "status") {
            return [&] { return client.Status(target, level).empty() ? 0L : 1L; };
        }
        return [&] { return static_cast<long>(client.Components(target, level).size()); };
    });
}
