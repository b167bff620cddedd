// The answer of a user query.
#pragma once

#include <qxpal/string.h>

namespace DaDovu {

// Which user account the daemon's processes run as. Plain data.
struct ControlUser {
    int uid = -1;             // numeric user ID as the daemon reports it
    QxPalStr::String_t user;  // user name; empty when the daemon sent none
};

}  // namespace DaDovu
