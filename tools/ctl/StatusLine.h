// The one-line progress display on standard error while dadovuctl waits.
#pragma once

#include <chrono>
#include <mutex>
#include <ostream>
#include <string>

namespace DaDovuCtl {

// `mutex` locked, unless another thread holds it for longer than `patience`
// (try_lock, again and again: ThreadSanitizer does not see the timed locks).
std::unique_lock<std::mutex> LockWithin(std::mutex& mutex, std::chrono::milliseconds patience);

// Shows one text on one line of standard error, redrawn in place. Disabled
// (every call does nothing but Print's writing) unless standard error is a
// capable terminal. Thread-safe: all terminal writes of dadovuctl that can meet the
// line go through it.
class StatusLine {
public:
    explicit StatusLine(bool enabled);
    ~StatusLine();  // erases the line
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // True when standard error is a terminal that can redraw a line: not
    // one whose TERM is unset or "dumb".
    static bool Capable();

    // Sets the text ("" hides the line) and redraws.
    void Set(std::string text);
    // Writes `text` to `out` with the line erased first and redrawn after.
    void Print(std::ostream& out, const std::string& text);
    // The same, unless another write holds the line for longer than `patience`
    // (a writer stuck on a full pipe); returns whether it wrote. With `last`,
    // the line is not drawn again (the program is about to end).
    bool TryPrint(std::ostream& out, const std::string& text, std::chrono::milliseconds patience, bool last = false);

private:
    void PrintLocked(std::ostream& out, const std::string& text);
    void EraseLocked();
    void DrawLocked();

    const bool enabled_;
    std::mutex mutex_;
    std::string text_;
    bool shown_ = false;
};

}  // namespace DaDovuCtl
