// The one-line progress display on standard error while dadovuctl waits.
#pragma once

#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace DaDovuCtl {

// Shows the texts of all slots (one slot per node) joined on one line of
// standard error, redrawn in place. Disabled (every call does nothing but
// Print's writing) unless standard error is a terminal. Thread-safe: all
// terminal writes of dadovuctl that can meet the line go through it.
class StatusLine {
public:
    StatusLine(bool enabled, std::size_t slots);
    ~StatusLine();  // erases the line
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // True when standard error is a terminal.
    static bool StandardErrorIsTerminal();

    // Sets one slot's text ("" hides the slot) and redraws.
    void Set(std::size_t slot, std::string text);
    // Writes `text` to `out` with the line erased first and redrawn after.
    void Print(std::ostream& out, const std::string& text);

private:
    void EraseLocked();
    void DrawLocked();

    const bool enabled_;
    std::mutex mutex_;
    std::vector<std::string> slots_;
    bool shown_ = false;
};

}  // namespace DaDovuCtl
