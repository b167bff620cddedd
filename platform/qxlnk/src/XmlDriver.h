// Drives Expat over the documents of one connection (not installed).
#pragma once

#include <qxlnk/soap.h>

#include <expat.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace QxLnkImpl {

// Receives the elements and text of the documents an XmlDriver parses.
// Handlers may throw: the driver stops the document and keeps the exception.
class XmlEvents {
public:
    // `depth` is 1 for the document's root. Attribute names and values
    // alternate in `attributes`, which a null pointer ends.
    virtual void OnStart(int depth, const char* name, const char** attributes) = 0;
    virtual void OnEnd(int depth, const char* name) = 0;
    // Text inside the root; Expat may report one text in several calls.
    virtual void OnText(const char* text, int length) = 0;
    // The document's frame (see XmlDriver) was kept in `slot`: keep the state
    // saved when MarkFrameOpening returned true with it.
    virtual void OnFrameKept(std::size_t slot) = 0;
    // The document starts inside the frame kept in `slot`: restore its state.
    virtual void OnFrameResumed(std::size_t slot) = 0;

protected:
    ~XmlEvents() = default;
};

// Parses the documents that follow each other on one connection with as
// little Expat work as possible, and decides when each is complete and
// well-formed. Refuses a document type declaration and elements nested deeper
// than kMaxDepth. Not synchronised; one per connection.
//
// Reuse: Expat runs without namespace processing (the events' receiver
// resolves prefixes), and a UTF-8 document that starts with its root, after
// an optional XML declaration that the driver reads itself, is parsed as one
// more child of a single element that a long-lived Expat parser keeps open.
// Expat then keeps the names it has seen, and a document costs no parser
// reset, no declaration and no table rebuilt. Any other document (another
// encoding, a byte order mark, a document type or comment before the root)
// gets an Expat parser of its own. After a failure, or once the long-lived
// parser has taken kStreamBytes, it is replaced.
//
// End of a document: once its last byte has been fed, with reparse deferral
// off, Expat has parsed every complete token, so what it has not consumed is
// the start of an unfinished token, or a CR that may begin a CR LF, or text
// that may begin "]]>". The driver then feeds a marker element, which ends
// such text as the next markup would and is refused inside any other token:
// the document is complete when the marker starts where the root has closed.
// This holds however the document was split into pieces and whatever Expat
// held back between them.
//
// Frames: the documents of one server repeat their frame, the bytes up to
// the end of the start tag that the receiver marks (MarkFrameOpening) and
// from its end tag on. For a document that arrives in one piece and starts
// and ends with one of the last kFrames frames, Expat parses only the middle,
// in the state the frame's opening left, which the receiver restores
// (OnFrameResumed). The middle is then complete when the marker starts at the
// marked element's depth; its bytes are followed by the same closing that was
// parsed whole before. Errors are placed as in the whole document, except
// that a middle closing the marked element itself is refused where it does so.
//
// Time: with a deadline, the clock is read after every kClockStride bytes
// parsed, and a document still being parsed when the deadline has passed is
// refused as timed out.
class XmlDriver {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kMaxDepth = 256;
    static constexpr std::size_t kStreamBytes = std::size_t{1} << 20;
    static constexpr std::size_t kFrames = 4;
    static constexpr std::size_t kMaxFrameBytes = 4096;
    static constexpr std::size_t kClockStride = std::size_t{256} << 10;

    // `events` must outlive the driver.
    explicit XmlDriver(XmlEvents& events);
    ~XmlDriver();
    XmlDriver(const XmlDriver&) = delete;
    XmlDriver& operator=(const XmlDriver&) = delete;

    // Starts a new document, to be parsed by `deadline` when one is given.
    void Begin(const Clock::time_point* deadline = nullptr);
    // Parses the next piece; false once the document has failed. `last`: the
    // document ends with this piece.
    bool Feed(const char* data, std::size_t length, bool last);
    // Ends the document (nothing to do after a last piece); false when it is
    // not complete and well-formed.
    bool Finish() { return Feed(nullptr, 0, true); }

    // Inside OnStart: the current start tag ends the document's frame. True
    // when the frame may be kept: the receiver then saves its state, which
    // OnFrameKept or a later Begin settles.
    bool MarkFrameOpening();
    // Inside OnEnd: the current end tag starts the frame's closing.
    void MarkFrameClosing();

    // Stop the document at the current position (moved right by `columnShift`
    // characters); the first failure of a document is the one kept.
    void Stop(const std::string& reason, unsigned long columnShift = 0);
    void StopMalformed(XML_Error code, unsigned long columnShift = 0);
    void StopWith(std::exception_ptr error);

