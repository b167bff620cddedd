#include "CommandEngine.h"

#include "ResultCodes.h"
#include "TargetExpression.h"

#include <filesystem>
#include <future>
#include <optional>
#include <unordered_set>
#include <utility>

namespace DaDovuSim {

namespace {

// Highest simulated process ID before counting starts again (Linux's limit).
constexpr int kPidLimit = 4194304;

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    out += '"';
    return out;
}

std::string JoinOrDash(const std::vector<std::string>& items) {
    if (items.empty()) return "-";
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += ',';
        out += item;
    }
    return out;
}

bool IsPlainFileName(std::string_view name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace

struct CommandEngine::Job {
    bool start = true;
    std::string target;
    std::vector<std::string> selected;
    bool flag = false;   // boot for a start, kill for a stop
    int requestId = 0;   // 0: synchronous
    Completion done;     // a synchronous command's caller

    // How far it has come: the components it visits, in order, and the next.
    bool begun = false;
    std::vector<std::string> order;
    std::size_t next = 0;
    std::unordered_set<std::string> selectedSet;  // a start's selected components
    bool selectedFailed = false;   // start: a selected component failed or vanished
    bool selectedBlocked = false;  // start: a selected component's prerequisite is not running
    bool stopFailed = false;       // stop: a component failed to stop
    // The component starting or stopping now, whether it will fail, and when
    // its transition ends.
    std::optional<std::string> moving;
    bool movingFails = false;
    Scheduler::Clock::time_point movingUntil;
};

std::string FormatStatusLine(const ComponentEntry& entry, int level) {
    const ComponentDefinition& d = entry.Definition();
    std::string line = d.name;
    if (level >= 1) line += std::string(" state=") + StateName(entry.state);
    if (level >= 2) line += " pid=" + (entry.pid.empty() ? std::string("-") : entry.pid);
    if (level >= 3) line += " description=" + Quote(d.description);
    if (level >= 4) line += " category=" + (d.category.empty() ? std::string("-") : d.category);
    if (level >= 5) line += " prerequisites=" + JoinOrDash(d.prerequisites);
    if (level >= 6) {
        line += " events=" + JoinOrDash(d.events);
        for (const auto& [event, value] : entry.lastValues) line += " value." + event + "=" + Quote(value);
    }
    if (level >= 7) {
        line += " start_time_ms=" + std::to_string(d.startTime.count());
        line += " stop_time_ms=" + std::to_string(d.stopTime.count());
        line += std::string(" start_fails=") + (d.startFails ? "true" : "false");
        line += std::string(" stop_fails=") + (d.stopFails ? "true" : "false");
        line += " notifications=" + std::to_string(entry.notifications);
        line += " source=" + Quote(d.source);
    }
    return line;
}

CommandEngine::CommandEngine(EngineOptions options, std::shared_ptr<Scheduler> scheduler)
    : options_(std::move(options)),
      scheduler_(scheduler ? std::move(scheduler) : std::make_shared<Scheduler>()),
      nextRequestId_(kFirstRequestId),
      nextPid_(options_.firstPid) {}

CommandEngine::~CommandEngine() { Shutdown(); }

void CommandEngine::Shutdown() {
    Calls calls;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            // A component half way through its transition returns to where it
            // was: stopped when it was starting, running when it was stopping.
            if (running_) {
                if (running_->moving) {
                    if (ComponentEntry* entry = registry_.Find(*running_->moving))
                        entry->state = running_->start ? ComponentState::Stopped : ComponentState::Running;
                    running_->moving.reset();
                }
                Finish(*running_, 0, true, calls);
                running_.reset();
            }
            for (const auto& job : queue_) Finish(*job, 0, true, calls);
            queue_.clear();
        }
    }
    for (auto& [done, result] : calls) done(result);
    // No step of this engine runs once this returns (a step finds stopping_
    // set and does nothing).
    scheduler_->Forget(this);
}

void CommandEngine::Load(std::vector<ComponentDefinition> definitions) {
    std::lock_guard<std::mutex> lock(mutex_);
    registry_.AddAll(std::move(definitions));
}

void CommandEngine::LoadShared(const ComponentRegistry& registry) {
    std::lock_guard<std::mutex> lock(mutex_);
    registry_ = registry;
}

std::size_t CommandEngine::ComponentCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registry_.Size();
}

int CommandEngine::Start(std::string_view target, bool boot, bool async) {
    return SubmitAndWait(true, target, boot, async);
}

