// The daemon's SOAP endpoint without the transport: takes a request body and
// what is known of the caller, checks authentication and authorization, runs
// the method on the CommandEngine and returns the HTTP status and envelope.
//
// Methods (arguments -> outputs besides "result"):
//   start(target, boot, async)           stop(target, kill, async)
//   notify(event, value, target, async)  getuser() -> uid, user
//   status(level, target) -> status      statusaslist(level, target) -> complist
//   requestprogress(RequestID) -> MsgList
//   addcomponent(filename)               deletecomponent(componentname)
// A missing argument or an unknown method is a "soap:Client" fault; a value
// that cannot be used (a level that is not 0..7, a flag that is not "true",
// "false", "1" or "0", a number that is not one) answers Result::kInvalidArgument.
//
// A start or stop is answered once the engine has run it (at once when
// asynchronous): HandleAsync hands the answer to a callback, so a server's
// thread never waits for a component's start time.
//
// Thread-safe: Handle and HandleAsync may run on any number of threads at once.
#pragma once

#include "CommandEngine.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace DaDovuSim {

// The client certificate a request came with, if any (verified by TLS).
struct CallerIdentity {
    bool hasCertificate = false;
    std::string subject;     // one-line RFC 2253 form, e.g. "CN=ops,O=Example"
    std::string commonName;  // the subject's CN ("" when it has none)
};

struct SecurityPolicy {
    // Every request without a client certificate gets the fault "ctrlauthentication".
    bool requireCertificate = false;
    // When set, only callers whose certificate matches a line of
    // `authorizedSubjects` may use methods that change components; others get
    // the fault "ctrlauthorization" for all but "status", "statusaslist" and
    // "getuser".
    bool restrictChanges = false;
    std::vector<std::string> authorizedSubjects;
};

// Whether a subject line authorizes the caller: the line equals the
// certificate's whole RFC 2253 subject, or it is "CN=" followed by exactly
// the certificate's common name.
bool SubjectMatches(const std::string& line, const CallerIdentity& caller);

// Reads an authorization file: one subject per line; blank lines and lines
// starting with '#' are skipped; blanks around a line are ignored. Throws
// std::runtime_error when it cannot be read.
std::vector<std::string> LoadSubjectList(const std::string& path);

struct ServiceAnswer {
    int httpStatus = 200;  // 200, or 500 for a fault
    std::string body;      // the envelope
    std::string summary;   // one line for the daemon's log: method, arguments, outcome
};

class ControlService {
public:
    // `engine` must outlive the service.
    ControlService(CommandEngine& engine, SecurityPolicy policy);
    // One policy shared by many services (the nodes of a fleet).
    ControlService(std::shared_ptr<const SecurityPolicy> policy, CommandEngine& engine);

    using AnswerHandler = std::function<void(ServiceAnswer)>;

    // Answers the request through `done`, called once: on this thread, before
    // HandleAsync returns, for every request but a synchronous start or stop
    // that gets its turn on the engine; for that one on the engine's
    // scheduler thread once the command has ended (or the engine shut down).
    void HandleAsync(std::string_view body, const CallerIdentity& caller, AnswerHandler done) const;

    // HandleAsync's answer, waited for.
    ServiceAnswer Handle(std::string_view body, const CallerIdentity& caller) const;

private:
    CommandEngine& engine_;
    std::shared_ptr<const SecurityPolicy> policy_;
};

// The user the daemon's processes run as (its effective user).
struct UserAccount {
    bool known = false;  // false when the name cannot be found
    long long uid = -1;
    std::string name;
};
UserAccount CurrentUser();

}  // namespace DaDovuSim
