// Answers that cross a network arrive in pieces of any size. Through the real
// socket path, on one kept-alive connection, each must mean what it means
// whole, whether Expat defers reparsing an unfinished token (its default from
// 2.6 and in distributions' backports) or parses every piece at once.
#include "LnkTestSupport.h"

#include <TestDaemon.h>

#include <random>

namespace {

using namespace LnkTest;
using QxLnkSoap::ReparseDeferral;
using SoapTest::RawDaemon;
using SoapTest::Reply;

std::string HttpHead(std::size_t bodySize, int status = 200) {
    return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Internal Server Error") +
           "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " + std::to_string(bodySize) + "\r\n\r\n";
}

class PieceSplit : public ::testing::TestWithParam<ReparseDeferral> {
protected:
    void SetUp() override { QxLnkSoap::SetReparseDeferral(GetParam()); }
    void TearDown() override { QxLnkSoap::SetReparseDeferral(ReparseDeferral::Library); }

    // A call of "start" on `daemon` that must succeed with `result` and `echo`,
    // or fail with `fault`.
    static std::string Outcome(const QxLnkMsg::Messenger& messenger, const RawDaemon& daemon, int* result = nullptr,
                               std::string* echo = nullptr) {
        Call call;
        call.messenger = messenger;
        call.uri = daemon.Uri();
        const std::string outcome = call.Outcome();
        if (result != nullptr) *result = call.result;
        if (echo != nullptr) *echo = call.echo.value_or("none");
        return outcome;
    }
};

TEST_P(PieceSplit, EverySplitPointOfAShortAnswerOnOneKeptAliveConnection) {
    // Ending in text Expat holds back ("]" may begin "]]>", CR a CR LF) and
    // with a CR after the root, the shapes a reused parser once misjudged.
    const std::string body = Reply::Result(7).Output("echo", "a]").Body("start", "urn:qxlnk:rpc") + "\r";
    const std::string head = HttpHead(body.size());
    RawDaemon daemon(RawDaemon::Mode::Pieces);
    // Request n gets the head, the body up to byte n + 1, one byte, and the
    // rest. A byte that does not finish the token the piece before left open
    // makes Expat defer the rest of that token until enough input has come.
    daemon.SetPieces([&](std::size_t n) {
        const std::size_t at = n + 1;
        return at + 1 < body.size()
                   ? std::vector<std::string>{head, body.substr(0, at), body.substr(at, 1), body.substr(at + 1)}
                   : std::vector<std::string>();
    });
    const QxLnkMsg::Messenger messenger = MakeMessenger("TIMEOUT_MS = 10000\n");
    for (std::size_t at = 1; at + 1 < body.size(); ++at) {
        int result = -1;
        std::string echo;
        ASSERT_EQ(Outcome(messenger, daemon, &result, &echo), "ok") << "split after byte " << at;
        EXPECT_EQ(result, 7) << "split after byte " << at;
        EXPECT_EQ(echo, "a]") << "split after byte " << at;
    }
    EXPECT_EQ(daemon.ConnectionCount(), 1u);
}

TEST_P(PieceSplit, KeptAliveAnswersAndFaultsInRandomPiecesMeanWhatTheyMeanWhole) {
    constexpr std::size_t kCalls = 150;
    std::vector<std::string> answers;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < kCalls; ++i) {
        if (i % 3 == 2) {
            const std::string body = Reply::Fault("ctrlauthorization", "soap:Client").Body();
            answers.push_back(HttpHead(body.size(), 500) + body);
            expected.push_back("fault: ctrlauthorization");
        } else {
            const std::string body =
                Reply::Result(static_cast<int>(i)).Output("echo", std::string(i % 7, ']') + "x\r\ny").Body("start", "urn:qxlnk:rpc");
            answers.push_back(HttpHead(body.size()) + body);
            expected.push_back("ok " + std::to_string(i));
        }
    }
    std::mt19937 random(20261207);
    std::vector<std::vector<std::string>> pieces(kCalls);
    for (std::size_t i = 0; i < kCalls; ++i) {
        for (std::size_t at = 0; at < answers[i].size();) {
            const std::size_t size = std::uniform_int_distribution<std::size_t>(1, 64)(random);
            pieces[i].push_back(answers[i].substr(at, size));
            at += size;
        }
    }
    RawDaemon daemon(RawDaemon::Mode::Pieces);
    daemon.SetPiecePause(std::chrono::microseconds(100));
    daemon.SetPieces([&](std::size_t n) { return n < kCalls ? pieces[n] : std::vector<std::string>(); });
    const QxLnkMsg::Messenger messenger = MakeMessenger("TIMEOUT_MS = 10000\n");
    for (std::size_t i = 0; i < kCalls; ++i) {
        int result = -1;
        std::string outcome = Outcome(messenger, daemon, &result);
        if (outcome == "ok") outcome += " " + std::to_string(result);
        EXPECT_EQ(outcome, expected[i]) << "answer " << i;
    }
    // A fault is an answer too: the connection stays.
    EXPECT_EQ(daemon.ConnectionCount(), 1u);
}

// A body without Content-Length ends where the connection does: arriving in
// pieces with pauses, it is read to that end, not to its first piece.
TEST_P(PieceSplit, ABodyThatTheConnectionsEndFramesIsReadToThatEnd) {
    const std::string body = Reply::Result(7).Output("echo", "framed by the end").Body("start", "urn:qxlnk:rpc");
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n";
    RawDaemon daemon(RawDaemon::Mode::Pieces);
    daemon.SetPiecePause(std::chrono::milliseconds(20));
    daemon.SetPieces([&](std::size_t n) {
        const std::size_t third = body.size() / 3;
        return n < 2 ? std::vector<std::string>{head + body.substr(0, third), body.substr(third, third),
                                                body.substr(2 * third), ""}
                     : std::vector<std::string>();
    });
    const QxLnkMsg::Messenger messenger = MakeMessenger("TIMEOUT_MS = 10000\n");
    for (int i = 0; i < 2; ++i) {
        int result = -1;
        std::string echo;
        EXPECT_EQ(Outcome(messenger, daemon, &result, &echo), "ok");
        EXPECT_EQ(result, 7);
        EXPECT_EQ(echo, "framed by the end");
    }
    EXPECT_EQ(daemon.ConnectionCount(), 2u) << "a connection the answer's end closed is not reused";
}

INSTANTIATE_TEST_SUITE_P(Deferral, PieceSplit, ::testing::Values(ReparseDeferral::Library, ReparseDeferral::Off),
                         [](const ::testing::TestParamInfo<ReparseDeferral>& param) {
                             return std::string(param.param == ReparseDeferral::Library ? "AsExpatHasIt" : "Off");
                         });

}  // namespace
