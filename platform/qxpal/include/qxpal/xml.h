// QxPalXml: a streaming XML writer producing UTF-8.
#pragma once

#include <qxpal/export.h>
#include <qxpal/string.h>

#include <string>
#include <string_view>
#include <vector>

namespace QxPalXml {

// Writes XML into a caller-owned UTF-8 buffer. Markup characters in data and
// attribute values are escaped; CR is written as "&#xD;" so that it survives
// the receiver's line-end normalisation. Text that XML 1.0 cannot carry
// (U+0000 and the other excluded controls, U+FFFE/U+FFFF, lone surrogates)
// raises IllegalArgumentError_t naming the element and the code point; the
// caller then discards the buffer, so nothing malformed is ever sent.
// A refused text or attribute leaves the writer and the buffer as they were. An element
// without content is written as "<a></a>". Names are written as given (the
// caller passes valid XML names).
// The writing operations are const so that const writers can be passed to
// content writers; the writer is not synchronised.
class QXPAL_API XmlWriter_t {
public:
    // `out` must outlive the writer. Writing appends to it.
    explicit XmlWriter_t(std::string& out);

    // Opens an element; its attributes may follow until content is written.
    void OpenTag(std::string_view name) const;
    void OpenTag(const QxPalStr::String_t& name) const;
    void OpenTag(const char* name) const { OpenTag(std::string_view(name != nullptr ? name : "")); }
    // An attribute of the innermost open tag. REQUIRES: no content since OpenTag.
    void Attribute(std::string_view name, std::string_view utf8Value) const;
    // Character data, escaped.
    void Data(const QxPalStr::String_t& text) const;
    void Data(const unsigned short* text, std::size_t length) const;
    void Data(std::string_view utf8) const;  // REQUIRES: valid UTF-8; checked as above
    void Data(const char* utf8) const { Data(std::string_view(utf8 != nullptr ? utf8 : "")); }
    // Closes the innermost open element. IllegalStateError_t when none is open.
    void CloseTag() const;
    // Number of elements open.
    std::size_t Depth() const { return open_.size(); }

private:
    void FinishStartTag() const;

    std::string* out_;
    mutable std::vector<std::string> open_;
    mutable bool inStartTag_ = false;
};

}  // namespace QxPalXml
