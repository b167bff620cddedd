// The exception family of DaDovu and its message catalog "ctrl".
//
// Every failure reaches the caller as an exception carrying a
// QxPalMsg::MessageList_t (GetMessageList()). Authentication and authorization
// failures are QxSecAuth::SecAuthException instead, which is not a
// ControlException; catch QxPalMsg::RuntimeException_t to receive both.
#pragma once

#include <dadovu/Export.h>
#include <qxpal/exception.h>
#include <qxpal/message.h>

namespace DaDovu {

#define DADOVU_DECLARE_EXCEPTION(Name, Base)                  \
    class DADOVU_API Name : public Base {                     \
    public:                                                   \
        Name(const Name& other);                              \
        explicit Name(const QxPalMsg::Message_t& message);    \
        explicit Name(const QxPalMsg::Exception_t& other);    \
        ~Name() override;                                     \
        Name& operator=(const Name& other);                   \
    }

// A result code of the daemon without a class of its own; base of the family.
DADOVU_DECLARE_EXCEPTION(ControlException, QxPalMsg::RuntimeException_t);
// The target component reported an error (result code 64).
DADOVU_DECLARE_EXCEPTION(ComponentException, ControlException);
// No component matches the target (65).
DADOVU_DECLARE_EXCEPTION(TargetException, ControlException);
// A prerequisite of the target failed (71).
DADOVU_DECLARE_EXCEPTION(PrerequisiteException, ControlException);
// No component subscribes to the notified event (73).
DADOVU_DECLARE_EXCEPTION(EventException, ControlException);
// The transport, the SOAP layer or local I/O failed while a request was sent or
// its answer read; the caught failure's messages are attached as details.
DADOVU_DECLARE_EXCEPTION(CommunicationException, ControlException);
// The daemon cannot name the user of its processes (75).
DADOVU_DECLARE_EXCEPTION(GetUserException, ControlException);

#undef DADOVU_DECLARE_EXCEPTION

// Holder of the library's message catalog.
class DADOVU_API Catalog {
public:
    // The catalog "ctrl", created on the first call (thread-safe) and kept
    // until the library is unloaded.
    static const QxPalMsg::MessageCatalog_t& GetCatalog();
};

}  // namespace DaDovu
