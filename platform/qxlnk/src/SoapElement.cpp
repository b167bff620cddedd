// SOAP elements and the argument classes: how each writes itself into a
// request and collects its text from a response.

#include <qxlnk/exceptions.h>
#include <qxlnk/soap.h>

#include "EnvelopeFormat.h"
#include "Errors.h"

#include <strings.h>

#include <charconv>
#include <climits>
#include <cstring>

namespace QxLnkSoap {

namespace {

void CheckEncoding(const char* encoding) {
    if (encoding != nullptr && strcasecmp(encoding, "UTF-8") != 0 && strcasecmp(encoding, "UTF8") != 0)
        QxLnkImpl::ThrowIllegalArgument(std::string("Unsupported encoding '") +
                                        QxLnkImpl::Printable(encoding) + "': only UTF-8 is written");
}

}  // namespace

// ---- SOAPElement ----

SOAPElement::SOAPElement(const unsigned short* name) : name_(name) {}
SOAPElement::~SOAPElement() = default;

void SOAPElement::AddNamespace(const char* prefix, const char* uri) {
    std::string attr = (prefix == nullptr || *prefix == '\0') ? std::string("xmlns")
                                                              : std::string("xmlns:") + prefix;
    attributes_.emplace_back(std::move(attr), uri != nullptr ? uri : "");
}

void SOAPElement::AddAttribute(const char* name, const char* value) {
    if (name == nullptr || *name == '\0') QxLnkImpl::ThrowIllegalArgument("An attribute needs a name");
    attributes_.emplace_back(name, value != nullptr ? value : "");
}

const QxPalStr::String_t& SOAPElement::GetCharacters() const { return characters_; }

void SOAPElement::WriteTo(const QxPalXml::XmlWriter_t& writer) const {
    WriteOpenTagTo(writer);
    WriteContentTo(writer);
    WriteCloseTagTo(writer);
}

void SOAPElement::WriteTo(QxPalIo::OutputStream_t& stream, const char* encoding, int /*flags*/) const {
    CheckEncoding(encoding);
    std::string out;
    QxPalXml::XmlWriter_t writer(out);
    WriteTo(writer);
    stream.Write(out.data(), out.size());
}

void SOAPElement::WriteTo(QxPalIo::Writer_t& writer, int /*flags*/) const {
    std::string out;
    QxPalXml::XmlWriter_t xml(out);
    WriteTo(xml);
    writer.Write(QxPalStr::String_t(std::string_view(out)));
}

void SOAPElement::WriteOpenTagTo(const QxPalXml::XmlWriter_t& writer) const {
    if (prefix_.IsEmpty()) {
        // The usual name is short ASCII: no UTF-8 string needs to be built for it.
        const QxPalStr::UTF16String& units = name_.Units();
        char ascii[32];
        bool narrow = units.size() <= sizeof(ascii);
        for (std::size_t i = 0; narrow && i < units.size(); ++i) {
            narrow = units[i] < 0x80;
            ascii[i] = static_cast<char>(units[i]);
        }
        if (narrow) {
            writer.OpenTag(std::string_view(ascii, units.size()));
        } else {
            writer.OpenTag(name_);
        }
    } else {
        writer.OpenTag(prefix_ + ":" + name_);
    }
    for (const auto& attribute : attributes_) writer.Attribute(attribute.first, attribute.second);
}

void SOAPElement::WriteContentTo(const QxPalXml::XmlWriter_t& writer) const {
    if (!characters_.IsEmpty()) writer.Data(characters_);
}

void SOAPElement::WriteCloseTagTo(const QxPalXml::XmlWriter_t& writer) const { writer.CloseTag(); }

SOAPElement* SOAPElement::StartElement(const unsigned short* /*prefix*/, const unsigned short* name,
                                       const unsigned short* /*namespaceUri*/) {
    const QxPalStr::UTF16String& own = name_.Units();
    const std::size_t length = QxPalStr::UTF16Length(name);
    if (length != own.size() || (length != 0 && std::memcmp(name, own.data(), length * sizeof(*name)) != 0))
        return nullptr;
    characters_.Clear();
    collecting_ = true;
    return this;
}

void SOAPElement::Characters(const unsigned short* text, int length) {
    if (collecting_ && text != nullptr && length > 0) characters_.Append(text, static_cast<std::size_t>(length));
}

void SOAPElement::EndElement(const unsigned short* /*prefix*/, const unsigned short* /*name*/,
                             const unsigned short* /*namespaceUri*/) {
    collecting_ = false;
}

// ---- SOAPArg ----

SOAPArg::SOAPArg(const unsigned short* name) : SOAPElement(name) {}
SOAPArg::~SOAPArg() = default;

SOAPUtf8Text::~SOAPUtf8Text() = default;

void SOAPArg::SetTypeAttribute() {}

const char* SOAPArg::GetTypeAttribute() const { return xsiType_.c_str(); }

void SOAPArg::SetXSITypeAttribute(const char* type) { xsiType_ = type != nullptr ? type : ""; }

void SOAPArg::WriteOpenTagTo(const QxPalXml::XmlWriter_t& writer) const {
    SOAPElement::WriteOpenTagTo(writer);
    if (xsiType_.empty()) return;
    if (xsiType_.find(':') != std::string::npos) {
        writer.Attribute("xsi:type", xsiType_);
        return;
    }
    // A type without prefix belongs to the service namespace, declared on the envelope.
    char qualified[96];
    const std::size_t prefixLength = std::strlen(QxLnkImpl::kServicePrefix);
    if (prefixLength + 1 + xsiType_.size() <= sizeof(qualified)) {
        std::memcpy(qualified, QxLnkImpl::kServicePrefix, prefixLength);
        qualified[prefixLength] = ':';
        std::memcpy(qualified + prefixLength + 1, xsiType_.data(), xsiType_.size());
        writer.Attribute("xsi:type", std::string_view(qualified, prefixLength + 1 + xsiType_.size()));
    } else {
        writer.Attribute("xsi:type", std::string(QxLnkImpl::kServicePrefix) + ":" + xsiType_);
    }
}

// ---- SOAPArgInt ----

SOAPArgInt::SOAPArgInt(const unsigned short* name, int value) : SOAPArg(name), value_(value) {}
SOAPArgInt::SOAPArgInt(const unsigned short* name, int* target) : SOAPArg(name), target_(target) {}
SOAPArgInt::~SOAPArgInt() = default;

void SOAPArgInt::SetTypeAttribute() { SetXSITypeAttribute("xsd:int"); }

void SOAPArgInt::WriteContentTo(const QxPalXml::XmlWriter_t& writer) const {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value_);
    writer.Data(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
}

namespace {

bool IsXmlSpace(unsigned short unit) { return unit == ' ' || unit == '\t' || unit == '\r' || unit == '\n'; }

// The value of an xsd:int: an optional sign and decimal digits, within range,
// with white space around only. False for anything else.
bool ParseXsdInt(const QxPalStr::UTF16String& text, int& value) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsXmlSpace(text[begin])) ++begin;
    while (end > begin && IsXmlSpace(text[end - 1])) --end;
    bool negative = false;
    if (begin < end && (text[begin] == '+' || text[begin] == '-')) negative = text[begin++] == '-';
    if (begin == end) return false;
    long long magnitude = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > 1LL + INT_MAX) return false;
    }
    const long long signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT_MAX || signedValue < INT_MIN) return false;
    value = static_cast<int>(signedValue);
    return true;
}

}  // namespace

