// Request envelopes (written whole before anything is sent) and the streaming
// response parser.

#include "Envelope.h"

#include "Errors.h"

#include <qxlnk/exceptions.h>
#include <qxpal/xml.h>

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <new>
#include <typeinfo>
#include <random>

namespace QxLnkSoap {

const char* const SERVICE_NAMESPACE = "urn:qxlnk:rpc";

}  // namespace QxLnkSoap

namespace QxLnkImpl {

const char* const kServicePrefix = "lnk";

namespace {

constexpr std::string_view kEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

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

// ---- EnvelopeParser ----

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

// The long-lived parser's outer element, and the marker fed after each
// document. Neither can occur in a document: both close a document that
// contains them with an error.
constexpr std::string_view kStreamOpen = "<qxlnk-responses>";
constexpr std::string_view kEndMarker = "<qxlnk-end/>";
constexpr std::string_view kEndMarkerName = "qxlnk-end";

// Enough of a document's start to read its XML declaration and find its root.
constexpr std::size_t kMaxHead = 256;

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

}  // namespace

// Expat reports valid UTF-8 only, so decoding needs no checks; text and
// names are mostly ASCII, whose bytes are copied one to one.
const unsigned short* Utf16Buffer::Decode(std::string_view utf8) {
    if (utf8.size() >= capacity_) {
        capacity_ = utf8.size() < 2 * capacity_ ? 2 * capacity_ : utf8.size() + 1;
        units_.reset(new unsigned short[capacity_]);
    }
    unsigned short* d = units_.get();
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const unsigned char* const end = s + utf8.size();
    while (s < end) {
        const unsigned c = *s;
        if (c < 0x80) {
            *d++ = static_cast<unsigned short>(c);
            ++s;
        } else if (c < 0xE0) {
            *d++ = static_cast<unsigned short>(((c & 0x1F) << 6) | (s[1] & 0x3F));
            s += 2;
        } else if (c < 0xF0) {
            *d++ = static_cast<unsigned short>(((c & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F));
            s += 3;
        } else {
            const unsigned long cp = ((c & 0x07UL) << 18) | ((s[1] & 0x3FUL) << 12) | ((s[2] & 0x3FUL) << 6) |
                                     (s[3] & 0x3FUL);
            *d++ = static_cast<unsigned short>(0xD800 + ((cp - 0x10000) >> 10));
            *d++ = static_cast<unsigned short>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            s += 4;
        }
    }
    *d = 0;
    size_ = static_cast<std::size_t>(d - units_.get());
    return units_.get();
}

namespace {

// A salt for Expat's hash tables: one random seed per process, drawn once,
// mixed with a counter (splitmix64), so that each parser gets its own salt
// without asking the system for entropy each time.
unsigned long NextHashSalt() {
    static const unsigned long long seed = [] {
        std::random_device entropy;
        return (static_cast<unsigned long long>(entropy()) << 32) ^ entropy();
    }();
    static std::atomic<unsigned long long> counter{0};
    unsigned long long z = seed + 0x9E3779B97F4A7C15ULL * (counter.fetch_add(1, std::memory_order_relaxed) + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<unsigned long>(z ^ (z >> 31));
}

}  // namespace

EnvelopeParser::EnvelopeParser() : hashSalt_(NextHashSalt()) {}

EnvelopeParser::~EnvelopeParser() = default;

EnvelopeParser::ExpatPtr EnvelopeParser::NewExpat(const char* encoding) {
    ExpatPtr parser(XML_ParserCreate(encoding));
    if (parser == nullptr) throw std::bad_alloc();
    XML_Parser expat = parser.get();
    // The salt keeps Expat's hash tables safe from flooding by the peer.
    XML_SetHashSalt(expat, hashSalt_);
    XML_SetUserData(expat, this);
    XML_SetParamEntityParsing(expat, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetElementHandler(expat, &OnStart, &OnEnd);
    XML_SetCharacterDataHandler(expat, &OnText);
    XML_SetStartDoctypeDeclHandler(expat, &OnDoctype);
    XML_SetEntityDeclHandler(expat, &OnEntityDecl);
#if XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 6)
    // The end marker must be parsed when it is fed, not deferred.
    XML_SetReparseDeferralEnabled(expat, XML_FALSE);
#endif
    return parser;
}

void EnvelopeParser::Begin(int count, QxLnkSoap::SOAPArg* const* outputs, const std::string* context) {
    if (count < 0 || (count > 0 && outputs == nullptr)) ThrowIllegalArgument("A call needs its outputs");
    for (int i = 0; i < count; ++i) {
        if (outputs[i] == nullptr) ThrowIllegalArgument("A call output is null");
    }
    // A document left unfinished leaves the long-lived parser inside it.
    if (route_ == Route::Stream && !streamReady_) stream_.reset();
    whole_.reset();
    current_ = nullptr;
    route_ = Route::Undecided;
    head_.clear();
    declarationLength_ = 0;
    markerFed_ = false;
    sawMarker_ = false;
    sawRoot_ = false;
    floor_ = 0;
    piece_ = nullptr;
    pieceLength_ = 0;
    openingEnd_ = closingStart_ = std::string::npos;
    frame_ = nullptr;

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
    pendingText_.clear();
    bindings_.clear();
    bindingText_.clear();
    finished_ = false;
    failed_ = false;
    error_.clear();
    thrown_ = nullptr;
}

// Chooses the route once the document's start is known; false while more
// bytes are needed (only while `head` is shorter than kMaxHead and not
// `complete`).
bool EnvelopeParser::Decide(std::string_view head, bool complete) {
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
        stream = root + 1 < head.size() && head[root] == '<' && IsAsciiNameStart(static_cast<unsigned char>(head[root + 1]));
    }

    if (stream) {
        UseStream();
        declarationLength_ = at;
    } else {
        whole_ = NewExpat(nullptr);
        current_ = whole_.get();
        route_ = Route::Whole;
        declarationLength_ = 0;
    }
    return true;
}

// Makes the long-lived parser ready for a document: a new one when there is
// none, the last document did not end cleanly on it, or it has taken kStreamBytes.
void EnvelopeParser::UseStream() {
    if (stream_ != nullptr && (!streamReady_ || streamBytes_ > kStreamBytes)) stream_.reset();
    if (stream_ == nullptr) {
        stream_ = NewExpat("UTF-8");
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
    route_ = Route::Stream;
    documentStart_ = streamBytes_;
}

const EnvelopeParser::Frame* EnvelopeParser::MatchFrame(const char* data, std::size_t length) const {
    for (const Frame& frame : frames_) {
        const std::size_t opening = frame.opening.size();
        const std::size_t closing = frame.closing.size();
        if (opening == 0 || length < opening + closing) continue;
        if (std::memcmp(data, frame.opening.data(), opening) == 0 &&
            std::memcmp(data + length - closing, frame.closing.data(), closing) == 0)
            return &frame;
    }
    return nullptr;
}

// Keeps the frame of the document just parsed whole, replacing the oldest.
void EnvelopeParser::RecordFrame() {
    if (openingEnd_ > kMaxFrameBytes || closingStart_ < openingEnd_ || closingStart_ > pieceLength_ ||
        pieceLength_ - closingStart_ > kMaxFrameBytes)
        return;
    Frame& frame = frames_[nextFrame_];
    nextFrame_ = (nextFrame_ + 1) % kFrames;
    frame.opening.assign(piece_, openingEnd_);
    frame.closing.assign(piece_ + closingStart_, pieceLength_ - closingStart_);
    frame.bindings.swap(candidate_.bindings);
    frame.bindingText.swap(candidate_.bindingText);
    frame.part = candidate_.part;
    // Positions after the opening, counted as Expat counts them: CR, LF and
    // CR LF each end a line; a column is a character.
    frame.openingLines = 0;
    frame.openingColumns = 0;
    for (std::size_t i = 0; i < frame.opening.size(); ++i) {
        const auto c = static_cast<unsigned char>(frame.opening[i]);
        if (c == '\n' || c == '\r') {
            ++frame.openingLines;
            frame.openingColumns = 0;
            if (c == '\r' && i + 1 < frame.opening.size() && frame.opening[i + 1] == '\n') ++i;
        } else if ((c & 0xC0) != 0x80) {
            ++frame.openingColumns;
        }
    }
}

bool EnvelopeParser::Feed(const char* data, std::size_t length, bool last) {
    if (failed_) return false;
    if (finished_) return true;
    if (route_ == Route::Undecided) {
        if (head_.empty() && last) {
            // The whole document at once: its frame may be known, or be recorded.
            piece_ = data;
            pieceLength_ = length;
            if (const Frame* frame = MatchFrame(data, length)) {
                UseStream();
                frame_ = frame;
                floor_ = depth_ = 3;
                sawRoot_ = sawBody_ = true;
                part_ = frame->part;
                bindings_ = frame->bindings;
                bindingText_ = frame->bindingText;
                const std::size_t opening = frame->opening.size();
                return Parse(data + opening, length - opening - frame->closing.size(), true);
            }
        }
        if (head_.empty()) {
            if (!Decide(std::string_view(data, length), last)) {
                head_.assign(data, length);
                return true;
            }
            data += declarationLength_;
            length -= declarationLength_;
        } else {
            const std::size_t taken = length < kMaxHead ? length : kMaxHead;
            head_.append(data, taken);
            const bool complete = last && taken == length;
            if (!Decide(head_, complete)) return true;
            if (!Parse(head_.data() + declarationLength_, head_.size() - declarationLength_, complete)) return false;
            if (complete) return !failed_;
            data += taken;
            length -= taken;
        }
    }
    return Parse(data, length, last);
}

bool EnvelopeParser::Finish() { return Feed(nullptr, 0, true); }

// Hands a piece to the route's parser; the last one ends the document.
bool EnvelopeParser::Parse(const char* data, std::size_t length, bool last) {
    constexpr std::size_t kPiece = std::size_t{1} << 30;  // XML_Parse takes an int length
    const bool stream = route_ == Route::Stream;
    if (stream) streamBytes_ += length;
    const std::size_t total = length;
    do {
        const std::size_t piece = length < kPiece ? length : kPiece;
        const bool final = last && piece == length;
        if (XML_Parse(current_, data, static_cast<int>(piece), final && !stream ? XML_TRUE : XML_FALSE) !=
            XML_STATUS_OK)
            return ExpatFailed();
        if (failed_) return false;
        data += piece;
        length -= piece;
    } while (length > 0);
    if (!last) return true;
    finished_ = true;
    return !stream || EndOfStreamDocument(std::string_view(data - total, total));
}

// The document on the stream is complete and well-formed when Expat has
// consumed every byte of it and the root element is closed. Expat holds back
// the start of a token that is not finished, and a CR at the very end (it
// may begin a CR LF); the end marker settles the latter.
bool EnvelopeParser::EndOfStreamDocument(std::string_view lastPiece) {
    const auto pending = static_cast<std::size_t>(static_cast<XML_Index>(streamBytes_) -
                                                  XML_GetCurrentByteIndex(current_));
    if (pending == 0) {
        if (depth_ != floor_ || !sawRoot_) {
            StopMalformed(XML_ERROR_NO_ELEMENTS);
            return false;
        }
        baseLine_ = XML_GetCurrentLineNumber(current_);
        baseColumn_ = XML_GetCurrentColumnNumber(current_);
    } else if (frame_ != nullptr) {
        // The token goes on into the frame's closing: parse that too, so that
        // the error is the one of the whole document.
        const std::string& closing = frame_->closing;
        streamBytes_ += closing.size();
        if (XML_Parse(current_, closing.data(), static_cast<int>(closing.size()), XML_FALSE) != XML_STATUS_OK)
            return ExpatFailed();
        if (!failed_) StopMalformed(XML_ERROR_UNCLOSED_TOKEN);
        return false;
    } else {
        if (depth_ != floor_ || pending > lastPiece.size() ||
            lastPiece.find_first_not_of('\r', lastPiece.size() - pending) != std::string_view::npos) {
            StopMalformed(XML_ERROR_UNCLOSED_TOKEN);
            return false;
        }
        markerFed_ = true;
        streamBytes_ += kEndMarker.size();
        if (XML_Parse(current_, kEndMarker.data(), static_cast<int>(kEndMarker.size()), XML_FALSE) != XML_STATUS_OK)
            return ExpatFailed();
        if (failed_) return false;
        if (!sawMarker_) {
            StopMalformed(XML_ERROR_UNCLOSED_TOKEN);
            return false;
        }
    }
    streamReady_ = true;
    if (frame_ == nullptr && piece_ != nullptr && closingStart_ != std::string::npos) RecordFrame();
    return true;
}

bool EnvelopeParser::ExpatFailed() {
    if (!failed_) {
        failed_ = true;
        error_ = "The response is not well-formed XML: ";
        error_ += XML_ErrorString(XML_GetErrorCode(current_));
        error_ += Position();
    }
    return false;
}

// " at line L, column C" of the current position, counted from the start of
// the document (which the long-lived parser sees further on).
std::string EnvelopeParser::Position(unsigned long columnShift) const {
    unsigned long line = XML_GetCurrentLineNumber(current_);
    unsigned long column = XML_GetCurrentColumnNumber(current_) + columnShift;
    if (route_ == Route::Stream) {
        if (line == baseLine_) column = column >= baseColumn_ ? column - baseColumn_ : 0;
        line = line >= baseLine_ ? line - baseLine_ + 1 : 1;
        if (frame_ != nullptr) {
            if (line == 1) column += frame_->openingColumns;
            line += frame_->openingLines;
        } else if (line == 1) {
            column += declarationLength_;
        }
    }
    return " at line " + std::to_string(line) + ", column " + std::to_string(column + 1);
}

std::string EnvelopeParser::WithContext(std::string text) const {
    if (context_ != nullptr && !context_->empty()) text += " (" + *context_ + ")";
    return text;
}

void EnvelopeParser::RaiseError() const {
    if (thrown_) std::rethrow_exception(thrown_);
    throw QxLnkSoap::SoapException(ErrorMessage(WithContext(error_.empty() ? "The response could not be parsed" : error_)));
}

void EnvelopeParser::CheckResult(bool faultRequired) const {
    if (!sawBody_) throw QxLnkSoap::SoapException(ErrorMessage(WithContext("The SOAP envelope of the response has no Body")));
    if (part_ == BodyPart::Fault)
        throw QxLnkSoap::SoapFaultException(QxPalStr::String_t(std::string_view(faultCode_)),
                                            QxPalStr::String_t(std::string_view(faultString_)));
    // A server error whose body reads like an answer must not pass for one.
    if (faultRequired)
        throw QxLnkSoap::SoapException(
            ErrorMessage(WithContext("The response has HTTP status 500 but its body carries no SOAP Fault")));
}

void EnvelopeParser::Stop(const std::string& reason, unsigned long columnShift) {
    if (failed_) return;
    failed_ = true;
    error_ = reason + Position(columnShift);
    XML_StopParser(current_, XML_FALSE);
}

void EnvelopeParser::StopMalformed(XML_Error code, unsigned long columnShift) {
    Stop(std::string("The response is not well-formed XML: ") + XML_ErrorString(code), columnShift);
}

void EnvelopeParser::StopWith(std::exception_ptr error) {
    if (failed_) return;
    failed_ = true;
    thrown_ = std::move(error);
    XML_StopParser(current_, XML_FALSE);
}

// Records the declaration of `prefix` ("" for the default namespace) on the
// current element, with the checks that namespace-aware parsing makes.
bool EnvelopeParser::Declare(std::string_view prefix, std::string_view uri) {
    if (prefix == "xmlns") {
        StopMalformed(XML_ERROR_RESERVED_PREFIX_XMLNS);
        return false;
    }
    if ((prefix == "xml") != (uri == kXmlNamespace)) {
        StopMalformed(prefix == "xml" ? XML_ERROR_RESERVED_PREFIX_XML : XML_ERROR_RESERVED_NAMESPACE_URI);
        return false;
    }
    if (uri == kXmlnsNamespace) {
        StopMalformed(XML_ERROR_RESERVED_NAMESPACE_URI);
        return false;
    }
    if (uri.empty() && !prefix.empty()) {
        StopMalformed(XML_ERROR_UNDECLARING_PREFIX);
        return false;
    }
    Binding binding;
    binding.prefixAt = bindingText_.size();
    binding.prefixLength = prefix.size();
    binding.uriAt = binding.prefixAt + prefix.size();
    binding.uriLength = uri.size();
    binding.depth = depth_;
    bindingText_.append(prefix);
    bindingText_.append(uri);
    bindings_.push_back(binding);
    return true;
}

// Splits a raw name into prefix and local name and finds the prefix's
// namespace; false (after stopping) for a name that is not namespace
// well-formed or a prefix that is not declared.
bool EnvelopeParser::Resolve(const char* rawName, Name& name) {
    const std::string_view raw(rawName);
    const std::size_t colon = raw.find(':');
    if (colon == std::string_view::npos) {
        name.prefix = std::string_view();
        name.local = raw;
    } else {
        name.prefix = raw.substr(0, colon);
        name.local = raw.substr(colon + 1);
        if (name.prefix.empty() || name.local.empty() || name.local.find(':') != std::string_view::npos) {
            StopMalformed(XML_ERROR_SYNTAX);
            return false;
        }
    }
    for (auto binding = bindings_.rbegin(); binding != bindings_.rend(); ++binding) {
        if (std::string_view(bindingText_).substr(binding->prefixAt, binding->prefixLength) == name.prefix) {
            name.uri = std::string_view(bindingText_).substr(binding->uriAt, binding->uriLength);
            return true;
        }
    }
    name.uri = std::string_view();
    if (name.prefix.empty()) return true;
    if (name.prefix == "xml") {
        name.uri = kXmlNamespace;
        return true;
    }
    StopMalformed(XML_ERROR_UNBOUND_PREFIX);
    return false;
}

// Hands the text gathered since the last start or end to the element that takes it.
void EnvelopeParser::FlushText() {
    const unsigned short* text = text16_.Decode(pendingText_);
    pendingText_.clear();
    taken_.back().first->Characters(text, static_cast<int>(text16_.Size()));
}

void EnvelopeParser::PopBindings() {
    while (!bindings_.empty() && bindings_.back().depth == depth_) {
        bindingText_.resize(bindings_.back().prefixAt);
        bindings_.pop_back();
    }
}

void EnvelopeParser::ToUtf16(const Name& name) {
    prefix16_.Decode(name.prefix);
    local16_.Decode(name.local);
    uri16_.Decode(name.uri);
}// Expat is C: no exception may cross it, so each handler stores what was
// thrown and stops the parser; RaiseError rethrows it.
void XMLCALL EnvelopeParser::OnStart(void* self, const XML_Char* name, const XML_Char** attributes) {
    auto* parser = static_cast<EnvelopeParser*>(self);
    try {
        parser->Start(name, attributes);
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
void EnvelopeParser::Start(const char* rawName, const char** attributes) {
    if (opening_ || failed_) return;
    if (!pendingText_.empty()) FlushText();
    if (markerFed_) {
        // Only the marker starts now, and only outside a complete document.
        if (depth_ != floor_ || !sawRoot_ || std::string_view(rawName) != kEndMarkerName) {
            StopMalformed(XML_ERROR_NO_ELEMENTS);
            return;
        }
        sawMarker_ = true;
        baseLine_ = XML_GetCurrentLineNumber(current_);
        baseColumn_ = XML_GetCurrentColumnNumber(current_) + kEndMarker.size();
        ++depth_;
        return;
    }
    if (depth_ == 0 && route_ == Route::Stream) {
        if (sawRoot_) {
            StopMalformed(XML_ERROR_JUNK_AFTER_DOC_ELEMENT);
            return;
        }
        sawRoot_ = true;
    }
    ++depth_;
    if (depth_ > kMaxDepth) {
        // No answer nests this deep; output arguments need not survive what would.
        Stop("The response nests elements deeper than " + std::to_string(kMaxDepth) + " levels");
        return;
    }
    // Skipped subtrees are not interpreted: their namespaces are not resolved.
    if (skipDepth_ != 0) return;
    bool prefixedAttributes = false;
    for (const char** attribute = attributes; *attribute != nullptr; attribute += 2) {
        const char* key = attribute[0];
        if (std::strncmp(key, "xmlns", 5) == 0 && (key[5] == '\0' || key[5] == ':')) {
            if (!Declare(key[5] == '\0' ? std::string_view() : std::string_view(key + 6), attribute[1])) return;
        } else {
            prefixedAttributes = prefixedAttributes || std::strchr(key, ':') != nullptr;
        }
    }
    Name name;
    if (!Resolve(rawName, name)) return;
    // Other attributes are not read, but their prefixes must be declared too.
    for (const char** attribute = attributes; prefixedAttributes && *attribute != nullptr; attribute += 2) {
        const char* key = attribute[0];
        if (std::strchr(key, ':') == nullptr || std::strncmp(key, "xmlns:", 6) == 0) continue;
        Name attributeName;
        if (!Resolve(key, attributeName)) return;
    }
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
            if (piece_ != nullptr && route_ == Route::Stream) {
                // The end of the frame's opening, and the state it leaves.
                openingEnd_ = static_cast<std::size_t>(XML_GetCurrentByteIndex(current_) - documentStart_) +
                              static_cast<std::size_t>(XML_GetCurrentByteCount(current_)) + declarationLength_;
                candidate_.bindings = bindings_;
                candidate_.bindingText = bindingText_;
                candidate_.part = part_;
            }
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
                outputs_[i]->StartElement(prefix16_.Data(), local16_.Data(), uri16_.Data());
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
            taken_.back().first->StartElement(prefix16_.Data(), local16_.Data(), uri16_.Data());
        if (element != nullptr) {
            taken_.emplace_back(element, depth_);
        } else {
            Skip();
        }
        return;
    }
}

void EnvelopeParser::End(const char* rawName) {
    if (opening_ || failed_) return;
    if (!pendingText_.empty()) FlushText();
    if (depth_ == floor_) {
        // Only an element the document did not open can end here: the stream's
        // outer element, or (inside a known frame) the frame's own. Placed and
        // named as Expat does for the whole document: after the root, the end
        // tag's '/'; inside it, its name.
        if (floor_ == 0) {
            StopMalformed(XML_ERROR_INVALID_TOKEN, 1);
        } else {
            StopMalformed(XML_ERROR_TAG_MISMATCH, 2);
        }
        return;
    }
    if (sawMarker_) {
        --depth_;
        return;
    }
    if (skipDepth_ != 0) {
        if (depth_ == skipDepth_) {
            skipDepth_ = 0;
            PopBindings();
        }
        --depth_;
        return;
    }
    if (!taken_.empty() && taken_.back().second == depth_) {
        Name name;
        if (!Resolve(rawName, name)) return;
        ToUtf16(name);
        QxLnkSoap::SOAPElement* element = taken_.back().first;
        taken_.pop_back();
        element->EndElement(prefix16_.Data(), local16_.Data(), uri16_.Data());
    } else if (depth_ == 4) {
        faultField_ = FaultField::None;
    } else if (depth_ == 3 && openingEnd_ != std::string::npos && closingStart_ == std::string::npos) {
        // The start of the frame's closing.
        closingStart_ = static_cast<std::size_t>(XML_GetCurrentByteIndex(current_) - documentStart_) +
                        declarationLength_;
    }
    PopBindings();
    --depth_;
}

void EnvelopeParser::Text(const char* text, int length) {
    if (opening_ || failed_ || length <= 0) return;
    if (depth_ == 0) {
        // Outside the root on the stream: only white space may stand there.
        for (int i = 0; i < length; ++i) {
            if (!IsSpace(text[i])) {
                StopMalformed(sawRoot_ ? XML_ERROR_JUNK_AFTER_DOC_ELEMENT : XML_ERROR_SYNTAX);
                return;
            }
        }
        return;
    }
    if (skipDepth_ != 0) return;
    if (!taken_.empty()) {
        // Expat reports a text in pieces (one per line end or reference):
        // the pieces are joined, and the element gets them at once.
        pendingText_.append(text, static_cast<std::size_t>(length));
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
