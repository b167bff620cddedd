// Writing request envelopes and parsing response envelopes (not installed).
#pragma once

#include <qxlnk/soap.h>

#include <expat.h>

#include <cstddef>
#include <exception>
#include <memory>
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

// Zero-terminated UTF-16 text decoded from the UTF-8 that Expat reports (and
// has checked), in a buffer kept for the next text.
class Utf16Buffer {
public:
    // Replaces the content; returns it. `utf8` must be valid UTF-8.
    const unsigned short* Decode(std::string_view utf8);
    const unsigned short* Data() const { return units_.get(); }
    std::size_t Size() const { return size_; }

private:
    std::unique_ptr<unsigned short[]> units_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// A streaming parser of SOAP 1.1 response envelopes that hands the response
// element's children to output arguments. Refuses a document type
// declaration, so no entity is ever expanded, and elements nested deeper than
// kMaxDepth, skipped ones included. Not synchronised.
//
// Reusable, and built to be: one per connection. Expat runs without its
// namespace processing (this class resolves the prefixes from the xmlns
// attributes), and a UTF-8 document that starts with its root element, after
// an optional XML declaration that this class reads itself, is parsed as one
// more child of a single element that a long-lived Expat parser keeps open.
// Expat then keeps the names it has seen, and a response costs no parser
// reset, no declaration and no table rebuilt. A marker element after each
// document proves that Expat has consumed all of it. Any other document (a
// different encoding, a byte order mark, a document type or comment before
// the root) gets an Expat parser of its own. After a failure, or once the
// long-lived parser has taken kStreamBytes, it is replaced.
//
// The responses of one server repeat their frame: the bytes up to the end of
// the response element's start tag (declaration, Envelope, Body and their
// namespace declarations) and from its end tag on. For a response that
// arrives in one piece and starts and ends with the frame of one of the last
// kFrames such responses, Expat parses only what lies between, in the state
// that the frame's opening left (the namespaces it declared), which it
// checked when it parsed that response whole. Errors are placed as in the
// whole document. One case is placed differently: a middle that closes the
// response element itself is refused where it does so.
class EnvelopeParser {
public:
    static constexpr int kMaxDepth = 256;
    static constexpr std::size_t kStreamBytes = std::size_t{1} << 20;
    static constexpr std::size_t kFrames = 4;
    static constexpr std::size_t kMaxFrameBytes = 4096;

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
    // (cheaper than a separate Finish).
    bool Feed(const char* data, std::size_t length, bool last = false);
    // Ends the document (nothing to do after a last piece); false when it is
    // not complete and well-formed.
    bool Finish();
    // After Feed or Finish returned false: throws the SoapException that
    // describes the error, or the exception that an output argument threw.
    [[noreturn]] void RaiseError() const;
    // After Finish returned true: throws SoapFaultException for a Fault and
    // SoapException for an envelope without Body, or without a Fault when
    // `faultRequired` (an HTTP status 500 announces one); returns otherwise.
    void CheckResult(bool faultRequired = false) const;

private:
    struct Name {
        std::string_view uri, local, prefix;
    };
    // A namespace declaration in scope: its texts in bindingText_.
    struct Binding {
        std::size_t prefixAt, prefixLength, uriAt, uriLength;
        int depth;
    };
    struct ExpatDeleter {
        void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
    };
    using ExpatPtr = std::unique_ptr<XML_ParserStruct, ExpatDeleter>;
    enum class Route { Undecided, Stream, Whole };
    enum class BodyPart { None, Response, Fault };
    enum class FaultField { None, Code, String };
    // A response's opening and closing, and the state its opening leaves.
    struct Frame {
        std::string opening, closing;
        std::vector<Binding> bindings;
        std::string bindingText;
        BodyPart part = BodyPart::None;
        unsigned long openingLines = 0;    // line breaks in the opening
        unsigned long openingColumns = 0;  // characters after its last line break
    };

    static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char** attributes);
    static void XMLCALL OnEnd(void* self, const XML_Char* name);
    static void XMLCALL OnText(void* self, const XML_Char* text, int length);
    static void XMLCALL OnDoctype(void* self, const XML_Char* name, const XML_Char* sysid,
                                  const XML_Char* pubid, int hasInternalSubset);
    static void XMLCALL OnEntityDecl(void* self, const XML_Char* name, int isParameterEntity,
                                     const XML_Char* value, int valueLength, const XML_Char* base,
                                     const XML_Char* systemId, const XML_Char* publicId,
                                     const XML_Char* notationName);

    ExpatPtr NewExpat(const char* encoding);
    bool Decide(std::string_view head, bool complete);
    void UseStream();
    const Frame* MatchFrame(const char* data, std::size_t length) const;
    void RecordFrame();
    bool Parse(const char* data, std::size_t length, bool last);
    bool EndOfStreamDocument(std::string_view lastPiece);
    void Start(const char* rawName, const char** attributes);
    void End(const char* rawName);
    void Text(const char* text, int length);
    bool Declare(std::string_view prefix, std::string_view uri);
    bool Resolve(const char* rawName, Name& name);
    void PopBindings();
    void FlushText();
    void ToUtf16(const Name& name);
    void Skip() { skipDepth_ = depth_; }
    // Stops with a SoapException at the current position (moved right by `columnShift`).
    void Stop(const std::string& reason, unsigned long columnShift = 0);
    void StopMalformed(XML_Error code, unsigned long columnShift = 0);
    void StopWith(std::exception_ptr error);
    bool ExpatFailed();
    std::string Position(unsigned long columnShift = 0) const;
    std::string WithContext(std::string text) const;

    unsigned long hashSalt_ = 0;  // its own per object: Expat need not gather entropy per parser
    ExpatPtr stream_;             // the long-lived parser, its outer element open
    bool streamReady_ = false;    // stream_ stands between two documents
    std::size_t streamBytes_ = 0; // bytes stream_ has taken
    ExpatPtr whole_;              // this document's own parser, off the stream
    XML_Parser current_ = nullptr;
    Route route_ = Route::Undecided;
    std::string head_;            // the first bytes, while the route is undecided
    std::size_t declarationLength_ = 0;  // XML declaration bytes read here, not by Expat
    unsigned long baseLine_ = 1, baseColumn_ = 0;  // where the document starts in stream_
    bool opening_ = false;        // stream_'s outer element is being opened
    bool markerFed_ = false;      // the end marker is being parsed
    bool sawMarker_ = false;
    bool sawRoot_ = false;
    int floor_ = 0;               // the depth the document starts at: 3 inside a known frame
    std::size_t documentStart_ = 0;  // stream bytes before this document's first byte fed

    // Frames: the document when it came in one piece, where its opening
    // ends and its closing starts (npos until seen), and the frame it used.
    Frame frames_[kFrames];
    std::size_t nextFrame_ = 0;
    Frame candidate_;
    const char* piece_ = nullptr;
    std::size_t pieceLength_ = 0;
    std::size_t openingEnd_ = std::string::npos;
    std::size_t closingStart_ = std::string::npos;
    const Frame* frame_ = nullptr;

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
    std::vector<Binding> bindings_;
    std::string bindingText_;

    std::string pendingText_;  // text for taken_.back() not yet handed over
    Utf16Buffer prefix16_, local16_, uri16_, text16_;

    bool failed_ = false;
    std::string error_;           // the SoapException's text when failed_ and !thrown_
    std::exception_ptr thrown_;   // what an output argument threw
};

}  // namespace QxLnkImpl
