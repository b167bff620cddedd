// The message catalog "ctrl".
#include <dadovu/Exceptions.h>

namespace DaDovu {

const QxPalMsg::MessageCatalog_t& Catalog::GetCatalog() {
    // A function-local static: constructed exactly once by the first caller,
    // whichever thread that is, and destroyed when the library is unloaded.
    static const QxPalMsg::MessageCatalog_t catalog("ctrl");
    return catalog;
}

}  // namespace DaDovu
