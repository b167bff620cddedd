#include "SoapMessage.h"

#include "XmlText.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace DaDovuSim {

namespace {

// The line of the current event. Expat 2.9 deprecates XML_GetCurrentLineNumber
// (cmake/ExpatFeatures.cmake).
unsigned long long LineNumber(XML_Parser parser) {
#if HAVE_XML_GETCURRENTLINENUMBER64
    return XML_GetCurrentLineNumber64(parser);
#else
    return XML_GetCurrentLineNumber(parser);
#endif
}

constexpr std::string_view kSoap12Namespace = "http://www.w3.org/2003/05/soap-envelope";
constexpr std::string_view kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";
// Expat joins a namespace URI and a local name with this character; URIs
// cannot hold a blank.
constexpr char kNamespaceSeparator = ' ';

struct QName {
    std::string_view ns;
    std::string_view local;
};

QName Split(const XML_Char* name) {
    const std::string_view full(name);
    const std::size_t at = full.rfind(kNamespaceSeparator);
    if (at == std::string_view::npos) return {{}, full};
    return {full.substr(0, at), full.substr(at + 1)};
}

enum class Role { Envelope, Header, Body, HeaderEntry, TargetId, Method, Argument, Captured, Ignored };

struct Parse {
    XML_Parser parser = nullptr;
    SoapRequest request;
    std::vector<Role> stack;
    std::string* capture = nullptr;  // where character data goes, while inside an argument or TargetID
    bool sawEnvelope = false;
    bool sawBody = false;
    std::unique_ptr<SoapFault> fault;

    void Stop(std::string code, const std::string& text) {
        if (!fault) fault = std::make_unique<SoapFault>(std::move(code), text);
        XML_StopParser(parser, XML_FALSE);
    }
};

const XML_Char* Attribute(const XML_Char** attributes, std::string_view ns, std::string_view local) {
    for (int i = 0; attributes[i] != nullptr; i += 2) {
        const QName name = Split(attributes[i]);
        if (name.ns == ns && name.local == local) return attributes[i + 1];
    }
    return nullptr;
}

void XMLCALL OnStart(void* data, const XML_Char* rawName, const XML_Char** attributes) {
    auto& p = *static_cast<Parse*>(data);
    const QName name = Split(rawName);
    const Role parent = p.stack.empty() ? Role::Ignored : p.stack.back();
    Role role = Role::Ignored;
    if (p.stack.empty()) {
        if (name.local != "Envelope" || name.ns != kEnvelopeNamespace) {
            if (name.local == "Envelope" && name.ns == kSoap12Namespace)
                p.Stop("soap:VersionMismatch", "only SOAP 1.1 envelopes are understood");
            else
                p.Stop("soap:Client", "the request is not a SOAP 1.1 envelope");
            return;
        }
        p.sawEnvelope = true;
        role = Role::Envelope;
    } else if (parent == Role::Envelope) {
        if (name.ns == kEnvelopeNamespace && name.local == "Header") role = Role::Header;
        if (name.ns == kEnvelopeNamespace && name.local == "Body") {
            role = Role::Body;
            p.sawBody = true;
        }
    } else if (parent == Role::Header) {
        if (name.local == "TargetID") {
            role = Role::TargetId;
            p.request.targetId.emplace();
            p.capture = &*p.request.targetId;
        } else {
            const XML_Char* must = Attribute(attributes, kEnvelopeNamespace, "mustUnderstand");
            if (must != nullptr && (std::string_view(must) == "1" || std::string_view(must) == "true")) {
                p.Stop("soap:MustUnderstand", "header entry '" + std::string(name.local) + "' is not understood");
                return;
            }
            role = Role::HeaderEntry;
        }
    } else if (parent == Role::Body) {
        // SOAP encoding may add further Body entries (multiRef values); the
        // method is the first one.
        if (p.request.method.empty()) {
            p.request.method = name.local;
            p.request.methodNamespace = name.ns;
            role = Role::Method;
        }
    } else if (parent == Role::Method) {
        SoapArgument argument;
        argument.name = name.local;
        if (const XML_Char* type = Attribute(attributes, kXsiNamespace, "type")) argument.type = type;
        if (const XML_Char* nil = Attribute(attributes, kXsiNamespace, "nil"))
            argument.nil = std::string_view(nil) == "true" || std::string_view(nil) == "1";
        p.request.arguments.push_back(std::move(argument));
        p.capture = &p.request.arguments.back().value;
        role = Role::Argument;
    } else if (parent == Role::Argument || parent == Role::TargetId || parent == Role::Captured) {
        role = Role::Captured;
    }
    p.stack.push_back(role);
}

void XMLCALL OnEnd(void* data, const XML_Char*) {
    auto& p = *static_cast<Parse*>(data);
    if (p.stack.empty()) return;
    const Role role = p.stack.back();
    p.stack.pop_back();
    if (role == Role::Argument || role == Role::TargetId) p.capture = nullptr;
}

void XMLCALL OnText(void* data, const XML_Char* text, int length) {
    auto& p = *static_cast<Parse*>(data);
    if (p.capture != nullptr) p.capture->append(text, static_cast<std::size_t>(length));
}

void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<Parse*>(data)->Stop("soap:Client", "document type declarations are not allowed in SOAP messages");
}

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

