#include "SoapRequestParser.h"

#include <expat.h>

#include <climits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

namespace SoapTest {

namespace {

// Expat joins a namespace URI and a local name with this character; a space
// can appear in neither.
constexpr char kNsSeparator = ' ';

struct Name {
    std::string ns;
    std::string local;
};

Name SplitName(const XML_Char* qualified) {
    const std::string name(qualified);
    const auto pos = name.rfind(kNsSeparator);
    if (pos == std::string::npos) return {std::string(), name};
    return {name.substr(0, pos), name.substr(pos + 1)};
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class Reader {
public:
    Reader(XML_Parser parser, RecordedRequest& request) : parser_(parser), request_(request) {}

    void Start(const XML_Char* name, const XML_Char** attributes) {
        ++depth_;
        const Name n = SplitName(name);
        if (depth_ == 2) {
            zone_ = n.local == "Header" ? Zone::Header : n.local == "Body" ? Zone::Body : Zone::Other;
        }
        if (zone_ == Zone::Header && depth_ >= 3 && !targetDone_ && targetDepth_ == 0 && n.local == "TargetID") {
            targetDepth_ = depth_;
            targetText_.clear();
        }
        if (zone_ == Zone::Body && depth_ == 3 && !methodSeen_) {
            methodSeen_ = true;
            inMethod_ = true;
            request_.method = n.local;
            request_.methodNamespace = n.ns;
        } else if (inMethod_ && depth_ == 4) {
            inArg_ = true;
            argName_ = n.local;
            argText_.clear();
            argType_ = XsiType(attributes);
            argHasChildren_ = false;
            contentStart_ = static_cast<long long>(XML_GetCurrentByteIndex(parser_)) +
                            XML_GetCurrentByteCount(parser_);
        } else if (inArg_ && depth_ == 5) {
            argHasChildren_ = true;
        }
    }

    void Text(const XML_Char* text, int length) {
        if (inArg_ && depth_ == 4) argText_.append(text, static_cast<std::size_t>(length));
        if (targetDepth_ != 0) targetText_.append(text, static_cast<std::size_t>(length));
    }

    void End() {
        if (inArg_ && depth_ == 4) {
            std::string value;
            if (argHasChildren_) {
                const long long end = XML_GetCurrentByteIndex(parser_);
                const std::string& body = request_.body;
                if (contentStart_ >= 0 && end >= contentStart_ && static_cast<std::size_t>(end) <= body.size()) {
                    value = body.substr(static_cast<std::size_t>(contentStart_),
                                        static_cast<std::size_t>(end - contentStart_));
                }
            } else {
                value = argText_;
            }
            request_.args.emplace_back(argName_, std::move(value));
            request_.argTypes.emplace_back(argName_, argType_);
            inArg_ = false;
        }
        if (targetDepth_ == depth_) {
            request_.targetId = targetText_;
            targetDone_ = true;
            targetDepth_ = 0;
        }
        if (inMethod_ && depth_ == 3) inMethod_ = false;
        if (depth_ == 2) zone_ = Zone::Other;
        --depth_;
    }

private:
    enum class Zone { Other, Header, Body };

    static std::string XsiType(const XML_Char** attributes) {
        for (const XML_Char** a = attributes; a != nullptr && *a != nullptr; a += 2) {
            const Name n = SplitName(a[0]);
            if (n.local == "type" && EndsWith(n.ns, "XMLSchema-instance")) return a[1];
        }
        return std::string();
    }

    XML_Parser parser_;
    RecordedRequest& request_;
    int depth_ = 0;  // of the element being read; the root is 1
    Zone zone_ = Zone::Other;
    bool methodSeen_ = false;
    bool inMethod_ = false;
    bool inArg_ = false;
    std::string argName_, argText_, argType_;
    bool argHasChildren_ = false;
    long long contentStart_ = -1;  // byte offset just past the argument's start tag
    int targetDepth_ = 0;          // depth of the TargetID element being read, 0 outside it
    bool targetDone_ = false;
    std::string targetText_;
};

struct ParserFree {
    void operator()(XML_Parser parser) const noexcept { XML_ParserFree(parser); }
};

}  // namespace

void ParseSoapRequest(RecordedRequest& request) {
    request.method.clear();
    request.methodNamespace.clear();
    request.args.clear();
    request.argTypes.clear();
    request.targetId.reset();
    request.xmlWellFormed = false;
    if (request.body.size() > static_cast<std::size_t>(INT_MAX)) return;

    std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserFree> parser(
        XML_ParserCreateNS(nullptr, kNsSeparator));
    if (!parser) throw std::bad_alloc();
    Reader reader(parser.get(), request);
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(
        parser.get(),
        [](void* data, const XML_Char* name, const XML_Char** attributes) {
            static_cast<Reader*>(data)->Start(name, attributes);
        },
        [](void* data, const XML_Char*) { static_cast<Reader*>(data)->End(); });
    XML_SetCharacterDataHandler(parser.get(), [](void* data, const XML_Char* text, int length) {
        static_cast<Reader*>(data)->Text(text, length);
    });
    request.xmlWellFormed = XML_Parse(parser.get(), request.body.data(), static_cast<int>(request.body.size()),
                                      XML_TRUE) == XML_STATUS_OK;
}

}  // namespace SoapTest
