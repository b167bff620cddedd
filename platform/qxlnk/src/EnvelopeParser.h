// The SOAP 1.1 response reader (not installed).
#pragma once

#include "Deadlines.h"
#include "NamespaceScope.h"
#include "Utf16Buffer.h"

#include <cstddef>
#include <typeinfo>
#include "XmlDriver.h"

#include <qxlnk/soap.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace QxLnkImpl {

// Reads SOAP 1.1 response envelopes, handing the response element's children
// to output arguments, or keeping a Fault's code and string. The XmlDriver it
// owns parses the XML; this class gives it meaning: Envelope, Body, Fault,
// namespaces and outputs. Reusable, and built to be: one per connection. Not
// synchronised.
class EnvelopeParser final : private XmlEvents {
public:
    static constexpr int kMaxDepth = XmlDriver::kMaxDepth;

    EnvelopeParser();
    EnvelopeParser(const EnvelopeParser&) = delete;
    EnvelopeParser& operator=(const EnvelopeParser&) = delete;

    // Starts a new document whose outputs are `outputs`. `context` (e.g. the
    // URI), when given, is named in the messages of SoapExceptions; parsing
    // stops at the call deadline of `deadlines`, when given. All three must
    // outlive the parse. The outputs may build at most `memoryLimit` bytes
    // (see QxLnkSoap::ChargeResponseMemory). Throws IllegalArgumentError_t for
    // missing outputs.
    void Begin(int count, QxLnkSoap::SOAPArg* const* outputs, const std::string* context = nullptr,
               const Deadlines* deadlines = nullptr, std::size_t memoryLimit = SIZE_MAX);
    // Parses the next piece of the document; false once parsing has stopped.
    // `last`: the document ends with this piece (cheaper than a separate Finish).
    bool Feed(const char* data, std::size_t length, bool last = false);
    // Ends the document (nothing to do after a last piece); false when it is
    // not complete and well-formed.
    bool Finish() { return Feed(nullptr, 0, true); }
    // Adds `bytes` to what the outputs built; throws the SoapException of an
    // oversized response past the limit. For ChargeResponseMemory.
    void Charge(std::size_t bytes);
    // After Feed or Finish returned false: throws what an output argument
    // threw, the TransportError of the call deadline when it passed while
    // parsing, or the SoapException that describes the error.
    [[noreturn]] void RaiseError() const;
    // After Finish returned true: throws SoapFaultException for a Fault and
    // SoapException for an envelope without Body, or without a Fault when
    // `faultRequired` (an HTTP status 500 announces one); returns otherwise.
    void CheckResult(bool faultRequired = false) const;

private:
    enum class BodyPart { None, Response, Fault };
    enum class FaultField { None, Code, String };
    // What one document has shown so far; reset as a whole by Begin.
    struct Document {
        int skipDepth = 0;  // depth of the element whose subtree is skipped; 0 for none
        bool sawBody = false;
        BodyPart part = BodyPart::None;
        FaultField faultField = FaultField::None;
        std::string faultCode, faultString;
    };
    // The state at the end of a frame's opening, restored for its middles.
    struct FrameState {
        Document document;
        NamespaceScope namespaces;
    };

    void OnStart(int depth, const char* name, const char** attributes) override;
    void OnEnd(int depth, const char* name) override;
    void OnText(const char* text, int length) override;
    void OnFrameKept(std::size_t slot) override;
    void OnFrameResumed(std::size_t slot) override;

    void StartOutput(int depth, const NamespaceScope::Name& name);
    QxLnkSoap::SOAPUtf8Text* Utf8TextOf(QxLnkSoap::SOAPElement* element);
    bool Resolve(const char* raw, NamespaceScope::Name& name);
    void FlushText();
    void ToUtf16(const NamespaceScope::Name& name);
    std::string WithContext(std::string text) const;

    XmlDriver driver_;
    QxLnkSoap::SOAPArg* const* outputs_ = nullptr;
    int count_ = 0;
    const std::string* context_ = nullptr;
    const Deadlines* deadlines_ = nullptr;
    std::size_t memoryLimit_ = SIZE_MAX;
    std::size_t memoryCharged_ = 0;

    Document document_;
    NamespaceScope namespaces_;
    // Scratch kept across documents for its capacity.
    // An element that took a start, at its depth, and the same element as a
    // SOAPUtf8Text when it takes its text as UTF-8 (else null).
    struct Taken {
        QxLnkSoap::SOAPElement* element;
        int depth;
        QxLnkSoap::SOAPUtf8Text* utf8;
    };
    std::vector<Taken> taken_;
    // Whether elements of a class take UTF-8 text, learnt with one
    // dynamic_cast per class: the same few classes come with every response.
    struct TextClass {
        const std::type_info* type = nullptr;  // compared, never read
        bool utf8 = false;
    };
    TextClass textClasses_[4];
    std::size_t nextTextClass_ = 0;
    std::string pendingText_;  // text for taken_.back() not yet handed over
    Utf16Buffer prefix16_, local16_, uri16_, text16_;

    FrameState candidate_;
    FrameState frames_[XmlDriver::kFrames];
};

}  // namespace QxLnkImpl
