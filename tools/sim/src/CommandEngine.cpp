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

struct Outcome {
    int result = 0;
    bool cancelled = false;
};

}  // namespace

struct CommandEngine::Job {
    bool start = true;
    std::string target;
    std::vector<std::string> selected;
    bool flag = false;   // boot for a start, kill for a stop
    int requestId = 0;   // 0: synchronous
    std::promise<Outcome> done;
};

std::string FormatStatusLine(const ComponentEntry& entry, int level) {
    const ComponentDefinition& d = entry.definition;
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

CommandEngine::CommandEngine(EngineOptions options)
    : options_(std::move(options)), nextRequestId_(kFirstRequestId), nextPid_(options_.firstPid) {
    worker_ = std::thread([this] { WorkerMain(); });
}

CommandEngine::~CommandEngine() { Shutdown(); }

void CommandEngine::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    std::lock_guard<std::mutex> joinLock(joinMutex_);
    if (worker_.joinable()) worker_.join();
}

void CommandEngine::Load(std::vector<ComponentDefinition> definitions) {
    std::lock_guard<std::mutex> lock(mutex_);
    registry_.AddAll(std::move(definitions));
}

std::size_t CommandEngine::ComponentCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registry_.Size();
}

int CommandEngine::Start(std::string_view target, bool boot, bool async) { return Submit(true, target, boot, async); }

int CommandEngine::Stop(std::string_view target, bool kill, bool async) { return Submit(false, target, kill, async); }

int CommandEngine::Submit(bool start, std::string_view target, bool flag, bool async) {
    const TargetExpression expression(target);
    auto job = std::make_shared<Job>();
    job->start = start;
    job->target = target;
    job->flag = flag;
    std::future<Outcome> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) throw ShuttingDown();
        job->selected = registry_.Select(expression);
        if (job->selected.empty()) return Result::kNoMatch;
        if (async) {
            job->requestId = AllocateRequestId();
            requests_[job->requestId] = Request{};
            const char* how = start ? (flag ? " (boot)" : "") : (flag ? " (kill)" : "");
            Note(*job, 0, start ? 1 : 2,
                 std::string(start ? "Start" : "Stop") + " of target '" + job->target + "' requested" + how + ".",
                 {job->target, flag ? "true" : "false"});
        } else {
            done = job->done.get_future();
        }
        queue_.push_back(job);
    }
    wake_.notify_all();
    if (async) return job->requestId;
    const Outcome outcome = done.get();
    if (outcome.cancelled) throw ShuttingDown();
    return outcome.result;
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

void CommandEngine::WorkerMain() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) break;
        std::shared_ptr<Job> job = std::move(queue_.front());
        queue_.pop_front();
        const int result = job->start ? RunStart(*job, lock) : RunStop(*job, lock);
        if (result < 0) {
            Finish(*job, 0, true);
            break;
        }
        Finish(*job, result, false);
    }
    while (!queue_.empty()) {
        Finish(*queue_.front(), 0, true);
        queue_.pop_front();
    }
}

bool CommandEngine::Pause(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds time) {
    if (time.count() == 0) return !stopping_;
    return !wake_.wait_for(lock, time, [this] { return stopping_; });
}

void CommandEngine::Note(Job& job, int severity, int number, std::string text, std::vector<std::string> params) {
    if (job.requestId == 0) return;
    const auto it = requests_.find(job.requestId);
    if (it == requests_.end()) return;
    it->second.messages.push_back(ProgressMessage{severity, number, std::move(text), std::move(params)});
}

void CommandEngine::Finish(Job& job, int result, bool cancelled) {
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
    job.done.set_value(Outcome{result, cancelled});
}

