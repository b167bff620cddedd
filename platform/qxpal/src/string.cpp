// String_t and the UTF-8 <-> UTF-16 conversions behind it.
#include <qxpal/string.h>

#include "utf.h"

#include <charconv>
#include <climits>
#include <cstring>

namespace QxPalStr {

using QxPalDetail::IsHighSurrogate;
using QxPalDetail::IsLowSurrogate;

std::size_t UTF16Length(const unsigned short* text) {
    if (text == nullptr) return 0;
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

void AppendUtf16(UTF16String& out, std::string_view utf8) {
    if (utf8.empty()) return;
    // Never more UTF-16 units than UTF-8 bytes: size once, trim at the end.
    const std::size_t start = out.size();
    out.resize(start + utf8.size());
    unsigned short* d = &out[start];
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const unsigned char* const end = s + utf8.size();
    while (s < end) {
        while (s < end && *s < 0x80) *d++ = *s++;
        if (s == end) break;
        char32_t cp;
        s += QxPalDetail::DecodeUtf8Sequence(s, end, cp);
        if (cp == QxPalDetail::kInvalidSequence) {
            *d++ = 0xFFFD;
        } else if (cp < 0x10000) {
            *d++ = static_cast<unsigned short>(cp);
        } else {
            cp -= 0x10000;
            *d++ = static_cast<unsigned short>(0xD800 + (cp >> 10));
            *d++ = static_cast<unsigned short>(0xDC00 + (cp & 0x3FF));
        }
    }
    out.resize(static_cast<std::size_t>(d - out.data()));
}

void AppendUtf8(std::string& out, const unsigned short* units, std::size_t length) {
    if (units == nullptr || length == 0) return;
    // Exact size first, so the text is written once with no reallocation.
    std::size_t need = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned u = units[i];
        if (u < 0x80) {
            need += 1;
        } else if (u < 0x800) {
            need += 2;
        } else if (IsHighSurrogate(u) && i + 1 < length && IsLowSurrogate(units[i + 1])) {
            need += 4;
            ++i;
        } else {
            need += 3;  // BMP character, or a lone surrogate written as U+FFFD
        }
    }
    const std::size_t start = out.size();
    out.resize(start + need);
    auto* d = reinterpret_cast<unsigned char*>(&out[start]);
    for (std::size_t i = 0; i < length; ++i) {
        unsigned u = units[i];
        if (u < 0x80) {
            *d++ = static_cast<unsigned char>(u);
        } else if (u < 0x800) {
            *d++ = static_cast<unsigned char>(0xC0 | (u >> 6));
            *d++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
        } else if (IsHighSurrogate(u) && i + 1 < length && IsLowSurrogate(units[i + 1])) {
            const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                                (static_cast<char32_t>(units[i + 1]) - 0xDC00);
            ++i;
            *d++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
            *d++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            *d++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            *d++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        } else {
            if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
            *d++ = static_cast<unsigned char>(0xE0 | (u >> 12));
            *d++ = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            *d++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
        }
    }
}

String_t::String_t(const char* utf8) {
    if (utf8 != nullptr) AppendUtf16(text_, std::string_view(utf8));
}

String_t::String_t(std::string_view utf8) { AppendUtf16(text_, utf8); }

String_t::String_t(const unsigned short* utf16) {
    if (utf16 != nullptr) text_.assign(utf16, UTF16Length(utf16));
}

String_t::String_t(const unsigned short* utf16, std::size_t length) {
    if (utf16 != nullptr) text_.assign(utf16, length);
}

String_t& String_t::operator=(const char* utf8) {
    text_.clear();
    if (utf8 != nullptr) AppendUtf16(text_, std::string_view(utf8));
    return *this;
}

String_t& String_t::operator=(const unsigned short* utf16) {
    if (utf16 == nullptr) {
        text_.clear();
    } else {
        // assign() copes with a pointer into this string's own buffer.
        text_.assign(utf16, UTF16Length(utf16));
    }
    return *this;
}

String_t& String_t::operator+=(const String_t& other) {
    text_ += other.text_;
    return *this;
}

String_t& String_t::operator+=(const char* utf8) {
    if (utf8 != nullptr) AppendUtf16(text_, std::string_view(utf8));
    return *this;
}

String_t& String_t::operator+=(const unsigned short* utf16) {
    if (utf16 != nullptr) text_.append(utf16, UTF16Length(utf16));
    return *this;
}

String_t& String_t::Append(const unsigned short* utf16, std::size_t length) {
    if (utf16 != nullptr) text_.append(utf16, length);
    return *this;
}

String_t& String_t::AppendUtf8(std::string_view utf8) {
    AppendUtf16(text_, utf8);
    return *this;
}

bool String_t::operator==(const char* utf8) const {
    if (utf8 == nullptr) return text_.empty();
    const std::size_t n = text_.size();
    std::size_t i = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(utf8);
    for (; *s != 0 && *s < 0x80; ++s, ++i) {
        if (i == n || text_[i] != *s) return false;
    }
    if (*s == 0) return i == n;
    UTF16String rest;
    AppendUtf16(rest, std::string_view(reinterpret_cast<const char*>(s)));
    return n - i == rest.size() && text_.compare(i, rest.size(), rest) == 0;
}

int String_t::ToInt() const {
    const std::size_t n = text_.size();
    std::size_t i = 0;
    while (i < n && QxPalDetail::IsWhiteSpace(text_[i])) ++i;
    bool negative = false;
    if (i < n && (text_[i] == '+' || text_[i] == '-')) {
        negative = text_[i] == '-';
        ++i;
    }
    // Accumulate up to one past INT_MAX, which is enough to saturate either way.
    constexpr long long kLimit = static_cast<long long>(INT_MAX) + 1;
    long long value = 0;
    for (; i < n && text_[i] >= '0' && text_[i] <= '9'; ++i) {
        value = value * 10 + (text_[i] - '0');
        if (value > kLimit) value = kLimit;
    }
    if (negative) return static_cast<int>(-value);  // -kLimit is INT_MIN
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

String_t& String_t::Trim() {
    std::size_t end = text_.size();
    while (end > 0 && QxPalDetail::IsWhiteSpace(text_[end - 1])) --end;
    std::size_t begin = 0;
    while (begin < end && QxPalDetail::IsWhiteSpace(text_[begin])) ++begin;
    text_.erase(end);
    text_.erase(0, begin);
    return *this;
}

std::string String_t::ToUtf8() const {
    std::string out;
    QxPalStr::AppendUtf8(out, text_.data(), text_.size());
    return out;
}

void String_t::AppendUtf8To(std::string& out) const { QxPalStr::AppendUtf8(out, text_.data(), text_.size()); }

String_t operator+(const String_t& a, const String_t& b) {
    String_t result;
    result.Reserve(a.Size() + b.Size());
    result += a;
    result += b;
    return result;
}

String_t operator+(const String_t& a, const char* b) {
    String_t result(a);
    result += b;
    return result;
}

String_t operator+(const String_t& a, const unsigned short* b) {
    String_t result(a);
    result += b;
    return result;
}

String_t operator+(const char* a, const String_t& b) {
    String_t result(a);
    result += b;
    return result;
}

namespace {

template <typename Number>
String_t DecimalText(Number value) {
    char digits[24];
    const auto res = std::to_chars(digits, digits + sizeof digits, value);
    String_t text;
    text.Units().assign(digits, res.ptr);
    return text;
}

}  // namespace

String_t NumToStr(int value) { return DecimalText(value); }
String_t NumToStr(unsigned value) { return DecimalText(value); }
String_t NumToStr(long long value) { return DecimalText(value); }
String_t NumToStr(unsigned long long value) { return DecimalText(value); }

MBS_t::MBS_t(const String_t& text, int /*flags*/) { text.AppendUtf8To(text_); }

}  // namespace QxPalStr
