// Node settings: the parsed-file cache behind ConfigNamespace_t::Open, and attribute sets.
#include <qxpal/config.h>
#include <qxpal/exception.h>

#include "catalog.h"
#include "posix_io.h"
#include "settings.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace QxPalConfig {

namespace {

using QxPalDetail::Catalog;
using SettingsPtr = std::shared_ptr<const Settings>;
using NamespaceMap = std::map<std::string, SettingsPtr, std::less<>>;

constexpr const char* kDefaultPath = "/etc/qxpal/node.conf";
constexpr std::size_t kMaxCachedFiles = 8;

// What identifies one version of the settings file. Any change of content
// changes at least one of these (a rewrite changes size or times; a rename over
// the file changes the inode), also within the same second.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    static FileIdentity Of(const struct stat& st) {
        FileIdentity id;
        id.exists = true;
        id.device = st.st_dev;
        id.inode = st.st_ino;
        id.size = st.st_size;
        id.modified = st.st_mtim;
        id.changed = st.st_ctim;
        return id;
    }

    bool operator==(const FileIdentity& o) const {
        if (exists != o.exists) return false;
        if (!exists) return true;
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
    bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};

// One parsed version of one settings file.
struct CachedFile {
    std::string path;
    FileIdentity identity;
    NamespaceMap namespaces;  // also holds empty namespaces created on request
    SettingsPtr trace;        // the [trace] section, or null
    unsigned long long lastUse = 0;
};

[[noreturn]] void ThrowUnreadable(const char* path, const std::string& reason) {
    throw QxPalMsg::IllegalArgumentError_t(
        QxPalMsg::CreateError_t(Catalog(), QxPalDetail::MSG_SETTINGS_UNREADABLE, "The settings file '")
        << path << "' cannot be read: " << reason.c_str() << ".");
}

[[noreturn]] void ThrowUnreadable(const char* path, int error) { ThrowUnreadable(path, QxPalDetail::ErrnoText(error)); }

// Only a regular file is read: a FIFO or a device could block or never end.
void RequireRegularFile(const char* path, const struct stat& st) {
    if (!S_ISREG(st.st_mode)) ThrowUnreadable(path, "it is not a regular file");
}

std::string_view TrimBlanks(std::string_view text) {
    constexpr const char* kBlanks = " \t\r\n\v\f";
    const auto begin = text.find_first_not_of(kBlanks);
    if (begin == std::string_view::npos) return {};
    const auto end = text.find_last_not_of(kBlanks);
    return text.substr(begin, end - begin + 1);
}

// A value without the comment that follows it: from a ';' or '#' that stands
// after white space ("true   ; why" reads "true"; "a;b" stays as it is).
// `text` is what follows the '=', untrimmed; the result is trimmed.
std::string_view ValueWithoutComment(std::string_view text) {
    for (std::size_t at = 1; at < text.size(); ++at) {
        if ((text[at] == ';' || text[at] == '#') && (text[at - 1] == ' ' || text[at - 1] == '\t')) {
            text = text.substr(0, at);
            break;
        }
    }
    return TrimBlanks(text);
}

// Parses INI text: "[namespace]" lines open a namespace, "key = value" lines
// (key and value trimmed, a comment after the value dropped) fill it, and
// lines starting with '#' or ';' are comments. Keys before the first section belong to the namespace "". Later
// keys replace earlier ones; repeated sections merge. Other lines are ignored,
// and so are the keys under a malformed section line ("[name" without "]"), so
// that they never land in the namespace before it.
NamespaceMap Parse(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::map<std::string, std::shared_ptr<Settings>, std::less<>> parsed;
    std::shared_ptr<Settings> current;
    bool skipping = false;
    auto section = [&parsed](std::string_view name) {
        auto it = parsed.find(name);
        if (it == parsed.end()) {
            auto settings = std::make_shared<Settings>();
            settings->name = std::string(name);
            it = parsed.emplace(settings->name, std::move(settings)).first;
        }
        return it->second;
    };
    while (!text.empty()) {
        const auto eol = text.find('\n');
        std::string_view line = TrimBlanks(text.substr(0, eol));
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            skipping = close == std::string_view::npos;
            if (!skipping) current = section(TrimBlanks(line.substr(1, close - 1)));
            continue;
        }
        if (skipping) continue;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = TrimBlanks(line.substr(0, eq));
        if (key.empty()) continue;
        if (!current) current = section("");
        current->values.insert_or_assign(std::string(key), std::string(ValueWithoutComment(line.substr(eq + 1))));
    }
    NamespaceMap result;
    for (auto& entry : parsed) result.emplace(entry.first, std::move(entry.second));
    return result;
}

