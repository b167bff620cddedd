// Private: the few POSIX file operations that settings, traces and the log share.
#pragma once

#include <cstddef>
#include <string>

namespace QxPalDetail {

// Owns one file descriptor and closes it on destruction. Move-only.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// Opens `path` for appending (O_APPEND, created with mode 0644 when missing).
// Never blocks: a FIFO without a reader fails. Returns a closed descriptor and
// leaves errno set on failure.
FileDescriptor OpenForAppend(const std::string& path);

// Writes all of `data`, retrying after interruptions and short writes. On a file
// opened with O_APPEND a short write is rare, so one call normally places the
// whole buffer in one piece. False (errno set) on failure. Never raises
// SIGPIPE: a pipe or socket without a reader is a failed write (EPIPE), and
// the caller's signal mask and handlers are left as they were.
bool WriteAll(int fd, const char* data, std::size_t length);

// Escapes, in the UTF-8 text of `out` from `from` on, every character that
// could end a line or move a column of a TAB-separated line: the C0 controls
// (TAB "\t", LF "\n", CR "\r", the others "\xHH"), DEL ("\x7F"), the C1
// controls and U+2028, U+2029 ("\uHHHH"). Text without them is left untouched.
void EscapeControls(std::string& out, std::size_t from);

// The message of an errno value.
std::string ErrnoText(int error);

// Appends the current UTC time as "2026-12-06T07:14:21.123456Z".
void AppendUtcTimestamp(std::string& out);

}  // namespace QxPalDetail