void SOAPArgInt::EndElement(const unsigned short* prefix, const unsigned short* name,
                            const unsigned short* namespaceUri) {
    SOAPElement::EndElement(prefix, name, namespaceUri);
    if (target_ == nullptr) return;
    int value = 0;
    if (!ParseXsdInt(characters_.Units(), value)) {
        // A malformed answer: a code read from its leading digits could turn a
        // failure into success.
        std::string text = characters_.ToUtf8();
        if (text.size() > 40) text = text.substr(0, 40) + "...";
        throw QxLnkSoap::SoapException(QxLnkImpl::ErrorMessage("The response's '" + GetName().ToUtf8() +
                                                                "' is not an integer: '" +
                                                                QxLnkImpl::Printable(text) + "'"));
    }
    *target_ = value;
}

// ---- SOAPArgUnicodeString ----

SOAPArgUnicodeString::SOAPArgUnicodeString(const unsigned short* name, const unsigned short* value)
    : SOAPArg(name), value_(value) {}
SOAPArgUnicodeString::SOAPArgUnicodeString(const unsigned short* name, const QxPalStr::String_t& value)
    : SOAPArg(name), value_(value) {}
SOAPArgUnicodeString::SOAPArgUnicodeString(const unsigned short* name, unsigned short** target)
    : SOAPArg(name), target_(target) {}
SOAPArgUnicodeString::~SOAPArgUnicodeString() = default;

void SOAPArgUnicodeString::SetTypeAttribute() { SetXSITypeAttribute("xsd:string"); }

void SOAPArgUnicodeString::WriteContentTo(const QxPalXml::XmlWriter_t& writer) const {
    writer.Data(value_);
}

void SOAPArgUnicodeString::EndElement(const unsigned short* prefix, const unsigned short* name,
                                      const unsigned short* namespaceUri) {
    SOAPElement::EndElement(prefix, name, namespaceUri);
    if (target_ == nullptr) return;
    // An output argument has no value to send, so value_ holds the received text.
    value_ = characters_;
    *target_ = value_.Units().data();
}

// ---- SOAPEnvelope ----

SOAPEnvelope::~SOAPEnvelope() = default;

void SOAPEnvelope::SetArgs(int count, const SOAPArg* const* args) {
    if (count < 0 || (count > 0 && args == nullptr))
        QxLnkImpl::ThrowIllegalArgument("SetArgs needs a count of zero or more and that many arguments");
    for (int i = 0; i < count; ++i) {
        if (args[i] == nullptr) QxLnkImpl::ThrowIllegalArgument("SetArgs was given a null argument");
    }
    args_.assign(args, args + count);
}

}  // namespace QxLnkSoap
