// The "cclist" argument: writing records and reading them back from responses.
#include <dadovu/ControlComponent.h>
#include <gtest/gtest.h>
#include <qxlnk/soap.h>
#include <qxpal/string.h>

#include <list>
#include <string>
#include <vector>

#include "TestDaemon.h"
#include "api/ControlComponentImpl.h"
#include "soap/SOAPArgControlComponentList.h"

namespace DaDovu {
namespace {

using QxPalStr::String_t;

const String_t kComplist("complist");
const String_t kResult("result");

struct Fields {
    std::string name, description, category, pid, xml;
    int state;
    bool operator==(const Fields& o) const {
        return name == o.name && description == o.description && category == o.category && pid == o.pid &&
               xml == o.xml && state == o.state;
    }
};

std::ostream& operator<<(std::ostream& os, const Fields& f) {
    return os << "{" << f.name << "|" << f.description << "|" << f.category << "|" << f.pid << "|" << f.xml
              << "|" << f.state << "}";
}

ControlComponent Make(const Fields& f) {
    ControlComponent component;
    ControlComponentImpl* impl = ControlComponentImpl::GetImpl(component);
    impl->SetName(f.name.c_str());
    impl->SetDescription(f.description.c_str());
    impl->SetCategory(f.category.c_str());
    impl->SetPID(f.pid.c_str());
    impl->SetXML(f.xml.c_str());
    impl->SetState(static_cast<ComponentState>(f.state));
    return component;
}

Fields Read(const ControlComponent& c) {
    return {c.GetName().ToUtf8(), c.GetDescription().ToUtf8(), c.GetCategory().ToUtf8(),
            c.GetPID().ToUtf8(),  c.GetXML().ToUtf8(),         static_cast<int>(c.GetState())};
}

std::vector<Fields> ReadAll(const std::list<ControlComponent>& list) {
    std::vector<Fields> all;
    for (const ControlComponent& c : list) all.push_back(Read(c));
    return all;
}

// A "statusaslist" response with result 0 and `outputs` (raw XML) after it.
std::string Response(const std::string& complistInner, const std::string& argName = "complist") {
    return SoapTest::Reply::Result(0).RawOutput(argName, complistInner, "cclist").Body();
}

// Parses `body` with the outputs "result" and "complist" (bound to `list`), as
// the list status request does; returns the result code.
int Parse(const std::string& body, std::list<ControlComponent>& list) {
    int result = -1;
    QxLnkSoap::SOAPArgInt resultArg(kResult, &result);
    resultArg.SetTypeAttribute();
    SOAPArgControlComponentList complist(kComplist, list);
    complist.SetTypeAttribute();
    QxLnkSoap::SOAPArg* outputs[] = {&resultArg, &complist};
    QxLnkSoap::ParseResponseEnvelope(body, 2, outputs);
    return result;
}

std::vector<Fields> ParseEntries(const std::string& complistInner) {
    std::list<ControlComponent> list;
    EXPECT_EQ(Parse(Response(complistInner), list), 0);
    return ReadAll(list);
}

std::string Entry(const std::string& children) { return "<ctrlcomp>" + children + "</ctrlcomp>"; }

const Fields kAlpha{"alpha", "The alpha service", "core", "4711", "<component name=\"alpha\"/>", 2};
const Fields kBeta{"beta", "Beta & friends <x>", "extra", "", "", 0};

const std::string kAlphaChildren =
    "<name>alpha</name><description>The alpha service</description><category>core</category>"
    "<pid>4711</pid><xml>&lt;component name=\"alpha\"/&gt;</xml><state>2</state>";

TEST(PayloadComponentListWrite, WritesOneEntryPerRecordWithChildrenInOrder) {
    std::list<ControlComponent> list{Make(kAlpha), Make({"b", "d", "c", "1", "x", 3})};
    SOAPArgControlComponentList arg(kComplist, list);
    arg.SetTypeAttribute();
    EXPECT_STREQ(arg.GetTypeAttribute(), "cclist");
    const QxLnkSoap::SOAPArg* args[] = {&arg};
    const std::string envelope = QxLnkSoap::WriteRequestEnvelope("statusaslist", 1, args, nullptr);

    const std::string first =
        "<ctrlcomp><name>alpha</name><description>The alpha service</description><category>core</category>"
        "<pid>4711</pid><xml>&lt;component name=\"alpha\"/&gt;</xml><state>2</state></ctrlcomp>";
    const std::string second =
        "<ctrlcomp><name>b</name><description>d</description><category>c</category><pid>1</pid>"
        "<xml>x</xml><state>3</state></ctrlcomp>";
    const std::size_t at = envelope.find(first);
    ASSERT_NE(at, std::string::npos) << envelope;
    EXPECT_EQ(envelope.compare(at + first.size(), second.size(), second), 0) << envelope;
    EXPECT_NE(envelope.find("cclist"), std::string::npos) << envelope;
}

TEST(PayloadComponentListWrite, EmptyListWritesNoEntries) {
    std::list<ControlComponent> list;
    SOAPArgControlComponentList arg(kComplist, list);
    arg.SetTypeAttribute();
    const QxLnkSoap::SOAPArg* args[] = {&arg};
    const std::string envelope = QxLnkSoap::WriteRequestEnvelope("statusaslist", 1, args, nullptr);
    EXPECT_EQ(envelope.find("ctrlcomp"), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("complist"), std::string::npos) << envelope;
}

TEST(PayloadComponentListRoundTrip, WrittenRecordsParseBackInOrder) {
    const std::vector<Fields> records = {
        kAlpha,
        kBeta,
        {"gamma \xE2\x82\xAC \xF0\x9F\x98\x80", "line one\nline two\r\nend", "", "-1", "<a>&amp;</a>", -1},
        {"delta", "  padded  ", "c", "99999", "", 2147483647},
    };
    std::list<ControlComponent> source;
    for (const Fields& f : records) source.push_back(Make(f));

    // The argument's content written by the argument, carried in a response.
    std::string content;
    {
        SOAPArgControlComponentList writer(kComplist, source);
        QxPalXml::XmlWriter_t xml(content);
        writer.WriteContentTo(xml);
    }
    std::list<ControlComponent> parsed;
    EXPECT_EQ(Parse(Response(content), parsed), 0);
    EXPECT_EQ(ReadAll(parsed), records);
    EXPECT_EQ(ReadAll(source), records);  // writing leaves the records alone
}

TEST(PayloadComponentListRoundTrip, RequestEnvelopeCarriesTheSameContent) {
    std::list<ControlComponent> source{Make(kAlpha), Make(kBeta)};
    SOAPArgControlComponentList arg(kComplist, source);
    arg.SetTypeAttribute();
    const QxLnkSoap::SOAPArg* args[] = {&arg};
    const std::string envelope = QxLnkSoap::WriteRequestEnvelope("statusaslist", 1, args, nullptr);
    const std::size_t open = envelope.find("<ctrlcomp>");
    const std::size_t close = envelope.rfind("</ctrlcomp>");
    ASSERT_NE(open, std::string::npos);
    ASSERT_NE(close, std::string::npos);
    const std::string content = envelope.substr(open, close + 11 - open);
    EXPECT_EQ(ParseEntries(content), (std::vector<Fields>{kAlpha, kBeta}));
}

TEST(PayloadComponentListParse, ChildrenInAnyOrderGiveTheSameRecord) {
    const std::string reordered =
        "<state>2</state><xml>&lt;component name=\"alpha\"/&gt;</xml><pid>4711</pid>"
        "<category>core</category><name>alpha</name><description>The alpha service</description>";
    EXPECT_EQ(ParseEntries(Entry(reordered) + Entry(kAlphaChildren)), (std::vector<Fields>{kAlpha, kAlpha}));
}

TEST(PayloadComponentListParse, NamesAreCaseSensitive) {
    const std::vector<Fields> parsed =
        ParseEntries(Entry("<Name>upper</Name><name>lower</name><PID>1</PID><State>2</State>") +
                     Entry("<NAME>only</NAME><pid>5</pid>") + "<CtrlComp><name>not an entry</name></CtrlComp>");
    EXPECT_EQ(parsed, (std::vector<Fields>{{"lower", "", "", "", "", -1}, {"", "", "", "5", "", -1}}));
}

TEST(PayloadComponentListParse, UnknownElementWithChildrenInsideAnEntryIsSkipped) {
    const std::vector<Fields> parsed = ParseEntries(
        Entry("<name>right</name><extension><name>wrong</name><pid>0</pid><deeper><state>4</state></deeper>"
              "</extension><pid>7</pid><state>1</state>") +
        "<comment><ctrlcomp><name>hidden</name></ctrlcomp></comment>" + Entry("<name>next</name>"));
    EXPECT_EQ(parsed, (std::vector<Fields>{{"right", "", "", "7", "", 1}, {"next", "", "", "", "", -1}}));
}

TEST(PayloadComponentListParse, UnknownElementInsideAFieldKeepsTheFieldText) {
    const std::vector<Fields> parsed = ParseEntries(Entry("<description>one <b>bold</b> two</description>"));
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].description, "one  two");
}