int CommandEngine::Stop(std::string_view target, bool kill, bool async) {
    return SubmitAndWait(false, target, kill, async);
}

int CommandEngine::SubmitAndWait(bool start, std::string_view target, bool flag, bool async) {
    // Shared with the completion, which may still be returning from
    // set_value when the waiting caller has gone on.
    auto promise = std::make_shared<std::promise<std::optional<int>>>();
    std::future<std::optional<int>> done = promise->get_future();
    Submit(start, target, flag, async, [promise](std::optional<int> result) { promise->set_value(result); });
    const std::optional<int> result = done.get();
    if (!result) throw ShuttingDown();
    return *result;
}

void CommandEngine::Submit(bool start, std::string_view target, bool flag, bool async, Completion done) {
    const TargetExpression expression(target);
    auto job = std::make_shared<Job>();
    job->start = start;
    job->target = target;
    job->flag = flag;
    std::optional<int> answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            answer = std::nullopt;
        } else {
            job->selected = registry_.Select(expression);
            if (job->selected.empty()) {
                answer = Result::kNoMatch;
            } else {
                if (async) {
                    job->requestId = AllocateRequestId();
                    requests_[job->requestId] = Request{};
                    const char* how = start ? (flag ? " (boot)" : "") : (flag ? " (kill)" : "");
                    Note(*job, 0, start ? 1 : 2,
                         std::string(start ? "Start" : "Stop") + " of target '" + job->target + "' requested" + how +
                             ".",
                         {job->target, flag ? "true" : "false"});
                    answer = job->requestId;
                } else {
                    job->done = std::move(done);
                }
                queue_.push_back(job);
                if (!running_ && !stepScheduled_) ScheduleStep(Scheduler::Clock::now());
                if (!async) return;
            }
        }
    }
    done(answer);
}

int CommandEngine::AllocateRequestId() {
    for (;;) {
        const int id = nextRequestId_;
        nextRequestId_ = id + 1;
        if ((nextRequestId_ & 64) != 0) nextRequestId_ += 64;
        if (nextRequestId_ >= kRequestIdLimit) nextRequestId_ = kFirstRequestId;
        const auto old = requests_.find(id);
        if (old == requests_.end()) return id;
        // Only after the IDs wrapped around: reuse an ID whose command has
        // finished long ago, never one that is still queued or running.
        if (old->second.finished) {
            requests_.erase(old);
            return id;
        }
    }
}

void CommandEngine::ScheduleStep(Scheduler::Clock::time_point when) {
    stepScheduled_ = true;
    scheduler_->Schedule(this, when, [this] { Step(); });
}

void CommandEngine::Step() {
    Calls calls;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stepScheduled_ = false;
        for (;;) {
            if (stopping_) break;
            if (!running_) {
                if (queue_.empty()) break;
                running_ = std::move(queue_.front());
                queue_.pop_front();
            }
            Job& job = *running_;
            if (!job.begun) {
                // The order is taken when the command's turn comes, from the
                // components as they are then.
                job.begun = true;
                if (job.start) {
                    job.order = registry_.StartOrder(job.selected);
                    job.selectedSet.insert(job.selected.begin(), job.selected.end());
                } else {
                    job.order = registry_.StopOrder(job.selected);
                }
            }
            if (job.moving) {
                if (Scheduler::Clock::now() < job.movingUntil) {
                    ScheduleStep(job.movingUntil);
                    break;
                }
                EndTransition(job);
            }
            bool waiting = false;
            while (!waiting && job.next < job.order.size()) waiting = Visit(job, job.order[job.next++]);
            if (waiting) {
                ScheduleStep(job.movingUntil);
                break;
            }
            int result = Result::kSuccess;
            if (job.start) {
                if (job.selectedFailed)
                    result = Result::kComponentFailed;
                else if (job.selectedBlocked)
                    result = Result::kPrerequisiteFailed;
            } else if (job.stopFailed) {
                result = Result::kComponentFailed;
            }
            Finish(job, result, false, calls);
            running_.reset();
        }
    }
    for (auto& [done, result] : calls) done(result);
}

