// Private: a parsed namespace of the node settings, and how its changes reach the traces.
#pragma once

#include <qxpal/config.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace QxPalConfig {

// One namespace of the settings file. Immutable once published; shared by every
// Configuration_t opened from it.
struct Settings {
    std::string name;
    std::map<std::string, std::string, std::less<>> values;
};

}  // namespace QxPalConfig

namespace QxPalDetail {

// Called by the settings cache, under its lock, whenever the settings in force
// change their [trace] section (`section`, null when there is none). The trace
// registry compares it with the section it last applied and, only when they
// differ, sets every trace object's mask (0 for names not listed) and the trace
// file. Must not call back into the settings cache.
void ApplyTraceSettings(const std::shared_ptr<const QxPalConfig::Settings>& section);

}  // namespace QxPalDetail
