// The "msglist" argument: writing a message list and rebuilding it from responses.
#include <dadovu/Exceptions.h>
#include <gtest/gtest.h>
#include <qxlnk/soap.h>
#include <qxpal/message.h>
#include <qxpal/trace.h>

#include <mutex>
#include <string>
#include <vector>

#include "TestDaemon.h"
#include "soap/SOAPArgControlMessageList.h"

namespace DaDovu {
namespace {

using QxPalStr::String_t;

const String_t kMsgList("MsgList");
const String_t kResult("result");

struct Msg {
    int severity;
    std::string text;
    std::vector<std::string> params;
    bool operator==(const Msg& o) const { return severity == o.severity && text == o.text && params == o.params; }
};

std::ostream& operator<<(std::ostream& os, const Msg& m) {
    os << "{" << m.severity << "|" << m.text;
    for (const std::string& p : m.params) os << "|" << p;
    return os << "}";
}

std::vector<Msg> ReadAll(const QxPalMsg::MessageList_t& list) {
    std::vector<Msg> all;
    for (int i = 0; i < list.GetMessageCount(); ++i) {
        const QxPalMsg::Message_t& m = list.GetMessageObject(i);
        Msg msg{static_cast<int>(m.GetSeverity()), m.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), {}};
        const QxPalMsg::ParmList_t& parms = m.GetParameterList();
        for (int p = 0; p < parms.GetCount(); ++p) msg.params.push_back(parms.GetParm(p).GetText().ToUtf8());
        all.push_back(msg);
    }
    return all;
}

QxPalMsg::Message_t Make(const Msg& m) {
    QxPalMsg::CreateMessage_t message(m.severity, String_t(m.text.c_str()));
    QxPalMsg::ParmList_t parms;
    for (const std::string& p : m.params) parms.AddParm(QxPalMsg::Parm_t(String_t(p.c_str())));
    message.AddParms(parms);
    return message;
}

QxPalMsg::MessageList_t MakeList(const std::vector<Msg>& messages) {
    QxPalMsg::MessageList_t list;
    for (const Msg& m : messages) list.Add(Make(m));
    return list;
}

// Parses `body` with the outputs "result" and "MsgList" (bound to `list`), as
// the progress request does; returns the result code.
int Parse(const std::string& body, QxPalMsg::MessageList_t& list) {
    int result = -1;
    QxLnkSoap::SOAPArgInt resultArg(kResult, &result);
    resultArg.SetTypeAttribute();
    SOAPArgControlMessageList msgList(kMsgList, list);
    msgList.SetTypeAttribute();
    QxLnkSoap::SOAPArg* outputs[] = {&resultArg, &msgList};
    QxLnkSoap::ParseResponseEnvelope(body, 2, outputs);
    return result;
}

std::string Response(const std::string& inner) {
    return SoapTest::Reply::Result(0).RawOutput("MsgList", inner, "msglist").Body();
}

std::vector<Msg> ParseMessages(const std::string& inner) {
    QxPalMsg::MessageList_t list;
    EXPECT_EQ(Parse(Response(inner), list), 0);
    return ReadAll(list);
}

std::string Message(const std::string& severity, const std::string& text, const std::string& params = "") {
    return "<Message><Severity>" + severity + "</Severity><Catalog><CatalogID>ctrl</CatalogID><MsgNo>7</MsgNo>"
           "</Catalog><MsgString>" + text + "</MsgString>" + params + "</Message>";
}

std::string WriteContent(const QxPalMsg::MessageList_t& list) {
    QxPalMsg::MessageList_t copy(list);
    SOAPArgControlMessageList arg(kMsgList, copy);
    std::string content;
    QxPalXml::XmlWriter_t writer(content);
    arg.WriteContentTo(writer);
    return content;
}

struct TraceLine {
    std::string level, source, text;
};

// Captures the lines of "ctrl.soap" with `mask` in force while it lives.
class SoapTraceCapture {
public:
    explicit SoapTraceCapture(unsigned mask) : previousMask_(QxPalTrc::TraceObj_t::Get("ctrl.soap").GetMask()) {
        QxPalTrc::SetTraceSink([this](const std::string& line) { Add(line); });
        QxPalTrc::SetTraceMask("ctrl.soap", mask);
    }
    ~SoapTraceCapture() {
        QxPalTrc::SetTraceSink({});
        QxPalTrc::SetTraceMask("ctrl.soap", previousMask_);
    }
    SoapTraceCapture(const SoapTraceCapture&) = delete;
    SoapTraceCapture& operator=(const SoapTraceCapture&) = delete;

