// Expat over the documents of one connection: reuse, the end of each
// document, deadlines and error positions.

#include "XmlDriver.h"

#include <strings.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>

namespace QxLnkImpl {

namespace {

std::atomic<QxLnkSoap::ReparseDeferral> g_deferral{QxLnkSoap::ReparseDeferral::Library};

// The long-lived parser's outer element, and the marker fed after a document.
// Neither can occur in a document: both close a document that contains them
// with an error.
constexpr std::string_view kStreamOpen = "<qxlnk-responses>";
constexpr std::string_view kEndMarker = "<qxlnk-end/>";
constexpr std::string_view kEndMarkerName = "qxlnk-end";

// Enough of a document's start to read its XML declaration and find its root.
constexpr std::size_t kMaxHead = 256;

// XML_Parse takes an int length; pieces are also cut for the deadline checks.
static_assert(XmlDriver::kClockStride <= 0x7fffffff, "an Expat piece must fit an int");

// Expat's position queries, in their 64-bit forms where this Expat has them
// (detected when the library is configured; the older forms are deprecated there).
std::int64_t ByteIndex(XML_Parser parser) {
#if HAVE_XML_GETCURRENTBYTEINDEX64
    return XML_GetCurrentByteIndex64(parser);
#else
    return XML_GetCurrentByteIndex(parser);
#endif
}

std::uint64_t ByteCount(XML_Parser parser) {
#if HAVE_XML_GETCURRENTBYTECOUNT64
    return XML_GetCurrentByteCount64(parser);
#else
    const int count = XML_GetCurrentByteCount(parser);
    return count > 0 ? static_cast<std::uint64_t>(count) : 0;
#endif
}

std::uint64_t LineNumber(XML_Parser parser) {
#if HAVE_XML_GETCURRENTLINENUMBER64
    return XML_GetCurrentLineNumber64(parser);
#else
    return XML_GetCurrentLineNumber(parser);
#endif
}

std::uint64_t ColumnNumber(XML_Parser parser) {
#if HAVE_XML_GETCURRENTCOLUMNNUMBER64
    return XML_GetCurrentColumnNumber64(parser);
#else
    return XML_GetCurrentColumnNumber(parser);
#endif
}

void SetHashSalt(XML_Parser parser, const unsigned char (&salt)[16]) {
#if HAVE_XML_SETHASHSALT16BYTES
    XML_SetHashSalt16Bytes(parser, salt);
#else
    unsigned long shortSalt = 0;
    std::memcpy(&shortSalt, salt, sizeof shortSalt);
    XML_SetHashSalt(parser, shortSalt);
#endif
}

// Switches reparse deferral off for the lifetime of the object, when `pause`
// and Expat has it, and back on after.
class DeferralPause {
public:
    DeferralPause(XML_Parser parser, bool pause) : parser_(pause ? parser : nullptr) {
#if HAVE_XML_SETREPARSEDEFERRALENABLED
        if (parser_ != nullptr) XML_SetReparseDeferralEnabled(parser_, XML_FALSE);
#endif
    }
    ~DeferralPause() {
#if HAVE_XML_SETREPARSEDEFERRALENABLED
        if (parser_ != nullptr) XML_SetReparseDeferralEnabled(parser_, XML_TRUE);
#endif
    }
    DeferralPause(const DeferralPause&) = delete;
    DeferralPause& operator=(const DeferralPause&) = delete;

private:
    XML_Parser parser_;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::size_t SkipSpace(std::string_view text, std::size_t at) {
    while (at < text.size() && IsSpace(text[at])) ++at;
    return at;
}

// Reads `name` Eq quoted-value at `at`, allowing white space around '='.
// Sets `value` and moves `at` past it; false when the text does not match.
bool ReadPseudoAttribute(std::string_view text, std::size_t& at, std::string_view name, std::string_view& value) {
    if (text.compare(at, name.size(), name) != 0) return false;
    at = SkipSpace(text, at + name.size());
    if (at >= text.size() || text[at] != '=') return false;
    at = SkipSpace(text, at + 1);
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return false;
    const std::size_t close = text.find(text[at], at + 1);
    if (close == std::string_view::npos) return false;
    value = text.substr(at + 1, close - at - 1);
    at = close + 1;
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Whether `declaration` ("<?xml ... ?>") is an XML 1.0 declaration of a UTF-8
// document, in exactly the grammar of XML 1.0: version, then optionally
// encoding and standalone, each after white space.
bool IsUtf8Declaration(std::string_view declaration) {
    const std::string_view body = declaration.substr(5, declaration.size() - 7);  // without "<?xml" and "?>"
    std::size_t at = 0;
    std::string_view value;
    std::size_t spaced = SkipSpace(body, at);
    if (spaced == at || !ReadPseudoAttribute(body, spaced, "version", value) || value != "1.0") return false;
    at = spaced;
    spaced = SkipSpace(body, at);
    if (spaced > at && ReadPseudoAttribute(body, spaced, "encoding", value)) {
        if (!EqualsNoCase(value, "UTF-8")) return false;
        at = spaced;
        spaced = SkipSpace(body, at);
    }
    if (spaced > at && ReadPseudoAttribute(body, spaced, "standalone", value)) {
        if (value != "yes" && value != "no") return false;
        at = spaced;
    }
    return SkipSpace(body, at) == body.size();
}

bool IsAsciiNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

// A salt for Expat's hash tables: one random seed per process, drawn once,
// mixed with a counter (splitmix64), so that each driver gets its own salt
// without asking the system for entropy each time.
std::uint64_t NextSaltWord() {
    static const std::uint64_t seed = [] {
        std::random_device entropy;
        return (static_cast<std::uint64_t>(entropy()) << 32) ^ entropy();
    }();
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (counter.fetch_add(1, std::memory_order_relaxed) + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

// A document's opening and closing, and what its opening leaves open.
struct XmlDriver::Frame {
    std::string opening, closing;
    int depth = 0;  // elements open after the opening
    Extent openingExtent, closingExtent;
};

XmlDriver::Extent XmlDriver::Extent::Of(std::string_view text) {
    Extent extent;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\r') {
            ++extent.lines;
            extent.columns = 0;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if ((c & 0xC0) != 0x80) {
            ++extent.columns;
        }
    }
    return extent;
}

XmlDriver::XmlDriver(XmlEvents& events) : events_(events), frames_(new Frame[kFrames]) {
    const std::uint64_t words[2] = {NextSaltWord(), NextSaltWord()};
    std::memcpy(hashSalt_, words, sizeof hashSalt_);
}

XmlDriver::~XmlDriver() = default;

XmlDriver::ExpatPtr XmlDriver::NewExpat(const char* encoding) {
    ExpatPtr parser(XML_ParserCreate(encoding));
    if (parser == nullptr) throw std::bad_alloc();
    XML_Parser expat = parser.get();
    // The salt keeps Expat's hash tables safe from flooding by the peer.
    SetHashSalt(expat, hashSalt_);
    XML_SetUserData(expat, this);
    XML_SetParamEntityParsing(expat, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetElementHandler(expat, &OnStart, &OnEnd);
    XML_SetCharacterDataHandler(expat, &OnText);
    XML_SetCdataSectionHandler(expat, &OnCdataStart, &OnCdataEnd);
    XML_SetStartDoctypeDeclHandler(expat, &OnDoctype);
    XML_SetEntityDeclHandler(expat, &OnEntityDecl);
#if HAVE_XML_SETREPARSEDEFERRALENABLED
    if (deferral_ == QxLnkSoap::ReparseDeferral::Off) XML_SetReparseDeferralEnabled(expat, XML_FALSE);
#endif
    return parser;
}

void XmlDriver::Begin(const Clock::time_point* deadline) {
    // A document left unfinished leaves the long-lived parser inside it.
    if (document_.route == Route::Stream && !streamReady_) stream_.reset();
    whole_.reset();
    current_ = nullptr;
    head_.clear();
    document_ = Document();
    failure_ = Failure();
    deadline_ = deadline;
    unclocked_ = 0;
    deferral_ = g_deferral.load(std::memory_order_relaxed);
}

// Chooses the route once the document's start is known; false while more
// bytes are needed (only while `head` is shorter than kMaxHead and not
// `complete`).
bool XmlDriver::Decide(std::string_view head, bool complete) {
    const bool mayWait = !complete && head.size() < kMaxHead;
    bool stream = false;
    std::size_t at = 0;
    constexpr std::string_view kXmlDecl = "<?xml";
    if (head.size() <= kXmlDecl.size() && kXmlDecl.compare(0, head.size(), head) == 0 && mayWait) return false;
    if (head.compare(0, kXmlDecl.size(), kXmlDecl) == 0) {
        const std::size_t close = head.find("?>");
        if (close == std::string_view::npos && mayWait) return false;
        if (close != std::string_view::npos && head.size() > kXmlDecl.size() && IsSpace(head[kXmlDecl.size()]) &&
            IsUtf8Declaration(head.substr(0, close + 2)))
            at = close + 2;
    }
    if (at > 0 || head.compare(0, kXmlDecl.size(), kXmlDecl) != 0) {
        // The root element must come next, after white space only.
        const std::size_t root = SkipSpace(head, at);
        if (root + 1 >= head.size() && mayWait) return false;
        stream = root + 1 < head.size() && head[root] == '<' &&
                 IsAsciiNameStart(static_cast<unsigned char>(head[root + 1]));
    }

    if (stream) {
        UseStream();
        document_.declarationLength = at;
        // Where the declaration leaves the position, for errors: Expat never sees it.
        if (at > 0) document_.declaration = Extent::Of(head.substr(0, at));
    } else {
        whole_ = NewExpat(nullptr);
        current_ = whole_.get();
        document_.route = Route::Whole;
    }
    return true;
}

// Makes the long-lived parser ready for a document: a new one when there is
// none, the last document did not end cleanly on it, it has taken
// kStreamBytes, or it was made for another reparse deferral.
void XmlDriver::UseStream() {
    if (stream_ != nullptr && (!streamReady_ || streamBytes_ > kStreamBytes || streamDeferral_ != deferral_))
        stream_.reset();
    if (stream_ == nullptr) {
        stream_ = NewExpat("UTF-8");
        streamDeferral_ = deferral_;
        opening_ = true;
        const XML_Status status =
            XML_Parse(stream_.get(), kStreamOpen.data(), static_cast<int>(kStreamOpen.size()), XML_FALSE);
        opening_ = false;
        if (status != XML_STATUS_OK) throw std::bad_alloc();  // the only way this fixed text can fail
        streamBytes_ = kStreamOpen.size();
        baseLine_ = 1;
        baseColumn_ = kStreamOpen.size();
    }
    streamReady_ = false;
    current_ = stream_.get();
    document_.route = Route::Stream;
    document_.start = streamBytes_;
}

const XmlDriver::Frame* XmlDriver::MatchFrame(const char* data, std::size_t length) const {
    for (std::size_t i = 0; i < kFrames; ++i) {
        const Frame& frame = frames_[i];
        const std::size_t opening = frame.opening.size();
        const std::size_t closing = frame.closing.size();
        if (opening == 0 || length < opening + closing) continue;
        if (std::memcmp(data, frame.opening.data(), opening) == 0 &&
            std::memcmp(data + length - closing, frame.closing.data(), closing) == 0)
            return &frame;
    }
    return nullptr;
}

// Parses only the middle of a document that starts and ends with `frame`.
bool XmlDriver::ResumeFrame(const Frame& frame, const char* data, std::size_t length) {
    UseStream();
    document_.frame = &frame;
    document_.floor = document_.depth = frame.depth;
    document_.sawRoot = true;
    events_.OnFrameResumed(static_cast<std::size_t>(&frame - frames_.get()));
    const std::size_t opening = frame.opening.size();
    return Parse(data + opening, length - opening - frame.closing.size(), true);
}

// Keeps the frame of the document just parsed whole, replacing the oldest.
void XmlDriver::KeepFrame() {
    const Document& d = document_;
    if (d.openingEnd > kMaxFrameBytes || d.closingStart < d.openingEnd || d.closingStart > d.wholeLength ||
        d.wholeLength - d.closingStart > kMaxFrameBytes)
        return;
    const std::size_t slot = nextFrame_;
    nextFrame_ = (nextFrame_ + 1) % kFrames;
    Frame& frame = frames_[slot];
    frame.opening.assign(d.whole, d.openingEnd);
    frame.closing.assign(d.whole + d.closingStart, d.wholeLength - d.closingStart);
    frame.depth = d.openingDepth;
    frame.openingExtent = Extent::Of(frame.opening);
    frame.closingExtent = Extent::Of(frame.closing);
    events_.OnFrameKept(slot);
}

bool XmlDriver::Feed(const char* data, std::size_t length, bool last) {
    if (failure_.failed) return false;
    if (document_.finished) return true;
    if (document_.route == Route::Undecided) {
        if (head_.empty() && last) {
            // The whole document at once: its frame may be known, or be kept.
            document_.whole = data;
            document_.wholeLength = length;
            if (const Frame* frame = MatchFrame(data, length)) return ResumeFrame(*frame, data, length);
        }
        if (head_.empty()) {
            if (!Decide(std::string_view(data, length), last)) {
                head_.assign(data, length);
                return true;
            }
            data += document_.declarationLength;
            length -= document_.declarationLength;
        } else {
            const std::size_t taken = length < kMaxHead ? length : kMaxHead;
            head_.append(data, taken);
            const bool complete = last && taken == length;
            if (!Decide(head_, complete)) return true;
            const std::size_t skipped = document_.declarationLength;
            if (!Parse(head_.data() + skipped, head_.size() - skipped, complete)) return false;
            if (complete) return true;
            data += taken;
            length -= taken;
        }
    }
    return Parse(data, length, last);
}

// Hands a piece to the route's parser in slices of at most kClockStride
// bytes; the last piece ends the document.
bool XmlDriver::Parse(const char* data, std::size_t length, bool last) {
    if (length == 0 && !last) return true;
    const bool stream = document_.route == Route::Stream;
    for (;;) {
        const std::size_t slice = length < kClockStride ? length : kClockStride;
        const bool final = last && slice == length;
        if (final && stream) return ParseFinal(data, slice);
        if (stream) streamBytes_ += slice;
        if (XML_Parse(current_, data, static_cast<int>(slice), final ? XML_TRUE : XML_FALSE) != XML_STATUS_OK)
            return ExpatFailed();
        if (failure_.failed) return false;
        unclocked_ += slice;
        if (DeadlinePassed()) return false;
        data += slice;
        length -= slice;
        if (final) {
            document_.finished = true;
            return true;
        }
        if (length == 0) return true;
    }
}

// The last slice of a document on the long-lived parser. Reparse deferral is
// off for it and for the end marker: Expat then parses every complete token
// it has, and so re-scans a token it holds back at most once per document,
// which keeps the time linear in the document's size; deferral in effect for
// the earlier pieces keeps those linear too.
bool XmlDriver::ParseFinal(const char* data, std::size_t length) {
    const DeferralPause pause(current_, deferral_ == QxLnkSoap::ReparseDeferral::Library);
    streamBytes_ += length;
#if HAVE_XML_SETREPARSEDEFERRALENABLED
    // No bytes (the end of a chunked body): XML_Parse would return at once,
    // leaving what deferral held back; parsing the buffer parses that.
    const XML_Status status = length != 0 ? XML_Parse(current_, data, static_cast<int>(length), XML_FALSE)
                                          : XML_ParseBuffer(current_, 0, XML_FALSE);
#else
    const XML_Status status = XML_Parse(current_, data, static_cast<int>(length), XML_FALSE);
#endif
    if (status != XML_STATUS_OK) return ExpatFailed();
    if (failure_.failed) return false;
    unclocked_ += length;
    if (DeadlinePassed()) return false;
    document_.finished = true;
    return EndOfStreamDocument();
}

// Whether the document on the long-lived parser is complete and well-formed
// (see the class comment); keeps its frame when it is.
bool XmlDriver::EndOfStreamDocument() {
    Document& d = document_;
    const auto pending = static_cast<std::int64_t>(streamBytes_) - ByteIndex(current_);
    if (pending == 0) {
        if (d.inCdata) {
            // Expat reads a CDATA section as it comes: all consumed, yet open.
            // Inside a frame the section runs on through the closing, to the
            // end of the whole document, where it is refused.
            failure_.failed = true;
            failure_.reason = std::string("The response is not well-formed XML: ") +
                              XML_ErrorString(XML_ERROR_UNCLOSED_CDATA_SECTION) +
                              Position(0, d.frame != nullptr ? &d.frame->closingExtent : nullptr);
            return false;
        }
        if (d.depth != d.floor || !d.sawRoot) {
            StopMalformed(XML_ERROR_NO_ELEMENTS);
            return false;
        }
        baseLine_ = LineNumber(current_);
        baseColumn_ = ColumnNumber(current_);
    } else {
        // Where the unfinished token starts: a document that ends inside one
        // is refused there, as Expat refuses it at the end of a document.
        const std::string unclosed = Position(0);
        d.markerFed = true;
        streamBytes_ += kEndMarker.size();
        const XML_Status status =
            XML_Parse(current_, kEndMarker.data(), static_cast<int>(kEndMarker.size()), XML_FALSE);
        if (failure_.failed) return false;  // refused by a handler: text after the root, or unclosed elements
        // Inside a frame the marker stands where the closing's "</" would,
        // and Expat's error is the whole document's; otherwise the document
        // ended in the token, and an error the marker caused is not its own.
        if (status != XML_STATUS_OK && d.frame != nullptr) return ExpatFailed();
        if (status != XML_STATUS_OK || !d.sawMarker) {
            failure_.failed = true;
            failure_.reason = std::string("The response is not well-formed XML: ") +
                              XML_ErrorString(XML_ERROR_UNCLOSED_TOKEN) + unclosed;
            return false;
        }
    }
    streamReady_ = true;
    if (d.frame == nullptr && d.whole != nullptr && d.closingStart != std::string::npos) KeepFrame();
    return true;
}

bool XmlDriver::DeadlinePassed() {
    if (deadline_ == nullptr || unclocked_ < kClockStride) return false;
    unclocked_ = 0;
    if (Clock::now() < *deadline_) return false;
    failure_.failed = true;
    failure_.timedOut = true;
    return true;
}

bool XmlDriver::MarkFrameOpening() {
    Document& d = document_;
    if (d.whole == nullptr || d.route != Route::Stream || d.frame != nullptr || d.openingEnd != std::string::npos)
        return false;
    const std::size_t end = static_cast<std::size_t>(ByteIndex(current_) - static_cast<std::int64_t>(d.start) +
                                                     static_cast<std::int64_t>(ByteCount(current_))) +
                            d.declarationLength;
    // An empty-element tag opens nothing that a middle could stand in.
    if (end > kMaxFrameBytes || end < 2 || end > d.wholeLength || d.whole[end - 2] == '/') return false;
    d.openingEnd = end;
    d.openingDepth = d.depth;
    return true;
}

bool XmlDriver::ExpatFailed() {
    if (!failure_.failed) {
        failure_.failed = true;
        failure_.reason = "The response is not well-formed XML: ";
        failure_.reason += XML_ErrorString(XML_GetErrorCode(current_));
        failure_.reason += Position(0);
    }
    return false;
}

// " at line L, column C" of the current position, counted from the start of
// the document (which the long-lived parser sees further on).
std::string XmlDriver::Position(unsigned long columnShift, const Extent* after) const {
    unsigned long long line = LineNumber(current_);
    unsigned long long column = ColumnNumber(current_) + columnShift;
    if (document_.route == Route::Stream) {
        if (line == baseLine_) column = column >= baseColumn_ ? column - baseColumn_ : 0;
        line = line >= baseLine_ ? line - baseLine_ + 1 : 1;
        const Extent& before = document_.frame != nullptr ? document_.frame->openingExtent : document_.declaration;
        if (line == 1) column += before.columns;
        line += before.lines;
    }
    if (after != nullptr) {
        column = after->lines == 0 ? column + after->columns : after->columns;
        line += after->lines;
    }
    return " at line " + std::to_string(line) + ", column " + std::to_string(column + 1);
}

void XmlDriver::Stop(const std::string& reason, unsigned long columnShift) {
    if (failure_.failed) return;
    failure_.failed = true;
    failure_.reason = reason + Position(columnShift);
    XML_StopParser(current_, XML_FALSE);
}

void XmlDriver::StopMalformed(XML_Error code, unsigned long columnShift) {
    Stop(std::string("The response is not well-formed XML: ") + XML_ErrorString(code), columnShift);
}

void XmlDriver::StopWith(std::exception_ptr error) {
    if (failure_.failed) return;
    failure_.failed = true;
    failure_.thrown = std::move(error);
    XML_StopParser(current_, XML_FALSE);
}

// Expat is C: no exception may cross it, so each handler keeps what was
// thrown and stops the parser.
void XMLCALL XmlDriver::OnStart(void* self, const XML_Char* name, const XML_Char** attributes) {
    auto* driver = static_cast<XmlDriver*>(self);
    try {
        driver->Start(name, attributes);
    } catch (...) {
        driver->StopWith(std::current_exception());
    }
}

void XMLCALL XmlDriver::OnEnd(void* self, const XML_Char* name) {
    auto* driver = static_cast<XmlDriver*>(self);
    try {
        driver->End(name);
    } catch (...) {
        driver->StopWith(std::current_exception());
    }
}

void XMLCALL XmlDriver::OnText(void* self, const XML_Char* text, int length) {
    auto* driver = static_cast<XmlDriver*>(self);
    try {
        driver->Text(text, length);
    } catch (...) {
        driver->StopWith(std::current_exception());
    }
}

void XMLCALL XmlDriver::OnCdataStart(void* self) {
    auto* driver = static_cast<XmlDriver*>(self);
    if (driver->opening_ || driver->failure_.failed) return;
    // Outside the root on the stream, where a whole document allows none.
    if (driver->document_.depth == 0) return driver->StopMalformed(XML_ERROR_JUNK_AFTER_DOC_ELEMENT);
    driver->document_.inCdata = true;
}

void XMLCALL XmlDriver::OnCdataEnd(void* self) { static_cast<XmlDriver*>(self)->document_.inCdata = false; }

void XMLCALL XmlDriver::OnDoctype(void* self, const XML_Char* /*name*/, const XML_Char* /*sysid*/,
                                  const XML_Char* /*pubid*/, int /*hasInternalSubset*/) {
    auto* driver = static_cast<XmlDriver*>(self);
    try {
        driver->Stop("The response carries a document type declaration, which is refused");
    } catch (...) {
        driver->StopWith(std::current_exception());
    }
}

void XMLCALL XmlDriver::OnEntityDecl(void* self, const XML_Char* /*name*/, int /*isParameterEntity*/,
                                     const XML_Char* /*value*/, int /*valueLength*/, const XML_Char* /*base*/,
                                     const XML_Char* /*systemId*/, const XML_Char* /*publicId*/,
                                     const XML_Char* /*notationName*/) {
    auto* driver = static_cast<XmlDriver*>(self);
    try {
        driver->Stop("The response declares an entity, which is refused");
    } catch (...) {
        driver->StopWith(std::current_exception());
    }
}

void XmlDriver::Start(const char* name, const char** attributes) {
    Document& d = document_;
    if (opening_ || failure_.failed) return;
    if (d.markerFed) {
        // Only the marker starts now, and only where the document is complete.
        if (d.depth != d.floor || !d.sawRoot || std::string_view(name) != kEndMarkerName) {
            StopMalformed(XML_ERROR_NO_ELEMENTS);
            return;
        }
        d.sawMarker = true;
        baseLine_ = LineNumber(current_);
        baseColumn_ = ColumnNumber(current_) + kEndMarker.size();
        ++d.depth;
        return;
    }
    if (d.depth == 0) {
        if (d.sawRoot) {
            StopMalformed(XML_ERROR_JUNK_AFTER_DOC_ELEMENT);
            return;
        }
        d.sawRoot = true;
    }
    if (++d.depth > kMaxDepth) {
        // No answer nests this deep; the receiver need not survive what would.
        Stop("The response nests elements deeper than " + std::to_string(kMaxDepth) + " levels");
        return;
    }
    events_.OnStart(d.depth, name, attributes);
}

void XmlDriver::End(const char* name) {
    Document& d = document_;
    if (opening_ || failure_.failed) return;
    if (d.depth == d.floor) {
        // Only an element the document did not open can end here: the stream's
        // outer element, or (inside a known frame) the frame's own. Placed and
        // named as Expat does for the whole document: after the root, the end
        // tag's '/'; inside it, its name.
        if (d.floor == 0) {
            StopMalformed(XML_ERROR_INVALID_TOKEN, 1);
        } else {
            StopMalformed(XML_ERROR_TAG_MISMATCH, 2);
        }
        return;
    }
    if (d.sawMarker) {
        --d.depth;
        return;
    }
    if (d.depth == d.openingDepth && d.openingEnd != std::string::npos && d.closingStart == std::string::npos) {
        // The start of the frame's closing.
        d.closingStart =
            static_cast<std::size_t>(ByteIndex(current_) - static_cast<std::int64_t>(d.start)) + d.declarationLength;
    }
    events_.OnEnd(d.depth, name);
    --d.depth;
}

void XmlDriver::Text(const char* text, int length) {
    if (opening_ || failure_.failed || length <= 0) return;
    if (document_.depth == 0) {
        // Outside the root on the stream: only white space may stand there,
        // and only as itself: a character reference is refused, as after a
        // whole document's root (a CR LF is reported as one line feed).
        const std::uint64_t raw = ByteCount(current_);
        if (raw != static_cast<std::uint64_t>(length) && !(length == 1 && text[0] == '\n' && raw == 2)) {
            StopMalformed(XML_ERROR_INVALID_TOKEN);
            return;
        }
        for (int i = 0; i < length; ++i) {
            if (!IsSpace(text[i])) {
                StopMalformed(document_.sawRoot ? XML_ERROR_JUNK_AFTER_DOC_ELEMENT : XML_ERROR_SYNTAX);
                return;
            }
        }
        return;
    }
    events_.OnText(text, length);
}

}  // namespace QxLnkImpl

namespace QxLnkSoap {

void SetReparseDeferral(ReparseDeferral deferral) { QxLnkImpl::g_deferral.store(deferral); }

bool HasReparseDeferral() {
#if HAVE_XML_SETREPARSEDEFERRALENABLED
    return true;
#else
    return false;
#endif
}

}  // namespace QxLnkSoap
