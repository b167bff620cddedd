// What a Client's failures become: each ErrorKind with its fields, the stage a
// transport failure happened at, per-call deadlines, and where failures are
// reported (the hooks, never standard error).

#include <functional>
#include <mutex>
#include <thread>

#include "ClientTestSupport.h"

namespace {

using namespace ClientTest;

// The fields every failure of Start("web") at `uri` carries.
void ExpectNamed(const Error& error, const std::string& uri) {
    EXPECT_EQ(error.GetOperation(), "start");
    EXPECT_EQ(error.GetEndpoint(), uri);
    EXPECT_EQ(error.GetTarget(), std::optional<std::string>("web"));
    EXPECT_EQ(std::string(error.what()).rfind("start 'web' at " + uri + ": " + DaDovu::Describe(error.GetKind()), 0),
              0u)
        << error.what();
}

// --- The daemon's verdicts ----------------------------------------------------

struct Verdict {
    int code;
    ErrorKind kind;
};

void PrintTo(const Verdict& verdict, std::ostream* out) { *out << verdict.code; }

class ResultCode : public ::testing::TestWithParam<Verdict> {
protected:
    TestDaemon daemon_;
    Client client_{At(daemon_.Uri())};
};

TEST_P(ResultCode, BecomesItsKindWithTheCode) {
    daemon_.Enqueue(Reply::Result(GetParam().code));
    const Error error = ErrorOf([&] { client_.Start("web"); });
    EXPECT_EQ(error.GetKind(), GetParam().kind) << error.what();
    ExpectNamed(error, daemon_.Uri());
    EXPECT_EQ(error.GetResultCode(), std::optional<int>(GetParam().code));
    EXPECT_NE(std::string(error.what()).find("(result code " + std::to_string(GetParam().code) + ")"),
              std::string::npos);
    EXPECT_FALSE(error.MayHaveActed());
}

INSTANTIATE_TEST_SUITE_P(
    Client, ResultCode,
    ::testing::Values(Verdict{64, ErrorKind::ComponentFailed}, Verdict{65, ErrorKind::NoMatchingComponent},
                      Verdict{70, ErrorKind::NotAuthorized}, Verdict{71, ErrorKind::PrerequisiteFailed},
                      Verdict{73, ErrorKind::EventNotSubscribed}, Verdict{74, ErrorKind::NotAuthenticated},
                      Verdict{75, ErrorKind::UserUnknown}, Verdict{66, ErrorKind::DaemonError},
                      Verdict{-1, ErrorKind::DaemonError}));

// Only the bit of value 64 makes a code a failure.
TEST(ClientResultCodes, CodesWithoutTheFailureBitSucceed) {
    TestDaemon daemon;
    Client client(At(daemon.Uri()));
    for (const int code : {0, 1, 2, 63, 128, 1024}) {
        daemon.Enqueue(Reply::Result(code));
        EXPECT_NO_THROW(client.Start("web")) << code;
    }
}

struct FaultCase {
    std::string faultString;
    ErrorKind kind;
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.faultString; }

class Fault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Fault, BecomesItsKindWithTheFaultAsDetail) {
    TestDaemon daemon;
    Client client(At(daemon.Uri()));
    daemon.Enqueue(Reply::Fault(GetParam().faultString, "soap:Client"));
    const Error error = ErrorOf([&] { client.Start("web"); });
    EXPECT_EQ(error.GetKind(), GetParam().kind) << error.what();
    ExpectNamed(error, daemon.Uri());
    EXPECT_EQ(error.GetResultCode(), std::nullopt);
    ASSERT_FALSE(error.GetDetails().empty());
    EXPECT_NE(error.GetDetails()[0].find(GetParam().faultString), std::string::npos) << error.GetDetails()[0];
}

INSTANTIATE_TEST_SUITE_P(Client, Fault,
                         ::testing::Values(FaultCase{"ctrlauthentication", ErrorKind::NotAuthenticated},
                                           FaultCase{"ctrlauthorization", ErrorKind::NotAuthorized},
                                           FaultCase{"out of cheese", ErrorKind::DaemonError},
                                           FaultCase{"ctrlauthorization denied", ErrorKind::DaemonError}));

