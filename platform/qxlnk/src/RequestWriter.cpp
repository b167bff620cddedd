// Request envelopes, written whole before anything is sent.

#include "RequestWriter.h"

#include "EnvelopeFormat.h"
#include "Errors.h"

#include <qxpal/xml.h>

#include <algorithm>
#include <charconv>
#include <typeinfo>

namespace QxLnkSoap {

const char* const SERVICE_NAMESPACE = "urn:qxlnk:rpc";

}  // namespace QxLnkSoap

namespace QxLnkImpl {

namespace {

constexpr char kEnvelopeOpen[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
    " xmlns:lnk=\"urn:qxlnk:rpc\""
    " SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";

bool IsNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

bool IsNameChar(unsigned char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Whether `units` is printable ASCII that XML carries as it is.
bool IsPlainAscii(const QxPalStr::UTF16String& units) {
    for (const unsigned short u : units) {
        if (u < 0x20 || u >= 0x7F || u == '<' || u == '>' || u == '&') return false;
    }
    return true;
}

char* CopyNarrow(char* d, const QxPalStr::UTF16String& units) {
    for (const unsigned short u : units) *d++ = static_cast<char>(u);
    return d;
}

// Writes an argument of the library's own text or integer class (not a class
// derived from it, which may write itself otherwise) whose name, type and
// text are plain ASCII, exactly as the XML writer would, in one piece; false
// (having written nothing) for any other argument.
bool AppendPlainArgument(std::string& out, const QxLnkSoap::SOAPArg& arg) {
    const std::type_info& dynamicType = typeid(arg);
    const bool text = dynamicType == typeid(QxLnkSoap::SOAPArgUnicodeString);
    if ((!text && dynamicType != typeid(QxLnkSoap::SOAPArgInt)) || arg.HasAttributes() || !arg.GetPrefix().IsEmpty())
        return false;
    const QxPalStr::UTF16String& name = arg.GetName().Units();
    if (!IsPlainAscii(name)) return false;
    const std::string_view xsiType = arg.GetTypeAttribute();
    for (const char c : xsiType) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '<' || c == '>' || c == '&') return false;
    }
    char digits[16];
    std::size_t digitCount = 0;
    const QxPalStr::UTF16String* value = nullptr;
    if (text) {
        value = &static_cast<const QxLnkSoap::SOAPArgUnicodeString&>(arg).GetValue().Units();
        if (!IsPlainAscii(*value)) return false;
    } else {
        const auto result =
            std::to_chars(digits, digits + sizeof(digits), static_cast<const QxLnkSoap::SOAPArgInt&>(arg).GetValue());
        digitCount = static_cast<std::size_t>(result.ptr - digits);
    }
    constexpr std::string_view kTypeOpen = " xsi:type=\"";
    const std::string_view servicePrefix = kServicePrefix;
    const bool qualify = !xsiType.empty() && xsiType.find(':') == std::string_view::npos;
    const std::size_t typeLength =
        xsiType.empty() ? 0 : kTypeOpen.size() + (qualify ? servicePrefix.size() + 1 : 0) + xsiType.size() + 1;
    const std::size_t length = 2 * name.size() + 5 + typeLength + (text ? value->size() : digitCount);
    const std::size_t start = out.size();
    out.resize(start + length);
    char* d = &out[start];
    *d++ = '<';
    d = CopyNarrow(d, name);
    if (!xsiType.empty()) {
        d = std::copy(kTypeOpen.begin(), kTypeOpen.end(), d);
        if (qualify) {
            d = std::copy(servicePrefix.begin(), servicePrefix.end(), d);
            *d++ = ':';
        }
        d = std::copy(xsiType.begin(), xsiType.end(), d);
        *d++ = '"';
    }
    *d++ = '>';
    d = text ? CopyNarrow(d, *value) : std::copy(digits, digits + digitCount, d);
    *d++ = '<';
    *d++ = '/';
    d = CopyNarrow(d, name);
    *d = '>';
    return true;
}

}  // namespace

void CheckMethodName(std::string_view method) {
    bool valid = !method.empty() && IsNameStart(static_cast<unsigned char>(method[0]));
    for (std::size_t i = 1; valid && i < method.size(); ++i) valid = IsNameChar(static_cast<unsigned char>(method[i]));
    if (!valid) ThrowIllegalArgument("'" + Printable(method) + "' cannot name a remote method");
}

void AppendRequestEnvelope(std::string& out, std::string_view method, int count,
                           const QxLnkSoap::SOAPArg* const* args, const QxPalStr::String_t* targetId) {
    CheckMethodName(method);
    if (count < 0 || (count > 0 && args == nullptr)) ThrowIllegalArgument("A request needs its arguments");
    QxPalXml::XmlWriter_t writer(out);
    out.append(kEnvelopeOpen, sizeof(kEnvelopeOpen) - 1);
    if (targetId != nullptr) {
        out.append("<SOAP-ENV:Header>");
        writer.OpenTag(std::string_view("lnk:TargetID"));
        writer.Data(*targetId);
        writer.CloseTag();
        out.append("</SOAP-ENV:Header>");
    }
    out.append("<SOAP-ENV:Body><lnk:");
    out.append(method);
    out.push_back('>');
    for (int i = 0; i < count; ++i) {
        if (args[i] == nullptr) ThrowIllegalArgument("A request argument is null");
        if (AppendPlainArgument(out, *args[i])) continue;
        args[i]->WriteTo(writer);
        if (writer.Depth() != 0)
            throw QxPalMsg::IllegalStateError_t(ErrorMessage(
                "The argument '" + args[i]->GetName().ToUtf8() + "' left elements open"));
    }
    out.append("</lnk:");
    out.append(method);
    out.append("></SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

}  // namespace QxLnkImpl

namespace QxLnkSoap {

std::string WriteRequestEnvelope(const char* method, int count, const SOAPArg* const* args,
                                 const QxPalStr::String_t* targetId) {
    std::string out;
    QxLnkImpl::AppendRequestEnvelope(out, method != nullptr ? method : "", count, args, targetId);
    return out;
}

}  // namespace QxLnkSoap
