// ClientPolicy: how a Client's requests trace, log and fail.

#include "engine/ClientPolicy.h"

#include <dadovu/Exceptions.h>

#include <string_view>
#include <utility>

namespace DaDovu {
namespace Engine {

namespace {

// The daemon's security words, sent as a fault's whole text.
bool IsFault(const QxPalMsg::Exception_t& caught, const char* word) {
    const auto* fault = dynamic_cast<const QxLnkSoap::SoapFaultException*>(&caught);
    return fault != nullptr && fault->GetFaultString() == word;
}

std::vector<std::string> Details(const QxPalMsg::MessageList_t& messages) {
    std::vector<std::string> details;
    details.reserve(static_cast<std::size_t>(messages.GetMessageCount()));
    for (int i = 0; i < messages.GetMessageCount(); ++i)
        details.push_back(messages.GetMessageObject(i).Format(QxPalMsg::FORMAT_PLAIN).ToUtf8());
    return details;
}

}  // namespace

ErrorKind KindOfResultCode(int code) {
    switch (code) {
    case 64: return ErrorKind::ComponentFailed;
    case 65: return ErrorKind::NoMatchingComponent;
    case 70: return ErrorKind::NotAuthorized;
    case 71: return ErrorKind::PrerequisiteFailed;
    case 73: return ErrorKind::EventNotSubscribed;
    case 74: return ErrorKind::NotAuthenticated;
    case 75: return ErrorKind::UserUnknown;
    default: return ErrorKind::DaemonError;
    }
}

ClientFailure Classify(const QxPalMsg::Exception_t& caught) {
    ErrorKind kind = ErrorKind::NoAnswer;  // a stage not known: the daemon may have acted
    if (dynamic_cast<const QxLnkRpc::RpcTlsException*>(&caught) != nullptr) {
        kind = ErrorKind::Tls;
    } else if (dynamic_cast<const QxLnkRpc::RpcUnsentException*>(&caught) != nullptr) {
        kind = ErrorKind::NotSent;
    } else if (dynamic_cast<const QxLnkRpc::RpcResponseException*>(&caught) != nullptr) {
        kind = ErrorKind::MalformedAnswer;
    } else if (dynamic_cast<const QxLnkRpc::RpcException*>(&caught) != nullptr) {
        kind = ErrorKind::NoAnswer;
    } else if (IsFault(caught, "ctrlauthentication")) {
        kind = ErrorKind::NotAuthenticated;
    } else if (IsFault(caught, "ctrlauthorization")) {
        kind = ErrorKind::NotAuthorized;
    } else if (dynamic_cast<const QxLnkSoap::SoapFaultException*>(&caught) != nullptr) {
        kind = ErrorKind::DaemonError;
    } else if (dynamic_cast<const QxLnkSoap::SoapException*>(&caught) != nullptr) {
        kind = ErrorKind::MalformedAnswer;
    } else if (dynamic_cast<const QxPalMsg::LogicError_t*>(&caught) != nullptr) {
        kind = ErrorKind::InvalidArgument;  // refused before anything was sent
    }
    return ClientFailure{kind, std::nullopt, Details(caught.GetMessageList())};
}

ClientPolicy::ClientPolicy(QxLnkMsg::Messenger messenger, LogHook logHook, TraceHook traceHook,
                           bool closeConnectionAfterUse)
    : messenger_(std::move(messenger)),
      logHook_(std::move(logHook)),
      traceHook_(std::move(traceHook)),
      closeConnectionAfterUse_(closeConnectionAfterUse) {}

bool ClientPolicy::Tracing(unsigned /*level*/) const { return static_cast<bool>(traceHook_); }

void ClientPolicy::Trace(unsigned level, const String_t& text, int /*line*/) const {
    if (!traceHook_) return;
    try {
        const std::string utf8 = text.ToUtf8();
        traceHook_(static_cast<int>(level), utf8);
    } catch (...) {
        // A hook's failure is the program's; the request goes on.
    }
}

void ClientPolicy::LogText(Severity severity, const std::string& text) const {
    if (!logHook_) return;
    try {
        logHook_(severity, text);
    } catch (...) {
        // As for traces.
    }
}

void ClientPolicy::Log(const QxPalMsg::Message_t& message) const {
    if (!logHook_) return;
    try {
        LogText(static_cast<Severity>(message.GetSeverity()), message.Format(QxPalMsg::FORMAT_PLAIN).ToUtf8());
    } catch (...) {
        // Formatting ran out of memory: the line is lost, the request goes on.
    }
}

void ClientPolicy::Translate(const Method& method, const QxPalMsg::Exception_t& caught) const {
    ClientFailure failure = Classify(caught);
    if (Tracing(kLevelFailure))
        Trace(kLevelFailure, method.failureTrace + caught.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN), __LINE__);
    if (method.logsFailure && logHook_) {
        const bool security = failure.kind == ErrorKind::NotAuthenticated || failure.kind == ErrorKind::NotAuthorized;
        QxPalMsg::CreateError_t message(Catalog::GetCatalog(), security ? method.securityNo : method.communicationNo,
                                        security ? method.securityText : method.communicationText);
        message.AddDetails(caught.GetMessageList());
        Log(message);
    }
    throw failure;
}

void ClientPolicy::CheckResult(const Method& /*method*/, int code) const {
    if ((code & 64) == 0) return;
    throw ClientFailure{KindOfResultCode(code), code, {}};
}

void ClientPolicy::ResultMissing(const char* remoteName, int /*initialResult*/) const {
    if (std::string_view(remoteName) == "notify") return;
    throw ClientFailure{ErrorKind::MalformedAnswer, std::nullopt, {"The answer carries no result"}};
}

int ClientPolicy::RegistrationFailed(const Registration& registration, const QxPalMsg::Exception_t& caught) const {
    ClientFailure failure = Classify(caught);
    const String_t text = caught.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN);
    if (Tracing(kLevelFailure)) Trace(kLevelFailure, "Exception caught: Error=" + text, __LINE__);
    if (logHook_) {
        QxPalMsg::CreateError_t message(Catalog::GetCatalog(), registration.messageNo, registration.messageText);
        message << text;
        Log(message);
    }
    throw failure;
}

}  // namespace Engine
}  // namespace DaDovu
