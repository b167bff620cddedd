// A kept-alive connection belongs to the process that opened it: after
// fork(), the child calls on a connection of its own and the parent keeps
// using its own, over HTTP and over HTTPS.
#include "LnkTestSupport.h"

#include <TestDaemon.h>
#include <TestPki.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace LnkTest;
using SoapTest::Reply;
using SoapTest::TestDaemon;

// A call with target `target` whose answer echoes it; "ok <echo>" or the failure.
std::string EchoCall(const QxLnkMsg::Messenger& messenger, const std::string& uri, const std::string& target) {
    Call call;
    call.messenger = messenger;
    call.uri = uri;
    call.inputs = {Text("target", String_t(target.c_str()))};
    const std::string outcome = call.Outcome();
    return outcome == "ok" ? "ok " + call.echo.value_or("none") : outcome;
}

class Fork : public ::testing::TestWithParam<bool> {};

TEST_P(Fork, ChildAndParentEachUseTheirOwnConnections) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The child of this threaded process (the daemon's threads) may inherit a
    // lock of the sanitizer's allocator that a thread held, and hang there.
    GTEST_SKIP() << "fork() of a threaded process under a sanitizer runtime";
#endif
    const bool tls = GetParam();
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    std::unique_ptr<TestDaemon> daemon =
        tls ? std::make_unique<TestDaemon>(SoapTest::TlsFiles{pki.ServerCert(), pki.ServerKey(), "", false})
            : std::make_unique<TestDaemon>();
    daemon->SetHandler([](const SoapTest::RecordedRequest& request) {
        return Reply::Result(0).Output("echo", "answer-for-" + request.Arg("target").value_or("?"));
    });
    const QxLnkMsg::Messenger messenger =
        MakeMessenger("TIMEOUT_MS = 5000\n" + (tls ? "CA_FILE = " + pki.CaFile() + "\n" : std::string()));
    ASSERT_EQ(EchoCall(messenger, daemon->Uri(), "parent"), "ok answer-for-parent");  // now pooled

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only what fork() leaves is used here: this thread and the pool.
        const bool own = EchoCall(messenger, daemon->Uri(), "child") == "ok answer-for-child";
        _exit(own && EchoCall(messenger, daemon->Uri(), "child2") == "ok answer-for-child2" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's calls failed";
    // The parent's connection is untouched by the child: same connection, its own answers.
    for (const char* target : {"parent2", "parent3"})
        EXPECT_EQ(EchoCall(messenger, daemon->Uri(), target), std::string("ok answer-for-") + target);
    EXPECT_EQ(daemon->ConnectionCount(), 2u) << "one for the parent, one for the child";
}

INSTANTIATE_TEST_SUITE_P(Transport, Fork, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "Https" : "Http"; });

}  // namespace
