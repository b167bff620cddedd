// client_async_start: starts several targets at once, one thread per target,
// all on one shared Client. Each thread asks for an asynchronous start, then
// waits for the command to end, printing the daemon's messages as they come.
//
//   client_async_start node|endpoint-URI target [target...]
#include <dadovu/Client.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const char* Name(DaDovu::Severity severity) {
    switch (severity) {
    case DaDovu::Severity::Info: return "info";
    case DaDovu::Severity::Warning: return "warning";
    case DaDovu::Severity::Error: return "error";
    case DaDovu::Severity::Fatal: return "fatal";
    }
    return "severity?";  // a number the daemon sent that names no severity
}

// Lines from several threads, each printed whole.
class Printer {
public:
    void Line(const std::string& target, const std::string& text) {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::cout << "[" << target << "] " << text << "\n";
    }

private:
    std::mutex mutex_;
};

// What one thread found out.
struct Outcome {
    std::string target;
    std::string text = "not started";
    bool finished = false;
};

// Runs on its own thread. The client is shared: no copy, no lock needed.
void StartAndFollow(DaDovu::Client& client, DaDovu::Deadline waitUntil, Printer& printer, Outcome& outcome) {
    const std::string& target = outcome.target;
    try {
        const DaDovu::RequestId id = client.StartAsync(target, 10s);
        printer.Line(target, "start requested, request ID " + std::to_string(id.GetValue()));

        // Wait calls back on this thread, once per message, oldest first.
        const DaDovu::Progress last = client.Wait(id, waitUntil, [&](const DaDovu::Message& message) {
            std::string line = Name(message.GetSeverity());
            if (!message.GetCatalog().empty()) {
                line += " " + message.GetCatalog() + "/" + std::to_string(message.GetNumber());
            }
            printer.Line(target, line + ": " + message.GetText());
        });

        const std::string code = " (code " + std::to_string(last.GetCode()) + ")";
        switch (last.GetState()) {
        case DaDovu::ProgressState::Finished:
            outcome.text = "finished" + code;
            outcome.finished = true;
            break;
        case DaDovu::ProgressState::Failed: outcome.text = "failed" + code; break;
        case DaDovu::ProgressState::UnknownRequest: outcome.text = "the daemon no longer knows the command"; break;
        case DaDovu::ProgressState::Running: outcome.text = "still running when the wait ended"; break;
        }
    } catch (const DaDovu::Error& error) {
        // A start without an answer may have been queued all the same, but
        // its ID is unknown: the target's status tells what happened.
        outcome.text = error.MayHaveActed() ? std::string("perhaps started: ") + error.what() : error.what();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: " << argv[0] << " node|endpoint-URI target [target...]\n";
        return 2;
    }
    const std::string where = argv[1];
    try {
        DaDovu::ClientSettings settings;
        if (where.find("://") != std::string::npos) {
            settings.SetEndpoint(where);
        } else {
            settings.SetNode(where);
        }
        DaDovu::Client client(settings);

        // One point in time for every thread: the whole run ends within two minutes.
        const DaDovu::Deadline waitUntil = std::chrono::steady_clock::now() + 2min;

        // Every outcome has its slot before any thread starts, so that no
        // thread sees the vector move; each thread writes only its own.
        std::vector<Outcome> outcomes(static_cast<std::size_t>(argc - 2));
        for (std::size_t i = 0; i < outcomes.size(); ++i) outcomes[i].target = argv[i + 2];

        Printer printer;
        std::vector<std::thread> threads;
        threads.reserve(outcomes.size());
        for (Outcome& outcome : outcomes) {
            threads.emplace_back(StartAndFollow, std::ref(client), waitUntil, std::ref(printer), std::ref(outcome));
        }
        for (std::thread& thread : threads) thread.join();

        bool allFinished = true;
        for (const Outcome& outcome : outcomes) {
            std::cout << outcome.target << ": " << outcome.text << "\n";
            allFinished = allFinished && outcome.finished;
        }
        return allFinished ? 0 : 1;
    } catch (const DaDovu::Error& error) {  // the settings were refused
        std::cerr << "client_async_start: " << error.what() << "\n";
        return 1;
    }
}
