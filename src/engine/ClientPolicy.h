// The request policy of a Client (not installed): its own messenger, its
// hooks in place of the trace object and the node's log, and failures
// classified into ErrorKind.
#pragma once

#include <dadovu/Client.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/RequestFrame.h"

namespace DaDovu {
namespace Engine {

// A failure of a Client's request, as the frame and the policy classify it.
// The Client adds what names the request (operation, endpoint, target) and
// throws it as a DaDovu::Error. Not derived from std::exception: it never
// leaves the library.
struct ClientFailure {
    ErrorKind kind;
    std::optional<int> resultCode;
    std::vector<std::string> details;
};

// The kind of a failure of the outside libraries, and its messages (each in
// plain form) as details.
ClientFailure Classify(const QxPalMsg::Exception_t& caught);
// The kind of a failing result code (bit of value 64 set).
ErrorKind KindOfResultCode(int code);

// Immutable once built: any number of requests may use one policy at once.
// The hooks are called on the requests' threads; what they throw is dropped.
class ClientPolicy final : public RequestPolicy {
public:
    ClientPolicy(QxLnkMsg::Messenger messenger, LogHook logHook, TraceHook traceHook, bool closeConnectionAfterUse);

    bool Tracing(unsigned level) const override;
    void Trace(unsigned level, const String_t& text, int line) const override;
    void Log(const QxPalMsg::Message_t& message) const override;
    QxLnkMsg::Messenger GetMessenger() const override { return messenger_; }
    bool CloseConnectionAfterUse() const override { return closeConnectionAfterUse_; }
    // Traces the failure (and logs it where the classic door logs it), then
    // throws its ClientFailure.
    [[noreturn]] void Translate(const Method& method, const QxPalMsg::Exception_t& caught) const override;
    // Throws the ClientFailure of a failing code.
    void CheckResult(const Method& method, int code) const override;
    // An answer without "result" tells nothing of the outcome: MalformedAnswer,
    // but for "notify", whose answer may leave it out (success).
    void ResultMissing(const char* remoteName, int initialResult) const override;
    // Traces and logs the failure as the classic door does, then throws its ClientFailure.
    int RegistrationFailed(const Registration& registration, const QxPalMsg::Exception_t& caught) const override;

    // Hands `text` to the log hook with `severity`; never throws.
    void LogText(Severity severity, const std::string& text) const;

private:
    QxLnkMsg::Messenger messenger_;
    LogHook logHook_;
    TraceHook traceHook_;
    bool closeConnectionAfterUse_;
};

}  // namespace Engine
}  // namespace DaDovu
