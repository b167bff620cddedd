// The payload arguments: "cclist" (component records) and "msglist"
// (messages), written and read back from response envelopes.

#include <qxlnk/soap.h>
#include <list>

#include "TestEnvironment.h"
#include "soap/SOAPArgControlComponentList.h"
#include "soap/SOAPArgControlMessageList.h"

namespace {

using namespace DaDovuTest;
using namespace DaDovu;
using QxPalStr::String_t;

const String_t kComplist("complist");
const String_t kMsgList("MsgList");

// Parses `body` with the outputs "result" and `arg`, as a request does; returns "result".
int Parse(const std::string& body, QxLnkSoap::SOAPArg& arg) {
    int result = -1;
    QxLnkSoap::SOAPArgInt resultArg(String_t("result"), &result);
    QxLnkSoap::SOAPArg* outputs[] = {&resultArg, &arg};
    QxLnkSoap::ParseResponseEnvelope(body, 2, outputs);
    return result;
}

// What `arg` writes between its tags.
std::string Content(const QxLnkSoap::SOAPArg& arg) {
    std::string content;
    QxPalXml::XmlWriter_t writer(content);
    arg.WriteContentTo(writer);
    return content;
}

// --- cclist ---------------------------------------------------------------------

Texts Records(const std::list<ControlComponent>& list) {
    Texts all;
    for (const ControlComponent& record : list) all.push_back(Fields(record));
    return all;
}

// Parses a response whose argument `name` holds `inner`, appending to `list`.
int ParseRecords(const std::string& inner, std::list<ControlComponent>& list, const std::string& name = "complist") {
    SOAPArgControlComponentList arg(kComplist, list);
    return Parse(SoapTest::Reply::Result(0).RawOutput(name, inner, "cclist").Body(), arg);
}

std::string Entry(const std::string& children) { return "<ctrlcomp>" + children + "</ctrlcomp>"; }

const std::string kAlpha = "alpha|The alpha service|core|4711|<component name=\"alpha\"/>|2";
const std::string kAlphaXml =
    "<name>alpha</name><description>The alpha service</description><category>core</category><pid>4711</pid>"
    "<xml>&lt;component name=\"alpha\"/&gt;</xml><state>2</state>";

TEST(ComponentListPayload, WrittenRecordsParseBackInOrder) {
    const Texts records = {kAlpha, "beta|Beta & friends <x>|extra|||0",
                           "gamma \xE2\x82\xAC \xF0\x9F\x98\x80|line one\nline two\r\nend||-1|<a>&amp;</a>|-1",
                           "delta|  padded  |c|99999||2147483647"};
    std::list<ControlComponent> source;
    for (const std::string& record : records) source.push_back(Record(record));
    SOAPArgControlComponentList writer(kComplist, source);
    const std::string content = Content(writer);
    EXPECT_EQ(content.rfind(Entry(kAlphaXml), 0), 0u) << content;

    std::list<ControlComponent> parsed;
    EXPECT_EQ(ParseRecords(content, parsed), 0);
    EXPECT_EQ(Records(parsed), records);
    EXPECT_EQ(Records(source), records);
    source.clear();
    EXPECT_EQ(Content(writer), "");
}

TEST(ComponentListPayload, EntriesAreReadByTheirExactNamesAndAppended) {
    const std::pair<std::string, Texts> cases[] = {
        // Children in any order.
        {Entry("<state>2</state><xml>&lt;component name=\"alpha\"/&gt;</xml><pid>4711</pid><category>core</category>"
               "<name>alpha</name><description>The alpha service</description>") + Entry(kAlphaXml),
         {kAlpha, kAlpha}},
        // Names are case-sensitive.
        {Entry("<Name>upper</Name><name>lower</name><PID>1</PID><State>2</State>") +
             Entry("<NAME>x</NAME><pid>5</pid>") + "<CtrlComp><name>not an entry</name></CtrlComp>",
         {"lower|||||-1", "|||5||-1"}},
        // Unknown elements are skipped with their children, inside an entry and outside.
        {Entry("<name>right</name><extension><name>wrong</name><pid>0</pid><deeper><state>4</state></deeper>"
               "</extension><pid>7</pid><state>1</state>") +
             "<comment><ctrlcomp><name>hidden</name></ctrlcomp></comment>" + Entry("<name>next</name>"),
         {"right|||7||1", "next|||||-1"}},
        {Entry("<description>one <b>bold</b> two</description>"), {"|one  two||||-1"}},
        // Missing fields are empty, not the previous entry's.
        {Entry(kAlphaXml) + Entry("<name>stopped</name><state>0</state>") + Entry(""),
         {kAlpha, "stopped|||||0", "|||||-1"}},
        // Empty fields, fields outside entries, a field inside a field.
        {"<pid>9</pid>" + Entry("<name>a</name><pid></pid><xml/>") + "<name>stray</name>", {"a|||||-1"}},
        {Entry("<category>c</category><name><pid>1</pid></name><state>2</state>") + Entry("<name>b</name>"),
         {"||c|1||2", "b|||||-1"}},
        {"", {}},
        {"\n  \n<other>1</other>", {}},
    };
    for (const auto& [inner, expected] : cases) {
        std::list<ControlComponent> list{Record("kept|||||0")};
        EXPECT_EQ(ParseRecords(inner, list), 0);
        const Texts records = Records(list);
        EXPECT_EQ(Texts(records.begin() + 1, records.end()), expected) << inner;
        EXPECT_EQ(records.front(), "kept|||||0");
    }
    for (const char* state : {"running", " 12abc", "-3", "", "99999999999", "+4"}) {
        std::list<ControlComponent> list;
        ParseRecords(Entry(std::string("<state>") + state + "</state>"), list);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list.front().GetState(), String_t(state).ToInt()) << state;
    }
}

