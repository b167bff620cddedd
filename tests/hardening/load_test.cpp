// Sixteen threads making mixed requests against one dadovu-sim at once: every
// answer must reach the thread that asked, which each thread checks with
// values that echo its request, and the process must hold no more descriptors
// or memory afterwards than its pool and its first requests took.
//
// DADOVU_STRESS_REQUESTS sets the requests per thread (default 5000).

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HardeningSupport.h"
#include "TestPki.h"

#if defined(__SANITIZE_THREAD__)
// Debian's OpenSSL is not built with ThreadSanitizer: its atomics and the
// locks it takes inside are invisible, so threads verifying the same
// certificates at once (filling the certificate's cached fields) look like
// races within libcrypto. They are OpenSSL's, never this library's.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "called_from_lib:libcrypto.so\ncalled_from_lib:libssl.so\n";
}
#endif

namespace {

using DaDovu::Control;
using QxPalStr::String_t;

constexpr int kThreads = 16;
constexpr int kComponents = 64;  // 1..16 belong to one thread each; the others are read by all

int RequestsPerThread() {
    const char* value = std::getenv("DADOVU_STRESS_REQUESTS");
    return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : 5000;
}

std::string Component(int number) {
    char name[16];
    std::snprintf(name, sizeof name, "comp%05d", number);
    return name;
}

class Load {
public:
    explicit Load(const std::string& uri) : uri_(uri.c_str()) {}

    // Runs `perThread` requests on each of the threads; returns how many were made.
    long Run(int perThread) {
        std::atomic<long> made{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { made += Thread(t, perThread); });
        for (std::thread& thread : threads) thread.join();
        return made.load();
    }

    std::vector<std::string> Mismatches() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return mismatches_;
    }
    long MismatchCount() const { return mismatchCount_.load(); }

private:
    void Mismatch(int thread, int request, const std::string& what) {
        ++mismatchCount_;
        std::lock_guard<std::mutex> lock(mutex_);
        if (mismatches_.size() < 10)
            mismatches_.push_back("thread " + std::to_string(thread) + " request " + std::to_string(request) + ": " + what);
    }

    // One thread's requests, in a cycle of nine kinds. Returns how many it made.
    long Thread(int t, int requests) {
        const std::string own = Component(t + 1);
        const String_t ownText(own.c_str());
        Control::Options options, async;
        std::string lastValue;
        unsigned long long requestId = 0;
        long made = 0;
        for (int i = 0; made < requests; ++i, ++made) {
            const std::string shared = Component(kThreads + 1 + (t * 7 + i) % (kComponents - kThreads));
            try {
                switch (i % 9) {
                case 0: {
                    const String_t text = Control::Status(Control::STATUS_NAMES, shared.c_str(), options, uri_);
                    if (text != (shared + "\n").c_str()) Mismatch(t, i, "status of " + shared + ": " + text.ToUtf8());
                    break;
                }
                case 1: {
                    DaDovu::ControlComponentList list;
                    Control::Status(Control::STATUS_NAMES, shared.c_str(), options, list, uri_);
                    if (list.IsAtEnd() || list.GetCurrent().GetName() != shared.c_str() || (list.Next(), !list.IsAtEnd()))
                        Mismatch(t, i, "list of " + shared);
                    break;
                }
                case 2:
                    lastValue = "t" + std::to_string(t) + "-" + std::to_string(i);
                    Control::Notify("ping", lastValue.c_str(), ownText, options, uri_);
                    break;
                case 3: {
                    const std::string text = Control::Status(Control::STATUS_EVENTS, ownText, options, uri_).ToUtf8();
                    if (text.find("value.ping=\"" + lastValue + "\"") == std::string::npos)
                        Mismatch(t, i, "events of " + own + ": " + text);
                    break;
                }
                case 4:
                    if (Control::GetUser(options, uri_).uid != static_cast<int>(::geteuid()))
                        Mismatch(t, i, "user");
                    break;
                case 5: {
                    const std::string absent = "absent-" + std::to_string(t) + "-" + std::to_string(i);
                    try {
                        Control::Status(Control::STATUS_NAMES, absent.c_str(), options, uri_);
                        Mismatch(t, i, "no TargetException for " + absent);
                    } catch (const DaDovu::TargetException&) {
                    }
                    break;
                }
                case 6:
                    requestId = Control::StartAsync(ownText, false, async, uri_);
                    break;
                case 7: {
                    QxPalMsg::MessageList_t messages;
                    const int code = Control::GetCommandProgress(requestId, options, messages, uri_);
                    const std::string first = messages.GetMessageCount() > 0
                                                  ? messages.GetMessageObject(0).GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8()
                                                  : std::string();
                    if ((code != 0 && code != 1) || first.find("'" + own + "'") == std::string::npos)
                        Mismatch(t, i, "progress of " + std::to_string(requestId) + " (" + std::to_string(code) + "): " + first);
                    break;
                }
                default:
                    Control::Stop(ownText, false, options, uri_);
                    break;
                }
            } catch (const QxPalMsg::Exception_t& error) {
                Mismatch(t, i, error.what());
            }
        }
        return made;
    }

