// Text: String_t (UTF-8 <-> UTF-16, numbers, editing), the owned arrays, URI_t,
// XmlWriter_t, messages and their text forms, and the exception tree.
#include "QxPalTestSupport.h"

#include <climits>
#include <type_traits>

using namespace qxpal_test;

namespace {

UTF16String U(std::initializer_list<unsigned short> units) { return UTF16String(units); }
String_t Units(std::initializer_list<unsigned short> units) { return String_t(U(units).c_str(), units.size()); }
constexpr unsigned short R = 0xFFFD;

// Reference encoder of one code point, written from the encoding tables.
void Encode(char32_t cp, std::string& utf8, UTF16String& utf16) {
    const int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    utf8 += static_cast<char>(n == 1 ? cp : ((0xF00u >> n) & 0xFFu) | (cp >> (6 * (n - 1))));
    for (int i = n - 2; i >= 0; --i) utf8 += static_cast<char>(0x80u | ((cp >> (6 * i)) & 0x3Fu));
    if (cp >= 0x10000) utf16 += static_cast<unsigned short>(0xD800 + ((cp - 0x10000) >> 10));
    utf16 += static_cast<unsigned short>(cp < 0x10000 ? cp : 0xDC00 + (cp & 0x3FF));
}

// What writing `text` as the data of <target> gives: the element, or the refusal's text.
template <class Text>
std::string Written(const Text& text) {
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("target");
    const std::string refusal = FailureOf<IllegalArgumentError_t>([&] { writer.Data(text); });
    if (refusal != "no exception") EXPECT_EQ(out, "<target") << "a refusal writes nothing and leaves the tag open";
    else writer.CloseTag();
    return refusal != "no exception" ? refusal : out;
}

const MessageCatalog_t kCatalog("qxtest");

// "Outer" (error 23) with two details, the first of which has a detail of its own.
Message_t Nested() {
    Message_t inner = CreateError_t(kCatalog, 5, "Inner");
    inner.AddDetails(ListOf({CreateMessage_t(SEVERITY_WARNING, "Deepest")}));
    return CreateError_t(kCatalog, 23, "Outer").AddDetails(ListOf({inner, Message_t(String_t("Second"))}));
}

}  // namespace

TEST(StringConversion, EveryCodePointBetweenAsciiRoundTripsBothWaysAndIsWrittenAsXml) {
    std::string utf8, xml8;
    UTF16String utf16, xml16;
    // Each code point followed by ASCII, so that the ASCII fast path hands over and back each time.
    for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        Encode(cp, utf8, utf16);
        Encode('a', utf8, utf16);
        // The XML writer has an encoder of its own; markup and what XML cannot carry are tested below.
        if (cp >= 0x20 && cp != '&' && cp != '<' && cp != '>' && cp != 0xFFFE && cp != 0xFFFF) Encode(cp, xml8, xml16);
    }
    EXPECT_TRUE(String_t(utf8.c_str()).Units() == utf16);
    EXPECT_TRUE(String_t(utf16.c_str()).ToUtf8() == utf8);
    EXPECT_TRUE(Written(String_t(xml16.c_str())) == "<target>" + xml8 + "</target>");
    EXPECT_TRUE(Written(std::string_view(xml8)) == "<target>" + xml8 + "</target>");
}