// --- Where a failure happened ---------------------------------------------------

TEST(ClientStages, RefusedConnectionIsNotSent) {
    const std::string uri = ClosedUri();
    Client client(At(uri));
    const Error error = ErrorOf([&] { client.Start("web"); });
    EXPECT_EQ(error.GetKind(), ErrorKind::NotSent) << error.what();
    ExpectNamed(error, uri);
    EXPECT_FALSE(error.MayHaveActed());
    EXPECT_FALSE(error.GetDetails().empty());
    EXPECT_EQ(error.GetResultCode(), std::nullopt);
}

TEST(ClientStages, ConnectionLostAfterTheRequestMayHaveActed) {
    RawDaemon dropping(RawDaemon::Mode::DropAfterRequest);
    Client client(At(dropping.Uri()));
    const Error error = ErrorOf([&] { client.Start("web"); });
    EXPECT_EQ(error.GetKind(), ErrorKind::NoAnswer) << error.what();
    ExpectNamed(error, dropping.Uri());
    EXPECT_TRUE(error.MayHaveActed());
    EXPECT_FALSE(error.GetDetails().empty());
    EXPECT_EQ(dropping.RequestCount(), 1u);  // the daemon had it whole
}

TEST(ClientStages, AnswersThatAreNotSoapAreMalformed) {
    TestDaemon daemon;
    Client client(At(daemon.Uri()));
    for (const Reply& reply : {Reply::Raw("this is not XML"), Reply::Raw("<html>no such page</html>", 404, "text/html"),
                               Reply::Raw("<a><b></a>")}) {
        daemon.Enqueue(reply);
        const Error error = ErrorOf([&] { client.Start("web"); });
        EXPECT_EQ(error.GetKind(), ErrorKind::MalformedAnswer) << error.what();
        ExpectNamed(error, daemon.Uri());
        EXPECT_FALSE(error.GetDetails().empty());
        EXPECT_TRUE(error.MayHaveActed());  // the daemon had the request; no verdict came back
    }
    EXPECT_EQ(daemon.RequestCount(), 3u);
}

TEST(ClientStages, ServerCertificatesThatDoNotVerifyAreTlsWithNothingSent) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    const std::vector<std::pair<std::string, std::string>> refused = {
        {pki.UntrustedServerCert(), pki.UntrustedServerKey()},
        {pki.WrongHostServerCert(), pki.WrongHostServerKey()},
        {pki.ExpiredServerCert(), pki.ExpiredServerKey()}};
    for (const auto& [cert, key] : refused) {
        TestDaemon daemon(SoapTest::TlsFiles{cert, key, "", false});
        Client client(At(daemon.Uri()).SetCaFile(pki.CaFile()));
        const Error error = ErrorOf([&] { client.Start("web"); });
        EXPECT_EQ(error.GetKind(), ErrorKind::Tls) << cert << ": " << error.what();
        ExpectNamed(error, daemon.Uri());
        EXPECT_FALSE(error.GetDetails().empty());
        EXPECT_FALSE(error.MayHaveActed());
        EXPECT_EQ(daemon.RequestCount(), 0u);
    }
}

// A daemon that demands a client certificate refuses the session after the
// client's side of the handshake is done (TLS 1.3): the refusal comes where
// the answer would, yet the request was never taken.
TEST(ClientStages, AClientCertificateTheDaemonRefusesIsTlsWithNothingTaken) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    TestDaemon daemon(SoapTest::TlsFiles{pki.ServerCert(), pki.ServerKey(), pki.CaFile(), true});
    Client anonymous(At(daemon.Uri()).SetCaFile(pki.CaFile()));
    const Error error = ErrorOf([&] { anonymous.Start("web"); });
    EXPECT_EQ(error.GetKind(), ErrorKind::Tls) << error.what();
    EXPECT_FALSE(error.MayHaveActed());
    EXPECT_EQ(daemon.RequestCount(), 0u);
    Client known(At(daemon.Uri()).SetCaFile(pki.CaFile()).SetClientCertificate(pki.ClientCert(), pki.ClientKey()));
    known.Start("web");
    EXPECT_EQ(daemon.RequestCount(), 1u);
}

