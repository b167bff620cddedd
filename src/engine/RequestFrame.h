// The request frame that every remote method of the control daemon runs
// through, whichever door the request came in by: the classic ControlImpl_t
// functions or a Client. A door is a RequestPolicy: where its trace and log
// lines go, the messenger its calls run on, and how a failure reaches its
// callers. Everything else (the call, its arguments and outputs, the trace
// lines, the order of the steps) is the frame's and is the same for both.
#pragma once

#include <chrono>

#include "platform/Platform.h"

namespace DaDovu {
namespace Engine {

using QxPalStr::String_t;

constexpr unsigned kLevelRequest = 1;     // announcing and finishing lines, certificate test
constexpr unsigned kLevelFailure = 4;     // caught failures and rejected arguments
constexpr unsigned kLevelMessenger = 25;  // the shared messenger

// What sets one method's frame apart from another's.
struct Method {
    const char* remoteName;         // the daemon's method
    const char* failureTrace;       // start of the level-4 line of a caught failure
    unsigned communicationNo;       // CommunicationException message
    const char* communicationText;
    unsigned securityNo;            // SecAuthException message for a security fault
    const char* securityText;
    int initialResult;              // the result code before (and without) an answer
    bool logsFailure;               // a translated failure is also written to the log
    bool faultBeforeRpc;            // a SOAP fault is tested before an RPC failure
    bool checksResult;              // the result code goes through the policy's check
};

extern const Method kStart;
extern const Method kStop;
extern const Method kNotify;
extern const Method kStatus;
extern const Method kStatusAsList;
extern const Method kRequestProgress;
extern const Method kGetUser;

// The two registration methods: the same call, a catch frame of their own.
struct Registration {
    const char* remoteName;
    const unsigned short* argumentName;
    unsigned messageNo;
    const char* messageText;
};

extern const Registration kAddComponent;
extern const Registration kDeleteComponent;

// A door's way of running requests. Its functions are called on the
// request's thread, by any number of threads at once.
class RequestPolicy {
public:
    virtual ~RequestPolicy() = default;

    // Whether lines of `level` are wanted; tested before any text is built.
    virtual bool Tracing(unsigned level) const = 0;
    virtual void Trace(unsigned level, const String_t& text, int line) const = 0;
    // Never throws.
    virtual void Log(const QxPalMsg::Message_t& message) const = 0;
    // The messenger the call runs on (a handle sharing the door's).
    virtual QxLnkMsg::Messenger GetMessenger() const = 0;
    // Whether the call's connection is closed after it; asked just before
    // the call is invoked. May throw what reading a setting throws.
    virtual bool CloseConnectionAfterUse() const = 0;
    // Called from the frame's catch handler with the failure of a call of
    // `method`; throws the door's exception for it, or rethrows.
    [[noreturn]] virtual void Translate(const Method& method, const QxPalMsg::Exception_t& caught) const = 0;
    // Called with the answered code of a method that checks its codes, after
    // the call has been released; returns for an accepted code, else throws.
    virtual void CheckResult(const Method& method, int code) const = 0;
    // Called when an answer lacked "result", which then keeps
    // `initialResult`; returns to go on with that value, or throws.
    virtual void ResultMissing(const char* /*remoteName*/, int /*initialResult*/) const {}
    // Called from the registration methods' catch handler; returns the code
    // the request returns (or throws).
    virtual int RegistrationFailed(const Registration& registration, const QxPalMsg::Exception_t& caught) const = 0;
};

// One request's own values. Pointers may be null: no target ID, no deadline
// of the request's own (the messenger's TIMEOUT_MS then bounds the call).
struct Request {
    const QxPalNet::URI_t& uri;
    bool secure;                                             // SECURE_COMM, shown as the certificate test
    const String_t* targetId;
    bool asynchronous;                                       // sent as "async" by start, stop and notify
    const std::chrono::steady_clock::time_point* deadline;
};

// Receives the records of a component list as the answer is parsed.
class ComponentRecordSink;

// The methods. Each traces its announcing line, runs the frame, traces its
// finishing line and returns the accepted result code (see the policy).
int RunTargetCommand(const RequestPolicy& policy, const Request& request, const Method& method,
                     const String_t& target, bool flag);
int RunNotify(const RequestPolicy& policy, const Request& request, const String_t& event, const String_t& value,
              const String_t& target);
// `uid` and `name` receive the answer's (unchanged where it lacks them).
int RunGetUser(const RequestPolicy& policy, const Request& request, int& uid, String_t& name);
// `level` as the daemon takes it: refused unless 0 to 7, before anything is sent.
int RunStatusText(const RequestPolicy& policy, const Request& request, int level, const String_t& target,
                  String_t& status);
// `records` receives the records while the answer is parsed; it must keep
// them from its own caller until the call has returned.
int RunStatusList(const RequestPolicy& policy, const Request& request, int level, const String_t& target,
                  ComponentRecordSink& records);
// `messages` is replaced by the answer's only after a complete answer.
int RunProgress(const RequestPolicy& policy, const Request& request, unsigned long long requestID,
                QxPalMsg::MessageList_t& messages);
// No trace lines; the daemon's code unchecked, or what the policy makes of a failure.
int RunRegistration(const RequestPolicy& policy, const Request& request, const Registration& registration,
                    const String_t& name);

}  // namespace Engine
}  // namespace DaDovu