TEST(StringConversion, InvalidTextBecomesReplacementCharacters) {
    // UTF-8 -> UTF-16: one U+FFFD per maximal ill-formed prefix.
    const std::pair<std::string, UTF16String> utf8[] = {
        {"\xC0\xAF", U({R, R})}, {"\xC1\x80", U({R, R})}, {"\xE0\x80\xAF", U({R, R, R})},  // overlong
        {"\xF0\x80\x80\xAF", U({R, R, R, R})}, {"\xED\xA0\x80", U({R, R, R})}, {"\xED\xBF\xBF", U({R, R, R})},
        {"\xF4\x90\x80\x80", U({R, R, R, R})}, {"\xF5\x80\x80\x80", U({R, R, R, R})}, {"\xFF", U({R})},
        {"a\xFE" "b", U({'a', R, 'b'})}, {"\x80" "a", U({R, 'a'})}, {"a\xE2\x82", U({'a', R})},
        {"\xF0\x9F\x98x", U({R, 'x'})}, {"\xC3\xE2\x82\xAC", U({R, 0x20AC})}, {"\xC3", U({R})},
    };
    for (const auto& [in, out] : utf8) EXPECT_TRUE(String_t(in).Units() == out) << testing::PrintToString(in);
    // UTF-16 -> UTF-8: each lone surrogate becomes U+FFFD.
    const std::pair<UTF16String, std::string> utf16[] = {
        {U({0xD800}), "\xEF\xBF\xBD"}, {U({0xDC00, 'a'}), "\xEF\xBF\xBD" "a"}, {U({'a', 0xDBFF}), "a\xEF\xBF\xBD"},
        {U({0xD800, 0xD800, 0xDC00}), "\xEF\xBF\xBD\xF0\x90\x80\x80"},  // lone, then a whole pair
        {U({0xDC00, 0xD800}), "\xEF\xBF\xBD\xEF\xBF\xBD"},               // a reversed pair
    };
    for (const auto& [units, expected] : utf16) EXPECT_EQ(QxPalStr::MBS_t(String_t(units.c_str()), 0).str(), expected);
}

