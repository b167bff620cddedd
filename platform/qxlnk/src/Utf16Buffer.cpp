// UTF-8 from Expat to UTF-16 for the output arguments.

#include "Utf16Buffer.h"

namespace QxLnkImpl {

// Expat reports valid UTF-8 only, so decoding needs no checks; text and
// names are mostly ASCII, whose bytes are copied one to one.
const unsigned short* Utf16Buffer::Decode(std::string_view utf8) {
    if (utf8.size() >= capacity_) {
        capacity_ = utf8.size() < 2 * capacity_ ? 2 * capacity_ : utf8.size() + 1;
        units_.reset(new unsigned short[capacity_]);
    }
    unsigned short* d = units_.get();
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const unsigned char* const end = s + utf8.size();
    while (s < end) {
        const unsigned c = *s;
        if (c < 0x80) {
            *d++ = static_cast<unsigned short>(c);
            ++s;
        } else if (c < 0xE0) {
            *d++ = static_cast<unsigned short>(((c & 0x1F) << 6) | (s[1] & 0x3F));
            s += 2;
        } else if (c < 0xF0) {
            *d++ = static_cast<unsigned short>(((c & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F));
            s += 3;
        } else {
            const unsigned long cp = ((c & 0x07UL) << 18) | ((s[1] & 0x3FUL) << 12) | ((s[2] & 0x3FUL) << 6) |
                                     (s[3] & 0x3FUL);
            *d++ = static_cast<unsigned short>(0xD800 + ((cp - 0x10000) >> 10));
            *d++ = static_cast<unsigned short>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            s += 4;
        }
    }
    *d = 0;
    size_ = static_cast<std::size_t>(d - units_.get());
    return units_.get();
}

}  // namespace QxLnkImpl
