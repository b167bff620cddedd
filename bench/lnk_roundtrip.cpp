// lnk_roundtrip: requests per second of QxLnk calls against the in-process
// test daemon, over one kept-alive connection and with "Connection: close".
//
//   lnk_roundtrip [N]          both loops, N calls each (default 2000)
//   lnk_roundtrip keepalive N  only the kept-alive loop (for callgrind)
//   lnk_roundtrip close N      only the Connection: close loop
//   lnk_roundtrip envelope N   only writing and parsing envelopes, no network
//
// Instructions per call, e.g.:
//   valgrind --tool=callgrind --toggle-collect='*RunCalls*' lnk_roundtrip keepalive 1000
// RunCalls* and RunEnvelopes are the only functions to collect; one call is
// one loop iteration (client, call, arguments, Invoke), as the request engine
// makes it.

#include <qxlnk/qxlnk.h>
#include <qxpal/config.h>

#include <TestDaemon.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

QxLnkMsg::Messenger MakeMessenger() {
    // No settings file: every messenger setting at its default.
    QxPalConfig::SetConfigPath("/nonexistent/qxlnk-bench.conf");
    QxLnkMsg::Messenger::Options options;
    options.SendOnly(true).RegisterWithCb(false);
    return QxLnkMsg::Messenger(QxPalConfig::ConfigNamespace_t("lnk.http.ext.ctrl").Open(), options);
}

struct Setup {
    QxLnkMsg::Messenger messenger;
    QxPalConfig::Configuration_t attributes;
    QxPalNet::URI_t uri;
    QxPalStr::String_t targetName{"target"};
    QxPalStr::String_t target{"comp-1"};
    QxPalStr::String_t resultName{"result"};
};

// One request as the request engine makes it: client, call, one string
// input, one int output, Invoke.
int OneCall(const Setup& setup, bool close) {
    QxLnkRpc::RpcClient client(setup.attributes, setup.messenger);
    QxLnkRpc::RpcCall call = client.CreateCall("start", setup.uri, QxLnkRpc::RpcCall::Options());
    QxLnkSoap::SOAPArgUnicodeString target(setup.targetName.Data(), setup.target);
    target.SetTypeAttribute();
    const QxLnkSoap::SOAPArg* inputs[] = {&target};
    call.SetArgs(1, inputs);
    if (close) call.SetConnectionClose();
    int result = -1;
    QxLnkSoap::SOAPArgInt resultArg(setup.resultName.Data(), &result);
    resultArg.SetTypeAttribute();
    QxLnkSoap::SOAPArg* outputs[] = {&resultArg};
    call.Invoke(1, outputs, "UTF-8");
    return result;
}

__attribute__((noinline)) int RunCallsKeptAlive(const Setup& setup, long count) {
    int failures = 0;
    for (long i = 0; i < count; ++i) failures += OneCall(setup, false) != 0;
    return failures;
}

__attribute__((noinline)) int RunCallsClosing(const Setup& setup, long count) {
    int failures = 0;
    for (long i = 0; i < count; ++i) failures += OneCall(setup, true) != 0;
    return failures;
}

__attribute__((noinline)) int RunEnvelopes(const Setup& setup, long count, const std::string& response) {
    int failures = 0;
    for (long i = 0; i < count; ++i) {
        QxLnkSoap::SOAPArgUnicodeString target(setup.targetName.Data(), setup.target);
        target.SetTypeAttribute();
        const QxLnkSoap::SOAPArg* inputs[] = {&target};
        const std::string request = QxLnkSoap::WriteRequestEnvelope("start", 1, inputs, nullptr);
        int result = -1;
        QxLnkSoap::SOAPArgInt resultArg(setup.resultName.Data(), &result);
        resultArg.SetTypeAttribute();
        QxLnkSoap::SOAPArg* outputs[] = {&resultArg};
        QxLnkSoap::ParseResponseEnvelope(response, 1, outputs);
        failures += (result != 0) + request.empty();
    }
    return failures;
}

template <class Loop>
void Measure(const char* name, long count, SoapTest::TestDaemon& daemon, Loop&& loop) {
    daemon.ClearRecords();
    const auto start = std::chrono::steady_clock::now();
    const int failures = loop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-12s %8ld calls  %9.0f requests/s  %6zu connections  %d failures\n", name, count,
                static_cast<double>(count) / seconds, daemon.ConnectionCount(), failures);
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = "both";
    long count = 2000;
    if (argc >= 2 && std::strchr("0123456789", argv[1][0]) == nullptr) {
        mode = argv[1];
        if (argc >= 3) count = std::strtol(argv[2], nullptr, 10);
    } else if (argc >= 2) {
        count = std::strtol(argv[1], nullptr, 10);
    }
    if (count <= 0 || (mode != "both" && mode != "keepalive" && mode != "close" && mode != "envelope")) {
        std::fprintf(stderr, "usage: %s [keepalive|close|envelope] [N]\n", argv[0]);
        return 2;
    }
    try {
        SoapTest::TestDaemon daemon;
        Setup setup;
        setup.messenger = MakeMessenger();
        setup.attributes.SetAttrValue("APP_NAME", "lnk.bench.client");
        setup.attributes.SetAttrValue("APP_VERSION", "1.0.0.0");
        setup.uri = QxPalNet::URI_t(daemon.Uri().c_str());

        if (mode == "envelope") {
            const std::string response = SoapTest::Reply::Result(0).Body();
            Measure("envelope", count, daemon, [&] { return RunEnvelopes(setup, count, response); });
            return 0;
        }
        // Warm up: the connection, the daemon's threads, first-use objects.
        for (int i = 0; i < 10; ++i) OneCall(setup, false);
        if (mode == "both" || mode == "keepalive")
            Measure("kept-alive", count, daemon, [&] { return RunCallsKeptAlive(setup, count); });
        if (mode == "both" || mode == "close")
            Measure("close", count, daemon, [&] { return RunCallsClosing(setup, count); });
    } catch (const std::exception& error) {
        std::fprintf(stderr, "lnk_roundtrip: %s\n", error.what());
        return 1;
    }
    return 0;
}
