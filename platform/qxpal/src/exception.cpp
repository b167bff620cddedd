// The QxPal exception tree.
#include <qxpal/exception.h>
#include <qxpal/io.h>

namespace QxPalMsg {

namespace {

std::string PlainText(const MessageList_t& messages) {
    return messages.Format(FORMAT_PLAIN).ToUtf8();
}

MessageList_t ListOf(const Message_t& message) {
    MessageList_t list;
    list.Add(message);
    return list;
}

}  // namespace

Exception_t::Exception_t() = default;

Exception_t::Exception_t(const Message_t& message) : messages_(ListOf(message)), what_(PlainText(messages_)) {}

Exception_t::Exception_t(const MessageList_t& messages) : messages_(messages), what_(PlainText(messages_)) {}

Exception_t::Exception_t(const Exception_t&) = default;
Exception_t& Exception_t::operator=(const Exception_t&) = default;
Exception_t::~Exception_t() = default;

const char* Exception_t::what() const noexcept {
    // The text is made when the exception is built; it is only rebuilt when the
    // messages were changed since (through GetMessageList()), so concurrent
    // what() calls on an unchanged exception only read.
    try {
        std::string text = PlainText(messages_);
        if (text != what_) what_ = std::move(text);
    } catch (...) {
        // Out of memory: keep the last text.
    }
    return what_.c_str();
}

RuntimeException_t::RuntimeException_t(const Message_t& message) : Exception_t(message) {}
RuntimeException_t::RuntimeException_t(const Exception_t& other) : Exception_t(other.GetMessageList()) {}
RuntimeException_t::~RuntimeException_t() = default;

LogicError_t::LogicError_t(const Message_t& message) : Exception_t(message) {}
LogicError_t::~LogicError_t() = default;

IllegalArgumentError_t::IllegalArgumentError_t(const Message_t& message) : LogicError_t(message) {}
IllegalArgumentError_t::~IllegalArgumentError_t() = default;

IllegalStateError_t::IllegalStateError_t(const Message_t& message) : LogicError_t(message) {}
IllegalStateError_t::~IllegalStateError_t() = default;

}  // namespace QxPalMsg

namespace QxPalIo {

IOException_t::IOException_t(const QxPalMsg::Message_t& message) : Exception_t(message) {}
IOException_t::~IOException_t() = default;

OutputStream_t::~OutputStream_t() = default;
Writer_t::~Writer_t() = default;

}  // namespace QxPalIo
