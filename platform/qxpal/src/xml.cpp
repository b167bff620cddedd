// The streaming XML writer: escaping and the check for characters XML cannot carry.
#include <qxpal/exception.h>
#include <qxpal/xml.h>

#include "catalog.h"
#include "utf.h"

#include <cstdio>
#include <cstring>

namespace QxPalXml {

namespace {

using QxPalDetail::Catalog;

// Where a text goes, for the error message: element text or an attribute value.
struct Place {
    const std::string* element;
    std::string_view attribute;  // empty for element text
};

[[noreturn]] void ThrowUncarriable(const Place& place, char32_t cp) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(cp));
    QxPalMsg::CreateError_t message(Catalog(), QxPalDetail::MSG_XML_CHARACTER, "");
    if (place.attribute.empty()) {
        message << "Text of element '";
    } else {
        message << "Attribute '" << QxPalStr::String_t(place.attribute) << "' of element '";
    }
    message << QxPalStr::String_t(std::string_view(*place.element)) << "' holds " << hex
            << ", which XML cannot carry.";
    throw QxPalMsg::IllegalArgumentError_t(message);
}

[[noreturn]] void ThrowNotUtf8(const Place& place, std::size_t offset) {
    QxPalMsg::CreateError_t message(Catalog(), QxPalDetail::MSG_XML_UTF8, "");
    if (place.attribute.empty()) {
        message << "Text of element '";
    } else {
        message << "Attribute '" << QxPalStr::String_t(place.attribute) << "' of element '";
    }
    message << QxPalStr::String_t(std::string_view(*place.element)) << "' is not valid UTF-8 (at byte "
            << QxPalStr::NumToStr(static_cast<unsigned long long>(offset)) << ").";
    throw QxPalMsg::IllegalArgumentError_t(message);
}

// The escape of an ASCII character, or null when it is written as it is. In
// attribute values the quote and the white space that attribute-value
// normalisation would turn into blanks are escaped too; CR is always escaped
// so that it survives line-end normalisation.
template <bool kAttribute>
inline const char* EscapeOf(unsigned c) {
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '\r': return "&#xD;";
    case '"': return kAttribute ? "&quot;" : nullptr;
    case '\t': return kAttribute ? "&#x9;" : nullptr;
    case '\n': return kAttribute ? "&#xA;" : nullptr;
    default: return nullptr;
    }
}

// Bytes that an ASCII character takes in the output; 0 when XML cannot carry it.
template <bool kAttribute>
inline std::size_t AsciiSize(unsigned c) {
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return 0;
    const char* escape = EscapeOf<kAttribute>(c);
    return escape != nullptr ? std::strlen(escape) : 1;
}

inline bool IsCarriable(char32_t cp) {
    // Above ASCII, XML 1.0 excludes only the surrogates and U+FFFE, U+FFFF.
    return !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF && cp <= 0x10FFFF;
}

template <bool kAttribute>
void EscapeUtf16(std::string& out, const unsigned short* units, std::size_t length, const Place& place) {
    // First pass: check everything and size the output exactly, so that nothing
    // is written for a text that is refused and the output grows only once.
    std::size_t need = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned u = units[i];
        if (u < 0x80) {
            const std::size_t size = AsciiSize<kAttribute>(u);
            if (size == 0) ThrowUncarriable(place, u);
            need += size;
        } else if (u < 0x800) {
            need += 2;
        } else if (QxPalDetail::IsHighSurrogate(u)) {
            if (i + 1 == length || !QxPalDetail::IsLowSurrogate(units[i + 1])) ThrowUncarriable(place, u);
            need += 4;
            ++i;
        } else if (QxPalDetail::IsLowSurrogate(u) || u >= 0xFFFE) {
            ThrowUncarriable(place, u);
        } else {
            need += 3;
        }
    }
    const std::size_t start = out.size();
    out.resize(start + need);
    char* d = &out[start];
    if (need == length) {
        // Every unit took one byte: plain ASCII without escapes.
        for (std::size_t i = 0; i < length; ++i) d[i] = static_cast<char>(units[i]);
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned u = units[i];
        if (u < 0x80) {
            if (const char* escape = EscapeOf<kAttribute>(u)) {
                const std::size_t n = std::strlen(escape);
                std::memcpy(d, escape, n);
                d += n;
            } else {
                *d++ = static_cast<char>(u);
            }
        } else if (u < 0x800) {
            *d++ = static_cast<char>(0xC0 | (u >> 6));
            *d++ = static_cast<char>(0x80 | (u & 0x3F));
        } else if (QxPalDetail::IsHighSurrogate(u)) {
            const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                                (static_cast<char32_t>(units[++i]) - 0xDC00);
            *d++ = static_cast<char>(0xF0 | (cp >> 18));
            *d++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *d++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *d++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *d++ = static_cast<char>(0xE0 | (u >> 12));
            *d++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            *d++ = static_cast<char>(0x80 | (u & 0x3F));
        }
    }
}