    const QxPalNet::URI_t uri_;
    mutable std::mutex mutex_;
    std::vector<std::string> mismatches_;
    std::atomic<long> mismatchCount_{0};
};

TEST(Load, SixteenThreadsGetTheirOwnAnswersAndKeepNothing) {
    const Hardening::NodeSettings settings("[lnk.http.ext.ctrl]\nCONNECT_TIMEOUT_MS = 20000\nTIMEOUT_MS = 120000\n");
    const Hardening::Sim sim({"--generate", std::to_string(kComponents)});
    Load load(sim.Uri());
    const std::size_t descriptorsBefore = Hardening::OpenDescriptors();

    // The first round fills the pool and the allocator's per-thread arenas.
    ASSERT_EQ(load.Run(90), 90L * kThreads);
    const std::size_t residentWarm = Hardening::ResidentBytes();

    const int perThread = RequestsPerThread();
    const long made = load.Run(perThread);
    EXPECT_EQ(made, static_cast<long>(perThread) * kThreads);
    EXPECT_EQ(load.MismatchCount(), 0) << ::testing::PrintToString(load.Mismatches());
    const std::size_t descriptorsAfter = Hardening::OpenDescriptors();
    const std::size_t residentAfter = Hardening::ResidentBytes();
    std::cout << "[ load ] " << made << " requests from " << kThreads << " threads, " << load.MismatchCount()
              << " lost or misattributed; descriptors " << descriptorsBefore << " before, " << descriptorsAfter
              << " after; resident " << (residentWarm >> 10) << " KiB after the first round, " << (residentAfter >> 10)
              << " KiB after the last\n";

    // Each thread holds at most one connection, which the pool keeps idle.
    EXPECT_LE(descriptorsAfter, descriptorsBefore + kThreads);
    if (!Hardening::kSanitized && !Hardening::UnderValgrind()) {
        EXPECT_LT(residentAfter, residentWarm + (16u << 20));
    }
}

// Sixteen threads open the first TLS connections of one client at once: one
// of them loads the authorities and the client's certificate and key, which
// no request reads before, and the others wait for it and share what it made.
// Labelled "stress" with the test above, so that the ThreadSanitizer build
// runs it; the simulator is the peer, in a process of its own.
TEST(Load, SixteenThreadsOpenTheFirstTlsConnectionsOfOneClientAtOnce) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    const Hardening::Sim sim({"--generate", std::to_string(kThreads), "--tls-cert", pki.ServerCert(), "--tls-key",
                              pki.ServerKey(), "--client-ca", pki.CaFile()});
    const DaDovu::Client client(DaDovu::ClientSettings()
                                    .SetEndpoint(sim.Uri())
                                    .SetCaFile(pki.CaFile())
                                    .SetClientCertificate(pki.ClientCert(), pki.ClientKey())
                                    .SetCallTimeout(std::chrono::seconds(60)));
    std::mutex mutex;
    std::condition_variable go;
    int ready = 0;
    std::vector<std::string> answers(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            DaDovu::Client own = client;
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (++ready == kThreads) go.notify_all();
                go.wait(lock, [&] { return ready == kThreads; });
            }
            try {
                answers[static_cast<std::size_t>(t)] = own.Status(Component(t + 1));
            } catch (const DaDovu::Error& error) {
                answers[static_cast<std::size_t>(t)] = error.what();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(answers[static_cast<std::size_t>(t)].rfind(Component(t + 1) + " ", 0), 0u)
            << answers[static_cast<std::size_t>(t)];
}

}  // namespace