class SettingsCache {
public:
    SettingsPtr Open(const std::string& name);
    std::string CurrentPath();
    void SetOverride(const std::string& path);
    unsigned long long ParseCount() const { return parses_.load(std::memory_order_relaxed); }

private:
    CachedFile Load(const char* path);
    CachedFile& Store(CachedFile file);

    std::mutex mutex_;
    std::shared_ptr<const std::string> override_;
    std::vector<CachedFile> files_;
    unsigned long long useClock_ = 0;
    SettingsPtr appliedTrace_;
    bool traceApplied_ = false;
    std::atomic<unsigned long long> parses_{0};
};

// Process-wide and never destroyed, so that settings stay usable from other
// objects' destructors at exit.
SettingsCache& Cache() {
    static SettingsCache* const cache = new SettingsCache();
    return *cache;
}

const char* EnvironmentPath() {
    // Not in a privileged (setuid, setgid or capability-raised) process: the
    // settings name the log file and the TLS identity.
    const char* env = secure_getenv("QXPAL_CONFIG");
    return env != nullptr && *env != 0 ? env : kDefaultPath;
}

std::string SettingsCache::CurrentPath() {
    std::lock_guard<std::mutex> lock(mutex_);
    return override_ ? *override_ : std::string(EnvironmentPath());
}

void SettingsCache::SetOverride(const std::string& path) {
    auto holder = path.empty() ? nullptr : std::make_shared<const std::string>(path);
    std::lock_guard<std::mutex> lock(mutex_);
    override_ = std::move(holder);
}

CachedFile SettingsCache::Load(const char* path) {
    CachedFile file;
    file.path = path;
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return file;  // vanished since the stat: missing
        ThrowUnreadable(path, errno);
    }
    QxPalDetail::FileDescriptor descriptor(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) ThrowUnreadable(path, errno);
    RequireRegularFile(path, st);
    file.identity = FileIdentity::Of(st);  // of the version actually read
    std::string text;
    text.reserve(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0);
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowUnreadable(path, errno);
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    parses_.fetch_add(1, std::memory_order_relaxed);
    file.namespaces = Parse(text);
    if (auto it = file.namespaces.find("trace"); it != file.namespaces.end()) file.trace = it->second;
    return file;
}

CachedFile& SettingsCache::Store(CachedFile file) {
    for (auto& cached : files_) {
        if (cached.path == file.path) {
            cached = std::move(file);
            return cached;
        }
    }
    if (files_.size() >= kMaxCachedFiles) {
        auto oldest = files_.begin();
        for (auto it = files_.begin(); it != files_.end(); ++it) {
            if (it->lastUse < oldest->lastUse) oldest = it;
        }
        *oldest = std::move(file);
        return *oldest;
    }
    files_.push_back(std::move(file));
    return files_.back();
}

SettingsPtr SettingsCache::Open(const std::string& name) {
    std::shared_ptr<const std::string> overridePath;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        overridePath = override_;
    }
    const char* path = overridePath ? overridePath->c_str() : EnvironmentPath();

    // The stat runs outside the lock: it is the only system call of an Open of
    // an unchanged file.
    FileIdentity identity;
    struct stat st {};
    if (::stat(path, &st) == 0) {
        RequireRegularFile(path, st);
        identity = FileIdentity::Of(st);
    } else if (errno != ENOENT && errno != ENOTDIR) {
        ThrowUnreadable(path, errno);
    }

    std::lock_guard<std::mutex> lock(mutex_);
    CachedFile* file = nullptr;
    for (auto& cached : files_) {
        if (cached.path == path) {
            file = &cached;
            break;
        }
    }
    if (file == nullptr || file->identity != identity) {
        CachedFile loaded;
        if (identity.exists) {
            loaded = Load(path);
        } else {
            loaded.path = path;
        }
        file = &Store(std::move(loaded));
    }
    file->lastUse = ++useClock_;

    if (!traceApplied_ || file->trace != appliedTrace_) {
        QxPalDetail::ApplyTraceSettings(file->trace);
        appliedTrace_ = file->trace;
        traceApplied_ = true;
    }

    auto it = file->namespaces.find(name);
    if (it == file->namespaces.end()) {
        // Keep the empty namespace too, so later Opens of it allocate nothing.
        auto empty = std::make_shared<Settings>();
        empty->name = name;
        it = file->namespaces.emplace(name, std::move(empty)).first;
    }
    return it->second;
}