// An answer without "result" tells nothing of what the daemon did, but for
// notify, whose answer may leave it out.
TEST(ClientStages, AnAnswerWithoutResultIsMalformedButForNotify) {
    TestDaemon daemon;
    Client client(At(daemon.Uri()));
    daemon.Enqueue(Reply::Empty());
    EXPECT_EQ(ErrorOf([&] { client.Start("web"); }).GetKind(), ErrorKind::MalformedAnswer);
    daemon.Enqueue(Reply::Empty());
    EXPECT_EQ(ErrorOf([&] { client.Progress(DaDovu::RequestId(1024)); }).GetKind(), ErrorKind::MalformedAnswer);
    daemon.Enqueue(Reply::Empty());
    EXPECT_EQ(ErrorOf([&] { client.AddComponent("web.conf"); }).GetKind(), ErrorKind::MalformedAnswer);
    daemon.Enqueue(Reply::Empty());
    client.Notify("ping", "1", "web");
}

// A client moved from stays a client of its daemon.
TEST(ClientStages, AMovedFromClientStillWorks) {
    TestDaemon daemon;
    Client client(At(daemon.Uri()));
    Client moved(std::move(client));
    client.Start("web");  // NOLINT(bugprone-use-after-move): what this test is about
    moved.Start("web");
    EXPECT_EQ(daemon.RequestCount(), 2u);
    EXPECT_EQ(client.GetEndpoint(), moved.GetEndpoint());
}

// Secure communication verifies the daemon even when peer verification is turned off.
TEST(ClientStages, SecureVerifiesThePeerWhateverVerifyPeerSays) {
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    TestDaemon daemon(SoapTest::TlsFiles{pki.UntrustedServerCert(), pki.UntrustedServerKey(), "", false});
    Client secure(At(daemon.Uri()).SetCaFile(pki.CaFile()).SetVerifyPeer(false).SetSecure(true));
    EXPECT_EQ(ErrorOf([&] { secure.Start("web"); }).GetKind(), ErrorKind::Tls);
    EXPECT_EQ(daemon.RequestCount(), 0u);
    Client lax(At(daemon.Uri()).SetCaFile(pki.CaFile()).SetVerifyPeer(false));
    lax.Start("web");
    EXPECT_EQ(daemon.RequestCount(), 1u);
}

