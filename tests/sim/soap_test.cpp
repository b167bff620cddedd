// SOAP messages: requests read by local name, refused envelopes, and the
// responses and faults the daemon writes, read back with Expat.
#include "SimTestSupport.h"
#include "SoapMessage.h"

#include <gtest/gtest.h>

namespace DaDovuSim {
namespace {

using SimTest::Arg;
using SimTest::ParseXml;
using SimTest::SoapBodyEntry;

const std::string kXsi = "http://www.w3.org/2001/XMLSchema-instance";

std::string FaultCodeOf(const std::string& body) {
    try {
        ParseSoapRequest(body);
    } catch (const SoapFault& fault) {
        return fault.Code();
    }
    return "";
}

TEST(SoapRequestRead, MethodAndArgumentsByLocalNameInOrder) {
    const auto request = ParseSoapRequest(SimTest::SoapRequest(
        "start", Arg("target", "web, @db") + Arg("boot", "false") + Arg("async", "true")));
    EXPECT_EQ(request.method, "start");
    EXPECT_EQ(request.methodNamespace, "urn:lnk:rpc");
    ASSERT_EQ(request.arguments.size(), 3u);
    EXPECT_EQ(request.arguments[0].name, "target");
    EXPECT_EQ(request.arguments[0].value, "web, @db");
    EXPECT_EQ(request.arguments[0].type, "xsd:string");
    EXPECT_EQ(request.arguments[2].name, "async");
    EXPECT_EQ(request.Find("boot")->value, "false");
    EXPECT_EQ(request.Find("kill"), nullptr);
    EXPECT_FALSE(request.targetId.has_value());
}

TEST(SoapRequestRead, AnyPrefixesDefaultNamespacesEntitiesAndHeaders) {
    const std::string body =
        "<?xml version='1.0' encoding='UTF-8'?>\n"
        "<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'>\n"
        "  <e:Header><t:TargetID xmlns:t='urn:whatever'>node-7</t:TargetID>"
        "<x:Trace xmlns:x='urn:x' e:mustUnderstand='0'>ignored</x:Trace></e:Header>\n"
        "  <e:Body>\n"
        "    <notify xmlns='urn:dadovu:control'><event>go</event><value>a &lt;b&gt; &amp; &#233;</value>"
        "<target><![CDATA[x<y]]></target><async/></notify>\n"
        "  </e:Body>\n"
        "</e:Envelope>\n";
    const auto request = ParseSoapRequest(body);
    EXPECT_EQ(request.method, "notify");
    EXPECT_EQ(request.methodNamespace, "urn:dadovu:control");
    ASSERT_TRUE(request.targetId.has_value());
    EXPECT_EQ(*request.targetId, "node-7");
    EXPECT_EQ(request.Find("value")->value, "a <b> & \xC3\xA9");
    EXPECT_EQ(request.Find("target")->value, "x<y");
    EXPECT_EQ(request.Find("async")->value, "");
}

TEST(SoapRequestRead, MethodWithoutArguments) {
    const auto request = ParseSoapRequest(SimTest::SoapRequest("getuser", ""));
    EXPECT_EQ(request.method, "getuser");
    EXPECT_TRUE(request.arguments.empty());
}

TEST(SoapRequestRead, RefusesWhatIsNotASoap11Request) {
    EXPECT_EQ(FaultCodeOf(""), "soap:Client");
    EXPECT_EQ(FaultCodeOf("<not xml"), "soap:Client");
    EXPECT_EQ(FaultCodeOf("<root/>"), "soap:Client");
    EXPECT_EQ(FaultCodeOf("<Envelope><Body><start/></Body></Envelope>"), "soap:Client");  // no namespace
    EXPECT_EQ(FaultCodeOf("<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'/>"), "soap:Client");
    EXPECT_EQ(FaultCodeOf("<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'><e:Body/></e:Envelope>"),
              "soap:Client");
    EXPECT_EQ(FaultCodeOf("<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope'><e:Body><start/></e:Body>"
                          "</e:Envelope>"),
              "soap:VersionMismatch");
    EXPECT_EQ(FaultCodeOf(SimTest::SoapRequest(
                  "start", Arg("target", "web"),
                  "<s:Session xmlns:s='urn:s' SOAP-ENV:mustUnderstand='1'>42</s:Session>")),
              "soap:MustUnderstand");
}

TEST(SoapRequestRead, RefusesDocumentTypeDeclarations) {
    // Entity expansion bombs need a DTD; SOAP forbids one anyway.
    const std::string bomb =
        "<?xml version='1.0'?><!DOCTYPE e:Envelope [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;&a;'>]>"
        "<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'><e:Body><start><target>&b;</target>"
        "</start></e:Body></e:Envelope>";
    try {
        ParseSoapRequest(bomb);
        FAIL() << "a DTD was accepted";
    } catch (const SoapFault& fault) {
        EXPECT_EQ(fault.Code(), "soap:Client");
        EXPECT_STREQ(fault.what(), "document type declarations are not allowed in SOAP messages");
    }
}

TEST(SoapResponseWrite, ResultAndStringsAreTypedUnqualifiedAndEscaped) {
    SoapResponseWriter writer("status");
    writer.AddInt("result", 65);
    const std::string awkward = "a<b & c>d \"q\" 'a'\r\nline\ttab \xE2\x82\xAC";
    writer.AddString("status", awkward);
    std::string error;
    const auto envelope = ParseXml(writer.Finish(), &error);
    ASSERT_TRUE(envelope) << error;
    EXPECT_EQ(envelope->ns, kEnvelopeNamespace);
    EXPECT_EQ(envelope->local, "Envelope");
    const auto* response = SoapBodyEntry(*envelope);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->local, "statusResponse");
    EXPECT_EQ(response->ns, kServiceNamespace);
    ASSERT_EQ(response->children.size(), 2u);
    const auto* result = response->Child("result");
    EXPECT_EQ(result->ns, "");
    EXPECT_EQ(result->text, "65");
    EXPECT_EQ(*result->Attribute(kXsi, "type"), "xsd:int");
    EXPECT_EQ(response->Child("status")->text, awkward);  // the carriage return survives
    EXPECT_EQ(*response->Child("status")->Attribute(kXsi, "type"), "xsd:string");
}

TEST(SoapResponseWrite, ComponentListShape) {
    SoapResponseWriter writer("statusaslist");
    writer.AddInt("result", 0);
    writer.AddComponentList("complist", {{"web", "front & back", "frontend", "4001", "<component name=\"web\"/>",
                                          ComponentState::Running},
                                         {"db", "", "", "", "<component name=\"db\"/>", ComponentState::Failed}});
    const auto envelope = ParseXml(writer.Finish());
    ASSERT_TRUE(envelope);
    const auto* list = SoapBodyEntry(*envelope)->Child("complist");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(*list->Attribute(kXsi, "type"), "m:cclist");
    const auto entries = list->ChildrenNamed("ctrlcomp");
    ASSERT_EQ(entries.size(), 2u);
    std::vector<std::string> order;
    for (const auto& child : entries[0]->children) order.push_back(child->local);
    EXPECT_EQ(order, (std::vector<std::string>{"name", "description", "category", "pid", "xml", "state"}));
    EXPECT_EQ(entries[0]->Child("description")->text, "front & back");
    EXPECT_EQ(entries[0]->Child("xml")->text, "<component name=\"web\"/>");
    EXPECT_EQ(entries[0]->Child("state")->text, "2");
    EXPECT_EQ(entries[1]->Child("name")->text, "db");
    EXPECT_EQ(entries[1]->Child("pid")->text, "");  // every field is written, empty or not
    EXPECT_EQ(entries[1]->Child("state")->text, "4");
}

TEST(SoapResponseWrite, EmptyListsAreEmptyElements) {
    SoapResponseWriter writer("requestprogress");
    writer.AddInt("result", 65);
    writer.AddMessageList("MsgList", {});
    writer.AddComponentList("complist", {});
    const auto envelope = ParseXml(writer.Finish());
    ASSERT_TRUE(envelope);
    const auto* response = SoapBodyEntry(*envelope);
    EXPECT_TRUE(response->Child("MsgList")->children.empty());
    EXPECT_TRUE(response->Child("complist")->children.empty());
}

TEST(SoapResponseWrite, MessageListShape) {
    SoapResponseWriter writer("requestprogress");
    writer.AddInt("result", 1);
    writer.AddMessageList("MsgList", {{0, 3, "Starting component web.", {"web"}}, {2, 14, "Done <now>.", {}}});
    const auto envelope = ParseXml(writer.Finish());
    ASSERT_TRUE(envelope);
    const auto* list = SoapBodyEntry(*envelope)->Child("MsgList");
    EXPECT_EQ(*list->Attribute(kXsi, "type"), "m:msglist");
    const auto messages = list->ChildrenNamed("Message");
    ASSERT_EQ(messages.size(), 2u);
    std::vector<std::string> order;
    for (const auto& child : messages[0]->children) order.push_back(child->local);
    EXPECT_EQ(order, (std::vector<std::string>{"Severity", "Catalog", "MsgString", "Params"}));
    EXPECT_EQ(messages[0]->Child("Severity")->text, "0");
    EXPECT_EQ(messages[0]->Child("Catalog")->Child("CatalogID")->text, "sim");
    EXPECT_EQ(messages[0]->Child("Catalog")->Child("MsgNo")->text, "3");
    EXPECT_EQ(messages[0]->Child("MsgString")->text, "Starting component web.");
    ASSERT_EQ(messages[0]->Child("Params")->ChildrenNamed("Param").size(), 1u);
    EXPECT_EQ(messages[0]->Child("Params")->Child("Param")->text, "web");
    EXPECT_EQ(messages[1]->Child("Severity")->text, "2");
    EXPECT_EQ(messages[1]->Child("MsgString")->text, "Done <now>.");
    EXPECT_EQ(messages[1]->Child("Params"), nullptr);  // no parameters, no Params
}

TEST(SoapFaultWrite, Shape) {
    const auto envelope = ParseXml(WriteSoapFault("soap:Client", "ctrlauthorization"));
    ASSERT_TRUE(envelope);
    const auto* fault = SoapBodyEntry(*envelope);
    ASSERT_NE(fault, nullptr);
    EXPECT_EQ(fault->local, "Fault");
    EXPECT_EQ(fault->ns, kEnvelopeNamespace);
    EXPECT_EQ(fault->Child("faultcode")->text, "soap:Client");
    EXPECT_EQ(fault->Child("faultcode")->ns, "");
    EXPECT_EQ(fault->Child("faultstring")->text, "ctrlauthorization");
}

}  // namespace
}  // namespace DaDovuSim