int CommandEngine::RunStart(Job& job, std::unique_lock<std::mutex>& lock) {
    const std::unordered_set<std::string> selected(job.selected.begin(), job.selected.end());
    bool selectedFailed = false;
    bool selectedBlocked = false;
    for (const std::string& name : registry_.StartOrder(job.selected)) {
        const bool isSelected = selected.count(name) != 0;
        ComponentEntry* entry = registry_.Find(name);
        if (entry == nullptr) {
            Note(job, 1, 13, "Component " + name + " is no longer defined.", {name});
            selectedFailed = selectedFailed || isSelected;
            continue;
        }
        if (entry->state == ComponentState::Running) {
            Note(job, 0, 7, "Component " + name + " is already running.", {name});
            continue;
        }
        std::optional<std::string> notRunning;
        for (const auto& p : entry->definition.prerequisites) {
            const ComponentEntry* prerequisite = registry_.Find(p);
            if (prerequisite == nullptr || prerequisite->state != ComponentState::Running) {
                notRunning = p;
                break;
            }
        }
        if (notRunning) {
            Note(job, 1, 6, "Component " + name + " was not started: its prerequisite " + *notRunning + " is not running.",
                 {name, *notRunning});
            selectedBlocked = selectedBlocked || isSelected;
            continue;
        }

        entry->state = ComponentState::Starting;
        Note(job, 0, 3, "Starting component " + name + ".", {name});
        const bool fails = entry->definition.startFails;
        const bool completed = Pause(lock, entry->definition.startTime);
        // A starting component cannot be removed (kBusy), so the entry is
        // still there; looking it up again costs little and proves it.
        entry = registry_.Find(name);
        if (entry == nullptr) continue;
        if (!completed) {
            entry->state = ComponentState::Stopped;
            return -1;
        }
        if (fails) {
            entry->state = ComponentState::Failed;
            entry->pid.clear();
            Note(job, 2, 5, "Component " + name + " failed to start.", {name});
            selectedFailed = selectedFailed || isSelected;
        } else {
            entry->state = ComponentState::Running;
            entry->pid = std::to_string(nextPid_);
            nextPid_ = nextPid_ >= kPidLimit ? options_.firstPid : nextPid_ + 1;
            Note(job, 0, 4, "Component " + name + " is running with process ID " + entry->pid + ".", {name, entry->pid});
        }
    }
    if (selectedFailed) return Result::kComponentFailed;
    if (selectedBlocked) return Result::kPrerequisiteFailed;
    return Result::kSuccess;
}

int CommandEngine::RunStop(Job& job, std::unique_lock<std::mutex>& lock) {
    const bool kill = job.flag;
    bool failed = false;
    for (const std::string& name : registry_.StopOrder(job.selected)) {
        ComponentEntry* entry = registry_.Find(name);
        if (entry == nullptr) {
            Note(job, 1, 13, "Component " + name + " is no longer defined.", {name});
            continue;
        }
        if (entry->state == ComponentState::Stopped) {
            Note(job, 0, 12, "Component " + name + " is already stopped.", {name});
            continue;
        }
        if (entry->state == ComponentState::Failed || kill) {
            entry->state = ComponentState::Stopped;
            entry->pid.clear();
            if (kill)
                Note(job, 0, 10, "Component " + name + " killed.", {name});
            else
                Note(job, 0, 9, "Component " + name + " stopped.", {name});
            continue;
        }

        entry->state = ComponentState::Stopping;
        Note(job, 0, 8, "Stopping component " + name + ".", {name});
        const bool fails = entry->definition.stopFails;
        const bool completed = Pause(lock, entry->definition.stopTime);
        entry = registry_.Find(name);
        if (entry == nullptr) continue;
        if (!completed) {
            entry->state = ComponentState::Running;
            return -1;
        }
        entry->pid.clear();
        if (fails) {
            entry->state = ComponentState::Failed;
            Note(job, 2, 11, "Component " + name + " failed to stop.", {name});
            failed = true;
        } else {
            entry->state = ComponentState::Stopped;
            Note(job, 0, 9, "Component " + name + " stopped.", {name});
        }
    }
    return failed ? Result::kComponentFailed : Result::kSuccess;
}

int CommandEngine::Notify(std::string_view event, std::string_view value, std::string_view target) {
    const TargetExpression expression(target);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto selected = registry_.Select(expression);
    if (selected.empty()) return Result::kNoMatch;
    bool delivered = false;
    for (const auto& name : selected) {
        ComponentEntry* entry = registry_.Find(name);
        if (entry == nullptr || !entry->definition.Subscribes(event)) continue;
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
        status.records.push_back(ComponentRecord{entry.definition.name, entry.definition.description,
                                                 entry.definition.category, entry.pid, entry.xml, entry.state});
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
