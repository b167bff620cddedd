// Private: the message catalog "qxpal" of the base library's own errors.
#pragma once

#include <qxpal/message.h>

namespace QxPalDetail {

// The catalog of every message that QxPal itself creates; created on first use.
const QxPalMsg::MessageCatalog_t& Catalog();

// Message numbers of the catalog "qxpal".
enum MessageNo_e : unsigned {
    MSG_SETTINGS_UNREADABLE = 1,
    MSG_SETTING_NOT_BOOLEAN = 2,
    MSG_SETTING_NOT_INTEGER = 3,
    MSG_MESSAGE_INDEX = 4,
    MSG_LOG_OPEN = 10,
    MSG_LOG_WRITE = 11,
    MSG_LOG_SETTINGS = 12,
    MSG_XML_CHARACTER = 20,
    MSG_XML_UTF8 = 21,
    MSG_XML_NOTHING_OPEN = 22,
    MSG_XML_ATTRIBUTE = 23,
};

// The word of a severity in full-form messages and log lines ("ERROR");
// null for a number outside Severity_e.
const char* SeverityWord(int severity);

}  // namespace QxPalDetail