TEST(PayloadComponentListParse, MissingFieldsAreEmptyNotInheritedFromThePreviousEntry) {
    const std::vector<Fields> parsed =
        ParseEntries(Entry(kAlphaChildren) + Entry("<name>stopped</name><state>0</state>") + Entry(""));
    EXPECT_EQ(parsed, (std::vector<Fields>{kAlpha, {"stopped", "", "", "", "", 0}, {"", "", "", "", "", -1}}));
}

TEST(PayloadComponentListParse, EmptyFieldElementGivesEmptyText) {
    const std::vector<Fields> parsed = ParseEntries(Entry("<name>a</name><pid></pid><xml/>"));
    EXPECT_EQ(parsed, (std::vector<Fields>{{"a", "", "", "", "", -1}}));
}

TEST(PayloadComponentListParse, NonNumericStateConvertsAsToIntDoes) {
    const char* const texts[] = {"running", " 12abc", "-3", "", "99999999999", "+4"};
    for (const char* text : texts) {
        const std::vector<Fields> parsed = ParseEntries(Entry(std::string("<state>") + text + "</state>"));
        ASSERT_EQ(parsed.size(), 1u) << text;
        EXPECT_EQ(parsed[0].state, String_t(text).ToInt()) << text;
    }
}

TEST(PayloadComponentListParse, NoEntriesAppendNothing) {
    for (const std::string inner : {"", "\n  \n", "<other>1</other>"}) {
        std::list<ControlComponent> list{Make(kBeta)};
        EXPECT_EQ(Parse(Response(inner), list), 0);
        EXPECT_EQ(ReadAll(list), std::vector<Fields>{kBeta}) << inner;
    }
}

