// Named trace objects, their masks from the [trace] settings, and the trace file.
#include <qxpal/config.h>
#include <qxpal/trace.h>

#include "posix_io.h"
#include "settings.h"

#include <charconv>
#include <map>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace QxPalTrc {

namespace {

using SettingsPtr = std::shared_ptr<const QxPalConfig::Settings>;

constexpr std::string_view kFileKey = "FILE";

// Where trace lines go: the trace file, or standard error.
struct Output {
    QxPalDetail::FileDescriptor file;  // closed for standard error
    int Fd() const { return file.IsOpen() ? file.Get() : STDERR_FILENO; }
};

unsigned ParseMask(const std::string& text) {
    unsigned mask = 0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), mask);
    return res.ec == std::errc() && res.ptr == text.data() + text.size() ? mask : 0;
}

bool SameSection(const SettingsPtr& a, const SettingsPtr& b) {
    if (a == b) return true;
    const bool aEmpty = !a || a->values.empty();
    const bool bEmpty = !b || b->values.empty();
    if (aEmpty || bEmpty) return aEmpty && bEmpty;
    return a->values == b->values;
}

class Registry {
public:
    TraceObj_t& Get(const std::string& name);
    void Apply(const SettingsPtr& section);
    void SetSink(TraceSink sink);
    void Emit(std::string& line);

private:
    std::shared_ptr<Output> CurrentOutput();  // REQUIRES: mutex_ held

    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<TraceObj_t>, std::less<>> objects_;
    SettingsPtr section_;  // the [trace] section last applied
    std::map<std::string, unsigned, std::less<>> masks_;
    std::string filePath_;  // "" for standard error
    std::shared_ptr<Output> output_;
    std::shared_ptr<const TraceSink> sink_;
    std::atomic<bool> settingsRead_{false};
};

// Process-wide and never destroyed: trace objects live until the process ends,
// and handles to them may be used by other objects' destructors at exit.
Registry& TheRegistry() {
    static Registry* const registry = new Registry();
    return *registry;
}

TraceObj_t& Registry::Get(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(name);
        if (it != objects_.end()) return *it->second;
    }
    if (!settingsRead_.load(std::memory_order_acquire)) {
        // A new object takes its mask from the settings: read them once (the
        // settings cache then calls Apply). Outside our lock: it calls back.
        try {
            QxPalConfig::ConfigNamespace_t("trace").Open();
        } catch (...) {
            // Unreadable settings leave every mask at 0.
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(name);
    if (it == objects_.end()) {
        auto object = std::make_unique<TraceObj_t>(name);
        auto mask = masks_.find(name);
        object->SetMask(mask != masks_.end() ? mask->second : 0);
        it = objects_.emplace(name, std::move(object)).first;
    }
    return *it->second;
}

void Registry::Apply(const SettingsPtr& section) {
    std::lock_guard<std::mutex> lock(mutex_);
    settingsRead_.store(true, std::memory_order_release);
    if (SameSection(section_, section)) return;
    section_ = section;
    masks_.clear();
    std::string path;
    if (section) {
        for (const auto& entry : section->values) {
            if (entry.first == kFileKey) {
                path = entry.second;
            } else {
                masks_.emplace(entry.first, ParseMask(entry.second));
            }
        }
    }
    for (auto& entry : objects_) {
        auto mask = masks_.find(entry.first);
        entry.second->SetMask(mask != masks_.end() ? mask->second : 0);
    }
    if (path != filePath_) {
        filePath_ = std::move(path);
        output_.reset();  // reopened at the next line; writers still hold the old one
    }
}

void Registry::SetSink(TraceSink sink) {
    auto holder = sink ? std::make_shared<const TraceSink>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(holder);
}

std::shared_ptr<Output> Registry::CurrentOutput() {
    if (!output_) {
        auto output = std::make_shared<Output>();
        // A trace file that cannot be opened leaves the lines on standard error.
        if (!filePath_.empty()) output->file = QxPalDetail::OpenForAppend(filePath_);
        output_ = std::move(output);
    }
    return output_;
}

void Registry::Emit(std::string& line) {
    std::shared_ptr<const TraceSink> sink;
    std::shared_ptr<Output> output;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = sink_;
        if (!sink) output = CurrentOutput();
    }
    if (sink) {
        (*sink)(line);
        return;
    }
    line += '\n';
    QxPalDetail::WriteAll(output->Fd(), line.data(), line.size());
}

pid_t ThreadId() {
    thread_local const pid_t id = ::gettid();
    return id;
}

template <typename AppendText>
void WriteLine(const TraceObj_t& object, unsigned level, const char* file, int line, AppendText appendText) noexcept {
    try {
        std::string text;
        text.reserve(160);
        QxPalDetail::AppendUtcTimestamp(text);
        text += '\t';
        text += std::to_string(ThreadId());
        text += '\t';
        text += object.GetName();
        text += '\t';
        text += std::to_string(level);
        text += '\t';
        text += file != nullptr ? file : "?";
        text += ':';
        text += std::to_string(line);
        text += '\t';
        const std::size_t textStart = text.size();
        appendText(text);
        // One call, one line of six columns, whatever the text holds.
        QxPalDetail::EscapeControls(text, textStart);
        TheRegistry().Emit(text);
    } catch (...) {
        // Tracing never fails its caller.
    }
}

}  // namespace

TraceObj_t::TraceObj_t(std::string name) : name_(std::move(name)) {}

TraceObj_t& TraceObj_t::Get(const std::string& name) { return TheRegistry().Get(name); }

void TraceObj_t::DoTrace(unsigned level, const QxPalStr::String_t& text, const char* file, int line) const {
    WriteLine(*this, level, file, line, [&text](std::string& out) { text.AppendUtf8To(out); });
}

void TraceObj_t::DoTrace(unsigned level, const char* text, const char* file, int line) const {
    WriteLine(*this, level, file, line, [text](std::string& out) {
        if (text != nullptr) out += text;
    });
}

TraceWrapper_t::TraceWrapper_t(const char* name, int /*flags*/) : name_(name != nullptr ? name : "") {}

TraceObj_t* TraceWrapper_t::InitObject() const {
    TraceObj_t* object = object_.load(std::memory_order_acquire);
    if (object != nullptr) return object;
    try {
        object = &TraceObj_t::Get(name_);
    } catch (...) {
        return nullptr;
    }
    object_.store(object, std::memory_order_release);
    return object;
}

void SetTraceMask(const std::string& name, unsigned mask) { TraceObj_t::Get(name).SetMask(mask); }

void SetTraceSink(TraceSink sink) { TheRegistry().SetSink(std::move(sink)); }

}  // namespace QxPalTrc

namespace QxPalDetail {

void ApplyTraceSettings(const std::shared_ptr<const QxPalConfig::Settings>& section) {
    QxPalTrc::TheRegistry().Apply(section);
}

}  // namespace QxPalDetail