bool CommandEngine::Visit(Job& job, const std::string& name) {
    ComponentEntry* entry = registry_.Find(name);
    if (entry == nullptr) {
        Note(job, 1, 13, "Component " + name + " is no longer defined.", {name});
        if (job.start) job.selectedFailed = job.selectedFailed || job.selectedSet.count(name) != 0;
        return false;
    }
    std::chrono::milliseconds time{0};
    if (job.start) {
        if (entry->state == ComponentState::Running) {
            Note(job, 0, 7, "Component " + name + " is already running.", {name});
            return false;
        }
        std::optional<std::string> notRunning;
        for (const auto& p : entry->Definition().prerequisites) {
            const ComponentEntry* prerequisite = registry_.Find(p);
            if (prerequisite == nullptr || prerequisite->state != ComponentState::Running) {
                notRunning = p;
                break;
            }
        }
        if (notRunning) {
            Note(job, 1, 6,
                 "Component " + name + " was not started: its prerequisite " + *notRunning + " is not running.",
                 {name, *notRunning});
            job.selectedBlocked = job.selectedBlocked || job.selectedSet.count(name) != 0;
            return false;
        }
        entry->state = ComponentState::Starting;
        Note(job, 0, 3, "Starting component " + name + ".", {name});
        job.movingFails = entry->Definition().startFails;
        time = entry->Definition().startTime;
    } else {
        if (entry->state == ComponentState::Stopped) {
            Note(job, 0, 12, "Component " + name + " is already stopped.", {name});
            return false;
        }
        if (entry->state == ComponentState::Failed || job.flag) {
            entry->state = ComponentState::Stopped;
            entry->pid.clear();
            if (job.flag)
                Note(job, 0, 10, "Component " + name + " killed.", {name});
            else
                Note(job, 0, 9, "Component " + name + " stopped.", {name});
            return false;
        }
        entry->state = ComponentState::Stopping;
        Note(job, 0, 8, "Stopping component " + name + ".", {name});
        job.movingFails = entry->Definition().stopFails;
        time = entry->Definition().stopTime;
    }
    job.moving = name;
    if (time.count() == 0) {
        EndTransition(job);
        return false;
    }
    job.movingUntil = Scheduler::Clock::now() + time;
    return true;
}

void CommandEngine::EndTransition(Job& job) {
    const std::string name = std::move(*job.moving);
    job.moving.reset();
    // A component that is starting or stopping cannot be removed (kBusy), so
    // the entry is still there; looking it up again costs little and proves it.
    ComponentEntry* entry = registry_.Find(name);
    if (entry == nullptr) return;
    if (job.start) {
        if (job.movingFails) {
            entry->state = ComponentState::Failed;
            entry->pid.clear();
            Note(job, 2, 5, "Component " + name + " failed to start.", {name});
            job.selectedFailed = job.selectedFailed || job.selectedSet.count(name) != 0;
        } else {
            entry->state = ComponentState::Running;
            entry->pid = std::to_string(nextPid_);
            nextPid_ = nextPid_ >= kPidLimit ? options_.firstPid : nextPid_ + 1;
            Note(job, 0, 4, "Component " + name + " is running with process ID " + entry->pid + ".",
                 {name, entry->pid});
        }
    } else {
        entry->pid.clear();
        if (job.movingFails) {
            entry->state = ComponentState::Failed;
            Note(job, 2, 11, "Component " + name + " failed to stop.", {name});
            job.stopFailed = true;
        } else {
            entry->state = ComponentState::Stopped;
            Note(job, 0, 9, "Component " + name + " stopped.", {name});
        }
    }
}

void CommandEngine::Note(Job& job, int severity, int number, std::string text, std::vector<std::string> params) {
    if (job.requestId == 0) return;
    const auto it = requests_.find(job.requestId);
    if (it == requests_.end()) return;
    it->second.messages.push_back(ProgressMessage{severity, number, std::move(text), std::move(params)});
}

void CommandEngine::Finish(Job& job, int result, bool cancelled, Calls& calls) {
    if (job.requestId != 0) {
        if (cancelled) {
            Note(job, 2, 15, "Command cancelled: the daemon is shutting down.", {});
            result = Result::kComponentFailed;
        } else {
            Note(job, Result::IsFailure(result) ? 2 : 0, 14,
                 "Command finished with result " + std::to_string(result) + ".", {std::to_string(result)});
        }
        const auto it = requests_.find(job.requestId);
        if (it != requests_.end()) {
            it->second.finished = true;
            it->second.result = result;
            finishedOrder_.push_back(job.requestId);
        }
        while (finishedOrder_.size() > options_.retainedRequests) {
            const auto old = requests_.find(finishedOrder_.front());
            if (old != requests_.end() && old->second.finished) requests_.erase(old);
            finishedOrder_.pop_front();
        }
    }
    if (job.done) {
        std::optional<int> outcome;
        if (!cancelled) outcome = result;
        calls.emplace_back(std::move(job.done), outcome);
        job.done = nullptr;
    }
}

