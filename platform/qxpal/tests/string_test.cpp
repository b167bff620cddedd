// String_t: UTF-8 <-> UTF-16 conversion, numbers, trimming and comparison.
#include <qxpal/array.h>
#include <qxpal/string.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using QxPalStr::String_t;
using QxPalStr::UTF16String;

namespace {

UTF16String U(std::initializer_list<unsigned short> units) { return UTF16String(units.begin(), units.end()); }

UTF16String Utf16Of(const std::string& utf8) { return String_t(std::string_view(utf8)).Units(); }

std::string Utf8Of(const UTF16String& units) {
    std::string out;
    QxPalStr::AppendUtf8(out, units.data(), units.size());
    return out;
}

// Reference encoders, written from the encoding tables.
void EncodeUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void EncodeUtf16(UTF16String& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<unsigned short>(cp);
    } else {
        out += static_cast<unsigned short>(0xD800 + ((cp - 0x10000) >> 10));
        out += static_cast<unsigned short>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
}

constexpr unsigned short kReplacement = 0xFFFD;

}  // namespace

// ---- Conversion of valid text ----

TEST(StringConversion, EveryCodePointRoundTripsBothWays) {
    std::string utf8;
    UTF16String utf16;
    for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        EncodeUtf8(utf8, cp);
        EncodeUtf16(utf16, cp);
    }
    const String_t fromUtf8(std::string_view{utf8});
    EXPECT_TRUE(fromUtf8.Units() == utf16);
    EXPECT_TRUE(fromUtf8.ToUtf8() == utf8);
}

