// The simulated daemon's behaviour: the components and what the nine remote
// methods do to them.
//
// Start and stop commands run one at a time, in the order they arrive, in
// steps on a Scheduler's thread: a component's configured start or stop time
// is a timed step, during which no thread waits. A synchronous command waits
// for its turn and its end (Submit calls back when it has ended, so that a
// server's thread need not wait); an asynchronous one answers at once with a
// request ID whose progress GetProgress reports. Notify, status, progress and
// registration act at once.
//
// Engines may share one Scheduler (the nodes of a simulated fleet do) and
// stay independent: each has its own components, queue, request IDs and
// process IDs; only the steps of their commands take turns on its thread.
//
// Thread-safe: every member may be called from any thread at the same time.
#pragma once

#include "ComponentDefinition.h"
#include "ComponentRegistry.h"
#include "Scheduler.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace DaDovuSim {

// A message about an asynchronous command, as "requestprogress" reports it.
// Severity: 0 information, 1 warning, 2 error. Catalog kMessageCatalog.
struct ProgressMessage {
    int severity = 0;
    int number = 0;
    std::string text;
    std::vector<std::string> params;
};

inline constexpr const char* kMessageCatalog = "sim";

// One component as "statusaslist" reports it.
struct ComponentRecord {
    std::string name;
    std::string description;
    std::string category;
    std::string pid;
    std::string xml;
    ComponentState state = ComponentState::Unknown;
};

// Thrown by a synchronous Start or Stop that the engine's shutdown cancelled,
// and by every Start or Stop after it.
class ShuttingDown : public std::runtime_error {
public:
    ShuttingDown() : std::runtime_error("The daemon is shutting down.") {}
};

struct EngineOptions {
    // Where "addcomponent" finds files; empty: it refuses every file name.
    std::string componentsDirectory;
    // How many finished asynchronous requests stay known to GetProgress;
    // older ones are forgotten (their IDs then answer Result::kNoMatch).
    std::size_t retainedRequests = 10000;
    // The simulated process ID of the first component started; then counting up.
    int firstPid = 4001;
};

class CommandEngine {
public:
    // Runs its commands on `scheduler`, or on a scheduler of its own when null.
    explicit CommandEngine(EngineOptions options = {}, std::shared_ptr<Scheduler> scheduler = nullptr);
    ~CommandEngine();  // Shutdown()
    CommandEngine(const CommandEngine&) = delete;
    CommandEngine& operator=(const CommandEngine&) = delete;

    // Adds components (all or none). Throws DefinitionError as
    // ComponentRegistry::AddAll does.
    void Load(std::vector<ComponentDefinition> definitions);
    // Replaces the components by a copy of `registry`'s, sharing their
    // definitions (see ComponentRegistry). Call before the engine is used.
    void LoadShared(const ComponentRegistry& registry);

    // How a start or stop ends for Submit's caller: the result, or nothing
    // when the engine shut down before the command ended (or before it came).
    using Completion = std::function<void(std::optional<int>)>;

    // "start" (start true) or "stop" (false) as Start and Stop below, but
    // without waiting: `done` is called once, with the result. Right away,
    // on the calling thread, when nothing is selected, for an asynchronous
    // command (the request ID) and after shutdown; otherwise, once the
    // command has ended, on the scheduler's thread. `done` must not call
    // back into this engine's Shutdown.
    void Submit(bool start, std::string_view target, bool flag, bool async, Completion done);

    // "start": starts the selected components, prerequisites first.
    // Synchronous: blocks until done; returns Result::kSuccess,
    // kComponentFailed, kPrerequisiteFailed or kNoMatch. Asynchronous:
    // returns a request ID at once, or kNoMatch. Throws ShuttingDown.
    int Start(std::string_view target, bool boot, bool async);
    // "stop": stops the selected components and, first, every component that
    // needs them and is not stopped. `kill` skips the stop time and cannot
    // fail. Returns as Start (kComponentFailed when one failed to stop).
    int Stop(std::string_view target, bool kill, bool async);

    // "notify": records `value` as the last value of `event` for every
    // selected component that subscribes to it. Returns Result::kSuccess,
    // kNoSubscriber or kNoMatch.
    int Notify(std::string_view event, std::string_view value, std::string_view target);

    struct StatusText {
        int result = 0;
        std::string text;  // one line per component, "\n"-terminated
    };
    // "status": levels 0..7 add detail (see README.md); kInvalidArgument
    // outside them, kNoMatch when nothing is selected.
    StatusText Status(int level, std::string_view target) const;

    struct StatusRecords {
        int result = 0;
        std::vector<ComponentRecord> records;
    };
    // "statusaslist": every field of each selected component, at every level.
    StatusRecords StatusList(int level, std::string_view target) const;

    struct Progress {
        int result = 0;
        std::vector<ProgressMessage> messages;
    };
    // "requestprogress": Result::kRunning while queued or running; when
    // finished the code the command would have answered synchronously;
    // kNoMatch for an unknown (or forgotten) ID.
    Progress GetProgress(int requestId) const;

    struct Registration {
        int result = 0;
        std::string detail;  // why it failed, for the daemon's own log
    };
    // "addcomponent": loads one definition file from the components
    // directory. `fileName` must be a plain file name (no '/'); ".conf" may
    // be left out. Codes: kSuccess, kFileNameRefused, kFileNotFound,
    // kInvalidDefinition, kAlreadyExists, kUnknownPrerequisite.
    Registration AddComponent(std::string_view fileName);
    // "deletecomponent": kSuccess, kUnknownComponent, kStillRequired, kBusy.
    Registration DeleteComponent(std::string_view name);

    std::size_t ComponentCount() const;

    // Cancels the queued and the running command (their components keep the
    // state reached; one being started or stopped returns to stopped or
    // running), releases synchronous callers with ShuttingDown (Submit's
    // callers with nothing), and waits for a step of this engine that the
    // scheduler is running: none runs afterwards. Idempotent.
    void Shutdown();

private:
    struct Job;
    struct Request {
        bool finished = false;
        int result = 1;
        std::vector<ProgressMessage> messages;
    };
    // Completions to call once the lock is released.
    using Calls = std::vector<std::pair<Completion, std::optional<int>>>;

    EngineOptions options_;
    std::shared_ptr<Scheduler> scheduler_;
    mutable std::mutex mutex_;
    ComponentRegistry registry_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::shared_ptr<Job> running_;  // the command under way, if any
    bool stepScheduled_ = false;    // a step of this engine is pending on the scheduler
    std::map<int, Request> requests_;
    std::deque<int> finishedOrder_;
    int nextRequestId_;
    int nextPid_;
    bool stopping_ = false;

    // Waits for Submit's completion; throws ShuttingDown for nothing.
    int SubmitAndWait(bool start, std::string_view target, bool flag, bool async);
    int AllocateRequestId();
    // Schedules Step at `when` (with the lock held).
    void ScheduleStep(Scheduler::Clock::time_point when);
    // The scheduler's task: carries commands on as far as they go without waiting.
    void Step();
    // With the lock held: begins the running command's next component;
    // returns true when its transition takes time (the step ends there).
    bool Visit(Job& job, const std::string& name);
    // With the lock held: ends the transition of the running command's
    // component that is starting or stopping.
    void EndTransition(Job& job);
    void Note(Job& job, int severity, int number, std::string text, std::vector<std::string> params);
    void Finish(Job& job, int result, bool cancelled, Calls& calls);
};

// One status line of `entry` at `level` (0..7), without the newline.
std::string FormatStatusLine(const ComponentEntry& entry, int level);

}  // namespace DaDovuSim
