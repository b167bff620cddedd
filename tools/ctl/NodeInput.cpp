#include "NodeInput.h"

#include "Output.h"

#include <dadovu/dadovu.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <regex>

namespace DaDovuCtl {

namespace {

// "" when the digits after the last ':' of `authority` (past a bracketed
// IPv6 address) are a port from 1 to 65535, or there is no port; else why not.
std::string CheckPort(const std::string& authority) {
    const std::size_t bracket = authority.rfind(']');
    const std::size_t colon = authority.rfind(':');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) return {};
    const std::string digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return {};
    const long port = std::stol(digits);
    if (port < 1 || port > 65535) return "port " + digits + " is out of range (1..65535)";
    return {};
}

}  // namespace

std::string CheckNode(const std::string& node) {
    // A host name, an IPv4 address or a bracketed IPv6 address, with an
    // optional port: anything else would change the meaning of the URI built from it.
    static const std::regex pattern(R"(([A-Za-z0-9_]([A-Za-z0-9_.-]*[A-Za-z0-9_])?|\[[0-9A-Fa-f:.]+\])(:[0-9]{1,5})?)");
    if (!std::regex_match(node, pattern)) return "not a node name (host[:port]): " + node;
    const std::string port = CheckPort(node);
    return port.empty() ? std::string() : "not a node name: " + port + ": " + node;
}

std::string CheckUri(const std::string& text) {
    const std::size_t scheme = text.find("://");
    if (scheme != std::string::npos) {
        const std::size_t end = text.find_first_of("/?#", scheme + 3);
        const std::string port = CheckPort(text.substr(scheme + 3, end == std::string::npos ? end : end - scheme - 3));
        if (!port.empty()) return "not a usable URI: " + port + ": " + text;
    }
    const QxPalNet::URI_t uri(text.c_str());
    if (!uri.IsValid() || uri.FindIllegalCharacter() != -1 || (uri.GetScheme() != "http" && uri.GetScheme() != "https")) {
        return "not an http or https URI: " + text;
    }
    return {};
}

namespace {

// The longest line a nodes file may hold: a node name or URI is far shorter,
// and a longer line (a binary file, say) is refused without being kept.
constexpr std::size_t kMaxLine = 4096;

std::string Describe(const std::string& path) { return path == "-" ? "standard input" : Sanitize(path, false); }

// A line's entry: "" for a blank line or a comment. Throws UsageError (with
// `where` in front) for a line that holds anything else than one node name
// or endpoint URI.
std::string EntryOf(std::string line, const std::string& where) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a file with CRLF line ends
    const char* blanks = " \t";
    const std::size_t begin = line.find_first_not_of(blanks);
    if (begin == std::string::npos || line[begin] == '#') return {};
    std::size_t end = line.find_first_of(blanks, begin);
    if (end != std::string::npos) {
        const std::size_t rest = line.find_first_not_of(blanks, end);
        if (rest != std::string::npos && line[rest] != '#') {
            throw UsageError(where + "not one node name or URI: " + Sanitize(line.substr(begin), false));
        }
    } else {
        end = line.size();
    }
    std::string entry = line.substr(begin, end - begin);
    if (entry.find("://") != std::string::npos) {
        const std::string problem = CheckUri(entry);
        if (!problem.empty()) throw UsageError(where + Sanitize(problem, false));
    } else if (!CheckNode(entry).empty()) {
        throw UsageError(where + "not a node name (host[:port]) or endpoint URI: " + Sanitize(entry, false));
    }
    return entry;
}

}  // namespace

