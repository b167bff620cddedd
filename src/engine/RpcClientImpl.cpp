// RpcClientImpl: the request engine.
//
// Every remote method runs through one request frame (RunFrame): the options
// copy, the RPC call options with the target ID, the call on a copy of the
// shared messenger, the invocation, the catch-and-translate of communication
// and security failures, and the result-code check. A method is described by
// a row of constants (Method); its ControlImpl_t function states only what is
// its own: its arguments and outputs, its trace lines and what it copies out.
// The two registration methods share the call but have a catch frame of their
// own (Register).

#include "engine/ControlImpl.h"

#include <dadovu/Exceptions.h>
#include <dadovu/Functions.h>

#include <array>
#include <climits>
#include <cstddef>
#include <initializer_list>
#include <list>

#include "api/ControlComponentListImpl.h"
#include "api/OptionsImpl.h"
#include "soap/SOAPArgControlComponentList.h"
#include "soap/SOAPArgControlMessageList.h"

namespace DaDovu {
namespace {

using QxLnkSoap::SOAPArg;
using QxLnkSoap::SOAPArgInt;
using QxLnkSoap::SOAPArgUnicodeString;
using QxPalStr::NumToStr;
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

// The settings namespaces a request reads. Open() reads the settings in force
// at that moment; these objects only hold the names.
const QxPalConfig::ConfigNamespace_t gMessengerSettings("lnk.http.ext.ctrl");
const QxPalConfig::ConfigNamespace_t gCertificateSettings("sec.cm.certificates");
const QxPalConfig::ConfigNamespace_t gControlSettings("ctrl");

constexpr char kSourceFile[] = "RpcClientImpl";
constexpr unsigned kLevelRequest = 1;     // announcing and finishing lines, certificate test
constexpr unsigned kLevelFailure = 4;     // caught failures and rejected arguments
constexpr unsigned kLevelMessenger = 25;  // the shared messenger

// Whether lines of `level` are written. Tested before any text is built.
bool Tracing(unsigned level) { return gTrace.IsEnabled(level); }

template <typename Text>
void Trace(unsigned level, const Text& text, int line) {
    if (const QxPalTrc::TraceObj_t* object = gTrace.InitObject()) object->DoTrace(level, text, kSourceFile, line);
}

// A zero-terminated UTF-16 constant made from an ASCII literal at compile time,
// so that argument names and words cost no conversion per request.
template <std::size_t N>
struct Utf16 {
    unsigned short units[N];
    constexpr explicit Utf16(const char (&ascii)[N]) : units{} {
        for (std::size_t i = 0; i < N; ++i) units[i] = static_cast<unsigned char>(ascii[i]);
    }
    constexpr operator const unsigned short*() const { return units; }
};

constexpr Utf16 kArgTarget("target");
constexpr Utf16 kArgBoot("boot");
constexpr Utf16 kArgKill("kill");
constexpr Utf16 kArgAsync("async");
constexpr Utf16 kArgEvent("event");
constexpr Utf16 kArgValue("value");
constexpr Utf16 kArgLevel("level");
constexpr Utf16 kArgRequestID("RequestID");
constexpr Utf16 kArgFileName("filename");
constexpr Utf16 kArgComponentName("componentname");
constexpr Utf16 kOutResult("result");
constexpr Utf16 kOutStatus("status");
constexpr Utf16 kOutComponentList("complist");
constexpr Utf16 kOutUid("uid");
constexpr Utf16 kOutUser("user");
constexpr Utf16 kOutMessageList("MsgList");
constexpr Utf16 kWordTrue("true");
constexpr Utf16 kWordFalse("false");

const unsigned short* Word(bool flag) { return flag ? kWordTrue : kWordFalse; }

// ---------------------------------------------------------------------------
// The shared messenger.

// A copy of the shared messenger, which the first call creates from the
// settings namespace "lnk.http.ext.ctrl". When creating it throws, the
// exception passes, the flag stays false and the next request tries again.
QxLnkMsg::Messenger GetMessenger() {
    QxPalThread::MutexLock_t lock(gMessengerMutex);
    if (gMessengerReady) {
        if (Tracing(kLevelMessenger)) Trace(kLevelMessenger, "Messenger object already exists.", __LINE__);
    } else {
        if (Tracing(kLevelMessenger)) Trace(kLevelMessenger, "Initializing messenger object.", __LINE__);
        QxLnkMsg::Messenger::Options messengerOptions;
        messengerOptions.SendOnly(true).RegisterWithCb(false);  // sends requests only; no callback endpoint
        gMessenger = QxLnkMsg::Messenger(gMessengerSettings.Open(), messengerOptions);
        gMessengerReady = true;
    }
    return gMessenger;
}

QxPalConfig::Configuration_t MakeCallOptions(bool secure) {
    QxPalConfig::Configuration_t attributes;
    attributes.SetAttrValue("APP_NAME", CLIENT_APP_NAME);
    attributes.SetAttrValue("APP_VERSION", CLIENT_APP_VERSION);
    if (secure) attributes.SetAttrValue("SECURE_COMM", "SSL");
    return attributes;
}

void LogOne(const QxPalMsg::Message_t& message);

// "CERT_INSTALLED" as a request reads it; never throws. Absent or empty means
// no certificate. A value that is not a boolean, and settings that cannot be
// read, count as installed: a security setting that cannot be read must never
// turn TLS off. Such a value is traced (level 4) each time it is read and
// written to the node's log once, until the problem changes.
bool ReadCertInstalled() {
    std::string problem;
    try {
        return gCertificateSettings.Open().GetBool("CERT_INSTALLED");
    } catch (const QxPalMsg::Exception_t& e) {
        problem = e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
    } catch (...) {
        problem = "the settings cannot be read";
    }
    try {
        const String_t text =
            "The setting CERT_INSTALLED cannot be read as true or false; a certificate is taken as installed: " +
            String_t(problem.c_str());
        if (Tracing(kLevelFailure)) Trace(kLevelFailure, text, __LINE__);
        static QxPalThread::Mutex_t reportedMutex;
        static std::string reported;
        bool first = false;
        {
            QxPalThread::MutexLock_t lock(reportedMutex);
            first = reported != problem;
            if (first) reported = problem;
        }
        if (first) LogOne(QxPalMsg::CreateMessage_t(QxPalMsg::SEVERITY_WARNING, text));
    } catch (...) {
        // Reporting it failed; the answer stays the safe one.
    }
    return true;
}

// Traces the certificate test's outcome; returns it.
bool TraceCertificate(bool installed) {
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest, installed ? "Certificate is installed" : "Certificate is not installed", __LINE__);
    return installed;
}

// The attributes a call is created with: "APP_NAME" and "APP_VERSION", and
// "SECURE_COMM" when a certificate is installed (which the trace shows). The
// two possible sets are made once and only read afterwards, by any number of
// threads.
const QxPalConfig::Configuration_t& CallOptions(bool certInstalled) {
    static const QxPalConfig::Configuration_t plain = MakeCallOptions(false);
    static const QxPalConfig::Configuration_t secure = MakeCallOptions(true);
    return TraceCertificate(certInstalled) ? secure : plain;
}

// ---------------------------------------------------------------------------
// One call of a remote method: the call options, the RPC client on a copy of
// the shared messenger, the call and its bound output "result". Everything it
// holds is released with it, on every path out of a request.
class Call {
public:
    // Traces the certificate setting the request read, then obtains the
    // messenger (in this order, which the trace shows). `resultCode` receives
    // the daemon's "result" and must outlive the call.
    Call(const char* method, const QxPalNet::URI_t& uri, const QxLnkRpc::RpcCall::Options& rpcOptions,
         bool certInstalled, int& resultCode)
        : attributes_(CallOptions(certInstalled)),
          client_(attributes_, GetMessenger()),
          call_(client_.CreateCall(method, uri, rpcOptions)),
          result_(kOutResult, &resultCode) {
        result_.SetTypeAttribute();
    }

    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Sends `inputs` in order (an empty list sets no argument list at all) and
    // waits for the answer, which fills "result" and then `outputs`, in order.
    // The arguments must live until it returns. The response is dropped at
    // once: the outputs carry everything that is read from it.
    template <typename... Outputs>
    void Invoke(std::initializer_list<const SOAPArg*> inputs, Outputs&... outputs) {
        if (inputs.size() != 0) call_.SetArgs(static_cast<int>(inputs.size()), inputs.begin());
        SOAPArg* const bound[] = {&result_, &outputs...};
        if (gControlSettings.Open().GetBool("CLOSE_CONN_AFTER_USE")) call_.SetConnectionClose();
        call_.Invoke(static_cast<int>(sizeof...(Outputs) + 1), bound, "UTF-8");
    }

private:
    const QxPalConfig::Configuration_t& attributes_;  // one of the two sets of CallOptions
    QxLnkRpc::RpcClient client_;
    QxLnkRpc::RpcCall call_;
    SOAPArgInt result_;
};

// ---------------------------------------------------------------------------
// The request frame.

// The failures that the frame translates, as its catch handlers name them.
enum class Handler { IoFailure, RpcFailure, SoapFault, SoapFailure };
using HandlerOrder = std::array<Handler, 4>;

constexpr HandlerOrder kRpcBeforeFault = {Handler::IoFailure, Handler::RpcFailure, Handler::SoapFault,
                                          Handler::SoapFailure};
constexpr HandlerOrder kFaultBeforeRpc = {Handler::IoFailure, Handler::SoapFault, Handler::RpcFailure,
                                          Handler::SoapFailure};

// What sets one method's frame apart from another's.
struct Method {
    const char* remoteName;         // the daemon's method
    const char* failureTrace;       // start of the level-4 line of a caught failure
    unsigned communicationNo;       // CommunicationException message
    const char* communicationText;
    unsigned securityNo;            // SecAuthException message for a security fault
    const char* securityText;
    int initialResult;              // the result code before (and without) an answer
    bool logsFailure;               // a translated failure is also written to the node's log
    HandlerOrder handlers;          // the order in which the caught failure is tested
    bool checksResult;              // the result code goes through CheckResultCode
};

const Method kStart = {
    "start", "Exception when executing 'Start' method.",
    12, "Communication error when executing 'Start' method.",
    13, "Security error when executing 'Start' method.",
    -1, true, kRpcBeforeFault, true};
const Method kStop = {
    "stop", "Exception when executing 'Stop' method.",
    15, "Communication error when executing 'Stop' method.",
    16, "Security error when executing 'Stop' method.",
    -1, false, kRpcBeforeFault, true};
const Method kNotify = {
    "notify", "Exception when executing 'Notify' method.",
    18, "Communication error when executing 'Notify' method.",
    19, "Security error when executing 'Notify' method.",
    0, false, kFaultBeforeRpc, true};
const Method kStatus = {
    "status", "Exception when executing 'Status' method.",
    21, "Communication error when executing 'Status' method.",
    22, "Security error when executing 'Status' method.",
    -1, false, kRpcBeforeFault, true};
const Method kStatusAsList = {
    "statusaslist", "Exception when executing 'Status' method.",
    21, "Communication error when executing 'Status' method.",
    22, "Security error when executing 'Status' method.",
    -1, false, kRpcBeforeFault, true};
const Method kRequestProgress = {
    "requestprogress", "Exception when executing 'RequestProgress' method.",
    166, "Communication error when executing 'RequestProgress' method.",
    167, "Security error when executing 'RequestProgress' method.",
    -1, false, kRpcBeforeFault, false};
const Method kGetUser = {
    "getuser", "Exception when executing 'GetUser' method.",
    92, "Communication error when executing 'GetUser' method.",
    93, "Security error when executing 'GetUser' method.",
    -1, false, kRpcBeforeFault, true};

void LogOne(const QxPalMsg::Message_t& message) {
    QxPalMsg::MessageList_t messages;
    messages.Add(message);
    LogMessage(messages);
}

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

// Called from the frame's handler: translates `caught` by the first of the
// method's handlers that takes it, or rethrows it unchanged when none does.
[[noreturn]] void Translate(const Method& method, const QxPalMsg::Exception_t& caught) {
    for (const Handler handler : method.handlers) {
        switch (handler) {
        case Handler::IoFailure:
            if (dynamic_cast<const QxPalIo::IOException_t*>(&caught) != nullptr)
                ThrowCommunicationError(method, caught);
            break;
        case Handler::RpcFailure:
            if (dynamic_cast<const QxLnkRpc::RpcException*>(&caught) != nullptr)
                ThrowCommunicationError(method, caught);
            break;
        case Handler::SoapFault:
            if (dynamic_cast<const QxLnkSoap::SoapFaultException*>(&caught) != nullptr)
                ThrowFaultError(method, caught);
            break;
        case Handler::SoapFailure:
            if (dynamic_cast<const QxLnkSoap::SoapException*>(&caught) != nullptr)
                ThrowCommunicationError(method, caught);
            break;
        }
    }
    throw;
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

// Runs one request of `method` at `uri`. `body(call, optionsCopy)` builds the
// method's inputs and further outputs, invokes the call and copies out what
// it needs; it runs inside the catch-and-translate. The result check comes
// after it, outside, so that its exceptions reach the caller unchanged.
// `certInstalled`: what the request read first (RequestStart). Returns the
// (accepted) result code.
template <typename Body>
int RunFrame(const Method& method, bool certInstalled, const Control::Options& options, const QxPalNet::URI_t& uri,
             Body&& body) {
    int resultCode = method.initialResult;
    try {
        const Control::OptionsImpl optionsCopy(Control::OptionsImpl::GetImpl(options));
        QxLnkRpc::RpcCall::Options rpcOptions;
        if (optionsCopy.TargetIDSet()) rpcOptions.SetTargetID(optionsCopy.TargetID());
        Call call(method.remoteName, uri, rpcOptions, certInstalled, resultCode);
        body(call, optionsCopy);
    } catch (const QxPalMsg::Exception_t& caught) {
        Translate(method, caught);
    }
    if (method.checksResult) CheckResultCode(resultCode);
    return resultCode;
}

// What every request reads first, before its first trace line: the node
// settings, so that a changed [trace] section applies from that line on, and
// in them "CERT_INSTALLED", which the request then uses.
bool RequestStart() { return ReadCertInstalled(); }

// Levels 0 to 7 are valid; anything else, negative values included, is
// refused before anything is sent.
void CheckStatusLevel(Control::StatusLevel level) {
    constexpr unsigned kHighest = Control::STATUS_FULL;
    if (static_cast<unsigned>(level) <= kHighest) return;
    const String_t text = "Illegal value for argument 'level' in method 'Status'. level=" +
                          NumToStr(static_cast<int>(level)) + ". Level must be in interval [0," +
                          NumToStr(kHighest) + "].";
    if (Tracing(kLevelFailure)) Trace(kLevelFailure, text, __LINE__);
    throw QxPalMsg::IllegalArgumentError_t(QxPalMsg::Message_t(text));
}

// The low 32 bits of a request ID as a signed 32-bit integer (two's complement).
int LowWord(unsigned long long requestID) {
    const unsigned long long low = requestID & 0xFFFFFFFFull;
    return low <= static_cast<unsigned long long>(INT_MAX) ? static_cast<int>(low)
                                                          : static_cast<int>(static_cast<long long>(low) - 0x100000000ll);
}

// ---------------------------------------------------------------------------
// Component registration: the same call, its own catch frame.

struct Registration {
    const char* remoteName;
    const unsigned short* argumentName;
    unsigned messageNo;
    const char* messageText;
};

const Registration kAddComponent = {"addcomponent", kArgFileName, 23,
                                    "Error calling LNK RPC method add component: "};
const Registration kDeleteComponent = {"deletecomponent", kArgComponentName, 24,
                                       "Error calling LNK RPC method delete component: "};

// Returns the daemon's "result" unchecked (0 without one), or -1 after
// tracing and logging any failure of the base library's family.
int Register(const Registration& registration, const String_t& name, const QxPalNet::URI_t& uri) {
    const bool certInstalled = RequestStart();
    int resultCode = 0;
    try {
        const QxLnkRpc::RpcCall::Options rpcOptions;  // never a target ID
        Call call(registration.remoteName, uri, rpcOptions, certInstalled, resultCode);
        SOAPArgUnicodeString nameArg(registration.argumentName, name);
        nameArg.SetTypeAttribute();
        call.Invoke({&nameArg});
    } catch (const QxPalMsg::Exception_t& caught) {
        const String_t text = caught.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN);
        if (Tracing(kLevelFailure)) Trace(kLevelFailure, "Exception caught: Error=" + text, __LINE__);
        QxPalMsg::CreateError_t message(Catalog::GetCatalog(), registration.messageNo, registration.messageText);
        message << text;
        LogOne(message);
        return -1;
    }
    return resultCode;
}

// The endpoint of the control daemon on `node`.
QxPalNet::URI_t NodeUri(const String_t& node) {
    static const QxPalArray::CharArray_t server(SERVER_IDENTIFIER);
    return QxPalNet::URI_t(CreateURI(node, server, false));
}

}  // namespace

