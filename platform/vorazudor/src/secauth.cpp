#include <vorazudor/secauth.h>

namespace QxSecAuth {

SecAuthException::SecAuthException(const QxPalMsg::Message_t& message) : RuntimeException_t(message) {}

SecAuthException::~SecAuthException() = default;

}  // namespace QxSecAuth
