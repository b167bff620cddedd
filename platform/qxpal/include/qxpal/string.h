// QxPalStr: the UTF-16 text type of every QxPal-based interface.
#pragma once

#include <qxpal/export.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace QxPalStr {

// Storage of String_t: UTF-16 code units, always followed by a terminating 0.
using UTF16String = std::basic_string<unsigned short>;

// A value type holding UTF-16 text. Narrow `const char*` text is UTF-8.
// Converting UTF-8 to UTF-16 and back is exact for all of Unicode; invalid
// UTF-8 (and, on the way back, a lone surrogate) becomes U+FFFD, never a crash.
// Not synchronised: one object must not be written by two threads at once.
class QXPAL_API String_t {
public:
    String_t() = default;
    String_t(const char* utf8);               // null reads as empty
    String_t(std::string_view utf8);
    String_t(const unsigned short* utf16);    // zero-terminated; null reads as empty
    String_t(const unsigned short* utf16, std::size_t length);
    String_t(const String_t&) = default;
    String_t(String_t&&) noexcept = default;
    ~String_t() = default;

    String_t& operator=(const String_t&) = default;
    String_t& operator=(String_t&&) noexcept = default;
    String_t& operator=(const char* utf8);
    String_t& operator=(const unsigned short* utf16);

    String_t& operator+=(const String_t& other);
    String_t& operator+=(const char* utf8);
    String_t& operator+=(const unsigned short* utf16);
    String_t& Append(const unsigned short* utf16, std::size_t length);
    String_t& AppendUtf8(std::string_view utf8);

    // Exact comparison with UTF-8 text (after conversion); null equals "".
    bool operator==(const char* utf8) const;
    bool operator!=(const char* utf8) const { return !(*this == utf8); }
    bool operator==(const String_t& other) const { return text_ == other.text_; }
    bool operator!=(const String_t& other) const { return text_ != other.text_; }

    // The zero-terminated UTF-16 text; valid until the string is next changed.
    operator const unsigned short*() const { return text_.c_str(); }
    const unsigned short* Data() const { return text_.c_str(); }

    // Length in UTF-16 code units.
    int GetLength() const { return static_cast<int>(text_.size()); }
    std::size_t Size() const { return text_.size(); }
    bool IsEmpty() const { return text_.empty(); }
    void Clear() { text_.clear(); }
    void Reserve(std::size_t units) { text_.reserve(units); }

    // Leading white space skipped, optional sign, decimal digits up to the first
    // other character; 0 without digits; saturates at INT_MIN/INT_MAX.
    // White space here and in Trim() is Unicode White_Space (TAB to CR, blank,
    // U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
    int ToInt() const;
    // Removes leading and trailing white space in place.
    String_t& Trim();

    // UTF-8 form; lone surrogates become U+FFFD.
    std::string ToUtf8() const;
    void AppendUtf8To(std::string& out) const;

    const UTF16String& Units() const { return text_; }
    UTF16String& Units() { return text_; }

private:
    UTF16String text_;
};

QXPAL_API String_t operator+(const String_t& a, const String_t& b);
QXPAL_API String_t operator+(const String_t& a, const char* b);
QXPAL_API String_t operator+(const String_t& a, const unsigned short* b);
QXPAL_API String_t operator+(const char* a, const String_t& b);

// Decimal text of a number.
QXPAL_API String_t NumToStr(int value);
QXPAL_API String_t NumToStr(unsigned value);
QXPAL_API String_t NumToStr(long long value);
QXPAL_API String_t NumToStr(unsigned long long value);

// Length of a zero-terminated UTF-16 text (0 for null).
QXPAL_API std::size_t UTF16Length(const unsigned short* text);

// Appends the UTF-8 form of UTF-16 units to `out`; lone surrogates become U+FFFD.
QXPAL_API void AppendUtf8(std::string& out, const unsigned short* units, std::size_t length);
// Appends the UTF-16 form of UTF-8 bytes to `out`; invalid sequences become U+FFFD.
QXPAL_API void AppendUtf16(UTF16String& out, std::string_view utf8);

// A narrow (UTF-8) copy of a text; `flags` is reserved and must be 0.
class QXPAL_API MBS_t {
public:
    MBS_t(const String_t& text, int flags);
    const char* c_str() const { return text_.c_str(); }
    operator const char*() const { return text_.c_str(); }
    const std::string& str() const { return text_; }
    std::size_t GetLength() const { return text_.size(); }

private:
    std::string text_;
};

}  // namespace QxPalStr
