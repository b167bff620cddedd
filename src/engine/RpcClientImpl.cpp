// RpcClientImpl: the classic request engine.
//
// The ControlImpl_t functions run their methods through the shared request
// frame (RequestFrame.cpp) with the classic policy: the process-wide
// messenger configured from the node settings, the request trace
// "ctrl.rpcclient", the node's log, the settings read afresh by each request,
// and failures translated into the library's exception family.

#include "engine/ControlImpl.h"

#include <dadovu/Exceptions.h>
#include <dadovu/Functions.h>

#include <list>
#include <string>

#include "api/ControlComponentListImpl.h"
#include "api/OptionsImpl.h"
#include "engine/NodeSettings.h"
#include "engine/RequestFrame.h"
#include "soap/SOAPArgControlComponentList.h"

namespace DaDovu {
namespace {

using Engine::kLevelFailure;
using Engine::kLevelMessenger;
using Engine::kLevelRequest;
using Engine::Method;
using Engine::Registration;
using QxPalStr::String_t;

// ---------------------------------------------------------------------------
// Process-wide state.
//
// These objects are built by the C++ runtime when the library is loaded and
// destroyed in reverse order when it is unloaded. Linux sends a shared library
// no per-thread attach or detach notifications, so there is nothing to switch
// off at load and the library needs no entry-point code.

// The request trace. Its trace object is created on first use (InitObject).
const QxPalTrc::TraceWrapper_t gTrace("ctrl.rpcclient");

// The shared messenger: default-constructed (unconfigured) at load, configured
// by the first request, then copied by every request. The mutex guards the
// handle and the flag while they are tested, set and copied; it is never held
// while a call is in flight.
QxPalThread::Mutex_t gMessengerMutex;
QxLnkMsg::Messenger gMessenger;
bool gMessengerReady = false;  // set once the configured messenger is stored; never reset

constexpr char kSourceFile[] = "RpcClientImpl";

// Whether lines of `level` are written. Tested before any text is built.
bool Tracing(unsigned level) { return gTrace.IsEnabled(level); }

template <typename Text>
void Trace(unsigned level, const Text& text, int line) {
    if (const QxPalTrc::TraceObj_t* object = gTrace.InitObject()) object->DoTrace(level, text, kSourceFile, line);
}

void LogOne(const QxPalMsg::Message_t& message) {
    QxPalMsg::MessageList_t messages;
    messages.Add(message);
    LogMessage(messages);
}

// A copy of the shared messenger, which the first call creates from the
// settings namespace "lnk.http.ext.ctrl". When creating it throws, the
// exception passes, the flag stays false and the next request tries again.
QxLnkMsg::Messenger SharedMessenger() {
    QxPalThread::MutexLock_t lock(gMessengerMutex);
    if (gMessengerReady) {
        if (Tracing(kLevelMessenger)) Trace(kLevelMessenger, "Messenger object already exists.", __LINE__);
    } else {
        if (Tracing(kLevelMessenger)) Trace(kLevelMessenger, "Initializing messenger object.", __LINE__);
        QxLnkMsg::Messenger::Options messengerOptions;
        messengerOptions.SendOnly(true).RegisterWithCb(false);  // sends requests only; no callback endpoint
        gMessenger = QxLnkMsg::Messenger(Engine::MessengerSettings().Open(), messengerOptions);
        gMessengerReady = true;
    }
    return gMessenger;
}

// "CERT_INSTALLED" as a request reads it; never throws. A value that cannot
// be read counts as installed; it is traced (level 4) each time it is read
// and written to the node's log once, until the problem changes.
bool ReadCertInstalled() {
    Engine::CertificateSetting setting;
    try {
        setting = Engine::ReadCertificateSetting();
    } catch (...) {
        return true;  // out of memory: the answer stays the safe one
    }
    if (setting.problem.empty()) return setting.installed;
    try {
        const String_t text = Engine::CertificateProblemText(setting.problem);
        if (Tracing(kLevelFailure)) Trace(kLevelFailure, text, __LINE__);
        static QxPalThread::Mutex_t reportedMutex;
        static std::string reported;
        bool first = false;
        {
            QxPalThread::MutexLock_t lock(reportedMutex);
            first = reported != setting.problem;
            if (first) reported = setting.problem;
        }
        if (first) LogOne(QxPalMsg::CreateMessage_t(QxPalMsg::SEVERITY_WARNING, text));
    } catch (...) {
        // Reporting it failed; the answer stays the safe one.
    }
    return true;
}

// What every request reads first, before its first trace line: the node
// settings, so that a changed [trace] section applies from that line on, and
// in them "CERT_INSTALLED", which the request then uses.
bool RequestStart() { return ReadCertInstalled(); }

// ---------------------------------------------------------------------------
// Failures.

void TraceFailure(const Method& method, const QxPalMsg::Exception_t& caught) {
    if (Tracing(kLevelFailure))
        Trace(kLevelFailure, method.failureTrace + caught.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN),
              __LINE__);
}

[[noreturn]] void ThrowCommunicationError(const Method& method, const QxPalMsg::Exception_t& caught) {
    TraceFailure(method, caught);
    QxPalMsg::CreateError_t message(Catalog::GetCatalog(), method.communicationNo, method.communicationText);
    message.AddDetails(caught.GetMessageList());
    if (method.logsFailure) LogOne(message);
    throw CommunicationException(message);
}

// A fault whose text is exactly one of the daemon's security words is a
// security failure; any other fault is a communication failure.
[[noreturn]] void ThrowFaultError(const Method& method, const QxPalMsg::Exception_t& fault) {
    const String_t text = fault.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN);
    if (!(text == "ctrlauthentication" || text == "ctrlauthorization")) ThrowCommunicationError(method, fault);
    TraceFailure(method, fault);
    QxPalMsg::CreateError_t message(Catalog::GetCatalog(), method.securityNo, method.securityText);
    message.AddDetails(fault.GetMessageList());
    if (method.logsFailure) LogOne(message);
    throw QxSecAuth::SecAuthException(QxPalMsg::Error_t(message));
}