// ---------------------------------------------------------------------------
// Helpers of the frame, exported.

bool IsCertInstalled() { return TraceCertificate(ReadCertInstalled()); }

void LogMessage(QxPalMsg::MessageList_t& messages) {
    try {
        QxPalLog::Log(messages);
    } catch (...) {
        // Logging is the last resort of failure reporting; its own failure has nowhere to go.
    }
}

// ---------------------------------------------------------------------------
// The methods.

namespace {

// "start" and "stop": the target, the method's own flag ("boot" or "kill")
// and the asynchronous flag of the options.
int TargetCommand(const Method& method, const unsigned short* flagName, const String_t& target, bool flag,
                  const Control::Options& options, const QxPalNet::URI_t& uri) {
    const bool certInstalled = RequestStart();
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest,
              String_t("Executing method '") + method.remoteName + "': target='" + target + "' on " + uri.ToString(),
              __LINE__);
    const int resultCode = RunFrame(method, certInstalled, options, uri, [&](Call& call, const Control::OptionsImpl& optionsCopy) {
        SOAPArgUnicodeString targetArg(kArgTarget, target);
        targetArg.SetTypeAttribute();
        SOAPArgUnicodeString flagArg(flagName, Word(flag));
        flagArg.SetTypeAttribute();
        SOAPArgUnicodeString asyncArg(kArgAsync, Word(optionsCopy.GetAsynchronous()));
        asyncArg.SetTypeAttribute();
        call.Invoke({&targetArg, &flagArg, &asyncArg});
    });
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest,
              String_t("Finished executing method '") + method.remoteName + "': rc='" + NumToStr(resultCode) + "'",
              __LINE__);
    return resultCode;
}

}  // namespace

