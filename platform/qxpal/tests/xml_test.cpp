// XmlWriter_t: structure, escaping, and refusal of what XML cannot carry.
#include <qxpal/exception.h>
#include <qxpal/xml.h>

#include <gtest/gtest.h>

#include <random>

using QxPalStr::String_t;
using QxPalStr::UTF16String;
using QxPalXml::XmlWriter_t;

namespace {

String_t Units(std::initializer_list<unsigned short> units) {
    return String_t(UTF16String(units.begin(), units.end()).c_str(), units.size());
}

std::string PlainText(const QxPalMsg::Exception_t& e) {
    return e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
}

// The message of the IllegalArgumentError_t that writing `text` into <target> raises.
std::string RefusalOf(const String_t& text) {
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("target");
    try {
        writer.Data(text);
    } catch (const QxPalMsg::IllegalArgumentError_t& e) {
        return PlainText(e);
    }
    return "accepted: " + out;
}

// A character-by-character reference of the data escaping.
std::string ReferenceData(const String_t& text) {
    std::string out;
    for (char c : text.ToUtf8()) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\r': out += "&#xD;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

// ---- Structure ----

TEST(XmlStructure, NestedElementsWithAttributes) {
    std::string out = "<?xml?>";
    const XmlWriter_t writer(out);
    writer.OpenTag("Envelope");
    writer.Attribute("xmlns:s", "urn:x");
    writer.OpenTag(String_t("MsgList"));
    writer.Attribute("type", "msglist");
    writer.OpenTag("Message");
    writer.Data(String_t("hi"));
    EXPECT_EQ(writer.Depth(), 3u);
    writer.CloseTag();
    writer.OpenTag("Empty");
    writer.CloseTag();
    writer.CloseTag();
    writer.CloseTag();
    EXPECT_EQ(writer.Depth(), 0u);
    EXPECT_EQ(out,
              "<?xml?><Envelope xmlns:s=\"urn:x\"><MsgList type=\"msglist\"><Message>hi</Message>"
              "<Empty></Empty></MsgList></Envelope>");
}

TEST(XmlStructure, MisuseRaisesIllegalState) {
    std::string out;
    const XmlWriter_t writer(out);
    EXPECT_THROW(writer.CloseTag(), QxPalMsg::IllegalStateError_t);
    EXPECT_THROW(writer.Attribute("a", "b"), QxPalMsg::IllegalStateError_t);
    writer.OpenTag("a");
    writer.Data("text");
    EXPECT_THROW(writer.Attribute("late", "x"), QxPalMsg::IllegalStateError_t);
    writer.CloseTag();
    EXPECT_THROW(writer.CloseTag(), QxPalMsg::IllegalStateError_t);
    EXPECT_EQ(out, "<a>text</a>");
}

TEST(XmlStructure, EmptyDataClosesTheStartTag) {
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("a");
    writer.Data(String_t());
    EXPECT_THROW(writer.Attribute("late", "x"), QxPalMsg::IllegalStateError_t);
    writer.CloseTag();
    EXPECT_EQ(out, "<a></a>");
}

// ---- Escaping ----

TEST(XmlEscape, MarkupInDataAndCarriageReturn) {
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("d");
    writer.Data(String_t("a&b<c>d\"e'f\tg\nh\r\ni"));
    writer.CloseTag();
    EXPECT_EQ(out, "<d>a&amp;b&lt;c&gt;d\"e'f\tg\nh&#xD;\ni</d>");

    std::string narrow;
    const XmlWriter_t narrowWriter(narrow);
    narrowWriter.OpenTag("d");
    narrowWriter.Data(std::string_view("a&b<c>d\"e\r"));
    narrowWriter.Data(std::string_view("plain"));
    narrowWriter.CloseTag();
    EXPECT_EQ(narrow, "<d>a&amp;b&lt;c&gt;d\"e&#xD;plain</d>");
}

TEST(XmlEscape, AttributeValuesEscapeQuotesAndWhiteSpaceControls) {
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("e");
    writer.Attribute("v", "a&b<c>d\"e'f\tg\nh\ri");
    writer.CloseTag();
    EXPECT_EQ(out, "<e v=\"a&amp;b&lt;c&gt;d&quot;e'f&#x9;g&#xA;h&#xD;i\"></e>");
}

TEST(XmlEscape, Utf16BecomesUtf8IncludingSurrogatePairs) {
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("u");
    writer.Data(Units({'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00, 0xFFFD, 0x10FF}));
    writer.CloseTag();
    EXPECT_EQ(out, "<u>a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xE1\x83\xBF</u>");
}

TEST(XmlEscape, AgreesWithAReferenceOnRandomText) {
    std::mt19937 random(12345);
    const unsigned short alphabet[] = {'a', 'Z', ' ', '&', '<', '>', '"', '\'', '\t', '\n', '\r', 0x7F, 0x80,
                                       0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD, 0x3000};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet / sizeof alphabet[0]);
    std::uniform_int_distribution<int> length(0, 80);
    for (int round = 0; round < 500; ++round) {
        UTF16String units;
        const int n = length(random);
        for (int i = 0; i < n; ++i) {
            const std::size_t k = pick(random);
            if (k == sizeof alphabet / sizeof alphabet[0]) {
                units += 0xD800 + static_cast<unsigned short>(random() % 0x400);  // a whole surrogate pair
                units += 0xDC00 + static_cast<unsigned short>(random() % 0x400);
            } else {
                units += alphabet[k];
            }
        }
        const String_t text(units.c_str(), units.size());
        std::string out;
        const XmlWriter_t writer(out);
        writer.Data(text);
        ASSERT_EQ(out, ReferenceData(text)) << "round " << round;
        std::string narrow;
        const XmlWriter_t narrowWriter(narrow);
        narrowWriter.Data(std::string_view(text.ToUtf8()));
        ASSERT_EQ(narrow, out) << "round " << round;
    }
}

// ---- Refusal ----

TEST(XmlRefusal, ControlCharactersNameElementAndCodePoint) {
    EXPECT_EQ(RefusalOf(Units({'a', 0x0000, 'b'})), "Text of element 'target' holds U+0000, which XML cannot carry.");
    EXPECT_EQ(RefusalOf(Units({0x0001})), "Text of element 'target' holds U+0001, which XML cannot carry.");
    EXPECT_EQ(RefusalOf(Units({0x0008})), "Text of element 'target' holds U+0008, which XML cannot carry.");
    EXPECT_EQ(RefusalOf(Units({0x000B})), "Text of element 'target' holds U+000B, which XML cannot carry.");
    EXPECT_EQ(RefusalOf(Units({0x001F})), "Text of element 'target' holds U+001F, which XML cannot carry.");
}

TEST(XmlRefusal, NonCharactersAndLoneSurrogates) {
    EXPECT_EQ(RefusalOf(Units({0xFFFE})), "Text of element 'target' holds U+FFFE, which XML cannot carry.");
    EXPECT_EQ(RefusalOf(Units({0xFFFF})), "Text of element 'target' holds U+FFFF, which XML cannot carry.");
    EXPECT_EQ(RefusalOf(Units({'x', 0xD800})), "Text of element 'target' holds U+D800, which XML cannot carry.");
    EXPECT_EQ(RefusalOf(Units({0xD800, 'x'})), "Text of element 'target' holds U+D800, which XML cannot carry.");
    EXPECT_EQ(RefusalOf(Units({0xDC00, 0xD800})), "Text of element 'target' holds U+DC00, which XML cannot carry.");
    EXPECT_EQ(RefusalOf(Units({0xDFFF})), "Text of element 'target' holds U+DFFF, which XML cannot carry.");
}

TEST(XmlRefusal, CarriableBoundariesAreAccepted) {
    for (const String_t& ok : {Units({0x09}), Units({0x0A}), Units({0x0D}), Units({0x20}), Units({0xD7FF}),
                               Units({0xE000}), Units({0xFFFD}), Units({0xD800, 0xDC00}), Units({0xDBFF, 0xDFFF})}) {
        EXPECT_EQ(RefusalOf(ok).rfind("accepted", 0), 0u) << RefusalOf(ok);
    }
}

TEST(XmlRefusal, Utf8DataAndAttributesAreCheckedToo) {
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("call");
    try {
        writer.Attribute("name", std::string_view("a\0b", 3));
        FAIL() << "no exception";
    } catch (const QxPalMsg::IllegalArgumentError_t& e) {
        EXPECT_EQ(PlainText(e), "Attribute 'name' of element 'call' holds U+0000, which XML cannot carry.");
    }
    EXPECT_THROW(writer.Data(std::string_view("\xEF\xBF\xBF")), QxPalMsg::IllegalArgumentError_t);  // U+FFFF
    EXPECT_THROW(writer.Data(std::string_view("\x1B[31m")), QxPalMsg::IllegalArgumentError_t);
    try {
        writer.Data(std::string_view("ok\xC0\xAF"));
        FAIL() << "no exception";
    } catch (const QxPalMsg::IllegalArgumentError_t& e) {
        EXPECT_NE(PlainText(e).find("'call'"), std::string::npos) << PlainText(e);
        EXPECT_NE(PlainText(e).find("UTF-8"), std::string::npos) << PlainText(e);
    }
    EXPECT_THROW(writer.Data(std::string_view("\xED\xA0\x80")), QxPalMsg::IllegalArgumentError_t);
}

TEST(XmlRefusal, RefusalRightAfterTheOpenTagKeepsTheStartTagOpen) {
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("a");
    EXPECT_THROW(writer.Attribute("bad", std::string_view("\x02")), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(out, "<a");
    EXPECT_THROW(writer.Data(Units({0xFFFF})), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(out, "<a");
    writer.Attribute("good", "1");
    writer.Data("t");
    writer.CloseTag();
    EXPECT_EQ(out, "<a good=\"1\">t</a>");
}

TEST(XmlRefusal, RefusedTextWritesNothingOfItself) {
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("a");
    writer.Data(String_t("x"));
    const std::string before = out;
    EXPECT_THROW(writer.Data(Units({'g', 'o', 'o', 'd', 0x0000})), QxPalMsg::IllegalArgumentError_t);
    EXPECT_THROW(writer.Data(std::string_view("good\x01")), QxPalMsg::IllegalArgumentError_t);
    EXPECT_EQ(out, before);
}