TEST(ComponentListPayload, OnlyItsOwnArgumentIsTaken) {
    std::list<ControlComponent> list;
    EXPECT_EQ(ParseRecords(Entry(kAlphaXml), list, "components"), 0);
    EXPECT_EQ(ParseRecords(Entry(kAlphaXml), list, "Complist"), 0);
    EXPECT_EQ(Records(list), Texts{});
    SOAPArgControlComponentList arg(kComplist, list);
    const std::string body = SoapTest::Reply::Empty().RawOutput("complist", Entry("<name>a</name>"), "cclist")
                                 .RawOutput("ctrlcomp", "<name>after</name>").Output("result", "65", "xsd:int").Body();
    EXPECT_EQ(Parse(body, arg), 65);
    EXPECT_EQ(Records(list), Texts{"a|||||-1"});
}

// --- msglist --------------------------------------------------------------------

// A message as "severity|text|parameter|...".
QxPalMsg::MessageList_t Messages(const Texts& messages) {
    QxPalMsg::MessageList_t list;
    for (const std::string& text : messages) {
        const Texts f = Split(text, '|');
        QxPalMsg::CreateMessage_t message(std::stoi(f[0]), String_t(f.size() > 1 ? f[1].c_str() : ""));
        QxPalMsg::ParmList_t parms;
        for (std::size_t i = 2; i < f.size(); ++i) parms.AddParm(QxPalMsg::Parm_t(String_t(f[i].c_str())));
        message.AddParms(parms);
        list.Add(message);
    }
    return list;
}

Texts Read(const QxPalMsg::MessageList_t& list) {
    Texts all;
    for (int i = 0; i < list.GetMessageCount(); ++i) {
        const QxPalMsg::Message_t& m = list.GetMessageObject(i);
        std::string text = std::to_string(m.GetSeverity()) + "|" + m.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8();
        for (int p = 0; p < m.GetParameterList().GetCount(); ++p)
            text += "|" + m.GetParameterList().GetParm(p).GetText().ToUtf8();
        all.push_back(text);
    }
    return all;
}

int ParseMessages(const std::string& body, QxPalMsg::MessageList_t& list) {
    SOAPArgControlMessageList arg(kMsgList, list);
    return Parse(body, arg);
}

std::string Response(const std::string& inner) {
    return SoapTest::Reply::Result(0).RawOutput("MsgList", inner, "msglist").Body();
}

std::string Message(const std::string& severity, const std::string& text, const std::string& params = "") {
    return "<Message><Severity>" + severity + "</Severity><Catalog><CatalogID>ctrl</CatalogID><MsgNo>7</MsgNo>"
           "</Catalog><MsgString>" + text + "</MsgString>" + params + "</Message>";
}

