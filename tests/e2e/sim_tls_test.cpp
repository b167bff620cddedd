// dadovuctl against dadovu-sim over HTTPS, with a certificate authority and
// certificates made at test time by the openssl command: a trusted daemon, an
// untrusted one, a missing client certificate and an unauthorised subject.
#include "SimNode.h"

#include <TestPki.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using E2e::Describe;
using E2e::ProcessResult;
using SoapTest::TestPki;

class SimTls : public ::testing::Test {
protected:
    SimTls() {
        components_.Write("db.conf", "name = db\ncategory = storage\n");
        components_.Write("web.conf", "name = web\nprerequisites = db\n");
    }

    static const TestPki& Pki() { return TestPki::Shared(); }

    // A settings file trusting `caFile` ("" for none), with our client
    // certificate when `clientCert`, and `extra` lines at the end.
    std::string Config(const std::string& name, const std::string& caFile, bool clientCert,
                       const std::string& extra = "") {
        std::string text = "[log]\nFILE = " + dir_.Path() + "/node.log\n[lnk.http.ext.ctrl]\nTIMEOUT_MS = 10000\n";
        if (!caFile.empty()) text += "CA_FILE = " + caFile + "\n";
        if (clientCert) text += "CLIENT_CERT = " + Pki().ClientCert() + "\nCLIENT_KEY = " + Pki().ClientKey() + "\n";
        return dir_.Write(name, text + extra);
    }

    std::vector<std::string> ServerArgs() const {
        return {"--tls-cert", Pki().ServerCert(), "--tls-key", Pki().ServerKey()};
    }
    std::vector<std::string> MutualArgs() const {
        auto args = ServerArgs();
        args.insert(args.end(), {"--client-ca", Pki().CaFile()});
        return args;
    }

    ProcessResult Ctl(const E2e::SimNode& sim, std::vector<std::string> args, const std::string& config) {
        args.insert(args.end(), {"--uri", sim.Uri()});
        return E2e::Ctl(args, config);
    }

    E2e::TempDir dir_;
    E2e::TempDir components_;
};

TEST_F(SimTls, TrustedDaemonAnswersOverHttps) {
    E2e::SimNode sim(components_.Path(), ServerArgs());
    ASSERT_EQ(sim.Uri().rfind("https://", 0), 0u) << sim.Uri();
    const std::string config = Config("trust.conf", Pki().CaFile(), false);
    ProcessResult r = Ctl(sim, {"start", "web"}, config);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    r = Ctl(sim, {"status", "web"}, config);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, "web state=running\n");
}

TEST_F(SimTls, UntrustedDaemonIsACommunicationFailure) {
    E2e::SimNode sim(components_.Path(), ServerArgs());
    for (const std::string& ca : {std::string(), Pki().OtherCaFile()}) {
        const ProcessResult r = Ctl(sim, {"status"}, Config("other.conf", ca, false));
        EXPECT_EQ(r.exitStatus, 9) << "CA_FILE=" << ca << "\n" << Describe(r);
        EXPECT_EQ(r.err.rfind("dadovuctl: Communication error when executing 'Status' method. (ctrl 21)\n", 0), 0u)
            << r.err;
    }
}

TEST_F(SimTls, MissingClientCertificateIsNotAuthenticated) {
    E2e::SimNode sim(components_.Path(), MutualArgs());
    const ProcessResult r = Ctl(sim, {"status"}, Config("anon.conf", Pki().CaFile(), false));
    EXPECT_EQ(r.exitStatus, 10) << Describe(r);
    EXPECT_EQ(r.err.rfind("dadovuctl: Security error when executing 'Status' method. (ctrl 22)\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("ctrlauthentication"), std::string::npos) << r.err;

    const ProcessResult withCert = Ctl(sim, {"start", "web"}, Config("client.conf", Pki().CaFile(), true));
    EXPECT_EQ(withCert.exitStatus, 0) << Describe(withCert);
}

TEST_F(SimTls, UnauthorisedSubjectMayLookButNotChange) {
    const std::string subjects = dir_.Write("subjects", "# who may change components\nCN=somebody-else\n");
    std::vector<std::string> args = MutualArgs();
    args.insert(args.end(), {"--authorize", subjects});
    E2e::SimNode sim(components_.Path(), args);
    const std::string config = Config("client.conf", Pki().CaFile(), true);

    ProcessResult r = Ctl(sim, {"status", "--list"}, config);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    r = Ctl(sim, {"user"}, config);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    for (const std::vector<std::string>& change :
         {std::vector<std::string>{"start", "web"}, {"stop", "db", "--kill"}, {"notify", "e", "v", "*"}}) {
        r = Ctl(sim, change, config);
        EXPECT_EQ(r.exitStatus, 10) << ::testing::PrintToString(change) << "\n" << Describe(r);
        EXPECT_NE(r.err.find("ctrlauthorization"), std::string::npos) << r.err;
    }
    // The registration calls turn every failure into -1 and a log entry.
    r = Ctl(sim, {"delete", "web"}, config);
    EXPECT_EQ(r.exitStatus, 9) << Describe(r);
}

TEST_F(SimTls, AuthorisedSubjectMayChange) {
    const std::string subjects = dir_.Write("subjects", "CN=dadovu-test-client\n");
    std::vector<std::string> args = MutualArgs();
    args.insert(args.end(), {"--authorize", subjects});
    E2e::SimNode sim(components_.Path(), args);
    const ProcessResult r = Ctl(sim, {"start", "web"}, Config("client.conf", Pki().CaFile(), true));
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
}

TEST_F(SimTls, NodeNamesUseHttpsWhenACertificateIsInstalled) {
    E2e::SimNode sim(components_.Path(), MutualArgs());
    const std::string config =
        Config("node.conf", Pki().CaFile(), true, "[sec.cm.certificates]\nCERT_INSTALLED = true\n");
    ProcessResult r = E2e::Ctl({"uri", sim.HostPort()}, config);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, sim.Uri() + "\n");
    r = E2e::Ctl({"start", "web", "--node", sim.HostPort()}, config);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
}

}  // namespace
