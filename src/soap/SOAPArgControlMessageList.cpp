// SOAPArgControlMessageList: writes a message list as "Message" elements and
// rebuilds it from a response, with its traces on "ctrl.soap".
//
// The parse state is the code of the element last started or ended:
//   0 outside the argument      1 "MsgList"    2 "Message"    3 "Severity"
//   4 "Catalog"   5 "CatalogID"   6 "MsgNo"   7 "MsgString"   8 "Params"   9 "Param"
// The message elements are recognised by name wherever they stand inside the
// argument (case-sensitive); any other element is refused, so the parser skips
// it together with everything it contains and the text around it stays whole.
// The argument's own name must not be one of the message element names.
//
// Every "Message" starts afresh: severity SEVERITY_INFO, empty text, no
// parameters. A message without "Severity" or "MsgString" therefore gets those
// defaults, and no parameter of one message, nor one standing between
// messages, reaches another. A rebuilt message carries severity, catalog ID,
// number, text and parameters as the daemon sent them (a number that is not a
// decimal within range reads as 0). After its own element
// has ended the argument takes nothing more until another element of its own
// name starts (which empties the list again).
#include "soap/SOAPArgControlMessageList.h"

#include <climits>
#include <string>
#include <string_view>
#include <utility>

#include "soap/ElementNames.h"

namespace DaDovu {

using namespace std::string_view_literals;
namespace {

using SoapElement::NameIs;
using SoapElement::WriteText;

enum Code : int {
    kOther = 0,
    kMsgList = 1,
    kMessage = 2,
    kSeverity = 3,
    kCatalog = 4,
    kCatalogId = 5,
    kMsgNo = 6,
    kMsgString = 7,
    kParams = 8,
    kParam = 9,
};

constexpr unsigned kTraceLevel = 1;
constexpr const char* kTraceSource = "SOAPArgControlMessageList";

const QxPalTrc::TraceWrapper_t& SoapTrace() {
    static const QxPalTrc::TraceWrapper_t trace("ctrl.soap");
    return trace;
}

bool TraceEnabled() { return SoapTrace().IsEnabled(kTraceLevel); }

void Trace(const QxPalStr::String_t& text, int line) {
    SoapTrace().InitObject()->DoTrace(kTraceLevel, text, kTraceSource, line);
}

Code Classify(const unsigned short* name) {
    static constexpr struct {
        const char16_t* name;
        Code code;
    } kCodes[] = {
        {u"MsgList", kMsgList},     {u"Message", kMessage}, {u"Severity", kSeverity},
        {u"Catalog", kCatalog},     {u"CatalogID", kCatalogId}, {u"MsgNo", kMsgNo},
        {u"MsgString", kMsgString}, {u"Params", kParams},   {u"Param", kParam},
    };
    for (const auto& known : kCodes) {
        if (NameIs(name, known.name)) {
            return known.code;
        }
    }
    return kOther;
}

// The memory of one message in the caller's list besides its texts: the
// message and the heap's bookkeeping of it and its parts.
constexpr std::size_t kMessageCost = sizeof(QxPalMsg::Message_t) + 4 * 2 * sizeof(void*);

// A message number: decimal digits within range, white space around; 0 otherwise.
unsigned MessageNumber(const QxPalStr::String_t& text) {
    const QxPalStr::UTF16String& units = text.Units();
    std::size_t begin = 0, end = units.size();
    while (begin < end && (units[begin] == ' ' || units[begin] == '\t' || units[begin] == '\r' || units[begin] == '\n')) ++begin;
    while (end > begin && (units[end - 1] == ' ' || units[end - 1] == '\t' || units[end - 1] == '\r' || units[end - 1] == '\n')) --end;
    if (begin == end) return 0;
    unsigned long long value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (units[i] < '0' || units[i] > '9') return 0;
        value = value * 10 + (units[i] - '0');
        if (value > UINT_MAX) return 0;
    }
    return static_cast<unsigned>(value);
}

}  // namespace

SOAPArgControlMessageList::SOAPArgControlMessageList(const unsigned short* name, QxPalMsg::MessageList_t& list)
    : QxLnkSoap::SOAPArg(name), list_(list) {}

void SOAPArgControlMessageList::SetTypeAttribute() { SetXSITypeAttribute("msglist"); }

