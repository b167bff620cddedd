// POSIX file helpers shared by settings, traces and the log.
#include "posix_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace QxPalDetail {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor OpenForAppend(const std::string& path) {
    // O_NONBLOCK so that a FIFO without a reader fails (ENXIO) instead of
    // blocking the caller; writes then block as usual.
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    FileDescriptor file(fd);
    if (file.IsOpen()) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return FileDescriptor();
    }
    return file;
}

namespace {

// Blocks SIGPIPE for this thread while it lives; a SIGPIPE that its writes
// raised is then taken from the pending set before the old mask returns, so
// neither the caller's handlers nor its mask ever see it.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
    }
    ~SigpipeBlock() {
        if (!blocked_) return;
        if (raised_ && !wasPending_) {
            const timespec now{0, 0};
            const int saved = errno;
            while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
            }
            errno = saved;
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;
    void Raised() { raised_ = true; }

private:
    sigset_t pipe_, old_;
    bool wasPending_ = false;
    bool blocked_ = false;
    bool raised_ = false;
};

}  // namespace

bool WriteAll(int fd, const char* data, std::size_t length) {
    SigpipeBlock block;
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EPIPE) {
            block.Raised();
            return false;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

void EscapeControls(std::string& out, std::size_t from) {
    const auto needsEscape = [](const std::string& text, std::size_t at) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x20 || c == 0x7F) return 1;
        if (c == 0xC2 && at + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[at + 1]);
            if (next >= 0x80 && next <= 0x9F) return 2;
        }
        if (c == 0xE2 && at + 2 < text.size() && static_cast<unsigned char>(text[at + 1]) == 0x80) {
            const auto last = static_cast<unsigned char>(text[at + 2]);
            if (last == 0xA8 || last == 0xA9) return 3;
        }
        return 0;
    };
    std::size_t at = from;
    while (at < out.size() && needsEscape(out, at) == 0) ++at;
    if (at == out.size()) return;
    std::string escaped(out, at);
    out.resize(at);
    for (std::size_t i = 0; i < escaped.size();) {
        const int length = needsEscape(escaped, i);
        if (length == 0) {
            out += escaped[i++];
            continue;
        }
        char text[12];
        const auto c = static_cast<unsigned char>(escaped[i]);
        if (length == 1) {
            if (c == '\t') {
                out += "\\t";
            } else if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                out += "\\r";
            } else {
                std::snprintf(text, sizeof text, "\\x%02X", c);
                out += text;
            }
        } else {
            const unsigned code = length == 2 ? static_cast<unsigned char>(escaped[i + 1])
                                              : 0x2000u + (static_cast<unsigned char>(escaped[i + 2]) - 0x80u);
            std::snprintf(text, sizeof text, "\\u%04X", code);
            out += text;
        }
        i += static_cast<std::size_t>(length);
    }
}

namespace {

// strerror_r comes in a GNU form (returns the text) and an XSI form (fills the buffer).
[[maybe_unused]] const char* PickErrorText(const char* result, const char* /*buffer*/) { return result; }
[[maybe_unused]] const char* PickErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : "unknown error";
}

}  // namespace

std::string ErrnoText(int error) {
    char buffer[256] = {};
    return PickErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
}

void AppendUtcTimestamp(std::string& out) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[40];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                                static_cast<long>(now.tv_nsec / 1000));
    if (n > 0) out.append(text, static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1);
}

}  // namespace QxPalDetail
