// The settings examples of the READMEs, tested as written: each block is found
// by its ```ini fence, wherever the file moves it; its /var/log paths are moved
// into a temporary directory and /etc/dadovu's files are made at test time.
#include "TestEnvironment.h"
#include "TestPki.h"

#include <qxlnk/qxlnk.h>

#include <array>
#include <fstream>
#include <iterator>
#include <regex>

namespace {

using namespace DaDovuTest;

std::vector<std::string> IniBlocks(const std::string& file) {
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> blocks;
    const std::regex fence("```ini\n([\\s\\S]*?)```");
    for (std::sregex_iterator it(text.begin(), text.end(), fence), end; it != end; ++it) blocks.push_back((*it)[1]);
    return blocks;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// What the reader must take of each "key = value ; why" line of `block`: the
// value as the line reads to a person, the comment after white space left out.
std::vector<std::array<std::string, 3>> Expected(const std::string& block) {
    std::vector<std::array<std::string, 3>> keys;  // section, key, value
    std::string section;
    std::smatch match;
    for (const std::string& line : Split(block, '\n')) {
        if (std::regex_match(line, match, std::regex(R"(\[([^\]]+)\].*)"))) section = match[1];
        else if (std::regex_match(line, match, std::regex(R"(\s*([^=;#\s]+)\s*=\s*(.*?)(\s+[;#].*)?\s*)")))
            keys.push_back({section, match[1], match[2]});
    }
    return keys;
}

class SettingsExamples : public ::testing::TestWithParam<const char*> {};

TEST_P(SettingsExamples, ReadAsWrittenWithHttpsForNodeNamesAndAWorkingTransport) {
    const std::vector<std::string> blocks = IniBlocks(std::string(DADOVU_SOURCE_DIR) + "/" + GetParam());
    ASSERT_EQ(blocks.size(), 1u);
    const SoapTest::TestPki& pki = SoapTest::TestPki::Shared();
    NodeSettings scratch;  // restores the settings in force, and removes the directory
    std::string block = Replaced(blocks[0], "/var/log/", scratch.Dir() + "/");
    block = Replaced(block, "/etc/dadovu/ca.pem", pki.CaFile());
    block = Replaced(block, "/etc/dadovu/ops.pem", pki.ClientCert());
    block = Replaced(block, "/etc/dadovu/ops.key", pki.ClientKey());
    const std::string path = scratch.Dir() + "/example.conf";
    std::ofstream(path) << block;
    QxPalConfig::SetConfigPath(path);

    const auto expected = Expected(block);
    ASSERT_GE(expected.size(), 5u);
    for (const auto& [section, key, value] : expected)
        EXPECT_EQ(QxPalConfig::ConfigNamespace_t(section.c_str()).Open().GetUtf8(key.c_str()), value) << key;

    // A certificate is installed: node names mean https, and plain http is refused.
    EXPECT_TRUE(DaDovu::IsCertInstalled());
    EXPECT_EQ(DaDovu::CreateURI("node17", QxPalArray::CharArray_t(DaDovu::SERVER_IDENTIFIER), false).ToUtf8(),
              "https://node17/dadovu.ctrl.server/lnkrpcserver");
    // The transport section configures a messenger that reaches a TLS daemon.
    SoapTest::TestDaemon daemon(SoapTest::TlsFiles{pki.ServerCert(), pki.ServerKey(), pki.CaFile(), false});
    daemon.Enqueue(SoapTest::Reply::Result(0));
    const QxLnkMsg::Messenger messenger(QxPalConfig::ConfigNamespace_t("lnk.http.ext.ctrl").Open(),
                                        QxLnkMsg::Messenger::Options().SendOnly(true).RegisterWithCb(false));
    QxPalConfig::Configuration_t attributes;
    attributes.SetAttrValue("SECURE_COMM", "SSL");
    QxLnkRpc::RpcClient client(attributes, messenger);
    QxLnkRpc::RpcCall call = client.CreateCall("start", QxPalNet::URI_t(daemon.Uri().c_str()), QxLnkRpc::RpcCall::Options());
    int result = -1;
    QxLnkSoap::SOAPArgInt resultArg(QxPalStr::String_t("result").Data(), &result);
    QxLnkSoap::SOAPArg* outputs[] = {&resultArg};
    EXPECT_NO_THROW(call.Invoke(1, outputs, "UTF-8"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(daemon.LastClientSubject().find("dadovu-test-client") != std::string::npos,
              block.find("CLIENT_CERT") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Readme, SettingsExamples, ::testing::Values("README.md", "tools/ctl/README.md"),
                         [](const ::testing::TestParamInfo<const char*>& file) {
                             return std::string(file.index == 0 ? "Project" : "Dadovuctl");
                         });

}  // namespace
