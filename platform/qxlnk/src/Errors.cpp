// Error helpers shared by the library's sources.

#include "Errors.h"

#include "Deadlines.h"

#include <string>

namespace QxLnkImpl {

QxPalMsg::Message_t ErrorMessage(std::string_view utf8) {
    return QxPalMsg::CreateMessage_t(QxPalMsg::SEVERITY_ERROR, QxPalStr::String_t(utf8));
}

void ThrowIllegalArgument(std::string_view utf8) {
    throw QxPalMsg::IllegalArgumentError_t(ErrorMessage(utf8));
}

std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return out;
}

void ThrowResponseTimeout(const Deadlines& deadlines) {
    throw TransportError("No complete response within " + std::to_string(deadlines.callMs) + " ms");
}

}  // namespace QxLnkImpl