void AppendOpen(std::string& xml, std::string_view name, std::string_view type) {
    xml += '<';
    xml += name;
    xml += " xsi:type=\"";
    xml += type;
    xml += "\">";
}

void AppendClose(std::string& xml, std::string_view name) {
    xml += "</";
    xml += name;
    xml += '>';
}

void AppendTextElement(std::string& xml, std::string_view name, std::string_view text) {
    xml += '<';
    xml += name;
    xml += '>';
    AppendXmlText(xml, text);
    AppendClose(xml, name);
}

constexpr std::string_view kEnvelopeOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"";

}  // namespace

const SoapArgument* SoapRequest::Find(std::string_view name) const {
    const auto it = std::find_if(arguments.begin(), arguments.end(), [&](const auto& a) { return a.name == name; });
    return it == arguments.end() ? nullptr : &*it;
}

SoapRequest ParseSoapRequest(std::string_view body) {
    const std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreateNS(nullptr, kNamespaceSeparator));
    if (!parser) throw std::bad_alloc();
    Parse p;
    p.parser = parser.get();
    XML_SetUserData(parser.get(), &p);
    XML_SetElementHandler(parser.get(), OnStart, OnEnd);
    XML_SetCharacterDataHandler(parser.get(), OnText);
    XML_SetStartDoctypeDeclHandler(parser.get(), OnDoctype);

    constexpr std::size_t kChunk = 1 << 20;
    bool ok = true;
    do {
        const std::size_t size = std::min(body.size(), kChunk);
        const bool last = size == body.size();
        ok = XML_Parse(parser.get(), body.data(), static_cast<int>(size), last ? XML_TRUE : XML_FALSE) ==
             XML_STATUS_OK;
        body.remove_prefix(size);
    } while (ok && !body.empty());
    if (p.fault) throw *p.fault;
    if (!ok)
        throw SoapFault("soap:Client", std::string("the request is not well-formed XML: ") +
                                           XML_ErrorString(XML_GetErrorCode(parser.get())) + " at line " +
                                           std::to_string(LineNumber(parser.get())));
    if (!p.sawBody) throw SoapFault("soap:Client", "the envelope has no Body");
    if (p.request.method.empty()) throw SoapFault("soap:Client", "the Body holds no method element");
    return std::move(p.request);
}

SoapResponseWriter::SoapResponseWriter(std::string_view method) : method_(method) {
    xml_ = kEnvelopeOpen;
    xml_ += "><soap:Body><m:";
    xml_ += method_;
    xml_ += "Response xmlns:m=\"";
    xml_ += kServiceNamespace;
    xml_ += "\">";
}

void SoapResponseWriter::AddInt(std::string_view name, long long value) {
    AppendOpen(xml_, name, "xsd:int");
    xml_ += std::to_string(value);
    AppendClose(xml_, name);
}

void SoapResponseWriter::AddString(std::string_view name, std::string_view text) {
    AppendOpen(xml_, name, "xsd:string");
    AppendXmlText(xml_, text);
    AppendClose(xml_, name);
}

void SoapResponseWriter::AddComponentList(std::string_view name, const std::vector<ComponentRecord>& records) {
    std::size_t size = 0;
    for (const auto& r : records) size += 160 + r.name.size() + r.description.size() + r.category.size() + r.xml.size() * 6 / 5;
    xml_.reserve(xml_.size() + size);
    AppendOpen(xml_, name, "m:cclist");
    for (const auto& r : records) {
        xml_ += "<ctrlcomp>";
        AppendTextElement(xml_, "name", r.name);
        AppendTextElement(xml_, "description", r.description);
        AppendTextElement(xml_, "category", r.category);
        AppendTextElement(xml_, "pid", r.pid);
        AppendTextElement(xml_, "xml", r.xml);
        AppendTextElement(xml_, "state", std::to_string(static_cast<int>(r.state)));
        xml_ += "</ctrlcomp>";
    }
    AppendClose(xml_, name);
}

void SoapResponseWriter::AddMessageList(std::string_view name, const std::vector<ProgressMessage>& messages) {
    AppendOpen(xml_, name, "m:msglist");
    for (const auto& m : messages) {
        xml_ += "<Message>";
        AppendTextElement(xml_, "Severity", std::to_string(m.severity));
        xml_ += "<Catalog>";
        AppendTextElement(xml_, "CatalogID", kMessageCatalog);
        AppendTextElement(xml_, "MsgNo", std::to_string(m.number));
        xml_ += "</Catalog>";
        AppendTextElement(xml_, "MsgString", m.text);
        if (!m.params.empty()) {
            xml_ += "<Params>";
            for (const auto& param : m.params) AppendTextElement(xml_, "Param", param);
            xml_ += "</Params>";
        }
        xml_ += "</Message>";
    }
    AppendClose(xml_, name);
}

std::string SoapResponseWriter::Finish() {
    xml_ += "</m:";
    xml_ += method_;
    xml_ += "Response></soap:Body></soap:Envelope>\n";
    return std::move(xml_);
}

std::string WriteSoapFault(std::string_view code, std::string_view text) {
    std::string xml(kEnvelopeOpen);
    xml += "><soap:Body><soap:Fault><faultcode>";
    AppendXmlText(xml, code);
    xml += "</faultcode><faultstring>";
    AppendXmlText(xml, text);
    xml += "</faultstring></soap:Fault></soap:Body></soap:Envelope>\n";
    return xml;
}

}  // namespace DaDovuSim
