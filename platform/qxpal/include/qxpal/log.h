// QxPalLog: the node's log.
//
// Settings section [log]: FILE = path (default: standard error). One line per
// message, TAB-separated: UTC time, severity, catalog ID, message number, plain
// text (its details following on the same line after " | "; never a line break
// inside an entry). Appended with O_APPEND and one write() per line.
#pragma once

#include <qxpal/export.h>
#include <qxpal/message.h>

namespace QxPalLog {

// Writes each message of `messages` as a line of the node's log.
// Throws QxPalIo::IOException_t when the log cannot be written. Thread-safe.
QXPAL_API void Log(const QxPalMsg::MessageList_t& messages);

}  // namespace QxPalLog
