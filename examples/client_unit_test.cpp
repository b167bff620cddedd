// client_unit_test: a unit test of a program's own code, with the client
// substituted. The code under test takes a DaDovu::ClientInterface&; the test
// hands it a fake that records the calls and answers from canned results, so
// the test needs no daemon and runs anywhere (CI included). Plain main: the
// exit status is 0 when every check holds.
#include <dadovu/Client.h>

#include <chrono>
#include <deque>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// The code under test: two operations a program of ours performs.

// Restarts each component of `target` that has failed; returns their names.
// A target that selects nothing has nothing to restart.
std::vector<std::string> RestartFailed(DaDovu::ClientInterface& client, std::string_view target) {
    std::vector<std::string> restarted;
    std::vector<DaDovu::Component> components;
    try {
        components = client.Components(target, DaDovu::StatusLevel::States, std::chrono::seconds(5));
    } catch (const DaDovu::Error& error) {
        if (error.GetKind() == DaDovu::ErrorKind::NoMatchingComponent) return restarted;
        throw;
    }
    for (const DaDovu::Component& component : components) {
        if (component.GetState() != DaDovu::COMPONENT_FAILED) continue;
        client.Stop(component.GetName(), std::chrono::seconds(30));
        client.Start(component.GetName(), std::chrono::seconds(30));
        restarted.push_back(component.GetName());
    }
    return restarted;
}

// Adds a component from its definition file and starts it, passing the
// daemon's messages to `log`. True when the start finished well.
bool Deploy(DaDovu::ClientInterface& client, std::string_view file, std::string_view name,
            std::vector<std::string>& log) {
    client.AddComponent(file, std::chrono::seconds(10));
    const DaDovu::RequestId id = client.StartAsync(name, std::chrono::seconds(10));
    const DaDovu::Progress last = client.Wait(id, std::chrono::seconds(60), [&](const DaDovu::Message& message) {
        log.push_back(message.GetText());
    });
    return last.GetState() == DaDovu::ProgressState::Finished;
}

// ---------------------------------------------------------------------------
// The substitute: records each call as "operation argument" and answers from
// what the test put in. Not synchronised; the code under test is single-threaded.
// The overrides repeat no default arguments: the code under test calls through
// ClientInterface&, whose defaults apply. (Inside a class derived from
// ClientInterface, "Progress" names the member function, so the type is spelt
// DaDovu::Progress.)
class FakeClient final : public DaDovu::ClientInterface {
public:
    using Deadline = DaDovu::Deadline;

    std::vector<std::string> calls;                 // every call, in order
    std::vector<DaDovu::Component> components;      // what Components answers
    std::deque<DaDovu::Progress> progress;          // what Progress answers, one per call
    std::map<std::string, DaDovu::Error> failures;  // calls that throw instead of answering

    void Start(std::string_view target, Deadline, DaDovu::StartMode) override { Record("start", target); }
    void Stop(std::string_view target, Deadline, DaDovu::StopMode) override { Record("stop", target); }
    DaDovu::RequestId StartAsync(std::string_view target, Deadline, DaDovu::StartMode) override {
        Record("startasync", target);
        return DaDovu::RequestId(1024);
    }
    DaDovu::RequestId StopAsync(std::string_view target, Deadline, DaDovu::StopMode) override {
        Record("stopasync", target);
        return DaDovu::RequestId(1025);
    }
    void Notify(std::string_view event, std::string_view, std::string_view, Deadline) override {
        Record("notify", event);
    }
    std::string Status(std::string_view target, DaDovu::StatusLevel, Deadline) override {
        Record("status", target);
        return std::string();
    }
    std::vector<DaDovu::Component> Components(std::string_view target, DaDovu::StatusLevel, Deadline) override {
        Record("components", target);
        return components;
    }
    DaDovu::User GetUser(Deadline) override {
        Record("getuser", "");
        return DaDovu::User(1000, "ops");
    }
    DaDovu::Progress Progress(DaDovu::RequestId id, Deadline) override {
        Record("progress", std::to_string(id.GetValue()));
        if (progress.empty()) return DaDovu::Progress(DaDovu::ProgressState::UnknownRequest, 65);
        DaDovu::Progress next = progress.front();
        progress.pop_front();
        return next;
    }
    void AddComponent(std::string_view file, Deadline) override { Record("addcomponent", file); }
    void DeleteComponent(std::string_view name, Deadline) override { Record("deletecomponent", name); }

private:
    void Record(std::string_view operation, std::string_view argument) {
        calls.push_back(std::string(operation) + " " + std::string(argument));
        const auto failure = failures.find(calls.back());
        if (failure != failures.end()) throw failure->second;
    }
};