int ControlImpl_t::Start(const String_t& target, bool boot, const Control::Options& options, const URI_t& uri) {
    return TargetCommand(kStart, kArgBoot, target, boot, options, uri);
}

int ControlImpl_t::Start(const String_t& target, bool boot, const String_t& node, const Control::Options& options) {
    return Start(target, boot, options, NodeUri(node));
}

int ControlImpl_t::Stop(const String_t& target, bool kill, const Control::Options& options, const URI_t& uri) {
    return TargetCommand(kStop, kArgKill, target, kill, options, uri);
}

int ControlImpl_t::Stop(const String_t& target, bool kill, const String_t& node, const Control::Options& options) {
    return Stop(target, kill, options, NodeUri(node));
}

int ControlImpl_t::Notify(const String_t& event, const String_t& value, const String_t& target,
                          const Control::Options& options, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest,
              "Executing method 'notify': event='" + event + "' value='" + value + "' target='" + target + "' on " +
                  uri.ToString(),
              __LINE__);
    const int resultCode = RunFrame(kNotify, certInstalled, options, uri, [&](Call& call, const Control::OptionsImpl& optionsCopy) {
        SOAPArgUnicodeString eventArg(kArgEvent, event);
        eventArg.SetTypeAttribute();
        SOAPArgUnicodeString valueArg(kArgValue, value);
        valueArg.SetTypeAttribute();
        SOAPArgUnicodeString targetArg(kArgTarget, target);
        targetArg.SetTypeAttribute();
        SOAPArgUnicodeString asyncArg(kArgAsync, Word(optionsCopy.GetAsynchronous()));
        asyncArg.SetTypeAttribute();
        call.Invoke({&eventArg, &valueArg, &targetArg, &asyncArg});
    });
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest, "Finished executing method 'notify': rc='" + NumToStr(resultCode) + "'", __LINE__);
    return resultCode;
}

