// Request envelopes (written whole before anything is sent) and the streaming
// response parser.

#include "Envelope.h"

#include "Errors.h"

#include <qxlnk/exceptions.h>
#include <qxpal/xml.h>

#include <cstring>
#include <new>
#include <random>

namespace QxLnkSoap {

const char* const SERVICE_NAMESPACE = "urn:qxlnk:rpc";

}  // namespace QxLnkSoap

namespace QxLnkImpl {

const char* const kServicePrefix = "lnk";

namespace {

constexpr std::string_view kEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

// Separates namespace URI, local name and prefix in the names Expat reports.
// U+0001 cannot occur in an XML 1.0 document, so it never occurs in a name or URI.
constexpr char kNameSeparator = '\x01';

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

bool IsSoap(std::string_view uri, std::string_view local, std::string_view wanted) {
    return local == wanted && uri == kEnvelopeNamespace;
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
        args[i]->WriteTo(writer);
        if (writer.Depth() != 0)
            throw QxPalMsg::IllegalStateError_t(ErrorMessage(
                "The argument '" + args[i]->GetName().ToUtf8() + "' left elements open"));
    }
    out.append("</lnk:");
    out.append(method);
    out.append("></SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

// ---- EnvelopeParser ----

EnvelopeParser::EnvelopeParser() : parser_(XML_ParserCreateNS(nullptr, kNameSeparator)) {
    if (parser_ == nullptr) throw std::bad_alloc();
    std::random_device entropy;
    hashSalt_ = (static_cast<unsigned long>(entropy()) << 32) ^ entropy();
}

EnvelopeParser::~EnvelopeParser() { XML_ParserFree(parser_); }

void EnvelopeParser::Begin(int count, QxLnkSoap::SOAPArg* const* outputs, const std::string* context) {
    if (count < 0 || (count > 0 && outputs == nullptr)) ThrowIllegalArgument("A call needs its outputs");
    for (int i = 0; i < count; ++i) {
        if (outputs[i] == nullptr) ThrowIllegalArgument("A call output is null");
    }
    // A reset parser keeps its memory, so a kept-alive connection parses
    // each response without building a parser anew.
    if (!fresh_ && XML_ParserReset(parser_, nullptr) != XML_TRUE) throw std::bad_alloc();
    fresh_ = false;
    // The salt keeps Expat's hash tables safe from flooding by the peer.
    XML_SetHashSalt(parser_, hashSalt_);
    XML_SetUserData(parser_, this);
    XML_SetReturnNSTriplet(parser_, 1);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetElementHandler(parser_, &OnStart, &OnEnd);
    XML_SetCharacterDataHandler(parser_, &OnText);
    XML_SetStartDoctypeDeclHandler(parser_, &OnDoctype);
    XML_SetEntityDeclHandler(parser_, &OnEntityDecl);

    outputs_ = outputs;
    count_ = count;
    context_ = context;
    depth_ = 0;
    skipDepth_ = 0;
    sawBody_ = false;
    part_ = BodyPart::None;
    faultField_ = FaultField::None;
    faultCode_.clear();
    faultString_.clear();
    taken_.clear();
    finished_ = false;
    failed_ = false;
    error_.clear();
    thrown_ = nullptr;
}

bool EnvelopeParser::Feed(const char* data, std::size_t length, bool last) {
    constexpr std::size_t kPiece = std::size_t{1} << 30;  // XML_Parse takes an int length
    while (!failed_ && !finished_ && length > 0) {
        const std::size_t piece = length < kPiece ? length : kPiece;
        const bool final = last && piece == length;
        if (XML_Parse(parser_, data, static_cast<int>(piece), final ? XML_TRUE : XML_FALSE) != XML_STATUS_OK)
            return ExpatFailed();
        finished_ = final;
        data += piece;
        length -= piece;
    }
    return !failed_;
}

bool EnvelopeParser::Finish() {
    if (failed_) return false;
    if (finished_) return true;
    finished_ = true;
    if (XML_Parse(parser_, nullptr, 0, XML_TRUE) != XML_STATUS_OK) return ExpatFailed();
    return !failed_;
}

bool EnvelopeParser::ExpatFailed() {
    if (!failed_) {
        failed_ = true;
        error_ = "The response is not well-formed XML: ";
        error_ += XML_ErrorString(XML_GetErrorCode(parser_));
        error_ += " at line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ", column " +
                  std::to_string(XML_GetCurrentColumnNumber(parser_) + 1);
    }
    return false;
}

std::string EnvelopeParser::WithContext(std::string text) const {
    if (context_ != nullptr && !context_->empty()) text += " (" + *context_ + ")";
    return text;
}

void EnvelopeParser::RaiseError() const {
    if (thrown_) std::rethrow_exception(thrown_);
    throw QxLnkSoap::SoapException(ErrorMessage(WithContext(error_.empty() ? "The response could not be parsed" : error_)));
}

void EnvelopeParser::CheckResult() const {
    if (!sawBody_) throw QxLnkSoap::SoapException(ErrorMessage(WithContext("The SOAP envelope of the response has no Body")));
    if (part_ == BodyPart::Fault)
        throw QxLnkSoap::SoapFaultException(QxPalStr::String_t(std::string_view(faultCode_)),
                                            QxPalStr::String_t(std::string_view(faultString_)));
}

void EnvelopeParser::Stop(const std::string& reason) {
    if (failed_) return;
    failed_ = true;
    error_ = reason + " at line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ", column " +
             std::to_string(XML_GetCurrentColumnNumber(parser_) + 1);
    XML_StopParser(parser_, XML_FALSE);
}

void EnvelopeParser::StopWith(std::exception_ptr error) {
    if (failed_) return;
    failed_ = true;
    thrown_ = std::move(error);
    XML_StopParser(parser_, XML_FALSE);
}

EnvelopeParser::Name EnvelopeParser::Split(const char* name) {
    Name parts;
    const char* first = std::strchr(name, kNameSeparator);
    if (first == nullptr) {
        parts.local = name;
        return parts;
    }
    parts.uri = std::string_view(name, static_cast<std::size_t>(first - name));
    const char* local = first + 1;
    const char* second = std::strchr(local, kNameSeparator);
    if (second == nullptr) {
        parts.local = local;
    } else {
        parts.local = std::string_view(local, static_cast<std::size_t>(second - local));
        parts.prefix = second + 1;
    }
    return parts;
}

void EnvelopeParser::ToUtf16(const Name& name) {
    prefix16_.clear();
    local16_.clear();
    uri16_.clear();
    QxPalStr::AppendUtf16(prefix16_, name.prefix);
    QxPalStr::AppendUtf16(local16_, name.local);
    QxPalStr::AppendUtf16(uri16_, name.uri);
}

// Expat is C: no exception may cross it, so each handler stores what was
// thrown and stops the parser; RaiseError rethrows it.
void XMLCALL EnvelopeParser::OnStart(void* self, const XML_Char* name, const XML_Char** /*attributes*/) {
    auto* parser = static_cast<EnvelopeParser*>(self);
    try {
        parser->Start(name);
    } catch (...) {
        parser->StopWith(std::current_exception());
    }
}

void XMLCALL EnvelopeParser::OnEnd(void* self, const XML_Char* name) {
    auto* parser = static_cast<EnvelopeParser*>(self);
    try {
        parser->End(name);
    } catch (...) {
        parser->StopWith(std::current_exception());
    }
}

void XMLCALL EnvelopeParser::OnText(void* self, const XML_Char* text, int length) {
    auto* parser = static_cast<EnvelopeParser*>(self);
    try {
        parser->Text(text, length);
    } catch (...) {
        parser->StopWith(std::current_exception());
    }
}

void XMLCALL EnvelopeParser::OnDoctype(void* self, const XML_Char* /*name*/, const XML_Char* /*sysid*/,
                                       const XML_Char* /*pubid*/, int /*hasInternalSubset*/) {
    auto* parser = static_cast<EnvelopeParser*>(self);
    try {
        parser->Stop("The response carries a document type declaration, which is refused");
    } catch (...) {
        parser->StopWith(std::current_exception());
    }
}

void XMLCALL EnvelopeParser::OnEntityDecl(void* self, const XML_Char* /*name*/, int /*isParameterEntity*/,
                                          const XML_Char* /*value*/, int /*valueLength*/,
                                          const XML_Char* /*base*/, const XML_Char* /*systemId*/,
                                          const XML_Char* /*publicId*/, const XML_Char* /*notationName*/) {
    auto* parser = static_cast<EnvelopeParser*>(self);
    try {
        parser->Stop("The response declares an entity, which is refused");
    } catch (...) {
        parser->StopWith(std::current_exception());
    }
}

// Depths: 1 Envelope, 2 Header/Body, 3 the response element or Fault,
// 4 the outputs (or faultcode/faultstring), 5 and deeper their content.
void EnvelopeParser::Start(const char* rawName) {
    ++depth_;
    if (depth_ > kMaxDepth) {
        // No answer nests this deep; output arguments need not survive what would.
        Stop("The response nests elements deeper than " + std::to_string(kMaxDepth) + " levels");
        return;
    }
    if (skipDepth_ != 0 || failed_) return;
    const Name name = Split(rawName);
    switch (depth_) {
    case 1:
        if (!IsSoap(name.uri, name.local, "Envelope")) {
            std::string reason = "The response is not a SOAP 1.1 envelope: its root element is '";
            reason.append(name.local);
            if (!name.uri.empty()) reason.append("' in namespace '").append(name.uri);
            reason += "'";
            Stop(reason);
        }
        return;
    case 2:
        if (!sawBody_ && IsSoap(name.uri, name.local, "Body")) {
            sawBody_ = true;
        } else {
            Skip();  // Header blocks and anything after the Body are not for the caller
        }
        return;
    case 3:
        if (part_ != BodyPart::None) {
            Skip();
        } else {
            part_ = IsSoap(name.uri, name.local, "Fault") ? BodyPart::Fault : BodyPart::Response;
        }
        return;
    case 4:
        if (part_ == BodyPart::Fault) {
            if (name.local == "faultcode") {
                faultField_ = FaultField::Code;
            } else if (name.local == "faultstring") {
                faultField_ = FaultField::String;
            } else {
                Skip();
            }
            return;
        }
        ToUtf16(name);
        for (int i = 0; i < count_; ++i) {
            QxLnkSoap::SOAPElement* element =
                outputs_[i]->StartElement(prefix16_.c_str(), local16_.c_str(), uri16_.c_str());
            if (element != nullptr) {
                taken_.emplace_back(element, depth_);
                return;
            }
        }
        Skip();
        return;
    default:
        if (taken_.empty()) {
            Skip();
            return;
        }
        ToUtf16(name);
        QxLnkSoap::SOAPElement* element =
            taken_.back().first->StartElement(prefix16_.c_str(), local16_.c_str(), uri16_.c_str());
        if (element != nullptr) {
            taken_.emplace_back(element, depth_);
        } else {
            Skip();
        }
        return;
    }
}

void EnvelopeParser::End(const char* rawName) {
    if (skipDepth_ != 0) {
        if (depth_ == skipDepth_) skipDepth_ = 0;
        --depth_;
        return;
    }
    if (!taken_.empty() && taken_.back().second == depth_) {
        ToUtf16(Split(rawName));
        QxLnkSoap::SOAPElement* element = taken_.back().first;
        taken_.pop_back();
        element->EndElement(prefix16_.c_str(), local16_.c_str(), uri16_.c_str());
    } else if (depth_ == 4) {
        faultField_ = FaultField::None;
    }
    --depth_;
}

void EnvelopeParser::Text(const char* text, int length) {
    if (skipDepth_ != 0 || length <= 0) return;
    if (!taken_.empty()) {
        text16_.clear();
        QxPalStr::AppendUtf16(text16_, std::string_view(text, static_cast<std::size_t>(length)));
        taken_.back().first->Characters(text16_.c_str(), static_cast<int>(text16_.size()));
    } else if (faultField_ == FaultField::Code) {
        faultCode_.append(text, static_cast<std::size_t>(length));
    } else if (faultField_ == FaultField::String) {
        faultString_.append(text, static_cast<std::size_t>(length));
    }
}

}  // namespace QxLnkImpl

namespace QxLnkSoap {

std::string WriteRequestEnvelope(const char* method, int count, const SOAPArg* const* args,
                                 const QxPalStr::String_t* targetId) {
    std::string out;
    QxLnkImpl::AppendRequestEnvelope(out, method != nullptr ? method : "", count, args, targetId);
    return out;
}

void ParseResponseEnvelope(std::string_view body, int count, SOAPArg* const* outputs, std::size_t maxBytes) {
    if (body.size() > maxBytes)
        throw SoapException(QxLnkImpl::ErrorMessage("The response of " + std::to_string(body.size()) +
                                                    " bytes exceeds the limit of " + std::to_string(maxBytes) +
                                                    " bytes"));
    QxLnkImpl::EnvelopeParser parser;
    parser.Begin(count, outputs);
    if (!parser.Feed(body.data(), body.size(), true) || !parser.Finish()) parser.RaiseError();
    parser.CheckResult();
}

}  // namespace QxLnkSoap