    std::vector<TraceLine> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const TraceLine& line : Lines()) texts.push_back(line.text);
        return texts;
    }

private:
    void Add(const std::string& line) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (int i = 0; i < 5; ++i) {
            const std::size_t tab = line.find('\t', start);
            if (tab == std::string::npos) return;
            fields.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        if (fields[2] != "ctrl.soap") return;
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({fields[3], fields[4], line.substr(start)});
    }

    unsigned previousMask_;
    mutable std::mutex mutex_;
    std::vector<TraceLine> lines_;
};

TEST(PayloadMessageListWrite, WritesEachMessageInTheDocumentedShape) {
    QxPalMsg::MessageList_t list;
    QxPalMsg::CreateError_t error(Catalog::GetCatalog(), 98, "No more <components> & such.");
    QxPalMsg::ParmList_t parms;
    parms.AddParm(QxPalMsg::Parm_t(String_t("p1")));
    parms.AddParm(QxPalMsg::Parm_t(String_t("p<2>")));
    error.AddParms(parms);
    list.Add(error);
    list.Add(QxPalMsg::CreateMessage_t(QxPalMsg::SEVERITY_WARNING, "plain"));

    const std::string expected =
        std::string("<Message><Severity>2</Severity><Catalog><CatalogID>") + Catalog::GetCatalog().GetCatalogID() +
        "</CatalogID><MsgNo>98</MsgNo></Catalog><MsgString>No more &lt;components&gt; &amp; such.</MsgString>"
        "<Params><Param>p1</Param><Param>p&lt;2&gt;</Param></Params></Message>"
        "<Message><Severity>1</Severity><Catalog><CatalogID></CatalogID><MsgNo>0</MsgNo></Catalog>"
        "<MsgString>plain</MsgString></Message>";
    const std::string content = WriteContent(list);
    // Empty elements may be written in their short form.
    std::string normalised = content;
    for (std::size_t at; (at = normalised.find("<CatalogID/>")) != std::string::npos;)
        normalised.replace(at, 12, "<CatalogID></CatalogID>");
    EXPECT_EQ(normalised, expected);
}

TEST(PayloadMessageListWrite, EmptyListWritesNoChildElement) {
    const QxPalMsg::MessageList_t list;
    EXPECT_EQ(WriteContent(list), "");

    QxPalMsg::MessageList_t target;
    SOAPArgControlMessageList arg(kMsgList, target);
    arg.SetTypeAttribute();
    EXPECT_STREQ(arg.GetTypeAttribute(), "msglist");
    const QxLnkSoap::SOAPArg* args[] = {&arg};
    const std::string envelope = QxLnkSoap::WriteRequestEnvelope("requestprogress", 1, args, nullptr);
    EXPECT_NE(envelope.find("MsgList"), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("msglist"), std::string::npos) << envelope;
    EXPECT_EQ(envelope.find("<Message>"), std::string::npos) << envelope;
}

TEST(PayloadMessageListRoundTrip, KeepsSeveritiesTextsAndParametersInOrder) {
    const std::vector<Msg> messages = {
        {QxPalMsg::SEVERITY_INFO, "Starting component 'a'.", {"a"}},
        {QxPalMsg::SEVERITY_WARNING, "Slow <start> & more", {"x", "", "y & <z>"}},
        {QxPalMsg::SEVERITY_ERROR, "", {}},
        {QxPalMsg::SEVERITY_FATAL, "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80\nsecond line", {"\xE2\x82\xAC"}},
    };
    QxPalMsg::MessageList_t parsed;
    EXPECT_EQ(Parse(Response(WriteContent(MakeList(messages))), parsed), 0);
    EXPECT_EQ(ReadAll(parsed), messages);
}

TEST(PayloadMessageListRoundTrip, CatalogAndNumberAreNotCarriedBack) {
    QxPalMsg::MessageList_t list;
    list.Add(QxPalMsg::CreateError_t(Catalog::GetCatalog(), 166, "text"));
    QxPalMsg::MessageList_t parsed;
    EXPECT_EQ(Parse(Response(WriteContent(list)), parsed), 0);
    ASSERT_EQ(parsed.GetMessageCount(), 1);
    EXPECT_STREQ(parsed.GetMessageObject(0).GetMessageCatalog(), "");
    EXPECT_EQ(parsed.GetMessageObject(0).GetMessageNo(), 0u);
    EXPECT_EQ(parsed.GetMessageObject(0).GetSeverity(), QxPalMsg::SEVERITY_ERROR);
}