void SOAPArgControlMessageList::WriteContentTo(const QxPalXml::XmlWriter_t& writer) const {
    if (TraceEnabled()) {
        Trace(QxPalStr::String_t("Writing message Content of:") + list_.Format(QxPalMsg::FORMAT_FULL), __LINE__);
    }
    for (int i = 0; i < list_.GetMessageCount(); ++i) {
        const QxPalMsg::Message_t& message = list_.GetMessageObject(i);
        writer.OpenTag("Message"sv);
        WriteText(writer, "Severity"sv, QxPalStr::NumToStr(static_cast<int>(message.GetSeverity())));
        writer.OpenTag("Catalog"sv);
        writer.OpenTag("CatalogID"sv);
        writer.Data(std::string_view(message.GetMessageCatalog()));
        writer.CloseTag();
        WriteText(writer, "MsgNo"sv, QxPalStr::NumToStr(message.GetMessageNo()));
        writer.CloseTag();
        WriteText(writer, "MsgString"sv, message.GetMessageText(QxPalMsg::FORMAT_TEXT));
        const QxPalMsg::ParmList_t& parms = message.GetParameterList();
        if (parms.GetCount() > 0) {
            writer.OpenTag("Params"sv);
            for (int p = 0; p < parms.GetCount(); ++p) {
                WriteText(writer, "Param"sv, parms.GetParm(p).GetText());
            }
            writer.CloseTag();
        }
        writer.CloseTag();
    }
}

QxLnkSoap::SOAPElement* SOAPArgControlMessageList::StartElement(const unsigned short* prefix,
                                                                const unsigned short* name,
                                                                const unsigned short* namespaceUri) {
    if (TraceEnabled()) {
        Trace(QxPalStr::String_t("Start Element called for:") + name, __LINE__);
    }
    if (state_ == kOther) {
        if (!NameIs(name, GetName())) {
            return nullptr;
        }
        QxLnkSoap::SOAPElement::StartElement(prefix, name, namespaceUri);
        state_ = kMsgList;
        list_.Clear();
        return this;
    }
    const Code code = Classify(name);
    if (code == kOther || code == kMsgList) {
        return nullptr;
    }
    // Restart text collection so the characters begin with this element.
    QxLnkSoap::SOAPElement::EndElement(GetPrefix(), GetName(), GetNamespaceUri());
    QxLnkSoap::SOAPElement::StartElement(GetPrefix(), GetName(), GetNamespaceUri());
    state_ = code;
    if (code == kMessage) {
        severity_ = QxPalMsg::SEVERITY_INFO;
        catalogId_.Clear();
        messageNo_.Clear();
        messageText_.Clear();
        pendingParms_.Clear();
    } else if (code == kParams) {
        pendingParms_.Clear();
    }
    return this;
}

void SOAPArgControlMessageList::EndElement(const unsigned short* prefix, const unsigned short* name,
                                           const unsigned short* namespaceUri) {
    state_ = Classify(name);
    const bool tracing = TraceEnabled();
    if (tracing) {
        Trace(QxPalStr::String_t("End Element called for:") + name, __LINE__);
    }
    switch (state_) {
        case kOther:
        case kMsgList:
            // Only the argument's own element ends here: other elements of
            // these codes were refused when they started.
            QxLnkSoap::SOAPElement::EndElement(prefix, name, namespaceUri);
            state_ = kOther;
            return;
        case kMessage: {
            const std::string catalog = catalogId_.ToUtf8();
            // What the message will hold counts against what one response may
            // build, its parameters again: the message takes a copy of them.
            std::size_t cost = kMessageCost + catalog.size() + messageText_.Units().capacity() * sizeof(unsigned short);
            for (int p = 0; p < pendingParms_.GetCount(); ++p)
                cost += sizeof(QxPalMsg::Parm_t) + pendingParms_.GetParm(p).GetText().Units().capacity() * sizeof(unsigned short);
            QxLnkSoap::ChargeResponseMemory(cost);
            QxPalMsg::CreateMessage_t message(static_cast<QxPalMsg::Severity_e>(severity_),
                                              QxPalMsg::MessageCatalog_t(catalog.c_str()), MessageNumber(messageNo_),
                                              messageText_);
            message.AddParms(pendingParms_);
            if (tracing) {
                Trace(QxPalStr::String_t("Message created :") + message.Format(QxPalMsg::FORMAT_FULL), __LINE__);
            }
            list_.Add(std::move(message));
            pendingParms_.Clear();
            state_ = kMsgList;
            return;
        }
        default:
            break;
    }
    if (tracing) {
        Trace(QxPalStr::String_t("Data:") + GetCharacters(), __LINE__);
    }
    switch (state_) {
        case kSeverity: severity_ = GetCharacters().ToInt(); break;
        case kCatalogId: catalogId_ = GetCharacters(); break;
        case kMsgNo: messageNo_ = GetCharacters(); break;
        case kMsgString: messageText_ = GetCharacters(); break;
        case kParam:
            // Counted as read: a message may hold any number of parameters.
            QxLnkSoap::ChargeResponseMemory(sizeof(QxPalMsg::Parm_t) +
                                            GetCharacters().Units().capacity() * sizeof(unsigned short));
            pendingParms_.AddParm(QxPalMsg::Parm_t(GetCharacters()));
            break;
        default: break;  // "Catalog" and "Params" only hold other elements.
    }
    state_ = kMessage;
}

}  // namespace DaDovu
