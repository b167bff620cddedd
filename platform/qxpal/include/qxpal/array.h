// QxPalArray: owned narrow and wide character buffers.
#pragma once

#include <qxpal/export.h>
#include <qxpal/string.h>

#include <cstddef>
#include <string>

namespace QxPalArray {

// An owned, zero-terminated narrow (UTF-8) buffer. Copies are independent.
class QXPAL_API CharArray_t {
public:
    CharArray_t() = default;
    CharArray_t(const char* text);  // null reads as empty
    const char* GetData() const { return text_.c_str(); }
    operator const char*() const { return text_.c_str(); }
    std::size_t GetLength() const { return text_.size(); }

private:
    std::string text_;
};

// An owned, zero-terminated UTF-16 buffer. Copies are independent.
class QXPAL_API UTF16CharArray_t {
public:
    UTF16CharArray_t() = default;
    UTF16CharArray_t(const char* utf8);            // null reads as empty
    UTF16CharArray_t(const unsigned short* text);  // null reads as empty
    const unsigned short* GetData() const { return text_.c_str(); }
    operator const unsigned short*() const { return text_.c_str(); }
    std::size_t GetLength() const { return text_.size(); }

private:
    QxPalStr::UTF16String text_;
};

}  // namespace QxPalArray
