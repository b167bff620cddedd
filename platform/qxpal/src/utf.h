// Private helpers of QxPal: decoding UTF-8 and classifying characters.
#pragma once

#include <cstddef>

namespace QxPalDetail {

// Marks a byte sequence that is not well-formed UTF-8.
constexpr char32_t kInvalidSequence = 0xFFFFFFFFu;

// Decodes the multi-byte sequence at `p` (REQUIRES: p < end and *p >= 0x80).
// Sets `cp` to its code point and returns its length; for a sequence that is not
// well-formed (overlong, truncated, a surrogate, beyond U+10FFFF, a stray
// continuation byte) sets `cp` to kInvalidSequence and returns the length of its
// maximal ill-formed prefix (at least 1), so that each such prefix becomes one
// U+FFFD, as Unicode recommends.
inline std::size_t DecodeUtf8Sequence(const unsigned char* p, const unsigned char* end, char32_t& cp) {
    const unsigned b0 = p[0];
    std::size_t trail;
    unsigned lo = 0x80, hi = 0xBF;
    char32_t value;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        trail = 1;
        value = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        trail = 2;
        value = b0 & 0x0Fu;
        if (b0 == 0xE0) lo = 0xA0;       // overlong below U+0800
        else if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        trail = 3;
        value = b0 & 0x07u;
        if (b0 == 0xF0) lo = 0x90;       // overlong below U+10000
        else if (b0 == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
        cp = kInvalidSequence;
        return 1;
    }
    const std::size_t avail = static_cast<std::size_t>(end - p);
    for (std::size_t i = 1; i <= trail; ++i) {
        if (i >= avail) {
            cp = kInvalidSequence;
            return i;
        }
        const unsigned b = p[i];
        if (b < lo || b > hi) {
            cp = kInvalidSequence;
            return i;
        }
        lo = 0x80;
        hi = 0xBF;
        value = (value << 6) | (b & 0x3Fu);
    }
    cp = value;
    return trail + 1;
}

inline bool IsHighSurrogate(unsigned u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool IsLowSurrogate(unsigned u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Unicode White_Space characters of the Basic Multilingual Plane.
inline bool IsWhiteSpace(unsigned u) {
    if (u <= 0x20) return u == 0x20 || (u >= 0x09 && u <= 0x0D);
    if (u < 0x85) return false;
    return u == 0x85 || u == 0xA0 || u == 0x1680 || (u >= 0x2000 && u <= 0x200A) || u == 0x2028 ||
           u == 0x2029 || u == 0x202F || u == 0x205F || u == 0x3000;
}

}  // namespace QxPalDetail