const ControlUser ControlImpl_t::GetUser(const Control::Options& options, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    ControlUser user;  // uid -1, name empty
    if (Tracing(kLevelRequest)) Trace(kLevelRequest, "Executing method 'getuser' on " + uri.ToString(), __LINE__);
    const int resultCode = RunFrame(kGetUser, certInstalled, options, uri, [&](Call& call, const Control::OptionsImpl&) {
        int uid = -1;                   // stays -1 when the answer carries no "uid"
        unsigned short* name = nullptr;  // stays null (an empty name) without "user"
        SOAPArgInt uidArg(kOutUid, &uid);
        uidArg.SetTypeAttribute();
        SOAPArgUnicodeString userArg(kOutUser, &name);
        userArg.SetTypeAttribute();
        call.Invoke({}, uidArg, userArg);
        // The text belongs to userArg: copy it while it lives.
        user.uid = uid;
        user.user = name;
    });
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest,
              "Finished executing method 'getuser': rc='" + NumToStr(resultCode) + "' user='" + user.user +
                  "' uid='" + NumToStr(user.uid) + "'",
              __LINE__);
    return user;
}

const ControlUser ControlImpl_t::GetUser(const String_t& node, const Control::Options& options) {
    return GetUser(options, NodeUri(node));
}

ControlImpl_t::String_t ControlImpl_t::Status(Control::StatusLevel level, const String_t& target,
                                              const Control::Options& options, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    String_t status;
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest,
              "Executing method 'status': level='" + NumToStr(static_cast<int>(level)) + "', target='" + target +
                  "' on " + uri.ToString(),
              __LINE__);
    CheckStatusLevel(level);
    const int resultCode = RunFrame(kStatus, certInstalled, options, uri, [&](Call& call, const Control::OptionsImpl&) {
        SOAPArgInt levelArg(kArgLevel, static_cast<int>(level));
        levelArg.SetTypeAttribute();
        SOAPArgUnicodeString targetArg(kArgTarget, target);
        targetArg.SetTypeAttribute();
        unsigned short* text = nullptr;  // stays null (an empty text) without "status"
        SOAPArgUnicodeString statusArg(kOutStatus, &text);
        statusArg.SetTypeAttribute();
        call.Invoke({&levelArg, &targetArg}, statusArg);
        status = text;  // copied before the result code is looked at
    });
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest, "Finished executing method 'status': rc='" + NumToStr(resultCode) + "'", __LINE__);
    return status;
}

