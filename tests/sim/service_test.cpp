// The service behind the endpoint: dispatch, argument checks, getuser,
// authentication and authorization.
#include "ControlService.h"
#include "ResultCodes.h"
#include "SimTestSupport.h"
#include "SoapMessage.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace DaDovuSim {
namespace {

using SimTest::Arg;
using SimTest::SoapRequest;

struct Answer {
    int http = 0;
    std::unique_ptr<SimTest::XmlNode> envelope;
    const SimTest::XmlNode* entry = nullptr;  // the response element or the Fault

    std::string Output(const std::string& name) const {
        const auto* node = entry ? entry->Child(name) : nullptr;
        return node ? node->text : "<missing>";
    }
    int Result() const { return std::stoi(Output("result")); }
    std::string Fault() const { return entry && entry->local == "Fault" ? entry->Child("faultstring")->text : ""; }
    std::string FaultCode() const { return entry && entry->local == "Fault" ? entry->Child("faultcode")->text : ""; }
};

Answer Call(const ControlService& service, const std::string& body, const CallerIdentity& caller = {}) {
    const ServiceAnswer raw = service.Handle(body, caller);
    Answer answer;
    answer.http = raw.httpStatus;
    answer.envelope = SimTest::ParseXml(raw.body);
    if (answer.envelope) answer.entry = SimTest::SoapBodyEntry(*answer.envelope);
    return answer;
}

std::string Start(const std::string& target, const std::string& boot = "false", const std::string& async = "false") {
    return SoapRequest("start", Arg("target", target) + Arg("boot", boot) + Arg("async", async));
}

std::string Status(const std::string& level, const std::string& target, const std::string& method = "status") {
    return SoapRequest(method, Arg("level", level, "xsd:int") + Arg("target", target));
}

ComponentDefinition Def(const std::string& name) {
    ComponentDefinition d;
    d.name = name;
    d.events = {"reload"};
    return d;
}

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest() { engine.Load({Def("web"), Def("db")}); }
    CommandEngine engine;
};

TEST_F(ServiceTest, AnswersEachMethodWithItsOutputs) {
    const ControlService service(engine, {});
    Answer start = Call(service, Start("web"));
    EXPECT_EQ(start.http, 200);
    EXPECT_EQ(start.entry->local, "startResponse");
    EXPECT_EQ(start.Result(), 0);

    EXPECT_EQ(Call(service, SoapRequest("stop", Arg("target", "db") + Arg("kill", "1") + Arg("async", "0"))).Result(), 0);
    EXPECT_EQ(Call(service, SoapRequest("notify", Arg("event", "reload") + Arg("value", "v") + Arg("target", "*") +
                                                     Arg("async", "true")))
                  .Result(),
              0);

    const Answer status = Call(service, Status("1", "*"));
    EXPECT_EQ(status.entry->local, "statusResponse");
    EXPECT_EQ(status.Output("status"), "db state=stopped\nweb state=running\n");

    const Answer list = Call(service, Status("0", "web", "statusaslist"));
    EXPECT_EQ(list.Result(), 0);
    const auto* complist = list.entry->Child("complist");
    ASSERT_NE(complist, nullptr);
    ASSERT_EQ(complist->ChildrenNamed("ctrlcomp").size(), 1u);
    EXPECT_EQ(complist->Child("ctrlcomp")->Child("state")->text, "2");

    const Answer async = Call(service, Start("db", "false", "true"));
    const int id = async.Result();
    EXPECT_GE(id, kFirstRequestId);
    const Answer progress =
        Call(service, SoapRequest("requestprogress", Arg("RequestID", std::to_string(id), "xsd:int")));
    EXPECT_EQ(progress.entry->local, "requestprogressResponse");
    ASSERT_NE(progress.entry->Child("MsgList"), nullptr);
    EXPECT_FALSE(progress.entry->Child("MsgList")->children.empty());

    EXPECT_EQ(Call(service, SoapRequest("deletecomponent", Arg("componentname", "ghost"))).Result(),
              Result::kUnknownComponent);
    EXPECT_EQ(Call(service, SoapRequest("addcomponent", Arg("filename", "x.conf"))).Result(),
              Result::kFileNameRefused);  // this engine has no components directory
}

TEST_F(ServiceTest, GetUserNamesTheProcessUser) {
    const ControlService service(engine, {});
    const Answer answer = Call(service, SoapRequest("getuser", ""));
    EXPECT_EQ(answer.Result(), 0);
    EXPECT_EQ(answer.Output("uid"), std::to_string(geteuid()));
    const passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(answer.Output("user"), entry->pw_name);
    EXPECT_EQ(*answer.entry->Child("uid")->Attribute("http://www.w3.org/2001/XMLSchema-instance", "type"), "xsd:int");
}