// Lines of one file, read through a fixed buffer, so that memory does not
// grow with the file; a file that is not regular is waited for with poll(),
// beside the wake descriptor.
class NodeInput::Reader {
public:
    Reader(const std::string& path, int wakeDescriptor) : path_(path), wake_(wakeDescriptor) {
        if (path == "-") {
            fd_ = STDIN_FILENO;
        } else {
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd_ < 0) throw UsageError(Describe(path) + ": cannot open the nodes file: " + std::strerror(errno));
            owned_ = true;
        }
        struct stat status {};
        regular_ = ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
    }
    ~Reader() {
        if (owned_) ::close(fd_);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool IsRegular() const { return regular_; }

    // The next entry, skipping blank lines and comments; nothing at the end
    // or once woken. Throws UsageError for a bad line or a failed read.
    std::optional<std::string> Next() {
        for (;;) {
            std::optional<std::string> line = Line();
            if (!line) return std::nullopt;
            std::string entry = EntryOf(std::move(*line), Describe(path_) + ":" + std::to_string(lineNumber_) + ": ");
            if (!entry.empty()) return entry;
        }
    }

private:
    std::optional<std::string> Line() {
        std::string line;
        for (;;) {
            if (begin_ == end_) {
                if (ended_) break;
                if (!Fill()) return std::nullopt;  // woken
                continue;
            }
            const char* start = buffer_ + begin_;
            const void* found = std::memchr(start, '\n', end_ - begin_);
            const std::size_t take = found ? static_cast<std::size_t>(static_cast<const char*>(found) - start)
                                           : end_ - begin_;
            if (line.size() + take > kMaxLine) {
                throw UsageError(Describe(path_) + ":" + std::to_string(lineNumber_ + 1) + ": a line longer than " +
                                 std::to_string(kMaxLine) + " bytes");
            }
            line.append(start, take);
            begin_ += take;
            if (found) {
                ++begin_;
                ++lineNumber_;
                return line;
            }
        }
        if (line.empty()) return std::nullopt;  // the end
        ++lineNumber_;                          // a last line without its line feed
        return line;
    }

    // Reads more into the (empty) buffer; false when woken first.
    bool Fill() {
        begin_ = end_ = 0;
        for (;;) {
            if (!regular_ && wake_ >= 0) {
                pollfd entries[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
                if (::poll(entries, 2, -1) < 0) {
                    if (errno == EINTR) continue;
                    throw UsageError(Describe(path_) + ": cannot read the nodes file: " + std::strerror(errno));
                }
                if (entries[1].revents != 0) return false;
            }
            const ssize_t got = ::read(fd_, buffer_, sizeof buffer_);
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                throw UsageError(Describe(path_) + ": cannot read the nodes file: " + std::strerror(errno));
            }
            if (got == 0) ended_ = true;
            end_ = static_cast<std::size_t>(got);
            return true;
        }
    }

    std::string path_;
    int wake_;
    int fd_ = -1;
    bool owned_ = false;
    bool regular_ = false;
    bool ended_ = false;
    std::size_t lineNumber_ = 0;
    char buffer_[65536];
    std::size_t begin_ = 0, end_ = 0;
};

NodeInput::NodeInput(std::vector<std::string> nodes) : given_(std::move(nodes)), several_(given_.size() > 1) {}

NodeInput::NodeInput(const std::string& path, int wakeDescriptor) {
    reader_ = std::make_unique<Reader>(path, wakeDescriptor);
    if (path != "-" && reader_->IsRegular()) {  // standard input is read once, even from a file
        // Checked whole first, so that a bad line sends nothing at all.
        Reader check(path, -1);
        std::size_t count = 0;
        while (check.Next()) ++count;
        if (count == 0) throw UsageError(Describe(path) + ": no nodes");
        several_ = count > 1;
        return;
    }
    // Read ahead until it is known whether there are several.
    for (int i = 0; i < 2; ++i) {
        std::optional<std::string> entry = reader_->Next();
        if (!entry) break;
        given_.push_back(std::move(*entry));
    }
    if (given_.empty()) throw UsageError(Describe(path) + ": no nodes");
    several_ = given_.size() > 1;
}

NodeInput::~NodeInput() = default;

std::optional<std::string> NodeInput::Next() {
    if (nextGiven_ < given_.size()) return given_[nextGiven_++];
    if (!reader_ || !badLine_.empty()) return std::nullopt;
    try {
        return reader_->Next();
    } catch (const UsageError& e) {
        badLine_ = e.what();
        return std::nullopt;
    }
}

}  // namespace DaDovuCtl
