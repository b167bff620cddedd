// Fleet: one call made on many nodes, with bounded parallelism, each node's
// outcome reported as it finishes.
//
//   DaDovu::Fleet fleet(DaDovu::Client(DaDovu::ClientSettings().SetCallTimeout(std::chrono::seconds(2))));
//   fleet.SetParallel(256);
//   fleet.Run(nodes, [](DaDovu::Client& node, DaDovu::FleetOutcome& outcome) {
//       outcome.SetText(node.Status("webserver"));
//   }, [](const DaDovu::FleetOutcome& outcome) { ... });
#pragma once

#include <dadovu/Client.h>
#include <dadovu/Export.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace DaDovu {

// What the call made on one node produced: where the node stood in the input,
// its name, the call's Error when it failed, and a text the call may leave
// for the handler. A value type.
class DADOVU_API FleetOutcome {
public:
    FleetOutcome();
    FleetOutcome(std::size_t index, std::string node);
    FleetOutcome(const FleetOutcome& other);
    FleetOutcome(FleetOutcome&& other) noexcept;
    FleetOutcome& operator=(const FleetOutcome& other);
    FleetOutcome& operator=(FleetOutcome&& other) noexcept;
    ~FleetOutcome();

    // The node's place in the input, from 0.
    std::size_t GetIndex() const;
    // The node as the input named it (a node name or an endpoint URI).
    const std::string& GetNode() const;
    // The failure of the node's call; empty when it succeeded.
    const std::optional<Error>& GetError() const;
    bool Succeeded() const { return !GetError().has_value(); }
    // What the call left for the handler (empty unless it set it).
    const std::string& GetText() const;
    // How long the node's call took.
    std::chrono::steady_clock::duration GetElapsed() const;

    FleetOutcome& SetText(std::string text);
    FleetOutcome& SetError(Error error);
    FleetOutcome& SetElapsed(std::chrono::steady_clock::duration elapsed);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// What a fleet run did, counted.
class DADOVU_API FleetSummary {
public:
    FleetSummary();
    FleetSummary(const FleetSummary& other);
    FleetSummary(FleetSummary&& other) noexcept;
    FleetSummary& operator=(const FleetSummary& other);
    FleetSummary& operator=(FleetSummary&& other) noexcept;
    ~FleetSummary();

    // Nodes whose call ran (a stopped run asks fewer than the input holds).
    std::size_t GetAsked() const;
    std::size_t GetSucceeded() const;
    // The failures, counted by kind (kinds without failures are absent).
    const std::map<ErrorKind, std::size_t>& GetFailures() const;
    // Whether Stop ended the run before the input did.
    bool WasStopped() const;
    std::chrono::steady_clock::duration GetWallTime() const;

    struct Impl;

private:
    friend class Fleet;
    std::unique_ptr<Impl> impl_;
};

// Makes one call on every node of an input, at most `parallel` at once, on
// worker threads of its own (at most `parallel` of them, for the length of a
// run, started as the input needs them: a run of one node starts two),
// each node through a client that shares one client's settings and
// connection pool. Memory does not grow with the nodes already answered:
// each outcome is handed on and dropped.
class DADOVU_API Fleet {
public:
    // The next node (a node name or an endpoint URI), or nothing at the end.
    // Called by one thread at a time, without the fleet's lock: it may wait
    // for its input (a pipe, say) while the outcomes of the nodes in flight
    // are handed on and Stop returns. A node it yields is called. What it
    // throws ends the run (nodes in flight finish first) and reaches Run's caller.
    using NodeSource = std::function<std::optional<std::string>()>;
    // The call made on one node, on a worker thread, any number at once. An
    // Error it throws becomes the outcome's error; any other exception also
    // does, as ErrorKind::NoAnswer with its text (std::bad_alloc included:
    // the run goes on).
    using NodeCall = std::function<void(Client& node, FleetOutcome& outcome)>;
    // Receives each node's outcome as it finishes (or in input order, when
    // ordered), one at a time, on the thread that called Run. What it throws
    // ends the run as the source's exceptions do.
    using OutcomeHandler = std::function<void(const FleetOutcome& outcome)>;

    // `client` gives the settings, hooks and connection pool every node's
    // client shares; its own endpoint is not asked.
    explicit Fleet(Client client);
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;
    ~Fleet();

    // At most `parallel` calls in flight at once: 1 to 4096 (default 64).
    // Throws Error (InvalidArgument) outside that range.
    Fleet& SetParallel(std::size_t parallel);
    // Hand outcomes on in input order. A node is then started only once the
    // node `parallel` places before it has been handed on, so that memory
    // stays bounded. Default false: as they finish.
    Fleet& SetOrdered(bool ordered);

    // Runs `call` on every node `source` yields; returns when every node
    // started has been handed on. Not reentrant: one run at a time per Fleet.
    FleetSummary Run(const NodeSource& source, const NodeCall& call, const OutcomeHandler& handler);

    // Asks the run in progress to start no further node; the calls in flight
    // finish (or reach their deadlines) and are handed on. Thread-safe; may be
    // called from the handler, or from another thread (not from a signal
    // handler: set a flag there and call Stop from a thread).
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace DaDovu
