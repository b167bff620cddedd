// Error helpers shared by the library's sources (not installed).
#pragma once

#include <qxpal/exception.h>
#include <qxpal/message.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace QxLnkImpl {

// An error-severity message without catalog, from UTF-8 text.
QxPalMsg::Message_t ErrorMessage(std::string_view utf8);

[[noreturn]] void ThrowIllegalArgument(std::string_view utf8);

// `text` with every control character replaced by '?', so that a caller's
// value can be quoted in a message without breaking a log or trace line.
std::string Printable(std::string_view text);

// A transport failure (connect, TLS, read, write, timeout, HTTP framing).
// RpcCall::Invoke turns it into the RpcException of its stage, naming the URI.
class TransportError : public std::runtime_error {
public:
    // How far the call had got, which tells the caller whether the peer may
    // have acted on the request.
    enum class Stage {
        Unsent,    // resolution, connect, or sending before its first byte
        Tls,       // the TLS session could not be set up (nothing sent)
        Exchange,  // sent (or partly sent), then no complete answer
        Response,  // an answer came that is not a usable HTTP response
    };

    // `requestUnsent`: no byte of the request reached the connection, so the
    // request may be sent again on a new connection.
    explicit TransportError(const std::string& reason, bool requestUnsent = false)
        : std::runtime_error(reason), stage_(requestUnsent ? Stage::Unsent : Stage::Exchange) {}
    TransportError(const std::string& reason, Stage stage) : std::runtime_error(reason), stage_(stage) {}
    bool IsRequestUnsent() const { return stage_ == Stage::Unsent || stage_ == Stage::Tls; }
    Stage GetStage() const { return stage_; }

private:
    Stage stage_;
};

}  // namespace QxLnkImpl
