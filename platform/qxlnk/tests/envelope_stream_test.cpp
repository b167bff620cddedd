// Responses that follow each other on one kept-alive connection share one
// long-lived parser. Each must still come out exactly as it does on a parser of
// its own: the same outputs, the same verdict, an error at the same line and
// column, whatever came before it.
#include "LnkTestSupport.h"

#include <TestDaemon.h>

#include <algorithm>
#include <atomic>

namespace {

using namespace LnkTest;
using SoapTest::Reply;

const std::string kOpen =
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><s:Body><m:r xmlns:m=\"urn:m\">";
const std::string kClose = "</m:r></s:Body></s:Envelope>";

std::string Doc(const std::string& outputs, const std::string& before = "", const std::string& after = "") {
    return before + kOpen + outputs + kClose + after;
}

// Well-formed and broken responses of every shape the parser tells apart.
const std::vector<std::string> kBodies = {
    Doc("<result xsi:type=\"xsd:int\">7</result><echo>a&lt;b</echo>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"),
    Doc("<result>1</result>"),
    Doc("<result>2</result>", "<?xml version='1.0' encoding='utf-8' standalone='yes' ?>", "\n \n"),
    Doc("<echo>\n<![CDATA[<x>]]>&#233;</echo>\n<result>3</result>", "\n\n  ", "<!-- after --><?pi x?>"),
    Doc("<q:result xmlns:q=\"urn:q\">4</q:result>", "<?xml version=\"1.0\"?>"),
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header><x:h xmlns:x=\"urn:x\">"
    "<result>5</result></x:h></s:Header><s:Body><r xmlns=\"urn:d\"><result>6</result></r></s:Body></s:Envelope>",
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><s:Fault><faultcode>s:Client"
    "</faultcode><faultstring>ctrlauthorization</faultstring></s:Fault></s:Body></s:Envelope>",
    Doc("<result>8</result>", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"),
    Doc("<echo>caf\xc3\xa9</echo>", "\xef\xbb\xbf"),
    Doc("<result>9</result>", "<!-- before -->"),
    Doc("<echo><qxlnk-end/>x</echo><result>10</result>"),
    // Broken: each names its position, counted from its own first line.
    Doc("<result>1</wrong>", "<?xml version=\"1.0\"?>\n"),
    Doc("\n  <result>2</result>\n <echo>x</echo\n>", "", "\n"),
    Doc("<result>3</result>", "", "<second/>"),
    Doc("<result>4</result>", "", "text"),
    Doc("<result>5</result>", "", "<qxlnk-end/>"),
    Doc("<result>6</result>", "", "<!-- open"),
    Doc("<result>7</result>", "", "</qxlnk-responses>"),
    kOpen + "<result>8</result>",
    kOpen + "<result>9</result><ec",
    Doc("<p:result>10</p:result>"),
    Doc("<result>11</result>", "<!DOCTYPE s:Envelope>"),
    Doc("<result>12</result>", "<?xml version=\"1.1\"?>"),
    "",
};

struct Parsed {
    std::string outcome;
    int result = -1;
    std::optional<std::string> echo;
};

Parsed OnItsOwn(const std::string& body) {
    Parsed parsed;
    unsigned short* echo = nullptr;
    QxLnkSoap::SOAPArgInt resultArg(String_t("result").Data(), &parsed.result);
    QxLnkSoap::SOAPArgUnicodeString echoArg(String_t("echo").Data(), &echo);
    SOAPArg* outputs[] = {&resultArg, &echoArg};
    parsed.outcome = OutcomeOf([&] { QxLnkSoap::ParseResponseEnvelope(body, 2, outputs); });
    if (echo != nullptr) parsed.echo = String_t(echo).ToUtf8();
    return parsed;
}

TEST(EnvelopeStream, EachResponseOnAKeptAliveConnectionParsesAsOnAParserOfItsOwn) {
    SoapTest::TestDaemon daemon;
    std::vector<std::string> order = kBodies;
    order.insert(order.end(), kBodies.rbegin(), kBodies.rend());
    std::rotate(order.begin() + static_cast<long>(kBodies.size()), order.begin() + static_cast<long>(kBodies.size()) + 5,
                order.end());
    std::atomic<std::size_t> next{0};
    daemon.SetHandler([&](const SoapTest::RecordedRequest&) {
        const std::string& body = order[next++ % order.size()];
        return Reply::Raw(body, body.find("Fault>") != std::string::npos ? 500 : 200);
    });
    const QxLnkMsg::Messenger messenger = MakeMessenger("TIMEOUT_MS = 10000\n");
    std::size_t failures = 0;
    for (const std::string& body : order) {
        const Parsed expected = OnItsOwn(body);
        Call call;
        call.messenger = messenger;
        call.uri = daemon.Uri();
        const std::string outcome = call.Outcome();
        // Over the wire, a parse error also names the URI.
        const std::string suffix = " (" + call.uri + ")";
        const bool named = outcome.size() >= suffix.size() && outcome.compare(outcome.size() - suffix.size(), suffix.size(), suffix) == 0;
        EXPECT_EQ(named ? outcome.substr(0, outcome.size() - suffix.size()) : outcome, expected.outcome) << body;
        EXPECT_EQ(call.result, expected.result) << body;
        EXPECT_EQ(call.echo, expected.echo) << body;
        failures += expected.outcome.rfind("soap: ", 0) == 0;
    }
    EXPECT_NE(failures, 0u);
    // A broken response costs its connection; every other one reuses it.
    EXPECT_LE(daemon.ConnectionCount(), failures + 1);
}

}  // namespace
