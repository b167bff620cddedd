// The response parser a connection keeps, built from its sources: a response
// split anywhere means what it means whole, whether or not Expat defers
// reparsing, and parsing stops at the call's deadline.
#include "EnvelopeParser.h"
#include "Errors.h"

#include <qxlnk/exceptions.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using QxLnkImpl::EnvelopeParser;
using QxLnkSoap::ReparseDeferral;

const std::string kOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<s:Body><m:startResponse xmlns:m=\"urn:m\">";
const std::string kClose = "</m:startResponse></s:Body></s:Envelope>";

std::string Doc(const std::string& outputs, const std::string& after = "") { return kOpen + outputs + kClose + after; }

// Answers, faults and refusals, among them every ending Expat holds back.
const std::vector<std::string> kBodies = {
    Doc("<result>7</result><echo>a]</echo>"),
    Doc("<result>1</result>]"),
    Doc("<result>2</result>]]", "\r"),
    Doc("<echo>x\r</echo><result>3</result>\r", "\r\n"),
    Doc("<echo><![CDATA[<a>]]]]>&#233;&lt;</echo><result>4</result>"),
    Doc("<result>5</result>", "<!-- after -->\n"),
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><s:Fault><faultcode>s:Client"
    "</faultcode><faultstring>ctrlauthorization]</faultstring></s:Fault></s:Body></s:Envelope>",
    Doc("<result>6</result>", "]"),
    Doc("<result>7</result><ec"),
    Doc("<result>8</result><!-- open"),
    Doc("<result>9</wrong>"),
    kOpen + "<result>10</result>",
    Doc("<result>11</result>", "<second/>"),
    Doc("<result>12</result>", "\xc3"),
    Doc("<result>13</result><![CDATA[x"),
    Doc("<result>14</result>", "&#32;"),
    Doc("<result>15</result>", "<![CDATA[ ]]>"),
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><m:r xmlns:m=\"urn:m\"/>"
    "</s:Body></s:Envelope>",
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><m:r xmlns:m=\"urn:m\"/>"
    "<result>16</result></s:Body></s:Envelope>",
};

// What a caller learns from one response.
struct Outcome {
    std::string verdict;  // "ok", "fault: <string>" or "refused"
    int result = -1;
    std::string echo = "none";

    bool operator==(const Outcome& other) const {
        return verdict == other.verdict && result == other.result && echo == other.echo;
    }
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    return out << outcome.verdict << " " << outcome.result << " " << outcome.echo;
}

// Parses `body` fed in the pieces that end at `cuts` (ascending offsets).
Outcome Parse(EnvelopeParser& parser, const std::string& body, const std::vector<std::size_t>& cuts = {}) {
    Outcome outcome;
    QxLnkSoap::SOAPArgInt result(QxPalStr::String_t("result").Data(), &outcome.result);
    unsigned short* echo = nullptr;
    QxLnkSoap::SOAPArgUnicodeString echoArg(QxPalStr::String_t("echo").Data(), &echo);
    QxLnkSoap::SOAPArg* outputs[] = {&result, &echoArg};
    parser.Begin(2, outputs);
    std::size_t at = 0;
    bool fed = true;
    for (const std::size_t cut : cuts) {
        fed = fed && parser.Feed(body.data() + at, cut - at);
        at = cut;
    }
    try {
        if (!fed || !parser.Feed(body.data() + at, body.size() - at, true) || !parser.Finish()) parser.RaiseError();
        parser.CheckResult();
        outcome.verdict = "ok";
    } catch (const QxLnkSoap::SoapFaultException& e) {
        outcome.verdict = "fault: " + e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
    } catch (const QxLnkSoap::SoapException&) {
        outcome.verdict = "refused";
    }
    if (echo != nullptr) outcome.echo = QxPalStr::String_t(echo).ToUtf8();
    return outcome;
}

class ResponsePieces : public ::testing::TestWithParam<ReparseDeferral> {
protected:
    void SetUp() override { QxLnkSoap::SetReparseDeferral(GetParam()); }
    void TearDown() override { QxLnkSoap::SetReparseDeferral(ReparseDeferral::Library); }
};

TEST_P(ResponsePieces, EverySplitOfEveryResponseOnAReusedParserMeansWhatTheWholeMeans) {
    EnvelopeParser kept;
    for (const std::string& body : kBodies) {
        EnvelopeParser fresh;
        const Outcome whole = Parse(fresh, body);
        // In two pieces, at every point; in pieces of one byte; and whole on
        // the reused parser, which then parses only the middle of a frame it knows.
        for (std::size_t cut = 1; cut < body.size(); ++cut) ASSERT_EQ(Parse(kept, body, {cut}), whole) << cut << ": " << body;
        std::vector<std::size_t> bytes;
        for (std::size_t cut = 1; cut < body.size(); ++cut) bytes.push_back(cut);
        EXPECT_EQ(Parse(kept, body, bytes), whole) << body;
        EXPECT_EQ(Parse(kept, body), whole) << body;
        EXPECT_EQ(Parse(kept, body), whole) << body;
    }
}

TEST_P(ResponsePieces, EveryThreePieceSplitOfAShortAnswer) {
    const std::string body = "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><r>"
                             "<result>3</result><echo>]\r</echo>]</r></s:Body></s:Envelope>\r";
    EnvelopeParser fresh;
    const Outcome whole = Parse(fresh, body);
    ASSERT_EQ(whole.verdict, "ok");
    EnvelopeParser kept;
    for (std::size_t first = 1; first < body.size(); ++first) {
        for (std::size_t second = first + 1; second < body.size(); ++second)
            ASSERT_EQ(Parse(kept, body, {first, second}), whole) << first << ", " << second;
    }
}

INSTANTIATE_TEST_SUITE_P(Deferral, ResponsePieces, ::testing::Values(ReparseDeferral::Library, ReparseDeferral::Off),
                         [](const ::testing::TestParamInfo<ReparseDeferral>& param) {
                             return std::string(param.param == ReparseDeferral::Library ? "AsExpatHasIt" : "Off");
                         });

// A response still being parsed at the call deadline fails as a late one does,
// whichever route it takes; without a deadline the same response is read.
TEST(ResponseDeadline, ParsingStopsAtTheCallDeadline) {
    std::string outputs = "<result>1</result>";
    while (outputs.size() < 3 * QxLnkImpl::XmlDriver::kClockStride) outputs += "<echo>0123456789abcdef</echo>";
    for (const std::string& body : {Doc(outputs), "\xef\xbb\xbf" + Doc(outputs)}) {
        QxLnkImpl::Deadlines passed;
        passed.call = QxLnkImpl::Clock::now();
        passed.callMs = 5;
        EnvelopeParser parser;
        int result = -1;
        QxLnkSoap::SOAPArgInt resultArg(QxPalStr::String_t("result").Data(), &result);
        QxLnkSoap::SOAPArg* outputArgs[] = {&resultArg};
        parser.Begin(1, outputArgs, nullptr, &passed);
        EXPECT_FALSE(parser.Feed(body.data(), body.size(), true));
        try {
            parser.RaiseError();
        } catch (const QxLnkImpl::TransportError& e) {
            EXPECT_STREQ(e.what(), "No complete response within 5 ms");
        }
        parser.Begin(1, outputArgs);
        EXPECT_TRUE(parser.Feed(body.data(), body.size(), true));
        EXPECT_NO_THROW(parser.CheckResult());
        EXPECT_EQ(result, 1);
    }
}

}  // namespace