TEST(StringConversion, BoundaryCodePointsHaveTheirExactForms) {
    struct Case {
        char32_t cp;
        const char* utf8;
        std::vector<unsigned short> utf16;
    };
    const Case cases[] = {
        {0x7F, "\x7F", {0x7F}},
        {0x80, "\xC2\x80", {0x80}},
        {0x7FF, "\xDF\xBF", {0x7FF}},
        {0x800, "\xE0\xA0\x80", {0x800}},
        {0xD7FF, "\xED\x9F\xBF", {0xD7FF}},
        {0xE000, "\xEE\x80\x80", {0xE000}},
        {0xFFFD, "\xEF\xBF\xBD", {0xFFFD}},
        {0xFFFF, "\xEF\xBF\xBF", {0xFFFF}},
        {0x10000, "\xF0\x90\x80\x80", {0xD800, 0xDC00}},
        {0x1F600, "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
        {0x10FFFF, "\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<unsigned>(c.cp));
        const UTF16String expected(c.utf16.begin(), c.utf16.end());
        EXPECT_TRUE(Utf16Of(c.utf8) == expected);
        EXPECT_EQ(Utf8Of(expected), c.utf8);
        // Embedded between ASCII, so that the fast path hands over and back.
        const std::string framed = std::string("ab") + c.utf8 + "cd";
        EXPECT_EQ(String_t(framed.c_str()).ToUtf8(), framed);
        EXPECT_EQ(String_t(framed.c_str()).GetLength(), static_cast<int>(4 + expected.size()));
    }
}

TEST(StringConversion, NullAndEmptyReadAsEmpty) {
    EXPECT_TRUE(String_t(static_cast<const char*>(nullptr)).IsEmpty());
    EXPECT_TRUE(String_t(static_cast<const unsigned short*>(nullptr)).IsEmpty());
    EXPECT_TRUE(String_t(static_cast<const unsigned short*>(nullptr), 5).IsEmpty());
    EXPECT_TRUE(String_t("").IsEmpty());
    EXPECT_EQ(String_t().ToUtf8(), "");
    EXPECT_EQ(*String_t().Data(), 0);
    String_t s("x");
    s = static_cast<const char*>(nullptr);
    EXPECT_TRUE(s.IsEmpty());
}

TEST(StringConversion, EmbeddedZeroSurvivesLengthForms) {
    const std::string text("a\0b", 3);
    const String_t s{std::string_view(text)};
    ASSERT_EQ(s.GetLength(), 3);
    EXPECT_EQ(s.ToUtf8(), text);
}

// ---- Conversion of invalid text ----

TEST(StringConversionInvalid, IllFormedUtf8BecomesReplacementPerMaximalPrefix) {
    struct Case {
        const char* name;
        std::string utf8;
        UTF16String expected;
    };
    const unsigned short R = kReplacement;
    const Case cases[] = {
        {"overlong two-byte", "\xC0\xAF", U({R, R})},
        {"overlong NUL", "\xC1\x80", U({R, R})},
        {"overlong three-byte", "\xE0\x80\xAF", U({R, R, R})},
        {"overlong four-byte", "\xF0\x80\x80\xAF", U({R, R, R, R})},
        {"surrogate D800", "\xED\xA0\x80", U({R, R, R})},
        {"surrogate DFFF", "\xED\xBF\xBF", U({R, R, R})},
        {"beyond 10FFFF", "\xF4\x90\x80\x80", U({R, R, R, R})},
        {"lead F5", "\xF5\x80\x80\x80", U({R, R, R, R})},
        {"byte FF", "\xFF", U({R})},
        {"byte FE", "a\xFE" "b", U({'a', R, 'b'})},
        {"stray continuation", "\x80" "a", U({R, 'a'})},
        {"truncated three-byte at end", "a\xE2\x82", U({'a', R})},
        {"truncated four-byte before ASCII", "\xF0\x9F\x98x", U({R, 'x'})},
        {"truncated two-byte before lead", "\xC3\xE2\x82\xAC", U({R, 0x20AC})},
        {"lone lead at end", "\xC3", U({R})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const UTF16String got = Utf16Of(c.utf8);
        EXPECT_TRUE(got == c.expected) << "got " << got.size() << " units";
    }
}

TEST(StringConversionInvalid, LoneSurrogatesBecomeReplacementInUtf8) {
    EXPECT_EQ(Utf8Of(U({0xD800})), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8Of(U({0xDC00, 'a'})), "\xEF\xBF\xBD" "a");
    EXPECT_EQ(Utf8Of(U({'a', 0xDBFF})), "a\xEF\xBF\xBD");
    // A high surrogate followed by another high one: the first is lone, the pair after it is whole.
    EXPECT_EQ(Utf8Of(U({0xD800, 0xD800, 0xDC00})), "\xEF\xBF\xBD\xF0\x90\x80\x80");
    // Reversed pair: two lone surrogates.
    EXPECT_EQ(Utf8Of(U({0xDC00, 0xD800})), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(QxPalStr::MBS_t(String_t(U({0xDFFF}).c_str()), 0).str(), "\xEF\xBF\xBD");
}

TEST(StringConversionInvalid, ReplacementTextIsItselfValidAndStable) {
    std::string garbage;
    for (int i = 0; i < 256; ++i) garbage += static_cast<char>(i);
    garbage += "\xF4\x90\xED\xA0\xE0\x80\xF0";
    const std::string once = String_t(std::string_view(garbage)).ToUtf8();
    EXPECT_EQ(String_t(std::string_view(once)).ToUtf8(), once);
}

// ---- Numbers ----

TEST(StringToInt, ReadsLeadingDecimalNumber) {
    EXPECT_EQ(String_t("42").ToInt(), 42);
    EXPECT_EQ(String_t("  \t\n 42").ToInt(), 42);
    EXPECT_EQ(String_t("+7").ToInt(), 7);
    EXPECT_EQ(String_t("-17").ToInt(), -17);
    EXPECT_EQ(String_t("007").ToInt(), 7);
    EXPECT_EQ(String_t("12x34").ToInt(), 12);
    EXPECT_EQ(String_t("12 34").ToInt(), 12);
    EXPECT_EQ(String_t("-0").ToInt(), 0);
    EXPECT_EQ(String_t("\xE3\x80\x80" "5").ToInt(), 5);  // ideographic space
}

TEST(StringToInt, NoDigitsGivesZero) {
    EXPECT_EQ(String_t("").ToInt(), 0);
    EXPECT_EQ(String_t("   ").ToInt(), 0);
    EXPECT_EQ(String_t("abc").ToInt(), 0);
    EXPECT_EQ(String_t("-").ToInt(), 0);
    EXPECT_EQ(String_t("+-5").ToInt(), 0);
    EXPECT_EQ(String_t("- 5").ToInt(), 0);
    EXPECT_EQ(String_t("x12").ToInt(), 0);
}

TEST(StringToInt, SaturatesOnOverflowBothWays) {
    EXPECT_EQ(String_t("2147483647").ToInt(), INT_MAX);
    EXPECT_EQ(String_t("2147483648").ToInt(), INT_MAX);
    EXPECT_EQ(String_t("99999999999999999999999999999").ToInt(), INT_MAX);
    EXPECT_EQ(String_t("-2147483648").ToInt(), INT_MIN);
    EXPECT_EQ(String_t("-2147483649").ToInt(), INT_MIN);
    EXPECT_EQ(String_t("-99999999999999999999999999999").ToInt(), INT_MIN);
    EXPECT_EQ(String_t("00000000000000000000000000012").ToInt(), 12);
}

TEST(StringNumToStr, DecimalTextOfExtremes) {
    EXPECT_TRUE(QxPalStr::NumToStr(0) == "0");
    EXPECT_TRUE(QxPalStr::NumToStr(-1) == "-1");
    EXPECT_TRUE(QxPalStr::NumToStr(INT_MIN) == "-2147483648");
    EXPECT_TRUE(QxPalStr::NumToStr(INT_MAX) == "2147483647");
    EXPECT_TRUE(QxPalStr::NumToStr(UINT_MAX) == "4294967295");
    EXPECT_TRUE(QxPalStr::NumToStr(LLONG_MIN) == "-9223372036854775808");
    EXPECT_TRUE(QxPalStr::NumToStr(ULLONG_MAX) == "18446744073709551615");
    EXPECT_EQ(QxPalStr::NumToStr(-305).ToInt(), -305);
}

// ---- Editing and comparison ----

TEST(StringTrim, RemovesWhiteSpaceAtBothEndsInPlace) {
    String_t s(" \t a b \r\n");
    String_t& same = s.Trim();
    EXPECT_EQ(&same, &s);
    EXPECT_TRUE(s == "a b");
    String_t blank(" \t\n ");
    EXPECT_TRUE(blank.Trim().IsEmpty());
    String_t none("ab");
    EXPECT_TRUE(none.Trim() == "ab");
    String_t unicode("\xC2\xA0\xE3\x80\x80x\xE2\x80\xA8");  // NBSP, ideographic space, line separator
    EXPECT_TRUE(unicode.Trim() == "x");
    String_t empty;
    EXPECT_TRUE(empty.Trim().IsEmpty());
}

TEST(StringCompare, EqualityWithUtf8IsExact) {
    const String_t s("Grüße");
    EXPECT_TRUE(s == "Grüße");
    EXPECT_FALSE(s == "Grüß");
    EXPECT_FALSE(s == "Grüßen");
    EXPECT_FALSE(s == "grüße");
    EXPECT_TRUE(s != "Gruesse");
    EXPECT_FALSE(String_t("abc") == "ab");
    EXPECT_FALSE(String_t("ab") == "abc");
    EXPECT_TRUE(String_t() == "");
    EXPECT_TRUE(String_t() == nullptr);
    EXPECT_FALSE(String_t("a") == nullptr);
    EXPECT_TRUE(String_t("\xF0\x9F\x98\x80") == "\xF0\x9F\x98\x80");
    EXPECT_FALSE(String_t("\xF0\x9F\x98\x80" "a") == "\xF0\x9F\x98\x80");
}

TEST(StringEdit, ConcatenationWithAllThreeForms) {
    const UTF16String wide = U({'w', 0x00E9, 0});
    String_t s("a");
    s += "b";
    s += String_t("c");
    s += wide.c_str();
    EXPECT_TRUE(s == "abcwé");
    EXPECT_TRUE(String_t("x") + "y" == "xy");
    EXPECT_TRUE("x" + String_t("y") == "xy");
    EXPECT_TRUE(String_t("x") + String_t("y") == "xy");
    EXPECT_TRUE(String_t("x") + wide.c_str() == "xwé");
    s = wide.c_str();
    EXPECT_TRUE(s == "wé");
    s.AppendUtf8("\xE2\x82\xAC").Append(wide.c_str(), 1);
    EXPECT_TRUE(s == "wé€w");
}

TEST(StringEdit, SelfAppendAndSelfAssignmentAreSafe) {
    String_t s("abc");
    s += s;
    EXPECT_TRUE(s == "abcabc");
    s += s.Data();
    EXPECT_TRUE(s == "abcabcabcabc");
    s = s.Data() + 9;
    EXPECT_TRUE(s == "abc");
    const String_t copy = s;
    s = copy;
    EXPECT_TRUE(s == "abc");
}

TEST(StringEdit, CopiesAreIndependent) {
    String_t a("one");
    String_t b = a;
    b += "two";
    EXPECT_TRUE(a == "one");
    EXPECT_TRUE(b == "onetwo");
    EXPECT_EQ(QxPalStr::UTF16Length(b.Data()), 6u);
    EXPECT_EQ(QxPalStr::UTF16Length(nullptr), 0u);
}

// ---- Arrays ----

TEST(CharArrays, OwnedCopiesOfCStrings) {
    QxPalArray::CharArray_t empty;
    EXPECT_STREQ(empty.GetData(), "");
    EXPECT_EQ(QxPalArray::CharArray_t(nullptr).GetLength(), 0u);
    std::string source = "ctrl.daemon";
    QxPalArray::CharArray_t a(source.c_str());
    source[0] = 'X';
    EXPECT_STREQ(a, "ctrl.daemon");
    QxPalArray::CharArray_t b = a;
    EXPECT_EQ(b.GetLength(), 11u);

    QxPalArray::UTF16CharArray_t w("é€");
    EXPECT_EQ(w.GetLength(), 2u);
    EXPECT_EQ(w.GetData()[1], 0x20AC);
    EXPECT_EQ(w.GetData()[2], 0);
    QxPalArray::UTF16CharArray_t copy(w.GetData());
    EXPECT_TRUE(String_t(copy) == "é€");
    EXPECT_EQ(QxPalArray::UTF16CharArray_t(static_cast<const unsigned short*>(nullptr)).GetLength(), 0u);
    EXPECT_EQ(QxPalArray::UTF16CharArray_t(static_cast<const char*>(nullptr)).GetLength(), 0u);
}
