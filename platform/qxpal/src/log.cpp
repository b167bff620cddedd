// The node's log: one TAB-separated line per message, appended to the [log] FILE.
#include <qxpal/config.h>
#include <qxpal/exception.h>
#include <qxpal/log.h>

#include "catalog.h"
#include "posix_io.h"

#include <cerrno>
#include <unistd.h>

namespace QxPalLog {

namespace {

using QxPalDetail::Catalog;

void AppendEntry(std::string& line, const QxPalMsg::Message_t& message) {
    QxPalDetail::AppendUtcTimestamp(line);
    line += '\t';
    if (const char* word = QxPalDetail::SeverityWord(message.GetSeverity())) {
        line += word;
    } else {
        line += std::to_string(static_cast<int>(message.GetSeverity()));
    }
    line += '\t';
    // A log entry is one line of five columns: controls in the texts are escaped.
    std::size_t start = line.size();
    QxPalStr::String_t(message.GetMessageCatalog()).AppendUtf8To(line);
    QxPalDetail::EscapeControls(line, start);
    line += '\t';
    line += std::to_string(message.GetMessageNo());
    line += '\t';
    start = line.size();
    message.Format(QxPalMsg::FORMAT_PLAIN).AppendUtf8To(line);
    QxPalDetail::EscapeControls(line, start);
    line += '\n';
}

[[noreturn]] void ThrowIo(unsigned number, const char* what, const std::string& path, int error) {
    throw QxPalIo::IOException_t(QxPalMsg::CreateError_t(Catalog(), number, "The log file '")
                                 << path.c_str() << "' cannot be " << what << ": "
                                 << QxPalDetail::ErrnoText(error).c_str() << ".");
}

}  // namespace

void Log(const QxPalMsg::MessageList_t& messages) {
    if (messages.GetMessageCount() == 0) return;
    std::string path;
    try {
        path = QxPalConfig::ConfigNamespace_t("log").Open().GetUtf8("FILE");
    } catch (const QxPalMsg::Exception_t& e) {
        QxPalMsg::CreateError_t message(Catalog(), QxPalDetail::MSG_LOG_SETTINGS,
                                        "The log file cannot be found: the settings cannot be read.");
        message.AddDetails(e.GetMessageList());
        throw QxPalIo::IOException_t(message);
    }

    QxPalDetail::FileDescriptor file;
    if (!path.empty()) {
        file = QxPalDetail::OpenForAppend(path);
        if (!file.IsOpen()) ThrowIo(QxPalDetail::MSG_LOG_OPEN, "opened", path, errno);
    }
    const int fd = file.IsOpen() ? file.Get() : STDERR_FILENO;
    std::string line;
    for (int i = 0; i < messages.GetMessageCount(); ++i) {
        line.clear();
        AppendEntry(line, messages.GetMessageObject(i));
        if (!QxPalDetail::WriteAll(fd, line.data(), line.size())) {
            ThrowIo(QxPalDetail::MSG_LOG_WRITE, "written", path.empty() ? "(standard error)" : path, errno);
        }
    }
}

}  // namespace QxPalLog
