// RequestFrame: the steps every remote method takes, whichever door the
// request came in by.
//
// A method is described by a row of constants (Method); its Run function
// states only what is its own: its arguments and outputs, its trace lines and
// what it copies out. RunFrame holds what they share: the call options, the
// call on the policy's messenger, the invocation, the catch-and-translate of
// failures and the result-code check. The two registration methods share the
// call but have a catch frame of their own.

#include "engine/RequestFrame.h"

#include <climits>
#include <cstddef>
#include <initializer_list>

#include "soap/SOAPArgControlComponentList.h"
#include "soap/SOAPArgControlMessageList.h"

#include <dadovu/Functions.h>

namespace DaDovu {
namespace Engine {
namespace {

using QxLnkSoap::SOAPArg;
using QxLnkSoap::SOAPArgInt;
using QxLnkSoap::SOAPArgUnicodeString;
using QxPalStr::NumToStr;

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

QxPalConfig::Configuration_t MakeCallOptions(bool secure) {
    QxPalConfig::Configuration_t attributes;
    attributes.SetAttrValue("APP_NAME", CLIENT_APP_NAME);
    attributes.SetAttrValue("APP_VERSION", CLIENT_APP_VERSION);
    if (secure) attributes.SetAttrValue("SECURE_COMM", "SSL");
    return attributes;
}

// The attributes a call is created with: "APP_NAME" and "APP_VERSION", and
// "SECURE_COMM" when the request is secure (which the trace shows as the
// certificate test). The two possible sets are made once and only read
// afterwards, by any number of threads.
const QxPalConfig::Configuration_t& CallOptions(const RequestPolicy& policy, bool secure) {
    static const QxPalConfig::Configuration_t plain = MakeCallOptions(false);
    static const QxPalConfig::Configuration_t secured = MakeCallOptions(true);
    if (policy.Tracing(kLevelRequest))
        policy.Trace(kLevelRequest, secure ? "Certificate is installed" : "Certificate is not installed", __LINE__);
    return secure ? secured : plain;
}

QxLnkRpc::RpcCall::Options RpcOptions(const Request& request) {
    QxLnkRpc::RpcCall::Options options;
    if (request.targetId != nullptr && !request.targetId->IsEmpty()) options.SetTargetID(*request.targetId);
    return options;
}

// The output "result": an integer output that also notes whether the answer
// carried it.
class ResultArg final : public SOAPArgInt {
public:
    explicit ResultArg(int& code) : SOAPArgInt(kOutResult, &code) {}
    void EndElement(const unsigned short* prefix, const unsigned short* name,
                    const unsigned short* namespaceUri) override {
        SOAPArgInt::EndElement(prefix, name, namespaceUri);
        seen_ = true;
    }
    bool Seen() const { return seen_; }

private:
    bool seen_ = false;
};

// ---------------------------------------------------------------------------
// One call of a remote method: the call options, the RPC client on the
// policy's messenger, the call and its bound output "result". Everything it
// holds is released with it, on every path out of a request.
class Call {
public:
    // Traces the request's security, then obtains the messenger (in this
    // order, which the trace shows). `resultCode` receives the daemon's
    // "result" and must outlive the call.
    Call(const RequestPolicy& policy, const char* method, const Request& request,
         const QxLnkRpc::RpcCall::Options& rpcOptions, int& resultCode)
        : policy_(policy),
          attributes_(CallOptions(policy, request.secure)),
          client_(attributes_, policy.GetMessenger()),
          call_(client_.CreateCall(method, request.uri, rpcOptions)),
          result_(resultCode) {
        result_.SetTypeAttribute();
        if (request.deadline != nullptr) call_.SetDeadline(*request.deadline);
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
        if (policy_.CloseConnectionAfterUse()) call_.SetConnectionClose();
        call_.Invoke(static_cast<int>(sizeof...(Outputs) + 1), bound, "UTF-8");
    }

