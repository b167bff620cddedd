// QxSecAuth: the security library's authentication/authorization failure.
#pragma once

#include <qxpal/exception.h>

#define VORAZUDOR_API __attribute__((visibility("default")))

namespace QxSecAuth {

// The caller is not authenticated or not authorized.
class VORAZUDOR_API SecAuthException : public QxPalMsg::RuntimeException_t {
public:
    explicit SecAuthException(const QxPalMsg::Message_t& message);
    SecAuthException(const SecAuthException&) = default;
    SecAuthException& operator=(const SecAuthException&) = default;
    ~SecAuthException() override;
};

}  // namespace QxSecAuth