// ---------------------------------------------------------------------------
// The tests.

namespace {

int failed = 0;
#define CHECK(condition) \
    ((condition) ? void() : (++failed, void(std::cerr << __FILE__ << ":" << __LINE__ << ": " #condition "\n")))

DaDovu::Component MakeComponent(std::string name, DaDovu::ComponentState state) {
    DaDovu::Component component;
    component.SetName(std::move(name)).SetStateNumber(state);
    return component;
}

DaDovu::Error Refusal(DaDovu::ErrorKind kind, const char* operation, std::string target, int code) {
    return DaDovu::Error(kind, operation, "http://fake/dadovu.ctrl.server/lnkrpcserver", std::move(target), code);
}

void RestartsOnlyFailedComponents() {
    FakeClient fake;
    fake.components = {MakeComponent("database", DaDovu::COMPONENT_RUNNING),
                       MakeComponent("cache", DaDovu::COMPONENT_FAILED),
                       MakeComponent("webserver", DaDovu::COMPONENT_STOPPED)};
    CHECK(RestartFailed(fake, "*") == std::vector<std::string>{"cache"});
    CHECK((fake.calls == std::vector<std::string>{"components *", "stop cache", "start cache"}));
}

void NothingSelectedIsNothingToRestart() {
    FakeClient fake;
    fake.failures.emplace("components web*",
                          Refusal(DaDovu::ErrorKind::NoMatchingComponent, "statusaslist", "web*", 65));
    CHECK(RestartFailed(fake, "web*").empty());
    CHECK(fake.calls.size() == 1);
}

void AFailedStartReachesTheCaller() {
    FakeClient fake;
    fake.components = {MakeComponent("reportgen", DaDovu::COMPONENT_FAILED)};
    fake.failures.emplace("start reportgen", Refusal(DaDovu::ErrorKind::ComponentFailed, "start", "reportgen", 64));
    bool thrown = false;
    try {
        RestartFailed(fake, "reportgen");
    } catch (const DaDovu::Error& error) {
        thrown = true;
        CHECK(error.GetKind() == DaDovu::ErrorKind::ComponentFailed);
        CHECK(error.GetTarget() == std::optional<std::string>("reportgen"));
        CHECK(!error.MayHaveActed());
    }
    CHECK(thrown);
    CHECK((fake.calls == std::vector<std::string>{"components reportgen", "stop reportgen", "start reportgen"}));
}

void DeployLogsEachMessageOnce() {
    // The daemon's message list grows from one answer to the next; Wait hands
    // on only the messages not handed on before.
    const DaDovu::Message queued(DaDovu::Severity::Info, "sim", 1, "Start of target 'billing' requested.");
    const DaDovu::Message starting(DaDovu::Severity::Info, "sim", 3, "Starting component billing.");
    const DaDovu::Message running(DaDovu::Severity::Info, "sim", 4, "Component billing is running.");
    FakeClient fake;
    fake.progress = {DaDovu::Progress(DaDovu::ProgressState::Running, 1, {queued}),
                     DaDovu::Progress(DaDovu::ProgressState::Running, 1, {queued, starting}),
                     DaDovu::Progress(DaDovu::ProgressState::Finished, 0, {queued, starting, running})};
    std::vector<std::string> log;
    CHECK(Deploy(fake, "billing.conf", "billing", log));
    CHECK((log == std::vector<std::string>{queued.GetText(), starting.GetText(), running.GetText()}));
    CHECK((fake.calls == std::vector<std::string>{"addcomponent billing.conf", "startasync billing", "progress 1024",
                                                  "progress 1024", "progress 1024"}));

    // A command that ended in failure is not a deployment.
    FakeClient failing;
    failing.progress = {DaDovu::Progress(DaDovu::ProgressState::Failed, 64, {queued})};
    log.clear();
    CHECK(!Deploy(failing, "billing.conf", "billing", log));
    CHECK(log.size() == 1);
}

}  // namespace

int main() {
    RestartsOnlyFailedComponents();
    NothingSelectedIsNothingToRestart();
    AFailedStartReachesTheCaller();
    DeployLogsEachMessageOnce();
    std::cout << (failed == 0 ? "client_unit_test: all checks passed\n" : "client_unit_test: FAILED\n");
    return failed == 0 ? 0 : 1;
}
