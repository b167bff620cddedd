// Catalogued messages and message lists, and their text forms.
#include <qxpal/exception.h>
#include <qxpal/message.h>

#include "catalog.h"

#include <utility>

namespace QxPalDetail {

const QxPalMsg::MessageCatalog_t& Catalog() {
    // Never destroyed: errors may still be raised by other objects' destructors at exit.
    static const QxPalMsg::MessageCatalog_t* const catalog = new QxPalMsg::MessageCatalog_t("qxpal");
    return *catalog;
}

const char* SeverityWord(int severity) {
    switch (severity) {
    case QxPalMsg::SEVERITY_INFO: return "INFO";
    case QxPalMsg::SEVERITY_WARNING: return "WARNING";
    case QxPalMsg::SEVERITY_ERROR: return "ERROR";
    case QxPalMsg::SEVERITY_FATAL: return "FATAL";
    default: return nullptr;
    }
}

}  // namespace QxPalDetail

namespace QxPalMsg {

using QxPalStr::String_t;

namespace {

const MessageList_t& EmptyList() {
    static const MessageList_t empty;
    return empty;
}

// Appends `text` to `out`, each of its lines preceded by `indent`.
void AppendIndented(String_t& out, const String_t& text, const char* indent) {
    out += indent;
    const auto& units = text.Units();
    std::size_t from = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (units[i] == '\n') {
            out.Append(units.data() + from, i + 1 - from);
            out += indent;
            from = i + 1;
        }
    }
    out.Append(units.data() + from, units.size() - from);
}

}  // namespace

MessageCatalog_t::MessageCatalog_t(const char* name) : id_(name != nullptr ? name : "") {}

Message_t::Message_t() : severity_(SEVERITY_INFO), number_(0) {}

Message_t::Message_t(const String_t& text) : severity_(SEVERITY_INFO), number_(0), text_(text) {}

Message_t::Message_t(Severity_e severity, const char* catalog, unsigned number, const String_t& text)
    : severity_(severity), catalog_(catalog != nullptr ? catalog : ""), number_(number), text_(text) {}

Message_t::Message_t(const Message_t& other)
    : severity_(other.severity_),
      catalog_(other.catalog_),
      number_(other.number_),
      text_(other.text_),
      parms_(other.parms_),
      details_(other.details_ ? std::make_unique<MessageList_t>(*other.details_) : nullptr) {}

Message_t::Message_t(Message_t&&) noexcept = default;

Message_t& Message_t::operator=(const Message_t& other) {
    if (this != &other) {
        Message_t copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Message_t& Message_t::operator=(Message_t&&) noexcept = default;

Message_t::~Message_t() = default;

String_t Message_t::GetMessageText(int /*flags*/) const { return text_; }

String_t Message_t::Format(int flags) const {
    if ((flags & FORMAT_PLAIN) != 0) {
        String_t out(text_);
        if (details_) {
            for (int i = 0; i < details_->GetMessageCount(); ++i) {
                out += " | ";
                out += details_->GetMessageObject(i).Format(FORMAT_PLAIN);
            }
        }
        return out;
    }
    if ((flags & FORMAT_TEXT) != 0) return text_;

    String_t out;
    if (const char* word = QxPalDetail::SeverityWord(severity_)) {
        out += word;
    } else {
        out += "SEVERITY ";
        out += QxPalStr::NumToStr(static_cast<int>(severity_));
    }
    if (!catalog_.empty() || number_ != 0) {
        out += " ";
        out += catalog_.c_str();
        out += " ";
        out += QxPalStr::NumToStr(number_);
    }
    out += ": ";
    out += text_;
    if (details_) {
        for (int i = 0; i < details_->GetMessageCount(); ++i) {
            out += "\n";
            AppendIndented(out, details_->GetMessageObject(i).Format(FORMAT_FULL), "    ");
        }
    }
    return out;
}

Message_t& Message_t::AddDetails(const MessageList_t& details) {
    if (details.GetMessageCount() == 0) return *this;
    if (&details == details_.get()) {
        // Attaching a list to itself: copy first, then append.
        MessageList_t copy(details);
        return AddDetails(copy);
    }
    if (!details_) details_ = std::make_unique<MessageList_t>();
    for (int i = 0; i < details.GetMessageCount(); ++i) details_->Add(details.GetMessageObject(i));
    return *this;
}

const MessageList_t& Message_t::GetDetails() const { return details_ ? *details_ : EmptyList(); }

Message_t& Message_t::AddParms(const ParmList_t& parms) {
    if (&parms == &parms_) {
        ParmList_t copy(parms);
        return AddParms(copy);
    }
    for (int i = 0; i < parms.GetCount(); ++i) parms_.AddParm(parms.GetParm(i));
    return *this;
}

CreateMessage_t::CreateMessage_t(Severity_e severity, const String_t& text)
    : Message_t(severity, "", 0, text) {}

CreateMessage_t::CreateMessage_t(int severity, const String_t& text)
    : Message_t(static_cast<Severity_e>(severity), "", 0, text) {}

CreateMessage_t::CreateMessage_t(Severity_e severity, const MessageCatalog_t& catalog, unsigned number,
                                 const String_t& text)
    : Message_t(severity, catalog.GetCatalogID(), number, text) {}

CreateMessage_t& CreateMessage_t::operator<<(const String_t& text) {
    AppendText(text);
    return *this;
}

CreateError_t::CreateError_t(const MessageCatalog_t& catalog, unsigned number, const String_t& text)
    : CreateMessage_t(SEVERITY_ERROR, catalog, number, text) {}

CreateError_t& CreateError_t::operator<<(const String_t& text) {
    AppendText(text);
    return *this;
}

Error_t::Error_t(const MessageCatalog_t& catalog, unsigned number, const String_t& text)
    : Message_t(SEVERITY_ERROR, catalog.GetCatalogID(), number, text) {}

Error_t::Error_t(const Message_t& message) : Message_t(message) { SetSeverity(SEVERITY_ERROR); }

MessageList_t::MessageList_t() = default;
MessageList_t::MessageList_t(const MessageList_t&) = default;
MessageList_t::MessageList_t(MessageList_t&&) noexcept = default;
MessageList_t& MessageList_t::operator=(const MessageList_t&) = default;
MessageList_t& MessageList_t::operator=(MessageList_t&&) noexcept = default;
MessageList_t::~MessageList_t() = default;

void MessageList_t::Add(const Message_t& message) { messages_.push_back(message); }

void MessageList_t::Add(Message_t&& message) { messages_.push_back(std::move(message)); }

const Message_t& MessageList_t::GetMessageObject(int index) const {
    if (index < 0 || index >= GetMessageCount()) {
        throw IllegalArgumentError_t(CreateError_t(QxPalDetail::Catalog(), QxPalDetail::MSG_MESSAGE_INDEX,
                                                   "Message index out of range: ")
                                     << QxPalStr::NumToStr(index) << " (the list holds "
                                     << QxPalStr::NumToStr(GetMessageCount()) << " messages).");
    }
    return messages_[static_cast<std::size_t>(index)];
}

String_t MessageList_t::Format(int flags) const {
    String_t out;
    for (std::size_t i = 0; i < messages_.size(); ++i) {
        if (i != 0) out += "\n";
        out += messages_[i].Format(flags);
    }
    return out;
}

}  // namespace QxPalMsg
