// client_watchdog: keeps the components of a target running. Each round reads
// the target's components and restarts those that have failed or stopped; a
// round in which the daemon cannot be reached is given up, and the next round
// tries again. Every component the target selects is taken to be one that
// should run.
//
//   client_watchdog [node|endpoint-URI] [target] [rounds] [seconds-between-rounds]
//                   (defaults: localhost, "*", 10 rounds, 3 s apart)
#include <dadovu/Client.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Reading states is quick; a start or stop lasts as long as the components
// take, so it gets more time. Every call has its own deadline: a hung daemon
// delays a round by at most this much.
constexpr auto kReadDeadline = 5s;
constexpr auto kRestartDeadline = 60s;

// Whether a failure may go away by itself, so that the next round is worth
// trying. No default: the compiler warns when a kind is added.
bool WorthAnotherRound(const DaDovu::Error& error) {
    switch (error.GetKind()) {
    case DaDovu::ErrorKind::NotSent:              // the daemon did nothing; it may be down or restarting
    case DaDovu::ErrorKind::NoAnswer:             // it may have acted; the next round reads the states again
    case DaDovu::ErrorKind::NoMatchingComponent:  // the target selects nothing (yet)
    case DaDovu::ErrorKind::ComponentFailed:      // the component failed again; try once more next round
    case DaDovu::ErrorKind::PrerequisiteFailed:   // its prerequisite is restarted in its own turn
    case DaDovu::ErrorKind::DaemonError:
        return true;
    case DaDovu::ErrorKind::EventNotSubscribed:
    case DaDovu::ErrorKind::UserUnknown:
    case DaDovu::ErrorKind::NotAuthenticated:     // these need an operator, not another round
    case DaDovu::ErrorKind::NotAuthorized:
    case DaDovu::ErrorKind::Tls:
    case DaDovu::ErrorKind::MalformedAnswer:
    case DaDovu::ErrorKind::InvalidArgument:
        break;
    }
    return false;
}

// One round. Written against ClientInterface, so that a test can hand it a
// substitute, as client_unit_test.cpp does for code like it. Throws the Error
// that ends the round; a restart after NoAnswer is never blind, since the next
// round reads the states again first.
void Round(DaDovu::ClientInterface& client, const std::string& target) {
    const std::vector<DaDovu::Component> components =
        client.Components(target, DaDovu::StatusLevel::States, kReadDeadline);
    std::cout << "  " << components.size() << " component(s)\n";
    for (const DaDovu::Component& component : components) {
        const DaDovu::ComponentState state = component.GetState();
        if (state != DaDovu::COMPONENT_FAILED && state != DaDovu::COMPONENT_STOPPED) {
            continue;  // running, or on its way somewhere: leave it alone
        }
        // A component's name is a target that selects just that component.
        const std::string& name = component.GetName();
        std::cout << "  " << name << (state == DaDovu::COMPONENT_FAILED ? " has failed" : " is stopped")
                  << ": restarting\n";
        try {
            // A failed component is stopped first, so that it starts afresh.
            if (state == DaDovu::COMPONENT_FAILED) client.Stop(name, kRestartDeadline);
            client.Start(name, kRestartDeadline);
            std::cout << "  " << name << " restarted\n";
        } catch (const DaDovu::Error& error) {
            // The daemon answered about this component: go on with the others.
            // Failures of the connection end the round, as any other would.
            if (error.GetKind() != DaDovu::ErrorKind::ComponentFailed &&
                error.GetKind() != DaDovu::ErrorKind::PrerequisiteFailed) {
                throw;
            }
            std::cout << "  " << error.what() << "\n";
        }
    }
}

// A count from the command line, or `fallback` when the argument is absent.
bool ParseCount(int argc, char** argv, int index, long fallback, long& value) {
    if (index >= argc) {
        value = fallback;
        return true;
    }
    char* end = nullptr;
    value = std::strtol(argv[index], &end, 10);
    return end != argv[index] && *end == '\0' && value >= 0 && value <= 1000000;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string where = argc > 1 ? argv[1] : "localhost";
    const std::string target = argc > 2 ? argv[2] : "*";
    long rounds = 0;
    long pause = 0;
    if (argc > 5 || !ParseCount(argc, argv, 3, 10, rounds) || !ParseCount(argc, argv, 4, 3, pause)) {
        std::cerr << "usage: " << argv[0] << " [node|endpoint-URI] [target] [rounds] [seconds-between-rounds]\n";
        return 2;
    }

    DaDovu::ClientSettings settings;
    if (where.find("://") != std::string::npos) {
        settings.SetEndpoint(where);
    } else {
        settings.SetNode(where);
    }
    // Without a hook the client writes nothing anywhere; pass on its warnings.
    settings.SetLogHook([](DaDovu::Severity severity, std::string_view text) {
        if (severity >= DaDovu::Severity::Warning) std::cerr << "dadovu: " << text << "\n";
    });

    try {
        DaDovu::Client client(settings);  // throws Error for unusable settings
        for (long round = 1; round <= rounds; ++round) {
            std::cout << "round " << round << " at " << client.GetEndpoint() << "\n";
            try {
                Round(client, target);
            } catch (const DaDovu::Error& error) {
                if (!WorthAnotherRound(error)) throw;
                std::cout << "  round given up: " << error.what() << "\n";
            }
            if (round < rounds) std::this_thread::sleep_for(std::chrono::seconds(pause));
        }
        return 0;
    } catch (const DaDovu::Error& error) {
        std::cerr << "client_watchdog: " << error.what() << "\n";
        return 1;
    }
}
