// dadovu-sim: a simulated control daemon. See README.md.
#include "CommandEngine.h"
#include "ComponentDefinition.h"
#include "ControlService.h"
#include "SimServer.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <pthread.h>

namespace {

constexpr int kUsageError = 2;
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"dadovu-sim: a simulated control daemon answering the nine control methods over SOAP 1.1.\n"
                 "The first line on standard output is the endpoint URI."};
    std::string listen = "127.0.0.1:0";
    std::string componentsDir;
    std::size_t generate = 0;
    std::string tlsCert, tlsKey, clientCa, authorizeFile;
    long latencyMs = 0;
    std::size_t threads = 32;
    std::size_t keepAliveMax = 100000;
    long keepAliveSeconds = 60;
    bool verbose = false;

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
    app.add_option("--threads", threads, "server threads; each kept-alive connection holds one")
        ->check(CLI::Range(std::size_t{1}, std::size_t{4096}))
        ->capture_default_str();
    app.add_option("--keep-alive-max", keepAliveMax, "requests per kept-alive connection")
        ->check(CLI::Range(std::size_t{1}, std::size_t{100000000}))
        ->capture_default_str();
    app.add_option("--keep-alive-timeout", keepAliveSeconds, "seconds an idle connection is kept open")
        ->check(CLI::Range(1L, 86400L))
        ->capture_default_str();
    app.add_flag("--verbose", verbose, "log one line per request to standard error");

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

    // Block the stop signals before any thread exists, so every thread
    // inherits the mask and only the sigtimedwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        DaDovuSim::EngineOptions engineOptions;
        engineOptions.componentsDirectory = componentsDir;
        DaDovuSim::CommandEngine engine(engineOptions);
        if (!componentsDir.empty()) engine.Load(DaDovuSim::LoadDefinitionDirectory(componentsDir));
        if (generate > 0) engine.Load(DaDovuSim::GenerateDefinitions(generate));

        DaDovuSim::SecurityPolicy policy;
        policy.requireCertificate = !clientCa.empty();
        if (!authorizeFile.empty()) {
            policy.restrictChanges = true;
            policy.authorizedSubjects = DaDovuSim::LoadSubjectList(authorizeFile);
        }
        DaDovuSim::ControlService service(engine, policy);

        serverOptions.tlsCertFile = tlsCert;
        serverOptions.tlsKeyFile = tlsKey;
        serverOptions.clientCaFile = clientCa;
        serverOptions.latency = std::chrono::milliseconds(latencyMs);
        serverOptions.threads = threads;
        serverOptions.keepAliveMaxCount = keepAliveMax;
        serverOptions.keepAliveTimeout = std::chrono::seconds(keepAliveSeconds);
        if (verbose) serverOptions.log = &std::cerr;
        DaDovuSim::SimServer server(service, serverOptions);
        server.Start();

        std::cout << server.Uri() << std::endl;
        std::cerr << "dadovu-sim: " << engine.ComponentCount() << " components; listening on " << server.Uri()
                  << std::endl;

        int signal = 0;
        while (signal <= 0 && server.IsRunning()) {
            const timespec wait{0, 200 * 1000 * 1000};
            signal = sigtimedwait(&stopSignals, nullptr, &wait);
        }
        if (signal > 0) std::cerr << "dadovu-sim: signal " << signal << ", shutting down" << std::endl;
        // Release callers waiting for commands first, then the server threads
        // that serve them can end.
        engine.Shutdown();
        server.Stop();
        return signal > 0 ? 0 : kRuntimeError;
    } catch (const std::exception& e) {
        std::cerr << "dadovu-sim: " << e.what() << std::endl;
        return kRuntimeError;
    }
}
