// Fleet: a call on many nodes, on worker threads that each take the next
// node, call it through a client sharing the fleet's pool, and hand the
// outcome to the thread that runs the fleet, which passes it to the handler.
//
// Bounds: at most `parallel` workers, a new one started only when every
// worker holds a node (the run thread starts them, as workers ask); at most
// `parallel` outcomes waiting to be handed on (a worker takes no node while
// that many wait), so memory does not grow with the input. Ordered, node i starts only once node
// i - parallel has been handed on, and the outcomes wait in a ring of
// `parallel` slots.

#include <dadovu/Fleet.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace DaDovu {

using Clock = std::chrono::steady_clock;

// ---- FleetOutcome ----

struct FleetOutcome::Impl {
    std::size_t index = 0;
    std::string node;
    std::optional<Error> error;
    std::string text;
    Clock::duration elapsed{};
};

FleetOutcome::FleetOutcome() : impl_(std::make_unique<Impl>()) {}
FleetOutcome::FleetOutcome(std::size_t index, std::string node) : impl_(std::make_unique<Impl>()) {
    impl_->index = index;
    impl_->node = std::move(node);
}
FleetOutcome::FleetOutcome(const FleetOutcome& other)
    : impl_(other.impl_ ? std::make_unique<Impl>(*other.impl_) : std::make_unique<Impl>()) {}
FleetOutcome::FleetOutcome(FleetOutcome&& other) noexcept = default;
FleetOutcome& FleetOutcome::operator=(const FleetOutcome& other) {
    if (this != &other) impl_ = other.impl_ ? std::make_unique<Impl>(*other.impl_) : std::make_unique<Impl>();
    return *this;
}
FleetOutcome& FleetOutcome::operator=(FleetOutcome&& other) noexcept = default;
FleetOutcome::~FleetOutcome() = default;

namespace {
const FleetOutcome::Impl& NoOutcome() {
    static const FleetOutcome::Impl none;
    return none;
}
}  // namespace

std::size_t FleetOutcome::GetIndex() const { return (impl_ ? *impl_ : NoOutcome()).index; }
const std::string& FleetOutcome::GetNode() const { return (impl_ ? *impl_ : NoOutcome()).node; }
const std::optional<Error>& FleetOutcome::GetError() const { return (impl_ ? *impl_ : NoOutcome()).error; }
const std::string& FleetOutcome::GetText() const { return (impl_ ? *impl_ : NoOutcome()).text; }
Clock::duration FleetOutcome::GetElapsed() const { return (impl_ ? *impl_ : NoOutcome()).elapsed; }

FleetOutcome& FleetOutcome::SetText(std::string text) {
    if (!impl_) impl_ = std::make_unique<Impl>();
    impl_->text = std::move(text);
    return *this;
}

FleetOutcome& FleetOutcome::SetError(Error error) {
    if (!impl_) impl_ = std::make_unique<Impl>();
    impl_->error = std::move(error);
    return *this;
}

FleetOutcome& FleetOutcome::SetElapsed(Clock::duration elapsed) {
    if (!impl_) impl_ = std::make_unique<Impl>();
    impl_->elapsed = elapsed;
    return *this;
}

// ---- FleetSummary ----

struct FleetSummary::Impl {
    std::size_t asked = 0;
    std::size_t succeeded = 0;
    std::map<ErrorKind, std::size_t> failures;
    bool stopped = false;
    Clock::duration wall{};
};

FleetSummary::FleetSummary() : impl_(std::make_unique<Impl>()) {}
FleetSummary::FleetSummary(const FleetSummary& other)
    : impl_(other.impl_ ? std::make_unique<Impl>(*other.impl_) : std::make_unique<Impl>()) {}
FleetSummary::FleetSummary(FleetSummary&& other) noexcept = default;
FleetSummary& FleetSummary::operator=(const FleetSummary& other) {
    if (this != &other) impl_ = other.impl_ ? std::make_unique<Impl>(*other.impl_) : std::make_unique<Impl>();
    return *this;
}
FleetSummary& FleetSummary::operator=(FleetSummary&& other) noexcept = default;
FleetSummary::~FleetSummary() = default;

namespace {
const FleetSummary::Impl& NoSummary() {
    static const FleetSummary::Impl none;
    return none;
}
}  // namespace

std::size_t FleetSummary::GetAsked() const { return (impl_ ? *impl_ : NoSummary()).asked; }
std::size_t FleetSummary::GetSucceeded() const { return (impl_ ? *impl_ : NoSummary()).succeeded; }
const std::map<ErrorKind, std::size_t>& FleetSummary::GetFailures() const {
    return (impl_ ? *impl_ : NoSummary()).failures;
}
bool FleetSummary::WasStopped() const { return (impl_ ? *impl_ : NoSummary()).stopped; }
Clock::duration FleetSummary::GetWallTime() const { return (impl_ ? *impl_ : NoSummary()).wall; }

