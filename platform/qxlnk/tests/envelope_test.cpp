// Request envelopes as written, and response envelopes as parsed into output
// arguments, without a network (the same code paths that RpcCall::Invoke uses).

#include "LnkTestSupport.h"

#include <expat.h>

#include <stdexcept>
#include <type_traits>

namespace {

using QxLnkSoap::ParseResponseEnvelope;
using QxLnkSoap::SOAPArg;
using QxLnkSoap::SOAPArgInt;
using QxLnkSoap::SOAPArgUnicodeString;
using QxLnkSoap::SOAPElement;
using QxLnkSoap::SoapException;
using QxLnkSoap::SoapFaultException;
using QxLnkSoap::WriteRequestEnvelope;
using QxPalStr::String_t;

const std::string kEnvOpen =
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>";
const std::string kEnvClose = "</s:Body></s:Envelope>";

std::string Envelope(const std::string& bodyContent) { return kEnvOpen + bodyContent + kEnvClose; }

std::string Utf8(const unsigned short* text) { return String_t(text).ToUtf8(); }

bool WellFormed(const std::string& xml) {
    XML_Parser parser = XML_ParserCreateNS(nullptr, '|');
    const bool ok = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return ok;
}

// A custom argument like the component list payload: takes its own element,
// then every nested element but those named "skip", and records each event.
class Recorder : public SOAPArg {
public:
    explicit Recorder(const String_t& name) : SOAPArg(name.Data()) {}

    SOAPElement* StartElement(const unsigned short* prefix, const unsigned short* name,
                              const unsigned short* namespaceUri) override {
        const std::string local = Utf8(name);
        if (!inside_) {
            if (local != GetName().ToUtf8()) return nullptr;
            inside_ = true;
            events.push_back("start " + Utf8(prefix) + ":" + local + " {" + Utf8(namespaceUri) + "}");
            return this;
        }
        events.push_back("start " + local);
        return local == "skip" ? nullptr : this;
    }
    void Characters(const unsigned short* text, int length) override {
        const std::string chunk = String_t(text, static_cast<std::size_t>(length)).ToUtf8();
        if (!events.empty() && events.back().rfind("text ", 0) == 0) {
            events.back() += chunk;  // Expat may deliver one text in pieces
        } else {
            events.push_back("text " + chunk);
        }
    }
    void EndElement(const unsigned short*, const unsigned short* name, const unsigned short*) override {
        events.push_back("end " + Utf8(name));
    }

