// The QxPal exception tree. Every exception carries a MessageList_t.
// Thrown by value, caught by reference; copies copy the message list.
#pragma once

#include <qxpal/export.h>
#include <qxpal/message.h>

#include <exception>
#include <string>

namespace QxPalMsg {

// Root of every QxPal-based exception. what() gives the FORMAT_PLAIN text in UTF-8
// of the messages as they are at the call; the text is made when the exception
// is built, so what() on an exception whose messages were not changed since only
// reads and may run on several threads at once. A change through
// GetMessageList() needs exclusive access, like any change.
class QXPAL_API Exception_t : public std::exception {
public:
    Exception_t();
    explicit Exception_t(const Message_t& message);
    explicit Exception_t(const MessageList_t& messages);
    Exception_t(const Exception_t&);
    Exception_t& operator=(const Exception_t&);
    ~Exception_t() override;

    const MessageList_t& GetMessageList() const { return messages_; }
    MessageList_t& GetMessageList() { return messages_; }
    const char* what() const noexcept override;

private:
    MessageList_t messages_;
    mutable std::string what_;
};

class QXPAL_API RuntimeException_t : public Exception_t {
public:
    explicit RuntimeException_t(const Message_t& message);
    // Takes the other exception's messages.
    explicit RuntimeException_t(const Exception_t& other);
    RuntimeException_t(const RuntimeException_t&) = default;
    RuntimeException_t& operator=(const RuntimeException_t&) = default;
    ~RuntimeException_t() override;
};

class QXPAL_API LogicError_t : public Exception_t {
public:
    explicit LogicError_t(const Message_t& message);
    LogicError_t(const LogicError_t&) = default;
    LogicError_t& operator=(const LogicError_t&) = default;
    ~LogicError_t() override;
};

// A caller passed a value that the operation cannot take.
class QXPAL_API IllegalArgumentError_t : public LogicError_t {
public:
    explicit IllegalArgumentError_t(const Message_t& message);
    IllegalArgumentError_t(const IllegalArgumentError_t&) = default;
    IllegalArgumentError_t& operator=(const IllegalArgumentError_t&) = default;
    ~IllegalArgumentError_t() override;
};

// An operation was called in a state that does not allow it.
class QXPAL_API IllegalStateError_t : public LogicError_t {
public:
    explicit IllegalStateError_t(const Message_t& message);
    IllegalStateError_t(const IllegalStateError_t&) = default;
    IllegalStateError_t& operator=(const IllegalStateError_t&) = default;
    ~IllegalStateError_t() override;
};

}  // namespace QxPalMsg

namespace QxPalIo {

// An input/output failure (file, device).
class QXPAL_API IOException_t : public QxPalMsg::Exception_t {
public:
    explicit IOException_t(const QxPalMsg::Message_t& message);
    IOException_t(const IOException_t&) = default;
    IOException_t& operator=(const IOException_t&) = default;
    ~IOException_t() override;
};

}  // namespace QxPalIo