// Accepts a code whose bit of value 64 is clear; otherwise throws the
// exception the code selects, carrying exactly one message.
void CheckResultCode(int code) {
    if ((code & 64) == 0) return;
    const QxPalMsg::MessageCatalog_t& catalog = Catalog::GetCatalog();
    switch (code) {
    case 64: throw ComponentException(QxPalMsg::Error_t(catalog, 7, "Error in the target component."));
    case 65: throw TargetException(QxPalMsg::Error_t(catalog, 4, "No component matches target."));
    case 70: throw QxSecAuth::SecAuthException(QxPalMsg::Error_t(catalog, 8, "Not authorized."));
    case 71:
        throw PrerequisiteException(QxPalMsg::Error_t(catalog, 6, "Error in one of the target prerequisites."));
    case 73:
        throw EventException(QxPalMsg::Error_t(catalog, 5, "No target component subscribed for this event."));
    case 74: throw QxSecAuth::SecAuthException(QxPalMsg::Error_t(catalog, 9, "Not authenticated."));
    case 75: throw GetUserException(QxPalMsg::Error_t(catalog, 91, "Can not get username for Q-Tier processes."));
    default:
        throw ControlException(QxPalMsg::Error_t(catalog, 10, "Error. Check logfile for more information."));
    }
}

// ---------------------------------------------------------------------------
// The classic policy: one object, shared by every request of the process.

class ClassicPolicy final : public Engine::RequestPolicy {
public:
    bool Tracing(unsigned level) const override { return DaDovu::Tracing(level); }
    void Trace(unsigned level, const String_t& text, int line) const override { DaDovu::Trace(level, text, line); }
    void Log(const QxPalMsg::Message_t& message) const override { LogOne(message); }
    QxLnkMsg::Messenger GetMessenger() const override { return SharedMessenger(); }
    bool CloseConnectionAfterUse() const override { return Engine::ReadCloseConnectionAfterUse(); }

    // The handlers, in the method's order (I/O failure, RPC failure, SOAP
    // fault, other SOAP failure; notify tests the fault before the RPC
    // failure). A failure none of them takes is rethrown unchanged.
    [[noreturn]] void Translate(const Method& method, const QxPalMsg::Exception_t& caught) const override {
        if (dynamic_cast<const QxPalIo::IOException_t*>(&caught) != nullptr) ThrowCommunicationError(method, caught);
        const bool fault = dynamic_cast<const QxLnkSoap::SoapFaultException*>(&caught) != nullptr;
        if (method.faultBeforeRpc && fault) ThrowFaultError(method, caught);
        if (dynamic_cast<const QxLnkRpc::RpcException*>(&caught) != nullptr) ThrowCommunicationError(method, caught);
        if (fault) ThrowFaultError(method, caught);
        if (dynamic_cast<const QxLnkSoap::SoapException*>(&caught) != nullptr) ThrowCommunicationError(method, caught);
        throw;
    }

    void CheckResult(const Method&, int code) const override { CheckResultCode(code); }

    // Traced, logged as the registration's message and reported as -1; never thrown.
    int RegistrationFailed(const Registration& registration, const QxPalMsg::Exception_t& caught) const override {
        const String_t text = caught.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN);
        if (DaDovu::Tracing(kLevelFailure)) DaDovu::Trace(kLevelFailure, "Exception caught: Error=" + text, __LINE__);
        QxPalMsg::CreateError_t message(Catalog::GetCatalog(), registration.messageNo, registration.messageText);
        message << text;
        LogOne(message);
        return -1;
    }
};

const ClassicPolicy gClassic;

// A request to `uri` with `options` (target ID and asynchronous flag), whose
// security is what the request read first.
Engine::Request MakeRequest(const QxPalNet::URI_t& uri, bool certInstalled, const Control::OptionsImpl& options) {
    return Engine::Request{uri, certInstalled, &options.TargetID(), options.GetAsynchronous(), nullptr};
}

// The endpoint of the control daemon on `node`.
QxPalNet::URI_t NodeUri(const String_t& node) {
    static const QxPalArray::CharArray_t server(SERVER_IDENTIFIER);
    return QxPalNet::URI_t(CreateURI(node, server, false));
}