template <bool kAttribute>
void EscapeUtf8(std::string& out, std::string_view text, const Place& place) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = begin + text.size();
    bool plain = true;
    for (const unsigned char* p = begin; p < end;) {
        if (*p < 0x80) {
            const std::size_t size = AsciiSize<kAttribute>(*p);
            if (size == 0) ThrowUncarriable(place, *p);
            plain = plain && size == 1;
            ++p;
            continue;
        }
        char32_t cp;
        const std::size_t n = QxPalDetail::DecodeUtf8Sequence(p, end, cp);
        if (cp == QxPalDetail::kInvalidSequence) ThrowNotUtf8(place, static_cast<std::size_t>(p - begin));
        if (!IsCarriable(cp)) ThrowUncarriable(place, cp);
        p += n;
    }
    if (plain) {
        out.append(text);
        return;
    }
    // Append runs of characters that need no escape in one go.
    const char* run = text.data();
    const char* const last = text.data() + text.size();
    for (const char* p = run; p < last; ++p) {
        const unsigned c = static_cast<unsigned char>(*p);
        if (c >= 0x80) continue;
        if (const char* escape = EscapeOf<kAttribute>(c)) {
            out.append(run, static_cast<std::size_t>(p - run));
            out.append(escape);
            run = p + 1;
        }
    }
    out.append(run, static_cast<std::size_t>(last - run));
}

// Ends an open start tag, then runs `escape`; when it refuses the text, the
// buffer and the start-tag state are left as they were.
template <typename Escape>
void WriteText(std::string& out, bool& inStartTag, Escape escape) {
    const std::size_t mark = out.size();
    const bool wasInStartTag = inStartTag;
    try {
        if (inStartTag) {
            out.push_back('>');
            inStartTag = false;
        }
        escape();
    } catch (...) {
        out.resize(mark);
        inStartTag = wasInStartTag;
        throw;
    }
}

const std::string& NoElement() {
    static const std::string none;
    return none;
}

}  // namespace

XmlWriter_t::XmlWriter_t(std::string& out) : out_(&out) {}

void XmlWriter_t::FinishStartTag() const {
    if (inStartTag_) {
        out_->push_back('>');
        inStartTag_ = false;
    }
}

void XmlWriter_t::OpenTag(std::string_view name) const {
    FinishStartTag();
    out_->push_back('<');
    out_->append(name);
    open_.emplace_back(name);
    inStartTag_ = true;
}

void XmlWriter_t::OpenTag(const QxPalStr::String_t& name) const { OpenTag(std::string_view(name.ToUtf8())); }

void XmlWriter_t::Attribute(std::string_view name, std::string_view utf8Value) const {
    if (!inStartTag_) {
        throw QxPalMsg::IllegalStateError_t(QxPalMsg::CreateError_t(Catalog(), QxPalDetail::MSG_XML_ATTRIBUTE,
                                                                    "The attribute '")
                                            << QxPalStr::String_t(name)
                                            << "' cannot be written: no start tag is open.");
    }
    const Place place{&open_.back(), name.empty() ? std::string_view("?") : name};
    std::string& out = *out_;
    const std::size_t mark = out.size();
    try {
        out.push_back(' ');
        out.append(name);
        out.append("=\"");
        EscapeUtf8<true>(out, utf8Value, place);
        out.push_back('"');
    } catch (...) {
        out.resize(mark);  // a refused value leaves nothing of the attribute
        throw;
    }
}

void XmlWriter_t::Data(const QxPalStr::String_t& text) const { Data(text.Data(), text.Size()); }

void XmlWriter_t::Data(const unsigned short* text, std::size_t length) const {
    if (text == nullptr || length == 0) {
        FinishStartTag();
        return;
    }
    const Place place{open_.empty() ? &NoElement() : &open_.back(), {}};
    WriteText(*out_, inStartTag_, [&] { EscapeUtf16<false>(*out_, text, length, place); });
}

void XmlWriter_t::Data(std::string_view utf8) const {
    const Place place{open_.empty() ? &NoElement() : &open_.back(), {}};
    WriteText(*out_, inStartTag_, [&] { EscapeUtf8<false>(*out_, utf8, place); });
}

void XmlWriter_t::CloseTag() const {
    if (open_.empty()) {
        throw QxPalMsg::IllegalStateError_t(QxPalMsg::CreateError_t(Catalog(), QxPalDetail::MSG_XML_NOTHING_OPEN,
                                                                    "No element is open to be closed."));
    }
    FinishStartTag();
    std::string& out = *out_;
    out.append("</");
    out.append(open_.back());
    out.push_back('>');
    open_.pop_back();
}

}  // namespace QxPalXml