    std::vector<std::string> events;

private:
    bool inside_ = false;
};

// A custom argument that hands nested "item" elements to a separate element.
class Delegator : public SOAPArg {
public:
    explicit Delegator(const String_t& name) : SOAPArg(name.Data()), item_(String_t("item").Data()) {}
    SOAPElement* StartElement(const unsigned short* prefix, const unsigned short* name,
                              const unsigned short* namespaceUri) override {
        if (Utf8(name) == "item") {
            SOAPElement* taken = item_.StartElement(prefix, name, namespaceUri);
            return taken;
        }
        return SOAPArg::StartElement(prefix, name, namespaceUri);
    }
    void EndElement(const unsigned short* prefix, const unsigned short* name,
                    const unsigned short* namespaceUri) override {
        ++ownEnds;
        SOAPArg::EndElement(prefix, name, namespaceUri);
    }
    const String_t& ItemText() const { return item_.GetCharacters(); }
    int ownEnds = 0;

private:
    SOAPElement item_;
};

class Thrower : public SOAPArg {
public:
    Thrower() : SOAPArg(String_t("result").Data()) {}
    SOAPElement* StartElement(const unsigned short*, const unsigned short*, const unsigned short*) override {
        throw std::runtime_error("output refused to parse");
    }
};

// ------------------------------------------------------------------ writing

TEST(RequestEnvelope, HoldsTheMethodInTheServiceNamespaceWithTypedArgumentsInOrder) {
    const String_t target("comp<1>&\"x\"");
    SOAPArgUnicodeString first(String_t("target").Data(), target);
    first.SetTypeAttribute();
    SOAPArgInt second(String_t("level").Data(), -42);
    second.SetTypeAttribute();
    const SOAPArg* args[] = {&first, &second};

    const std::string xml = WriteRequestEnvelope("status", 2, args, nullptr);

    EXPECT_TRUE(WellFormed(xml)) << xml;
    EXPECT_NE(xml.find("xmlns:lnk=\"urn:qxlnk:rpc\""), std::string::npos);
    EXPECT_STREQ(QxLnkSoap::SERVICE_NAMESPACE, "urn:qxlnk:rpc");
    const auto method = xml.find("<lnk:status>");
    const auto targetPos = xml.find("<target xsi:type=\"xsd:string\">comp&lt;1&gt;&amp;");
    const auto levelPos = xml.find("<level xsi:type=\"xsd:int\">-42</level>");
    ASSERT_NE(method, std::string::npos) << xml;
    ASSERT_NE(targetPos, std::string::npos) << xml;
    ASSERT_NE(levelPos, std::string::npos) << xml;
    EXPECT_LT(method, targetPos);
    EXPECT_LT(targetPos, levelPos);
    EXPECT_EQ(xml.find("Header"), std::string::npos) << "no TargetID, no Header";
}

TEST(RequestEnvelope, CarriesTheTargetIdInTheHeader) {
    const String_t targetId("id-<7>");
    const std::string xml = WriteRequestEnvelope("start", 0, nullptr, &targetId);
    EXPECT_TRUE(WellFormed(xml)) << xml;
    const auto header = xml.find("<SOAP-ENV:Header><lnk:TargetID>id-&lt;7&gt;</lnk:TargetID></SOAP-ENV:Header>");
    EXPECT_NE(header, std::string::npos) << xml;
    EXPECT_LT(header, xml.find("<SOAP-ENV:Body>"));
}

TEST(RequestEnvelope, QualifiesCustomTypesWithTheServicePrefix) {
    SOAPArg custom(String_t("complist").Data());
    custom.SetXSITypeAttribute("cclist");
    SOAPArg schema(String_t("n").Data());
    schema.SetXSITypeAttribute("xsd:long");
    const SOAPArg* args[] = {&custom, &schema};
    const std::string xml = WriteRequestEnvelope("statusaslist", 2, args, nullptr);
    EXPECT_NE(xml.find("<complist xsi:type=\"lnk:cclist\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<n xsi:type=\"xsd:long\""), std::string::npos) << xml;
    EXPECT_STREQ(custom.GetTypeAttribute(), "cclist");
}

TEST(RequestEnvelope, RefusesTextThatXmlCannotCarry) {
    const std::vector<QxPalStr::UTF16String> texts = {
        {u'a', 0x0000, u'b'}, {u'a', 0x0001}, {0xD800, u'x'}, {u'x', 0xDC00}};
    for (const auto& units : texts) {
        SOAPArgUnicodeString arg(String_t("target").Data(), String_t(units.data(), units.size()));
        arg.SetTypeAttribute();
        const SOAPArg* args[] = {&arg};
        EXPECT_THROW(WriteRequestEnvelope("start", 1, args, nullptr), QxPalMsg::IllegalArgumentError_t);
    }
}

TEST(RequestEnvelope, RefusesMethodNamesThatCannotNameAnElement) {
    for (const char* method : {"", "1start", "st art", "a<b", "x:y"}) {
        EXPECT_THROW(WriteRequestEnvelope(method, 0, nullptr, nullptr), QxPalMsg::IllegalArgumentError_t) << method;
    }
    EXPECT_THROW(WriteRequestEnvelope(nullptr, 0, nullptr, nullptr), QxPalMsg::IllegalArgumentError_t);
}

TEST(SoapElementTest, BaseStartElementTakesOnlyItsOwnNameAndRestartsCollecting) {
    SOAPElement element(String_t("value").Data());
    const String_t other("other"), own("value"), empty("");
    EXPECT_EQ(element.StartElement(empty.Data(), other.Data(), empty.Data()), nullptr);
    EXPECT_EQ(element.StartElement(empty.Data(), own.Data(), empty.Data()), &element);
    const String_t text("abc");
    element.Characters(text.Data(), 3);
    element.EndElement(empty.Data(), own.Data(), empty.Data());
    element.Characters(text.Data(), 3);  // not collecting any more
    EXPECT_EQ(element.GetCharacters().ToUtf8(), "abc");
    element.StartElement(empty.Data(), own.Data(), empty.Data());
    EXPECT_TRUE(element.GetCharacters().IsEmpty());
}

// ------------------------------------------------------------------ parsing

TEST(ResponseEnvelope, MatchesOutputsByLocalNameWhateverThePrefix) {
    for (const std::string& response :
         {Envelope("<m:startResponse xmlns:m=\"urn:x\"><result>7</result><echo>hi</echo></m:startResponse>"),
          Envelope("<startResponse xmlns=\"urn:y\"><result>7</result><echo>hi</echo></startResponse>"),
          Envelope("<r xmlns:q=\"urn:z\"><q:result>7</q:result><q:echo>hi</q:echo></r>"),
          std::string("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                      "<SOAP-ENV:Body><a:x xmlns:a=\"urn:a\"><result>7</result><echo>hi</echo></a:x>"
                      "</SOAP-ENV:Body></SOAP-ENV:Envelope>")}) {
        int result = -1;
        unsigned short* echo = nullptr;
        SOAPArgInt resultArg(String_t("result").Data(), &result);
        SOAPArgUnicodeString echoArg(String_t("echo").Data(), &echo);
        SOAPArg* outputs[] = {&resultArg, &echoArg};
        ParseResponseEnvelope(response, 2, outputs);
        EXPECT_EQ(result, 7) << response;
        ASSERT_NE(echo, nullptr) << response;
        EXPECT_EQ(Utf8(echo), "hi");
    }
}

TEST(ResponseEnvelope, LeavesMissingOutputsUntouchedAndIgnoresUnknownElements) {
    int result = 99;
    unsigned short* echo = nullptr;
    SOAPArgInt resultArg(String_t("result").Data(), &result);
    SOAPArgUnicodeString echoArg(String_t("echo").Data(), &echo);
    SOAPArg* outputs[] = {&resultArg, &echoArg};
    ParseResponseEnvelope(
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header><result>5</result></s:Header>"
        "<s:Body><m:r xmlns:m=\"urn:m\"><unknown><result>6</result></unknown><Result>8</Result></m:r>"
        "<second><result>9</result></second></s:Body></s:Envelope>",
        2, outputs);
    EXPECT_EQ(result, 99) << "nested, Header, differently cased and later elements are not outputs";
    EXPECT_EQ(echo, nullptr);
}

TEST(ResponseEnvelope, AcceptsWhiteSpaceCommentsCdataAndCharacterReferences) {
    int result = -1;
    unsigned short* echo = nullptr;
    SOAPArgInt resultArg(String_t("result").Data(), &result);
    SOAPArgUnicodeString echoArg(String_t("echo").Data(), &echo);
    SOAPArg* outputs[] = {&resultArg, &echoArg};
    ParseResponseEnvelope(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- lead -->\n"
        "<s:Envelope\n  xmlns:s='http://schemas.xmlsoap.org/soap/envelope/'>\n  <s:Body>\n"
        "    <m:r xmlns:m=\"urn:m\">\n      <result>\n  42 <!-- c --></result>\n"
        "      <echo>a&lt;b&#x1F600;<![CDATA[<x>&amp;]]>\xc3\xa9\xf0\x9f\x98\x80&#233;</echo>\n"
        "    </m:r>\n  </s:Body>\n</s:Envelope>\n",
        2, outputs);
    EXPECT_EQ(result, 42);
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(Utf8(echo), "a<b\xf0\x9f\x98\x80<x>&amp;\xc3\xa9\xf0\x9f\x98\x80\xc3\xa9");
    // U+1F600 arrives as one surrogate pair.
    const String_t received(echo);
    EXPECT_EQ(received.Units()[3], 0xD83D);
    EXPECT_EQ(received.Units()[4], 0xDE00);
}

TEST(ResponseEnvelope, ParsesDocumentsInOtherEncodings) {
    int result = -1;
    unsigned short* echo = nullptr;
    SOAPArgInt resultArg(String_t("result").Data(), &result);
    SOAPArgUnicodeString echoArg(String_t("echo").Data(), &echo);
    SOAPArg* outputs[] = {&resultArg, &echoArg};
    ParseResponseEnvelope("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + kEnvOpen.substr(21) +
                              "<r><echo>caf\xe9</echo><result>3</result></r>" + kEnvClose,
                          2, outputs);
    EXPECT_EQ(result, 3);
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(Utf8(echo), "caf\xc3\xa9");
}

TEST(ResponseEnvelope, IntOutputTakesTheTextAsToIntConvertsIt) {
    for (const auto& [text, expected] : std::vector<std::pair<std::string, int>>{
             {" -17 ", -17}, {"12abc", 12}, {"abc", 0}, {"99999999999", 2147483647}}) {
        int result = -1;
        SOAPArgInt resultArg(String_t("result").Data(), &result);
        SOAPArg* outputs[] = {&resultArg};
        ParseResponseEnvelope(Envelope("<r><result>" + text + "</result></r>"), 1, outputs);
        EXPECT_EQ(result, expected) << text;
    }
}

TEST(ResponseEnvelope, DeliversNestedEventsToTheTakingArgumentAndSkipsRefusedSubtrees) {
    Recorder recorder(String_t("complist"));
    int result = -1;
    SOAPArgInt resultArg(String_t("result").Data(), &result);
    SOAPArg* outputs[] = {&resultArg, &recorder};
    ParseResponseEnvelope(
        Envelope("<m:r xmlns:m=\"urn:m\"><result>0</result>"
                 "<p:complist xmlns:p=\"urn:p\"><ctrlcomp><name>a&amp;b</name>"
                 "<skip>hidden<name>no</name><skip>deeper</skip></skip>"
                 "<state>3</state></ctrlcomp></p:complist></m:r>"),
        2, outputs);
    EXPECT_EQ(result, 0);
    const std::vector<std::string> expected = {
        "start p:complist {urn:p}", "start ctrlcomp", "start name", "text a&b", "end name", "start skip",
        "start state", "text 3", "end state", "end ctrlcomp", "end complist"};
    EXPECT_EQ(recorder.events, expected);
}

TEST(ResponseEnvelope, AnElementReturnedByStartElementReceivesTheNestedEvents) {
    Delegator delegator(String_t("list"));
    SOAPArg* outputs[] = {&delegator};
    ParseResponseEnvelope(Envelope("<r><list>own<item>inner text</item></list></r>"), 1, outputs);
    EXPECT_EQ(delegator.ItemText().ToUtf8(), "inner text");
    EXPECT_EQ(delegator.GetCharacters().ToUtf8(), "own");
    EXPECT_EQ(delegator.ownEnds, 1) << "the item's end goes to the item, not to the list";
}

TEST(ResponseEnvelope, AnExceptionOfAnOutputPassesUnchanged) {
    Thrower thrower;
    SOAPArg* outputs[] = {&thrower};
    EXPECT_THROW(ParseResponseEnvelope(Envelope("<r><result>1</result></r>"), 1, outputs), std::runtime_error);
}

TEST(ResponseEnvelope, FaultRaisesSoapFaultExceptionWithExactlyTheFaultString) {
    static_assert(std::is_base_of<SoapException, SoapFaultException>::value, "a fault is a SOAP failure");
    static_assert(!std::is_base_of<QxLnkRpc::RpcException, SoapFaultException>::value, "not a transport failure");
    int result = -1;
    SOAPArgInt resultArg(String_t("result").Data(), &result);
    SOAPArg* outputs[] = {&resultArg};
    try {
        ParseResponseEnvelope(Envelope("<s:Fault><faultcode>s:Client</faultcode>"
                                       "<faultstring>  ctrl &lt;auth&gt; \xc3\xa9 </faultstring>"
                                       "<detail><result>5</result></detail></s:Fault>"),
                              1, outputs);
        FAIL() << "no exception";
    } catch (const SoapFaultException& fault) {
        EXPECT_EQ(LnkTest::PlainText(fault), "  ctrl <auth> \xc3\xa9 ");
        EXPECT_EQ(fault.GetFaultString().ToUtf8(), "  ctrl <auth> \xc3\xa9 ");
        EXPECT_EQ(fault.GetFaultCode().ToUtf8(), "s:Client");
        EXPECT_EQ(fault.GetMessageList().GetMessageCount(), 1);
    }
    EXPECT_EQ(result, -1) << "a fault's detail is not an output";
}

TEST(ResponseEnvelope, MalformedXmlNamesReasonAndPosition) {
    try {
        ParseResponseEnvelope(kEnvOpen + "\n<r><result>1</wrong></r>" + kEnvClose, 0, nullptr);
        FAIL() << "no exception";
    } catch (const SoapFaultException&) {
        FAIL() << "not a fault";
    } catch (const SoapException& error) {
        const std::string text = LnkTest::PlainText(error);
        EXPECT_NE(text.find("mismatched tag"), std::string::npos) << text;
        EXPECT_NE(text.find("line 2"), std::string::npos) << text;
        EXPECT_NE(text.find("column"), std::string::npos) << text;
    }
}

TEST(ResponseEnvelope, RefusesWhatIsNotASoap11Envelope) {
    const std::vector<std::string> bodies = {
        "",
        "<html><body>Internal Server Error</body></html>",
        "<!DOCTYPE html><html><body>Error</body></html>",
        "<Envelope><Body><r><result>1</result></r></Body></Envelope>",
        "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body/></e:Envelope>",
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"></s:Envelope>",
        kEnvOpen + "<r><result>1</result></r>",  // truncated
        "plain text",
    };
    for (const auto& body : bodies) {
        int result = -1;
        SOAPArgInt resultArg(String_t("result").Data(), &result);
        SOAPArg* outputs[] = {&resultArg};
        EXPECT_THROW(ParseResponseEnvelope(body, 1, outputs), SoapException) << body;
    }
}

TEST(ResponseEnvelope, RefusesDocumentTypeDeclarationsWithoutExpandingEntities) {
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE s:Envelope [<!ENTITY lol \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) laughs += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
        laughs += "\">";
    }
    laughs += "]>" + kEnvOpen.substr(21) + "<r><echo>&lol9;</echo></r>" + kEnvClose;
    const std::string external = "<?xml version=\"1.0\"?><!DOCTYPE x SYSTEM \"file:///etc/passwd\">" +
                                 kEnvOpen.substr(21) + "<r><echo>&x;</echo></r>" + kEnvClose;
    for (const auto& body : {laughs, external}) {
        unsigned short* echo = nullptr;
        SOAPArgUnicodeString echoArg(String_t("echo").Data(), &echo);
        SOAPArg* outputs[] = {&echoArg};
        try {
            ParseResponseEnvelope(body, 1, outputs);
            FAIL() << "accepted " << body;
        } catch (const SoapException& error) {
            EXPECT_NE(LnkTest::PlainText(error).find("document type declaration"), std::string::npos)
                << LnkTest::PlainText(error);
        }
        EXPECT_EQ(echo, nullptr);
    }
}

TEST(ResponseEnvelope, RefusesBodiesOverTheLimit) {
    const std::string body = Envelope("<r><echo>" + std::string(2000, 'x') + "</echo></r>");
    unsigned short* echo = nullptr;
    SOAPArgUnicodeString echoArg(String_t("echo").Data(), &echo);
    SOAPArg* outputs[] = {&echoArg};
    EXPECT_THROW(ParseResponseEnvelope(body, 1, outputs, 1000), SoapException);
    EXPECT_EQ(echo, nullptr);
    ParseResponseEnvelope(body, 1, outputs, body.size());
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(String_t(echo).GetLength(), 2000);
}

TEST(ResponseEnvelope, RefusesNullOutputs) {
    SOAPArg* outputs[] = {nullptr};
    EXPECT_THROW(ParseResponseEnvelope(Envelope("<r/>"), 1, outputs), QxPalMsg::IllegalArgumentError_t);
}

}  // namespace