// ---- Fleet ----

namespace {

constexpr std::size_t kMaxParallel = 4096;

// The state one run shares between its workers and the thread that runs it.
// Everything is guarded by `mutex`.
struct RunState {
    RunState(const Fleet::NodeSource& nodeSource, std::size_t parallelism, bool inOrder)
        : source(nodeSource), parallel(parallelism), ordered(inOrder), ring(inOrder ? parallelism : 0) {}

    const Fleet::NodeSource& source;
    const std::size_t parallel;
    const bool ordered;

    std::mutex mutex;
    std::condition_variable workerWake;    // a worker may take a node, or must end
    std::condition_variable reporterWake;  // an outcome is ready, or a worker ended
    std::size_t nextIndex = 0;             // the index the next node taken gets
    std::size_t handedOn = 0;              // outcomes handed to the handler
    bool taking = false;                   // a worker is calling the source (without the lock)
    bool inputEnded = false;
    bool stopping = false;                 // Stop, or an exception: take no further node
    std::exception_ptr failure;            // the source's or the handler's exception
    std::size_t liveWorkers = 0;          // started, or asked of the run thread
    std::size_t freeWorkers = 0;          // of those, the ones not holding a node
    std::size_t workersWanted = 0;        // to be started by the run thread
    std::deque<FleetOutcome> finished;                // unordered: in the order they finished
    std::vector<std::optional<FleetOutcome>> ring;    // ordered: slot index % parallel

    // Whether a worker may take a node now. REQUIRES: mutex held.
    bool MayTake() const {
        if (ordered) return nextIndex < handedOn + parallel;
        return finished.size() < parallel;
    }
};

// The call on one node, its failures made the outcome's.
FleetOutcome CallNode(const Client& base, const Fleet::NodeCall& call, std::size_t index, std::string node) {
    FleetOutcome outcome(index, std::move(node));
    const Clock::time_point start = Clock::now();
    try {
        Client client = base.ForNode(outcome.GetNode());
        call(client, outcome);
    } catch (const Error& error) {
        outcome.SetError(error);
    } catch (const std::exception& error) {
        outcome.SetError(Error(ErrorKind::NoAnswer, "call", outcome.GetNode(), std::nullopt, std::nullopt,
                               {error.what()}));
    } catch (...) {
        outcome.SetError(
            Error(ErrorKind::NoAnswer, "call", outcome.GetNode(), std::nullopt, std::nullopt, {"an unknown failure"}));
    }
    outcome.SetElapsed(Clock::now() - start);
    return outcome;
}

void Work(RunState& state, const Client& base, const Fleet::NodeCall& call) {
    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
        state.workerWake.wait(
            lock, [&] { return state.stopping || state.inputEnded || (!state.taking && state.MayTake()); });
        if (state.stopping || state.inputEnded) break;
        // The source is called without the lock, so that a source waiting for
        // its input (a pipe, say) holds up neither the outcomes of the other
        // workers nor Stop; one worker at a time, with the index reserved
        // first, so that indices follow the input.
        state.taking = true;
        --state.freeWorkers;
        const std::size_t index = state.nextIndex++;
        lock.unlock();
        std::optional<std::string> node;
        std::exception_ptr failed;
        try {
            node = state.source();
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        state.taking = false;
        state.workerWake.notify_all();
        if (failed || !node) {
            --state.nextIndex;  // reserved for a node that did not come
            ++state.freeWorkers;  // holds no node after all
            if (failed) {
                state.failure = failed;
                state.stopping = true;
            } else {
                state.inputEnded = true;
            }
            break;
        }
        // Workers start as the input needs them: one more once every worker
        // holds a node (it takes the next node, or finds the end), so that a
        // run of one node starts two threads, not `parallel`.
        if (state.freeWorkers == 0 && state.liveWorkers < state.parallel && !state.stopping) {
            ++state.liveWorkers;
            ++state.freeWorkers;
            ++state.workersWanted;
            state.reporterWake.notify_one();
        }
        lock.unlock();
        FleetOutcome outcome = CallNode(base, call, index, std::move(*node));
        lock.lock();
        if (state.ordered) {
            state.ring[index % state.parallel] = std::move(outcome);
        } else {
            state.finished.push_back(std::move(outcome));
        }
        ++state.freeWorkers;
        state.reporterWake.notify_one();
    }
    --state.freeWorkers;
    --state.liveWorkers;
    state.reporterWake.notify_one();
}

}  // namespace