    // The outcome of a failed document: the exception a handler threw, or
    // whether the deadline passed, or the text of the refusal.
    bool Failed() const { return failure_.failed; }
    bool TimedOut() const { return failure_.timedOut; }
    const std::exception_ptr& Thrown() const { return failure_.thrown; }
    const std::string& Reason() const { return failure_.reason; }

private:
    struct ExpatDeleter {
        void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
    };
    using ExpatPtr = std::unique_ptr<XML_ParserStruct, ExpatDeleter>;
    enum class Route { Undecided, Stream, Whole };
    struct Frame;
    // How far a text moves the position, as Expat counts: CR, LF and CR LF
    // each end a line; a column is a character.
    struct Extent {
        unsigned long long lines = 0;
        unsigned long long columns = 0;  // after the last line break
        static Extent Of(std::string_view text);
    };
    struct Failure {
        bool failed = false;
        bool timedOut = false;
        std::string reason;
        std::exception_ptr thrown;
    };
    // What the driver knows of the document being parsed.
    struct Document {
        Route route = Route::Undecided;
        std::size_t declarationLength = 0;  // XML declaration bytes read here, not by Expat
        std::size_t start = 0;              // stream bytes before the document's first byte fed
        int depth = 0;                      // elements open, the current one included
        int floor = 0;                      // the depth the document starts at: more inside a frame
        bool sawRoot = false;
        bool markerFed = false;             // the end marker is being parsed
        bool sawMarker = false;
        bool finished = false;              // the last piece has been parsed
        bool inCdata = false;               // inside a CDATA section, which Expat reads as it comes
        Extent declaration;                 // of the XML declaration read here
        const Frame* frame = nullptr;       // the frame whose middle this document is
        // The document when it came in one piece, and where its frame's
        // opening ends and closing starts (npos until seen).
        const char* whole = nullptr;
        std::size_t wholeLength = 0;
        std::size_t openingEnd = std::string::npos;
        std::size_t closingStart = std::string::npos;
        int openingDepth = 0;
    };

    static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char** attributes);
    static void XMLCALL OnEnd(void* self, const XML_Char* name);
    static void XMLCALL OnText(void* self, const XML_Char* text, int length);
    static void XMLCALL OnCdataStart(void* self);
    static void XMLCALL OnCdataEnd(void* self);
    static void XMLCALL OnDoctype(void* self, const XML_Char* name, const XML_Char* sysid, const XML_Char* pubid,
                                  int hasInternalSubset);
    static void XMLCALL OnEntityDecl(void* self, const XML_Char* name, int isParameterEntity, const XML_Char* value,
                                     int valueLength, const XML_Char* base, const XML_Char* systemId,
                                     const XML_Char* publicId, const XML_Char* notationName);

    void Start(const char* name, const char** attributes);
    void End(const char* name);
    void Text(const char* text, int length);

    ExpatPtr NewExpat(const char* encoding);
    bool Decide(std::string_view head, bool complete);
    void UseStream();
    const Frame* MatchFrame(const char* data, std::size_t length) const;
    bool ResumeFrame(const Frame& frame, const char* data, std::size_t length);
    void KeepFrame();
    bool Parse(const char* data, std::size_t length, bool last);
    bool ParseFinal(const char* data, std::size_t length);
    bool EndOfStreamDocument();
    bool ExpatFailed();
    bool DeadlinePassed();
    // " at line L, column C" of the current position moved right by
    // `columnShift`, or past `after` when given.
    std::string Position(unsigned long columnShift, const Extent* after = nullptr) const;

    XmlEvents& events_;
    unsigned char hashSalt_[16];  // its own per driver: Expat need not gather entropy per parser
    QxLnkSoap::ReparseDeferral deferral_ = QxLnkSoap::ReparseDeferral::Library;
    QxLnkSoap::ReparseDeferral streamDeferral_ = QxLnkSoap::ReparseDeferral::Library;  // stream_'s

    ExpatPtr stream_;              // the long-lived parser, its outer element open
    bool streamReady_ = false;     // stream_ stands between two documents
    bool opening_ = false;         // stream_'s outer element is being opened
    std::size_t streamBytes_ = 0;  // bytes stream_ has taken
    unsigned long long baseLine_ = 1, baseColumn_ = 0;  // where the document starts in stream_
    ExpatPtr whole_;               // this document's own parser, off the stream
    XML_Parser current_ = nullptr;
    std::string head_;             // the first bytes, while the route is undecided

    const Clock::time_point* deadline_ = nullptr;
    std::size_t unclocked_ = 0;    // bytes parsed since the clock was last read

    std::unique_ptr<Frame[]> frames_;
    std::size_t nextFrame_ = 0;

    Document document_;
    Failure failure_;
};

}  // namespace QxLnkImpl
