// Response envelopes as parsed into output arguments, without a network (the
// code paths RpcCall::Invoke uses); request envelopes are tested on the wire.
#include "LnkTestSupport.h"

#include <stdexcept>
#include <type_traits>

namespace {

using namespace LnkTest;
using QxLnkSoap::ParseResponseEnvelope;
using QxLnkSoap::SOAPElement;

const std::string kOpen = "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>";
std::string Envelope(const std::string& body) { return kOpen + body + "</s:Body></s:Envelope>"; }
std::string Utf8(const unsigned short* text) { return String_t(text).ToUtf8(); }

// An output like the component list payload: takes its own element and records
// the events it receives; hands "item" elements to a plain element of their own,
// refuses "skip" subtrees and throws at "boom".
class Recorder : public SOAPArg {
public:
    explicit Recorder(const char* name) : SOAPArg(String_t(name).Data()) {}
    SOAPElement* StartElement(const unsigned short* prefix, const unsigned short* name,
                              const unsigned short* namespaceUri) override {
        const std::string local = Utf8(name);
        if (local == "boom") throw std::runtime_error("output refused to parse");
        if (local == "item") return item.StartElement(prefix, name, namespaceUri);
        if (!inside_ && local != GetName().ToUtf8()) return nullptr;
        events.push_back("start " + (inside_ ? local : Utf8(prefix) + ":" + local + " {" + Utf8(namespaceUri) + "}"));
        inside_ = true;
        return local == "skip" ? nullptr : this;
    }
    void Characters(const unsigned short* text, int length) override {
        const std::string chunk = String_t(text, static_cast<std::size_t>(length)).ToUtf8();
        if (events.back().rfind("text ", 0) == 0) {
            events.back() += chunk;  // Expat may deliver one text in pieces
        } else {
            events.push_back("text " + chunk);
        }
    }
    void EndElement(const unsigned short*, const unsigned short* name, const unsigned short*) override {
        events.push_back("end " + Utf8(name));
    }

    std::vector<std::string> events;
    SOAPElement item{String_t("item").Data()};

private:
    bool inside_ = false;
};

TEST(ResponseEnvelope, MatchesOutputsByLocalNameWhateverThePrefix) {
    for (const std::string& body :
         {Envelope("<m:startResponse xmlns:m=\"urn:x\"><result>7</result><echo>hi</echo></m:startResponse>"),
          Envelope("<startResponse xmlns=\"urn:y\"><result>7</result><echo>hi</echo></startResponse>"),
          Envelope("<r xmlns:q=\"urn:z\"><q:result>7</q:result><q:echo>hi</q:echo></r>"),
          std::string("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                      "<SOAP-ENV:Body><a:x xmlns:a=\"urn:a\"><result>7</result><echo>hi</echo></a:x>"
                      "</SOAP-ENV:Body></SOAP-ENV:Envelope>")}) {
        EXPECT_EQ(Parse(body).Summary(), "ok 7 hi") << body;
    }
    // Outputs the response lacks stay untouched; nested, Header, differently cased and later elements are none.
    EXPECT_EQ(Parse("<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header><result>5</result>"
                    "</s:Header><s:Body><m:r xmlns:m=\"urn:m\"><unknown><result>6</result></unknown><Result>8</Result>"
                    "</m:r><second><result>9</result></second></s:Body></s:Envelope>")
                  .Summary(),
              "ok -1 none");
}

TEST(ResponseEnvelope, AcceptsWhiteSpaceCommentsCdataCharacterReferencesAndOtherEncodings) {
    const Parsed utf8 = Parse(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- lead -->\n"
        "<s:Envelope\n  xmlns:s='http://schemas.xmlsoap.org/soap/envelope/'>\n  <s:Body>\n"
        "    <m:r xmlns:m=\"urn:m\">\n      <result>\n  42 <!-- c --></result>\n"
        "      <echo>a&lt;b&#x1F600;<![CDATA[<x>&amp;]]>\xc3\xa9\xf0\x9f\x98\x80&#233;</echo>\n"
        "    </m:r>\n  </s:Body>\n</s:Envelope>\n");
    EXPECT_EQ(utf8.result, 42);
    EXPECT_EQ(utf8.echo, "a<b\xf0\x9f\x98\x80<x>&amp;\xc3\xa9\xf0\x9f\x98\x80\xc3\xa9");
    EXPECT_EQ(Parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + kOpen +
                    "<r><echo>caf\xe9</echo><result>3</result></r></s:Body></s:Envelope>")
                  .Summary(),
              "ok 3 caf\xc3\xa9");
}

