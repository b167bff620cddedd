#include "StatusLine.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

namespace DaDovuCtl {

namespace {

std::size_t TerminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col;
    return 80;
}

// The first `limit` code points of `utf8`.
std::string Truncate(const std::string& utf8, std::size_t limit) {
    std::size_t points = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if ((static_cast<unsigned char>(utf8[i]) & 0xc0) != 0x80 && points++ == limit) return utf8.substr(0, i);
    }
    return utf8;
}

}  // namespace

StatusLine::StatusLine(bool enabled) : enabled_(enabled) {}

StatusLine::~StatusLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    EraseLocked();
}

bool StatusLine::Capable() {
    if (::isatty(STDERR_FILENO) != 1) return false;
    const char* term = std::getenv("TERM");
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

void StatusLine::Set(std::string text) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    text_ = std::move(text);
    EraseLocked();
    DrawLocked();
}

void StatusLine::Print(std::ostream& out, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    PrintLocked(out, text);
}

std::unique_lock<std::mutex> LockWithin(std::mutex& mutex, std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
    const auto end = std::chrono::steady_clock::now() + patience;
    while (!lock.owns_lock() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (lock.try_lock()) break;
    }
    return lock;
}

bool StatusLine::TryPrint(std::ostream& out, const std::string& text, std::chrono::milliseconds patience, bool last) {
    std::unique_lock<std::mutex> lock = LockWithin(mutex_, patience);
    if (!lock.owns_lock()) return false;
    if (last) text_.clear();
    PrintLocked(out, text);
    return true;
}

void StatusLine::PrintLocked(std::ostream& out, const std::string& text) {
    EraseLocked();
    out << text << std::flush;
    DrawLocked();
}

void StatusLine::EraseLocked() {
    if (!shown_) return;
    std::cerr << "\r\033[K" << std::flush;
    shown_ = false;
}

void StatusLine::DrawLocked() {
    if (!enabled_ || text_.empty()) return;
    // A line wider than the terminal would wrap, and "\r" could not erase it.
    std::cerr << Truncate(text_, TerminalWidth() - 1) << std::flush;
    shown_ = true;
}

}  // namespace DaDovuCtl