    // Whether the answer carried "result".
    bool ResultSeen() const { return result_.Seen(); }

private:
    const RequestPolicy& policy_;
    const QxPalConfig::Configuration_t& attributes_;  // one of the two sets of CallOptions
    QxLnkRpc::RpcClient client_;
    QxLnkRpc::RpcCall call_;
    ResultArg result_;
};

// Runs one request of `method`. `body(call)` builds the method's inputs and
// further outputs, invokes the call and copies out what it needs; it runs
// inside the catch-and-translate. The result check comes after it, outside,
// so that its exceptions reach the caller unchanged. Returns the (accepted)
// result code.
template <typename Body>
int RunFrame(const RequestPolicy& policy, const Request& request, const Method& method, Body&& body) {
    int resultCode = method.initialResult;
    bool resultSeen = false;
    try {
        const QxLnkRpc::RpcCall::Options rpcOptions = RpcOptions(request);
        Call call(policy, method.remoteName, request, rpcOptions, resultCode);
        body(call);
        resultSeen = call.ResultSeen();
    } catch (const QxPalMsg::Exception_t& caught) {
        policy.Translate(method, caught);
    }
    if (!resultSeen) policy.ResultMissing(method.remoteName, method.initialResult);
    if (method.checksResult) policy.CheckResult(method, resultCode);
    return resultCode;
}

// Levels 0 to 7 are valid; anything else, negative values included, is
// refused before anything is sent.
void CheckStatusLevel(const RequestPolicy& policy, int level) {
    constexpr unsigned kHighest = 7;
    if (static_cast<unsigned>(level) <= kHighest) return;
    const String_t text = "Illegal value for argument 'level' in method 'Status'. level=" + NumToStr(level) +
                          ". Level must be in interval [0," + NumToStr(kHighest) + "].";
    if (policy.Tracing(kLevelFailure)) policy.Trace(kLevelFailure, text, __LINE__);
    throw QxPalMsg::IllegalArgumentError_t(QxPalMsg::Message_t(text));
}

// The low 32 bits of a request ID as a signed 32-bit integer (two's complement).
int LowWord(unsigned long long requestID) {
    const unsigned long long low = requestID & 0xFFFFFFFFull;
    return low <= static_cast<unsigned long long>(INT_MAX) ? static_cast<int>(low)
                                                          : static_cast<int>(static_cast<long long>(low) - 0x100000000ll);
}

void TraceFinished(const RequestPolicy& policy, const char* method, int resultCode, int line) {
    if (policy.Tracing(kLevelRequest))
        policy.Trace(kLevelRequest, String_t("Finished executing method '") + method + "': rc='" + NumToStr(resultCode) + "'",
                     line);
}

}  // namespace

// ---------------------------------------------------------------------------
// The rows.

const Method kStart = {
    "start", "Exception when executing 'Start' method.",
    12, "Communication error when executing 'Start' method.",
    13, "Security error when executing 'Start' method.",
    -1, true, false, true};
const Method kStop = {
    "stop", "Exception when executing 'Stop' method.",
    15, "Communication error when executing 'Stop' method.",
    16, "Security error when executing 'Stop' method.",
    -1, false, false, true};
const Method kNotify = {
    "notify", "Exception when executing 'Notify' method.",
    18, "Communication error when executing 'Notify' method.",
    19, "Security error when executing 'Notify' method.",
    0, false, true, true};
const Method kStatus = {
    "status", "Exception when executing 'Status' method.",
    21, "Communication error when executing 'Status' method.",
    22, "Security error when executing 'Status' method.",
    -1, false, false, true};
const Method kStatusAsList = {
    "statusaslist", "Exception when executing 'Status' method.",
    21, "Communication error when executing 'Status' method.",
    22, "Security error when executing 'Status' method.",
    -1, false, false, true};
const Method kRequestProgress = {
    "requestprogress", "Exception when executing 'RequestProgress' method.",
    166, "Communication error when executing 'RequestProgress' method.",
    167, "Security error when executing 'RequestProgress' method.",
    -1, false, false, false};
const Method kGetUser = {
    "getuser", "Exception when executing 'GetUser' method.",
    92, "Communication error when executing 'GetUser' method.",
    93, "Security error when executing 'GetUser' method.",
    -1, false, false, true};

const Registration kAddComponent = {"addcomponent", kArgFileName, 23,
                                    "Error calling LNK RPC method add component: "};
const Registration kDeleteComponent = {"deletecomponent", kArgComponentName, 24,
                                       "Error calling LNK RPC method delete component: "};

// ---------------------------------------------------------------------------
// The methods.

// "start" and "stop": the target, the method's own flag ("boot" or "kill")
// and the asynchronous flag.
int RunTargetCommand(const RequestPolicy& policy, const Request& request, const Method& method,
                     const String_t& target, bool flag) {
    if (policy.Tracing(kLevelRequest))
        policy.Trace(kLevelRequest,
                     String_t("Executing method '") + method.remoteName + "': target='" + target + "' on " +
                         request.uri.ToString(),
                     __LINE__);
    const unsigned short* flagName = &method == &kStop ? kArgKill : kArgBoot;
    const int resultCode = RunFrame(policy, request, method, [&](Call& call) {
        SOAPArgUnicodeString targetArg(kArgTarget, target);
        targetArg.SetTypeAttribute();
        SOAPArgUnicodeString flagArg(flagName, Word(flag));
        flagArg.SetTypeAttribute();
        SOAPArgUnicodeString asyncArg(kArgAsync, Word(request.asynchronous));
        asyncArg.SetTypeAttribute();
        call.Invoke({&targetArg, &flagArg, &asyncArg});
    });
    TraceFinished(policy, method.remoteName, resultCode, __LINE__);
    return resultCode;
}

int RunNotify(const RequestPolicy& policy, const Request& request, const String_t& event, const String_t& value,
              const String_t& target) {
    if (policy.Tracing(kLevelRequest))
        policy.Trace(kLevelRequest,
                     "Executing method 'notify': event='" + event + "' value='" + value + "' target='" + target +
                         "' on " + request.uri.ToString(),
                     __LINE__);
    const int resultCode = RunFrame(policy, request, kNotify, [&](Call& call) {
        SOAPArgUnicodeString eventArg(kArgEvent, event);
        eventArg.SetTypeAttribute();
        SOAPArgUnicodeString valueArg(kArgValue, value);
        valueArg.SetTypeAttribute();
        SOAPArgUnicodeString targetArg(kArgTarget, target);
        targetArg.SetTypeAttribute();
        SOAPArgUnicodeString asyncArg(kArgAsync, Word(request.asynchronous));
        asyncArg.SetTypeAttribute();
        call.Invoke({&eventArg, &valueArg, &targetArg, &asyncArg});
    });
    TraceFinished(policy, "notify", resultCode, __LINE__);
    return resultCode;
}

int RunGetUser(const RequestPolicy& policy, const Request& request, int& uid, String_t& name) {
    if (policy.Tracing(kLevelRequest))
        policy.Trace(kLevelRequest, "Executing method 'getuser' on " + request.uri.ToString(), __LINE__);
    const int resultCode = RunFrame(policy, request, kGetUser, [&](Call& call) {
        int received = uid;                // kept when the answer carries no "uid"
        unsigned short* text = nullptr;    // stays null without "user"
        SOAPArgInt uidArg(kOutUid, &received);
        uidArg.SetTypeAttribute();
        SOAPArgUnicodeString userArg(kOutUser, &text);
        userArg.SetTypeAttribute();
        call.Invoke({}, uidArg, userArg);
        // The text belongs to userArg: copy it while it lives.
        uid = received;
        if (text != nullptr) name = text;
    });
    if (policy.Tracing(kLevelRequest))
        policy.Trace(kLevelRequest,
                     "Finished executing method 'getuser': rc='" + NumToStr(resultCode) + "' user='" + name +
                         "' uid='" + NumToStr(uid) + "'",
                     __LINE__);
    return resultCode;
}

int RunStatusText(const RequestPolicy& policy, const Request& request, int level, const String_t& target,
                  String_t& status) {
    if (policy.Tracing(kLevelRequest))
        policy.Trace(kLevelRequest,
                     "Executing method 'status': level='" + NumToStr(level) + "', target='" + target + "' on " +
                         request.uri.ToString(),
                     __LINE__);
    CheckStatusLevel(policy, level);
    const int resultCode = RunFrame(policy, request, kStatus, [&](Call& call) {
        SOAPArgInt levelArg(kArgLevel, level);
        levelArg.SetTypeAttribute();
        SOAPArgUnicodeString targetArg(kArgTarget, target);
        targetArg.SetTypeAttribute();
        unsigned short* text = nullptr;  // stays null (an empty text) without "status"
        SOAPArgUnicodeString statusArg(kOutStatus, &text);
        statusArg.SetTypeAttribute();
        call.Invoke({&levelArg, &targetArg}, statusArg);
        status = text;  // copied before the result code is looked at
    });
    TraceFinished(policy, "status", resultCode, __LINE__);
    return resultCode;
}

int RunStatusList(const RequestPolicy& policy, const Request& request, int level, const String_t& target,
                  ComponentRecordSink& records) {
    if (policy.Tracing(kLevelRequest))
        policy.Trace(kLevelRequest,
                     "Executing method 'statusaslist': level='" + NumToStr(level) + "', target='" + target +
                         "' on " + request.uri.ToString(),
                     __LINE__);
    CheckStatusLevel(policy, level);
    const int resultCode = RunFrame(policy, request, kStatusAsList, [&](Call& call) {
        SOAPArgInt levelArg(kArgLevel, level);
        levelArg.SetTypeAttribute();
        SOAPArgUnicodeString targetArg(kArgTarget, target);
        targetArg.SetTypeAttribute();
        SOAPArgControlComponentList componentsArg(kOutComponentList, records);
        componentsArg.SetTypeAttribute();
        call.Invoke({&levelArg, &targetArg}, componentsArg);
        records.Complete();
    });
    TraceFinished(policy, "status", resultCode, __LINE__);
    return resultCode;
}

int RunProgress(const RequestPolicy& policy, const Request& request, unsigned long long requestID,
                QxPalMsg::MessageList_t& messages) {
    if (policy.Tracing(kLevelRequest))
        policy.Trace(kLevelRequest, "Executing method 'GetCommandProgress' on " + request.uri.ToString(), __LINE__);
    const int resultCode = RunFrame(policy, request, kRequestProgress, [&](Call& call) {
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
    TraceFinished(policy, "RequestProgress", resultCode, __LINE__);
    return resultCode;
}

int RunRegistration(const RequestPolicy& policy, const Request& request, const Registration& registration,
                    const String_t& name) {
    int resultCode = 0;
    bool resultSeen = false;
    try {
        const QxLnkRpc::RpcCall::Options rpcOptions;  // never a target ID
        Call call(policy, registration.remoteName, request, rpcOptions, resultCode);
        SOAPArgUnicodeString nameArg(registration.argumentName, name);
        nameArg.SetTypeAttribute();
        call.Invoke({&nameArg});
        resultSeen = call.ResultSeen();
    } catch (const QxPalMsg::Exception_t& caught) {
        return policy.RegistrationFailed(registration, caught);
    }
    if (!resultSeen) policy.ResultMissing(registration.remoteName, 0);
    return resultCode;
}

}  // namespace Engine
}  // namespace DaDovu