TEST_F(ServiceTest, UnusableValuesAnswer66MissingArgumentsFault) {
    const ControlService service(engine, {});
    EXPECT_EQ(Call(service, Start("web", "maybe")).Result(), Result::kInvalidArgument);
    EXPECT_EQ(Call(service, Start("web", "false", "TRUE")).Result(), Result::kInvalidArgument);
    EXPECT_EQ(Call(service, Status("eight", "*")).Result(), Result::kInvalidArgument);
    EXPECT_EQ(Call(service, Status("8", "*")).Result(), Result::kInvalidArgument);
    EXPECT_EQ(Call(service, Status("99999999999999999999", "*")).Result(), Result::kInvalidArgument);
    EXPECT_EQ(Call(service, Status(" 2 ", "web")).Result(), 0);  // xsd:int allows blanks around
    EXPECT_EQ(Call(service, SoapRequest("requestprogress", Arg("RequestID", "x1"))).Result(), Result::kInvalidArgument);
    EXPECT_EQ(Call(service, SoapRequest("requestprogress", Arg("RequestID", "4294967295"))).Result(), Result::kNoMatch);

    const Answer missing = Call(service, SoapRequest("start", Arg("target", "web") + Arg("async", "false")));
    EXPECT_EQ(missing.http, 500);
    EXPECT_EQ(missing.FaultCode(), "soap:Client");
    EXPECT_EQ(missing.Fault(), "missing argument 'boot' of method 'start'");

    const Answer unknown = Call(service, SoapRequest("reboot", ""));
    EXPECT_EQ(unknown.http, 500);
    EXPECT_EQ(unknown.Fault(), "unknown method 'reboot'");

    const Answer garbage = Call(service, "this is not XML");
    EXPECT_EQ(garbage.http, 500);
    EXPECT_EQ(garbage.FaultCode(), "soap:Client");
}

TEST_F(ServiceTest, ShutdownAnswersAServerFault) {
    const ControlService service(engine, {});
    engine.Shutdown();
    const Answer answer = Call(service, Start("web"));
    EXPECT_EQ(answer.http, 500);
    EXPECT_EQ(answer.FaultCode(), "soap:Server");
    EXPECT_EQ(Call(service, Status("0", "*")).Result(), 0);
}

TEST_F(ServiceTest, RequestsWithoutCertificateFailAuthentication) {
    SecurityPolicy policy;
    policy.requireCertificate = true;
    const ControlService service(engine, policy);
    for (const std::string& body : {Start("web"), Status("0", "*"), SoapRequest("getuser", ""), std::string("junk")}) {
        const Answer answer = Call(service, body);
        EXPECT_EQ(answer.http, 500);
        EXPECT_EQ(answer.FaultCode(), "soap:Client");
        EXPECT_EQ(answer.Fault(), "ctrlauthentication");
    }
    CallerIdentity caller{true, "CN=anyone", "anyone"};
    EXPECT_EQ(Call(service, Start("web"), caller).Result(), 0);  // no list: every verified caller may act
}

TEST_F(ServiceTest, UnlistedCallersMayOnlyLook) {
    SecurityPolicy policy;
    policy.requireCertificate = true;
    policy.restrictChanges = true;
    policy.authorizedSubjects = {"CN=operator,O=Example", "CN=admin"};
    const ControlService service(engine, policy);

    const CallerIdentity stranger{true, "CN=stranger,O=Example", "stranger"};
    const std::vector<std::string> changing = {
        Start("web"),
        SoapRequest("stop", Arg("target", "web") + Arg("kill", "false") + Arg("async", "false")),
        SoapRequest("notify", Arg("event", "reload") + Arg("value", "") + Arg("target", "*") + Arg("async", "false")),
        SoapRequest("requestprogress", Arg("RequestID", "1024")),
        SoapRequest("addcomponent", Arg("filename", "x")),
        SoapRequest("deletecomponent", Arg("componentname", "web")),
    };
    for (const auto& body : changing) EXPECT_EQ(Call(service, body, stranger).Fault(), "ctrlauthorization") << body;
    EXPECT_EQ(Call(service, Status("0", "*"), stranger).Result(), 0);
    EXPECT_EQ(Call(service, Status("0", "*", "statusaslist"), stranger).Result(), 0);
    EXPECT_EQ(Call(service, SoapRequest("getuser", ""), stranger).Result(), 0);
    EXPECT_EQ(Call(service, Status("1", "web"), stranger).Output("status"), "web state=stopped\n");  // nothing ran

    const CallerIdentity fullSubject{true, "CN=operator,O=Example", "operator"};
    EXPECT_EQ(Call(service, Start("web"), fullSubject).Result(), 0);
    const CallerIdentity byCommonName{true, "CN=admin,OU=Ops,O=Example", "admin"};
    EXPECT_EQ(Call(service, Start("db"), byCommonName).Result(), 0);
    // Without a certificate, authentication fails before authorization is asked.
    EXPECT_EQ(Call(service, Status("0", "*")).Fault(), "ctrlauthentication");
}

TEST(SubjectMatch, FullSubjectOrExactCommonName) {
    const CallerIdentity caller{true, "CN=ops,O=Example", "ops"};
    EXPECT_TRUE(SubjectMatches("CN=ops,O=Example", caller));
    EXPECT_TRUE(SubjectMatches("CN=ops", caller));
    EXPECT_FALSE(SubjectMatches("CN=op", caller));
    EXPECT_FALSE(SubjectMatches("CN=ops2", caller));
    EXPECT_FALSE(SubjectMatches("cn=ops", caller));
    EXPECT_FALSE(SubjectMatches("O=Example", caller));
    EXPECT_FALSE(SubjectMatches("CN=", CallerIdentity{true, "O=Example", ""}));
    EXPECT_FALSE(SubjectMatches("CN=ops", CallerIdentity{false, "CN=ops", "ops"}));
}

TEST(SubjectList, SkipsCommentsAndBlanks) {
    SimTest::TempDir dir;
    const std::string path = dir.Write("authorized", "# operators\n\n  CN=ops  \nCN=admin,O=Example\n\t\n#CN=old\n");
    EXPECT_EQ(LoadSubjectList(path), (std::vector<std::string>{"CN=ops", "CN=admin,O=Example"}));
    EXPECT_THROW(LoadSubjectList(dir.Path() + "/missing"), std::runtime_error);
}

}  // namespace
}  // namespace DaDovuSim
