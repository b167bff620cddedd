// Fuzz target: the node settings reader, through every namespace and key that
// the library and the messenger read. (A messenger is not built: its TLS
// context costs far more than reading the settings, and adds no parsing.)
#include "FuzzTargets.h"

#include <dadovu/Functions.h>
#include <qxlnk/cb.h>
#include <qxlnk/exceptions.h>
#include <qxpal/config.h>
#include <qxpal/exception.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace DadovuFuzz {

namespace {

constexpr const char* kNamespaces[] = {"", "lnk.http.ext.ctrl", "sec.cm.certificates", "ctrl", "trace", "log",
                                       "lnk.cb.servers"};

// The settings file of this process, in a directory of its own that is
// removed at exit: in /dev/shm where there is one, since every input writes
// the file twice, and a disk would make that most of the cost.
class ScratchFile {
public:
    ScratchFile() {
        const char* tmp = std::getenv("TMPDIR");
        const std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                 : tmp != nullptr && *tmp != '\0' ? tmp
                                                                  : "/tmp";
        std::string pattern = base + "/dadovu-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch directory");
        dir_ = pattern;
        path_ = dir_ + "/node.conf";
    }
    ~ScratchFile() {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& Path() const { return path_; }
    void Write(std::string_view text) const {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (fd >= 0) ::close(fd);
        if (!written) throw std::runtime_error("cannot write " + path_);
    }

private:
    std::string dir_, path_;
};

// The settings `text` in force while it lives. Afterwards the reader's cache
// holds an empty file in every namespace again, the same allocations as
// before, so that libFuzzer's leak check finds nothing to look into.
class SettingsInForce {
public:
    explicit SettingsInForce(std::string_view text) {
        File().Write(text);
        QxPalConfig::SetConfigPath(File().Path());
    }
    ~SettingsInForce() {
        File().Write("");
        for (const char* name : kNamespaces) (void)QxPalConfig::ConfigNamespace_t(name).Open();
        QxPalConfig::SetConfigPath("");
    }
    SettingsInForce(const SettingsInForce&) = delete;
    SettingsInForce& operator=(const SettingsInForce&) = delete;

private:
    static const ScratchFile& File() {
        static const ScratchFile file;
        return file;
    }
};

}  // namespace

int Settings(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // FILE names the trace and log files, which the fuzzer must not create.
    if (text.find("FILE") != std::string_view::npos) return 0;
    const SettingsInForce settings(text);
    for (const char* name : kNamespaces) {
        const QxPalConfig::Configuration_t values = QxPalConfig::ConfigNamespace_t(name).Open();
        for (const char* key : {"", "CERT_INSTALLED", "CLOSE_CONN_AFTER_USE", "TIMEOUT_MS", "CONNECT_TIMEOUT_MS",
                                "MAX_RESPONSE_BYTES", "VERIFY_PEER", "ctrl.rpcclient", "dadovu.ctrl.server"}) {
            (void)values.GetString(key).ToUtf8();
            try {
                (void)values.GetBool(key);
            } catch (const QxPalMsg::IllegalArgumentError_t&) {
            }
            try {
                (void)values.GetInt(key, 0);
            } catch (const QxPalMsg::IllegalArgumentError_t&) {
            }
        }
    }
    (void)DaDovu::IsCertInstalled();
    try {
        QxPalStr::String_t host, protocol;
        int port = 0;
        QxLnkCb::LocateServer("node", DaDovu::SERVER_IDENTIFIER, host, protocol, port);
        if (port < 1 || port > 65535) std::abort();
    } catch (const QxLnkRpc::RpcException&) {
        // The server is not listed, or its port is not one.
    }
    return 0;
}

}  // namespace DadovuFuzz