TEST(PayloadMessageListRoundTrip, RequestEnvelopeCarriesTheSameContent) {
    const std::vector<Msg> messages = {{1, "one", {"p"}}, {2, "two", {}}};
    QxPalMsg::MessageList_t source = MakeList(messages);
    SOAPArgControlMessageList arg(kMsgList, source);
    arg.SetTypeAttribute();
    const QxLnkSoap::SOAPArg* args[] = {&arg};
    const std::string envelope = QxLnkSoap::WriteRequestEnvelope("requestprogress", 1, args, nullptr);
    const std::size_t open = envelope.find("<Message>");
    const std::size_t close = envelope.rfind("</Message>");
    ASSERT_NE(open, std::string::npos) << envelope;
    ASSERT_NE(close, std::string::npos) << envelope;
    EXPECT_EQ(ParseMessages(envelope.substr(open, close + 10 - open)), messages);
}

TEST(PayloadMessageListParse, MessageWithoutParametersAfterOneWithParametersHasNone) {
    const std::vector<Msg> parsed = ParseMessages(
        Message("2", "first", "<Params><Param>a</Param><Param>b</Param></Params>") + Message("0", "second") +
        Message("1", "third", "<Params></Params>"));
    EXPECT_EQ(parsed, (std::vector<Msg>{{2, "first", {"a", "b"}}, {0, "second", {}}, {1, "third", {}}}));
}

TEST(PayloadMessageListParse, MessageWithoutSeverityOrTextGetsDefaultsNotThePreviousValues) {
    const std::vector<Msg> parsed = ParseMessages(
        Message("3", "fatal one") + "<Message><MsgString>no severity</MsgString></Message>" +
        Message("2", "error one") + "<Message><Severity>1</Severity></Message>" + "<Message/>");
    EXPECT_EQ(parsed, (std::vector<Msg>{{3, "fatal one", {}},
                                        {QxPalMsg::SEVERITY_INFO, "no severity", {}},
                                        {2, "error one", {}},
                                        {1, "", {}},
                                        {QxPalMsg::SEVERITY_INFO, "", {}}}));
}

TEST(PayloadMessageListParse, ParametersOutsideAMessageReachNoMessage) {
    const std::vector<Msg> parsed = ParseMessages(
        "<Params><Param>before</Param></Params>" + Message("0", "one") + "<Param>between</Param>" +
        Message("1", "two", "<Params><Param>own</Param></Params>") + "<Param>after</Param>");
    EXPECT_EQ(parsed, (std::vector<Msg>{{0, "one", {}}, {1, "two", {"own"}}}));
}

TEST(PayloadMessageListParse, ElementsAreMatchedByNameWhereverTheyStand) {
    // Children in another order, and a Param outside Params but inside its message.
    const std::vector<Msg> parsed = ParseMessages(
        "<Message><Param>loose</Param><MsgString>text</MsgString><Params><Param>p</Param></Params>"
        "<Severity>2</Severity></Message>");
    EXPECT_EQ(parsed, (std::vector<Msg>{{2, "text", {"p"}}}));
}

TEST(PayloadMessageListParse, NonNumericSeverityConvertsAsToIntDoes) {
    for (const char* text : {"error", " 2x", "-1", ""}) {
        const std::vector<Msg> parsed = ParseMessages(Message(text, "m"));
        ASSERT_EQ(parsed.size(), 1u) << text;
        EXPECT_EQ(parsed[0].severity, static_cast<int>(QxPalMsg::CreateMessage_t(String_t(text).ToInt(), "m")
                                                           .GetSeverity()))
            << text;
    }
}

TEST(PayloadMessageListParse, UnknownElementsAreSkippedWithTheirContent) {
    const std::vector<Msg> parsed = ParseMessages(
        "<Extra><Message><MsgString>hidden</MsgString></Message></Extra>" +
        std::string("<Message><Severity>1</Severity><MsgString>keep <b>bold</b>this</MsgString>"
                    "<Note><Param>hidden</Param></Note></Message>"));
    EXPECT_EQ(parsed, (std::vector<Msg>{{1, "keep this", {}}}));
}

