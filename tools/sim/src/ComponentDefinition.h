// A simulated component's definition and the definition-file format.
//
// A definition file is UTF-8 text of "key = value" lines; blank lines and
// lines starting with '#' or ';' are ignored. Keys (each at most once):
//   name           the component's name (default: the file name without ".conf")
//   description    free text on one line
//   category       a name-like word; targets select categories as "@category"
//   prerequisites  component names, separated by commas or blanks
//   events         event names the component subscribes to, likewise
//   start_time_ms  how long starting takes, 0..3600000 (default 0)
//   stop_time_ms   how long stopping takes, likewise
//   start_fails    true/false (yes/no, 1/0): starting always fails
//   stop_fails     true/false: stopping without kill fails
// Names, categories and events consist of letters, digits and "._-" (events
// also ':'); a component cannot be its own prerequisite.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace DaDovuSim {

// The states a component passes through, numbered as callers' ComponentState.
enum class ComponentState : int {
    Unknown = -1,
    Stopped = 0,
    Starting = 1,
    Running = 2,
    Stopping = 3,
    Failed = 4,
};

// "stopped", "starting", ...
const char* StateName(ComponentState state);

struct ComponentDefinition {
    std::string name;
    std::string description;
    std::string category;
    std::vector<std::string> prerequisites;
    std::vector<std::string> events;
    std::chrono::milliseconds startTime{0};
    std::chrono::milliseconds stopTime{0};
    bool startFails = false;
    bool stopFails = false;
    std::string source;  // the file it came from ("" for generated ones)

    bool Subscribes(std::string_view event) const;
};

// A definition file that cannot be read as a definition. what() names the
// source and, where there is one, the line: "web.conf:3: unknown key 'x'".
class DefinitionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Largest definition file accepted, in bytes.
constexpr std::size_t kMaxDefinitionBytes = 64 * 1024;
// Longest start or stop time accepted.
constexpr std::chrono::milliseconds kMaxTransitionTime{3600000};

// Parses the text of one definition file. `source` is the file's name, used
// in messages, as the default component name (without ".conf") and kept in
// the definition. Throws DefinitionError.
ComponentDefinition ParseDefinition(std::string_view text, const std::string& source);

// Reads and parses one file. Throws DefinitionError (also when it cannot be
// read or is larger than kMaxDefinitionBytes).
ComponentDefinition LoadDefinitionFile(const std::string& path);

// Every "*.conf" file of a directory, in file-name order. Throws
// DefinitionError for the first file that fails, or when the directory
// cannot be read.
std::vector<ComponentDefinition> LoadDefinitionDirectory(const std::string& directory);

// `count` synthetic components "comp00001".. (at least five digits), in ten
// categories "group01".."group10" taken in turn, without prerequisites, with
// zero start and stop times; each subscribes to the event "ping".
std::vector<ComponentDefinition> GenerateDefinitions(std::size_t count);

// The definition as one XML element, the "xml" text of a component record:
// <component name=".."><description>..</description><category>..</category>
// <prerequisite>..</prerequisite>* <event>..</event>*
// <start timeMs=".." fails=".."/><stop timeMs=".." fails=".."/></component>
std::string DefinitionToXml(const ComponentDefinition& definition);

// Whether `name` is a valid component or category name.
bool IsValidName(std::string_view name);
// Whether `text` is valid UTF-8 without control characters other than tab.
bool IsCleanText(std::string_view text);

}  // namespace DaDovuSim