TEST(StringNumbers, ToIntReadsTheLeadingDecimalNumberAndSaturatesAndNumToStrWritesOne) {
    const std::pair<const char*, int> cases[] = {
        {"42", 42}, {"  \t\n 42", 42}, {"+7", 7}, {"-17", -17}, {"007", 7}, {"12x34", 12}, {"12 34", 12},
        {"-0", 0}, {"\xE3\x80\x80" "5", 5}, {"", 0}, {"   ", 0}, {"abc", 0}, {"-", 0}, {"+-5", 0}, {"- 5", 0},
        {"x12", 0}, {"2147483647", INT_MAX}, {"2147483648", INT_MAX}, {"99999999999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN}, {"-2147483649", INT_MIN}, {"-99999999999999999999999999999", INT_MIN},
        {"00000000000000000000000000012", 12},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(String_t(text).ToInt(), expected) << text;
    using QxPalStr::NumToStr;
    EXPECT_TRUE(NumToStr(0) + NumToStr(INT_MIN) + NumToStr(UINT_MAX) + NumToStr(LLONG_MIN) + NumToStr(ULLONG_MAX) ==
                "0-21474836484294967295-922337203685477580818446744073709551615");
}

TEST(StringEdit, NullTrimComparisonAndConcatenation) {
    String_t none(static_cast<const char*>(nullptr));
    none += static_cast<const unsigned short*>(nullptr);
    EXPECT_TRUE(none.IsEmpty() && String_t(static_cast<const unsigned short*>(nullptr), 5).IsEmpty());
    EXPECT_EQ(String_t(std::string_view("a\0b", 3)).ToUtf8(), std::string("a\0b", 3));
    EXPECT_STREQ(QxPalArray::CharArray_t(nullptr), "");
    String_t padded(" \t a b \r\n");
    EXPECT_TRUE(&padded.Trim() == &padded && padded == "a b" && String_t(" \t\n ").Trim().IsEmpty());
    EXPECT_TRUE(String_t("\xC2\xA0\xE3\x80\x80x\xE2\x80\xA8").Trim() == "x");  // NBSP, U+3000, U+2028
    const String_t word("Grüße");
    EXPECT_TRUE(word == "Grüße" && String_t() == nullptr && word != nullptr);
    for (const char* other : {"Grüß", "Grüßen", "grüße", ""}) EXPECT_FALSE(word == other) << other;

    const UTF16String wide = U({'w', 0x00E9});
    String_t s = "x" + String_t("b") + "c" + wide.c_str();
    s += "d";
    s += wide.c_str();
    s.AppendUtf8("\xE2\x82\xAC").Append(wide.c_str(), 1);
    EXPECT_TRUE(s == "xbcwédwé€w");
    s += s;  // itself, as a string and as a pointer into itself
    s += s.Data();
    s = s.Data() + 30;
    EXPECT_TRUE(s == "xbcwédwé€w");
}

TEST(Uri, ParsesSchemeHostPortAndPathOrFindsTheFirstIllegalCharacter) {
    const std::pair<const char*, const char*> valid[] = {
        {"http://localhost:5000/ctrl.daemon/lnkrpcserver", "http localhost 5000 /ctrl.daemon/lnkrpcserver"},
        {"HTTPS://Node-1.example/p?q=1&r=2#frag", "https Node-1.example 0 /p?q=1&r=2"}, {"http://h", "http h 0 /"},
        {"http://h?x=1", "http h 0 /?x=1"}, {"http://u:pw@h:1/x", "http h 1 /x"}, {"http://h:65535/", "http h 65535 /"},
        {"http://[::1]:8080/x", "http ::1 8080 /x"}, {"https://[fe80::1%25eth0]/", "https fe80::1%25eth0 0 /"},
        {"http://[::ffff:127.0.0.1]/", "http ::ffff:127.0.0.1 0 /"},
    };
    for (const auto& [text, parts] : valid) {
        const URI_t uri{String_t(text)};
        EXPECT_TRUE(uri.IsValid() && uri.GetUtf8() == text && uri.FindIllegalCharacter() == -1) << text;
        EXPECT_EQ(uri.GetScheme() + " " + uri.GetHost() + " " + std::to_string(uri.GetPort()) + " " +
                      uri.GetPathAndQuery(), parts);
    }
    for (const char* text : {"", "localhost:80/x", "http:/h/x", "://h/", "1http://h/", "ht tp://h/", "http://",
                             "http:///path", "http://:80/", "http://h:/", "http://h:0/", "http://h:65536/",
                             "http://h:8a/", "http://h:123456/", "http://a:b:c/", "http://[::1/", "http://[::1]x/",
                             "http://[]/", "http://[zz::1]/", "http://[127.0.0.1]/", "http://h o/",
                             static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(URI_t(text).IsValid()) << (text != nullptr ? text : "null");
    }
    const std::pair<const char*, int> illegal[] = {
        {"http://h/a b", 0x20}, {"http://h/a\tb c", 0x09}, {"http://h/\x7F", 0x7F}, {"http://h/\x01", 0x01},
        {"http://h/\xC2\xA0", 0xA0}, {"http://h/\xC2\x85", 0x85}, {"http://h/\xE2\x80\x83", 0x2003},
        {" http://h/", 0x20}, {"http://h/caf\xC3\xA9/\xF0\x9F\x98\x80", -1},
    };
    for (const auto& [text, expected] : illegal) EXPECT_EQ(URI_t(text).FindIllegalCharacter(), expected) << text;
    EXPECT_TRUE(URI_t("http://h/a b").IsValid());  // what to do with the character is the caller's choice
}

TEST(XmlWriter, NestsElementsEscapesMarkupAndCarriageReturnsAndRefusesMisuse) {
    std::string out = "<?xml?>";
    const XmlWriter_t writer(out);
    EXPECT_THROW(writer.Attribute("a", "b"), IllegalStateError_t);
    writer.OpenTag("Envelope");
    writer.Attribute("v", "a&b<c>d\"e'f\tg\nh\ri");
    writer.OpenTag(String_t("Message"));
    writer.Data("hi");
    EXPECT_THROW(writer.Attribute("late", "x"), IllegalStateError_t);
    writer.CloseTag();
    writer.OpenTag("Empty");
    writer.Data(String_t());
    writer.CloseTag();
    writer.CloseTag();
    EXPECT_THROW(writer.CloseTag(), IllegalStateError_t);
    EXPECT_EQ(out, "<?xml?><Envelope v=\"a&amp;b&lt;c&gt;d&quot;e'f&#x9;g&#xA;h&#xD;i\"><Message>hi</Message>"
                   "<Empty></Empty></Envelope>");
    // Data: markup at the ends and amid runs of plain text of every UTF-8 length.
    const std::string run = "ab\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::string text = "&" + run + "<" + run + ">\"'\t\n" + run + "\r\n" + run + "&";
    const std::string escaped = "&amp;" + run + "&lt;" + run + "&gt;\"'\t\n" + run + "&#xD;\n" + run + "&amp;";
    EXPECT_EQ(Written(String_t(text.c_str())), "<target>" + escaped + "</target>");
    EXPECT_EQ(Written(std::string_view(text)), "<target>" + escaped + "</target>");
}

TEST(XmlWriter, RefusesTextXmlCannotCarryNamingElementAndCodePointAndWritingNothing) {
    const std::pair<String_t, const char*> refused[] = {
        {Units({'a', 0x0000, 'b'}), "0000"}, {Units({0x0001}), "0001"}, {Units({0x0008}), "0008"},
        {Units({0x000B}), "000B"}, {Units({0x001F}), "001F"}, {Units({0xFFFE}), "FFFE"}, {Units({0xFFFF}), "FFFF"},
        {Units({'x', 0xD800}), "D800"}, {Units({0xD800, 'x'}), "D800"}, {Units({0xDC00, 0xD800}), "DC00"},
        {Units({0xDFFF}), "DFFF"},
    };
    for (const auto& [text, code] : refused) {
        EXPECT_EQ(Written(text), std::string("Text of element 'target' holds U+") + code + ", which XML cannot carry.");
    }
    for (const char* utf8 : {"\xEF\xBF\xBF", "\x1B[31m", "\xED\xA0\x80", "ok\xC0\xAF"}) {
        EXPECT_EQ(Written(utf8).rfind("Text of element 'target'", 0), 0u) << Written(utf8);
    }
    EXPECT_NE(Written("ok\xC0\xAF").find("UTF-8"), std::string::npos);
    // A refusal leaves writer and buffer as they were.
    std::string out;
    const XmlWriter_t writer(out);
    writer.OpenTag("call");
    EXPECT_EQ(FailureOf<IllegalArgumentError_t>([&] { writer.Attribute("name", std::string_view("a\0b", 3)); }),
              "Attribute 'name' of element 'call' holds U+0000, which XML cannot carry.");
    writer.Attribute("good", "1");
    writer.Data("t");
    EXPECT_THROW(writer.Data(Units({'g', 'o', 'o', 'd', 0x0000})), IllegalArgumentError_t);
    writer.CloseTag();
    EXPECT_EQ(out, "<call good=\"1\">t</call>");
}

TEST(Message, BuildingKeepsSeverityCatalogNumberTextAndParametersAndAddingItsOwnPartsIsSafe) {
    CreateError_t error(kCatalog, 23, "Error while reading: ");
    error << "x" << String_t("y");
    EXPECT_EQ(error.Format(FORMAT_FULL).ToUtf8(), "ERROR qxtest 23: Error while reading: xy");
    EXPECT_EQ(Error_t(kCatalog, 7, "seven").Format(FORMAT_FULL).ToUtf8(), "ERROR qxtest 7: seven");
    CreateMessage_t warning(SEVERITY_WARNING, "careful");
    ParmList_t parms;
    parms.AddParm(String_t("a"));
    warning.AddParms(parms).AddParms(warning.GetParameterList());
    warning.AddDetails(MessageList_t()).AddDetails(ListOf({Message_t(String_t("why"))}));
    const Error_t copy(warning.AddDetails(warning.GetDetails()));  // all but the severity, deeply
    warning.AddDetails(ListOf({Message_t(String_t("later"))}));
    EXPECT_EQ(copy.Format(FORMAT_FULL).ToUtf8(), "ERROR: careful\n    INFO: why\n    INFO: why");
    EXPECT_EQ(copy.GetParameterList().GetCount(), 2);

    MessageList_t list = ListOf({Nested()});
    for (int i = 0; i < 5; ++i) list.Add(list.GetMessageObject(0));
    EXPECT_TRUE(list.GetMessageObject(5).Format(FORMAT_PLAIN) == "Outer | Inner | Deepest | Second");
    for (int index : {-1, 6}) EXPECT_THROW(list.GetMessageObject(index), IllegalArgumentError_t) << index;
}

TEST(Message, FormatsFullTextAndPlain) {
    const std::string full = "ERROR qxtest 23: Outer\n    ERROR qxtest 5: Inner\n        WARNING: Deepest\n"
                             "    INFO: Second";
    const std::string plain = "Outer | Inner | Deepest | Second";
    const std::pair<int, std::string> cases[] = {{FORMAT_FULL, full}, {FORMAT_TEXT, "Outer"}, {FORMAT_PLAIN, plain},
                                                 {FORMAT_PLAIN | FORMAT_TEXT, plain}, {FORMAT_TEXT | 1, "Outer"},
                                                 {1, full}};
    const MessageList_t list = ListOf({Nested(), Message_t(String_t("Next"))});
    for (const auto& [flags, expected] : cases) {
        EXPECT_EQ(Nested().Format(flags).ToUtf8(), expected) << flags;
        const char* next = (flags & (FORMAT_TEXT | FORMAT_PLAIN)) != 0 ? "\nNext" : "\nINFO: Next";
        EXPECT_EQ(list.Format(flags).ToUtf8(), expected + next) << flags;
    }
    EXPECT_EQ(CreateMessage_t(7, "odd").Format(FORMAT_FULL).ToUtf8(), "SEVERITY 7: odd");
    EXPECT_EQ(CreateMessage_t(SEVERITY_FATAL, "f").Format(FORMAT_FULL).ToUtf8(), "FATAL: f");
    EXPECT_TRUE(ListOf({CreateError_t(kCatalog, 12, "Failed.")}).Format(FORMAT_PLAIN) == "Failed.");
    EXPECT_TRUE(MessageList_t().Format(FORMAT_PLAIN).IsEmpty());
}

TEST(Exceptions, DeriveAsDocumentedAndWhatIsThePlainUtf8TextOfTheirOwnMessages) {
    static_assert(std::is_base_of_v<std::exception, Exception_t> && std::is_base_of_v<Exception_t, RuntimeException_t>);
    static_assert(std::is_base_of_v<LogicError_t, IllegalArgumentError_t> &&
                  std::is_base_of_v<LogicError_t, IllegalStateError_t>);
    static_assert(std::is_base_of_v<Exception_t, QxPalIo::IOException_t> &&
                  !std::is_base_of_v<LogicError_t, QxPalIo::IOException_t> &&
                  !std::is_base_of_v<RuntimeException_t, LogicError_t>);
    EXPECT_STREQ(RuntimeException_t(Nested()).what(), "Outer | Inner | Deepest | Second");
    EXPECT_STREQ(IllegalStateError_t(Message_t(String_t("é\xF0\x9F\x98\x80"))).what(), "é\xF0\x9F\x98\x80");
    Exception_t original(ListOf({Message_t(String_t("a"))}));
    original.GetMessageList().Add(Message_t(String_t("b")));
    Exception_t copy = original;
    copy.GetMessageList().Clear();
    EXPECT_STREQ(copy.what(), "");
    EXPECT_STREQ(original.what(), "a\nb");
    EXPECT_STREQ(RuntimeException_t(original).what(), "a\nb");
}
