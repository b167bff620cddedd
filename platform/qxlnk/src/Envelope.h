// Writing request envelopes and parsing response envelopes (not installed).
#pragma once

#include <qxlnk/soap.h>

#include <expat.h>

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace QxLnkImpl {

// The prefix under which envelopes declare QxLnkSoap::SERVICE_NAMESPACE.
extern const char* const kServicePrefix;

// IllegalArgumentError_t unless `method` can name an unprefixed XML element.
void CheckMethodName(std::string_view method);

// Appends the request envelope of `method` with `args` (and a TargetID header
// when `targetId` is not null) to `out`. Throws IllegalArgumentError_t for text
// that XML cannot carry; `out` then holds a partial envelope to be discarded.
void AppendRequestEnvelope(std::string& out, std::string_view method, int count,
                           const QxLnkSoap::SOAPArg* const* args, const QxPalStr::String_t* targetId);

// A streaming, namespace-aware parser of SOAP 1.1 response envelopes that
// hands the response element's children to output arguments. Reusable: one
// per connection, reset for each response. Refuses a document type
// declaration, so no entity is ever expanded, and elements nested deeper than
// kMaxDepth, skipped ones included. Not synchronised.
class EnvelopeParser {
public:
    static constexpr int kMaxDepth = 256;

    EnvelopeParser();
    ~EnvelopeParser();
    EnvelopeParser(const EnvelopeParser&) = delete;
    EnvelopeParser& operator=(const EnvelopeParser&) = delete;

    // Starts a new document whose outputs are `outputs` (which must outlive the
    // parse). `context` (e.g. the URI), when given, is named in the messages of
    // SoapExceptions and must outlive the parse too.
    void Begin(int count, QxLnkSoap::SOAPArg* const* outputs, const std::string* context = nullptr);
    // Parses the next piece of the document; false once parsing has stopped on
    // an error. `last`: no piece follows, the document ends with this one
    // (cheaper for Expat than a separate Finish).
    bool Feed(const char* data, std::size_t length, bool last = false);
    // Ends the document (nothing to do after a last piece); false when it is
    // not complete and well-formed.
    bool Finish();
    // After Feed or Finish returned false: throws the SoapException that
    // describes the error, or the exception that an output argument threw.
    [[noreturn]] void RaiseError() const;
    // After Finish returned true: throws SoapFaultException for a Fault and
    // SoapException for an envelope without Body; returns otherwise.
    void CheckResult() const;

private:
    struct Name {
        std::string_view uri, local, prefix;
    };
    enum class BodyPart { None, Response, Fault };
    enum class FaultField { None, Code, String };

    static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char** attributes);
    static void XMLCALL OnEnd(void* self, const XML_Char* name);
    static void XMLCALL OnText(void* self, const XML_Char* text, int length);
    static void XMLCALL OnDoctype(void* self, const XML_Char* name, const XML_Char* sysid,
                                  const XML_Char* pubid, int hasInternalSubset);
    static void XMLCALL OnEntityDecl(void* self, const XML_Char* name, int isParameterEntity,
                                     const XML_Char* value, int valueLength, const XML_Char* base,
                                     const XML_Char* systemId, const XML_Char* publicId,
                                     const XML_Char* notationName);

    static Name Split(const char* name);
    void Start(const char* rawName);
    void End(const char* rawName);
    void Text(const char* text, int length);
    void ToUtf16(const Name& name);
    void Skip() { skipDepth_ = depth_; }
    void Stop(const std::string& reason);  // stops with a SoapException at the current position
    void StopWith(std::exception_ptr error);
    bool ExpatFailed();
    std::string WithContext(std::string text) const;

    XML_Parser parser_ = nullptr;
    unsigned long hashSalt_ = 0;  // random per parser: Expat need not gather entropy per document
    bool fresh_ = true;
    bool finished_ = false;  // the last piece has been parsed
    QxLnkSoap::SOAPArg* const* outputs_ = nullptr;
    int count_ = 0;
    const std::string* context_ = nullptr;

    int depth_ = 0;      // elements open, the current one included
    int skipDepth_ = 0;  // depth of the element whose subtree is being skipped; 0 for none
    bool sawBody_ = false;
    BodyPart part_ = BodyPart::None;
    FaultField faultField_ = FaultField::None;
    std::string faultCode_, faultString_;
    std::vector<std::pair<QxLnkSoap::SOAPElement*, int>> taken_;  // (element, depth) that took a start

    QxPalStr::UTF16String prefix16_, local16_, uri16_, text16_;

    bool failed_ = false;
    std::string error_;           // the SoapException's text when failed_ and !thrown_
    std::exception_ptr thrown_;   // what an output argument threw
};

}  // namespace QxLnkImpl