struct Fleet::Impl {
    explicit Impl(Client base) : client(std::move(base)) {}

    Client client;
    std::size_t parallel = 64;
    bool ordered = false;
    std::mutex runMutex;     // guards `run`
    RunState* run = nullptr;  // the run in progress, for Stop
};

Fleet::Fleet(Client client) : impl_(std::make_unique<Impl>(std::move(client))) {}
Fleet::~Fleet() = default;

Fleet& Fleet::SetParallel(std::size_t parallel) {
    if (parallel == 0 || parallel > kMaxParallel)
        throw Error(ErrorKind::InvalidArgument, "fleet", impl_->client.GetEndpoint(), std::nullopt, std::nullopt,
                    {"The parallelism must be from 1 to " + std::to_string(kMaxParallel) + ", not " +
                     std::to_string(parallel)});
    impl_->parallel = parallel;
    return *this;
}

Fleet& Fleet::SetOrdered(bool ordered) {
    impl_->ordered = ordered;
    return *this;
}

void Fleet::Stop() {
    std::lock_guard<std::mutex> guard(impl_->runMutex);
    if (impl_->run == nullptr) return;
    std::lock_guard<std::mutex> lock(impl_->run->mutex);
    impl_->run->stopping = true;
    impl_->run->workerWake.notify_all();
}

FleetSummary Fleet::Run(const NodeSource& source, const NodeCall& call, const OutcomeHandler& handler) {
    const Clock::time_point start = Clock::now();
    RunState state(source, impl_->parallel, impl_->ordered);
    FleetSummary summary;
    FleetSummary::Impl& counts = *summary.impl_;

    std::vector<std::thread> workers;
    workers.reserve(state.parallel);
    {
        std::lock_guard<std::mutex> guard(impl_->runMutex);
        impl_->run = &state;
    }
    // Ends the run on every path out: no further node, every worker joined,
    // Stop no longer reaching the state.
    struct Finish {
        Impl& fleet;
        RunState& state;
        std::vector<std::thread>& workers;
        ~Finish() {
            {
                std::lock_guard<std::mutex> lock(state.mutex);
                state.stopping = true;
                state.workerWake.notify_all();
            }
            for (std::thread& worker : workers) worker.join();
            std::lock_guard<std::mutex> guard(fleet.runMutex);
            fleet.run = nullptr;
        }
    } finish{*impl_, state, workers};

    // The first worker; the workers ask for more as they take nodes.
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.liveWorkers = 1;
        state.freeWorkers = 1;
        state.workersWanted = 1;
    }

    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
        if (state.workersWanted > 0) {
            --state.workersWanted;
            if (!state.stopping && !state.inputEnded) {
                lock.unlock();
                bool started = true;
                try {
                    workers.emplace_back(Work, std::ref(state), std::cref(impl_->client), std::cref(call));
                } catch (...) {
                    if (workers.empty()) {  // not even one thread: nothing can run
                        lock.lock();
                        state.liveWorkers = 0;
                        state.freeWorkers = 0;
                        lock.unlock();
                        throw;
                    }
                    started = false;  // fewer threads than asked: run with those
                }
                lock.lock();
                if (started) continue;
            }
            --state.liveWorkers;
            --state.freeWorkers;
            continue;
        }
        std::optional<FleetOutcome> next;
        if (state.ordered) {
            std::optional<FleetOutcome>& slot = state.ring[state.handedOn % state.parallel];
            if (slot && slot->GetIndex() == state.handedOn) next = std::exchange(slot, std::nullopt);
        } else if (!state.finished.empty()) {
            next = std::move(state.finished.front());
            state.finished.pop_front();
        }
        if (next) {
            ++counts.asked;
            if (next->Succeeded()) {
                ++counts.succeeded;
            } else {
                ++counts.failures[next->GetError()->GetKind()];
            }
            // An outcome counts as handed on once the handler has returned:
            // only then may the node `parallel` places further start (ordered).
            if (!state.failure) {
                lock.unlock();
                try {
                    handler(*next);
                } catch (...) {
                    lock.lock();
                    ++state.handedOn;
                    state.failure = std::current_exception();
                    state.stopping = true;
                    state.workerWake.notify_all();
                    continue;
                }
                lock.lock();
            }
            ++state.handedOn;
            state.workerWake.notify_one();
            continue;
        }
        if (state.liveWorkers == 0) break;
        state.reporterWake.wait(lock);
    }
    counts.stopped = state.stopping && !state.inputEnded;
    const std::exception_ptr failure = state.failure;
    lock.unlock();
    if (failure) std::rethrow_exception(failure);
    counts.wall = Clock::now() - start;
    return summary;
}

}  // namespace DaDovu
