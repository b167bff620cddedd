// SOAP 1.1 responses: Envelope, Body, Fault and the outputs.

#include "EnvelopeParser.h"

#include "EnvelopeFormat.h"
#include "Errors.h"

#include <qxlnk/exceptions.h>

#include <cstring>

namespace QxLnkImpl {

namespace {

bool IsSoap(const NamespaceScope::Name& name, std::string_view wanted) {
    return name.local == wanted && name.uri == kEnvelopeNamespace;
}

}  // namespace

EnvelopeParser::EnvelopeParser() : driver_(*this) {}

namespace {

// The parser whose outputs are being handed elements on this thread.
thread_local EnvelopeParser* t_parsing = nullptr;

class ParsingScope {
public:
    explicit ParsingScope(EnvelopeParser* parser) : previous_(t_parsing) { t_parsing = parser; }
    ~ParsingScope() { t_parsing = previous_; }
    ParsingScope(const ParsingScope&) = delete;
    ParsingScope& operator=(const ParsingScope&) = delete;

private:
    EnvelopeParser* previous_;
};

}  // namespace

bool EnvelopeParser::Feed(const char* data, std::size_t length, bool last) {
    const ParsingScope scope(this);
    return driver_.Feed(data, length, last);
}

void EnvelopeParser::Charge(std::size_t bytes) {
    memoryCharged_ += bytes;
    if (memoryCharged_ <= memoryLimit_) return;
    throw QxLnkSoap::SoapException(ErrorMessage(WithContext(
        "The response makes its results larger than " + std::to_string(memoryLimit_) + " bytes, " +
        std::to_string(QxLnkSoap::kResponseMemoryFactor) + " times the limit of a response's size")));
}

void EnvelopeParser::Begin(int count, QxLnkSoap::SOAPArg* const* outputs, const std::string* context,
                           const Deadlines* deadlines, std::size_t memoryLimit) {
    if (count < 0 || (count > 0 && outputs == nullptr)) ThrowIllegalArgument("A call needs its outputs");
    for (int i = 0; i < count; ++i) {
        if (outputs[i] == nullptr) ThrowIllegalArgument("A call output is null");
    }
    driver_.Begin(deadlines != nullptr ? &deadlines->call : nullptr);
    outputs_ = outputs;
    count_ = count;
    context_ = context;
    deadlines_ = deadlines;
    memoryLimit_ = memoryLimit;
    memoryCharged_ = 0;
    document_ = Document();
    namespaces_.Clear();
    taken_.clear();
    pendingText_.clear();
}

std::string EnvelopeParser::WithContext(std::string text) const {
    if (context_ != nullptr && !context_->empty()) text += " (" + *context_ + ")";
    return text;
}

void EnvelopeParser::RaiseError() const {
    if (driver_.Thrown()) std::rethrow_exception(driver_.Thrown());
    if (driver_.TimedOut() && deadlines_ != nullptr) ThrowResponseTimeout(*deadlines_);
    const std::string& reason = driver_.Reason();
    throw QxLnkSoap::SoapException(
        ErrorMessage(WithContext(reason.empty() ? "The response could not be parsed" : reason)));
}

void EnvelopeParser::CheckResult(bool faultRequired) const {
    if (!document_.sawBody)
        throw QxLnkSoap::SoapException(ErrorMessage(WithContext("The SOAP envelope of the response has no Body")));
    if (document_.part == BodyPart::Fault)
        throw QxLnkSoap::SoapFaultException(QxPalStr::String_t(std::string_view(document_.faultCode)),
                                            QxPalStr::String_t(std::string_view(document_.faultString)));
    // A server error whose body reads like an answer must not pass for one.
    if (faultRequired)
        throw QxLnkSoap::SoapException(
            ErrorMessage(WithContext("The response has HTTP status 500 but its body carries no SOAP Fault")));
}

void EnvelopeParser::OnFrameKept(std::size_t slot) { std::swap(frames_[slot], candidate_); }

void EnvelopeParser::OnFrameResumed(std::size_t slot) {
    document_ = frames_[slot].document;
    namespaces_ = frames_[slot].namespaces;
}

bool EnvelopeParser::Resolve(const char* raw, NamespaceScope::Name& name) {
    const XML_Error error = namespaces_.Resolve(raw, name);
    if (error == XML_ERROR_NONE) return true;
    driver_.StopMalformed(error);
    return false;
}

// Hands the text gathered since the last start or end to the element that takes it.
void EnvelopeParser::FlushText() {
    const Taken& taker = taken_.back();
    if (taker.utf8 != nullptr) {
        taker.utf8->CharactersUtf8(pendingText_);
    } else {
        const unsigned short* text = text16_.Decode(pendingText_);
        taker.element->Characters(text, static_cast<int>(text16_.Size()));
    }
    pendingText_.clear();
}

void EnvelopeParser::ToUtf16(const NamespaceScope::Name& name) {
    prefix16_.Decode(name.prefix);
    local16_.Decode(name.local);
    uri16_.Decode(name.uri);
}

// Depths: 1 Envelope, 2 Header/Body, 3 the response element or Fault,
// 4 the outputs (or faultcode/faultstring), 5 and deeper their content.
void EnvelopeParser::OnStart(int depth, const char* rawName, const char** attributes) {
    if (!pendingText_.empty()) FlushText();
    Document& d = document_;
    // Skipped subtrees are not interpreted: their namespaces are not resolved.
    if (d.skipDepth != 0) return;
    bool prefixedAttributes = false;
    for (const char** attribute = attributes; *attribute != nullptr; attribute += 2) {
        const char* key = attribute[0];
        if (std::strncmp(key, "xmlns", 5) == 0 && (key[5] == '\0' || key[5] == ':')) {
            const XML_Error error =
                namespaces_.Declare(key[5] == '\0' ? std::string_view() : std::string_view(key + 6), attribute[1], depth);
            if (error != XML_ERROR_NONE) return driver_.StopMalformed(error);
        } else {
            prefixedAttributes = prefixedAttributes || std::strchr(key, ':') != nullptr;
        }
    }
    NamespaceScope::Name name;
    if (!Resolve(rawName, name)) return;
    // Other attributes are not read, but their prefixes must be declared too.
    for (const char** attribute = attributes; prefixedAttributes && *attribute != nullptr; attribute += 2) {
        const char* key = attribute[0];
        if (std::strchr(key, ':') == nullptr || std::strncmp(key, "xmlns:", 6) == 0) continue;
        NamespaceScope::Name attributeName;
        if (!Resolve(key, attributeName)) return;
    }
    switch (depth) {
    case 1:
        if (!IsSoap(name, "Envelope")) {
            std::string reason = "The response is not a SOAP 1.1 envelope: its root element is '";
            reason.append(name.local);
            if (!name.uri.empty()) reason.append("' in namespace '").append(name.uri);
            reason += "'";
            driver_.Stop(reason);
        }
        return;
    case 2:
        if (!d.sawBody && IsSoap(name, "Body")) {
            d.sawBody = true;
        } else {
            d.skipDepth = depth;  // Header blocks and anything after the Body are not for the caller
        }
        return;
    case 3:
        if (d.part != BodyPart::None) {
            d.skipDepth = depth;
            return;
        }
        d.part = IsSoap(name, "Fault") ? BodyPart::Fault : BodyPart::Response;
        // Where the frame of the response's opening ends: its state is kept with it.
        if (driver_.MarkFrameOpening()) {
            candidate_.document = d;
            candidate_.namespaces = namespaces_;
        }
        return;
    case 4:
        if (d.part == BodyPart::Fault) {
            if (name.local == "faultcode") {
                d.faultField = FaultField::Code;
            } else if (name.local == "faultstring") {
                d.faultField = FaultField::String;
            } else {
                d.skipDepth = depth;
            }
            return;
        }
        return StartOutput(depth, name);
    default:
        return StartOutput(depth, name);
    }
}

// Offers an element to the outputs (at depth 4) or to the element that took
// its parent; skips it when none takes it.
void EnvelopeParser::StartOutput(int depth, const NamespaceScope::Name& name) {
    if (depth > 4 && taken_.empty()) {
        document_.skipDepth = depth;
        return;
    }
    ToUtf16(name);
    QxLnkSoap::SOAPElement* element = nullptr;
    if (depth == 4) {
        for (int i = 0; i < count_ && element == nullptr; ++i)
            element = outputs_[i]->StartElement(prefix16_.Data(), local16_.Data(), uri16_.Data());
    } else {
        element = taken_.back().element->StartElement(prefix16_.Data(), local16_.Data(), uri16_.Data());
    }
    if (element != nullptr) {
        // An element that takes its own children is asked once what text it takes.
        QxLnkSoap::SOAPUtf8Text* utf8 = !taken_.empty() && taken_.back().element == element
                                            ? taken_.back().utf8
                                            : Utf8TextOf(element);
        taken_.push_back(Taken{element, depth, utf8});
    } else {
        document_.skipDepth = depth;
    }
}

// Classes that do not take UTF-8 are remembered by the address of their type
// information, compared and never read, so that most elements cost no
// dynamic_cast (it walks the class hierarchy). A class that does is cast
// each time: the cast finds its part whatever the element's layout.
QxLnkSoap::SOAPUtf8Text* EnvelopeParser::Utf8TextOf(QxLnkSoap::SOAPElement* element) {
    const std::type_info* type = &typeid(*element);
    for (const TextClass& known : textClasses_) {
        if (known.type == type && !known.utf8) return nullptr;
    }
    QxLnkSoap::SOAPUtf8Text* utf8 = dynamic_cast<QxLnkSoap::SOAPUtf8Text*>(element);
    for (const TextClass& known : textClasses_) {
        if (known.type == type) return utf8;
    }
    TextClass& learnt = textClasses_[nextTextClass_];
    nextTextClass_ = (nextTextClass_ + 1) % (sizeof(textClasses_) / sizeof(textClasses_[0]));
    learnt.type = type;
    learnt.utf8 = utf8 != nullptr;
    return utf8;
}

void EnvelopeParser::OnEnd(int depth, const char* rawName) {
    if (!pendingText_.empty()) FlushText();
    Document& d = document_;
    if (d.skipDepth != 0) {
        if (depth == d.skipDepth) {
            d.skipDepth = 0;
            namespaces_.Pop(depth);
        }
        return;
    }
    if (!taken_.empty() && taken_.back().depth == depth) {
        NamespaceScope::Name name;
        if (!Resolve(rawName, name)) return;
        ToUtf16(name);
        QxLnkSoap::SOAPElement* element = taken_.back().element;
        taken_.pop_back();
        element->EndElement(prefix16_.Data(), local16_.Data(), uri16_.Data());
    } else if (depth == 4) {
        d.faultField = FaultField::None;
    }
    namespaces_.Pop(depth);
}

void EnvelopeParser::OnText(const char* text, int length) {
    Document& d = document_;
    if (d.skipDepth != 0) return;
    if (!taken_.empty()) {
        // Expat reports a text in pieces (one per line end or reference):
        // the pieces are joined, and the element gets them at once.
        pendingText_.append(text, static_cast<std::size_t>(length));
    } else if (d.faultField == FaultField::Code) {
        d.faultCode.append(text, static_cast<std::size_t>(length));
    } else if (d.faultField == FaultField::String) {
        d.faultString.append(text, static_cast<std::size_t>(length));
    }
}

}  // namespace QxLnkImpl

namespace QxLnkSoap {

void ChargeResponseMemory(std::size_t bytes) {
    if (QxLnkImpl::EnvelopeParser* parser = QxLnkImpl::t_parsing) parser->Charge(bytes);
}

void ParseResponseEnvelope(std::string_view body, int count, SOAPArg* const* outputs, std::size_t maxBytes) {
    if (body.size() > maxBytes)
        throw SoapException(QxLnkImpl::ErrorMessage("The response of " + std::to_string(body.size()) +
                                                    " bytes exceeds the limit of " + std::to_string(maxBytes) +
                                                    " bytes"));
    QxLnkImpl::EnvelopeParser parser;
    parser.Begin(count, outputs, nullptr, nullptr,
                 maxBytes > SIZE_MAX / kResponseMemoryFactor ? SIZE_MAX : kResponseMemoryFactor * maxBytes);
    if (!parser.Feed(body.data(), body.size(), true) || !parser.Finish()) parser.RaiseError();
    parser.CheckResult();
}

}  // namespace QxLnkSoap
