// fleet_status: asks many nodes for the status of a target at once, prints
// each node's answer as soon as it arrives, then a summary. The nodes are
// node names or endpoint URIs, given as arguments or read from a file (one a
// line; blank lines and '#' comments are skipped), which is read as the run
// takes its nodes rather than all at first.
//
//   fleet_status [-t TARGET] [-p PARALLEL] NODE...
//   fleet_status [-t TARGET] [-p PARALLEL] -f FILE
//                (defaults: every component "*", 64 nodes at once)
//
// Exits 0 when every node answered, 1 when one did not, 2 for a wrong command line.
#include <dadovu/Client.h>
#include <dadovu/Fleet.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

int Usage() {
    std::cerr << "usage: fleet_status [-t TARGET] [-p PARALLEL] (NODE... | -f FILE)\n";
    return 2;
}

// Hands out the nodes of `file` one at a time, as the fleet asks for them.
DaDovu::Fleet::NodeSource FromFile(std::ifstream& file) {
    return [&file]() -> std::optional<std::string> {
        for (std::string line; std::getline(file, line);) {
            std::istringstream words(line);
            std::string node;
            if (words >> node && node[0] != '#') return node;  // the first word; the rest is a comment
        }
        return std::nullopt;
    };
}

DaDovu::Fleet::NodeSource FromList(const std::vector<std::string>& nodes) {
    std::size_t next = 0;
    return [&nodes, next]() mutable -> std::optional<std::string> {
        if (next == nodes.size()) return std::nullopt;
        return nodes[next++];
    };
}

}  // namespace

int main(int argc, char** argv) {
    std::string target = "*", fileName;
    std::size_t parallel = 64;
    std::vector<std::string> nodes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-t" || arg == "-p" || arg == "-f") && i + 1 == argc) return Usage();
        if (arg == "-t") {
            target = argv[++i];
        } else if (arg == "-p") {
            parallel = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "-f") {
            fileName = argv[++i];
        } else {
            nodes.push_back(arg);
        }
    }
    if (fileName.empty() == nodes.empty()) return Usage();  // one or the other
    std::ifstream file;
    if (!fileName.empty()) {
        file.open(fileName);
        if (!file) {
            std::cerr << "fleet_status: cannot read " << fileName << "\n";
            return 2;
        }
    }

    try {
        // Every node's client shares these settings and one connection pool.
        DaDovu::Fleet fleet(DaDovu::Client(DaDovu::ClientSettings().SetCallTimeout(10s)));
        fleet.SetParallel(parallel);  // throws Error (InvalidArgument) outside 1..4096

        const DaDovu::FleetSummary summary = fleet.Run(
            fileName.empty() ? FromList(nodes) : FromFile(file),
            // On a worker thread, any number at once: ask, and leave the answer for the handler.
            [&target](DaDovu::Client& node, DaDovu::FleetOutcome& outcome) {
                outcome.SetText(node.Status(target, DaDovu::StatusLevel::States, 5s));
            },
            // On this thread, one node at a time, as each finishes.
            [](const DaDovu::FleetOutcome& outcome) {
                if (const auto& error = outcome.GetError()) {
                    std::cout << outcome.GetNode() << ": error: " << error->what() << "\n";
                    return;
                }
                std::istringstream lines(outcome.GetText());
                for (std::string line; std::getline(lines, line);) std::cout << outcome.GetNode() << ": " << line << "\n";
                std::cout << std::flush;
            });

        const double seconds = std::chrono::duration<double>(summary.GetWallTime()).count();
        std::cout << summary.GetAsked() << " nodes asked in " << std::fixed << std::setprecision(2) << seconds
                  << " s, " << summary.GetSucceeded() << " answered\n";
        for (const auto& [kind, count] : summary.GetFailures())
            std::cout << "  " << count << " failed: " << DaDovu::Describe(kind) << "\n";
        return summary.GetSucceeded() == summary.GetAsked() ? 0 : 1;
    } catch (const DaDovu::Error& e) {
        std::cerr << "fleet_status: " << e.what() << "\n";
        return 2;
    }
}
