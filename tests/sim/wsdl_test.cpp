// The WSDL kept in the repository: well-formed, complete, embedded unchanged.
#include "SimTestSupport.h"
#include "Wsdl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

namespace DaDovuSim {
namespace {

const std::string kWsdlFile = std::string(SIM_SOURCE_DIR) + "/dadovu-control.wsdl";
const std::string kWsdlNs = "http://schemas.xmlsoap.org/wsdl/";
const std::set<std::string> kMethods = {"start",        "stop",           "notify",
                                        "getuser",      "status",         "statusaslist",
                                        "requestprogress", "addcomponent", "deletecomponent"};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> NamesOf(const std::vector<const SimTest::XmlNode*>& nodes) {
    std::set<std::string> names;
    for (const auto* node : nodes)
        if (const std::string* name = node->Attribute("", "name")) names.insert(*name);
    return names;
}

TEST(Wsdl, XmllintFindsItWellFormed) {
    const std::string xmllint = XMLLINT_EXECUTABLE;
    if (xmllint.empty() || xmllint.find("NOTFOUND") != std::string::npos) GTEST_SKIP() << "xmllint is not installed";
    const std::string command = "'" + xmllint + "' --noout '" + kWsdlFile + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(Wsdl, EmbeddedTextIsTheRepositoryFile) {
    const std::string file = ReadFile(kWsdlFile);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(std::string(WsdlText()), file);
}

TEST(Wsdl, DescribesTheNineMethodsAndBothListTypes) {
    std::string error;
    const auto root = SimTest::ParseXml(std::string(WsdlText()), &error);
    ASSERT_TRUE(root) << error;
    EXPECT_EQ(root->ns, kWsdlNs);
    EXPECT_EQ(root->local, "definitions");
    EXPECT_EQ(*root->Attribute("", "targetNamespace"), "urn:dadovu:control");

    const auto* portType = root->Child("portType");
    ASSERT_NE(portType, nullptr);
    EXPECT_EQ(NamesOf(portType->ChildrenNamed("operation")), kMethods);
    const auto* binding = root->Child("binding");
    ASSERT_NE(binding, nullptr);
    EXPECT_EQ(NamesOf(binding->ChildrenNamed("operation")), kMethods);

    std::set<std::string> messages = NamesOf(root->ChildrenNamed("message"));
    for (const auto& method : kMethods) {
        EXPECT_EQ(messages.count(method + "Request"), 1u) << method;
        EXPECT_EQ(messages.count(method + "Response"), 1u) << method;
    }
    const auto* schema = root->Child("types")->Child("schema");
    ASSERT_NE(schema, nullptr);
    const auto types = NamesOf(schema->ChildrenNamed("complexType"));
    EXPECT_EQ(types.count("cclist"), 1u);
    EXPECT_EQ(types.count("msglist"), 1u);

    const auto* address = root->Child("service")->Child("port")->Child("address");
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(*address->Attribute("", "location"), std::string(kWsdlPlaceholderAddress));
}

TEST(Wsdl, DocumentsCodesIdsAndStates) {
    const std::string text(WsdlText());
    for (const char* needle : {"65  the target selects no component", "71  a selected component was not started",
                               "73  notify", "80  addcomponent", "85  deletecomponent", "IDs count up from 1024",
                               "-1 unknown, 0 stopped, 1 starting", "\"ctrlauthentication\""})
        EXPECT_NE(text.find(needle), std::string::npos) << needle;
}

TEST(Wsdl, AddressIsSetForTheServingEndpoint) {
    const std::string served = WsdlForEndpoint("https://node7:8443/dadovu.ctrl.server/lnkrpcserver?a=1&b=2");
    const auto root = SimTest::ParseXml(served);
    ASSERT_TRUE(root);
    EXPECT_EQ(*root->Child("service")->Child("port")->Child("address")->Attribute("", "location"),
              "https://node7:8443/dadovu.ctrl.server/lnkrpcserver?a=1&b=2");
}

}  // namespace
}  // namespace DaDovuSim
