// e2e_bench: DaDovu's public interface against a running dadovu-sim.
//
//   e2e_bench --uri URI [--scenario start|status|statusaslist] [--threads T]
//             [--requests N] [--close] ...        (options: BenchRun.h)
//
// Each thread calls Control::Start, Control::Status (text) or Control::Status
// (records into a ControlComponentList, walked to the end) at the URI, with
// default options. The node settings (QXPAL_CONFIG) are a file of this run's own, holding
// only "ctrl" "CLOSE_CONN_AFTER_USE": false (kept-alive, the default) or true
// (--close), so the machine's settings do not take part.
//
// Instructions per request, one thread (the harness' loop is the only thing collected):
//   valgrind --tool=callgrind --toggle-collect='*MeasuredLoop*' e2e_bench --uri URI --requests 2000
#include <dadovu/dadovu.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchRun.h"

namespace {

// A settings file that lives as long as the object.
class SettingsFile {
public:
    explicit SettingsFile(bool closeAfterUse) {
        char pattern[] = "/tmp/dadovu-e2e-bench-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) {
            std::perror("e2e_bench: mkstemp");
            std::exit(1);
        }
        path_ = pattern;
        const std::string text =
            std::string("[ctrl]\nCLOSE_CONN_AFTER_USE = ") + (closeAfterUse ? "true" : "false") + "\n";
        const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        if (!written) {
            std::perror("e2e_bench: writing the settings");
            std::exit(1);
        }
        // Named as a node names its settings, by the environment.
        setenv("QXPAL_CONFIG", path_.c_str(), 1);
    }
    ~SettingsFile() { unlink(path_.c_str()); }
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

private:
    std::string path_;
};

}  // namespace

int main(int argc, char** argv) {
    const Bench::Config config = Bench::ParseArgs(argc, argv, "dadovu");
    const SettingsFile settings(config.close);
    const QxPalNet::URI_t uri(QxPalStr::String_t(config.uri.c_str()));
    const QxPalStr::String_t target(config.target.c_str());
    const auto level = static_cast<DaDovu::Control::StatusLevel>(config.level);

    return Bench::Run(config, [&]() -> Bench::Request {
        const DaDovu::Control::Options options;
        if (config.scenario == "start") {
            return [=] {
                DaDovu::Control::Start(target, false, options, uri);
                return 1L;
            };
        }
        if (config.scenario == "status") {
            return [=] {
                const QxPalStr::String_t text = DaDovu::Control::Status(level, target, options, uri);
                return text.GetLength() > 0 ? 1L : 0L;
            };
        }
        return [=] {
            DaDovu::ControlComponentList list;
            DaDovu::Control::Status(level, target, options, list, uri);
            long records = 0;
            for (; !list.IsAtEnd(); list.Next()) ++records;
            return records;
        };
    });
}