int ControlImpl_t::Status(Control::StatusLevel level, const String_t& target, const Control::Options& options,
                          ControlComponentList& list, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    std::list<ControlComponent> received;
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest,
              "Executing method 'statusaslist': level='" + NumToStr(static_cast<int>(level)) + "', target='" +
                  target + "' on " + uri.ToString(),
              __LINE__);
    CheckStatusLevel(level);
    const int resultCode = RunFrame(kStatusAsList, certInstalled, options, uri, [&](Call& call, const Control::OptionsImpl&) {
        SOAPArgInt levelArg(kArgLevel, static_cast<int>(level));
        levelArg.SetTypeAttribute();
        SOAPArgUnicodeString targetArg(kArgTarget, target);
        targetArg.SetTypeAttribute();
        SOAPArgControlComponentList componentsArg(kOutComponentList, received);
        componentsArg.SetTypeAttribute();
        call.Invoke({&levelArg, &targetArg}, componentsArg);
        // Only after a complete answer, and before the result code is looked
        // at: a failed call leaves the caller's list untouched. The records
        // move; none is copied.
        ControlComponentListImpl::GetImpl(list)->AddElements(received);
    });
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest, "Finished executing method 'status': rc='" + NumToStr(resultCode) + "'", __LINE__);
    return resultCode;
}

