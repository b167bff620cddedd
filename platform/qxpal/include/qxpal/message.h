// QxPalMsg: catalogued messages, their parameters and message lists.
#pragma once

#include <qxpal/export.h>
#include <qxpal/string.h>

#include <memory>
#include <string>
#include <vector>

namespace QxPalMsg {

// Message severities. The numbers travel on the wire (message lists) and in logs.
enum Severity_e : int {
    SEVERITY_INFO = 0,
    SEVERITY_WARNING = 1,
    SEVERITY_ERROR = 2,
    SEVERITY_FATAL = 3,
};

// Format flags of Message_t::Format and MessageList_t::Format.
//   FORMAT_FULL  "ERROR ctrl 12: text" ("INFO: text" without catalog and number;
//                "SEVERITY 7: text" for a number outside Severity_e), each detail's
//                full form below it, every line of it indented by four blanks.
//   FORMAT_TEXT  the bare message text.
//   FORMAT_PLAIN the text, then each detail's plain form after " | ", so that a
//                message stays on one line: "text | detail 1 | detail 2".
// Lists join their messages' forms with "\n". A flag value with FORMAT_PLAIN set
// is plain; else with FORMAT_TEXT set, bare text; else full.
enum FormatFlags_e : int {
    FORMAT_FULL = 0,     // severity, catalog and number, text; details indented below
    FORMAT_TEXT = 16,    // the bare message text
    FORMAT_PLAIN = 32,   // each message's text followed by its details, one message a line
};

// A named message catalog. Copies share nothing; the ID is the name.
class QXPAL_API MessageCatalog_t {
public:
    explicit MessageCatalog_t(const char* name);
    const char* GetCatalogID() const { return id_.c_str(); }

private:
    std::string id_;
};

// One message parameter: a text.
class QXPAL_API Parm_t {
public:
    Parm_t() = default;
    Parm_t(const unsigned short* text) : text_(text) {}
    Parm_t(const QxPalStr::String_t& text) : text_(text) {}
    operator const QxPalStr::String_t&() const { return text_; }
    const QxPalStr::String_t& GetText() const { return text_; }

private:
    QxPalStr::String_t text_;
};

class QXPAL_API ParmList_t {
public:
    void AddParm(const Parm_t& parm) { parms_.push_back(parm); }
    int GetCount() const { return static_cast<int>(parms_.size()); }
    const Parm_t& GetParm(int index) const { return parms_.at(static_cast<std::size_t>(index)); }
    void Clear() { parms_.clear(); }

private:
    std::vector<Parm_t> parms_;
};

class MessageList_t;

// A message: severity, catalog ID and number (both empty/0 for an uncatalogued
// message), text, parameters and details (a list of other messages).
// A value type; copies are deep.
class QXPAL_API Message_t {
public:
    Message_t();
    explicit Message_t(const QxPalStr::String_t& text);  // info severity, no catalog
    Message_t(const Message_t&);
    Message_t(Message_t&&) noexcept;
    Message_t& operator=(const Message_t&);
    Message_t& operator=(Message_t&&) noexcept;
    virtual ~Message_t();

    Severity_e GetSeverity() const { return severity_; }
    // The catalog's ID ("" when the message has none).
    const char* GetMessageCatalog() const { return catalog_.c_str(); }
    unsigned GetMessageNo() const { return number_; }
    const ParmList_t& GetParameterList() const { return parms_; }
    // The message text; with FORMAT_TEXT (and any other flag) the bare text.
    QxPalStr::String_t GetMessageText(int flags) const;
    // The message formatted per the FormatFlags_e value.
    QxPalStr::String_t Format(int flags) const;
    // Appends copies of the messages of `details` to this message's details
    // (also when `details` is this message's own list).
    Message_t& AddDetails(const MessageList_t& details);
    const MessageList_t& GetDetails() const;
    Message_t& AddParms(const ParmList_t& parms);

protected:
    Message_t(Severity_e severity, const char* catalog, unsigned number, const QxPalStr::String_t& text);
    void AppendText(const QxPalStr::String_t& text) { text_ += text; }
    void SetSeverity(Severity_e severity) { severity_ = severity; }  // for Error_t(message)

private:
    Severity_e severity_;
    std::string catalog_;
    unsigned number_;
    QxPalStr::String_t text_;
    ParmList_t parms_;
    std::unique_ptr<MessageList_t> details_;  // null while there are none
};

// A message under construction with a given severity and text; `<<` appends text.
class QXPAL_API CreateMessage_t : public Message_t {
public:
    CreateMessage_t(Severity_e severity, const QxPalStr::String_t& text);
    CreateMessage_t(int severity, const QxPalStr::String_t& text);
    // A message of any catalog (one of a peer's, say) with its number.
    CreateMessage_t(Severity_e severity, const MessageCatalog_t& catalog, unsigned number,
                    const QxPalStr::String_t& text);
    CreateMessage_t& operator<<(const QxPalStr::String_t& text);
};

// An error-severity message from a catalog, a number and a default text.
class QXPAL_API CreateError_t : public CreateMessage_t {
public:
    CreateError_t(const MessageCatalog_t& catalog, unsigned number, const QxPalStr::String_t& text);
    CreateError_t& operator<<(const QxPalStr::String_t& text);
};

// An error-severity message: built like CreateError_t, or from another message
// (whose severity becomes error).
class QXPAL_API Error_t : public Message_t {
public:
    Error_t(const MessageCatalog_t& catalog, unsigned number, const QxPalStr::String_t& text);
    explicit Error_t(const Message_t& message);
};

// An ordered list of messages. A value type; copies are deep.
class QXPAL_API MessageList_t {
public:
    MessageList_t();
    MessageList_t(const MessageList_t&);
    MessageList_t(MessageList_t&&) noexcept;
    MessageList_t& operator=(const MessageList_t&);
    MessageList_t& operator=(MessageList_t&&) noexcept;
    ~MessageList_t();

    void Add(const Message_t& message);
    void Add(Message_t&& message);
    int GetMessageCount() const { return static_cast<int>(messages_.size()); }
    // REQUIRES: 0 <= index < GetMessageCount(); otherwise IllegalArgumentError_t.
    const Message_t& GetMessageObject(int index) const;
    void Clear() { messages_.clear(); }
    // FORMAT_FULL: each message's full form, one after the other.
    // FORMAT_TEXT: the bare texts, one a line.
    // FORMAT_PLAIN: each message's text followed by its details, one message a line;
    //   a list of one message without details formats to exactly that text.
    QxPalStr::String_t Format(int flags) const;

private:
    std::vector<Message_t> messages_;
};

}  // namespace QxPalMsg
