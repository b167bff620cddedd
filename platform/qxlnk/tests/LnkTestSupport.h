// Helpers shared by the QxLnk test suites: temporary node settings, messengers
// built from them, a call of one method, and the outcome of a call or a parse.
#pragma once

#include <qxlnk/qxlnk.h>
#include <qxpal/config.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace LnkTest {

using QxLnkSoap::SOAPArg;
using QxPalStr::String_t;

// Node settings written to a temporary file and put in force while it lives.
class TempSettings {
public:
    explicit TempSettings(const std::string& ini) {
        const int fd = mkstemp(path_.data());
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        close(fd);
        std::ofstream(path_) << ini;
        QxPalConfig::SetConfigPath(path_);
    }
    ~TempSettings() {
        QxPalConfig::SetConfigPath("");
        unlink(path_.c_str());
    }
    TempSettings(const TempSettings&) = delete;
    TempSettings& operator=(const TempSettings&) = delete;

private:
    std::string path_ = "/tmp/qxlnk_test_XXXXXX";
};

// A messenger configured from `[lnk.http.ext.ctrl]` lines, as DaDovu builds it.
inline QxLnkMsg::Messenger MakeMessenger(const std::string& lines = "") {
    TempSettings settings("[lnk.http.ext.ctrl]\n" + lines);
    return QxLnkMsg::Messenger(QxPalConfig::ConfigNamespace_t("lnk.http.ext.ctrl").Open(),
                               QxLnkMsg::Messenger::Options().SendOnly(true).RegisterWithCb(false));
}

inline QxPalConfig::Configuration_t Attributes(bool secure = false) {
    QxPalConfig::Configuration_t attributes;
    attributes.SetAttrValue("APP_NAME", "lnk.test.client");
    attributes.SetAttrValue("APP_VERSION", "1.2.3.4");
    if (secure) attributes.SetAttrValue("SECURE_COMM", "SSL");
    return attributes;
}

// Input arguments with their xsi:type set.
inline std::shared_ptr<SOAPArg> Text(const char* name, const String_t& value) {
    auto arg = std::make_shared<QxLnkSoap::SOAPArgUnicodeString>(String_t(name).Data(), value);
    arg->SetTypeAttribute();
    return arg;
}
inline std::shared_ptr<SOAPArg> Int(const char* name, int value) {
    auto arg = std::make_shared<QxLnkSoap::SOAPArgInt>(String_t(name).Data(), value);
    arg->SetTypeAttribute();
    return arg;
}

// What `run` did: "ok", or the class and the plain text of the exception it raised.
template <class Run>
std::string OutcomeOf(Run&& run) {
    const auto text = [](const QxPalMsg::Exception_t& e) {
        return e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
    };
    try {
        run();
        return "ok";
    } catch (const QxLnkSoap::SoapFaultException& e) {
        return "fault: " + text(e);
    } catch (const QxLnkSoap::SoapException& e) {
        return "soap: " + text(e);
    } catch (const QxLnkRpc::RpcException& e) {
        return "rpc: " + text(e);
    } catch (const QxPalMsg::IllegalArgumentError_t& e) {
        return "argument: " + text(e);
    } catch (const QxPalMsg::IllegalStateError_t& e) {
        return "state: " + text(e);
    }
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The outputs "result" (-1 until received) and "echo" of a response parsed
// without a network, on a parser of its own, and how the parse ended.
struct Parsed {
    int result = -1;
    std::optional<std::string> echo;
    std::string outcome;

    // "outcome result echo", e.g. "ok 7 hi", with "none" for no echo.
    std::string Summary() const { return outcome + " " + std::to_string(result) + " " + echo.value_or("none"); }
};

// Parses `body` with the outputs "result", "echo" and, when given, `extra`.
inline Parsed Parse(const std::string& body, SOAPArg* extra = nullptr, std::size_t maxBytes = 64u << 20) {
    Parsed parsed;
    QxLnkSoap::SOAPArgInt result(String_t("result").Data(), &parsed.result);
    unsigned short* echo = nullptr;
    QxLnkSoap::SOAPArgUnicodeString echoArg(String_t("echo").Data(), &echo);
    SOAPArg* outputs[] = {&result, &echoArg, extra};
    parsed.outcome = OutcomeOf(
        [&] { QxLnkSoap::ParseResponseEnvelope(body, extra != nullptr ? 3 : 2, outputs, maxBytes); });
    if (echo != nullptr) parsed.echo = String_t(echo).ToUtf8();
    return parsed;
}

// A call of `method` with `inputs`, and the outputs "result" (an int, -1 until
// received) and "echo" (a text).
struct Call {
    QxLnkMsg::Messenger messenger;
    std::string uri;
    std::vector<std::shared_ptr<SOAPArg>> inputs;
    QxPalConfig::Configuration_t attributes = Attributes();
    QxLnkRpc::RpcCall::Options options;
    std::string method = "start";
    bool connectionClose = false;

    int result = -1;
    std::optional<std::string> echo;  // UTF-8, when received
    int httpStatus = 0;

    // Runs the call; its exceptions pass.
    void Run() {
        QxLnkRpc::RpcClient client(attributes, messenger);
        QxLnkRpc::RpcCall call = client.CreateCall(method.c_str(), QxPalNet::URI_t(uri.c_str()), options);
        std::vector<const SOAPArg*> args;
        for (const auto& input : inputs) args.push_back(input.get());
        call.SetArgs(static_cast<int>(args.size()), args.data());
        if (connectionClose) call.SetConnectionClose();
        QxLnkSoap::SOAPArgInt resultArg(String_t("result").Data(), &result);
        unsigned short* echoText = nullptr;
        QxLnkSoap::SOAPArgUnicodeString echoArg(String_t("echo").Data(), &echoText);
        SOAPArg* outputs[] = {&resultArg, &echoArg};
        // The echo is taken also when Invoke throws, so that tests see what a failed response delivered.
        const auto takeEcho = [&] { echo = echoText != nullptr ? std::optional(String_t(echoText).ToUtf8()) : echo; };
        try {
            httpStatus = call.Invoke(2, outputs, "UTF-8").GetHttpStatus();
        } catch (...) {
            takeEcho();
            throw;
        }
        takeEcho();
    }
    std::string Outcome() {
        return OutcomeOf([this] { Run(); });
    }
    // The outcome and then the result, e.g. "ok 0".
    std::string OutcomeAndResult() {
        const std::string outcome = Outcome();
        return outcome + " " + std::to_string(result);
    }
};

// Milliseconds that `function` took.
template <class Function>
long long ElapsedMs(Function&& function) {
    const auto start = std::chrono::steady_clock::now();
    function();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace LnkTest