int ControlImpl_t::GetCommandProgress(unsigned long long requestID, const Control::Options& options,
                                      QxPalMsg::MessageList_t& messages, const URI_t& uri) {
    const bool certInstalled = RequestStart();
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest, "Executing method 'GetCommandProgress' on " + uri.ToString(), __LINE__);
    const int resultCode = RunFrame(kRequestProgress, certInstalled, options, uri, [&](Call& call, const Control::OptionsImpl&) {
        SOAPArgInt requestArg(kArgRequestID, LowWord(requestID));
        requestArg.SetTypeAttribute();
        // The response fills a copy, which replaces the caller's list only after
        // a complete answer: a call that fails midway leaves the list as it was.
        QxPalMsg::MessageList_t received(messages);
        SOAPArgControlMessageList messagesArg(kOutMessageList, received);
        messagesArg.SetTypeAttribute();
        call.Invoke({&requestArg}, messagesArg);
        messages = std::move(received);
    });
    if (Tracing(kLevelRequest))
        Trace(kLevelRequest, "Finished executing method 'RequestProgress': rc='" + NumToStr(resultCode) + "'",
              __LINE__);
    return resultCode;
}

int ControlImpl_t::AddComponent(String_t fileName, const URI_t& uri) { return Register(kAddComponent, fileName, uri); }

int ControlImpl_t::DeleteComponent(String_t componentName, const URI_t& uri) {
    return Register(kDeleteComponent, componentName, uri);
}

}  // namespace DaDovu
