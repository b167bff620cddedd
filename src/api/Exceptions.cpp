// The members of the exception family. No class adds state: everything lives
// in the message list of QxPalMsg::Exception_t, so each member only forwards
// to its base.
#include <dadovu/Exceptions.h>

namespace DaDovu {

#define DADOVU_DEFINE_EXCEPTION(Name, Base)                                     \
    Name::Name(const Name& other) : Base(other) {}                              \
    Name::Name(const QxPalMsg::Message_t& message) : Base(message) {}           \
    Name::Name(const QxPalMsg::Exception_t& other) : Base(other) {}             \
    Name::~Name() = default;                                                    \
    Name& Name::operator=(const Name& other) {                                  \
        Base::operator=(other);                                                 \
        return *this;                                                           \
    }

DADOVU_DEFINE_EXCEPTION(ControlException, QxPalMsg::RuntimeException_t)
DADOVU_DEFINE_EXCEPTION(ComponentException, ControlException)
DADOVU_DEFINE_EXCEPTION(TargetException, ControlException)
DADOVU_DEFINE_EXCEPTION(PrerequisiteException, ControlException)
DADOVU_DEFINE_EXCEPTION(EventException, ControlException)
DADOVU_DEFINE_EXCEPTION(CommunicationException, ControlException)
DADOVU_DEFINE_EXCEPTION(GetUserException, ControlException)

#undef DADOVU_DEFINE_EXCEPTION

}  // namespace DaDovu