TEST(PayloadComponentListParse, RecordsAreAppendedAfterExistingOnes) {
    std::list<ControlComponent> list{Make(kBeta)};
    EXPECT_EQ(Parse(Response(Entry(kAlphaChildren)), list), 0);
    EXPECT_EQ(ReadAll(list), (std::vector<Fields>{kBeta, kAlpha}));
}

TEST(PayloadComponentListParse, ArgumentElementOfAnotherNameIsNotTaken) {
    std::list<ControlComponent> list;
    EXPECT_EQ(Parse(Response(Entry(kAlphaChildren), "components"), list), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(Parse(Response(Entry(kAlphaChildren), "Complist"), list), 0);
    EXPECT_TRUE(list.empty());
}

TEST(PayloadComponentListParse, FieldsOutsideEntriesAddNoRecord) {
    const std::vector<Fields> parsed =
        ParseEntries("<pid>9</pid>" + Entry("<name>a</name>") + "<name>stray</name><pid>8</pid>");
    EXPECT_EQ(parsed, (std::vector<Fields>{{"a", "", "", "", "", -1}}));
}

TEST(PayloadComponentListParse, FieldNestedInAFieldDoesNotEndTheEntry) {
    const std::vector<Fields> parsed =
        ParseEntries(Entry("<category>c</category><name><pid>1</pid></name><state>2</state>") +
                     Entry("<name>b</name>"));
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].category, "c");
    EXPECT_EQ(parsed[0].pid, "1");
    EXPECT_EQ(parsed[0].state, 2);
    EXPECT_EQ(parsed[1], (Fields{"b", "", "", "", "", -1}));
}

TEST(PayloadComponentListParse, ElementsAfterTheArgumentAreNotTaken) {
    const std::string body = SoapTest::Reply::Result(0)
                                 .RawOutput("complist", Entry("<name>a</name>"), "cclist")
                                 .RawOutput("ctrlcomp", "<name>after</name>")
                                 .RawOutput("state", "3")
                                 .Body();
    std::list<ControlComponent> list;
    EXPECT_EQ(Parse(body, list), 0);
    EXPECT_EQ(ReadAll(list), (std::vector<Fields>{{"a", "", "", "", "", -1}}));
}

TEST(PayloadComponentListParse, ResultAfterTheListIsStillRead) {
    const std::string body = SoapTest::Reply::Empty()
                                 .RawOutput("complist", Entry(kAlphaChildren), "cclist")
                                 .Output("result", "65", "xsd:int")
                                 .Body();
    std::list<ControlComponent> list;
    EXPECT_EQ(Parse(body, list), 65);
    EXPECT_EQ(ReadAll(list), std::vector<Fields>{kAlpha});
}

TEST(PayloadComponentListParse, ManyEntriesKeepTheirOrder) {
    std::string inner;
    std::vector<Fields> expected;
    for (int i = 0; i < 500; ++i) {
        const std::string n = std::to_string(i);
        inner += Entry("<name>c" + n + "</name><pid>" + n + "</pid><state>" + std::to_string(i % 5) + "</state>");
        expected.push_back({"c" + n, "", "", n, "", i % 5});
    }
    EXPECT_EQ(ParseEntries(inner), expected);
}

}  // namespace
}  // namespace DaDovu
