// What the two list arguments share while a response is parsed and a request
// written: comparing the element names the parser hands over (zero-terminated
// UTF-16, possibly null) without building a string, and writing one element
// holding a text.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/Platform.h"

namespace DaDovu {
namespace SoapElement {

// Whether `name` equals `literal` exactly (a null name equals only "").
inline bool NameIs(const unsigned short* name, const char16_t* literal) {
    if (name == nullptr) {
        return *literal == 0;
    }
    while (*name != 0 && *name == static_cast<unsigned short>(*literal)) {
        ++name;
        ++literal;
    }
    return *name == static_cast<unsigned short>(*literal);
}

// Whether `name` has exactly the code units of `expected` (two empty names
// are equal).
inline bool NameIs(const unsigned short* name, const QxPalStr::String_t& expected) {
    const QxPalStr::UTF16String& units = expected.Units();
    std::size_t i = 0;
    if (name != nullptr) {
        for (; name[i] != 0; ++i) {
            if (i == units.size() || name[i] != units[i]) {
                return false;
            }
        }
    }
    return i == units.size();
}

// Writes <tag>text</tag>; throws what the writer throws for text XML cannot carry.
inline void WriteText(const QxPalXml::XmlWriter_t& writer, std::string_view tag, const QxPalStr::String_t& text) {
    writer.OpenTag(tag);
    writer.Data(text);
    writer.CloseTag();
}

}  // namespace SoapElement
}  // namespace DaDovu
