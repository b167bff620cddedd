// Zero-terminated UTF-16 text decoded from Expat's UTF-8 (not installed).
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace QxLnkImpl {

// Zero-terminated UTF-16 text decoded from the UTF-8 that Expat reports (and
// has checked), in a buffer kept for the next text.
class Utf16Buffer {
public:
    // Replaces the content; returns it. `utf8` must be valid UTF-8.
    const unsigned short* Decode(std::string_view utf8);
    const unsigned short* Data() const { return units_.get(); }
    std::size_t Size() const { return size_; }

private:
    std::unique_ptr<unsigned short[]> units_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace QxLnkImpl
