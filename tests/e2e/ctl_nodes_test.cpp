// dadovuctl with several --node options: every node is asked at the same
// time, each answer is shown under its node's name in the order given, and
// the exit status is the worst.
#include "Ctl.h"

#include <TestDaemon.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

using E2e::Describe;
using E2e::ProcessResult;
using SoapTest::RecordedRequest;
using SoapTest::Reply;
using SoapTest::TestDaemon;

std::string Node(const TestDaemon& d) { return "127.0.0.1:" + std::to_string(d.Port()); }

class CtlNodes : public ::testing::Test {
protected:
    E2e::TempDir dir_;
    std::string config_ = dir_.Write("node.conf", "[log]\nFILE = " + dir_.Path() + "/node.log\n");
    TestDaemon a_, b_, c_;
};

TEST_F(CtlNodes, AsksAllNodesAtOnce) {
    // Each daemon answers only once the other has been asked too: nodes
    // asked one after the other would make the first one fail.
    a_.SetHandler([this](const RecordedRequest&) {
        return Reply::Result(0).Output("status", b_.WaitForRequests(1, std::chrono::seconds(5)) ? "a: both" : "a: alone");
    });
    b_.SetHandler([this](const RecordedRequest&) {
        return Reply::Result(0).Output("status", a_.WaitForRequests(1, std::chrono::seconds(5)) ? "b: both" : "b: alone");
    });
    const ProcessResult r = E2e::Ctl({"status", "--node", Node(b_), "--node", Node(a_)}, config_);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "== " + Node(b_) + " ==\nb: both\n== " + Node(a_) + " ==\na: both\n");
}

TEST_F(CtlNodes, ShowsEachAnswerUnderItsNodeAndExitsWithTheWorstStatus) {
    a_.Enqueue(Reply::Result(0).Output("status", "web running"));
    b_.Enqueue(Reply::Result(65));
    const std::string closed = "127.0.0.1:" + std::to_string(E2e::ClosedPort());
    const ProcessResult r =
        E2e::Ctl({"status", "web", "--node", Node(a_), "--node", closed, "--node", Node(b_)}, config_);
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);  // communication (9) is worse than no match (3)
    EXPECT_EQ(r.out, "== " + Node(a_) + " ==\nweb running\n== " + closed + " ==\n== " + Node(b_) + " ==\n");
    EXPECT_NE(r.err.find("dadovuctl: " + closed + ": Communication error when executing 'Status' method."),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("dadovuctl: " + Node(b_) + ": No component matches target. (ctrl 4)\n"), std::string::npos)
        << r.err;
}

TEST_F(CtlNodes, JsonIsOneArrayInTheOrderGiven) {
    a_.Enqueue(Reply::Result(1029));
    b_.Enqueue(Reply::Result(64));
    c_.Enqueue(Reply::Result(1200));
    const ProcessResult r = E2e::Ctl(
        {"start", "web", "--async", "--json", "--node", Node(c_), "--node", Node(b_), "--node", Node(a_)}, config_);
    EXPECT_EQ(r.exitStatus, 4) << Describe(r);
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[0]["node"], Node(c_));
    EXPECT_EQ(j[0]["exit_status"], 0);
    EXPECT_EQ(j[0]["result"]["request_id"], 1200);
    EXPECT_TRUE(j[0]["error"].is_null());
    EXPECT_EQ(j[1]["node"], Node(b_));
    EXPECT_EQ(j[1]["exit_status"], 4);
    EXPECT_TRUE(j[1]["result"].is_null());
    EXPECT_EQ(j[1]["error"], "Error in the target component. (ctrl 7)");
    EXPECT_EQ(j[2]["result"]["request_id"], 1029);
}

TEST_F(CtlNodes, OneNodeNeedsNoHeading) {
    a_.Enqueue(Reply::Result(0).Output("uid", "7", "xsd:int").Output("user", "svc"));
    const ProcessResult r = E2e::Ctl({"user", "--node", Node(a_)}, config_);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "uid=7(svc)\n");
    EXPECT_EQ(a_.Requests().at(0).path, "/dadovu.ctrl.server/lnkrpcserver");
}

}  // namespace
