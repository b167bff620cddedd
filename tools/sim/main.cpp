// dadovu-sim: a simulated control daemon. See README.md.
#include "CommandEngine.h"
#include "ComponentDefinition.h"
#include "ControlService.h"
#include "Fleet.h"
#include "SimServer.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <pthread.h>
#include <sys/resource.h>

namespace {

constexpr int kUsageError = 2;
// The largest fleet accepted: about 3 KiB a node with a few components.
constexpr std::size_t kMaxFleetNodes = 100000;
constexpr int kRuntimeError = 1;

// Splits "host:port" or "[v6-address]:port".
bool ParseListen(const std::string& text, std::string& host, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string portText = text.substr(colon + 1);
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(portText);
    return !host.empty() && port <= 65535;
}

// Every connection is a descriptor: the soft limit is raised to the hard one,
// and a hard limit that leaves room for few connections is told.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    constexpr rlim_t kEnough = 4096;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < kEnough)
        std::cerr << "dadovu-sim: at most " << limit.rlim_cur
                  << " descriptors may be open (ulimit -n), which bounds the connections held at once" << std::endl;
}

// Writes one URI per line; false when the file cannot be written.
bool WriteNodes(const std::string& path, const std::vector<std::string>& uris) {
    std::ofstream out(path, std::ios::trunc);
    for (const auto& uri : uris) out << uri << '\n';
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"dadovu-sim: a simulated control daemon answering the nine control methods over SOAP 1.1.\n"
                 "The first line on standard output is the endpoint URI."};
    std::string listen = "127.0.0.1:0";
    std::string componentsDir;
    std::size_t generate = 0;
    std::string tlsCert, tlsKey, clientCa, authorizeFile;
    long latencyMs = 0;
    std::size_t threads = 4;
    std::size_t keepAliveMax = 100000;
    long keepAliveSeconds = 60;
    bool verbose = false;
    std::size_t fleetSize = 0;
    std::string nodesFile;
    double deadShare = 0, refuseShare = 0;
    std::uint64_t seed = 1;

    app.add_option("--listen", listen, "HOST:PORT to listen on; port 0 picks a free one")->capture_default_str();
    app.add_option("--components", componentsDir, "directory of *.conf component definitions, loaded at start; "
                                                  "\"addcomponent\" reads file names in it")
        ->check(CLI::ExistingDirectory);
    app.add_option("--generate", generate, "also create N synthetic components comp00001..")
        ->check(CLI::Range(std::size_t{0}, std::size_t{10000000}));
    auto* certOption = app.add_option("--tls-cert", tlsCert, "serve HTTPS with this PEM certificate (chain)")
                           ->check(CLI::ExistingFile);
    auto* keyOption = app.add_option("--tls-key", tlsKey, "the certificate's PEM private key")->check(CLI::ExistingFile);
    certOption->needs(keyOption);
    keyOption->needs(certOption);
    auto* caOption = app.add_option("--client-ca", clientCa,
                                    "ask clients for a certificate and verify it against these PEM authorities; "
                                    "requests without one get the fault \"ctrlauthentication\"")
                         ->check(CLI::ExistingFile)
                         ->needs(certOption);
    app.add_option("--authorize", authorizeFile,
                   "file of client certificate subjects allowed to change components (one per line); "
                   "others get \"ctrlauthorization\"")
        ->check(CLI::ExistingFile)
        ->needs(caOption);
    app.add_option("--latency-ms", latencyMs, "delay every answer by this many milliseconds")
        ->check(CLI::Range(0L, 600000L));
    app.add_option("--threads", threads, "threads running the server's event loop (connections hold none)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{256}))
        ->capture_default_str();
    app.add_option("--keep-alive-max", keepAliveMax, "requests per kept-alive connection")
        ->check(CLI::Range(std::size_t{1}, std::size_t{100000000}))
        ->capture_default_str();
    app.add_option("--keep-alive-timeout", keepAliveSeconds, "seconds an idle connection is kept open")
        ->check(CLI::Range(1L, 86400L))
        ->capture_default_str();
    app.add_flag("--verbose", verbose, "log one line per request to standard error");
    auto* fleetOption =
        app.add_option("--fleet", fleetSize,
                       "simulate N independent nodes at 127.0.1.1, 127.0.1.2, ... (host bytes 0 and 255 skipped) "
                       "on one port; --listen gives the port")
            ->check(CLI::Range(std::size_t{1}, kMaxFleetNodes));
    app.add_option("--write-nodes", nodesFile, "write each node's endpoint URI to this file, one per line");
    app.add_option("--dead-fraction", deadShare, "share of the fleet's nodes that accept connections and never answer")
        ->check(CLI::Range(0.0, 1.0))
        ->needs(fleetOption);
    app.add_option("--refuse-fraction", refuseShare,
                   "share of the fleet's nodes that refuse connections (their URIs name a port nothing listens on)")
        ->check(CLI::Range(0.0, 1.0))
        ->needs(fleetOption);
    app.add_option("--seed", seed, "seed that picks the dead and refusing nodes")->capture_default_str()->needs(fleetOption);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kUsageError;
    }

    DaDovuSim::ServerOptions serverOptions;
    if (!ParseListen(listen, serverOptions.host, serverOptions.port)) {
        std::cerr << "dadovu-sim: --listen wants HOST:PORT, not '" << listen << "'\n";
        return kUsageError;
    }
    if (deadShare + refuseShare > 1) {
        std::cerr << "dadovu-sim: --dead-fraction and --refuse-fraction add up to more than 1\n";
        return kUsageError;
    }

    // Block the stop signals before any thread exists, so every thread
    // inherits the mask and only the sigtimedwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    RaiseDescriptorLimit();

    try {
        DaDovuSim::EngineOptions engineOptions;
        engineOptions.componentsDirectory = componentsDir;
        std::vector<DaDovuSim::ComponentDefinition> definitions;
        if (!componentsDir.empty()) definitions = DaDovuSim::LoadDefinitionDirectory(componentsDir);
        if (generate > 0) {
            auto generated = DaDovuSim::GenerateDefinitions(generate);
            definitions.insert(definitions.end(), std::make_move_iterator(generated.begin()),
                               std::make_move_iterator(generated.end()));
        }

        DaDovuSim::SecurityPolicy policy;
        policy.requireCertificate = !clientCa.empty();
        if (!authorizeFile.empty()) {
            policy.restrictChanges = true;
            policy.authorizedSubjects = DaDovuSim::LoadSubjectList(authorizeFile);
        }

        // One node, or a fleet of them behind one server.
        std::unique_ptr<DaDovuSim::CommandEngine> engine;
        std::unique_ptr<DaDovuSim::ControlService> service;
        std::unique_ptr<DaDovuSim::Fleet> fleet;
        if (fleetSize > 0) {
            fleet = std::make_unique<DaDovuSim::Fleet>(
                DaDovuSim::FleetOptions{fleetSize, deadShare, refuseShare, seed}, std::move(definitions),
                engineOptions, std::move(policy));
        } else {
            engine = std::make_unique<DaDovuSim::CommandEngine>(engineOptions);
            engine->Load(std::move(definitions));
            service = std::make_unique<DaDovuSim::ControlService>(*engine, std::move(policy));
        }

        serverOptions.tlsCertFile = tlsCert;
        serverOptions.tlsKeyFile = tlsKey;
        serverOptions.clientCaFile = clientCa;
        serverOptions.latency = std::chrono::milliseconds(latencyMs);
        serverOptions.threads = threads;
        serverOptions.keepAliveMaxCount = keepAliveMax;
        serverOptions.keepAliveTimeout = std::chrono::seconds(keepAliveSeconds);
        if (verbose) serverOptions.log = &std::cerr;
        std::optional<DaDovuSim::SimServer> server;
        if (fleet)
            server.emplace(*fleet, serverOptions);
        else
            server.emplace(*service, serverOptions);
        server->Start();

        if (!nodesFile.empty()) {
            std::vector<std::string> uris;
            const std::size_t count = fleet ? fleet->Size() : 1;
            uris.reserve(count);
            for (std::size_t i = 0; i < count; ++i) uris.push_back(server->NodeUri(i));
            if (!WriteNodes(nodesFile, uris)) throw std::runtime_error(nodesFile + ": cannot be written");
        }

        std::cout << server->Uri() << std::endl;
        if (fleet) {
            using DaDovuSim::NodeRole;
            const std::size_t last = fleet->Size() - 1;
            std::cerr << "dadovu-sim: fleet of " << fleet->Size() << " nodes at "
                      << DaDovuSim::Ipv4Text(DaDovuSim::FleetNodeAddress(0)) << ".."
                      << DaDovuSim::Ipv4Text(DaDovuSim::FleetNodeAddress(last)) << " (" << fleet->Count(NodeRole::Live)
                      << " live, " << fleet->Count(NodeRole::Dead) << " dead, " << fleet->Count(NodeRole::Refusing)
                      << " refusing), " << fleet->ComponentCount() << " components each; listening on 0.0.0.0:"
                      << server->Port();
            if (server->RefusingPort() != 0) std::cerr << "; refusing nodes at port " << server->RefusingPort();
            std::cerr << std::endl;
        } else {
            std::cerr << "dadovu-sim: " << engine->ComponentCount() << " components; listening on " << server->Uri()
                      << std::endl;
        }

        int signal = 0;
        while (signal <= 0 && server->IsRunning()) {
            const timespec wait{0, 200 * 1000 * 1000};
            signal = sigtimedwait(&stopSignals, nullptr, &wait);
        }
        if (signal > 0) std::cerr << "dadovu-sim: signal " << signal << ", shutting down" << std::endl;
        // Release callers waiting for commands first, so that their answers
        // (faults) are written before the server ends their connections.
        if (fleet)
            fleet->Shutdown();
        else
            engine->Shutdown();
        server->Stop();
        return signal > 0 ? 0 : kRuntimeError;
    } catch (const std::exception& e) {
        std::cerr << "dadovu-sim: " << e.what() << std::endl;
        return kRuntimeError;
    }
}
