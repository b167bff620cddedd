// The exception family of DaDovu and its message catalog "ctrl".
//
// Every failure reaches the caller as an exception carrying a
// QxPalMsg::MessageList_t (GetMessageList()). Catch QxPalMsg::Exception_t, the
// one root of them all, to receive every failure of the library:
//
//   QxPalMsg::Exception_t
//   +-- QxPalMsg::RuntimeException_t
//   |   +-- DaDovu::ControlException        a result code without a class of its own
//   |   |   +-- ComponentException, TargetException, PrerequisiteException,
//   |   |   |   EventException, GetUserException     the daemon's result codes
//   |   |   +-- CommunicationException     transport, SOAP or local I/O failures
//   |   +-- QxSecAuth::SecAuthException    not authenticated, not authorized
//   +-- QxPalMsg::LogicError_t
//   |   +-- QxPalMsg::IllegalArgumentError_t  a caller's argument refused before
//   |   |                                     anything is sent (an invalid node
//   |   |                                     name, text XML cannot carry)
//   |   +-- QxPalMsg::IllegalStateError_t
//   +-- QxPalIo::IOException_t
//
// Catching QxPalMsg::RuntimeException_t alone misses IllegalArgumentError_t: a
// program that does so ends in std::terminate on an invalid node name.
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