const std::string& EmptyString() {
    static const std::string empty;
    return empty;
}

bool EqualsIgnoringCase(std::string_view a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != 0; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return i == a.size() && b[i] == 0;
}

}  // namespace

Configuration_t::Configuration_t() = default;
Configuration_t::Configuration_t(const Configuration_t&) = default;
Configuration_t::Configuration_t(Configuration_t&&) noexcept = default;
Configuration_t& Configuration_t::operator=(const Configuration_t&) = default;
Configuration_t& Configuration_t::operator=(Configuration_t&&) noexcept = default;
Configuration_t::~Configuration_t() = default;

void Configuration_t::SetAttrValue(const char* key, const char* value) {
    const std::string_view k = key != nullptr ? key : "";
    const char* v = value != nullptr ? value : "";
    for (auto& entry : local_) {
        if (entry.first == k) {
            entry.second = v;
            return;
        }
    }
    local_.emplace_back(std::string(k), std::string(v));
}

void Configuration_t::SetAttrValue(const char* key, const QxPalStr::String_t& value) {
    SetAttrValue(key, value.ToUtf8().c_str());
}

const std::string* Configuration_t::Find(std::string_view key) const {
    for (const auto& entry : local_) {
        if (entry.first == key) return &entry.second;
    }
    if (settings_) {
        auto it = settings_->values.find(key);
        if (it != settings_->values.end()) return &it->second;
    }
    return nullptr;
}

QxPalStr::String_t Configuration_t::GetString(const char* key) const {
    const std::string* value = Find(key != nullptr ? key : "");
    return value != nullptr ? QxPalStr::String_t(std::string_view(*value)) : QxPalStr::String_t();
}

std::string Configuration_t::GetUtf8(const char* key, const char* fallback) const {
    const std::string* value = Find(key != nullptr ? key : "");
    if (value != nullptr) return *value;
    return fallback != nullptr ? fallback : "";
}

bool Configuration_t::GetBool(const char* key) const {
    const std::string* value = Find(key != nullptr ? key : "");
    if (value == nullptr || value->empty()) return false;
    for (const char* word : {"true", "yes", "on", "1"}) {
        if (EqualsIgnoringCase(*value, word)) return true;
    }
    for (const char* word : {"false", "no", "off", "0"}) {
        if (EqualsIgnoringCase(*value, word)) return false;
    }
    throw QxPalMsg::IllegalArgumentError_t(
        QxPalMsg::CreateError_t(Catalog(), QxPalDetail::MSG_SETTING_NOT_BOOLEAN, "The setting '")
        << key << "' of namespace '" << GetNamespace().c_str() << "' has the value '" << value->c_str()
        << "', which is not a boolean (true/false, yes/no, on/off, 1/0).");
}

long long Configuration_t::GetInt(const char* key, long long fallback) const {
    const std::string* value = Find(key != nullptr ? key : "");
    if (value == nullptr || value->empty()) return fallback;
    std::string_view digits = *value;
    const bool plus = digits.front() == '+';
    if (plus) digits.remove_prefix(1);
    long long result = 0;
    bool ok = !digits.empty() && !(plus && digits.front() == '-');
    if (ok) {
        const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), result);
        ok = res.ec == std::errc() && res.ptr == digits.data() + digits.size();
    }
    if (!ok) {
        throw QxPalMsg::IllegalArgumentError_t(
            QxPalMsg::CreateError_t(Catalog(), QxPalDetail::MSG_SETTING_NOT_INTEGER, "The setting '")
            << key << "' of namespace '" << GetNamespace().c_str() << "' has the value '" << value->c_str()
            << "', which is not a decimal integer in range.");
    }
    return result;
}

const std::string& Configuration_t::GetNamespace() const { return settings_ ? settings_->name : EmptyString(); }

ConfigNamespace_t::ConfigNamespace_t(const char* name) : name_(name != nullptr ? name : "") {}

Configuration_t ConfigNamespace_t::Open() const {
    Configuration_t configuration;
    configuration.settings_ = Cache().Open(name_);
    return configuration;
}

std::string GetConfigPath() { return Cache().CurrentPath(); }

void SetConfigPath(const std::string& path) { Cache().SetOverride(path); }

unsigned long long GetConfigParseCount() { return Cache().ParseCount(); }

}  // namespace QxPalConfig