TEST(MessageListPayload, WritesEachMessageInItsShapeAndParsesItBack) {
    const Texts messages = {"2|No more <components> & such.|p1|p<2>", "0|Starting 'a'.|a", "1|Slow & more|x||y <z>",
                            "3|\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80\nsecond line|\xE2\x82\xAC", "2|"};
    QxPalMsg::MessageList_t source = Messages(messages);
    source.Add(QxPalMsg::CreateError_t(Catalog::GetCatalog(), 98, "plain"));
    SOAPArgControlMessageList writer(kMsgList, source);
    std::string content = Content(writer);
    for (std::size_t at; (at = content.find("<CatalogID/>")) != std::string::npos;)  // either form of an empty element
        content.replace(at, 12, "<CatalogID></CatalogID>");
    EXPECT_EQ(content.rfind("<Message><Severity>2</Severity><Catalog><CatalogID></CatalogID><MsgNo>0</MsgNo></Catalog>"
                            "<MsgString>No more &lt;components&gt; &amp; such.</MsgString><Params><Param>p1</Param>"
                            "<Param>p&lt;2&gt;</Param></Params></Message><Message>", 0), 0u) << content;
    EXPECT_EQ(content.substr(content.rfind("<Message>")),
              "<Message><Severity>2</Severity><Catalog><CatalogID>ctrl</CatalogID><MsgNo>98</MsgNo></Catalog>"
              "<MsgString>plain</MsgString></Message>");
    // Read back with the catalog and number each message was sent with.
    QxPalMsg::MessageList_t parsed;
    EXPECT_EQ(ParseMessages(Response(content), parsed), 0);
    Texts expected = messages;
    expected.push_back("2|plain");
    EXPECT_EQ(Read(parsed), expected);
    ASSERT_EQ(parsed.GetMessageCount(), 6);
    EXPECT_EQ(std::string(parsed.GetMessageObject(0).GetMessageCatalog()) + " " +
                  std::to_string(parsed.GetMessageObject(0).GetMessageNo()),
              " 0");
    EXPECT_EQ(std::string(parsed.GetMessageObject(5).GetMessageCatalog()) + " " +
                  std::to_string(parsed.GetMessageObject(5).GetMessageNo()),
              "ctrl 98");
    QxPalMsg::MessageList_t empty;
    EXPECT_EQ(Content(SOAPArgControlMessageList(kMsgList, empty)), "");
}

TEST(MessageListPayload, ReplacesTheCallersListWithTheMessagesItReads) {
    const std::pair<std::string, Texts> cases[] = {
        {Message("2", "first", "<Params><Param>a</Param><Param>b</Param></Params>") + Message("0", "second") +
             Message("1", "third", "<Params></Params>"),
         {"2|first|a|b", "0|second", "1|third"}},
        // Missing severity or text: the defaults, not the previous message's.
        {Message("3", "fatal") + "<Message><MsgString>none</MsgString></Message>" + Message("2", "error") +
             "<Message><Severity>1</Severity></Message><Message/>",
         {"3|fatal", "0|none", "2|error", "1|", "0|"}},
        // Parameters outside a message reach none; children in any order.
        {"<Params><Param>before</Param></Params>" + Message("0", "one") + "<Param>between</Param>" +
             "<Message><Param>loose</Param><MsgString>two</MsgString><Params><Param>own</Param></Params>"
             "<Severity>1</Severity></Message><Param>after</Param>",
         {"0|one", "1|two|own"}},
        // Unknown elements are skipped with their content.
        {"<Extra><Message><MsgString>hidden</MsgString></Message></Extra><Message><Severity>1</Severity>"
         "<MsgString>keep <b>bold</b>this</MsgString><Note><Param>hidden</Param></Note></Message>",
         {"1|keep this"}},
        {"", {}},
    };
    for (const auto& [inner, expected] : cases) {
        QxPalMsg::MessageList_t list = Messages({"2|old|o"});
        EXPECT_EQ(ParseMessages(Response(inner), list), 0);
        EXPECT_EQ(Read(list), expected) << inner;
    }
    for (const char* severity : {"error", " 2x", "-1", ""}) {
        QxPalMsg::MessageList_t list;
        ParseMessages(Response(Message(severity, "m")), list);
        EXPECT_EQ(Read(list), Read(Messages({std::to_string(String_t(severity).ToInt()) + "|m"}))) << severity;
    }
}

// Each message keeps the catalog and number it was sent with, or none, never
// the previous message's; a number that is not a decimal in range reads 0.
TEST(MessageListPayload, KeepsEachMessagesCatalogAndNumber) {
    const std::string inner =
        "<Message><Catalog><CatalogID>sim</CatalogID><MsgNo>5</MsgNo></Catalog><MsgString>a</MsgString></Message>"
        "<Message><MsgString>b</MsgString></Message>"
        "<Message><Catalog><CatalogID>peer.cat</CatalogID><MsgNo>x7</MsgNo></Catalog></Message>"
        "<Message><Catalog><MsgNo> 4294967295\n</MsgNo></Catalog></Message>"
        "<Message><Catalog><MsgNo>4294967296</MsgNo></Catalog></Message>";
    QxPalMsg::MessageList_t list;
    EXPECT_EQ(ParseMessages(Response(inner), list), 0);
    Texts read;
    for (int i = 0; i < list.GetMessageCount(); ++i) {
        const QxPalMsg::Message_t& message = list.GetMessageObject(i);
        read.push_back(std::string(message.GetMessageCatalog()) + " " + std::to_string(message.GetMessageNo()));
    }
    EXPECT_EQ(read, (Texts{"sim 5", " 0", "peer.cat 0", " 4294967295", " 0"}));
}