TEST(ResponseEnvelope, DeliversNestedEventsToTheElementThatTookTheirParent) {
    Recorder recorder("complist");
    const Parsed parsed = Parse(Envelope("<m:r xmlns:m=\"urn:m\"><result>0</result><p:complist xmlns:p=\"urn:p\">"
                                         "own<ctrlcomp><name>a&amp;b</name><skip>hidden<name>no</name><skip>x</skip>"
                                         "</skip><item>inner</item><state>3</state></ctrlcomp></p:complist></m:r>"),
                                &recorder);
    EXPECT_EQ(parsed.outcome + " " + std::to_string(parsed.result), "ok 0");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"start p:complist {urn:p}", "text own", "start ctrlcomp",
                                                         "start name", "text a&b", "end name", "start skip",
                                                         "start state", "text 3", "end state", "end ctrlcomp",
                                                         "end complist"}));
    EXPECT_EQ(recorder.item.GetCharacters().ToUtf8(), "inner");
    Recorder thrower("result");
    EXPECT_THROW(Parse(Envelope("<r><boom>1</boom></r>"), &thrower), std::runtime_error) << "passes unchanged";
    SOAPArg* none[] = {nullptr};
    EXPECT_THROW(ParseResponseEnvelope(Envelope("<r/>"), 1, none), QxPalMsg::IllegalArgumentError_t);
}

TEST(ResponseEnvelope, FaultRaisesSoapFaultExceptionWithExactlyTheFaultString) {
    static_assert(std::is_base_of_v<QxLnkSoap::SoapException, QxLnkSoap::SoapFaultException> &&
                  !std::is_base_of_v<QxLnkRpc::RpcException, QxLnkSoap::SoapFaultException>);
    const std::string fault = Envelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>  ctrl &lt;auth&gt; "
                                       "\xc3\xa9 </faultstring><detail><result>5</result></detail></s:Fault>");
    const Parsed parsed = Parse(fault);
    EXPECT_EQ(parsed.outcome, "fault:   ctrl <auth> \xc3\xa9 ");
    EXPECT_EQ(parsed.result, -1) << "a fault's detail is not an output";
    try {
        ParseResponseEnvelope(fault, 0, nullptr);
        ADD_FAILURE() << "no fault";
    } catch (const QxLnkSoap::SoapFaultException& e) {
        EXPECT_EQ(e.GetFaultCode().ToUtf8() + "|" + e.GetFaultString().ToUtf8(), "s:Client|  ctrl <auth> \xc3\xa9 ");
    }
}

TEST(ResponseEnvelope, RefusesWhatIsNotAWellFormedSoap11EnvelopeWithinTheSizeLimit) {
    const std::string big = Envelope("<r><echo>" + std::string(2000, 'x') + "</echo></r>");
    const struct {
        std::string body, part;
        std::size_t maxBytes = 64u << 20;
    } cases[] = {
        {kOpen + "\n\n<r><result>1</wrong></r></s:Body></s:Envelope>", "mismatched tag at line 3, column"},
        // An internal entity; the billion laughs are sent through Control by the hardening tests.
        {"<!DOCTYPE s:Envelope [<!ENTITY lol \"lol\">]>" + Envelope("<r><echo>&lol;</echo></r>"),
         "document type declaration"},
        {"<!DOCTYPE x SYSTEM \"file:///etc/passwd\">" + Envelope("<r><echo>&x;</echo></r>"), "document type"},
        {big, "", big.size() - 1},
        {"", ""}, {"plain text", ""}, {"<html><body>Internal Server Error</body></html>", ""},
        {"<!DOCTYPE html><html><body>Error</body></html>", ""},
        {"<Envelope><Body><r><result>1</result></r></Body></Envelope>", ""},
        {"<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body/></e:Envelope>", ""},
        {"<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"></s:Envelope>", ""},
        {kOpen + "<r><result>1</result></r>", ""},  // truncated
    };
    for (const auto& c : cases) {
        const Parsed parsed = Parse(c.body, nullptr, c.maxBytes);
        EXPECT_EQ(parsed.outcome.rfind("soap: ", 0), 0u) << c.body << "\n" << parsed.outcome;
        EXPECT_TRUE(Contains(parsed.outcome, c.part)) << parsed.outcome;
        EXPECT_FALSE(parsed.echo.has_value());
    }
    EXPECT_EQ(Parse(big, nullptr, big.size()).echo, std::string(2000, 'x'));
}

}  // namespace
