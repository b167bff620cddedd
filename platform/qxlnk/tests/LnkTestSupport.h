// Helpers shared by the QxLnk test suites: temporary node settings, messengers
// built from them, and a call of one method with string inputs.
#pragma once

#include <qxlnk/qxlnk.h>
#include <qxpal/config.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace LnkTest {

// Node settings written to a temporary file and put in force while it lives.
class TempSettings {
public:
    explicit TempSettings(const std::string& ini) {
        char path[] = "/tmp/qxlnk_test_XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        path_ = path;
        const ssize_t written = write(fd, ini.data(), ini.size());
        close(fd);
        if (written != static_cast<ssize_t>(ini.size())) throw std::runtime_error("cannot write settings");
        QxPalConfig::SetConfigPath(path_);
    }
    ~TempSettings() {
        QxPalConfig::SetConfigPath("");
        unlink(path_.c_str());
    }
    TempSettings(const TempSettings&) = delete;
    TempSettings& operator=(const TempSettings&) = delete;

private:
    std::string path_;
};

// A messenger configured from `[lnk.http.ext.ctrl]` lines, as DaDovu builds it.
inline QxLnkMsg::Messenger MakeMessenger(const std::string& lines = "") {
    TempSettings settings("[lnk.http.ext.ctrl]\n" + lines);
    QxLnkMsg::Messenger::Options options;
    options.SendOnly(true).RegisterWithCb(false);
    return QxLnkMsg::Messenger(QxPalConfig::ConfigNamespace_t("lnk.http.ext.ctrl").Open(), options);
}

inline QxPalConfig::Configuration_t Attributes(bool secure = false) {
    QxPalConfig::Configuration_t attributes;
    attributes.SetAttrValue("APP_NAME", "lnk.test.client");
    attributes.SetAttrValue("APP_VERSION", "1.2.3.4");
    if (secure) attributes.SetAttrValue("SECURE_COMM", "SSL");
    return attributes;
}

// A call of `method` with string inputs (name, UTF-8 value) and the integer
// output "result" (initially -1), and optionally the string output "echo".
struct Call {
    QxLnkMsg::Messenger messenger;
    std::string uri;
    std::string method = "start";
    std::vector<std::pair<std::string, QxPalStr::String_t>> inputs;
    QxPalConfig::Configuration_t attributes = Attributes();
    QxLnkRpc::RpcCall::Options options;
    bool connectionClose = false;

    int result = -1;
    QxPalStr::String_t echo;
    bool echoReceived = false;

    // Runs the call; exceptions pass.
    void Run() {
        QxLnkRpc::RpcClient client(attributes, messenger);
        QxLnkRpc::RpcCall call = client.CreateCall(method.c_str(), QxPalNet::URI_t(uri.c_str()), options);
        std::vector<std::unique_ptr<QxLnkSoap::SOAPArgUnicodeString>> args;
        std::vector<const QxLnkSoap::SOAPArg*> argPointers;
        for (const auto& input : inputs) {
            args.push_back(std::make_unique<QxLnkSoap::SOAPArgUnicodeString>(
                QxPalStr::String_t(input.first.c_str()).Data(), input.second));
            args.back()->SetTypeAttribute();
            argPointers.push_back(args.back().get());
        }
        call.SetArgs(static_cast<int>(argPointers.size()), argPointers.data());
        if (connectionClose) call.SetConnectionClose();
        const QxPalStr::String_t resultName("result");
        const QxPalStr::String_t echoName("echo");
        QxLnkSoap::SOAPArgInt resultArg(resultName.Data(), &result);
        resultArg.SetTypeAttribute();
        unsigned short* echoText = nullptr;
        QxLnkSoap::SOAPArgUnicodeString echoArg(echoName.Data(), &echoText);
        echoArg.SetTypeAttribute();
        QxLnkSoap::SOAPArg* outputs[] = {&resultArg, &echoArg};
        call.Invoke(2, outputs, "UTF-8");
        if (echoText != nullptr) {
            echo = QxPalStr::String_t(echoText);
            echoReceived = true;
        }
    }
};

// The plain text (format 32) of an exception's messages, in UTF-8.
inline std::string PlainText(const QxPalMsg::Exception_t& error) {
    return error.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
}

// Milliseconds that `function` took.
template <class Function>
long long ElapsedMs(Function&& function) {
    const auto start = std::chrono::steady_clock::now();
    function();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace LnkTest