// Refused arguments: nothing is sent, no connection is made.
TEST(ClientStages, InvalidArgumentsAreRefusedBeforeConnecting) {
    TestDaemon daemon;
    Client client(At(daemon.Uri()));
    const std::string nul("we\0b", 4);
    const std::vector<std::function<void()>> calls = {
        [&] { client.Start("w\xC3"); },
        [&] { client.Start(nul); },
        [&] { client.Stop("\xED\xA0\x80"); },                 // a surrogate
        [&] { client.Notify("reload", "\xC0\xAF", "web"); },  // an overlong form
        [&] { client.Status("web", static_cast<DaDovu::StatusLevel>(8)); },
        [&] { client.Components("web", static_cast<DaDovu::StatusLevel>(-1)); },
        [&] { client.AddComponent(nul); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Error error = ErrorOf(calls[i]);
        EXPECT_EQ(error.GetKind(), ErrorKind::InvalidArgument) << i << ": " << error.what();
        EXPECT_FALSE(error.GetDetails().empty()) << i;
    }
    EXPECT_EQ(daemon.RequestCount(), 0u);
    EXPECT_EQ(daemon.ConnectionCount(), 0u);
    // The target an error names has its control characters replaced.
    EXPECT_EQ(ErrorOf([&] { client.Start(nul); }).GetTarget(), std::optional<std::string>("we?b"));
}

TEST(ClientStages, RegistrationsThrowOnAFailingCode) {
    TestDaemon daemon;
    Client client(At(daemon.Uri()));
    daemon.Enqueue(Reply::Result(82));
    Error error = ErrorOf([&] { client.AddComponent("extra.conf"); });
    EXPECT_EQ(error.GetKind(), ErrorKind::DaemonError) << error.what();
    EXPECT_EQ(error.GetOperation(), "addcomponent");
    EXPECT_EQ(error.GetTarget(), std::optional<std::string>("extra.conf"));
    EXPECT_EQ(error.GetResultCode(), std::optional<int>(82));
    daemon.Enqueue(Reply::Result(65));
    error = ErrorOf([&] { client.DeleteComponent("nosuch"); });
    EXPECT_EQ(error.GetKind(), ErrorKind::NoMatchingComponent) << error.what();
    EXPECT_EQ(error.GetOperation(), "deletecomponent");
    EXPECT_EQ(error.GetResultCode(), std::optional<int>(65));
    daemon.Enqueue(Reply::Result(2));  // no failure bit
    EXPECT_NO_THROW(client.DeleteComponent("extra"));

    Client down(At(ClosedUri()));
    EXPECT_EQ(ErrorOf([&] { down.AddComponent("extra.conf"); }).GetKind(), ErrorKind::NotSent);
    EXPECT_EQ(ErrorOf([&] { down.DeleteComponent("extra"); }).GetKind(), ErrorKind::NotSent);
}

// --- Deadlines ------------------------------------------------------------------

// A daemon that takes the request and never answers: the call ends at its
// deadline, not after the client's 60 s default.
TEST(ClientDeadline, BoundsASilentDaemon) {
    RawDaemon silent(RawDaemon::Mode::NeverAnswer);
    Client client(At(silent.Uri()).SetCallTimeout(60s));
    const std::vector<std::function<DaDovu::Deadline()>> deadlines = {
        [] { return DaDovu::Deadline(300ms); }, [] { return DaDovu::Deadline(Clock::now() + 300ms); },
        [] { return DaDovu::Deadline(std::chrono::duration<double>(0.3)); }};
    for (const auto& deadline : deadlines) {
        const auto begin = Clock::now();
        const Error error = ErrorOf([&] { client.Start("web", deadline()); });
        const auto took = Clock::now() - begin;
        EXPECT_EQ(error.GetKind(), ErrorKind::NoAnswer) << error.what();
        EXPECT_TRUE(error.MayHaveActed());
        EXPECT_GE(took, 250ms);
        EXPECT_LT(took, 5s);
    }
    EXPECT_EQ(silent.RequestCount(), 3u);

    // The default deadline is the call timeout.
    Client impatient(At(silent.Uri()).SetCallTimeout(300ms));
    const auto begin = Clock::now();
    EXPECT_EQ(ErrorOf([&] { impatient.Status("*"); }).GetKind(), ErrorKind::NoAnswer);
    EXPECT_LT(Clock::now() - begin, 5s);
}

// A call's own deadline replaces the call timeout, later as well as earlier.
TEST(ClientDeadline, ReplacesTheCallTimeout) {
    TestDaemon slow;
    slow.SetHandler([](const SoapTest::RecordedRequest&) {
        std::this_thread::sleep_for(600ms);
        return Reply::Result(0);
    });
    Client client(At(slow.Uri()).SetCallTimeout(300ms));
    EXPECT_NO_THROW(client.Start("web", 20s));
    EXPECT_EQ(ErrorOf([&] { client.Start("web"); }).GetKind(), ErrorKind::NoAnswer);
}

TEST(ClientDeadline, PassedDeadlineSendsNothing) {
    TestDaemon daemon;
    Client client(At(daemon.Uri()));
    for (const DaDovu::Deadline deadline :
         {DaDovu::Deadline(0ms), DaDovu::Deadline(-1s), DaDovu::Deadline(Clock::now() - 1s)}) {
        const Error error = ErrorOf([&] { client.Start("web", deadline); });
        EXPECT_EQ(error.GetKind(), ErrorKind::NotSent) << error.what();
        EXPECT_FALSE(error.MayHaveActed());
        ExpectNamed(error, daemon.Uri());
    }
    EXPECT_EQ(daemon.RequestCount(), 0u);
    EXPECT_EQ(daemon.ConnectionCount(), 0u);
    // Far deadlines saturate instead of overflowing into the past.
    client.Start("web", std::chrono::hours::max());
    client.Start("web", Clock::time_point::max());
    client.Start("web", std::chrono::duration<double>(1e300));
    EXPECT_EQ(daemon.RequestCount(), 3u);
}

// --- Log and trace hooks, standard error -----------------------------------------

class Lines {
public:
    void Add(int level, std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(level, text);
    }
    std::vector<std::pair<int, std::string>> Get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool Has(int level, const std::string& start) const {
        for (const auto& [l, text] : Get())
            if (l == level && text.rfind(start, 0) == 0) return true;
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

// Without hooks a client writes nothing: neither to standard error nor to the
// node's log, where Control writes its failures.
TEST(ClientHooks, NothingReachesStandardErrorWithoutHooks) {
    const std::string closed = ClosedUri();
    TestDaemon daemon;
    daemon.Enqueue(Reply::Result(82));
    TempDir logs;
    NodeFile file("[log]\nFILE = " + logs.Path() + "/node.log\n");
    CapturedStandardError captured;
    Client down(At(closed));
    EXPECT_EQ(ErrorOf([&] { down.Start("web"); }).GetKind(), ErrorKind::NotSent);
    EXPECT_EQ(ErrorOf([&] { down.AddComponent("extra.conf"); }).GetKind(), ErrorKind::NotSent);
    EXPECT_EQ(ErrorOf([&] { down.Status("*"); }).GetKind(), ErrorKind::NotSent);
    Client up(At(daemon.Uri()));
    EXPECT_EQ(ErrorOf([&] { up.AddComponent("extra.conf"); }).GetResultCode(), std::optional<int>(82));
    EXPECT_EQ(ErrorOf([&] { Client(At("ftp://x/")); }).GetKind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(captured.Take(), "");
    EXPECT_EQ(logs.Read("node.log"), "");
}

TEST(ClientHooks, LogHookHearsOfFailuresAndMayThrow) {
    const std::string closed = ClosedUri();
    CapturedStandardError captured;
    Lines logged;
    Client client(At(closed).SetLogHook([&](DaDovu::Severity s, std::string_view t) { logged.Add(int(s), t); }));
    EXPECT_EQ(ErrorOf([&] { client.Start("web"); }).GetKind(), ErrorKind::NotSent);
    EXPECT_TRUE(logged.Has(int(DaDovu::Severity::Error), "Communication error when executing 'Start' method."));
    const std::size_t afterStart = logged.Get().size();
    EXPECT_EQ(ErrorOf([&] { client.AddComponent("extra.conf"); }).GetKind(), ErrorKind::NotSent);
    EXPECT_GT(logged.Get().size(), afterStart);
    EXPECT_TRUE(logged.Has(int(DaDovu::Severity::Error), "Error calling LNK RPC method add component"));

    Client throwing(
        At(closed).SetLogHook([](DaDovu::Severity, std::string_view) { throw std::runtime_error("hook"); }));
    EXPECT_EQ(ErrorOf([&] { throwing.Start("web"); }).GetKind(), ErrorKind::NotSent);
    EXPECT_EQ(ErrorOf([&] { throwing.AddComponent("extra.conf"); }).GetKind(), ErrorKind::NotSent);
    EXPECT_EQ(captured.Take(), "");
}

TEST(ClientHooks, TraceHookNamesEachMethod) {
    TestDaemon daemon;
    Lines traced;
    Client client(At(daemon.Uri()).SetTraceHook([&](int level, std::string_view text) { traced.Add(level, text); }));
    EXPECT_TRUE(traced.Has(25, "Initializing messenger object."));
    client.Start("web");
    client.Status("db", DaDovu::StatusLevel::Processes);
    EXPECT_TRUE(traced.Has(1, "Executing method 'start': target='web' on " + daemon.Uri()));
    EXPECT_TRUE(traced.Has(1, "Finished executing method 'start': rc='0'"));
    EXPECT_TRUE(traced.Has(1, "Executing method 'status': level='2', target='db' on " + daemon.Uri()));
    daemon.Enqueue(Reply::Fault("out of cheese"));
    EXPECT_EQ(ErrorOf([&] { client.Stop("web"); }).GetKind(), ErrorKind::DaemonError);
    EXPECT_TRUE(traced.Has(4, "Exception when executing 'Stop' method."));

    Client throwing(At(daemon.Uri()).SetTraceHook([](int, std::string_view) { throw 42; }));
    EXPECT_NO_THROW(throwing.Start("web"));
}

}  // namespace
