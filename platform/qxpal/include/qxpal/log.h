// QxPalLog: the node's log.
//
// Settings section [log]: FILE = path (default: standard error). One line per
// message, TAB-separated: UTC time, severity, catalog ID, message number, plain
// text (its details following on the same line after " | "; never a line break
// or TAB inside an entry: controls in the texts are escaped, LF as "\n", TAB as
// "\t", CR as "\r", other C0 controls and DEL as "\xHH", C1 controls and the
// Unicode line and paragraph separators as "\uHHHH"). Written without ever
// raising SIGPIPE: a standard error without a reader is a failed write. The time has
// microseconds; the severity is a word (INFO, WARNING, ERROR, FATAL, or the
// number); an uncatalogued message has an empty catalog and number 0.
// Appended with O_APPEND and one write() per line; the file is opened for each
// call, so that a rotated log is picked up.
#pragma once

#include <qxpal/export.h>
#include <qxpal/message.h>

namespace QxPalLog {

// Writes each message of `messages` as a line of the node's log.
// Throws QxPalIo::IOException_t when the log cannot be opened or written, or the
// settings naming it cannot be read. Thread-safe.
QXPAL_API void Log(const QxPalMsg::MessageList_t& messages);

}  // namespace QxPalLog
