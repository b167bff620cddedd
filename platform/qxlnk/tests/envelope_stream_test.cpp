// Responses that follow each other on one kept-alive connection share one
// long-lived parser. Each must still come out exactly as it does on a parser of
// its own: the same outputs, the same verdict, an error at the same line and
// column, whatever came before it.
#include "LnkTestSupport.h"

#include <TestDaemon.h>

#include <atomic>

namespace {

using namespace LnkTest;
using SoapTest::Reply;

const std::string kOpen =
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><s:Body><m:r xmlns:m=\"urn:m\">";
const std::string kClose = "</m:r></s:Body></s:Envelope>";
// A second frame, whose opening spans lines and holds non-ASCII text.
const std::string kOpen2 =
    "<?xml version=\"1.0\"?>\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n <s:Body>\n"
    "  <m:r xmlns:m=\"urn:\xc3\xa9t\xc3\xa9\">";
const std::string kClose2 = "</m:r>\n </s:Body>\n</s:Envelope>\n";

std::string Doc(const std::string& outputs, const std::string& before = "", const std::string& after = "") {
    return before + kOpen + outputs + kClose + after;
}
std::string Doc2(const std::string& outputs) { return kOpen2 + outputs + kClose2; }

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
    Doc(""),
    Doc2("\n<echo>\xc3\xa9</echo> <result>11</result>\n"),
    Doc2("<m:echo>x</m:echo><xsi:result>12</xsi:result>"),
    // Middles ending in what Expat holds back until the next byte: a ']' (it
    // may begin "]]>"), a CR (it may begin CR LF).
    Doc("<result>13</result>]"),
    Doc("<result>14</result>]]"),
    Doc("<result>15</result>\r"),
    Doc("<echo>x]</echo><result>16</result>]\r", "", "\r"),
    Doc2("<result>17</result>\r\n]"),
    // A CDATA section Expat reads as it comes: all consumed, yet unclosed.
    Doc("<result>18</result><![CDATA[x"),
    // After the root only white space as itself: no character reference, no CDATA.
    Doc("<result>19</result>", "", "&#32;"),
    Doc("<result>20</result>", "", "<![CDATA[ ]]>"),
    Doc("<result>21</result>", "", "\r\n&#10;"),
    // A declaration over two lines: errors placed on the right line.
    Doc("<result>22</wrong>", "<?xml version=\"1.0\"\n  encoding=\"UTF-8\"?>"),
    // A response element that is an empty-element tag, then one with content after it.
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><m:r xmlns:m=\"urn:m\"/>"
    "</s:Body></s:Envelope>",
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><m:r xmlns:m=\"urn:m\"/>"
    "<result>23</result></s:Body></s:Envelope>",
    // Broken: each names its position, counted from its own first line.
    Doc("<result>1</wrong>", "<?xml version=\"1.0\"?>\n"),
    Doc("<result>1</wrong>"),
    Doc("\n  <result>2</result>\n <echo>x</echo\n>", "", "\n"),
    Doc("<result>3</result>", "", "<second/>"),
    Doc("<result>4</result>", "", "text"),
    Doc("<result>5</result>", "", "<qxlnk-end/>"),
    Doc("<result>6</result>", "", "<!-- open"),
    Doc("<result>7</result>", "", "</qxlnk-responses>"),
    Doc("<result>7</result></qxlnk-responses>"),
    Doc("<result>8</result><!-- open"),
    Doc("<result>8</result><ec"),
    kOpen + "<result>8</result>",
    kOpen + "<result>9</result><ec",
    Doc("<p:result>10</p:result>"),
    Doc("<result>11</result>", "<!DOCTYPE s:Envelope>"),
    Doc("<result>12</result>", "<?xml version=\"1.1\"?>"),
    Doc2("<result>13</wrong>"),
    Doc2("<result>14</result>\r\n<echo>\xc3\xa9<</echo>"),
    "",
};

TEST(EnvelopeStream, EachResponseOnAKeptAliveConnectionParsesAsOnAParserOfItsOwn) {
    SoapTest::TestDaemon daemon;
    // Each body follows one of each frame, so that a body in either frame has
    // only its middle parsed; then all again in the reverse order.
    std::vector<std::string> order;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < kBodies.size(); ++i) {
            order.push_back(Doc("<result>0</result>"));
            order.push_back(Doc2("<result>0</result>"));
            order.push_back(kBodies[pass == 0 ? i : kBodies.size() - 1 - i]);
        }
    }
    std::atomic<std::size_t> next{0};
    daemon.SetHandler([&](const SoapTest::RecordedRequest&) {
        const std::string& body = order[next++ % order.size()];
        return Reply::Raw(body, body.find("Fault>") != std::string::npos ? 500 : 200);
    });
    const QxLnkMsg::Messenger messenger = MakeMessenger("TIMEOUT_MS = 10000\n");
    std::size_t failures = 0;
    for (const std::string& body : kBodies) {
        if (body.rfind("\xef\xbb\xbf", 0) == 0) continue;
        // A byte order mark takes the document off the stream, to Expat whole,
        // which counts the mark as a column of the first line.
        Parsed whole = Parse("\xef\xbb\xbf" + body);
        const std::string firstLine = "at line 1, column ";
        const std::size_t at = whole.outcome.find(firstLine);
        if (at != std::string::npos) {
            const std::size_t digits = at + firstLine.size();
            const int column = std::stoi(whole.outcome.substr(digits));
            whole.outcome.replace(digits, std::to_string(column).size(), std::to_string(column - 1));
        }
        const Parsed own = Parse(body);
        EXPECT_EQ(own.outcome, whole.outcome) << body;
        EXPECT_EQ(own.result, whole.result) << body;
        EXPECT_EQ(own.echo, whole.echo) << body;
    }
    for (const std::string& body : order) {
        const Parsed expected = Parse(body);
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
