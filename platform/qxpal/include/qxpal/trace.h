// QxPalTrc: named trace objects with level masks.
//
// Settings section [trace]: one key per trace name with its level mask in
// decimal ("ctrl.rpcclient = 25"), and FILE = path (default: standard error).
// A line is written when (mask AND level) == level, as
//   UTC time with microseconds TAB thread id TAB name TAB level TAB source:line TAB text LF
// with one write() call, so that lines of concurrent threads never interleave.
// The text is written as given (a text of several lines stays one write()).
// A mask that is not a decimal number counts as 0; a FILE that cannot be opened
// leaves the lines on standard error.
// A changed [trace] section takes effect when the settings are next opened
// (QxPalConfig::ConfigNamespace_t::Open notices the change): every trace object
// then gets its listed mask, or 0 when it is not listed, and the FILE is
// reopened if it changed. Objects created later take the mask in force; the
// first object created reads the settings if nobody has yet.
#pragma once

#include <qxpal/export.h>
#include <qxpal/string.h>

#include <atomic>
#include <functional>
#include <string>

namespace QxPalTrc {

// One named trace. Created once per name, lives until the process ends.
// Thread-safe.
class QXPAL_API TraceObj_t {
public:
    // True when every bit of `level` is in the mask: one atomic load.
    bool IsEnabled(unsigned level) const {
        return (mask_.load(std::memory_order_relaxed) & level) == level;
    }
    unsigned GetMask() const { return mask_.load(std::memory_order_relaxed); }
    void SetMask(unsigned mask) { mask_.store(mask, std::memory_order_relaxed); }
    const std::string& GetName() const { return name_; }
    // Writes one line (see above) whatever the mask: callers test the level
    // first, so that no text is built for a disabled line. Never throws.
    void DoTrace(unsigned level, const QxPalStr::String_t& text, const char* file, int line) const;
    void DoTrace(unsigned level, const char* text, const char* file, int line) const;

    explicit TraceObj_t(std::string name);  // use TraceObj_t::Get
    // The trace object of `name`, created (with its mask from the settings) on first use.
    static TraceObj_t& Get(const std::string& name);

private:
    std::string name_;
    std::atomic<unsigned> mask_{0};
};

// A handle to a named trace object, which it creates on first use.
// Usable as a static object; thread-safe.
class QXPAL_API TraceWrapper_t {
public:
    // `flags` is reserved.
    explicit TraceWrapper_t(const char* name, int flags = 0);
    // The trace object, created on the first call; null only if creation failed.
    TraceObj_t* InitObject() const;
    // Shorthand: InitObject() and its IsEnabled(level).
    bool IsEnabled(unsigned level) const {
        TraceObj_t* obj = object_.load(std::memory_order_acquire);
        if (obj == nullptr) obj = InitObject();
        return obj != nullptr && obj->IsEnabled(level);
    }
    const char* GetName() const { return name_; }

private:
    const char* name_;
    mutable std::atomic<TraceObj_t*> object_{nullptr};
};

// Test support: sets the mask of a trace name (creating its object); the mask
// stays until it is set again or the settings' [trace] section changes (opening
// unchanged settings keeps it). And captures every written line (without the
// final newline) instead of writing it to the trace file while a sink is
// installed; the sink is called on the tracing thread, with no lock held. Thread-safe.
QXPAL_API void SetTraceMask(const std::string& name, unsigned mask);
using TraceSink = std::function<void(const std::string& line)>;
QXPAL_API void SetTraceSink(TraceSink sink);  // an empty function removes it

}  // namespace QxPalTrc