TEST(MessageListPayload, LeavesTheCallersListWithoutItsOwnElement) {
    QxPalMsg::MessageList_t list = Messages({"2|old|o"});
    EXPECT_EQ(ParseMessages(SoapTest::Reply::Result(5).Body(), list), 5);
    EXPECT_EQ(ParseMessages(SoapTest::Reply::Result(0).RawOutput("Messages", Message("0", "x")).Body(), list), 0);
    EXPECT_EQ(Read(list), Texts{"2|old|o"});
    const std::string body = SoapTest::Reply::Result(0)
                                 .RawOutput("MsgList", Message("1", "inside"))
                                 .RawOutput("Message", "<MsgString>after</MsgString>")
                                 .Body();
    EXPECT_EQ(ParseMessages(body, list), 0);
    EXPECT_EQ(Read(list), Texts{"1|inside"});
}

TEST(MessageListPayload, TracesTheMessagesItCreatesAndWrites) {
    QxPalMsg::MessageList_t list;
    TraceCapture trace(1, "ctrl.soap");
    EXPECT_EQ(ParseMessages(Response("<Message><Severity>2</Severity><MsgString>hi</MsgString><Params><Param>p"
                                     "</Param></Params></Message>"), list), 0);
    Content(SOAPArgControlMessageList(kMsgList, list));
    const std::string full = list.Format(QxPalMsg::FORMAT_FULL).ToUtf8();
    const std::string start = "Start Element called for:", end = "End Element called for:";
    const Texts expected = {start + "Params", start + "Param", end + "Param", "Data:p", end + "Params",
                            "Data:p",  // the text collected since the last element started
                            end + "Message", "Message created :" + full, end + "MsgList",
                            "Writing message Content of:" + full};
    const Texts lines = trace.Get();
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(Texts(lines.end() - static_cast<long>(expected.size()), lines.end()), expected);
    for (const TraceCapture::Line& line : trace.Lines())
        EXPECT_EQ(line.source.rfind("SOAPArgControlMessageList:", 0), 0u) << line.source;
}

}  // namespace

namespace {

// What the payloads build from one response is bounded by a multiple of the
// response size limit: many empty entries, each costing far more memory than
// its bytes on the wire, make the response oversized, not the call huge.
TEST(PayloadMemory, ManyEmptyEntriesAreRefusedOnceTheirRecordsPassTheBound) {
    constexpr std::size_t kLimit = 1 << 20;
    const auto parse = [&](QxLnkSoap::SOAPArg& arg, const std::string& body) {
        int result = -1;
        QxLnkSoap::SOAPArgInt resultArg(String_t("result"), &result);
        QxLnkSoap::SOAPArg* outputs[] = {&resultArg, &arg};
        try {
            QxLnkSoap::ParseResponseEnvelope(body, 2, outputs, kLimit);
            return std::string("ok");
        } catch (const QxLnkSoap::SoapException& e) {
            return e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
        }
    };
    const std::string oversized = "larger than " + std::to_string(QxLnkSoap::kResponseMemoryFactor * kLimit) + " bytes";
    const auto repeated = [](const std::string& entry, std::size_t bytes) {
        std::string inner;
        while (inner.size() + entry.size() < bytes) inner += entry;
        return inner;
    };
    // Under the size limit on the wire, over the bound in records.
    std::list<ControlComponent> components;
    SOAPArgControlComponentList componentsArg(kComplist, components);
    const std::string manyEntries = repeated("<ctrlcomp/>", kLimit - 1024);
    EXPECT_NE(parse(componentsArg, SoapTest::Reply::Result(0).RawOutput("complist", manyEntries, "cclist").Body())
                  .find(oversized),
              std::string::npos);
    // Each record costs at least its size on the wire, and what passes stays within the bound.
    const std::size_t built = components.size();
    EXPECT_GT(built, 0u);
    EXPECT_LT(built * 11, QxLnkSoap::kResponseMemoryFactor * kLimit);
    components.clear();
    EXPECT_EQ(parse(componentsArg, SoapTest::Reply::Result(0).RawOutput("complist", repeated("<ctrlcomp/>", 64 << 10),
                                                                         "cclist").Body()),
              "ok");

    QxPalMsg::MessageList_t messages;
    SOAPArgControlMessageList messagesArg(kMsgList, messages);
    EXPECT_NE(parse(messagesArg, Response(repeated("<Message/>", kLimit - 1024))).find(oversized), std::string::npos);
    EXPECT_EQ(parse(messagesArg, Response(repeated("<Message/>", 64 << 10))), "ok");
}

}  // namespace
