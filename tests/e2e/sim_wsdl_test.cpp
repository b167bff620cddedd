// The simulator's WSDL, fetched from its endpoint: well-formed XML (checked
// by xmllint) that names every method of the control daemon.
#include "SimNode.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <regex>
#include <set>
#include <string>

namespace {

TEST(SimWsdl, IsWellFormedAndNamesEveryMethod) {
    E2e::TempDir dir, components;
    E2e::SimNode sim(components.Path());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(sim.Uri(), m, std::regex(R"(http://([0-9.]+):([0-9]+)(/.*))"))) << sim.Uri();

    httplib::Client client(m[1].str(), std::stoi(m[2].str()));
    client.set_connection_timeout(5);
    client.set_read_timeout(5);
    const auto response = client.Get(m[3].str() + "?wsdl");
    ASSERT_TRUE(response) << httplib::to_string(response.error());
    ASSERT_EQ(response->status, 200);
    const std::string path = dir.Write("control.wsdl", response->body);

    const E2e::ProcessResult lint = E2e::Run({XMLLINT_PATH, "--noout", path});
    EXPECT_EQ(lint.exitStatus, 0) << lint.err;

    // The operations of the port type, and the address clients are sent to.
    const E2e::ProcessResult ops =
        E2e::Run({XMLLINT_PATH, "--xpath", "//*[local-name()='portType']/*[local-name()='operation']/@name", path});
    ASSERT_EQ(ops.exitStatus, 0) << ops.err;
    std::set<std::string> names;
    const std::regex attribute(R"re(name="([^"]*)")re");
    for (auto it = std::sregex_iterator(ops.out.begin(), ops.out.end(), attribute); it != std::sregex_iterator(); ++it) {
        names.insert((*it)[1]);
    }
    EXPECT_EQ(names, (std::set<std::string>{"start", "stop", "notify", "getuser", "status", "statusaslist",
                                            "requestprogress", "addcomponent", "deletecomponent"}));

    const E2e::ProcessResult address =
        E2e::Run({XMLLINT_PATH, "--xpath", "string(//*[local-name()='address']/@location)", path});
    ASSERT_EQ(address.exitStatus, 0) << address.err;
    EXPECT_EQ(address.out, sim.Uri() + "\n");
}

}  // namespace
