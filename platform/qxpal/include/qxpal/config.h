// QxPalConfig: node settings (one INI file) and attribute sets.
//
// The settings file is named by the environment variable QXPAL_CONFIG
// (default /etc/qxpal/node.conf), unless SetConfigPath() overrides it.
// Format: "[namespace]" sections, "key = value" lines, '#' and ';' comments.
// Keys and values are trimmed of blanks; a value runs to the end of its line (a
// '#' or ';' inside it is part of it). Names and keys are case-sensitive; a later
// key replaces an earlier one; keys before the first section belong to "";
// other lines are ignored. A missing file, namespace or key reads as empty.
#pragma once

#include <qxpal/export.h>
#include <qxpal/string.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace QxPalConfig {

struct Settings;  // one parsed namespace: key/value pairs, shared and immutable

// A set of attributes (key -> text). Either the settings of one namespace
// (from ConfigNamespace_t::Open) or an attribute set filled by SetAttrValue,
// or both: attributes set locally take precedence over the namespace's.
// Copies are cheap (the namespace's settings are shared) and independent.
// Not synchronised; distinct objects may be used by distinct threads.
class QXPAL_API Configuration_t {
public:
    Configuration_t();
    Configuration_t(const Configuration_t&);
    Configuration_t(Configuration_t&&) noexcept;
    Configuration_t& operator=(const Configuration_t&);
    Configuration_t& operator=(Configuration_t&&) noexcept;
    ~Configuration_t();

    void SetAttrValue(const char* key, const char* value);
    void SetAttrValue(const char* key, const QxPalStr::String_t& value);

    // The value of `key`, or null when it has none. Valid while this object lives
    // and is not changed.
    const std::string* Find(std::string_view key) const;
    // The value of `key` as text; empty when missing.
    QxPalStr::String_t GetString(const char* key) const;
    std::string GetUtf8(const char* key, const char* fallback = "") const;
    // true/false, yes/no, on/off, 1/0 in any case; a missing or empty key is false.
    // Any other value: IllegalArgumentError_t naming namespace, key and value.
    bool GetBool(const char* key) const;
    // Decimal integer; `fallback` when missing or empty; IllegalArgumentError_t
    // when not a number in range (naming namespace, key and value).
    long long GetInt(const char* key, long long fallback) const;
    // The namespace this set was opened from ("" for a plain attribute set).
    const std::string& GetNamespace() const;

private:
    friend class ConfigNamespace_t;
    std::shared_ptr<const Settings> settings_;
    std::vector<std::pair<std::string, std::string>> local_;
};

// One configuration namespace of the node settings.
class QXPAL_API ConfigNamespace_t {
public:
    explicit ConfigNamespace_t(const char* name);
    // The namespace's current settings. An unchanged file is not read again:
    // one stat() against a cache keyed by path, device, inode, size and the
    // modification and change times (nanoseconds); the result shares the parsed,
    // immutable namespace. A changed file takes effect here, at the next Open(),
    // which also hands a changed [trace] section to the traces. Thread-safe.
    // Throws IllegalArgumentError_t (naming the path and the reason) for a file
    // that exists and cannot be read (e.g. no permission, or a directory): such
    // settings are never taken as empty, since an absent setting may weaken the
    // node (e.g. no certificate). Nothing is cached then; the next Open() retries.
    Configuration_t Open() const;

private:
    std::string name_;
};

// Path of the settings file in force (the override, QXPAL_CONFIG, or the default).
QXPAL_API std::string GetConfigPath();
// Overrides QXPAL_CONFIG for this process (tests); "" removes the override. Thread-safe.
QXPAL_API void SetConfigPath(const std::string& path);
// Test support: how many times this process has read and parsed a settings file.
QXPAL_API unsigned long long GetConfigParseCount();

}  // namespace QxPalConfig