TEST(PayloadMessageListParse, CallersListIsEmptiedWhenTheElementStarts) {
    QxPalMsg::MessageList_t list = MakeList({{2, "old", {"o"}}});
    EXPECT_EQ(Parse(Response(Message("0", "new one") + Message("1", "new two")), list), 0);
    EXPECT_EQ(ReadAll(list), (std::vector<Msg>{{0, "new one", {}}, {1, "new two", {}}}));

    list = MakeList({{2, "old", {}}});
    EXPECT_EQ(Parse(Response(""), list), 0);
    EXPECT_EQ(list.GetMessageCount(), 0);
}

TEST(PayloadMessageListParse, CallersListIsUntouchedWhenTheResponseLacksTheElement) {
    QxPalMsg::MessageList_t list = MakeList({{2, "old", {"o"}}});
    EXPECT_EQ(Parse(SoapTest::Reply::Result(5).Body(), list), 5);
    EXPECT_EQ(ReadAll(list), (std::vector<Msg>{{2, "old", {"o"}}}));

    const std::string otherName =
        SoapTest::Reply::Result(0).RawOutput("Messages", Message("0", "x"), "msglist").Body();
    EXPECT_EQ(Parse(otherName, list), 0);
    EXPECT_EQ(ReadAll(list), (std::vector<Msg>{{2, "old", {"o"}}}));
}

TEST(PayloadMessageListParse, ElementsAfterTheArgumentAreNotTaken) {
    const std::string body = SoapTest::Reply::Result(0)
                                 .RawOutput("MsgList", Message("1", "inside"), "msglist")
                                 .RawOutput("Message", "<MsgString>after</MsgString>")
                                 .Body();
    QxPalMsg::MessageList_t list;
    EXPECT_EQ(Parse(body, list), 0);
    EXPECT_EQ(ReadAll(list), (std::vector<Msg>{{1, "inside", {}}}));
}

TEST(PayloadMessageListTrace, ParsingTracesStartsEndsDataAndCreatedMessages) {
    QxPalMsg::MessageList_t list;
    const std::string body =
        Response("<Message><Severity>2</Severity><MsgString>hi</MsgString>"
                 "<Params><Param>p</Param></Params></Message>");
    SoapTraceCapture capture(1);
    EXPECT_EQ(Parse(body, list), 0);
    const std::vector<std::string> texts = capture.Texts();
    const QxPalMsg::Message_t& created = list.GetMessageObject(0);
    const std::vector<std::string> expected = {
        "Start Element called for:MsgList",
        "Start Element called for:Message",
        "Start Element called for:Severity",
        "End Element called for:Severity",
        "Data:2",
        "Start Element called for:MsgString",
        "End Element called for:MsgString",
        "Data:hi",
        "Start Element called for:Params",
        "Start Element called for:Param",
        "End Element called for:Param",
        "Data:p",
        "End Element called for:Params",
        "Data:p",  // the text collected since the last element started
        "End Element called for:Message",
        "Message created :" + created.Format(QxPalMsg::FORMAT_FULL).ToUtf8(),
        "End Element called for:MsgList",
    };
    // "Start Element" lines for elements offered to the argument before its
    // own (the result) may come first.
    ASSERT_GE(texts.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(texts.end() - static_cast<long>(expected.size()), texts.end()), expected);
    for (const TraceLine& line : capture.Lines()) {
        EXPECT_EQ(line.level, "1");
        EXPECT_EQ(line.source.rfind("SOAPArgControlMessageList:", 0), 0u) << line.source;
    }
}

TEST(PayloadMessageListTrace, WritingTracesTheWholeList) {
    const QxPalMsg::MessageList_t list = MakeList({{1, "one", {}}, {2, "two", {"p"}}});
    SoapTraceCapture capture(1);
    WriteContent(list);
    EXPECT_EQ(capture.Texts(),
              std::vector<std::string>{"Writing message Content of:" + list.Format(QxPalMsg::FORMAT_FULL).ToUtf8()});
}

TEST(PayloadMessageListTrace, NothingIsTracedWhileTheLevelIsOff) {
    QxPalMsg::MessageList_t list;
    SoapTraceCapture capture(0);
    EXPECT_EQ(Parse(Response(Message("1", "x")), list), 0);
    WriteContent(list);
    EXPECT_TRUE(capture.Lines().empty());
}

}  // namespace
}  // namespace DaDovu