int Registered(const Registration& registration, const String_t& name, const QxPalNet::URI_t& uri) {
    const Engine::Request request{uri, RequestStart(), nullptr, false, nullptr};
    return Engine::RunRegistration(gClassic, request, registration, name);
}

}  // namespace

// ---------------------------------------------------------------------------
// Helpers of the frame, exported.

bool IsCertInstalled() {
    const bool installed = ReadCertInstalled();
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest, installed ? "Certificate is installed" : "Certificate is not installed", __LINE__);
    return installed;
}

void LogMessage(QxPalMsg::MessageList_t& messages) {
    try {
        QxPalLog::Log(messages);
    } catch (...) {
        // Logging is the last resort of failure reporting; its own failure has nowhere to go.
    }
}

// ---------------------------------------------------------------------------
// The methods. Each reads the settings first (RequestStart), then takes the
// private copy of the caller's options.

int ControlImpl_t::Start(const String_t& target, bool boot, const Control::Options& options, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    const Control::OptionsImpl optionsCopy(Control::OptionsImpl::GetImpl(options));
    return Engine::RunTargetCommand(gClassic, MakeRequest(uri, certInstalled, optionsCopy), Engine::kStart, target,
                                    boot);
}

int ControlImpl_t::Start(const String_t& target, bool boot, const String_t& node, const Control::Options& options) {
    return Start(target, boot, options, NodeUri(node));
}

int ControlImpl_t::Stop(const String_t& target, bool kill, const Control::Options& options, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    const Control::OptionsImpl optionsCopy(Control::OptionsImpl::GetImpl(options));
    return Engine::RunTargetCommand(gClassic, MakeRequest(uri, certInstalled, optionsCopy), Engine::kStop, target,
                                    kill);
}

int ControlImpl_t::Stop(const String_t& target, bool kill, const String_t& node, const Control::Options& options) {
    return Stop(target, kill, options, NodeUri(node));
}

int ControlImpl_t::Notify(const String_t& event, const String_t& value, const String_t& target,
                          const Control::Options& options, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    const Control::OptionsImpl optionsCopy(Control::OptionsImpl::GetImpl(options));
    return Engine::RunNotify(gClassic, MakeRequest(uri, certInstalled, optionsCopy), event, value, target);
}

const ControlUser ControlImpl_t::GetUser(const Control::Options& options, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    const Control::OptionsImpl optionsCopy(Control::OptionsImpl::GetImpl(options));
    ControlUser user;  // uid -1, name empty
    Engine::RunGetUser(gClassic, MakeRequest(uri, certInstalled, optionsCopy), user.uid, user.user);
    return user;
}

const ControlUser ControlImpl_t::GetUser(const String_t& node, const Control::Options& options) {
    return GetUser(options, NodeUri(node));
}

ControlImpl_t::String_t ControlImpl_t::Status(Control::StatusLevel level, const String_t& target,
                                              const Control::Options& options, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    const Control::OptionsImpl optionsCopy(Control::OptionsImpl::GetImpl(options));
    String_t status;
    Engine::RunStatusText(gClassic, MakeRequest(uri, certInstalled, optionsCopy), static_cast<int>(level), target,
                          status);
    return status;
}

int ControlImpl_t::Status(Control::StatusLevel level, const String_t& target, const Control::Options& options,
                          ControlComponentList& list, const URI_t& uri) {
    // The records are parsed into a list of the request's own, which moves
    // into the caller's only after a complete answer, and before the result
    // code is looked at: a failed call leaves the caller's list untouched.
    class Received final : public Engine::ComponentListSink {
    public:
        Received(std::list<ControlComponent>& records, ControlComponentList& list)
            : ComponentListSink(records), records_(records), list_(list) {}
        void Complete() override { ControlComponentListImpl::GetImpl(list_)->AddElements(records_); }

    private:
        std::list<ControlComponent>& records_;
        ControlComponentList& list_;
    };
    const bool certInstalled = RequestStart();
    const Control::OptionsImpl optionsCopy(Control::OptionsImpl::GetImpl(options));
    std::list<ControlComponent> records;
    Received received(records, list);
    return Engine::RunStatusList(gClassic, MakeRequest(uri, certInstalled, optionsCopy), static_cast<int>(level),
                                 target, received);
}

int ControlImpl_t::GetCommandProgress(unsigned long long requestID, const Control::Options& options,
                                      QxPalMsg::MessageList_t& messages, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    const Control::OptionsImpl optionsCopy(Control::OptionsImpl::GetImpl(options));
    return Engine::RunProgress(gClassic, MakeRequest(uri, certInstalled, optionsCopy), requestID, messages);
}

int ControlImpl_t::AddComponent(String_t fileName, const URI_t& uri) {
    return Registered(Engine::kAddComponent, fileName, uri);
}

int ControlImpl_t::DeleteComponent(String_t componentName, const URI_t& uri) {
    return Registered(Engine::kDeleteComponent, componentName, uri);
}

}  // namespace DaDovu