int CommandEngine::Notify(std::string_view event, std::string_view value, std::string_view target) {
    const TargetExpression expression(target);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto selected = registry_.Select(expression);
    if (selected.empty()) return Result::kNoMatch;
    bool delivered = false;
    for (const auto& name : selected) {
        ComponentEntry* entry = registry_.Find(name);
        if (entry == nullptr || !entry->Definition().Subscribes(event)) continue;
        entry->lastValues[std::string(event)] = value;
        ++entry->notifications;
        delivered = true;
    }
    return delivered ? Result::kSuccess : Result::kNoSubscriber;
}

CommandEngine::StatusText CommandEngine::Status(int level, std::string_view target) const {
    StatusText status;
    if (level < 0 || level > 7) {
        status.result = Result::kInvalidArgument;
        return status;
    }
    const TargetExpression expression(target);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto selected = registry_.Select(expression);
    if (selected.empty()) {
        status.result = Result::kNoMatch;
        return status;
    }
    for (const auto& name : selected) {
        status.text += FormatStatusLine(*registry_.Find(name), level);
        status.text += '\n';
    }
    return status;
}

CommandEngine::StatusRecords CommandEngine::StatusList(int level, std::string_view target) const {
    StatusRecords status;
    if (level < 0 || level > 7) {
        status.result = Result::kInvalidArgument;
        return status;
    }
    const TargetExpression expression(target);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto selected = registry_.Select(expression);
    if (selected.empty()) {
        status.result = Result::kNoMatch;
        return status;
    }
    status.records.reserve(selected.size());
    for (const auto& name : selected) {
        const ComponentEntry& entry = *registry_.Find(name);
        const ComponentDefinition& d = entry.Definition();
        status.records.push_back(ComponentRecord{d.name, d.description, d.category, entry.pid, entry.Xml(), entry.state});
    }
    return status;
}

CommandEngine::Progress CommandEngine::GetProgress(int requestId) const {
    Progress progress;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = requests_.find(requestId);
    if (it == requests_.end()) {
        progress.result = Result::kNoMatch;
        return progress;
    }
    progress.result = it->second.finished ? it->second.result : Result::kRunning;
    progress.messages = it->second.messages;
    return progress;
}

CommandEngine::Registration CommandEngine::AddComponent(std::string_view fileName) {
    namespace fs = std::filesystem;
    if (options_.componentsDirectory.empty())
        return {Result::kFileNameRefused, "no components directory is configured"};
    if (!IsPlainFileName(fileName))
        return {Result::kFileNameRefused, "'" + std::string(fileName) + "' is not a plain file name"};

    const fs::path directory(options_.componentsDirectory);
    fs::path path = directory / std::string(fileName);
    std::error_code error;
    const bool hasSuffix = fileName.size() > 5 && fileName.substr(fileName.size() - 5) == ".conf";
    if (!fs::exists(path, error) && !hasSuffix) path = directory / (std::string(fileName) + ".conf");
    if (!fs::is_regular_file(path, error))
        return {Result::kFileNotFound, path.string() + ": no such file"};

    ComponentDefinition definition;
    try {
        definition = LoadDefinitionFile(path.string());
    } catch (const DefinitionError& e) {
        return {Result::kInvalidDefinition, e.what()};
    }
    const std::string name = definition.name;
    std::lock_guard<std::mutex> lock(mutex_);
    const int result = registry_.Add(std::move(definition));
    switch (result) {
    case Result::kAlreadyExists: return {result, "component '" + name + "' already exists"};
    case Result::kUnknownPrerequisite: return {result, "a prerequisite of '" + name + "' is not defined"};
    default: return {result, "component '" + name + "' added"};
    }
}

CommandEngine::Registration CommandEngine::DeleteComponent(std::string_view name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int result = registry_.Remove(name);
    const std::string quoted = "'" + std::string(name) + "'";
    switch (result) {
    case Result::kUnknownComponent: return {result, "no component " + quoted};
    case Result::kStillRequired: return {result, "component " + quoted + " is a prerequisite of another"};
    case Result::kBusy: return {result, "component " + quoted + " is starting or stopping"};
    default: return {result, "component " + quoted + " removed"};
    }
}

}  // namespace DaDovuSim
